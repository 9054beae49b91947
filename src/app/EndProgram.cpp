#include "app/EndProgram.h"

#include "app/ArchiveFolderSetting.h"
#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"

void EndProgram(Program &program, RunHost &host)
{
    trapSilently([&] { SaveArchiveFolderSetting(program, host); });
    trapSilently([&] { program.runLog().CloseRunLog(); });
    program.terminate(program.exitStatus());
}

void EndProgramOnRequest(Program &program, RunHost &host)
{
    program.requestCancel();
    if (host.isRunning()) {
        trapSilently([&] {
            program.runLog().WriteLogLine(
                QStringLiteral("(error) the archive run was cancelled before it completed - no "
                               "archive was delivered."));
        });
        trapSilently([&] { program.removeRunTemporaries(); });
    }
    EndProgram(program, host);
}
