#pragma once

#include "runlog/FileSystem.h"

#include <QSet>

#include <cerrno>

// The real file-system layer, except that the operations named in `failing` fail as a refused
// access would.
class FaultyFileSystem : public FileSystem {
public:
    QSet<QString> failing;

    void CreateFolder(const QString &path) override
    {
        fail("CreateFolder", path);
        FileSystem::CreateFolder(path);
    }
    Folder GetFolder(const QString &path) override
    {
        fail("GetFolder", path);
        return FileSystem::GetFolder(path);
    }
    void DeleteFile(const QString &path, bool force) override
    {
        fail("DeleteFile", path);
        FileSystem::DeleteFile(path, force);
    }
    void CopyFile(const QString &source, const QString &destination, bool overwrite) override
    {
        fail("CopyFile", destination);
        FileSystem::CopyFile(source, destination, overwrite);
    }
    std::unique_ptr<TextStream> CreateTextFile(const QString &path, bool overwrite,
                                               bool unicode) override
    {
        fail("CreateTextFile", path);
        return FileSystem::CreateTextFile(path, overwrite, unicode);
    }
    std::unique_ptr<TextStream> OpenTextFile(const QString &path) override
    {
        fail("OpenTextFile", path);
        return FileSystem::OpenTextFile(path);
    }

private:
    void fail(const char *operation, const QString &path)
    {
        if (failing.contains(QLatin1String(operation)))
            throw FileSystemError(EACCES, QLatin1String(operation), path);
    }
};
