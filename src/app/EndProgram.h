#pragma once

class Program;
class RunThread;
class WindowHost;
struct RunEnd;

// The one exit routine, on the window's thread: saves the archive folder setting, closes the run
// log and ends the process at once, with the exit status the program earned. A failure in either
// of the first two steps does not stop the next.
[[noreturn]] void EndProgram(Program &program, WindowHost &host);

// Ends the program the way the administrator asked (closing the window, Exit, a stop signal). An
// archive run under way is stopped at its next step and waited for a little while (one stuck in a
// system call is left, its files removed all the same); its log then says it was cut, in an
// "(error)" line that makes the exit status 1 - or, when its archive was delivered already, that
// only removing old archives was cut short, in a "(warning)": the archive is there.
[[noreturn]] void EndProgramOnRequest(Program &program, WindowHost &host, RunThread &runs);

// What is left of a run that came to its end, on the window's thread once nothing of the window
// waits for an answer: the box of a refusal, the completion question (and the run log in the
// editor or the viewer), then the end of the program. A run refused in the window only shows
// its box.
void AnswerRunEnd(Program &program, WindowHost &host, const RunEnd &end);
