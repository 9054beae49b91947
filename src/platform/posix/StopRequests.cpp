#include "platform/StopRequests.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int wakeFds[2] = {-1, -1};
// Two signals may land on two threads at once: only one of them may take the first stop.
std::atomic<bool> pending{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used in a signal handler");

// Said from the handler with write(2), which a handler may call: cron mails what reaches stderr.
constexpr char stoppedAgain[] = "Sorvik: (error) asked to stop again before the first stop was "
                                "done: ended at once, without finishing the run log\n";

extern "C" void onStopSignal(int)
{
    if (pending.exchange(true)) {
        [[maybe_unused]] const ssize_t ignored =
            ::write(STDERR_FILENO, stoppedAgain, sizeof stoppedAgain - 1);
        ::_exit(1);
    }
    const char byte = 's';
    [[maybe_unused]] const ssize_t ignored = ::write(wakeFds[1], &byte, 1);
}
} // namespace

void watchStopRequests(QObject *context, std::function<void()> onStop)
{
    if (wakeFds[0] < 0 && ::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [onStop = std::move(onStop)] {
        char bytes[16];
        while (::read(wakeFds[0], bytes, sizeof bytes) > 0) {
        }
        onStop();
    });

    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    // Reads and copies under way finish instead of failing with EINTR.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
