#pragma once

// What may stand where the program keeps a file of its own (its settings file, its lock), put there
// by anyone who can write the folder or left by another account. Each is made at `at`; `root`
// holds "target", somebody else's file that nothing may change.
#include "support/OwnedFile.h"

#include <QDir>
#include <QFile>

#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

struct Obstacle {
    const char *what;
    std::function<void(const QByteArray &at, const QString &root)> make;
    const char *refusal; // why the settings file is refused; none: not a case of the settings
    bool lock = true;    // a case of the lock's
    bool replaced =
        false; // as the lock: a file of ours others could open, replaced by a private one
    bool needsRoot = false; // to give a file away, or to make a device
};

inline QByteArray inRoot(const QString &root, const char *name)
{
    return QFile::encodeName(root + u'/' + QLatin1String(name));
}

inline const Obstacle obstacles[] = {
    {"a link to a file",
     [](const QByteArray &at, const QString &root) {
         ::symlink(inRoot(root, "target").constData(), at.constData());
     },
     "symbolic link"},
    {"a dangling link",
     [](const QByteArray &at, const QString &root) {
         ::symlink(inRoot(root, "nothing").constData(), at.constData());
     },
     "symbolic link"},
    {"a FIFO", [](const QByteArray &at, const QString &) { ::mkfifo(at.constData(), 0600); },
     "not a regular file"},
    {"a device",
     [](const QByteArray &at, const QString &) {
         ::mknod(at.constData(), S_IFCHR | 0600, makedev(1, 3));
     },
     "not a regular file", false, false, true},
    {"a folder", [](const QByteArray &at, const QString &) { ::mkdir(at.constData(), 0700); },
     "not a regular file"},
    {"a file of another account",
     [](const QByteArray &at, const QString &) {
         writeOwnedFile(QFile::decodeName(at), "kept\n", 0644, nobodyAccount);
     },
     "another account", true, false, true},
    {"a file others may write",
     [](const QByteArray &at, const QString &) {
         writeOwnedFile(QFile::decodeName(at), "kept\n", 0646);
     },
     "others may write", false},
    {"a file another group may write",
     [](const QByteArray &at, const QString &) {
         writeOwnedFile(QFile::decodeName(at), "kept\n", 0664);
         ::chown(at.constData(), ::geteuid(), 65534);
     },
     "others may write", false, false, true},
    {"a second name of another file",
     [](const QByteArray &at, const QString &root) {
         ::link(inRoot(root, "target").constData(), at.constData());
     },
     nullptr, true, true},
    // One of them may hold it open, with a lock that would stop every start with status 3.
    {"a file its group may open, held with a lock",
     [](const QByteArray &at, const QString &) {
         writeOwnedFile(QFile::decodeName(at), QByteArray(), 0660);
         static int theirs = -1;
         ::close(theirs);
         theirs = ::open(at.constData(), O_RDONLY);
         struct flock held {};
         held.l_type = F_RDLCK;
         ::fcntl(theirs, F_OFD_SETLK, &held);
     },
     nullptr, true, true},
};
