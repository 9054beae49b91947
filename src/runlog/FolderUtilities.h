#pragma once

#include <QString>

class FileSystem;

// True only when this call could create the probe file "temp.test.txt" in the folder, or, where
// something stands at that name, a probe of a name of its own; the probe is removed again. What
// stands there is removed only when it holds nothing (an empty file, as a probe an earlier run
// could not remove leaves; a FIFO; a link to either, itself); anything with content may be
// anyone's and is left as it is, a link neither written through nor taken as success.
// `why`, when given, receives the reason the last probe failed: the layer's lastProblem() where it
// knows more (a share), else the failure's own words (a full disk is not a matter of access).
bool TestWriteAccess(FileSystem &fs, const QString &folder, QString *why = nullptr);

// The folder as typed or stored, ending in the separator that a file name is appended to.
QString withSeparator(const QString &folder);

// The folders the program keeps beside itself, which runs empty.
inline constexpr const char *workingFolderNames[] = {"logs", "ZIPS", "TempDiags"};

// True when `folder` is one of the folders the program keeps beside itself in `programFolder`
// ("logs", "ZIPS", "TempDiags") or lies inside one: runs empty them, so an archive delivered
// there would be lost. Links and "..", as far as they exist, are resolved first.
bool IsWorkingFolder(const QString &programFolder, const QString &folder);

// What the administrator is told when such a folder is chosen.
QString workingFolderRefusal();

// Afterwards the folder exists (only its last level is created, owner-only) and holds nothing
// but its subfolders: files, links, FIFOs, sockets and devices are removed, links and FIFOs
// themselves, never followed or opened. What fails is skipped, but for one thing: an existing
// folder that cannot be made this account's private folder (see keepFolderPrivate) is refused,
// untouched, by throwing.
void CreateOrEmptyFolder(FileSystem &fs, const QString &folder);

// Blanks off both ends, then NUL, TAB, LF and CR off the start; the rest stays as it is. Any
// length: a long diagnostic line must not vanish from the formatted copy.
QString TrimLeadingControlChars(const QString &text);
