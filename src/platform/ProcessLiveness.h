#pragma once

#include <QByteArray>

// True while a process of that id exists on this computer (also when it is another account's) and
// runs a program of this program's file name, in any case (another installation, or this one
// started through a link, is still this program): an id the system has since given to an
// unrelated program is not taken for a run still at work. Where the name cannot be read, as if it
// were ours.
bool programStillRuns(qint64 pid);

// When the process started, in clock ticks since the computer did: with its id, it names one
// process for as long as the computer runs, whatever program it runs. Empty when it cannot be read.
QByteArray processStarted(qint64 pid);

// Whether the process of that id and start (as processStarted gave it) is still at work: where no
// start was kept or the start cannot be read now, whether one of that id runs this program.
bool processStillRuns(qint64 pid, const QByteArray &started);
