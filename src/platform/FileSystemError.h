#pragma once

#include "common/Failure.h"

// A file-system operation that failed: number is the errno value, the description names the path.
class FileSystemError : public Failure {
public:
    FileSystemError(int errnoValue, const QString &action, const QString &path);
};
