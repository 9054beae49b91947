#pragma once

#include <QString>

#include <optional>

class Run;

// Takes this run's archive options, as stored when it was started, into the run (Options, and
// ArchivePassphrase read from its file). Returns why the run must not start: a passphrase file is
// set but cannot be used, or the settings cannot be read, so that nobody can tell whether the
// archive is to be encrypted. A retention value that cannot be read is written as an "(error)"
// line and leaves every archive where it is; the run goes on.
std::optional<QString> TakeArchiveOptions(Run &run);
