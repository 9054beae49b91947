#include "app/RunThread.h"

#include "app/WindowThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <future>
#include <system_error>

#include <pthread.h>

// The window as the run sees it from its own thread: each call becomes a queued call on the
// window's thread, and nothing waits for the window.
class RunThread::Host : public RunHost {
public:
    Host(Mailbox &context, RunHost &window, const FolderText &folder)
        : m_context(context)
        , m_window(window)
        , m_folder(folder)
    {
    }

    QString archiveFolderText() const override { return m_folder.get(); }
    void setRunning(bool running) override
    {
        toWindow([running](RunHost &window) { window.setRunning(running); });
    }
    void setProgress(double value, double maximum, ProgressUnit unit) override
    {
        // Only the latest counts: a folder of 70,000 files hands over what the window can show.
        const std::lock_guard lock(m_progressMutex);
        m_progress = {value, maximum, unit};
        if (m_progressPending)
            return;
        m_progressPending = true;
        postTo(&m_context,
               [this] { runAtMostEvery(&m_context, m_shown, [this] { showProgress(); }); });
    }
    void runLogOpened(const QString &path) override
    {
        toWindow([path](RunHost &window) { window.runLogOpened(path); });
    }
    void archiveDelivered(const QString &path, qint64 bytes, qint64 entries) override
    {
        toWindow([path, bytes, entries](RunHost &window) {
            window.archiveDelivered(path, bytes, entries);
        });
    }

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
        m_window.setProgress(progress.value, progress.maximum, progress.unit);
    }

    void toWindow(std::function<void(RunHost &)> tell)
    {
        RunHost *window = &m_window;
        postTo(&m_context, [window, tell = std::move(tell)] { tell(*window); });
    }

    Mailbox &m_context;
    RunHost &m_window;
    const FolderText &m_folder;
    std::mutex m_progressMutex;
    Progress m_progress;
    bool m_progressPending = false;
    // On the window's thread only.
    QElapsedTimer m_shown;
};

RunThread::RunThread(RunHost &window, const FolderText &folder,
                     std::function<void(const RunEnd &)> ended)
    : m_host(std::make_unique<Host>(m_context, window, folder))
    , m_ended(std::move(ended))
{
}

RunThread::~RunThread()
{
    if (m_run)
        m_run->requestCancel();
    if (m_thread.joinable())
        m_thread.join();
}

bool RunThread::running() const
{
    const std::lock_guard lock(m_mutex);
    return m_running;
}

void RunThread::start(std::unique_ptr<Run> run, std::function<RunEnd(Run &, RunHost &)> work)
{
    if (m_endPending)
        return;
    if (m_thread.joinable())
        m_thread.join();
    m_run = std::move(run);
    m_endPending = true;
    m_running = true;
    std::promise<void> owned;
    try {
        m_thread = std::thread(
            [this, work = std::move(work), run = m_run.get(), owned = owned.get_future()] {
                ::pthread_setname_np(::pthread_self(), "archive run");
                owned.wait();
                RunEnd end;
                try {
                    end = work(*run, *m_host);
                } catch (const RunEnds &ends) {
                    end = ends.end;
                } catch (const RunCancelled &) {
                    // Asked to stop: what it made for itself goes; whoever asked ends the program.
                    run->removeRunTemporaries();
                    end = {RunEnd::Kind::Cancelled, QString()};
                } catch (const std::exception &failure) {
                    end = {RunEnd::Kind::Failed, QString::fromLocal8Bit(failure.what())};
                } catch (...) {
                    end = {RunEnd::Kind::Failed, QStringLiteral("an unexpected failure")};
                }
                {
                    const std::lock_guard lock(m_mutex);
                    m_running = false;
                    m_end = end;
                }
                m_returned.notify_all();
                postTo(&m_context, [this] { handOver(); });
            });
    } catch (const std::system_error &error) {
        // The system starts no thread (a limit on threads or on address space): the run ends
        // failed, told as any end is, never half begun.
        {
            const std::lock_guard lock(m_mutex);
            m_running = false;
            m_end = RunEnd{RunEnd::Kind::Failed,
                           QStringLiteral("No thread could be started for the run: %1")
                               .arg(QString::fromLocal8Bit(error.code().message()))};
        }
        postTo(&m_context, [this] { handOver(); });
        return;
    }
    // The run log is the run's from its first line until its end is handed over.
    m_run->runLog().takeOver(m_thread.get_id());
    owned.set_value();
}

void RunThread::handOver()
{
    if (!m_endPending)
        return;
    if (m_thread.joinable())
        m_thread.join();
    RunEnd end;
    {
        const std::lock_guard lock(m_mutex);
        end = *std::exchange(m_end, std::nullopt);
    }
    m_run->runLog().takeOver(std::this_thread::get_id());
    // Its formatter and what else it holds go with it.
    m_run.reset();
    m_endPending = false;
    m_taken = end;
    guarded([&] { m_ended(end); });
    if (const auto onTaken = std::exchange(m_onTaken, nullptr))
        onTaken();
}

void RunThread::requestCancel()
{
    if (m_run && running())
        m_run->requestCancel();
}

std::optional<RunEnd> RunThread::stop(std::chrono::milliseconds within)
{
    if (!m_endPending)
        return m_taken;
    requestCancel();
    bool returned = false;
    {
        std::unique_lock lock(m_mutex);
        returned = m_returned.wait_for(lock, within, [&] { return !m_running; });
    }
    // What it told the window meanwhile, and its end when it came to one.
    m_context.runWaiting();
    if (returned)
        handOver();
    if (!returned) {
        m_run->runLog().takeOver(std::this_thread::get_id());
        m_run->removeRunTemporaries();
        return std::nullopt;
    }
    return m_taken;
}

void RunThread::wait()
{
    if (m_endPending) {
        QEventLoop loop;
        m_onTaken = [&loop] { loop.quit(); };
        loop.exec();
        m_onTaken = nullptr;
    }
    if (m_thread.joinable())
        m_thread.join();
    if (const std::exception_ptr escaped = std::exchange(m_escaped, nullptr))
        std::rethrow_exception(escaped);
}

void RunThread::guarded(const std::function<void()> &step)
{
    try {
        step();
    } catch (...) {
        m_escaped = std::current_exception();
        if (const auto onTaken = std::exchange(m_onTaken, nullptr))
            onTaken();
    }
}
