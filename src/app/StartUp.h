#pragma once

#include <QStringList>

#include <functional>
#include <optional>

class Program;
class RunHost;

// The two jobs a start leads to. They live above this layer, so the window that loads hands them
// in.
struct StartUpJobs {
    std::function<void()> unattendedRun; // the archive run of a "/Silent" start
    std::function<void()> updateCheck;   // the quiet look for a newer version
};

// The main window's load handler: single instance, archive folder, priority, served product
// running and recent enough, command line; then either the unattended run (which ends the
// program) or the background update check, after which the window is shown.
void Form_Load(Program &program, RunHost &host, const QStringList &arguments,
               const StartUpJobs &jobs);

// True when the command line asks for an unattended run: "/Silent" anywhere, in any letter case.
bool asksForSilentRun(const QString &commandLine);

// What "--help" ("-h", "/?") and "--version" print, when one of them is the whole command line;
// nothing otherwise. Such a start does nothing else: no window, no registry, no lock, no run log.
std::optional<QString> informationAsked(const QStringList &arguments, const QString &programFolder);
