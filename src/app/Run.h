#pragma once

#include "app/ArchiveOptions.h"
#include "common/Clock.h"
#include "platform/Components.h"
#include "platform/FileSystem.h"
#include "platform/PassphraseFile.h"
#include "platform/Registry.h"
#include "platform/WorkStationInfo.h"
#include "runlog/FileNames.h"
#include "runlog/RunLog.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class Program;

// How an archive run came to its end, handed over from the run's thread to the window's, which
// does what is left: a box, the completion question, the end of the program.
struct RunEnd {
    enum class Kind {
        Completed, // built and delivered what it could: the question, then the program ends
        Refused,   // a check refused it while the window is there: a box, the program stays
        Ended,     // refused in a way that ends the program: a box when somebody is there
        Cancelled, // stopped on request, its own files removed: whoever asked ends the program
        Failed,    // something unforeseen escaped it: told in the run log, then the end
    };
    Kind kind = Kind::Completed;
    // The box of a refusal (none in an unattended run), or what failed.
    QString message;
};

// Thrown on the run's thread to end the run where it stands; like RunCancelled it is no
// std::exception, so it passes every trap.
struct RunEnds {
    RunEnd end;
};
[[noreturn]] void endRun(RunEnd::Kind kind, const QString &message = QString());

// Thrown on the run's thread at its next step once a stop was asked for (Run::requestCancel).
struct RunCancelled {};

// One archive run: what the run's thread owns, and the facts of the process it took when it was
// made. Made on the window's thread when Start is pressed; from then on only the run's thread
// touches it, but for requestCancel and removeRunTemporaries, which the window's thread may call.
// The window hears of the run through RunHost and through its RunEnd, never by looking in here.
class Run {
public:
    // Takes the process facts the run needs, and the stored archive options: the run reads no
    // setting of its own.
    explicit Run(Program &program);
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    const QString &executableName() const { return m_executableName; }
    const QString &programFolder() const { return m_programFolder; }
    QDateTime now() const { return m_clock(); }
    const WorkStationInfo &WorkStation() const { return m_workstation; }
    // The program's file-system layer, which serves any thread: its share connections are
    // locked, and its last problem is the asking thread's own.
    FileSystem &fileSystem() { return m_fs; }
    // The run's own: the window may read the registry meanwhile.
    const Registry &registry() const { return *m_registry; }
    // The program's run log, this run's alone while it runs (see RunLog::takeOver).
    RunLog &runLog() { return m_runLog; }
    // The one diagnostic line formatter of the run, created on first use; throws Failure when
    // the component cannot be created.
    DiagLineFormatter &diagLineFormatter();
    // A formatter of the caller's own, for work on another thread; throws Failure likewise.
    std::unique_ptr<DiagLineFormatter> createDiagLineFormatter();
    // Where this run's log and archive are named, failures told through tell().
    RunFiles runFiles();
    // A box that does not wait for its answer; stderr and the system log in an unattended run.
    void tell(const QString &text);

    // Asked from the window's thread: the run ends at its next step. Read by long steps (a copy
    // to a share) on whatever thread they run.
    void requestCancel() { m_cancelRequested.store(true); }
    bool cancelRequested() const { return m_cancelRequested.load(); }

    // Files the run makes and removes again, each named by a path prefix ("<folder>/" for every
    // file in a folder): what a run cut short must not leave behind. Removed by the run's thread
    // when it is stopped, or by the window's when it does not come back from a system call.
    void addRunTemporaries(const QString &prefix);
    void removeRunTemporaries();

    bool SilentMode;
    // Why the stored archive folder could not be read at start; empty when it was.
    QString ArchiveFolderUnread;
    QString RunLogPath;
    QString ZipFilePath;
    // The archive at ZipFilePath is this run's whole result: only then is it delivered.
    bool ArchiveMade = false;
    // The archive folder the run's checks found, as typed, and the folder it led to then (none
    // on a share): delivered into only while that path still leads there.
    QString ArchiveFolderChecked;
    std::optional<FolderIdentity> ArchiveFolderFound;
    // The archive this run delivered and verified, and its size; empty until it is delivered.
    QString DeliveredArchive;
    qint64 DeliveredBytes = 0;
    // The entries of the archive this run wrote.
    qint64 ArchiveEntries = 0;
    // As stored when Start was pressed; Options and ArchivePassphrase are what the run took of
    // them (the archive takes the passphrase over and wipes it when it goes).
    StoredArchiveOptions StoredOptions;
    ArchiveOptions Options;
    std::shared_ptr<const Passphrase> ArchivePassphrase;
    // How long the diagnostic line formatter may take for one raw file.
    DiagFormatTimeLimit FormatTimeLimit;

private:
    QString m_executableName;
    QString m_programFolder;
    Clock m_clock;
    WorkStationInfo m_workstation;
    FileSystem &m_fs;
    RunLog &m_runLog;
    std::unique_ptr<Registry> m_registry;
    std::unique_ptr<Components> m_components;
    std::unique_ptr<DiagLineFormatter> m_diagLineFormatter;
    std::function<void(const QString &)> m_tell;
    std::atomic<bool> m_cancelRequested = false;
    std::mutex m_temporariesMutex;
    QStringList m_temporaries;
};

// A step of the run begins: throws RunCancelled when a stop was asked for.
void stopIfCancelled(const Run &run);

// The served product's diagnostic line formatter from `components`; throws Failure when it cannot
// be created.
std::unique_ptr<DiagLineFormatter> requireDiagLineFormatter(Components &components);
