#include "platform/FreeSpace.h"

#include "platform/FileSystem.h"

#include <sys/statvfs.h>

std::optional<qint64> freeSpace(const QString &path)
{
    struct statvfs volume {};
    if (::statvfs(nativePath(path).constData(), &volume) != 0)
        return std::nullopt;
    return qint64(volume.f_bavail) * qint64(volume.f_frsize);
}
