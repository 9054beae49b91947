#include "platform/posix/SmbWorker.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

using Steady = SmbWorker::Clock;

// One job: given by a caller, run by the share thread. Guarded by its worker's mutex.
struct SmbJob {
    SmbWorker::Body body;
    std::exception_ptr failure;
    bool finished = false;
    // The steps the caller has not been told yet, how many the job took and the caller was told,
    // and whether the job waits for a caller that falls behind (one that watches it).
    std::deque<std::pair<qint64, qint64>> moves;
    quint64 steps = 0;
    quint64 told = 0;
    bool lockstep = false;
    bool stop = false;
    // The caller no longer waits: what the job still does is for nobody.
    bool abandoned = false;
    // When the job was given, then when it last heard from the server, and when it ended.
    Steady::time_point heard;
    Steady::time_point ended;
};

struct SmbWorkerState {
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable news;
    std::deque<std::shared_ptr<SmbJob>> queue;
    bool started = false;
    bool busy = false;
    bool quit = false;
    bool ended = false;
    // The share thread's last sign of life: a job it began, a word from a server, a job it ended.
    Steady::time_point heard;
    std::optional<Steady::time_point> deadline;
    // Servers that went silent, not asked again until `until`, and what is said meanwhile.
    struct Stall {
        Steady::time_point until;
        QString reason;
    };
    std::map<QString, Stall> stalls;
};

namespace {

// How many steps a job may take before its caller has been told of them: enough that the job
// does not wait for every wake-up of a busy machine, few enough that a stop ends it soon.
constexpr quint64 aheadOfCaller = 2;

QString serverKey(const SmbPath &place)
{
    return place.server.toLower() + QLatin1Char(':') + QString::number(place.port);
}

Steady::duration patience()
{
    return std::chrono::seconds(SmbContext::timeoutSeconds());
}

// A server that said nothing for `waited`: said, and remembered for the time limit.
SmbFailure silence(SmbWorkerState &state, const SmbPath &place, Steady::duration waited)
{
    const double seconds = std::chrono::duration<double>(waited).count();
    SmbFailure failure{
        ETIMEDOUT, QString(),
        place.where() +
            QStringLiteral(": the server did not answer for %1 seconds").arg(seconds, 0, 'f', 1)};
    state.stalls[serverKey(place)] = {Steady::now() + patience(), failure.reason};
    return failure;
}

void serve(const std::shared_ptr<SmbWorkerState> &state)
{
    {
        // Made, used and freed here, and nowhere else.
        SmbContext context;
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->work.wait(lock, [&] { return state->quit || !state->queue.empty(); });
            if (state->quit)
                break;
            const std::shared_ptr<SmbJob> job = std::move(state->queue.front());
            state->queue.pop_front();
            if (job->abandoned)
                continue;
            job->heard = state->heard = Steady::now();
            state->busy = true;
            SmbWorker::Body body = std::move(job->body);
            lock.unlock();
            std::exception_ptr failure;
            {
                SmbBeat beat(*state, *job);
                const auto inside = SmbContext::lock();
                SmbLibrary::t_answered = [&beat] { beat.heard(); };
                try {
                    body(context, beat);
                } catch (...) {
                    failure = std::current_exception();
                }
                SmbLibrary::t_answered = nullptr;
            }
            // What the job held (a local file, a helper) goes here, before its caller hears.
            body = nullptr;
            lock.lock();
            job->failure = failure;
            job->finished = true;
            state->busy = false;
            job->ended = state->heard = Steady::now();
            state->news.notify_all();
        }
    }
    const std::lock_guard lock(state->mutex);
    state->ended = true;
    state->news.notify_all();
}

} // namespace

void SmbBeat::heard()
{
    const std::lock_guard lock(m_state.mutex);
    m_job.heard = m_state.heard = Steady::now();
}

void SmbBeat::moved(qint64 done, qint64 total, const std::function<bool()> &interrupted)
{
    std::unique_lock lock(m_state.mutex);
    m_job.heard = m_state.heard = Steady::now();
    m_job.moves.emplace_back(done, total);
    const quint64 step = ++m_job.steps;
    m_state.news.notify_all();
    if (m_job.lockstep)
        m_state.news.wait(lock, [&] {
            return m_job.told + aheadOfCaller >= step || m_job.stop || m_job.abandoned ||
                   (interrupted && interrupted());
        });
}

bool SmbBeat::stopAsked() const
{
    const std::lock_guard lock(m_state.mutex);
    return m_job.stop || m_job.abandoned;
}

SmbWorker::SmbWorker()
    : m_state(std::make_shared<SmbWorkerState>())
{
}

SmbWorker::~SmbWorker()
{
    std::unique_lock lock(m_state->mutex);
    if (!m_state->started)
        return;
    m_state->quit = true;
    m_state->work.notify_all();
    // Ending takes the context's teardown (a word to each server), waited for while the thread is
    // heard from; an idle thread begins it now. A thread still inside a call to a silent server
    // is left to end on its own.
    if (!m_state->busy)
        m_state->heard = Steady::now();
    for (;;) {
        Steady::time_point until = m_state->heard + patience();
        if (m_state->deadline)
            until = std::min(until, *m_state->deadline);
        if (m_state->ended || Steady::now() >= until)
            return;
        m_state->news.wait_until(lock, until);
    }
}

void SmbWorker::endWaitsBy(Steady::time_point deadline)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->deadline = m_state->deadline ? std::min(*m_state->deadline, deadline) : deadline;
    m_state->news.notify_all();
}

void SmbWorker::nudge()
{
    const std::lock_guard lock(m_state->mutex);
    m_state->news.notify_all();
}

void SmbWorker::execute(const SmbPath &place, Body body, const Watch &watch)
{
    SmbWorkerState &state = *m_state;
    const auto stopped = [&] {
        return SmbFailure{ECANCELED, QString(),
                          place.where() + QStringLiteral(": stopped on request")};
    };
    auto job = std::make_shared<SmbJob>();
    job->body = std::move(body);
    job->lockstep = watch.progress || watch.stop;
    std::unique_lock lock(state.mutex);
    Steady::time_point now = Steady::now();
    if (const auto stall = state.stalls.find(serverKey(place)); stall != state.stalls.end()) {
        if (stall->second.until > now)
            throw SmbFailure{ETIMEDOUT, QString(), stall->second.reason};
        state.stalls.erase(stall);
    }
    if (state.deadline && now >= *state.deadline)
        throw stopped();
    if (!state.started) {
        std::thread(serve, m_state).detach();
        state.started = true;
    }
    job->heard = now;
    state.queue.push_back(job);
    state.work.notify_one();

    for (;;) {
        if (!job->moves.empty() || (watch.stop && !job->stop)) {
            // Each step is told, then the caller is asked whether to stop; none after a stop.
            const auto moves = std::exchange(job->moves, {});
            const bool stopped = job->stop;
            lock.unlock();
            bool stop = false;
            try {
                for (auto step = moves.begin(); !stopped && !stop && step != moves.end(); ++step) {
                    if (watch.progress)
                        watch.progress(step->first, step->second);
                    stop = watch.stop && watch.stop();
                }
                if (moves.empty() && !stopped)
                    stop = watch.stop && watch.stop();
            } catch (...) {
                // A caller that leaves this way waits no more: the job is not to wait for it.
                lock.lock();
                job->abandoned = true;
                state.news.notify_all();
                throw;
            }
            lock.lock();
            job->stop = job->stop || stop;
            job->told += moves.size();
            state.news.notify_all();
            if (!job->moves.empty())
                continue;
        }
        if (job->finished)
            break;
        now = Steady::now();
        const Steady::time_point quiet = std::max(job->heard, state.heard);
        Steady::time_point until = quiet + patience();
        const bool ending = state.deadline && *state.deadline < until;
        if (ending)
            until = *state.deadline;
        if (now >= until) {
            job->abandoned = true;
            if (ending)
                throw stopped();
            throw silence(state, place, now - quiet);
        }
        state.news.wait_until(lock, until);
    }
    if (!job->failure)
        return;
    try {
        std::rethrow_exception(job->failure);
    } catch (SmbFailure &failure) {
        // The library's own limit: said with the time it really waited.
        if (failure.error == ETIMEDOUT || failure.error == EAGAIN) {
            const SmbFailure said = silence(state, place, job->ended - job->heard);
            failure.error = said.error;
            failure.reason = said.reason;
        }
        throw;
    }
}
