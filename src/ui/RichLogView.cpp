#include "ui/RichLogView.h"

#include "app/WindowThread.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

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
    const bool following = bar->value() >= bar->maximum();
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
            bar->setValue(std::max(reading - gone, 0));
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
        bar->setValue(bar->maximum());
}
