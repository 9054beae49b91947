#pragma once

#include "app/Dialogs.h"

#include <QObject>

#include <functional>

// The window's dialogs, usable from any thread. On the window's own thread they are the window's
// dialogs; from another (the archive run's), a box is put to the window's thread and the caller
// waits for its answer, unless the program is asked to stop meanwhile (RunCancelled). Made on the
// window's thread.
class WindowDialogs : public Dialogs {
public:
    WindowDialogs(Dialogs &dialogs, std::function<bool()> cancelled);

    DialogAnswer messageBox(const QString &text, MessageButtons buttons = MessageButtons::OK,
                            const QString &title = QString()) override;
    void messageBoxLater(const QString &text, MessageButtons buttons, const QString &title,
                         const std::function<void(DialogAnswer)> &answered) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &preset) override;
    QString browseForFolder(const QString &title, const QString &startFolder) override;
    std::unique_ptr<BusyNotice> showBusy(const QString &text,
                                         const std::function<void()> &cancel) override;

private:
    Dialogs &m_dialogs;
    std::function<bool()> m_cancelled;
    // Lives on the window's thread: what is put to it runs there.
    QObject m_window;
};
