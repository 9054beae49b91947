#include "platform/ProcessLiveness.h"

#include <cerrno>
#include <csignal>

bool processExists(qint64 pid)
{
    if (pid <= 0 || pid != qint64(pid_t(pid)))
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}
