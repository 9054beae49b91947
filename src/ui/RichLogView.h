#pragma once

#include "runlog/LogPane.h"

#include <QColor>
#include <QElapsedTimer>

class QTextEdit;

// How a pane colour is drawn on the screen, in the pane and wherever a run log is shown.
QColor drawnColour(quint32 paneColour);

// Draws the run-log pane into a rich-text box on the box's thread, whatever thread wrote it: new
// text is appended in its colours; a change before the end (the pane's trim) redraws the whole
// pane, which is then a few thousand characters. The box follows new lines only while it shows
// the last one, so that an earlier line can be read during a run.
class RichLogView : public LogPaneView {
public:
    explicit RichLogView(QTextEdit *edit)
        : m_edit(edit)
    {
    }
    void paneChanged(LogPane &pane) override;
    // Draws what changed since the last time; on the box's thread.
    void draw(LogPane &pane);

private:
    QTextEdit *m_edit;
    qsizetype m_drawn = 0;
    QElapsedTimer m_sinceDrawn;
};
