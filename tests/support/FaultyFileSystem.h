#pragma once

#include "platform/FileSystem.h"

#include "platform/TextStream.h"

#include <cerrno>
#include <functional>

#include <fcntl.h>

using namespace Qt::Literals::StringLiterals;

// The real file-system layer with a hook before each operation (it may throw, or change the
// world under the program's feet) and one after each copy.
class FaultyFileSystem : public FileSystem {
public:
    std::function<void(const QString &operation, const QString &path)> before;
    std::function<void(const QString &source, const QString &destination)> afterCopy;

    // The named operation fails, as a refused access would, on paths that contain `containing`.
    void failOn(const QString &operation, const QString &containing = QString())
    {
        before = [operation, containing](const QString &op, const QString &path) {
            if (op == operation && path.contains(containing))
                throw FileSystemError(EACCES, op, path);
        };
    }

    void CreateFolder(const QString &path) override
    {
        hook(u"CreateFolder"_s, path);
        FileSystem::CreateFolder(path);
    }
    Folder GetFolder(const QString &path,
                     const std::function<void(qsizetype)> &listed = {}) override
    {
        hook(u"GetFolder"_s, path);
        return FileSystem::GetFolder(path, listed);
    }
    void DeleteFile(const QString &path, bool force) override
    {
        hook(u"DeleteFile"_s, path);
        FileSystem::DeleteFile(path, force);
    }
    void DeleteListedFile(const File &file, bool force, bool ownOnly) override
    {
        hook(u"DeleteFile"_s, file.Path());
        FileSystem::DeleteListedFile(file, force, ownOnly);
    }
    void CopyFile(const QString &source, const QString &destination, bool overwrite,
                  const CopyWatch &watch = {}) override
    {
        hook(u"CopyFile"_s, destination);
        if (whileCopying)
            whileCopying(watch);
        FileSystem::CopyFile(source, destination, overwrite, watch);
        if (afterCopy)
            afterCopy(source, destination);
    }
    // Sees each copy's watch just before it starts: a copy as slow as the test wants.
    std::function<void(const CopyWatch &)> whileCopying;
    QByteArray FileChecksum(const QString &path) override
    {
        hook(u"FileChecksum"_s, path);
        return FileSystem::FileChecksum(path);
    }
    void MoveFile(const QString &source, const QString &destination) override
    {
        hook(u"MoveFile"_s, destination);
        FileSystem::MoveFile(source, destination);
    }
    // Files made on paths that contain this are written to a full device: every write fails.
    QString fullDevice;

    std::unique_ptr<TextStream> CreateTextFile(const QString &path, bool overwrite,
                                               bool unicode) override
    {
        hook(u"CreateTextFile"_s, path);
        if (!fullDevice.isEmpty() && path.contains(fullDevice))
            return std::make_unique<TextStream>(::open("/dev/full", O_WRONLY | O_CLOEXEC), path,
                                                unicode ? TextStream::Encoding::Utf16LE
                                                        : TextStream::Encoding::SingleByte);
        return FileSystem::CreateTextFile(path, overwrite, unicode);
    }
    std::unique_ptr<TextStream> OpenTextFile(const QString &path) override
    {
        hook(u"OpenTextFile"_s, path);
        return FileSystem::OpenTextFile(path);
    }
    std::unique_ptr<TextStream> OpenListedTextFile(const File &file) override
    {
        hook(u"OpenTextFile"_s, file.Path());
        return FileSystem::OpenListedTextFile(file);
    }

private:
    void hook(const QString &operation, const QString &path)
    {
        if (before)
            before(operation, path);
    }
};
