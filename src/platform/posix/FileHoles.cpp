#include "platform/FileHoles.h"

#include "platform/FileSystem.h"

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

bool fileHoleBelow(int fd, quint64 size, const struct stat *now)
{
    struct stat st;
    if (!now && ::fstat(fd, &st) != 0)
        return false;
    const struct stat &status = now ? *now : st;
    // A file whose blocks cover its size has no hole: the look at every file costs that one call.
    // Fewer blocks (a hole, or a file system that packs or compresses) ask the file itself.
    if (quint64(status.st_blocks) * 512 >= quint64(status.st_size))
        return false;
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
    if (at >= 0)
        ::lseek(fd, at, SEEK_SET);
    return hole >= 0 && quint64(hole) < size && hole < status.st_size;
}

bool rotatedSinceListed(int fd, const struct stat &now, const File &listed)
{
    const qint64 size = listed.Size();
    if (!listed.HoleFree() || size <= 0)
        return false;
    if (fileHoleBelow(fd, quint64(size), &now))
        return true;
    if (now.st_size <= size || size >= 4096)
        return false;
    char head[4096];
    const ssize_t n = ::pread(fd, head, size_t(size), 0);
    return n == size && std::all_of(head, head + n, [](char c) { return c == 0; });
}
