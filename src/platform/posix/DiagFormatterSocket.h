#pragma once

#include <QByteArrayView>
#include <QStringList>

#include <cstddef>
#include <memory>
#include <string>

// The program's end of the socket to its formatter helper: requests built in place and sent,
// answers read into room kept from batch to batch (DiagFormatterProtocol.h has what they say).
// Waiting on the socket, and the helper gone, are its owner's to handle.
class DiagFormatterSocket {
public:
    class Owner {
    public:
        // Returns once the socket is ready for `events` (or hung up); throws to give up.
        virtual void waitFor(short events) = 0;
        // The helper closed its end or the socket failed; throws.
        [[noreturn]] virtual void ended() = 0;

    protected:
        ~Owner() = default;
    };

    explicit DiagFormatterSocket(Owner &owner)
        : m_owner(owner)
    {
    }

    int fd() const { return m_fd; }
    // Takes `fd`, or closes the one it has when -1; what was read and not taken is dropped.
    void reset(int fd = -1);

    // Sends a batch of lines as one request.
    void sendLines(const QStringList &lines);
    // The next `size` bytes from the helper, valid until the next call.
    QByteArrayView receive(size_t size);

private:
    void send(const std::string &frame);

    Owner &m_owner;
    int m_fd = -1;
    std::string m_request;
    // What came from the helper: m_in[m_readAt, m_inEnd) is not taken yet.
    std::unique_ptr<char[]> m_in;
    size_t m_inCapacity = 0;
    size_t m_inEnd = 0;
    size_t m_readAt = 0;
};
