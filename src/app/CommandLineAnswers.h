#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

// What a command line is answered with before any window, lock or run log: "--help" ("-h",
// "/?"), "--version" and "--last-log [N] [--problems]", each only as the whole command line.
// Writes the answer to `out` (and a usage mistake or a missing log to `err`) and returns the exit
// status; nothing when the command line asks for something else.
//
// `commandName` is the command as it was started (argv[0]'s base name): the help says what to
// type. `executablePath` is the program's real executable: its folder holds the run logs.
std::optional<int> answerInformation(const QStringList &arguments, const QString &commandName,
                                     const QString &executablePath, std::FILE *out, std::FILE *err);

// True when the command line is "--check" and nothing else.
bool asksForCheck(const QStringList &arguments);

// True when the command line begins with "--reveal" (see revealStandIns).
bool asksForReveal(const QStringList &arguments);
