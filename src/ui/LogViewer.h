#pragma once

#include "app/WindowThread.h"

#include <QDialog>

#include <condition_variable>
#include <mutex>
#include <thread>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// A run log, read-only, in the colours of the live pane, for when no text editor can be started.
// F3 and Shift+F3 (or the buttons) go to the next and the previous problem line, which is marked
// and brought into view. It keeps its place in the settings of `application`. Its first screen
// shows at once; the rest of a long log is read on a thread of its own and added as it comes,
// with a busy bar until it is whole.
class LogViewer : public QDialog {
    Q_OBJECT
public:
    explicit LogViewer(const QString &path, QWidget *parent = nullptr,
                       const QString &application = QString());
    ~LogViewer() override;

    // True until the whole log is shown.
    bool reading() const;

    QPlainTextEdit *txtLog;
    QPushButton *cmdPrevious;
    QPushButton *cmdNext;
    QPushButton *cmdClose;
    QProgressBar *barReading;

public slots:
    // Moves to the next (previous) line marked "(error)" or "(warning)"; false when there is none.
    bool findProblem(bool forward = true);

private:
    // On this window's thread: a piece of the log, in order; the last one ends the reading.
    void add(const QString &text, bool last);

    QLabel *m_readingText;
    // Between the reading thread and this window's: the pieces on their way, and the end.
    std::mutex m_mutex;
    std::condition_variable m_handedOver;
    int m_inTransit = 0;
    bool m_stop = false;
    // Lives on this window's thread: the pieces wait there.
    Mailbox m_mailbox;
    std::thread m_reader;
};
