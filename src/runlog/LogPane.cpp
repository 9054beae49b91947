#include "runlog/LogPane.h"

#include <algorithm>

void LogPane::select(qsizetype start, qsizetype length)
{
    m_selStart = std::clamp<qsizetype>(start, 0, m_text.size());
    m_selLength = std::clamp<qsizetype>(length, 0, m_text.size() - m_selStart);
}

qsizetype LogPane::lineEndAfter(qsizetype position) const
{
    for (qsizetype i = std::max<qsizetype>(position, 0); i < m_text.size(); ++i) {
        if (m_text.at(i) == QLatin1Char('\n'))
            return i + 1;
        if (m_text.at(i) == QLatin1Char('\r'))
            return i + 1 < m_text.size() && m_text.at(i + 1) == QLatin1Char('\n') ? i + 2 : i + 1;
    }
    return m_text.size();
}

namespace {
// The lines a document makes of `text`: CR LF, and a lone CR or LF, break a line once.
qsizetype lineBreaks(QStringView text)
{
    qsizetype breaks = 0;
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text[i] == QLatin1Char('\n') ||
            (text[i] == QLatin1Char('\r') &&
             (i + 1 == text.size() || text[i + 1] != QLatin1Char('\n'))))
            ++breaks;
    return breaks;
}
} // namespace

void LogPane::replaceSelection(const QString &text)
{
    // A cut of whole lines from the front (the pane's trim): a view takes it away as it is.
    const bool trim = m_selStart == 0 && m_selLength > 0 && text.isEmpty() &&
                      lineEndAfter(m_selLength - 1) == m_selLength;
    if (trim) {
        m_trimmed += m_selLength;
        m_trimmedLines += lineBreaks(QStringView(m_text).first(m_selLength));
        if (m_firstChange >= 0)
            m_firstChange = std::max<qsizetype>(m_firstChange - m_selLength, 0);
    }
    m_text.replace(m_selStart, m_selLength, text);
    const auto at = m_colours.begin() + m_selStart;
    m_colours.erase(at, at + m_selLength);
    m_colours.insert(m_colours.begin() + m_selStart, size_t(text.size()), PaneColour::Black);
    if (!trim)
        changedFrom(m_selStart);
    // As in a rich-text box, the caret ends up after the inserted text with nothing selected.
    m_selStart += text.size();
    m_selLength = 0;
}

void LogPane::setSelectionColour(quint32 colour)
{
    const auto from = m_colours.begin() + m_selStart;
    std::fill(from, from + m_selLength, colour);
    if (m_selLength > 0)
        changedFrom(m_selStart);
}

QString LogPane::text() const
{
    const auto held = lock();
    return m_text;
}

quint32 LogPane::colourAt(qsizetype position) const
{
    const auto held = lock();
    return m_colours.at(size_t(position));
}

void LogPane::changedFrom(qsizetype position)
{
    m_firstChange = m_firstChange < 0 ? position : std::min(m_firstChange, position);
}

void LogPane::setView(LogPaneView *view)
{
    {
        const auto held = lock();
        m_view = view;
        m_viewTold = false;
        changedFrom(0);
    }
    flush();
}

void LogPane::flush()
{
    // Told under the lock, so that a view taken away (setView) is never told after.
    const auto held = lock();
    if (m_firstChange < 0 || !m_view || m_viewTold)
        return;
    m_viewTold = true;
    m_view->paneChanged(*this);
}

LogPane::Changes LogPane::takeChanges(qsizetype shown)
{
    const auto held = lock();
    m_viewTold = false;
    const qsizetype first = std::exchange(m_firstChange, -1);
    Changes changes;
    changes.trimmed = std::exchange(m_trimmed, 0);
    changes.trimmedLines = std::exchange(m_trimmedLines, 0);
    const qsizetype kept = shown - changes.trimmed;
    changes.fromStart = kept < 0 || (first >= 0 && first < kept) || m_text.size() < kept;
    if (changes.fromStart) {
        changes.trimmed = 0;
        changes.trimmedLines = 0;
    } else if (first < 0) {
        return changes;
    }
    const qsizetype from = changes.fromStart ? 0 : kept;
    // A copy of its own: nothing of the pane's text is shared with the view's thread.
    changes.text = QString(m_text.constData() + from, m_text.size() - from);
    changes.colours.assign(m_colours.begin() + from, m_colours.end());
    return changes;
}

namespace {

// Whether `line` holds `marker` ("(" and lower-case ASCII) in any mix of case. Only ASCII letters
// fold to the letters of the two markers, so comparing ASCII alone finds what a full case-blind
// search finds, at a fraction of its cost on thousands of lines.
bool mentions(QStringView line, QLatin1StringView marker)
{
    const qsizetype last = line.size() - marker.size();
    for (qsizetype at = line.indexOf(u'('); at >= 0 && at <= last;
         at = line.indexOf(u'(', at + 1)) {
        qsizetype i = 1;
        for (; i < marker.size(); ++i) {
            const char16_t c = line[at + i].unicode();
            if ((c >= u'A' && c <= u'Z' ? c + 32 : c) != char16_t(marker[i].unicode()))
                break;
        }
        if (i == marker.size())
            return true;
    }
    return false;
}

} // namespace

bool mentionsError(QStringView line)
{
    return mentions(line, QLatin1StringView("(error)"));
}

SystemLogPriority systemLogPriorityOf(QStringView line)
{
    return mentionsError(line) ? SystemLogPriority::Error : SystemLogPriority::Warning;
}

quint32 lineColour(QStringView line)
{
    if (mentions(line, QLatin1StringView("(warning)")))
        return PaneColour::Yellow;
    if (mentionsError(line))
        return PaneColour::Red;
    return PaneColour::Black;
}
