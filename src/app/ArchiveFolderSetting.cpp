#include "app/ArchiveFolderSetting.h"

#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"

#include <QFile>
#include <QSaveFile>
#include <QSettings>

#include <mutex>

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
    host.setArchiveFolderText(
        loadSetting(program.executableName(), settingKey(), QString()).toString());
}

void SaveArchiveFolderSetting(Program &program, RunHost &host)
{
    storeSetting(program.executableName(), settingKey(), host.archiveFolderText());
}

QVariant loadSetting(const QString &application, const QString &key, const QVariant &fallback)
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, application, application);
    return settings.value(key, fallback);
}

void storeSetting(const QString &application, const QString &key, const QVariant &value)
{
    // The window's thread and the archive run's may both store: one at a time, as the draft
    // below is one file.
    static std::mutex storing;
    const std::lock_guard lock(storing);
    QSettings current(QSettings::IniFormat, QSettings::UserScope, application, application);
    if (current.contains(key) && current.value(key) == value)
        return; // nothing to write: most runs end with the folder they started with

    // The settings store rewrites its file in place, and a write that fails there (a full disk)
    // leaves it empty: the stored folder of every later scheduled run would be lost. So the new
    // settings are made in a copy and put in place whole, or not at all.
    const QString path = current.fileName();
    const QString draft = path + QStringLiteral(".new");
    QFile::remove(draft);
    if (QFile::exists(path) && !QFile::copy(path, draft))
        throw Failure(75,
                      QStringLiteral("Cannot save the setting %1: cannot copy %2").arg(key, path));
    {
        QSettings settings(draft, QSettings::IniFormat);
        settings.setValue(key, value);
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            QFile::remove(draft);
            throw Failure(75, QStringLiteral("Cannot save the setting %1 to %2").arg(key, path));
        }
    }
    QFile written(draft);
    QSaveFile target(path);
    const bool saved = written.open(QIODevice::ReadOnly) && target.open(QIODevice::WriteOnly) &&
                       target.write(written.readAll()) >= 0 && target.commit();
    QFile::remove(draft);
    if (!saved)
        throw Failure(75, QStringLiteral("Cannot save the setting %1 to %2: %3")
                              .arg(key, path, target.errorString()));
}
