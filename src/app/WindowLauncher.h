#pragma once

#include "app/WindowThread.h"
#include "platform/Launcher.h"

#include <QObject>

#include <functional>

// The desktop's launcher, usable from any thread: the desktop is asked on the window's thread
// (the archive run opens its log in the editor from its own), and the caller waits for the
// answer unless the program is asked to stop meanwhile (RunCancelled). Made on the window's
// thread.
class WindowLauncher : public Launcher {
public:
    WindowLauncher(Launcher &launcher, std::function<bool()> cancelled)
        : m_launcher(launcher)
        , m_cancelled(std::move(cancelled))
    {
    }
    int open(const QString &target) override
    {
        Launcher *launcher = &m_launcher;
        return callOn<int>(
            &m_window, [launcher, target] { return launcher->open(target); }, m_cancelled);
    }

private:
    Launcher &m_launcher;
    std::function<bool()> m_cancelled;
    QObject m_window;
};
