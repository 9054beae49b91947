#include "platform/ProcessLiveness.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The process's command name as the kernel keeps it (the first 15 bytes of its program's file
// name); empty when it cannot be read.
QByteArray commandName(const QByteArray &process)
{
    const int fd = ::open(("/proc/" + process + "/comm").constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char name[64];
    const ssize_t n = ::read(fd, name, sizeof name);
    ::close(fd);
    return n > 0 ? QByteArray(name, qsizetype(n)).trimmed() : QByteArray();
}

} // namespace

bool programStillRuns(qint64 pid)
{
    if (pid <= 0 || pid != qint64(pid_t(pid)))
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return false;
    const QByteArray theirs = commandName(QByteArray::number(pid));
    const QByteArray ours = commandName("self");
    return theirs.isEmpty() || ours.isEmpty() || theirs == ours;
}
