#pragma once

#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <functional>

// How another thread reaches the window's thread: work handed over to run there later. Nothing
// waits for the window.

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
