#pragma once

#include <QString>

// How much a line told to the system matters: a note, or a failure someone must act on.
enum class SystemLogPriority { Warning, Error };

// Tells the system's administrator something nobody is there to read in a window: one line on
// stderr ("<source>: <text>") and one in the system log, under `source`. Always one line: control
// characters are shown escaped (see escapeControls).
//
// SORVIK_SYSLOG_SOCKET names a datagram socket that takes the system log's lines instead of the
// system's own log, in the system log's wire form: what lets a test hear them.
void tellSystem(const QString &source, const QString &text,
                SystemLogPriority priority = SystemLogPriority::Warning);
