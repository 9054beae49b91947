#include "app/ArchiveFolderSetting.h"

#include "app/Program.h"
#include "app/RunHost.h"
#include "app/RunOutcome.h"
#include "app/SettingsFile.h"
#include "common/Failure.h"

namespace {
// The section stands for the main window and must never change between versions: stored
// settings are found under it.
const QString section = QStringLiteral("frmMain");
const QString key = QStringLiteral("ArchiveFolderPath");
} // namespace

void LoadArchiveFolderSetting(Program &program, WindowHost &host)
{
    QVariantMap values;
    try {
        values = SettingsFile(program.executableName()).readGroup(section);
    } catch (const Failure &refused) {
        // Before any window or run log: stderr and the system log are where it is heard, as an
        // error: no run goes without the settings.
        program.ArchiveFolderUnread = refused.description();
        tellRefusal(refused.description());
        throw;
    }
    program.ArchiveFolderUnread.clear();
    host.setArchiveFolderText(settingValue(values, key).toString());
}

StoredArchiveFolder storedArchiveFolder(Program &program)
{
    const SettingsFile file(program.executableName());
    const SettingsFile::Group read = file.readGroupFrom(section);
    return {settingValue(read.values, key).toString(), settingValue(read.files, key, file.path())};
}

void storeArchiveFolder(Program &program, const QString &folder)
{
    SettingsFile(program.executableName()).writeGroup(section, {{key, folder}});
}

void SaveArchiveFolderSetting(Program &program, WindowHost &host)
{
    // Only a folder somebody chose replaces what could not be read (a failure of the moment).
    if (!program.ArchiveFolderUnread.isEmpty() && host.archiveFolderText().isEmpty())
        return;
    try {
        SettingsFile(program.executableName())
            .writeGroup(section, {{key, host.archiveFolderText()}});
    } catch (const Failure &refused) {
        // A warning, not an error: the run did what it was for; the stored folder stays as it was.
        program.runLog().WriteLogLine(QStringLiteral("(warning) the archive folder setting was "
                                                     "not saved: ") +
                                      refused.description());
        program.silentDialogs().messageBox(refused.description());
        throw;
    }
}

namespace {
// "Group/Key" as the settings store names a value.
std::pair<QString, QString> groupAndKey(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return {slash < 0 ? QStringLiteral("General") : path.left(slash), path.mid(slash + 1)};
}
} // namespace

QVariant loadSetting(const QString &application, const QString &key, const QVariant &fallback)
{
    const auto [group, name] = groupAndKey(key);
    return settingValue(SettingsFile(application).readGroup(group), name, fallback);
}

void storeSetting(const QString &application, const QString &key, const QVariant &value)
{
    const auto [group, name] = groupAndKey(key);
    SettingsFile(application).writeGroup(group, {{name, value}});
}
