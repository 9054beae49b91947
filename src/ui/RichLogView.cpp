#include "ui/RichLogView.h"

#include <QScrollBar>
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

void RichLogView::paneChanged(const LogPane &pane, qsizetype firstChanged)
{
    if (firstChanged < m_rendered || pane.length() < m_rendered) {
        m_edit->clear();
        m_rendered = 0;
    }
    render(pane, m_rendered);
}

void RichLogView::render(const LogPane &pane, qsizetype from)
{
    QTextCursor cursor(m_edit->document());
    cursor.movePosition(QTextCursor::End);
    const qsizetype end = pane.length();
    for (qsizetype start = from; start < end;) {
        const quint32 colour = pane.colourAt(start);
        qsizetype stop = start + 1;
        while (stop < end && pane.colourAt(stop) == colour)
            ++stop;
        QTextCharFormat format;
        format.setForeground(drawnColour(colour));
        cursor.insertText(asDocumentText(pane.text().mid(start, stop - start)), format);
        start = stop;
    }
    m_rendered = end;
    QScrollBar *bar = m_edit->verticalScrollBar();
    bar->setValue(bar->maximum());
}
