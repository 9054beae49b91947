#pragma once

#include "platform/FileSystem.h"

#include <QDir>

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// Keeps a test that waits on a FIFO from hanging every test after it: should the code under test
// still be running after a generous while, the guard opens the write end of every FIFO in
// `folder` (which frees a reader waiting in open) and records that it had to.
class FifoGuard {
public:
    explicit FifoGuard(QString folder, std::chrono::seconds patience = std::chrono::seconds(60))
        : m_thread([this, folder, patience] {
            std::unique_lock lock(m_mutex);
            if (m_changed.wait_for(lock, patience, [this] { return m_stop; }))
                return;
            while (!m_changed.wait_for(lock, std::chrono::milliseconds(100),
                                       [this] { return m_stop; })) {
                for (const QString &name : QDir(folder).entryList(QDir::System)) {
                    const QByteArray fifo = nativePath(folder + QLatin1Char('/') + name);
                    struct stat st;
                    if (::lstat(fifo.constData(), &st) != 0 || !S_ISFIFO(st.st_mode))
                        continue;
                    const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                    if (fd >= 0) {
                        m_rescued = true;
                        ::close(fd);
                    }
                }
            }
        })
    {
    }
    ~FifoGuard()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    bool rescued()
    {
        std::lock_guard lock(m_mutex);
        return m_rescued;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stop = false;
    bool m_rescued = false;
    std::thread m_thread;
};
