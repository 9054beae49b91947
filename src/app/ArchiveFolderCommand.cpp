#include "app/ArchiveFolderCommand.h"

#include "app/ArchiveFolderSetting.h"
#include "app/Program.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "runlog/FolderUtilities.h"

#include <QFileInfo>

namespace {

void say(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = (escapeControls(line) + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// A path of this computer that is not absolute; a share path is the share layer's to judge.
bool relativeLocal(const QString &path)
{
    return !path.startsWith(QLatin1Char('/')) && !path.startsWith(QLatin1Char('\\')) &&
           !path.startsWith(QLatin1String("smb:"), Qt::CaseInsensitive);
}

// Why the folder cannot be the archive folder; empty when it can.
QString refusal(Program &program, const QString &folder)
{
    FileSystem &fs = program.fileSystem();
    bool exists = false;
    trapSilently([&] { exists = fs.FolderExists(folder); });
    if (!exists)
        return withReason(QStringLiteral("it does not exist, or cannot be reached"),
                          fs.lastProblem());
    if (IsWorkingFolder(program.programFolder(), folder))
        return workingFolderRefusal();
    bool writable = false;
    QString why;
    trapSilently([&] { writable = TestWriteAccess(fs, folder, &why); });
    if (!writable)
        return withReason(QStringLiteral("this account cannot create files in it"), why);
    return QString();
}

} // namespace

int storeArchiveFolderCommand(Program &program, const QString &typed, std::FILE *out,
                              std::FILE *err)
{
    const QString command = program.executableName();
    const auto refuse = [&](const QString &why, int status) {
        say(err, QStringLiteral("%1: the archive folder was not stored: %2").arg(command, why));
        return status;
    };
    const SingleInstance::Claim instance = program.claimSingleInstance();
    if (instance.otherInstance)
        return refuse(QStringLiteral("another instance of the program is running, and stores its "
                                     "own folder when it ends; choose the folder in its window, "
                                     "or once it has ended"),
                      ExitStatus::AlreadyRunning);
    QString folder = typed;
    if (relativeLocal(folder))
        folder = QFileInfo(folder).absoluteFilePath();
    folder = withSeparator(folder);
    const QString shown = shownPath(folder);
    if (const QString why = refusal(program, folder); !why.isEmpty())
        return refuse(shown + QStringLiteral(": ") + why, ExitStatus::RunFailed);
    StoredArchiveFolder stored;
    QString failure;
    trap(
        [&] {
            storeArchiveFolder(program, folder);
            stored = storedArchiveFolder(program);
        },
        [&](const Failure &f) { failure = f.description(); });
    if (!failure.isEmpty())
        return refuse(failure, ExitStatus::RunFailed);
    if (stored.folder != folder)
        return refuse(QStringLiteral("%1 still gives %2")
                          .arg(shownPath(stored.file), shownPath(stored.folder)),
                      ExitStatus::RunFailed);
    say(out, QStringLiteral("%1: the archive folder is %2 (ArchiveFolderPath under [frmMain] in "
                            "%3); every run of this account delivers there")
                 .arg(command, shown, shownPath(stored.file)));
    return ExitStatus::Success;
}
