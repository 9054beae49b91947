#pragma once

#include <QString>

class FileSystem;

// True only when this call could create (or overwrite) the probe file "temp.test.txt" in the
// folder; the probe is removed again. A symbolic link of that name is neither written through nor
// taken as success, and a probe left by someone else in a folder we cannot write proves nothing.
bool TestWriteAccess(FileSystem &fs, const QString &folder);

// Afterwards the folder exists (only its last level is created) and holds no files; subfolders
// stay. Nothing is reported: what fails is skipped.
void CreateOrEmptyFolder(FileSystem &fs, const QString &folder);

// Blanks off both ends, then NUL, TAB, LF and CR off the start; the rest stays as it is. Any
// length: a long diagnostic line must not vanish from the formatted copy.
QString TrimLeadingControlChars(const QString &text);
