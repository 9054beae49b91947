#include "platform/posix/SmbReadBack.h"

#include "platform/FileSystem.h"
#include "platform/posix/HelperProcess.h"
#include "platform/posix/SmbReadBackProtocol.h"
#include "platform/posix/SmbWorker.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How long one look at the helper lasts, so that a stop is seen.
constexpr int lookMs = 100;

} // namespace

SmbReadBack::SmbReadBack()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    int error = 0;
    const pid_t pid = spawnHelper(
        helperProgram(SmbReadBackProtocol::helperVariable, SmbReadBackProtocol::helperName),
        {QByteArray::number(::getpid())}, {{fds[1], SmbReadBackProtocol::socketFd}}, true, error);
    ::close(fds[1]);
    if (error != 0) {
        ::close(fds[0]);
        return;
    }
    m_pid = pid;
    m_socket = fds[0];
}

SmbReadBack::~SmbReadBack()
{
    end();
}

void SmbReadBack::end()
{
    if (m_socket >= 0)
        ::close(std::exchange(m_socket, -1));
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
}

bool SmbReadBack::open(const QString &path)
{
    return say("O " + nativePath(path).toHex(), true);
}

bool SmbReadBack::say(const QByteArray &words, bool wait)
{
    if (m_socket < 0)
        return false;
    const QByteArray line = words + '\n';
    // A line is far shorter than the socket's buffer: it goes whole or, when the helper lags
    // behind, not at all (the next one says more).
    const ssize_t n = ::send(m_socket, line.constData(), size_t(line.size()),
                             MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
    if (n == line.size())
        return true;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return false;
    end();
    return false;
}

void SmbReadBack::written(qint64 bytes)
{
    say("W " + QByteArray::number(bytes), false);
}

std::optional<quint32> SmbReadBack::finish(qint64 bytes, SmbBeat &beat)
{
    if (!say("C " + QByteArray::number(bytes), true))
        return std::nullopt;
    QByteArray heard;
    char buffer[256];
    // A helper that says nothing for half the time limit (stopped, or stuck on its own
    // connection) is given up while there is time left for the caller to read the copy back
    // itself: its silence is not the server's to be blamed for.
    const auto patience = std::chrono::milliseconds(SmbContext::timeoutSeconds() * 500);
    auto lastWord = std::chrono::steady_clock::now();
    for (;;) {
        if (beat.stopAsked() || std::chrono::steady_clock::now() - lastWord > patience) {
            end();
            return std::nullopt;
        }
        pollfd look{m_socket, POLLIN, 0};
        if (::poll(&look, 1, lookMs) <= 0)
            continue;
        lastWord = std::chrono::steady_clock::now();
        const ssize_t n = ::recv(m_socket, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            end();
            return std::nullopt;
        }
        heard.append(buffer, n);
        qsizetype newline;
        while ((newline = heard.indexOf('\n')) >= 0) {
            const QList<QByteArray> words = heard.left(newline).split(' ');
            heard.remove(0, newline + 1);
            if (words.first() == "R") {
                beat.heard();
                continue;
            }
            bool sized = false;
            bool summed = false;
            const bool done = words.first() == "D" && words.size() == 3;
            const qint64 read = done ? words[1].toLongLong(&sized) : -1;
            const quint32 crc = done ? words[2].toUInt(&summed, 16) : 0;
            end();
            if (sized && summed && read == bytes)
                return crc;
            return std::nullopt;
        }
    }
}
