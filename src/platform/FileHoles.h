#pragma once

#include <QtGlobal>

struct stat;

// Whether the open file `fd` has a hole below `size` and below its end; its offset is left where
// it was. A file that had none when it was opened and has one after it was read through was cut
// short and written again past its old end meanwhile (a log rotated by copying and cutting it, its
// writer keeping its offset): what was read of the hole is zeros, not the file. False where the
// file system cannot tell. `now`, when given, is the file's status as just read: one call fewer.
bool fileHoleBelow(int fd, quint64 size, const struct stat *now = nullptr);

class File;

// Whether a file the listing saw, now open as `fd` with status `now`, was cut to nothing and
// written again past its old end since it was listed: a hole below its listed size where the
// listing saw none; or, for one within its first block, where no hole shows, longer now and its
// listed bytes all zeros (a log of nothing but zero bytes is none).
bool rotatedSinceListed(int fd, const struct stat &now, const File &listed);
