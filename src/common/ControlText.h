#pragma once

#include <QString>
#include <QStringView>

// Outside text (file names, paths, what another program says) as a line of ours may show it:
// every character that could end the line or change how it reads is written as \xHH or \uHHHH.
// Those are the C0 controls but TAB, DEL, the C1 controls, the line and paragraph separators and
// the bidirectional embeddings, overrides and isolates. A name with a line break then cannot
// forge a line of its own, on screen or in a file.
QString escapeControls(QStringView text);
// The same; the text itself, shared rather than copied, when nothing in it is escaped.
QString escapeControls(const QString &text);
