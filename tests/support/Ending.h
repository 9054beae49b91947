#pragma once

#include "app/EndProgram.h"
#include "archive/ArchiveRun.h"
#include "support/TestEnvironment.h"

#include <functional>
#include <optional>

// The status the program ended with while running `step`, or nothing when the step came back.
inline std::optional<int> endStatusOf(const std::function<void()> &step)
{
    try {
        step();
    } catch (const ProgramEnded &ended) {
        return ended.status;
    }
    return std::nullopt;
}

// A whole archive run as the window makes one, but on the test's thread: the run, then what the
// window does with its end (a box, the completion question, the end of the program, which throws
// ProgramEnded).
inline void runAndAnswer(Program &program, TestHost &host)
{
    program.LastRun = {};
    program.LastRun.started = program.now();
    host.record = &program.LastRun;
    RunEnd end;
    {
        ::Run run(program);
        try {
            end = cmdStart_Click(run, host);
        } catch (const RunEnds &ends) {
            end = ends.end;
        }
    }
    if (end.kind == RunEnd::Kind::Refused)
        program.LastRun.refused = true;
    AnswerRunEnd(program, host, end);
}

// The status the program ended with after such a run, or nothing when it goes on.
inline std::optional<int> runToItsEnd(Program &program, TestHost &host)
{
    return endStatusOf([&] { runAndAnswer(program, host); });
}
