#include "ui/RichLogView.h"

#include "app/WindowThread.h"

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
    postTo(m_edit,
           [this, &pane] { runAtMostEvery(m_edit, m_sinceDrawn, [this, &pane] { draw(pane); }); });
}

void RichLogView::draw(LogPane &pane)
{
    const LogPane::Changes changes = pane.takeChanges(m_drawn);
    if (!changes.fromStart && changes.text.isEmpty())
        return;
    QScrollBar *bar = m_edit->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    // The line at the top of the view stays there when the pane is redrawn after its trim.
    QString topLine;
    if (changes.fromStart) {
        if (!following)
            topLine = m_edit->cursorForPosition(QPoint(0, 0)).block().text();
        m_edit->clear();
        m_drawn = 0;
    }
    QTextCursor cursor(m_edit->document());
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
    if (following) {
        bar->setValue(bar->maximum());
    } else if (!topLine.isEmpty()) {
        const QTextBlock kept = m_edit->document()->find(topLine).block();
        bar->setValue(kept.isValid() ? bar->value() + m_edit->cursorRect(QTextCursor(kept)).top()
                                     : 0);
    }
}
