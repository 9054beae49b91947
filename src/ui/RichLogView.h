#pragma once

#include "runlog/LogPane.h"

#include <QColor>

class QTextEdit;

// How a pane colour is drawn on the screen, in the pane and wherever a run log is shown.
QColor drawnColour(quint32 paneColour);

// Draws the run-log pane into a rich-text box: new text is appended in its colours; any change
// before the end (the pane's trim) redraws the whole pane, which is then a few thousand
// characters.
class RichLogView : public LogPaneView {
public:
    explicit RichLogView(QTextEdit *edit)
        : m_edit(edit)
    {
    }
    void paneChanged(const LogPane &pane, qsizetype firstChanged) override;

private:
    void render(const LogPane &pane, qsizetype from);

    QTextEdit *m_edit;
    qsizetype m_rendered = 0;
};
