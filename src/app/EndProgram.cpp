#include "app/EndProgram.h"

#include "app/ArchiveFolderSetting.h"
#include "app/Program.h"
#include "common/Failure.h"

void EndProgram(Program &program, RunHost &host)
{
    trapSilently([&] { SaveArchiveFolderSetting(program, host); });
    trapSilently([&] { program.runLog().CloseRunLog(); });
    program.terminate(program.exitStatus());
}
