#pragma once

class Program;
class RunHost;

// The one exit routine: saves the archive folder setting, closes the run log and ends the process
// at once, with the exit status the run earned. A failure in either of the first two steps does
// not stop the next.
[[noreturn]] void EndProgram(Program &program, RunHost &host);
