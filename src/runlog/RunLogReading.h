#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class FileSystem;

// Reading run logs back: for the administrator (who greps UTF-8, not UTF-16 with CR LF) and for
// the summary an unattended run leaves where cron and the system log see it.

// Hands each line of a run log (UTF-16LE, its byte-order mark dropped, CR LF or LF ends) to
// `line`, in order, until `line` returns false. Control characters other than TAB are shown
// escaped ("\x1b"): a line is printed to terminals and the system log. Only a regular file is
// read, never through a link; throws FileSystemError when it cannot be.
void readRunLog(const QString &path, const std::function<bool(const QString &line)> &line);

// True for an event line that reports a problem: it holds "(error)" or "(warning)", in any
// letter case. The header's own mention of them is no event (see readRunLogEvents).
bool isProblemLine(const QString &line);

// As readRunLog, but skipping the header: only the lines after the one that says what to search
// for, and the empty line after that. A log without that header line is handed over whole.
void readRunLogEvents(const QString &path, const std::function<bool(const QString &line)> &line);

// The run logs of the program named `executableName` in `logsFolder`, the newest first (by their
// last change, then by name); empty when there is no such folder.
QStringList runLogsNewestFirst(FileSystem &fs, const QString &logsFolder,
                               const QString &executableName);
