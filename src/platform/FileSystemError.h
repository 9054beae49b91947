#pragma once

#include "common/Failure.h"

// A file-system operation that failed: number is the errno value, the description names the path.
class FileSystemError : public Failure {
public:
    FileSystemError(int errnoValue, const QString &action, const QString &path);
    // The same, with the reason in words where the layer knows more than the number (a server's
    // own answer).
    FileSystemError(int errnoValue, const QString &action, const QString &path,
                    const QString &reason);
    // A refusal already worded with its path (a private file's check).
    explicit FileSystemError(const Failure &refusal)
        : Failure(refusal)
    {
    }
};
