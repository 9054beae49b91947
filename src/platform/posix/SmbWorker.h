#pragma once

#include "platform/posix/SmbContext.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

struct SmbJob;
struct SmbWorkerState;

// What a job on the share thread tells the caller waiting for it, and what it is asked. Used on
// the share thread only.
class SmbBeat {
public:
    SmbBeat(SmbWorkerState &state, SmbJob &job)
        : m_state(state)
        , m_job(job)
    {
    }

    // The server answered.
    void heard();
    // The server answered and the job has come `done` of `total` bytes. When the caller watches,
    // it is told each step, and the job goes on only while the caller is at most two steps
    // behind (so that it may stop the job soon), or `interrupted` says that it is to stop for
    // another reason.
    void moved(qint64 done, qint64 total, const std::function<bool()> &interrupted = {});
    // The caller asked the job to stop, or stopped waiting for it.
    bool stopAsked() const;

private:
    SmbWorkerState &m_state;
    SmbJob &m_job;
};

// The thread that talks to shares for one file-system layer. It makes, uses and frees the layer's
// one libsmbclient context and runs the jobs it is given, one after the other, so that a caller
// never has to wait longer than it chooses: it waits while the server answers, but once it has
// heard nothing for the time limit (SORVIK_SMB_TIMEOUT), or the process ending has set a deadline,
// it stops waiting and the job is left to end on the share thread when the library gives up.
// That is the one deadline of a stalled delivery: for the limit after, the same server is not
// asked again (each operation fails at once with the same reason), so a delivery whose server
// stops answering ends after the limit, not after one limit per step of its clean-up.
//
// A job runs on the share thread and owns everything it touches (it captures by value): its
// caller may be gone before it ends.
class SmbWorker {
public:
    using Clock = std::chrono::steady_clock;
    using Body = std::function<void(SmbContext &, SmbBeat &)>;

    // What the caller does while it waits, on its own thread: told each step a job makes, asked
    // after each whether the job is to stop.
    struct Watch {
        std::function<void(qint64 done, qint64 total)> progress;
        std::function<bool()> stop;
    };

    SmbWorker();
    // Ends the thread: waits for it (and the context's teardown) only while the server answers.
    ~SmbWorker();
    SmbWorker(const SmbWorker &) = delete;
    SmbWorker &operator=(const SmbWorker &) = delete;

    // Runs `job` (SmbContext &, SmbBeat &) on the share thread for an operation on `place`, and
    // gives back what it returns. Throws SmbFailure, and whatever else the job threw.
    template <typename Job> auto run(const SmbPath &place, Job job, const Watch &watch = {})
    {
        using Result = std::invoke_result_t<Job &, SmbContext &, SmbBeat &>;
        if constexpr (std::is_void_v<Result>) {
            execute(place, std::move(job), watch);
        } else {
            auto result = std::make_shared<std::optional<Result>>();
            execute(
                place,
                [result, job = std::move(job)](SmbContext &smb, SmbBeat &beat) mutable {
                    result->emplace(job(smb, beat));
                },
                watch);
            return std::move(**result);
        }
    }

    // No wait ends later than `deadline`, and no job starts after it: the process is ending.
    void endWaitsBy(Clock::time_point deadline);
    // A job waiting for its caller looks again whether it was interrupted (SmbBeat::moved).
    void nudge();

private:
    void execute(const SmbPath &place, Body body, const Watch &watch);

    std::shared_ptr<SmbWorkerState> m_state;
};
