#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

// What a command line is answered with before any window, lock or run log: "--help" ("-h",
// "/?"), "--version" and "--last-log [N] [--problems]", each only as the whole command line; and
// a usage mistake (status 2, said on `err`): an option that is not one of these or "--check",
// one of them with anything else, or with "/Silent". So a mistyped option never opens the window
// nor starts a run that ignores it. Writes the answer to `out` (a missing log to `err`) and
// returns the exit status; nothing when the command line asks for a window, an unattended run
// ("/Silent" among words that are no options), "--check", "--archive-folder PATH" or
// "--reveal ..." (whose words are the reveal's own to judge).
//
// `commandName` is the command as it was started (argv[0]'s base name): the help says what to
// type. `executablePath` is the program's real executable: its folder holds the run logs.
std::optional<int> answerInformation(const QStringList &arguments, const QString &commandName,
                                     const QString &executablePath, std::FILE *out, std::FILE *err);

// Why the program refuses these arguments (an option it does not know, one of its own with
// anything else or beside "/Silent"), as stderr says it after the command's name; nothing when it
// takes them.
std::optional<QString> commandLineMistake(const QStringList &arguments);

// The folder of "--archive-folder PATH", when that is the whole command line.
std::optional<QString> archiveFolderToStore(const QStringList &arguments);

// True when the command line is "--check" and nothing else.
bool asksForCheck(const QStringList &arguments);

// True when the command line begins with "--reveal" (see revealStandIns).
bool asksForReveal(const QStringList &arguments);
