#pragma once

#include <QString>

class Program;

// Writes the readable copy of a raw diagnostic file, line by line, through the served product's
// line formatter. True when the raw file was read to its end and the copy written; false when the
// raw file is missing or cannot be read, or the copy cannot be created (the caller then archives
// the raw file). A line that cannot be formatted costs an "(error)" line in the run log and
// leaves an empty line in the copy.
bool strFormatDiagFile(Program &program, const QString &rawPath, const QString &formattedPath);
