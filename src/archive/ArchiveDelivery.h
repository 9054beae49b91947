#pragma once

class Run;
class RunHost;

// The second stage: copies the archive into the archive folder, never replacing a file there.
// Traps its own failures.
void CopyArchiveToTargetFolder(Run &run, RunHost &host);
