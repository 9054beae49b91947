#include "app/ArchiveFolderSetting.h"

#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"

#include <QFile>
#include <QSaveFile>
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
    host.setArchiveFolderText(storedArchiveFolder(program));
}

QString storedArchiveFolder(Program &program)
{
    const QString name = program.executableName();
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, name, name);
    return settings.value(settingKey(), QString()).toString();
}

QString archiveFolderSettingFile(Program &program)
{
    const QString name = program.executableName();
    return QSettings(QSettings::IniFormat, QSettings::UserScope, name, name).fileName();
}

void SaveArchiveFolderSetting(Program &program, RunHost &host)
{
    const QString name = program.executableName();
    const QString folder = host.archiveFolderText();
    QSettings current(QSettings::IniFormat, QSettings::UserScope, name, name);
    if (current.contains(settingKey()) && current.value(settingKey()).toString() == folder)
        return; // nothing to write: most runs end with the folder they started with

    // The settings store rewrites its file in place, and a write that fails there (a full disk)
    // leaves it empty: the stored folder of every later scheduled run would be lost. So the new
    // settings are made in a copy and put in place whole, or not at all.
    const QString path = current.fileName();
    const QString draft = path + QStringLiteral(".new");
    QFile::remove(draft);
    if (QFile::exists(path) && !QFile::copy(path, draft))
        throw Failure(75, QStringLiteral("Cannot save the setting %1: cannot copy %2")
                              .arg(QLatin1String(key), path));
    {
        QSettings settings(draft, QSettings::IniFormat);
        settings.setValue(settingKey(), folder);
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            QFile::remove(draft);
            throw Failure(
                75,
                QStringLiteral("Cannot save the setting %1 to %2").arg(QLatin1String(key), path));
        }
    }
    QFile written(draft);
    QSaveFile target(path);
    const bool saved = written.open(QIODevice::ReadOnly) && target.open(QIODevice::WriteOnly) &&
                       target.write(written.readAll()) >= 0 && target.commit();
    QFile::remove(draft);
    if (!saved)
        throw Failure(75, QStringLiteral("Cannot save the setting %1 to %2: %3")
                              .arg(QLatin1String(key), path, target.errorString()));
}
