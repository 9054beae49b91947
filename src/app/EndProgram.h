#pragma once

class Program;
class RunHost;

// The one exit routine: saves the archive folder setting, closes the run log and ends the process
// at once, with the exit status the run earned. A failure in either of the first two steps does
// not stop the next. Called on the window's thread or on the archive run's.
[[noreturn]] void EndProgram(Program &program, RunHost &host);

// Ends the program the way the administrator asked (closing the window, Exit, a stop signal), on
// the window's thread. An archive run under way is stopped at its next step and waited for a
// little while; its log says it was cut in an "(error)" line, which makes the exit status 1, and
// the files it made for itself are removed first.
[[noreturn]] void EndProgramOnRequest(Program &program, RunHost &host);
