#include "platform/FileSystemError.h"

#include <cstring>

FileSystemError::FileSystemError(int errnoValue, const QString &action, const QString &path)
    : Failure(errnoValue, QStringLiteral("%1 '%2': %3")
                              .arg(action, path, QString::fromLocal8Bit(std::strerror(errnoValue))))
{
}
