#pragma once

#include <QStringList>

class Program;
class RunHost;

// The main window's load handler: single instance, archive folder, priority, served product
// running and recent enough, command line; then either the unattended run (which ends the
// program) or the background update check, after which the window is shown.
void Form_Load(Program &program, RunHost &host, const QStringList &arguments);

// True when the command line asks for an unattended run: "/Silent" anywhere, in any letter case.
bool asksForSilentRun(const QString &commandLine);
