#pragma once

#include <QString>

#include <functional>

// What a progress value counts: the files taken from the logging folder, then the bytes
// compressed.
enum class ProgressUnit { Files, Bytes };

// What the program's logic needs from the main window; implemented by frmMain and by test hosts.
class RunHost {
public:
    virtual ~RunHost() = default;
    // The archive folder as txtOutputPath holds it, read afresh each time.
    virtual QString archiveFolderText() const = 0;
    virtual void setArchiveFolderText(const QString &text) = 0;
    // The wait pointer over the window, for long work.
    virtual void setWaitPointer(bool on) = 0;
    // Running: the wait pointer shows and Start is disabled.
    virtual void setRunning(bool running) = 0;
    virtual bool isRunning() const = 0;
    virtual void setProgress(double value, double maximum, ProgressUnit unit) = 0;
    // Shows a run log in the program's own read-only viewer, returning once it is closed: for when
    // no text editor could be started on it.
    virtual void showRunLog(const QString &path) = 0;
    // Lets pending window events through, so the window repaints and its commands stay usable.
    virtual void pumpEvents() = 0;
};

// Does `work` on a thread of its own while the host pumps events, and returns when it is done,
// throwing what it threw: for a long step (a copy onto a slow share) that must not freeze the
// window. A stop request seen meanwhile ends the program as any other does.
void whilePumping(RunHost &host, const std::function<void()> &work);
