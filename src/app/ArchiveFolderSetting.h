#pragma once

#include <QString>
#include <QVariant>

class Program;
class RunHost;

// The archive folder persists as ArchiveFolderPath in the per-user settings
// ($XDG_CONFIG_HOME/<exe>/<exe>.ini, group frmMain). Neither traps a failure: the callers do.

// Puts the stored folder (default "") into txtOutputPath.
void LoadArchiveFolderSetting(Program &program, RunHost &host);
// Stores the current text of txtOutputPath, also when it is empty.
void SaveArchiveFolderSetting(Program &program, RunHost &host);

// One value of the per-user settings file of the program named `application` (the executable's
// name), read and stored the way the archive folder is: the file is rewritten whole or not at
// all. Neither traps a failure.
QVariant loadSetting(const QString &application, const QString &key, const QVariant &fallback);
void storeSetting(const QString &application, const QString &key, const QVariant &value);
