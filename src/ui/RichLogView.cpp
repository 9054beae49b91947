#include "ui/RichLogView.h"

#include "app/WindowThread.h"

#include <QAbstractTextDocumentLayout>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include <utility>

QColor drawnColour(quint32 paneColour)
{
    // Pure yellow is all but invisible on the pane's white: warnings are drawn in a dark amber.
    if (paneColour == PaneColour::Yellow)
        return QColor(0x9C, 0x5B, 0x00);
    return QColor(int(paneColour & 0xFF), int((paneColour >> 8) & 0xFF),
                  int((paneColour >> 16) & 0xFF));
}

namespace {
// The pane counts CR LF as two characters; the document breaks the line once.
QString asDocumentText(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}
} // namespace

RichLogView::RichLogView(QTextEdit *edit)
    : m_edit(edit)
{
    QScrollBar *bar = m_edit->verticalScrollBar();
    // Moved by the reader (or cut to a shorter end): following is what the reader left.
    QObject::connect(bar, &QScrollBar::valueChanged, &m_mailbox, [this, bar](int value) {
        if (!m_scrolling)
            m_following = value >= bar->maximum();
    });
    // The end moved on as the layout caught up: a following box goes with it.
    QObject::connect(bar, &QScrollBar::rangeChanged, &m_mailbox, [this, bar](int, int maximum) {
        if (m_following)
            scrollTo(bar, maximum);
    });
}

void RichLogView::scrollTo(QScrollBar *bar, int value)
{
    const bool drawing = std::exchange(m_scrolling, true);
    bar->setValue(value);
    m_scrolling = drawing;
}

void RichLogView::paneChanged(LogPane &pane)
{
    // Queued also on the box's own thread: one drawing for the lines that came meanwhile, as the
    // pane tells the view again only once it took the changes.
    postTo(&m_mailbox, [this, &pane] {
        runAtMostEvery(&m_mailbox, m_sinceDrawn, [this, &pane] { draw(pane); });
    });
}

void RichLogView::draw(LogPane &pane)
{
    const LogPane::Changes changes = pane.takeChanges(m_drawn);
    if (!changes.fromStart && changes.text.isEmpty() && changes.trimmed == 0)
        return;
    QScrollBar *bar = m_edit->verticalScrollBar();
    const bool following = m_following;
    // What the bar does while the text is cut and added is the drawing's, not the reader's.
    m_scrolling = true;
    const auto drawn = qScopeGuard([this] { m_scrolling = false; });
    QTextDocument *document = m_edit->document();
    if (changes.fromStart) {
        m_edit->clear();
        m_drawn = 0;
    } else if (changes.trimmed > 0) {
        // The lines cut from the pane go from the view; the line being read stays where it is,
        // unless it went with them.
        const QTextBlock firstKept = document->findBlockByNumber(int(changes.trimmedLines));
        const int gone = firstKept.isValid()
                             ? int(document->documentLayout()->blockBoundingRect(firstKept).top())
                             : bar->value();
        const int reading = bar->value();
        QTextCursor cut(document);
        cut.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor,
                         int(changes.trimmedLines));
        cut.removeSelectedText();
        m_drawn -= changes.trimmed;
        if (!following)
            scrollTo(bar, std::max(reading - gone, 0));
    }
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    const qsizetype end = changes.text.size();
    for (qsizetype start = 0; start < end;) {
        const quint32 colour = changes.colours[size_t(start)];
        qsizetype stop = start + 1;
        while (stop < end && changes.colours[size_t(stop)] == colour)
            ++stop;
        QTextCharFormat format;
        format.setForeground(drawnColour(colour));
        cursor.insertText(asDocumentText(changes.text.mid(start, stop - start)), format);
        start = stop;
    }
    m_drawn += end;
    if (following)
        scrollTo(bar, bar->maximum());
}
