#include "platform/FileHoles.h"

#include <sys/stat.h>
#include <unistd.h>

bool fileHoleBelow(int fd, quint64 size)
{
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
    if (at >= 0)
        ::lseek(fd, at, SEEK_SET);
    struct stat st;
    return hole >= 0 && quint64(hole) < size && ::fstat(fd, &st) == 0 && hole < st.st_size;
}
