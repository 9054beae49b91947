#include "app/EndProgram.h"

#include "app/ArchiveFolderSetting.h"
#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"

namespace {
// How long an archive run asked to stop may take to reach its next step. One stuck in a system
// call (a copy onto a share that stopped answering) must not keep the program from ending.
constexpr std::chrono::seconds runStopBound(3);
} // namespace

void EndProgram(Program &program, RunHost &host)
{
    trapSilently([&] { SaveArchiveFolderSetting(program, host); });
    trapSilently([&] { program.runLog().CloseRunLog(); });
    program.terminate(program.exitStatus());
}

void EndProgramOnRequest(Program &program, RunHost &host)
{
    // Whether the run was under way when the stop was asked for, not when it came to its end.
    const bool running = host.isRunning();
    // No wait on a server that stopped answering, the run's or the steps below, outlasts the
    // bound: it ends early enough that the run's last steps and the program's end fit in it.
    program.fileSystem().endWaitsBy(std::chrono::steady_clock::now() + runStopBound -
                                    std::chrono::milliseconds(500));
    program.requestCancel();
    // What the run's thread would still write is what the stop causes, not what the run did.
    program.runLog().keepOnlyThisThread();
    const bool stopped = host.waitForRunEnd(runStopBound);
    if (running) {
        trapSilently([&] {
            program.runLog().WriteLogLine(
                QStringLiteral("(error) the archive run was cancelled before it completed - no "
                               "archive was delivered."));
        });
        // A run that did not come to its end may be stuck with its workers: they are not waited
        // for, and its files go all the same.
        if (!stopped)
            program.setRunStop({});
        trapSilently([&] { program.removeRunTemporaries(); });
    }
    EndProgram(program, host);
}
