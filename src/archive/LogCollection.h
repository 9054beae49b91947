#pragma once

class Program;
class RunCleaning;
class RunHost;

// The first stage of a run: packs the served product's data_ files and the readable copies of its
// diag_ files into this run's archive at ZipFilePath, each cleaned by `cleaning` when there is
// one. Traps its own failures.
void ArchiveFiles(Program &program, RunHost &host, RunCleaning *cleaning = nullptr);
