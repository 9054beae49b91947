#include "app/RunThread.h"

#include "app/Program.h"
#include "app/WindowThread.h"

#include <QElapsedTimer>
#include <QEventLoop>

#include <pthread.h>

// The window as the run sees it from its own thread. Nothing here waits for the window but the
// run log viewer, which the run shows as one of its own boxes.
class RunThread::Host : public RunHost {
public:
    Host(RunThread &run)
        : m_run(run)
    {
    }

    QString archiveFolderText() const override { return m_run.m_window.archiveFolderText(); }
    void setArchiveFolderText(const QString &text) override
    {
        toWindow([text](RunHost &window) { window.setArchiveFolderText(text); });
    }
    void setWaitPointer(bool on) override
    {
        toWindow([on](RunHost &window) { window.setWaitPointer(on); });
    }
    void setRunning(bool running) override
    {
        m_run.m_phase = running ? Phase::Running : Phase::Reporting;
        toWindow([running](RunHost &window) { window.setRunning(running); });
    }
    bool isRunning() const override { return m_run.m_phase == Phase::Running; }
    void setProgress(double value, double maximum, ProgressUnit unit) override
    {
        // Only the latest counts: a folder of 70,000 files hands over what the window can show.
        const std::lock_guard lock(m_progressMutex);
        m_progress = {value, maximum, unit};
        if (m_progressPending)
            return;
        m_progressPending = true;
        postTo(&m_run.m_context,
               [this] { runAtMostEvery(&m_run.m_context, m_shown, [this] { showProgress(); }); });
    }
    void showRunLog(const QString &path) override
    {
        RunHost *window = &m_run.m_window;
        const Program *program = &m_run.m_program;
        callOn(
            &m_run.m_context, [window, path] { window->showRunLog(path); },
            [program] { return program->cancelRequested(); });
    }
    bool waitForRunEnd(std::chrono::milliseconds) override { return true; }

private:
    struct Progress {
        double value = 0;
        double maximum = 0;
        ProgressUnit unit = ProgressUnit::Files;
    };

    // On the window's thread: the latest progress, taken.
    void showProgress()
    {
        Progress progress;
        {
            const std::lock_guard lock(m_progressMutex);
            progress = m_progress;
            m_progressPending = false;
        }
        m_run.m_window.setProgress(progress.value, progress.maximum, progress.unit);
    }

    void toWindow(std::function<void(RunHost &)> tell)
    {
        RunHost *window = &m_run.m_window;
        postTo(&m_run.m_context, [window, tell = std::move(tell)] { tell(*window); });
    }

    RunThread &m_run;
    std::mutex m_progressMutex;
    Progress m_progress;
    bool m_progressPending = false;
    QElapsedTimer m_shown;
};

RunThread::RunThread(Program &program, RunHost &window)
    : m_program(program)
    , m_window(window)
    , m_host(std::make_unique<Host>(*this))
{
}

RunThread::~RunThread()
{
    if (active()) {
        // Nothing is left to show what it does.
        m_program.requestCancel();
        waitToStop(std::chrono::hours(1));
    }
    if (m_thread.joinable())
        m_thread.join();
}

bool RunThread::active() const
{
    const std::lock_guard lock(m_mutex);
    return m_active;
}

bool RunThread::inProgress() const
{
    return active() && m_phase != Phase::Reporting;
}

void RunThread::start(std::function<void(RunHost &)> run)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_active)
            return;
        m_active = true;
        m_escaped = nullptr;
    }
    if (m_thread.joinable())
        m_thread.join();
    m_phase = Phase::Checking;
    m_thread = std::thread([this, run = std::move(run)] {
        ::pthread_setname_np(::pthread_self(), "archive run");
        std::exception_ptr escaped;
        try {
            run(*m_host);
        } catch (const RunCancelled &) {
            // Asked to stop: whoever asked ends the program.
        } catch (...) {
            escaped = std::current_exception();
        }
        {
            const std::lock_guard lock(m_mutex);
            m_escaped = escaped;
            m_active = false;
        }
        m_ended.notify_all();
        postTo(&m_context, [this] { finished(); });
    });
}

void RunThread::finished()
{
    if (!active() && m_thread.joinable())
        m_thread.join();
    if (const auto onEnd = std::exchange(m_onEnd, nullptr))
        onEnd();
}

void RunThread::wait()
{
    QEventLoop loop;
    m_onEnd = [&loop] { loop.quit(); };
    if (active())
        loop.exec();
    m_onEnd = nullptr;
    if (m_thread.joinable())
        m_thread.join();
    std::exception_ptr escaped;
    {
        const std::lock_guard lock(m_mutex);
        escaped = std::exchange(m_escaped, nullptr);
    }
    if (escaped)
        std::rethrow_exception(escaped);
}

bool RunThread::waitToStop(std::chrono::milliseconds within)
{
    std::unique_lock lock(m_mutex);
    return m_ended.wait_for(lock, within, [&] { return !m_active; });
}
