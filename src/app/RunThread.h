#pragma once

#include "app/RunHost.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class Program;

// The archive run on a thread of its own, so that nothing the window does (a box, a window of its
// own loop, a slow command) holds it up. The window observes it: what the run tells its host
// reaches the window's thread in order, and only the boxes the run itself shows make it wait. The
// window asks it to stop through Program::requestCancel. Made on the window's thread.
class RunThread {
public:
    RunThread(Program &program, RunHost &window);
    ~RunThread();
    RunThread(const RunThread &) = delete;
    RunThread &operator=(const RunThread &) = delete;

    // From start() until the run's function has returned.
    bool active() const;
    // From start() until the run leaves its running state: what a stop cuts.
    bool inProgress() const;
    // Runs `run` on the thread with a host that reaches the window from there; returns at once.
    // Nothing happens while a run is active.
    void start(std::function<void(RunHost &)> run);
    // Lets the window's events through until the run's function has returned, then passes on
    // whatever escaped it (a test's stand-in for the end of the process).
    void wait();
    // Waits without letting events through, at most `within`; true when the run has ended.
    bool waitToStop(std::chrono::milliseconds within);

private:
    class Host;
    enum class Phase { Checking, Running, Reporting };
    void finished();

    Program &m_program;
    RunHost &m_window;
    std::unique_ptr<Host> m_host;
    // Lives on the window's thread: what the run hands over runs there, never once it is gone.
    QObject m_context;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_ended;
    bool m_active = false;
    std::atomic<Phase> m_phase = Phase::Checking;
    std::exception_ptr m_escaped;
    std::function<void()> m_onEnd;
};
