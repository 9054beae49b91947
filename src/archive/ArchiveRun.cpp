#include "archive/ArchiveRun.h"

#include "shell/EndProgram.h"

void cmdStart_Click(Program &program, RunHost &host) {
    // The archive run itself is not built yet; until it is, Start ends the program the way every
    // completed run does.
    EndProgram(program, host);
}
