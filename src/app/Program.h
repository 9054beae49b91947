#pragma once

#include "app/ArchiveOptions.h"
#include "app/OrvelVersion.h"
#include "app/RunOutcome.h"
#include "app/SilentDialogs.h"
#include "app/WindowThread.h"
#include "common/Clock.h"
#include "platform/Components.h"
#include "platform/FileSystem.h"
#include "platform/Launcher.h"
#include "platform/PassphraseFile.h"
#include "platform/Registry.h"
#include "platform/SingleInstance.h"
#include "platform/WorkStationInfo.h"
#include "runlog/RunLog.h"

#include <QObject>
#include <QString>
#include <QStringList>

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

// What the window's thread records of the last archive run of the process, told by the run as it
// goes (RunHost) and by its end: what the end of the program reports.
struct RunRecord {
    // Empty until a run opened its log.
    QString runLog;
    // The archive it delivered and verified; empty when none.
    QString archive;
    qint64 archiveBytes = 0;
    qint64 entries = 0;
    // When Start was pressed; invalid until it is.
    QDateTime started;
    // Refused by one of its checks in the window, an unattended start stopped before its run
    // delivered, or a run that failed: the program ends with RunFailed unless a later run
    // succeeds.
    bool refused = false;
};

// The process-wide state of one program, owned by the window's thread (the main thread): created
// once in main, passed by reference, and built as often as a test needs. An archive run takes what
// it needs of it into a Run of its own; only the file-system layer and the run log are shared, the
// run log handed from thread to thread (RunLog::takeOver).
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
        // How the process was started: what its end records. None: nothing is recorded.
        std::optional<StartFacts> start;
    };

    explicit Program(Parts parts);

    const QString &executablePath() const { return m_executablePath; }
    // The executable's file name without its extension.
    QString executableName() const;
    // The folder that holds the executable, without a trailing separator.
    QString programFolder() const;

    // The one file-system layer; it serves any thread (see Run::fileSystem).
    FileSystem &fileSystem() { return *m_fileSystem; }
    const Registry &registry() const { return *m_registry; }
    Components &components() { return *m_components; }
    // A formatter of the caller's own; throws Failure when the component cannot be created.
    std::unique_ptr<DiagLineFormatter> createDiagLineFormatter();
    // The run log: the window's thread's, but while an archive run has it.
    RunLog &runLog() { return m_runLog; }
    Launcher &launcher() { return *m_launcher; }
    QDateTime now() const { return m_clock(); }
    const Clock &clock() const { return m_clock; }
    // The computer's facts, gathered the first time they are asked for.
    const WorkStationInfo &WorkStation();

    // The dialogs for the mode the program is in: in SilentMode nobody is asked.
    Dialogs &dialogs()
    {
        return SilentMode ? static_cast<Dialogs &>(m_silentDialogs) : *m_interactiveDialogs;
    }
    Dialogs &silentDialogs() { return m_silentDialogs; }
    // How a run tells something from its own thread: a box put to the window's thread that does
    // not wait for its answer.
    std::function<void(const QString &)> tellFromRun();

    SingleInstance::Claim claimSingleInstance() { return m_instance.claim(m_executablePath); }
    SingleInstance &singleInstance() { return m_instance; }

    // A start-up refusal: the process ends with StartRefused, whatever the run log says.
    void refuseStart() { m_startRefused = true; }
    int exitStatus() const;
    // Every end of the process passes here, on the window's thread: what the run came to is
    // recorded and, when nobody watched it fail, told (see reportProgramEnd).
    [[noreturn]] void terminate(int status);

    bool SilentMode = false;
    OrvelVersionInfo ServedVersion;
    // Why the stored settings could not be read at start; empty when they were. The empty field
    // that leaves is no choice of anyone's: it is not written over them, and a run refusing it
    // says why it is empty.
    QString ArchiveFolderUnread;
    // How long the diagnostic line formatter may take for one raw file.
    DiagFormatTimeLimit FormatTimeLimit;
    RunRecord LastRun;

private:
    QString m_executablePath;
    std::unique_ptr<FileSystem> m_fileSystem;
    std::unique_ptr<Registry> m_registry;
    std::unique_ptr<Components> m_components;
    Clock m_clock;
    std::shared_ptr<WorkStationSource> m_workstationSource;
    std::optional<WorkStationInfo> m_workstation;
    NoLauncher m_noLauncher;
    Launcher *m_launcher;
    SilentDialogs m_silentDialogs;
    Dialogs *m_interactiveDialogs;
    Terminator m_terminator;
    std::optional<StartFacts> m_start;
    SingleInstance m_instance;
    RunLog m_runLog;
    bool m_startRefused = false;
    // Lives on the window's thread: what a run tells it runs there.
    Mailbox m_window;
};
