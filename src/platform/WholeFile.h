#pragma once

#include <QByteArray>
#include <QString>

// Puts `content` into `folder`/`name` whole or not at all: written under a hidden temporary name
// of its own in the same folder, created exclusively, synced, then renamed over the name. A
// reader never sees half a file, and neither a link at the name nor the folder itself being a
// link is followed. The file gets `mode` whatever the umask. Throws FileSystemError.
void writeFileWhole(const QString &folder, const QString &name, const QByteArray &content,
                    unsigned mode);
