#pragma once

#include <QString>

class Program;

// Names this run's log: <program folder>/logs/<exe>_Log__yymmdd_hh_mm_ss.TXT. Makes sure the logs
// folder exists and sweeps the old run logs out of it first; stores the path as RunLogPath.
QString GenerateNewLogFileName(Program &program);

// Names this run's archive: <program folder>/ZIPS/LOG_Archive_<computer>_yymmdd_hh_mm_ss.ZIP,
// after emptying (or creating) the ZIPS folder.
QString GenerateBackupDataFileName(Program &program);
