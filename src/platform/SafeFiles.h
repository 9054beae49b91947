#pragma once

#include <QByteArray>
#include <QString>

class File;
struct stat;

// Opens a file for reading, but only a regular file reached without a symbolic link as its last
// step: the logging folder is written by another account, and a link, FIFO or device planted
// there must neither be read nor block the run. Throws FileSystemError ("Cannot read ...").
// `status`, when given, receives what the open file is.
int openRegularFile(const QString &path, struct stat *status = nullptr);
// The same for a file of a listing, found in the folder the listing opened: a folder above it
// that is swapped for another (or for a link) meanwhile changes nothing of what is read.
int openRegularFile(const File &file, struct stat *status = nullptr);
// The folder itself, for reading its entries or acting on them, reached without a link as its last
// step: a descriptor, or -1 with errno set (ELOOP or ENOTDIR for a link or what is no folder).
int openFolderNoLink(const QString &folder);
// The same for `name` in `folder`, the folder itself reached without a link as its last step:
// one of the account's own folders, swapped for a link, leads nowhere else.
int openRegularFileIn(const QString &folder, const QString &name, struct stat *status = nullptr);
// Removes `name` from `folder`, following a link at neither; whether it was removed.
bool removeFileIn(const QString &folder, const QString &name);

// Creates a file readable and writable by its owner only, whatever the umask: what the program
// writes from the served product's logs must not reach accounts that could not read the logs.
// Created exclusively, never through a link and never waiting on a FIFO. With `overwrite`, a file
// already there is emptied only when it is this account's own private regular file with no
// other name; another account's file, or one others may hold open, is replaced by a new one; a
// link, FIFO, device or folder is refused. Throws FileSystemError.
int createPrivateFile(const QString &path, bool overwrite);

// The mode of the archive a run delivers (see CopyFile): its owner reads and writes it, the
// archive folder's group may read it (a folder whose group is handed down chooses who), others
// get nothing.
inline constexpr unsigned deliveredMode = 0640;

// Makes sure one of the program's working folders is private: an existing folder of this account
// loses whatever its group and others may do; one of another account, or what is not a folder,
// is refused (FileSystemError), for whoever owns it could read what is put there or swap it. A
// missing folder is left missing.
void keepFolderPrivate(const QString &path);
// Whether the working folder is there, refused as keepFolderPrivate refuses it; nothing is
// changed ("--check").
bool workingFolderThere(const QString &path);
// Makes `path` and the levels above it that are missing: those above as the umask has them (they
// are the account's own), `path` itself owner-only. Throws FileSystemError naming the level that
// could not be made, with its own reason.
void makePrivateFolderPath(const QString &path);

// Renames `from` to `to` (native paths), never over a file that is there. Throws FileSystemError
// ("Cannot move file to" `destination`).
void moveNoReplace(const QByteArray &from, const QByteArray &to, const QString &destination);
// Puts the regular file at `from` on the disk, renames it to `to` as moveNoReplace does and puts
// that on the disk too. What is not a regular file at `from` (a link, a folder, a FIFO) is not
// moved, and a name that holds another file than the one flushed once renamed (swapped by another
// hand meanwhile) is said. Throws FileSystemError naming `source` or `destination`.
void moveFlushed(const QByteArray &from, const QByteArray &to, const QString &source,
                 const QString &destination);
// Why `fd` could not be put on the disk, or 0; a file system with nothing to flush (EINVAL) is no
// failure.
int flushFailure(int fd);
// Puts the folder of `path` (native), with its new entry, on the disk: why it could not, or 0. A
// folder we may write to but not read (a drop box) is flushed with its whole file system.
int flushFolderOf(const QByteArray &path);
