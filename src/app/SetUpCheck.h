#pragma once

#include <QString>

#include <cstdio>
#include <functional>
#include <vector>

class Program;

// One line of "--check": what was found, and when it failed, what to do.
struct CheckLine {
    bool ok = true;
    QString found;
    QString remedy;
    // A failure that does not stop the next unattended run (the last run's outcome): shown as a
    // warning ("WARN"), and it does not decide the exit status.
    bool informative = false;
};

// A check by its name; a failure it throws is a failure of what it checks.
struct SetUpCheck {
    QString what;
    std::function<CheckLine()> run;
};

// Checks the set-up the way an unattended run would meet it, with the code such a run uses, and
// without archiving anything: the registry file; the logging folder with its data_ and diag_
// files; the served product's components, status and version; the diagnostic line formatter on a
// sample line; the archive folder (set, existing, taking a new file: the run's own probe, removed
// again; a share through its logon and time limit); the working folders; the [Archive] settings and
// the passphrase file, as a run takes them; free space against the largest archive the logs can
// make; whether a window looks for a newer version; then `more` (the scheduled tasks); and the last
// run's outcome. Each stored value is named with the settings file it came from. The update check
// and the last run are information only: a warning at most. Writes one line per check to `out`,
// control characters escaped, and returns 0 when an unattended run would start and find what it
// needs (no line says FAIL), 2 otherwise.
int checkSetUp(Program &program, const std::vector<SetUpCheck> &more, std::FILE *out);

// The folders a run keeps beside the program (logs/, ZIPS/, TempDiags/) as a run will meet them:
// each one there a folder of this account that takes a new file and has room left, each one
// missing one the program folder can take. Nothing is changed; the run's own probe is made and
// removed again.
CheckLine workingFoldersCheck(Program &program);

// The last run's outcome, as information: a failed run is a warning with its first "(error)"
// line and, for many bad nights, when the last success was.
CheckLine lastRunCheck(Program &program);

// A number of bytes for people: "512 bytes", "12.3 MiB".
QString byteSize(qint64 bytes);
