#pragma once

#include "app/ArchiveOptions.h"
#include "app/OrvelVersion.h"
#include "app/SilentDialogs.h"
#include "app/WindowDialogs.h"
#include "app/WindowLauncher.h"
#include "common/Clock.h"
#include "platform/Components.h"
#include "platform/FileSystem.h"
#include "platform/Launcher.h"
#include "platform/PassphraseFile.h"
#include "platform/Registry.h"
#include "platform/SingleInstance.h"
#include "platform/WorkStationInfo.h"
#include "runlog/FileNames.h"
#include "runlog/RunLog.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class Dialogs;

// Exit statuses of the process, for the schedulers that start it.
namespace ExitStatus {
constexpr int Success = 0;
constexpr int RunFailed = 1;      // the archive run counted an "(error)" line or was refused
constexpr int StartRefused = 2;   // served product not running or too old
constexpr int AlreadyRunning = 3; // another instance of the same program runs
} // namespace ExitStatus

// The process-wide state of one program: created once in main, passed by reference, and built as
// often as a test needs.
class Program {
public:
    // Ends the process with a status; never returns.
    using Terminator = std::function<void(int status)>;

    struct Parts {
        QString executablePath;
        Dialogs *interactiveDialogs = nullptr;
        Terminator terminator;
        Launcher *launcher = nullptr;
        Clock clock;
        // Left empty, the platform's own are made.
        std::unique_ptr<FileSystem> fileSystem;
        std::unique_ptr<Registry> registry;
        std::shared_ptr<WorkStationSource> workstationSource;
    };

    explicit Program(Parts parts);

    const QString &executablePath() const { return m_executablePath; }
    // The executable's file name without its extension.
    QString executableName() const;
    // The folder that holds the executable, without a trailing separator.
    QString programFolder() const;

    FileSystem &fileSystem() { return *m_fileSystem; }
    const Registry &registry() const { return *m_registry; }
    Components &components() { return *m_components; }
    // The one diagnostic line formatter of the process, created on first use; throws Failure
    // when the component cannot be created.
    DiagLineFormatter &diagLineFormatter();
    // A formatter of the caller's own, for work on another thread; throws Failure when the
    // component cannot be created.
    std::unique_ptr<DiagLineFormatter> createDiagLineFormatter();
    RunLog &runLog() { return m_runLog; }
    // Asked on the window's thread, from whichever thread.
    Launcher &launcher() { return m_windowLauncher; }
    QDateTime now() const { return m_clock(); }
    // The computer's facts, gathered the first time they are asked for.
    const WorkStationInfo &WorkStation();
    // Where this program's run logs and archives are named, failures told through dialogs().
    RunFiles runFiles();

    // The dialogs for the mode the program is in: in SilentMode nobody is asked. Usable from the
    // archive run's thread too: its boxes are put to the window, and it waits for their answer.
    Dialogs &dialogs()
    {
        return SilentMode ? static_cast<Dialogs &>(m_silentDialogs) : m_windowDialogs;
    }
    Dialogs &silentDialogs() { return m_silentDialogs; }

    SingleInstance::Claim claimSingleInstance() { return m_instance.claim(m_executablePath); }
    SingleInstance &singleInstance() { return m_instance; }

    // Files the run in progress makes and removes again, each named by a path prefix ("<folder>/"
    // for every file in a folder): what a run that is cut short must not leave behind.
    void addRunTemporaries(const QString &prefix) { m_runTemporaries << prefix; }
    // What stops the run's work on other threads, so that it makes no more of them; set while
    // that work exists.
    void setRunStop(std::function<void()> stop) { m_runStop = std::move(stop); }
    void removeRunTemporaries();
    // Asked by the person or a stop signal: the run ends at its next step. Read by long steps
    // (a copy to a share) on whatever thread they run.
    void requestCancel() { m_cancelRequested.store(true); }
    bool cancelRequested() const { return m_cancelRequested.load(); }

    // A start-up refusal: the process ends with StartRefused, whatever the run log says.
    void refuseStart() { m_startRefused = true; }
    int exitStatus() const;
    [[noreturn]] void terminate(int status);

    bool SilentMode = false;
    OrvelVersionInfo ServedVersion;
    QString RunLogPath;
    QString ZipFilePath;
    // The stored settings could not be read at start: the empty field that leaves is no choice
    // of anyone's, and is not written over them.
    bool ArchiveFolderUnread = false;
    // When the archive run began; invalid until one does.
    QDateTime RunStarted;
    // The archive this run delivered and verified, and its size; empty until it is delivered.
    QString DeliveredArchive;
    qint64 DeliveredBytes = 0;
    // The entries of the archive this run wrote.
    qint64 ArchiveEntries = 0;
    // The archive options this run started with, and the passphrase of an encrypted run (none:
    // the archive is not encrypted), which the archive takes over and wipes when it goes.
    ArchiveOptions Options;
    std::shared_ptr<const Passphrase> ArchivePassphrase;
    // How long the diagnostic line formatter may take for one raw file.
    DiagFormatTimeLimit FormatTimeLimit;

private:
    QString m_executablePath;
    std::unique_ptr<FileSystem> m_fileSystem;
    std::unique_ptr<Registry> m_registry;
    std::unique_ptr<Components> m_components;
    std::unique_ptr<DiagLineFormatter> m_diagLineFormatter;
    Clock m_clock;
    std::shared_ptr<WorkStationSource> m_workstationSource;
    std::optional<WorkStationInfo> m_workstation;
    NoLauncher m_noLauncher;
    Launcher *m_launcher;
    WindowLauncher m_windowLauncher;
    SilentDialogs m_silentDialogs;
    Dialogs *m_interactiveDialogs;
    WindowDialogs m_windowDialogs;
    Terminator m_terminator;
    SingleInstance m_instance;
    RunLog m_runLog;
    bool m_startRefused = false;
    QStringList m_runTemporaries;
    std::function<void()> m_runStop;
    std::atomic<bool> m_cancelRequested = false;
};
