#include "platform/posix/DiagFormatterProcess.h"

#include "common/ControlText.h"
#include "platform/posix/DiagFormatterProtocol.h"
#include "platform/posix/DiagFormatterSocket.h"
#include "platform/posix/HelperProcess.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QScopeGuard>

#include <atomic>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// The component runs in a helper program of its own (sorvik-diag-formatter, beside the
// executable), started with posix_spawn: nothing but exec runs between the two, so the helper
// starts alike whatever other threads of this process hold. The two talk over a socket pair (a
// peer gone gives EPIPE, never SIGPIPE; DiagFormatterSocket); this side keeps the helper going
// and each file within its time.
namespace {

using SteadyClock = std::chrono::steady_clock;
using DiagFormatterProtocol::Header;
using std::chrono::milliseconds;

// The number every failure of the formatter itself is reported with.
constexpr int formatterFailed = 51;
// No line of 510 characters formats into more than this: a longer answer is a broken component.
constexpr uint32_t maxAnswer = 16 * 1024 * 1024;
constexpr int socketBuffer = 1024 * 1024;
// How often a batch of several files looks in on which file the helper is working.
constexpr milliseconds fileWatch(100);

// The helper program: named by the environment, or beside the running executable.
const QByteArray &helperPath()
{
    static const QByteArray path =
        helperProgram(DiagFormatterProtocol::helperVariable, DiagFormatterProtocol::helperName);
    return path;
}

// A descriptor moved above those the helper is handed, so that handing one cannot overwrite the
// other.
int aboveHelperDescriptors(int fd)
{
    if (fd < 0 || fd > DiagFormatterProtocol::progressFd)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, DiagFormatterProtocol::progressFd + 1);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

class DiagFormatterProcess : public DiagLineFormatter, DiagFormatterSocket::Owner {
public:
    explicit DiagFormatterProcess(QByteArray library)
        : m_library(std::move(library))
        , m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
    }
    ~DiagFormatterProcess() override
    {
        stop();
        if (m_progress)
            ::munmap(m_progress, sizeof *m_progress);
        if (m_progressFd >= 0)
            ::close(m_progressFd);
        if (m_wake >= 0)
            ::close(m_wake);
    }

    void interrupt() override
    {
        m_interrupted.store(true);
        const uint64_t one = 1;
        if (m_wake >= 0) [[maybe_unused]]
            const ssize_t written = ::write(m_wake, &one, sizeof one);
    }

    void start() override
    {
        if (m_pid < 0)
            spawn();
    }

    void beginFile(milliseconds limit) override
    {
        m_inFile = true;
        m_limit = limit;
        m_used = {};
        m_failure.reset();
        if (m_pid < 0)
            spawn();
        if (!m_ready)
            awaitReady();
    }

    std::vector<FormattedLine> FormatLines(const QStringList &lines) override
    {
        // Outside a file every batch has the base time of a file.
        if (!m_inFile) {
            m_limit = DiagFormatTimeLimit().base;
            m_used = {};
            m_failure.reset();
        }
        if (m_failure)
            throw FormatterFailure(m_failure->number(), m_failure->description(), 0,
                                   m_failure->timedOut());
        return exchange(lines);
    }

    std::vector<FormattedLine> FormatFiles(const QStringList &lines,
                                           const std::vector<FileLines> &files) override
    {
        m_inFile = false;
        m_failure.reset();
        if (files.empty())
            return {};
        // The first file's time starts now; each next one's when the helper is seen to reach it.
        m_files = &files;
        m_file = 0;
        m_limit = files.front().limit;
        m_used = {};
        const auto noFiles = qScopeGuard([this] { m_files = nullptr; });
        return exchange(lines);
    }

private:
    // One round trip: the lines to the helper, an answer for each back.
    std::vector<FormattedLine> exchange(const QStringList &lines)
    {
        if (m_pid < 0)
            spawn();
        if (!m_ready)
            awaitReady();

        const auto started = SteadyClock::now();
        m_deadline = started + (m_limit - m_used);
        m_progress->store(0, std::memory_order_relaxed);
        m_socket.sendLines(lines);
        std::vector<FormattedLine> answers;
        answers.reserve(size_t(lines.size()));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const Header header = receiveHeader();
            const QString text = QString::fromLatin1(m_socket.receive(header.length));
            if (header.status == 0)
                answers.push_back({text, std::nullopt});
            else
                answers.push_back(
                    {QString(),
                     Failure(header.status,
                             text.isEmpty() ? QStringLiteral("the diagnostic line formatter failed")
                                            : text)});
        }
        m_used += SteadyClock::now() - started;
        return answers;
    }

    // With the lines of several files in one batch, each file has its own time: once the helper
    // is on a line of the next file, that file's time starts.
    void followFiles(SteadyClock::time_point now)
    {
        if (!m_files)
            return;
        const uint32_t line = m_progress->load(std::memory_order_relaxed);
        while (m_file + 1 < m_files->size() && qsizetype(line) >= (*m_files)[m_file].end) {
            ++m_file;
            m_limit = (*m_files)[m_file].limit;
            m_deadline = now + m_limit;
        }
    }

private:
    // Starts the helper; its first answer is awaited apart (awaitReady), within the time of the
    // file that needs it, so that starting the helpers of a run costs no waiting.
    void spawn()
    {
        if (m_interrupted.load())
            fail(QStringLiteral("The diagnostic line formatter of Orvel was stopped"));
        if (!m_progress) {
            m_progressFd =
                aboveHelperDescriptors(::memfd_create("sorvik-formatter-line", MFD_CLOEXEC));
            if (m_progressFd < 0 || ::ftruncate(m_progressFd, sizeof(std::atomic<uint32_t>)) != 0)
                cannotStart(errno);
            void *shared = ::mmap(nullptr, sizeof(std::atomic<uint32_t>), PROT_READ | PROT_WRITE,
                                  MAP_SHARED, m_progressFd, 0);
            if (shared == MAP_FAILED)
                cannotStart(errno);
            m_progress = new (shared) std::atomic<uint32_t>(0);
        }
        m_progress->store(0, std::memory_order_relaxed);
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            cannotStart(errno);
        // Room for a whole batch each way, so that neither side waits on the other mid-batch; the
        // system may grant less, which only costs time.
        for (const int fd : fds)
            for (const int option : {SO_SNDBUF, SO_RCVBUF})
                ::setsockopt(fd, SOL_SOCKET, option, &socketBuffer, sizeof socketBuffer);
        fds[0] = aboveHelperDescriptors(fds[0]);
        fds[1] = aboveHelperDescriptors(fds[1]);
        if (fds[0] < 0 || fds[1] < 0) {
            const int error = errno;
            for (const int fd : fds)
                if (fd >= 0)
                    ::close(fd);
            cannotStart(error);
        }

        const QByteArray &helper = helperPath();
        int spawnError = 0;
        const pid_t pid = spawnHelper(helper, {m_library, QByteArray::number(::getpid())},
                                      {{fds[1], DiagFormatterProtocol::socketFd},
                                       {m_progressFd, DiagFormatterProtocol::progressFd}},
                                      false, spawnError);
        ::close(fds[1]);
        if (spawnError != 0) {
            ::close(fds[0]);
            fail(QStringLiteral("The diagnostic line formatter of Orvel cannot be started: %1 (%2)")
                     .arg(QString::fromLocal8Bit(std::strerror(spawnError)),
                          shownPath(QFile::decodeName(helper))));
        }
        m_pid = pid;
        m_socket.reset(fds[0]);
    }

    void awaitReady()
    {
        const auto started = SteadyClock::now();
        m_deadline = started + (m_limit - m_used);
        const Header ready = receiveHeader();
        m_used += SteadyClock::now() - started;
        if (ready.status != 0 || ready.length != 0)
            fail(QStringLiteral("The diagnostic line formatter of Orvel cannot be created (its "
                                "library made no formatter)"));
        m_ready = true;
    }

    [[noreturn]] void cannotStart(int error)
    {
        fail(QStringLiteral("The diagnostic line formatter of Orvel cannot be started: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(error))));
    }

    // The helper is stopped; this file gets no more from it, the next one a fresh helper.
    [[noreturn]] void fail(const QString &description, bool timedOut = false)
    {
        stop();
        m_failure.emplace(formatterFailed, description,
                          qsizetype(m_progress ? m_progress->load() : 0), timedOut);
        throw *m_failure;
    }

    [[noreturn]] void ended() override
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
                 .arg(double(m_limit.count()) / 1000.0),
             true);
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
        m_ready = false;
        m_socket.reset();
        return result;
    }

    // Waits until the socket is ready for `events`, never past the file's deadline.
    void waitFor(short events) override
    {
        for (;;) {
            const auto now = SteadyClock::now();
            followFiles(now);
            if (now >= m_deadline)
                timedOut();
            // Batches of several files look in now and then on which file the helper is.
            const auto left = std::min(std::chrono::ceil<milliseconds>(m_deadline - now),
                                       m_files ? fileWatch : milliseconds::max())
                                  .count();
            pollfd ready[2] = {{m_socket.fd(), events, 0}, {m_wake, POLLIN, 0}};
            const int n = ::poll(ready, 2, int(std::min<long long>(left, INT_MAX)));
            if (m_interrupted.load())
                fail(QStringLiteral("The diagnostic line formatter of Orvel was stopped"));
            if (n > 0)
                return; // readiness, hang-up or error: the next call tells which
            if (n < 0 && errno != EINTR)
                ended();
        }
    }

    Header receiveHeader()
    {
        Header header;
        std::memcpy(&header, m_socket.receive(sizeof header).constData(), sizeof header);
        if (header.length > maxAnswer)
            fail(QStringLiteral("The diagnostic line formatter of Orvel answered with %1 bytes "
                                "for one line and was stopped")
                     .arg(header.length));
        return header;
    }

    QByteArray m_library;
    int m_wake;
    std::atomic<bool> m_interrupted = false;
    int m_progressFd = -1;
    pid_t m_pid = -1;
    // The helper's first answer (its component made a formatter) has come.
    bool m_ready = false;
    DiagFormatterSocket m_socket{*this};
    bool m_inFile = false;
    milliseconds m_limit{0};
    // Kept exact, not in whole milliseconds: a file of many quick batches must add up.
    SteadyClock::duration m_used{};
    SteadyClock::time_point m_deadline;
    std::optional<FormatterFailure> m_failure;
    // The files of the batch under way (FormatFiles), and the one the helper was last seen on.
    const std::vector<FileLines> *m_files = nullptr;
    size_t m_file = 0;
    // The line of the batch the helper works on, written by the helper.
    std::atomic<uint32_t> *m_progress = nullptr;
};

} // namespace

std::unique_ptr<DiagLineFormatter> makeDiagFormatterProcess(const QString &library)
{
    return std::make_unique<DiagFormatterProcess>(QFile::encodeName(library));
}
