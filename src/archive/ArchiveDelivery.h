#pragma once

class Program;
class RunHost;

// The second stage: copies the archive into the archive folder, never replacing a file there.
// Traps its own failures.
void CopyArchiveToTargetFolder(Program &program, RunHost &host);
