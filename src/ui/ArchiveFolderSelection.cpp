#include "ui/ArchiveFolderSelection.h"

#include "app/ArchiveFolderSetting.h"
#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/RunHost.h"
#include "app/WindowThread.h"
#include "common/Failure.h"
#include "runlog/FolderUtilities.h"

#include <QEventLoop>

#include <mutex>
#include <optional>
#include <thread>

namespace {
const QString cannotConnect =
    QStringLiteral("Cannot connect to this location - make sure you entered the full UNC path "
                   "correctly and the account you're logged in as has rights to it.");

// What the checks of a folder found; `problem` is what the file-system layer knows of why not
// (for a share the server, the share and the server's own reason).
struct FolderFound {
    bool exists = false;
    bool working = false;
    bool writable = false;
    QString problem;
};

// The checks, on a thread of their own with a file-system layer of their own: a share that does
// not answer takes the SMB time limit. `exists` is asked for a typed folder only; a working folder
// is never probed.
FolderFound look(const QString &programFolder, const QString &folder, bool typed)
{
    const std::unique_ptr<FileSystem> fs = makeFileSystem(LayerUse::LooksOnly);
    FolderFound found;
    trapSilently([&] { found.exists = !typed || fs->FolderExists(folder); });
    found.working = IsWorkingFolder(programFolder, folder);
    found.problem = fs->lastProblem();
    if (found.exists && !found.working)
        trapSilently([&] { found.writable = TestWriteAccess(*fs, folder, &found.problem); });
    return found;
}

// Looks at the folder while the window says that it checks: Cancel or Escape ends the wait at
// once, and the check, left to itself, ends within the time limit unheard. Nothing when cancelled.
std::optional<FolderFound> lookWhileShowing(Program &program, const QString &folder, bool typed)
{
    struct Check {
        std::mutex mutex;
        // Where the window waits, while it waits.
        Mailbox *waiting = nullptr;
        std::optional<FolderFound> found;
    };
    const auto check = std::make_shared<Check>();
    QEventLoop wait;
    // Gone before the wait: what the check still hands over then is dropped.
    Mailbox done;
    check->waiting = &done;
    std::thread([check, programFolder = program.programFolder(), folder, typed, loop = &wait] {
        const FolderFound found = look(programFolder, folder, typed);
        const std::lock_guard lock(check->mutex);
        check->found = found;
        if (check->waiting)
            postTo(check->waiting, [loop] { loop->quit(); });
    }).detach();
    bool cancelled = false;
    std::unique_ptr<BusyNotice> notice = program.dialogs().showBusy(
        QStringLiteral("Checking that the archive folder can be reached and written to..."), [&] {
            cancelled = true;
            wait.quit();
        });
    wait.exec();
    notice.reset();
    const std::lock_guard lock(check->mutex);
    check->waiting = nullptr;
    if (cancelled)
        return std::nullopt;
    return check->found;
}

void accept(Program &program, WindowHost &host, const QString &folder)
{
    host.setArchiveFolderText(folder);
    SaveArchiveFolderSetting(program, host);
}

// The words of a refusal, then why.
void refuse(Program &program, const QString &words, const QString &why = QString())
{
    program.dialogs().messageBox(why.isEmpty() ? words : words + QStringLiteral("\n\n") + why);
}
} // namespace

QString BrowseForFolder(Dialogs &dialogs, const QString &startFolder)
{
    QString chosen;
    trapSilently([&] {
        chosen =
            dialogs.browseForFolder(QStringLiteral("Select backup folder location"), startFolder);
    });
    return chosen;
}

void cmdBrowseForFolder_Click(Program &program, WindowHost &host)
{
    const auto report = [&](const Failure &failure) {
        program.dialogs().messageBox(
            QStringLiteral("Error %1 (%2) in procedure cmdBrowseForFolder_Click of Form frmMain")
                .arg(QString::number(failure.number()), failure.description()));
    };
    QString folder;
    trap([&] { folder = BrowseForFolder(program.dialogs(), host.archiveFolderText()); }, report);
    if (folder.isEmpty())
        return;
    trap([&] { folder = withSeparator(folder); }, report);
    const std::optional<FolderFound> found = lookWhileShowing(program, folder, false);
    if (!found)
        return;
    // The program's own folders are emptied by every run: an archive kept there would be lost.
    if (found->working)
        return refuse(program, workingFolderRefusal());
    if (!found->writable)
        return refuse(program, QStringLiteral("That's a valid path however the account you are "
                                              "logged in as currently does not have write access "
                                              "to that location so you cannot use it as a target "
                                              "for log file archives."));
    trap([&] { accept(program, host, folder); }, report);
}

void cmdEnterUNC_Click(Program &program, WindowHost &host)
{
    QString folder;
    trapSilently([&] {
        folder = program.dialogs().inputBox(QStringLiteral("UNC Path"),
                                            QStringLiteral("Full UNC Path to Archive Location"),
                                            QStringLiteral("\\\\"));
    });
    if (folder.isEmpty())
        return;
    trapSilently([&] { folder = withSeparator(folder); });
    const std::optional<FolderFound> found = lookWhileShowing(program, folder, true);
    if (!found)
        return;
    if (!found->exists)
        return refuse(program, cannotConnect, found->problem);
    if (found->working)
        return refuse(program, workingFolderRefusal());
    if (!found->writable)
        return refuse(program,
                      QStringLiteral("That's a valid UNC path however the account you are logged "
                                     "in as currently does not have write access to that "
                                     "location so you cannot use it as a target for log file "
                                     "archives."),
                      found->problem);
    trapSilently([&] { accept(program, host, folder); });
}
