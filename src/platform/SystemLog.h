#pragma once

#include <QString>

// Tells the system's administrator something nobody is there to read in a window: one line on
// stderr ("<source>: <text>") and one in the system log, under `source`. Always one line: control
// characters are shown escaped (see escapeControls).
void tellSystem(const QString &source, const QString &text);
