#include "platform/FileHoles.h"

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
