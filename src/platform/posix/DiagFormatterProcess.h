#pragma once

#include "platform/Components.h"

#include <QString>

#include <memory>

// A formatter whose component, from the shared library at `library`, runs in a helper process,
// so that a component that crashes or hangs costs the file being formatted, not the run.
std::unique_ptr<DiagLineFormatter> makeDiagFormatterProcess(const QString &library);
