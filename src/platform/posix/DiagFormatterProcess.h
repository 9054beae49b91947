#pragma once

#include "platform/Components.h"

#include "orvel_components.h"

#include <memory>

// The entry points of the served product's formatter, found in its loaded library.
struct DiagFormatterEntry {
    decltype(orvel_diag_formatter_create) *create;
    decltype(orvel_diag_formatter_format_line) *format;
    decltype(orvel_diag_formatter_destroy) *destroy;
    decltype(orvel_free) *release;
};

// A formatter whose component runs in a child process, so that a component that crashes or hangs
// costs the file being formatted, not the run. `library` stays loaded while the formatter lives.
std::unique_ptr<DiagLineFormatter> makeDiagFormatterProcess(std::shared_ptr<void> library,
                                                            DiagFormatterEntry entry);
