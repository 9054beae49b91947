#include "app/ArchiveFolderSetting.h"

#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"

#include <QSettings>

namespace {
// The section stands for the main window and must never change between versions: stored
// settings are found under it.
const char *const section = "frmMain";
const char *const key = "ArchiveFolderPath";

QString settingKey()
{
    return QLatin1String(section) + QLatin1Char('/') + QLatin1String(key);
}
} // namespace

void LoadArchiveFolderSetting(Program &program, RunHost &host)
{
    const QString name = program.executableName();
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, name, name);
    host.setArchiveFolderText(settings.value(settingKey(), QString()).toString());
}

void SaveArchiveFolderSetting(Program &program, RunHost &host)
{
    const QString name = program.executableName();
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, name, name);
    settings.setValue(settingKey(), host.archiveFolderText());
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw Failure(75, QStringLiteral("Cannot save the setting %1 to %2")
                              .arg(QLatin1String(key), settings.fileName()));
}
