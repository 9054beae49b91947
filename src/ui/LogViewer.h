#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

// A run log, read-only, in the colours of the live pane, for when no text editor can be started.
// F3 and Shift+F3 (or the buttons) go to the next and the previous problem line, which is marked
// and brought into view. It keeps its place in the settings of `application`.
class LogViewer : public QDialog {
    Q_OBJECT
public:
    explicit LogViewer(const QString &path, QWidget *parent = nullptr,
                       const QString &application = QString());

    QPlainTextEdit *txtLog;
    QPushButton *cmdPrevious;
    QPushButton *cmdNext;
    QPushButton *cmdClose;

public slots:
    // Moves to the next (previous) line marked "(error)" or "(warning)"; false when there is none.
    bool findProblem(bool forward = true);
};
