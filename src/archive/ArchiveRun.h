#pragma once

#include "app/Run.h"

class RunHost;

// The Start button's archive run, on the run's own thread: opens a new run log, checks the
// archive folder (given, existing, writable), builds the archive and delivers it. Gives how it
// ended (or throws RunEnds from deeper down, RunCancelled when stopped); what is left (the
// completion question, the end of the program) is the window's. Only a refused interactive run
// leaves the program running.
RunEnd cmdStart_Click(Run &run, RunHost &host);
