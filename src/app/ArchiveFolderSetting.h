#pragma once

#include <QString>
#include <QVariant>

class Program;
class RunHost;

// The archive folder persists as ArchiveFolderPath in the per-user settings
// ($XDG_CONFIG_HOME/<exe>/<exe>.ini, group frmMain; see SettingsFile). Neither traps a failure:
// the callers do. A settings file that is refused is told on stderr and in the system log first
// (and, on saving, as a "(warning)" line of the run log), and left as it is.

// Puts the stored folder (default "") into txtOutputPath.
void LoadArchiveFolderSetting(Program &program, RunHost &host);
// The stored folder (default ""), and the file it came from: the account's settings file when no
// file gives one.
struct StoredArchiveFolder {
    QString folder;
    QString file;
};
StoredArchiveFolder storedArchiveFolder(Program &program);
// Stores the current text of txtOutputPath, also when it is empty.
void SaveArchiveFolderSetting(Program &program, RunHost &host);
// Stores `folder` as it is.
void storeArchiveFolder(Program &program, const QString &folder);

// One value of the per-user settings file of the program named `application` (the executable's
// name), read and stored the way the archive folder is: the file is rewritten whole or not at
// all. Neither traps a failure.
QVariant loadSetting(const QString &application, const QString &key, const QVariant &fallback);
void storeSetting(const QString &application, const QString &key, const QVariant &value);
