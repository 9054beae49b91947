#include "platform/posix/HelperProcess.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

QByteArray helperProgram(const char *variable, const char *name)
{
    const QByteArray named = qgetenv(variable);
    if (!named.isEmpty())
        return named;
    const QString executable = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    return QFile::encodeName(QFileInfo(executable).absolutePath() + QLatin1Char('/') +
                             QLatin1String(name));
}

pid_t spawnHelper(const QByteArray &program, const std::vector<QByteArray> &arguments,
                  const std::vector<std::pair<int, int>> &handed, bool quiet, int &error)
{
    // A descriptor handed over must not lie where another is put, nor be put where it lies (the
    // copy would keep its close-on-exec): such ones are handed as copies above them all.
    int highest = 2;
    for (const auto &handing : handed)
        highest = std::max(highest, handing.second);
    std::vector<std::pair<int, int>> moves;
    std::vector<int> copies;
    for (const auto &[ours, theirs] : handed) {
        const int copy = ours > highest ? ours : ::fcntl(ours, F_DUPFD_CLOEXEC, highest + 1);
        if (copy < 0) {
            error = errno;
            for (const int made : copies)
                ::close(made);
            return -1;
        }
        if (copy != ours)
            copies.push_back(copy);
        moves.emplace_back(copy, theirs);
    }
    std::vector<char *> argv{const_cast<char *>(program.constData())};
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet)
        for (const int fd : {0, 1, 2})
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                             fd == 0 ? O_RDONLY : O_WRONLY, 0);
    for (const auto &[ours, theirs] : moves)
        posix_spawn_file_actions_adddup2(&actions, ours, theirs);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attributes, &mask);
    sigfillset(&mask);
    posix_spawnattr_setsigdefault(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    error = ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    for (const int copy : copies)
        ::close(copy);
    return error == 0 ? pid : -1;
}
