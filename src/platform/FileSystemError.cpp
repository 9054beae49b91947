#include "platform/FileSystemError.h"

#include "common/ControlText.h"

#include <cstring>

FileSystemError::FileSystemError(int errnoValue, const QString &action, const QString &path)
    : FileSystemError(errnoValue, action, path, QString::fromLocal8Bit(std::strerror(errnoValue)))
{
}

FileSystemError::FileSystemError(int errnoValue, const QString &action, const QString &path,
                                 const QString &reason)
    : Failure(errnoValue, QStringLiteral("%1 '%2': %3").arg(action, shownPath(path), reason))
{
}
