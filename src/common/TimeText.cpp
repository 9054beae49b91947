#include "common/TimeText.h"

#include <ctime>

QString generalDateTime(const QDateTime &moment)
{
    const std::time_t seconds = std::time_t(moment.toSecsSinceEpoch());
    std::tm local{};
    localtime_r(&seconds, &local);
    const bool midnight = local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0;
    char text[256];
    const std::size_t n = std::strftime(text, sizeof text, midnight ? "%x" : "%x %X", &local);
    return QString::fromLocal8Bit(text, qsizetype(n));
}

QString fileTimeStamp(const QDateTime &moment)
{
    return moment.toLocalTime().toString(QStringLiteral("yyMMdd_HH_mm_ss"));
}

QString taskTimeText(const QDateTime &moment)
{
    const std::time_t seconds = std::time_t(moment.toSecsSinceEpoch());
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%H:%M:%S %d-%b-%Y", &local);
    return QString::fromLocal8Bit(text, qsizetype(n));
}
