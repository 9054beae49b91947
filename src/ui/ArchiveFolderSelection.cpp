#include "ui/ArchiveFolderSelection.h"

#include "app/ArchiveFolderSetting.h"
#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"
#include "runlog/FolderUtilities.h"

namespace {
void accept(Program &program, WindowHost &host, const QString &folder)
{
    host.setArchiveFolderText(folder);
    SaveArchiveFolderSetting(program, host);
}

// The words of a refusal, then what the file-system layer knows of why (for a share: the server,
// the share and the server's own reason).
void refuse(Program &program, const QString &words)
{
    const QString reason = program.fileSystem().lastProblem();
    program.dialogs().messageBox(reason.isEmpty() ? words
                                                  : words + QStringLiteral("\n\n") + reason);
}

// The program's own folders are emptied by every run: an archive kept there would be lost.
bool refuseWorkingFolder(Program &program, const QString &folder)
{
    if (!IsWorkingFolder(program.programFolder(), folder))
        return false;
    program.dialogs().messageBox(workingFolderRefusal());
    return true;
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
    if (refuseWorkingFolder(program, folder))
        return;
    bool writable = false;
    trap([&] { writable = TestWriteAccess(program.fileSystem(), folder); }, report);
    if (!writable) {
        program.dialogs().messageBox(QStringLiteral(
            "That's a valid path however the account you are logged in as currently does not have "
            "write access to that location so you cannot use it as a target for log file "
            "archives."));
        return;
    }
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
    bool exists = false;
    trapSilently([&] { exists = program.fileSystem().FolderExists(folder); });
    if (!exists) {
        refuse(
            program,
            QStringLiteral("Cannot connect to this location - make sure you entered the full UNC "
                           "path correctly and the account you're logged in as has rights to it."));
        return;
    }
    if (refuseWorkingFolder(program, folder))
        return;
    bool writable = false;
    trapSilently([&] { writable = TestWriteAccess(program.fileSystem(), folder); });
    if (!writable) {
        refuse(program, QStringLiteral("That's a valid UNC path however the account you are logged "
                                       "in as currently does not have write access to that "
                                       "location so you cannot use it as a target for log file "
                                       "archives."));
        return;
    }
    trapSilently([&] { accept(program, host, folder); });
}
