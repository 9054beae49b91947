#pragma once

#include <QString>
#include <QStringView>

#include <functional>

// Cleans one line the way diagnostic lines are cleaned before formatting (blanks off both ends,
// then NUL, TAB, LF and CR off the start), taking the line in pieces of any size, so that a line
// of any length is cleaned in bounded memory. Blanks that may turn out to be trailing are held as
// a count, not as text, until a later character shows they are not.
class LineCleaner {
public:
    using Sink = std::function<void(QStringView)>;

    // Feeds the next piece of the line; what is certain to stay goes to `sink`.
    void feed(QStringView piece, const Sink &sink);
    // Starts a new line (blanks still held belonged to the end of the last one and are dropped).
    void reset();

private:
    enum class Phase { LeadingBlanks, LeadingControls, Body };
    Phase m_phase = Phase::LeadingBlanks;
    qsizetype m_heldBlanks = 0;
};
