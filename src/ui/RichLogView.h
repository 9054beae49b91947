#pragma once

#include "app/WindowThread.h"
#include "runlog/LogPane.h"

#include <QColor>
#include <QElapsedTimer>

class QScrollBar;
class QTextEdit;

// How a pane colour is drawn on the screen, in the pane and wherever a run log is shown.
QColor drawnColour(quint32 paneColour);

// Draws the run-log pane into a rich-text box on the box's thread, whatever thread wrote it: new
// text is appended in its colours, the whole lines the pane cuts from its front are cut from the
// box. The box follows new lines only while it shows the last one; scrolled up, the line being
// read stays in its place whatever is cut or added.
class RichLogView : public LogPaneView {
public:
    explicit RichLogView(QTextEdit *edit);
    void paneChanged(LogPane &pane) override;
    // Draws what changed since the last time; on the box's thread.
    void draw(LogPane &pane);

private:
    void scrollTo(QScrollBar *bar, int value);

    QTextEdit *m_edit;
    // Lives on the box's thread: what the pane tells from another thread is drawn there.
    Mailbox m_mailbox;
    qsizetype m_drawn = 0;
    QElapsedTimer m_sinceDrawn;
    // Whether the box shows the last line: kept, not read off the scroll bar at each drawing, as
    // the box lays out a large addition in steps and its bar's end lags behind it.
    bool m_following = true;
    bool m_scrolling = false;
};
