#pragma once

#include <QString>

#include <chrono>

class Program;

// What a progress value counts: the files taken from the logging folder, then the bytes
// compressed.
// Bytes compressed into the archive, or bytes of it copied to the archive folder.
enum class ProgressUnit { Files, Bytes, CopiedBytes };

// What the program's logic needs from the main window; implemented by frmMain, by the archive
// run's own view of it from its thread, and by test hosts.
class RunHost {
public:
    virtual ~RunHost() = default;
    // The archive folder as txtOutputPath holds it, read afresh each time, from any thread.
    virtual QString archiveFolderText() const = 0;
    virtual void setArchiveFolderText(const QString &text) = 0;
    // The wait pointer over the window, for long work.
    virtual void setWaitPointer(bool on) = 0;
    // Running: the wait pointer shows and Start is disabled.
    virtual void setRunning(bool running) = 0;
    // Whether an archive run is in progress: Exit asks first, and a stop cuts it.
    virtual bool isRunning() const = 0;
    virtual void setProgress(double value, double maximum, ProgressUnit unit) = 0;
    // Shows a run log in the program's own read-only viewer, returning once it is closed: for when
    // no text editor could be started on it.
    virtual void showRunLog(const QString &path) = 0;
    // Once the program was asked to stop, waits at most `within` for an archive run on a thread
    // of its own to come to its end; false when it did not (stuck in a system call). True when
    // there is none.
    virtual bool waitForRunEnd(std::chrono::milliseconds within) = 0;
};

// Thrown on the archive run's thread at its next step once the program was asked to stop
// (Program::requestCancel): it is no std::exception, so it passes every trap, and it ends the
// run's thread without a word. What the run leaves is cleaned up by whoever asked.
struct RunCancelled {};

// A step of the run begins: throws RunCancelled when the program was asked to stop.
void stopIfCancelled(const Program &program);
