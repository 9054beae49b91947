#pragma once

// What may stand where the program keeps a file of its own (its settings file, its lock, a task
// file), put there by anyone who can write the folder or left by another account. Each is made at
// `at`; `root` holds "target", somebody else's file that nothing may change, and a file made here
// holds what "target" holds, so that only where it stands and how makes it wrong.
#include "support/OwnedFile.h"

#include <fcntl.h>

struct Obstacle {
    const char *what;
    Planted kind;
    const char *refusal; // why the settings file is refused; none: not a case of the settings
    bool lock = true;    // a case of the lock's
    // As the lock: a file of ours others could open, replaced by a private one.
    bool replaced = false;
    bool needsRoot = false; // to give a file away, or to make a device
    mode_t mode = 0644;     // a file's
    uid_t owner = ::geteuid();
    gid_t group = ::getegid();
    // One of them may hold it open, with a lock that would stop every start with status 3.
    bool held = false;

    void make(const QString &at, const QString &root) const
    {
        const QString target = root + QStringLiteral("/target");
        QFile read(target);
        if (kind != Planted::File)
            plantAt(kind, at, target);
        else if (read.open(QIODevice::ReadOnly))
            writeOwnedFile(at, read.readAll(), mode, owner);
        const QByteArray native = QFile::encodeName(at);
        if (group != ::getegid())
            ::chown(native.constData(), owner, group);
        static int theirs = -1;
        if (held) {
            ::close(theirs);
            theirs = ::open(native.constData(), O_RDONLY);
            struct flock lock {};
            lock.l_type = F_RDLCK;
            ::fcntl(theirs, F_OFD_SETLK, &lock);
        }
    }
};

inline const Obstacle obstacles[] = {
    {"a link to a file", Planted::Link, "symbolic link"},
    {"a dangling link", Planted::DanglingLink, "symbolic link"},
    {"a FIFO", Planted::Fifo, "not a regular file"},
    {"a device", Planted::Device, "not a regular file", false, false, true},
    {"a folder", Planted::Folder, "not a regular file"},
    {"a file of another account", Planted::File, "another account", true, false, true, 0644,
     nobodyAccount},
    {"a file others may write", Planted::File, "others may write", false, false, false, 0646},
    {"a file another group may write", Planted::File, "others may write", false, false, true, 0664,
     ::geteuid(), nobodyAccount},
    {"a second name of another file", Planted::SecondName, nullptr, true, true},
    {"a file its group may open, held with a lock", Planted::File, nullptr, true, true, false, 0660,
     ::geteuid(), ::getegid(), true},
};
