#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// A place on a Windows share, as the administrator may type it:
//   \\server\share\folder\...      //server/share/folder/...      smb://server[:port]/share/folder/
// Inside a share "\" and "/" both separate names (neither can be part of one there).
struct SmbPath {
    QString server;
    quint16 port = 0; // 0: the protocol's own
    QString share;
    QStringList names; // folders and file below the share, in order

    // True for every path written in one of the three forms, also when it names no share yet
    // ("\\" as the input box presets it): such a path is the share layer's to refuse, never a
    // local name.
    static bool isShare(const QString &path);
    // Throws FileSystemError (EINVAL) naming what is wrong with the path.
    static SmbPath parse(const QString &path);

    // The address libsmbclient takes, every name percent-encoded.
    QByteArray url() const;
    // "server 127.0.0.1, share logs": what a message names.
    QString where() const;
    // The share itself, and the folder a name lies in.
    SmbPath shareRoot() const;
    SmbPath parent() const;
    QString fileName() const { return names.isEmpty() ? QString() : names.last(); }
};
