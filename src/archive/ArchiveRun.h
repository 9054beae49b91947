#pragma once

class Program;
class RunHost;

// The Start button: one archive run. Opens a new run log, checks the archive folder (given,
// existing, writable), builds the archive, delivers it, reports and ends the program. Only a
// refused interactive run leaves the program running.
void cmdStart_Click(Program &program, RunHost &host);
