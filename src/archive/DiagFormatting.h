#pragma once

#include <QString>

class Program;

// Writes the readable copy of a raw diagnostic file, line by line, through the served product's
// line formatter. True when the raw file was read to its end and the copy written; false when the
// raw file is missing or cannot be read, the copy cannot be written, or the formatter cannot be
// had or fails itself (crashes, does not answer in time): the caller then archives the raw file.
// A line the formatter rejects is kept raw in the copy and costs an "(error)" line in the run log,
// for the first 100 such lines of a file; one more line counts the rest.
bool strFormatDiagFile(Program &program, const QString &rawPath, const QString &formattedPath);
