#pragma once

#include <QStringList>

#include <functional>
#include <optional>

class Program;
class RunHost;
struct OrvelVersionInfo;

// The two jobs a start leads to. They live above this layer, so the window that loads hands them
// in.
struct StartUpJobs {
    std::function<void()> unattendedRun; // the archive run of a "/Silent" start
    std::function<void()> updateCheck;   // the quiet look for a newer version
};

// The main window's load handler: single instance, archive folder, priority, served product
// running and recent enough, command line; then either the unattended run (which ends the
// program) or the background update check (unless [Update] Check=false in the settings), after
// which the window is shown. Every refusal says
// why on stderr and in the system log, whatever the mode.
void Form_Load(Program &program, RunHost &host, const QStringList &arguments,
               const StartUpJobs &jobs);

// True when the command line asks for an unattended run: "/Silent" anywhere, in any letter case.
bool asksForSilentRun(const QString &commandLine);

// Why the served product does not count as running: its status object cannot be created or read,
// or its status is not "running". Nothing when it runs.
std::optional<QString> servedProductNotRunning(Program &program);
// Why the served product's version is refused; nothing when it is recent enough.
std::optional<QString> servedVersionRefused(const OrvelVersionInfo &version);
