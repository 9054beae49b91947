#include "archive/ArchiveDelivery.h"

#include "shell/Program.h"

void CopyArchiveToTargetFolder(Program &program, RunHost &host)
{
    program.runLog().WriteLogLine(QStringLiteral("    Moving ZIP file archive"));
}
