#pragma once

class Program;
class RunHost;

// The Start button: one archive run from its run log to the end of the program.
void cmdStart_Click(Program &program, RunHost &host);
