#include "runlog/LineCleaner.h"

namespace {
constexpr qsizetype blankBlock = 64 * 1024;

bool isLeadingControl(QChar c)
{
    const char16_t u = c.unicode();
    return u == 0 || u == '\t' || u == '\n' || u == '\r';
}
} // namespace

void LineCleaner::reset()
{
    m_phase = Phase::LeadingBlanks;
    m_heldBlanks = 0;
}

void LineCleaner::feed(QStringView piece, const Sink &sink)
{
    qsizetype i = 0;
    if (m_phase == Phase::LeadingBlanks) {
        while (i < piece.size() && piece.at(i) == QLatin1Char(' '))
            ++i;
        if (i == piece.size())
            return;
        m_phase = Phase::LeadingControls;
    }
    if (m_phase == Phase::LeadingControls) {
        while (i < piece.size() && isLeadingControl(piece.at(i)))
            ++i;
        if (i == piece.size())
            return;
        m_phase = Phase::Body;
    }
    // Everything up to the last non-blank character of the piece stays; the blanks after it may
    // be the end of the line.
    qsizetype last = piece.size() - 1;
    while (last >= i && piece.at(last) == QLatin1Char(' '))
        --last;
    if (last < i) {
        m_heldBlanks += piece.size() - i;
        return;
    }
    if (m_heldBlanks > 0) {
        const QString blanks(std::min(m_heldBlanks, blankBlock), QLatin1Char(' '));
        for (qsizetype left = m_heldBlanks; left > 0; left -= blanks.size())
            sink(QStringView(blanks).left(std::min(left, blanks.size())));
        m_heldBlanks = 0;
    }
    sink(piece.mid(i, last - i + 1));
    m_heldBlanks = piece.size() - last - 1;
}
