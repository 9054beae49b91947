#pragma once

class Run;
class RunHost;

// The first stage of a run: packs the served product's data_ files and the readable copies of its
// diag_ files into this run's archive at ZipFilePath. Traps its own failures.
void ArchiveFiles(Run &run, RunHost &host);
