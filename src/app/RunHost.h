#pragma once

#include <QString>

#include <mutex>

// What a progress value counts: the files listed in the logging folder so far (no maximum yet),
// the files taken from it, the bytes compressed into the archive, or the bytes of it copied to
// the archive folder.
enum class ProgressUnit { Listed, Files, Bytes, CopiedBytes };

// The main window as the archive run sees it from the run's own thread: everything here is told,
// nothing waits for the window. Implemented by the run's thread's messenger (each call becomes a
// queued call on the window's thread) and by test hosts.
class RunHost {
public:
    virtual ~RunHost() = default;
    // The archive folder as txtOutputPath holds it, read afresh each time (see FolderText).
    virtual QString archiveFolderText() const = 0;
    // Running: the wait pointer shows and Start is disabled.
    virtual void setRunning(bool running) = 0;
    virtual void setProgress(double value, double maximum, ProgressUnit unit) = 0;
    // What the window records of the run the moment it is so, for a run that is stopped before
    // it can hand over its end: the run log it writes, and the archive once delivered and
    // verified.
    virtual void runLogOpened(const QString &path) = 0;
    virtual void archiveDelivered(const QString &path, qint64 bytes, qint64 entries) = 0;
};

// The main window as the program's logic on the window's own thread uses it; implemented by
// frmMain and by test hosts.
class WindowHost {
public:
    virtual ~WindowHost() = default;
    virtual QString archiveFolderText() const = 0;
    virtual void setArchiveFolderText(const QString &text) = 0;
    // The wait pointer over the window, for long work.
    virtual void setWaitPointer(bool on) = 0;
    // Shows a run log in the program's own read-only viewer, returning once it is closed: for when
    // no text editor could be started on it.
    virtual void showRunLog(const QString &path) = 0;
};

// The archive folder text: written on the window's thread only, read from any thread (the run
// reads it afresh at each check). The one value both threads share, under its own lock.
class FolderText {
public:
    QString get() const
    {
        const std::lock_guard lock(m_mutex);
        return m_text;
    }
    void set(const QString &text)
    {
        const std::lock_guard lock(m_mutex);
        m_text = text;
    }

private:
    mutable std::mutex m_mutex;
    QString m_text;
};
