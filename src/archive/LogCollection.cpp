#include "archive/LogCollection.h"

#include "shell/Program.h"

void ArchiveFiles(Program &program, RunHost &host)
{
    program.runLog().WriteLogLine(QStringLiteral("    Starting ZIP file archive"));
}
