#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <functional>
#include <mutex>

// How another thread reaches the window's thread: work handed over to run there later. Nothing
// waits for the window.

// Where work handed over from any thread waits for the thread this lives on, and runs there in
// the order handed over; work not run yet goes with it. The hand-over itself is under a lock of
// ours, so that a thread sanitizer sees its order (the toolkit's own queue is built without it,
// and would look like none): the toolkit's event only wakes the thread.
class Mailbox : public QObject {
public:
    using QObject::QObject;

    void post(std::function<void()> work)
    {
        QEvent *wake = nullptr;
        {
            const std::lock_guard lock(m_mutex);
            m_waiting.push_back(std::move(work));
            if (std::exchange(m_woken, true))
                return;
            // Made under the lock, which the waking thread takes before it looks at the event.
            wake = new QEvent(QEvent::User);
        }
        QCoreApplication::postEvent(this, wake);
    }

    // Runs what waits now, on the thread this lives on.
    void runWaiting()
    {
        // A piece of work may take this mailbox away with it.
        const QPointer<Mailbox> alive(this);
        while (alive) {
            std::function<void()> work;
            {
                const std::lock_guard lock(m_mutex);
                if (m_waiting.empty()) {
                    m_woken = false;
                    break;
                }
                work = std::move(m_waiting.front());
                m_waiting.pop_front();
            }
            work();
        }
    }

protected:
    bool event(QEvent *event) override
    {
        {
            const std::lock_guard lock(m_mutex);
        }
        if (event->type() != QEvent::User)
            return QObject::event(event);
        runWaiting();
        return true;
    }

private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_waiting;
    bool m_woken = false;
};

// Runs `work` later on the thread `mailbox` lives on, in the order handed over; never when the
// mailbox is gone first.
inline void postTo(Mailbox *mailbox, std::function<void()> work)
{
    mailbox->post(std::move(work));
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
