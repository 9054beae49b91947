#include "platform/posix/DiagFormatterProcess.h"

#include <QByteArray>

#include <atomic>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// The helper is a forked child of this process rather than a program of its own: the component
// is already loaded, nothing has to be found beside the executable, and the test binaries run it
// just as the program does. The child only ever runs the component and the frame loop below
// (plain system calls and malloc, which glibc keeps usable after fork); it never returns into the
// parent's code and ends with _exit, so no Qt object or buffered file of the parent is touched.
//
// The two talk over a socket pair (a peer gone gives EPIPE, never SIGPIPE). Lines go in batches,
// so that the two processes do not wait on each other for every line:
//   to the helper:   u32 size of what follows, u32 count, then for each line u32 length, bytes
//   from the helper: for each line i32 status, u32 length, the text (status 0) or the error
// The helper's first answer, with no bytes, says whether the component made its formatter. Before
// each line it notes the line's number in memory shared with the parent, so that the parent knows
// which line the component crashed or hung on.
namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The number every failure of the formatter itself is reported with.
constexpr int formatterFailed = 51;
// No line of 510 characters formats into more than this: a longer answer is a broken component.
constexpr uint32_t maxAnswer = 16 * 1024 * 1024;
// The helper's socket, once the other descriptors are closed.
constexpr int helperSocket = 3;

struct Header {
    int32_t status;
    uint32_t length;
};

// The helper's side: blocking, and the parent gone is the end.
bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool receiveAll(int fd, char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

void append(std::string &to, const void *data, size_t size)
{
    to.append(static_cast<const char *>(data), size);
}

void appendAnswer(std::string &to, int32_t status, const char *data, size_t length)
{
    const Header header{status, uint32_t(std::min<size_t>(length, UINT32_MAX))};
    append(to, &header, sizeof header);
    if (header.length)
        append(to, data, header.length);
}

[[noreturn]] void serve(int fd, const DiagFormatterEntry &entry, std::atomic<uint32_t> &progress)
{
    void *const instance = entry.create();
    std::string answers;
    appendAnswer(answers, instance ? 0 : -1, nullptr, 0);
    if (!sendAll(fd, answers.data(), answers.size()) || !instance)
        ::_exit(0);
    std::string batch;
    for (;;) {
        uint32_t size = 0;
        if (!receiveAll(fd, reinterpret_cast<char *>(&size), sizeof size))
            break;
        batch.resize(size);
        if (!receiveAll(fd, batch.data(), size))
            break;
        // The parent wrote the batch: its numbers are trusted, not checked.
        const char *at = batch.data();
        const auto number = [&] {
            uint32_t n = 0;
            std::memcpy(&n, at, sizeof n);
            at += sizeof n;
            return n;
        };
        const uint32_t count = number();
        answers.clear();
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t length = number();
            const char *const line = at;
            at += length;
            progress.store(i, std::memory_order_relaxed);
            char *text = nullptr;
            char *error = nullptr;
            size_t textLength = 0;
            const int status = entry.format(instance, line, length, &text, &textLength, &error);
            if (status == 0)
                appendAnswer(answers, 0, text, text ? textLength : 0);
            else
                appendAnswer(answers, status, error, error ? std::strlen(error) : 0);
            entry.release(text);
            entry.release(error);
        }
        if (!sendAll(fd, answers.data(), answers.size()))
            break;
    }
    entry.destroy(instance);
    ::_exit(0);
}

// In the child, straight after fork.
[[noreturn]] void runHelper(int fd, pid_t parent, const DiagFormatterEntry &entry,
                            std::atomic<uint32_t> &progress)
{
    // The helper never outlives the program, even one killed outright.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // The parent's files, locks and pipes are none of the helper's business: holding them would
    // keep them open after the parent closed them.
    if (fd != helperSocket) {
        if (::dup2(fd, helperSocket) < 0)
            ::_exit(1);
        fd = helperSocket;
    }
    if (::close_range(helperSocket + 1, ~0U, 0) != 0) {
        for (int other = helperSocket + 1; other < 65536; ++other)
            ::close(other);
    }
    serve(fd, entry, progress);
}

class DiagFormatterProcess : public DiagLineFormatter {
public:
    DiagFormatterProcess(std::shared_ptr<void> library, DiagFormatterEntry entry)
        : m_library(std::move(library))
        , m_entry(entry)
    {
    }
    ~DiagFormatterProcess() override
    {
        stop();
        if (m_progress)
            ::munmap(m_progress, sizeof *m_progress);
    }

    void beginFile(milliseconds limit) override
    {
        m_inFile = true;
        m_limit = limit;
        m_used = milliseconds(0);
        m_failure.reset();
        if (m_pid < 0)
            start();
    }

    std::vector<FormattedLine> FormatLines(const QStringList &lines) override
    {
        // Outside a file every batch has the base time of a file.
        if (!m_inFile) {
            m_limit = DiagFormatTimeLimit().base;
            m_used = milliseconds(0);
            m_failure.reset();
        }
        if (m_failure)
            throw FormatterFailure(m_failure->number(), m_failure->description());
        if (m_pid < 0)
            start();

        QByteArray request;
        const auto appendNumber = [&](uint32_t n) {
            request.append(reinterpret_cast<const char *>(&n), sizeof n);
        };
        appendNumber(0); // the size, once known
        appendNumber(uint32_t(lines.size()));
        for (const QString &line : lines) {
            const QByteArray bytes = line.toLatin1();
            appendNumber(uint32_t(bytes.size()));
            request += bytes;
        }
        const uint32_t size = uint32_t(request.size() - qsizetype(sizeof size));
        std::memcpy(request.data(), &size, sizeof size);

        const auto started = SteadyClock::now();
        m_deadline = started + (m_limit - m_used);
        m_progress->store(0, std::memory_order_relaxed);
        send(request);
        std::vector<FormattedLine> answers;
        answers.reserve(size_t(lines.size()));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const Header header = receiveHeader();
            const QString text = QString::fromLatin1(receive(header.length));
            if (header.status == 0)
                answers.push_back({text, std::nullopt});
            else
                answers.push_back(
                    {QString(),
                     Failure(header.status,
                             text.isEmpty() ? QStringLiteral("the diagnostic line formatter failed")
                                            : text)});
        }
        m_used += std::chrono::duration_cast<milliseconds>(SteadyClock::now() - started);
        return answers;
    }

private:
    void start()
    {
        if (!m_progress) {
            void *shared = ::mmap(nullptr, sizeof(std::atomic<uint32_t>), PROT_READ | PROT_WRITE,
                                  MAP_SHARED | MAP_ANONYMOUS, -1, 0);
            if (shared == MAP_FAILED)
                cannotStart(errno);
            m_progress = new (shared) std::atomic<uint32_t>(0);
        }
        m_progress->store(0, std::memory_order_relaxed);
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            cannotStart(errno);
        // Whatever the parent's stdio holds must not be written twice.
        std::fflush(nullptr);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            runHelper(fds[1], parent, m_entry, *m_progress);
        }
        const int forkError = errno;
        ::close(fds[1]);
        if (pid < 0) {
            ::close(fds[0]);
            cannotStart(forkError);
        }
        m_pid = pid;
        m_fd = fds[0];

        const auto started = SteadyClock::now();
        m_deadline = started + (m_limit - m_used);
        const Header ready = receiveHeader();
        m_used += std::chrono::duration_cast<milliseconds>(SteadyClock::now() - started);
        if (ready.status != 0 || ready.length != 0)
            fail(QStringLiteral("The diagnostic line formatter of Orvel cannot be created (its "
                                "library made no formatter)"));
    }

    [[noreturn]] void cannotStart(int error)
    {
        fail(QStringLiteral("The diagnostic line formatter of Orvel cannot be started: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(error))));
    }

    // The helper is stopped; this file gets no more from it, the next one a fresh helper.
    [[noreturn]] void fail(const QString &description)
    {
        stop();
        m_failure.emplace(formatterFailed, description,
                          qsizetype(m_progress ? m_progress->load() : 0));
        throw *m_failure;
    }

    [[noreturn]] void ended()
    {
        const std::optional<int> status = stop();
        if (status && WIFSIGNALED(*status) && WTERMSIG(*status) != SIGKILL)
            fail(QStringLiteral("The diagnostic line formatter of Orvel crashed (signal %1)")
                     .arg(WTERMSIG(*status)));
        if (status && WIFEXITED(*status))
            fail(QStringLiteral("The diagnostic line formatter of Orvel ended unexpectedly (exit "
                                "status %1)")
                     .arg(WEXITSTATUS(*status)));
        fail(QStringLiteral("The diagnostic line formatter of Orvel ended unexpectedly"));
    }

    [[noreturn]] void timedOut()
    {
        fail(QStringLiteral("The diagnostic line formatter of Orvel did not answer in time (%1 s "
                            "for this file) and was stopped")
                 .arg(double(m_limit.count()) / 1000.0));
    }

    // Kills and reaps the helper; its wait status when it was reaped.
    std::optional<int> stop()
    {
        std::optional<int> result;
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            pid_t reaped;
            do
                reaped = ::waitpid(m_pid, &status, 0);
            while (reaped < 0 && errno == EINTR);
            if (reaped == m_pid)
                result = status;
        }
        m_pid = -1;
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_received.clear();
        m_readAt = 0;
        return result;
    }

    // Waits until the socket is ready for `events`, never past the file's deadline.
    void waitFor(short events)
    {
        for (;;) {
            const auto now = SteadyClock::now();
            if (now >= m_deadline)
                timedOut();
            const auto left = std::chrono::ceil<milliseconds>(m_deadline - now).count();
            pollfd ready{m_fd, events, 0};
            const int n = ::poll(&ready, 1, int(std::min<long long>(left, INT_MAX)));
            if (n > 0)
                return; // readiness, hang-up or error: the next call tells which
            if (n < 0 && errno != EINTR)
                ended();
        }
    }

    void send(const QByteArray &frame)
    {
        const char *data = frame.constData();
        size_t size = size_t(frame.size());
        while (size > 0) {
            const ssize_t n = ::send(m_fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                data += n;
                size -= size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                waitFor(POLLOUT);
            } else if (n < 0 && errno != EINTR) {
                ended();
            }
        }
    }

    // The next `size` bytes from the helper, valid until the next call.
    QByteArrayView receive(size_t size)
    {
        if (size_t(m_received.size() - m_readAt) < size) {
            m_received.remove(0, m_readAt);
            m_readAt = 0;
        }
        while (size_t(m_received.size() - m_readAt) < size) {
            waitFor(POLLIN);
            char buffer[64 * 1024];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                m_received.append(buffer, qsizetype(n));
            else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                ended();
        }
        const QByteArrayView bytes(m_received.constData() + m_readAt, qsizetype(size));
        m_readAt += qsizetype(size);
        return bytes;
    }

    Header receiveHeader()
    {
        Header header;
        std::memcpy(&header, receive(sizeof header).constData(), sizeof header);
        if (header.length > maxAnswer)
            fail(QStringLiteral("The diagnostic line formatter of Orvel answered with %1 bytes "
                                "for one line and was stopped")
                     .arg(header.length));
        return header;
    }

    std::shared_ptr<void> m_library;
    DiagFormatterEntry m_entry;
    pid_t m_pid = -1;
    int m_fd = -1;
    QByteArray m_received;
    qsizetype m_readAt = 0;
    bool m_inFile = false;
    milliseconds m_limit{0};
    milliseconds m_used{0};
    SteadyClock::time_point m_deadline;
    std::optional<FormatterFailure> m_failure;
    // The line of the batch the helper works on, written by the helper.
    std::atomic<uint32_t> *m_progress = nullptr;
};

} // namespace

std::unique_ptr<DiagLineFormatter> makeDiagFormatterProcess(std::shared_ptr<void> library,
                                                            DiagFormatterEntry entry)
{
    return std::make_unique<DiagFormatterProcess>(std::move(library), entry);
}
