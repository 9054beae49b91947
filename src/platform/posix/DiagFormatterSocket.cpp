#include "platform/posix/DiagFormatterSocket.h"

#include "platform/TextStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

void DiagFormatterSocket::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_inEnd = 0;
    m_readAt = 0;
}

void DiagFormatterSocket::sendLines(const QStringList &lines)
{
    // Built in place, in memory kept from batch to batch: the lines go out as their bytes.
    std::string &request = m_request;
    request.clear();
    const auto appendNumber = [&](uint32_t n) {
        request.append(reinterpret_cast<const char *>(&n), sizeof n);
    };
    appendNumber(0); // the size, once known
    appendNumber(uint32_t(lines.size()));
    for (const QString &line : lines) {
        appendNumber(uint32_t(line.size()));
        const size_t at = request.size();
        request.resize(at + size_t(line.size()));
        latin1Into(request.data() + at, line);
    }
    const uint32_t size = uint32_t(request.size() - sizeof size);
    std::memcpy(request.data(), &size, sizeof size);
    send(request);
}

void DiagFormatterSocket::send(const std::string &frame)
{
    const char *data = frame.data();
    size_t size = frame.size();
    while (size > 0) {
        const ssize_t n = ::send(m_fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            size -= size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_owner.waitFor(POLLOUT);
        } else if (n < 0 && errno != EINTR) {
            m_owner.ended();
        }
    }
}

QByteArrayView DiagFormatterSocket::receive(size_t size)
{
    if (m_inEnd - m_readAt < size) {
        // What is left goes to the front, into room enough for the whole answer; the room is
        // kept from batch to batch and never cleared, as the socket fills it.
        constexpr size_t chunk = 64 * 1024;
        const size_t rest = m_inEnd - m_readAt;
        const size_t room = std::max(size, chunk);
        if (m_inCapacity < room) {
            const size_t grown = std::max(room, 2 * m_inCapacity);
            auto bigger = std::make_unique_for_overwrite<char[]>(grown);
            // The first time there is no buffer at all, and nothing to keep.
            if (rest > 0)
                std::memcpy(bigger.get(), m_in.get() + m_readAt, rest);
            m_in = std::move(bigger);
            m_inCapacity = grown;
        } else if (rest > 0) {
            std::memmove(m_in.get(), m_in.get() + m_readAt, rest);
        }
        m_readAt = 0;
        m_inEnd = rest;
    }
    // Straight into the kept buffer; the socket is asked first and waited on only when it has
    // nothing.
    while (m_inEnd - m_readAt < size) {
        const ssize_t n = ::recv(m_fd, m_in.get() + m_inEnd, m_inCapacity - m_inEnd, MSG_DONTWAIT);
        const int error = errno;
        if (n > 0)
            m_inEnd += size_t(n);
        else if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK))
            m_owner.waitFor(POLLIN);
        else if (n == 0 || error != EINTR)
            m_owner.ended();
    }
    const QByteArrayView bytes(m_in.get() + m_readAt, qsizetype(size));
    m_readAt += size;
    return bytes;
}
