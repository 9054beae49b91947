#include "platform/FileSystem.h"

#include <memory>
#include <sys/stat.h>

namespace {

// A file opened for reading, with what its opening saw.
std::unique_ptr<TextStream> readingStream(int fd, const QString &path, const struct stat &opened)
{
    auto stream = std::make_unique<TextStream>(fd, path, TextStream::Encoding::SingleByte);
    stream->setOpenedAs(opened);
    return stream;
}

} // namespace

std::unique_ptr<TextStream> FileSystem::CreateTextFile(const QString &path, bool overwrite,
                                                       bool unicode)
{
    // Never through a symbolic link: the program writes into folders that others may write to,
    // and a link planted there must not redirect what it writes.
    const int fd = createPrivateFile(path, overwrite);
    auto stream = std::make_unique<TextStream>(
        fd, path, unicode ? TextStream::Encoding::Utf16LE : TextStream::Encoding::SingleByte);
    if (unicode)
        stream->writeByteOrderMark();
    return stream;
}

std::unique_ptr<TextStream> FileSystem::OpenTextFile(const QString &path)
{
    struct stat st;
    return readingStream(openRegularFile(path, &st), path, st);
}

std::unique_ptr<TextStream> FileSystem::OpenListedTextFile(const File &file)
{
    struct stat st;
    return readingStream(openRegularFile(file, &st), file.Path(), st);
}
