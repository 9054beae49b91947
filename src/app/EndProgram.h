#pragma once

class Program;
class RunHost;

// The one exit routine: saves the archive folder setting, closes the run log and ends the process
// at once, with the exit status the run earned. A failure in either of the first two steps does
// not stop the next.
[[noreturn]] void EndProgram(Program &program, RunHost &host);

// Ends the program the way the administrator asked (closing the window, Exit, a stop signal).
// During an archive run the run is cut: its log says so in an "(error)" line, which makes the
// exit status 1, and the files it made for itself are removed first.
[[noreturn]] void EndProgramOnRequest(Program &program, RunHost &host);
