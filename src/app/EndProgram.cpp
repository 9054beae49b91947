#include "app/EndProgram.h"

#include "app/ArchiveFolderSetting.h"
#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/RunThread.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/SystemLog.h"

#include <thread>

namespace {
// How long an archive run asked to stop may take to reach its next step. One stuck in a system
// call (a copy onto a share that stopped answering) must not keep the program from ending.
constexpr std::chrono::seconds runStopBound(3);
const QString cancelled = QStringLiteral(
    "(error) the archive run was cancelled before it completed - no archive was delivered.");

// A line the run's own log could not take (the run ended before it had one) goes where the
// administrator hears it without one.
void tellWithoutRunLog(Program &program, const QString &line)
{
    trapSilently([&] {
        const QString &kept = program.LastRun.runLog;
        if (kept.isEmpty() || !program.fileSystem().FileExists(kept))
            tellSystem(programTitle(), line, SystemLogPriority::Error);
    });
}
} // namespace

void EndProgram(Program &program, WindowHost &host)
{
    trapSilently([&] { SaveArchiveFolderSetting(program, host); });
    trapSilently([&] { program.runLog().CloseRunLog(); });
    program.terminate(program.exitStatus());
}

void EndProgramOnRequest(Program &program, WindowHost &host, RunThread &runs)
{
    // Whether the run was under way when the stop was asked for; how it ended, if it did.
    const bool running = runs.running();
    // What the run's thread would still write is what the stop causes, not what the run did.
    if (running)
        program.runLog().takeOver(std::this_thread::get_id());
    // No wait on a server that stopped answering, the run's or the steps below, outlasts the
    // bound: it ends early enough that the run's last steps and the program's end fit in it.
    program.fileSystem().endWaitsBy(std::chrono::steady_clock::now() + runStopBound -
                                    std::chrono::milliseconds(500));
    const std::optional<RunEnd> end = runs.stop(runStopBound);
    // An unattended start stopped before its run delivered has failed, also when the stop came
    // before the run had its log to say so in. Known only once the run has ended: a stop that
    // came while the delivered copy was flushed lets the move finish.
    const bool undelivered = program.SilentMode && program.LastRun.archive.isEmpty();
    if (undelivered)
        program.LastRun.refused = true;
    RunLog &log = program.runLog();
    log.takeOver(std::this_thread::get_id());
    trapSilently([&] {
        if (running && end && end->kind == RunEnd::Kind::Failed)
            log.WriteLogLine(QStringLiteral("(error) in cmdStart_Click on frmMain:") +
                             end->message);
        if (!running || (end && end->kind != RunEnd::Kind::Cancelled))
            return;
        // What was cut, as it stands: after delivery only the removal of old archives is left.
        const QString delivered = program.LastRun.archive;
        log.WriteLogLine(
            delivered.isEmpty()
                ? cancelled
                : QStringLiteral("(warning) the archive run was stopped after it delivered ") +
                      shownPath(delivered) +
                      QStringLiteral(" - removing old archives, if any were due, was cut short."));
    });
    if (undelivered)
        tellWithoutRunLog(program, cancelled);
    EndProgram(program, host);
}

void AnswerRunEnd(Program &program, WindowHost &host, const RunEnd &end)
{
    RunLog &log = program.runLog();
    const auto report = logFailureIn(log, "cmdStart_Click");
    const bool watched = !program.SilentMode;
    switch (end.kind) {
    case RunEnd::Kind::Cancelled:
        // Whoever asked for the stop ends the program.
        return;
    case RunEnd::Kind::Refused:
        // The run log is closed already: nothing more is written to it.
        trapSilently([&] { program.dialogs().messageBox(end.message); });
        return;
    case RunEnd::Kind::Failed: {
        const QString failed =
            QStringLiteral("(error) in cmdStart_Click on frmMain:") + end.message;
        log.WriteLogLine(failed);
        // Never a success, also when the run failed before it had a log to count the line in.
        program.LastRun.refused = true;
        tellWithoutRunLog(program, failed);
        break;
    }
    case RunEnd::Kind::Ended:
        if (watched && !end.message.isEmpty())
            trap([&] { program.dialogs().messageBox(end.message); }, report);
        break;
    case RunEnd::Kind::Completed:
        if (watched) {
            const QString runLog = program.LastRun.runLog;
            bool noEditor = false;
            trap(
                [&] {
                    const DialogAnswer answer = program.dialogs().messageBox(
                        QStringLiteral("Archive complete. ") + QString::number(log.ErrorCount()) +
                            QStringLiteral(" errors encountered.  View log file now?"),
                        MessageButtons::YesNo);
                    if (answer == DialogAnswer::Yes)
                        noEditor = program.launcher().open(runLog) <= 32;
                },
                report);
            // Without a text editor the program's own viewer shows the log: it was shown, so
            // nothing failed.
            if (noEditor)
                trap([&] { host.showRunLog(runLog); }, report);
        }
        break;
    }
    EndProgram(program, host);
}
