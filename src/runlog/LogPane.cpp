#include "runlog/LogPane.h"

#include <algorithm>

void LogPane::select(qsizetype start, qsizetype length)
{
    m_selStart = std::clamp<qsizetype>(start, 0, m_text.size());
    m_selLength = std::clamp<qsizetype>(length, 0, m_text.size() - m_selStart);
}

void LogPane::replaceSelection(const QString &text)
{
    m_text.replace(m_selStart, m_selLength, text);
    const auto at = m_colours.begin() + m_selStart;
    m_colours.erase(at, at + m_selLength);
    m_colours.insert(m_colours.begin() + m_selStart, size_t(text.size()), PaneColour::Black);
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

void LogPane::changedFrom(qsizetype position)
{
    m_firstChange = m_firstChange < 0 ? position : std::min(m_firstChange, position);
}

void LogPane::flush()
{
    if (m_firstChange < 0)
        return;
    const qsizetype first = std::exchange(m_firstChange, -1);
    if (m_view)
        m_view->paneChanged(*this, first);
}

quint32 lineColour(const QString &line)
{
    if (line.contains(QLatin1String("(warning)"), Qt::CaseInsensitive))
        return PaneColour::Yellow;
    if (line.contains(QLatin1String("(error)"), Qt::CaseInsensitive))
        return PaneColour::Red;
    return PaneColour::Black;
}
