#include "platform/ProcessLiveness.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray lastName(QByteArray path)
{
    return path.mid(path.lastIndexOf('/') + 1).toLower();
}

// The file name of the program the process runs, as the kernel keeps it: the program itself,
// whatever link it was started through, and even once it was replaced on disk (an upgrade).
// Where that cannot be read (another account's process, to one that is not root), its command
// name: the link's, cut to 15 bytes. Empty when neither can be read.
QByteArray programName(const QByteArray &process, bool &ofProgram)
{
    char name[PATH_MAX];
    ssize_t n = ::readlink(("/proc/" + process + "/exe").constData(), name, sizeof name);
    ofProgram = n > 0;
    if (ofProgram) {
        QByteArray path(name, qsizetype(n));
        if (path.endsWith(" (deleted)"))
            path.chop(10);
        return lastName(path);
    }
    const int fd = ::open(("/proc/" + process + "/comm").constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    n = ::read(fd, name, sizeof name);
    ::close(fd);
    return n > 0 ? QByteArray(name, qsizetype(n)).trimmed().toLower() : QByteArray();
}

} // namespace

namespace {

// The fields of /proc/<pid>/stat from the state on (the third); none when it cannot be read.
QList<QByteArray> statFields(qint64 pid)
{
    if (pid <= 0 || pid != qint64(pid_t(pid)))
        return {};
    const int fd =
        ::open(("/proc/" + QByteArray::number(pid) + "/stat").constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char text[1024];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    // The command name, in parentheses, may hold spaces and parentheses of its own: the fields
    // are counted from its last parenthesis.
    const QByteArray stat(text, qsizetype(std::max<ssize_t>(n, 0)));
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
}

} // namespace

QByteArray processStarted(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.size() > 19 ? fields[19] : QByteArray();
}

bool programStillRuns(qint64 pid)
{
    if (pid <= 0 || pid != qint64(pid_t(pid)))
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return false;
    bool ofProgram = false;
    const QByteArray theirs = programName(QByteArray::number(pid), ofProgram);
    bool ownOfProgram = false;
    QByteArray ours = programName("self", ownOfProgram);
    // Names alike in kind: the command name is the program's file name as it was started.
    if (!ofProgram && ownOfProgram)
        ours = ours.left(15);
    return theirs.isEmpty() || ours.isEmpty() || theirs == ours;
}

bool processStillRuns(qint64 pid, const QByteArray &started)
{
    // A process killed whose parent has not yet taken its end is still listed, as a zombie.
    const QList<QByteArray> fields = statFields(pid);
    if (!fields.isEmpty() && (fields[0] == "Z" || fields[0] == "X"))
        return false;
    const QByteArray now = started.isEmpty() || fields.size() <= 19 ? QByteArray() : fields[19];
    return now.isEmpty() ? programStillRuns(pid) : now == started;
}
