#include "platform/WorkStationInfo.h"

WorkStationInfo::WorkStationInfo(std::shared_ptr<WorkStationSource> source)
    : m_source(std::move(source))
{
    IsNT = m_source && m_source->answersQueries();
    if (IsNT)
        Refresh();
}

void WorkStationInfo::Refresh()
{
    if (!IsNT)
        return;
    if (const auto facts = m_source->workstation())
        m_workstation = *facts;
    if (const auto facts = m_source->user())
        m_user = *facts;
}
