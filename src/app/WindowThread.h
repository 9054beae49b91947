#pragma once

#include "app/RunHost.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// How the archive run's thread reaches the window's thread: work handed over to run there later,
// or run there while the run waits for it (a box the run itself must show).

// Runs `work` later on the thread of `context`, in the order handed over; never when `context` is
// gone first.
inline void postTo(QObject *context, std::function<void()> work)
{
    QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
}

// Runs `work` now, or later on the thread of `context` (the caller's): at most once every 40 ms,
// `last` telling when it last ran. What changes for each of 70,000 small files (the bar, the pane)
// is shown that often: waking the window's thread for each change cost the run a fifth of its time.
inline void runAtMostEvery(QObject *context, QElapsedTimer &last, std::function<void()> work)
{
    constexpr qint64 every = 40; // milliseconds
    const qint64 early = last.isValid() ? every - last.elapsed() : 0;
    auto run = [&last, work = std::move(work)] {
        last.start();
        work();
    };
    if (early > 0)
        QTimer::singleShot(int(early), context, std::move(run));
    else
        run();
}

// Runs `work` on the thread of `context` and gives its result, passing on what it throws; at once
// when called on that thread. While it waits, `cancelled` is asked now and then; once it says so
// the wait ends with RunCancelled, and work not begun yet is dropped. `work` outlives the caller
// then, so it captures by value.
template <typename Result>
Result callOn(QObject *context, std::function<Result()> work,
              const std::function<bool()> &cancelled)
{
    if (QThread::currentThread() == context->thread())
        return work();
    struct Pending {
        std::mutex mutex;
        std::condition_variable done;
        bool abandoned = false;
        bool finished = false;
        std::optional<Result> result;
        std::exception_ptr failure;
    };
    const auto pending = std::make_shared<Pending>();
    postTo(context, [pending, work = std::move(work)] {
        {
            const std::lock_guard lock(pending->mutex);
            if (pending->abandoned)
                return;
        }
        std::optional<Result> result;
        std::exception_ptr failure;
        try {
            result.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard lock(pending->mutex);
        pending->result = std::move(result);
        pending->failure = failure;
        pending->finished = true;
        pending->done.notify_all();
    });
    std::unique_lock lock(pending->mutex);
    while (!pending->done.wait_for(lock, std::chrono::milliseconds(20),
                                   [&] { return pending->finished; })) {
        if (cancelled && cancelled()) {
            pending->abandoned = true;
            throw RunCancelled{};
        }
    }
    if (pending->failure)
        std::rethrow_exception(pending->failure);
    return std::move(*pending->result);
}

inline void callOn(QObject *context, std::function<void()> work,
                   const std::function<bool()> &cancelled)
{
    callOn<bool>(
        context,
        [work = std::move(work)] {
            work();
            return true;
        },
        cancelled);
}
