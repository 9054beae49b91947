#pragma once

#include <QString>

// Holds, for the life of the process, an advisory lock keyed by the executable's canonical path,
// so that a second start of the same program can tell. The system releases the lock when the
// process dies, however it dies.
class SingleInstance {
public:
    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // False only when another process holds the lock for the same executable. A lock that cannot
    // be taken for any other reason does not stop the program.
    bool claim(const QString &executablePath);

private:
    int m_fd = -1;
};
