#pragma once

// Hears what the program sends to the system log: a datagram socket of the test's own, named to
// the program in SORVIK_SYSLOG_SOCKET, taking the lines in the system log's wire form. Read all
// the time, as a log daemon does: a socket that is not read holds only a few datagrams, and the
// program waits on the next one.
#include <QByteArray>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

class SystemLogCatcher {
public:
    struct Entry {
        int priority = -1; // facility * 8 + severity
        QString tag;
        QString text;
    };

    explicit SystemLogCatcher(const QString &path)
        : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        const QByteArray name = path.toLocal8Bit();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(),
                    std::min(size_t(name.size()), sizeof address.sun_path - 1));
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0)
            << "cannot bind " << name.constData();
        qputenv("SORVIK_SYSLOG_SOCKET", name);
        m_reader = std::thread([this] {
            while (!m_stop.load()) {
                pollfd ready{m_fd, POLLIN, 0};
                if (::poll(&ready, 1, 20) > 0)
                    receive();
            }
        });
    }
    ~SystemLogCatcher()
    {
        m_stop.store(true);
        m_reader.join();
        ::close(m_fd);
    }

    // What arrived since the last call, in order.
    std::vector<Entry> take()
    {
        receive();
        std::lock_guard lock(m_mutex);
        return std::exchange(m_entries, {});
    }

private:
    void receive()
    {
        static const QRegularExpression form(
            uR"re(^<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d (\S+)\[\d+\]: (.*)$)re"_s,
            QRegularExpression::DotMatchesEverythingOption);
        std::lock_guard lock(m_mutex);
        char buffer[65536];
        for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;) {
            const QString datagram = QString::fromUtf8(buffer, n);
            const auto match = form.match(datagram);
            m_entries.push_back(match.hasMatch() ? Entry{match.captured(1).toInt(),
                                                         match.captured(2), match.captured(3)}
                                                 : Entry{-1, QString(), datagram});
        }
    }

    int m_fd;
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    std::atomic<bool> m_stop = false;
    std::thread m_reader;
};
