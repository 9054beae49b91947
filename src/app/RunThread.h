#pragma once

#include "app/Run.h"
#include "app/RunHost.h"
#include "app/WindowThread.h"

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// The archive run on a thread of its own, so that nothing the window does (a box, a window with a
// loop of its own, a slow command) holds it up, and nothing it does touches the window. What the
// run tells its host reaches the window's thread by queued calls, in order; so does its end, once
// the run's thread has returned. Made and used on the window's thread.
class RunThread {
public:
    // `window` hears what the run tells, and `ended` takes each run's end, on this thread.
    RunThread(RunHost &window, const FolderText &folder, std::function<void(const RunEnd &)> ended);
    ~RunThread();
    RunThread(const RunThread &) = delete;
    RunThread &operator=(const RunThread &) = delete;

    // From start() until the run's thread has returned: a stop cuts the run.
    bool running() const;
    // From start() until the run's end has been taken by `ended`.
    bool active() const { return m_endPending; }
    // Runs `work` on the thread with a host that reaches the window from there; returns at once.
    // Nothing happens while a run is active.
    void start(std::unique_ptr<Run> run, std::function<RunEnd(Run &, RunHost &)> work);
    // Asks the run under way to stop at its next step, waits at most `within` for its thread to
    // return without letting the window's events through, then takes what it told meanwhile and
    // its end, which it gives (the last run's end when none was under way). Nothing when it did
    // not return (stuck in a system call): the files it made for itself are then removed from
    // here, and the run log is no longer its own.
    std::optional<RunEnd> stop(std::chrono::milliseconds within);
    // Lets the window's events through until the run's end has been taken, then passes on what
    // escaped a guarded step meanwhile (a test's stand-in for the end of the process).
    void wait();
    // Runs `step`, one the window's events started: what escapes it is not thrown through the
    // event loop but kept for wait().
    void guarded(const std::function<void()> &step);

private:
    class Host;
    // Takes the end of the run whose thread has returned, once.
    void handOver();
    void requestCancel();

    std::unique_ptr<Host> m_host;
    std::function<void(const RunEnd &)> m_ended;
    std::unique_ptr<Run> m_run;
    // Lives on the window's thread: what the run hands over runs there, never once it is gone.
    Mailbox m_context;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_returned;
    bool m_running = false;
    std::optional<RunEnd> m_end;
    bool m_endPending = false;
    std::exception_ptr m_escaped;
    RunEnd m_taken;
    std::function<void()> m_onTaken;
};
