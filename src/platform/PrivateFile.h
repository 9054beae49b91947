#pragma once

#include <QByteArray>
#include <QString>

// Files only this account may read: secrets and what they unlock. Each is used only when it is a
// regular file reached by an absolute path whose last step is no symbolic link, owned by the
// account that runs the program, with no permission for group or others and no second name (a
// hard link elsewhere could take it where it is read for others). It is opened without
// blocking (a FIFO planted there is refused, never waited on) and checked on the open
// descriptor, so what is checked is what is read. What is refused throws Failure whose
// description reads "the <what> <path> cannot be used: <why>".

// From the first of these files on, the process is no longer dumped: a core file, or another
// process of the account reading its memory, would have the secret in the clear. It lasts until
// the process ends; programs it starts begin dumpable again.
void keepSecretsOutOfDumps();

// The open file, checked; the caller closes it. `size` gets its size.
int openPrivateFile(const QString &path, const QString &what, qint64 &size);

// The whole file, at most `limit` bytes; a larger one is refused.
QByteArray readPrivateFile(const QString &path, const QString &what, qint64 limit);

// Refuses a folder to keep such files in unless it is this account's own folder, no link, that
// no other account may write to.
void checkPrivateFolder(const QString &folder, const QString &what);

[[noreturn]] void refusePrivateFile(int number, const QString &what, const QString &path,
                                    const QString &why);
