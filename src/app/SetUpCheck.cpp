#include "app/SetUpCheck.h"

#include "app/ArchiveFolderSetting.h"
#include "app/ArchiveOptions.h"
#include "app/LoggingFolder.h"
#include "app/Program.h"
#include "app/StartUp.h"
#include "app/UpdateCheckSetting.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/FreeSpace.h"
#include "platform/Registry.h"
#include "runlog/FolderUtilities.h"

#include <QFileInfo>

#include <algorithm>
#include <optional>

namespace {

CheckLine passed(const QString &found)
{
    return {true, found, QString()};
}

CheckLine failed(const QString &found, const QString &remedy)
{
    return {false, found, remedy};
}

// A folder FolderExists did not find: "does not exist" only where nothing more is known; where
// something is (a file in its place, a folder above it the account may not enter, a share that
// refuses the logon), the reason says what.
QString unreachable(FileSystem &fs, const QString &folder)
{
    const QString problem = fs.lastProblem();
    return problem.isEmpty()
               ? QStringLiteral("%1 does not exist").arg(shownPath(folder))
               : QStringLiteral("%1 cannot be reached (%2)").arg(shownPath(folder), problem);
}

// What the checks after the registry's learn on the way.
struct Findings {
    bool registryRead = false;
    std::optional<qint64> logBytes;
};

CheckLine notChecked()
{
    return failed(QStringLiteral("not checked: the registry file cannot be read"),
                  QStringLiteral("mend the registry file first"));
}

CheckLine registryFile(Program &program, Findings &findings)
{
    const QString location = registryLocation();
    program.registry().openKey(RegistryRoot::LocalMachine, QStringLiteral("SOFTWARE\\Quenvo"));
    const QString problem = program.registry().problem();
    if (!problem.isEmpty())
        return failed(problem,
                      QStringLiteral("Orvel's installation writes it; set SORVIK_REGISTRY when it "
                                     "lies elsewhere than /etc/sorvik/registry.reg"));
    findings.registryRead = true;
    return passed(shownPath(location) + QStringLiteral(" read"));
}

CheckLine loggingFolder(Program &program, Findings &findings)
{
    if (!findings.registryRead)
        return notChecked();
    const QString folder = ReadLoggingFolder(program.registry());
    if (folder.isEmpty() && LoggingFolderTooLong(program.registry()))
        return failed(QStringLiteral("HKEY_LOCAL_MACHINE\\%1, value \"Output Path\", is longer "
                                     "than 1,023 bytes")
                          .arg(loggingFolderKey()),
                      QStringLiteral("correct the value in the registry file"));
    if (folder.isEmpty())
        return failed(QStringLiteral("the registry names none (HKEY_LOCAL_MACHINE\\%1, value "
                                     "\"Output Path\")")
                          .arg(loggingFolderKey()),
                      QStringLiteral("add the value to the registry file"));
    FileSystem &fs = program.fileSystem();
    if (!fs.FolderExists(folder))
        return failed(unreachable(fs, folder),
                      QStringLiteral("correct \"Output Path\" in the registry file, or make the "
                                     "folder reachable from this computer"));
    if (IsWorkingFolder(program.programFolder(), folder))
        return failed(QStringLiteral("%1 is one of this program's own working folders, which "
                                     "every run empties")
                          .arg(shownPath(folder)),
                      QStringLiteral("correct \"Output Path\" in the registry file"));
    int data = 0, diag = 0, other = 0;
    qint64 bytes = 0;
    for (const File &file : fs.GetFolder(folder).Files) {
        const LogKind kind = logKindOf(file.Name());
        (kind == LogKind::Data ? data : kind == LogKind::Diag ? diag : other) += 1;
        if (kind != LogKind::Other)
            bytes += file.Size();
    }
    findings.logBytes = bytes;
    return passed(QStringLiteral("%1: %2 data_ and %3 diag_ files, %4 (%5 other files are "
                                 "not archived)")
                      .arg(shownPath(folder), QString::number(data), QString::number(diag),
                           byteSize(bytes), QString::number(other)));
}

CheckLine servedProduct(Program &program, Findings &findings)
{
    if (!findings.registryRead)
        return notChecked();
    if (const auto notRunning = servedProductNotRunning(program))
        return failed(
            QStringLiteral("not running: ") + *notRunning,
            QStringLiteral("start Orvel; its components must be registered in the "
                           "registry file (HKEY_CLASSES_ROOT\\CLSID\\...\\InprocServer32)"));
    const OrvelVersionInfo version = GetOrvelVersion(program.registry());
    if (const auto refused = servedVersionRefused(version))
        return failed(*refused, QStringLiteral("upgrade Orvel"));
    return passed(QStringLiteral("running, version %1.%2, build %3.%4")
                      .arg(QString::number(version.Major), QString::number(version.Minor),
                           QString::number(version.BuildMajor),
                           QString::number(version.BuildMinor)));
}

CheckLine formatter(Program &program, Findings &findings)
{
    if (!findings.registryRead)
        return notChecked();
    // A record as the served product writes it: "sorvik --check" as an INFO of MsgStore.
    const QString sample = QStringLiteral("0000019AE4C2F800|0A3C|1|1|736f7276696b202d2d636865636b");
    QString text;
    QString problem;
    trap(
        [&] {
            const auto lineFormatter = program.createDiagLineFormatter();
            lineFormatter->beginFile(program.FormatTimeLimit.forBytes(sample.size()));
            text = lineFormatter->FormatLine(sample);
        },
        [&](const Failure &failure) { problem = failure.description(); });
    if (!problem.isEmpty())
        return failed(problem,
                      QStringLiteral("sorvik-diag-formatter must lie beside the program "
                                     "(SORVIK_FORMATTER_HELPER names another), and Orvel's "
                                     "formatter component must be registered and loadable"));
    return passed(QStringLiteral("formatted a sample line: ") + text);
}

// The archive folder through the calls a run makes, a share's logon and time limit included.
CheckLine archiveFolder(Program &program, std::optional<QString> &usable)
{
    const StoredArchiveFolder stored = storedArchiveFolder(program);
    const QString &folder = stored.folder;
    const QString settings = shownPath(stored.file);
    FileSystem &fs = program.fileSystem();
    if (folder.isEmpty())
        return failed(QStringLiteral("none is stored in %1").arg(settings),
                      QStringLiteral("store one with \"%1 --archive-folder /srv/archive/\", or "
                                     "choose one in the window")
                          .arg(program.executableName().toLower()));
    if (!fs.FolderExists(folder))
        return failed(unreachable(fs, folder),
                      QStringLiteral("create it, mount the share, give this account access to it, "
                                     "or store another folder in %1")
                          .arg(settings));
    if (QString why; !TestWriteAccess(fs, folder, &why))
        return failed(
            withReason(QStringLiteral("%1 does not take a new file").arg(shownPath(folder)), why),
            QStringLiteral("give the account that runs Sorvik write access to it, or "
                           "free room on it"));
    if (IsWorkingFolder(program.programFolder(), folder))
        return failed(workingFolderRefusal(),
                      QStringLiteral("store another folder in %1").arg(settings));
    usable = folder;
    return passed(QStringLiteral("%1 exists and takes new files (ArchiveFolderPath in %2)")
                      .arg(shownPath(folder), settings));
}

// The [Archive] group as a run takes it: the same reading, the passphrase file read as a run
// reads it, and the run's own words for what it refuses.
CheckLine archiveSettings(Program &program)
{
    const StoredArchiveOptions stored = LoadArchiveOptions(program, true);
    QStringList problems;
    for (const ArchiveOptionProblem &problem : stored.problems)
        problems << problem.text;
    if (!problems.isEmpty())
        return failed(problems.join(QStringLiteral("; ")),
                      std::none_of(stored.problems.begin(), stored.problems.end(),
                                   [](const ArchiveOptionProblem &p) { return p.stopsRuns(); })
                          ? QStringLiteral("correct it in File > Options... or in Sorvik.ini; "
                                           "until then every run ends with status 1")
                          : QStringLiteral("mend the file or the setting (File > Options...); "
                                           "until then no run makes an archive"));
    const ArchiveOptions &options = stored.options;
    const QString encryption = options.PassphraseFile.isEmpty()
                                   ? QStringLiteral("not encrypted")
                                   : QStringLiteral("encrypted with the passphrase in %1")
                                         .arg(shownPath(options.PassphraseFile));
    QStringList kept;
    if (options.KeepDays > 0)
        kept << QStringLiteral("removed after %1 days").arg(options.KeepDays);
    if (options.KeepCount > 0)
        kept << QStringLiteral("at most %1 kept").arg(options.KeepCount);
    QString text = QStringLiteral("archives %1; old archives %2")
                       .arg(encryption, kept.isEmpty() ? QStringLiteral("are kept")
                                                       : kept.join(QStringLiteral(", ")));
    QStringList from;
    for (auto file = stored.files.begin(); file != stored.files.end(); ++file)
        from << QStringLiteral("%1 in %2").arg(file.key(), shownPath(file.value()));
    if (!from.isEmpty())
        text += QStringLiteral(" (") + from.join(QStringLiteral(", ")) + QLatin1Char(')');
    return passed(text);
}

// Not a need of an unattended run: a warning at most.
CheckLine updateCheck(Program &program)
{
    const UpdateCheckSetting setting = readUpdateCheckSetting(program.executableName());
    CheckLine line;
    line.informative = true;
    if (!setting.problem.isEmpty()) {
        line.ok = false;
        line.found = setting.problem;
        line.remedy = QStringLiteral("mend it; until then a window does not look for a newer "
                                     "version");
        return line;
    }
    const QString from = setting.file.isEmpty() ? QStringLiteral("the default")
                                                : QStringLiteral("Check=%1 under [Update] in %2")
                                                      .arg(setting.check ? QStringLiteral("true")
                                                                         : QStringLiteral("false"),
                                                           shownPath(setting.file));
    if (!setting.check) {
        line.found = QStringLiteral("off (%1)").arg(from);
        return line;
    }
    const bool script = QFileInfo(program.programFolder() + QStringLiteral("/test.bat")).isFile();
    line.found =
        QStringLiteral("on (%1): a window that opens starts test.bat beside the program%2; "
                       "Check=false under [Update] turns it off")
            .arg(from, script ? QString() : QStringLiteral(", when there is one (none is)"));
    return line;
}

CheckLine space(Program &program, const Findings &findings, const std::optional<QString> &archive)
{
    QString zips = program.programFolder() + QStringLiteral("/ZIPS");
    if (!QFileInfo::exists(zips))
        zips = program.programFolder();
    struct Place {
        QString name;
        QString path;
    };
    std::vector<Place> places{{QStringLiteral("ZIPS/"), zips}};
    if (archive)
        places.push_back({QStringLiteral("the archive folder"), *archive});
    QStringList found;
    QStringList shortOf;
    for (const Place &place : places) {
        const auto free = freeSpace(place.path);
        if (!free) {
            found << QStringLiteral("%1 unknown").arg(place.name);
            continue;
        }
        found << QStringLiteral("%1 %2 free").arg(place.name, byteSize(*free));
        if (findings.logBytes && *free < *findings.logBytes)
            shortOf << place.name;
    }
    QString text = found.join(QStringLiteral(", "));
    if (findings.logBytes)
        text += QStringLiteral("; an archive of these logs takes at most %1 (their own size)")
                    .arg(byteSize(*findings.logBytes));
    if (!shortOf.isEmpty())
        return failed(text, QStringLiteral("make room in %1: the run may not fit")
                                .arg(shortOf.join(QStringLiteral(" and "))));
    return passed(text);
}

} // namespace

QString byteSize(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    const char *units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

int checkSetUp(Program &program, const std::vector<SetUpCheck> &more, std::FILE *out)
{
    Findings findings;
    std::optional<QString> archive;
    std::vector<SetUpCheck> checks{
        {QStringLiteral("registry file"), [&] { return registryFile(program, findings); }},
        {QStringLiteral("logging folder"), [&] { return loggingFolder(program, findings); }},
        {QStringLiteral("Orvel"), [&] { return servedProduct(program, findings); }},
        {QStringLiteral("diagnostic formatter"), [&] { return formatter(program, findings); }},
        {QStringLiteral("archive folder"), [&] { return archiveFolder(program, archive); }},
        {QStringLiteral("working folders"), [&] { return workingFoldersCheck(program); }},
        {QStringLiteral("archive settings"), [&] { return archiveSettings(program); }},
        {QStringLiteral("free space"), [&] { return space(program, findings, archive); }},
        {QStringLiteral("update check"), [&] { return updateCheck(program); }},
    };
    checks.insert(checks.end(), more.begin(), more.end());
    checks.push_back({QStringLiteral("last run"), [&] { return lastRunCheck(program); }});

    int failures = 0;
    for (const auto &check : checks) {
        CheckLine line;
        // A check that breaks is a failure of what it checks, not the end of the others.
        trap([&] { line = check.run(); },
             [&](const Failure &failure) { line = failed(failure.description(), QString()); });
        if (!line.ok && !line.informative)
            ++failures;
        QString text = (line.ok            ? QStringLiteral("OK   ")
                        : line.informative ? QStringLiteral("WARN ")
                                           : QStringLiteral("FAIL ")) +
                       check.what + QStringLiteral(": ") + line.found;
        if (!line.ok && !line.remedy.isEmpty())
            text += QStringLiteral(" -> ") + line.remedy;
        // Names from outside (a folder, a task, a run-log line) cannot forge a line.
        const QByteArray bytes = (escapeControls(text) + QLatin1Char('\n')).toUtf8();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
    }
    const QString verdict =
        failures == 0
            ? QStringLiteral("an unattended run would start and find what it needs\n")
            : QStringLiteral("%1 check%2 failed: an unattended run would be refused or "
                             "fail\n")
                  .arg(QString::number(failures), failures == 1 ? QString() : QStringLiteral("s"));
    const QByteArray bytes = verdict.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
    std::fflush(out);
    return failures == 0 ? 0 : ExitStatus::StartRefused;
}
