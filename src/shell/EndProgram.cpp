#include "shell/EndProgram.h"

#include "common/Failure.h"
#include "shell/ArchiveFolderSetting.h"
#include "shell/Program.h"

void EndProgram(Program &program, RunHost &host)
{
    trapSilently([&] { SaveArchiveFolderSetting(program, host); });
    trapSilently([&] { program.runLog().CloseRunLog(); });
    program.terminate(program.exitStatus());
}
