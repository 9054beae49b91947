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

quint32 dosDateTime(qint64 secondsSinceEpoch)
{
    const std::time_t seconds = std::time_t(secondsSinceEpoch);
    std::tm local{};
    localtime_r(&seconds, &local);
    if (local.tm_year < 80)
        return (1u << 5 | 1u) << 16;
    const quint32 date =
        quint32(local.tm_year - 80) << 9 | quint32(local.tm_mon + 1) << 5 | quint32(local.tm_mday);
    const quint32 time =
        quint32(local.tm_hour) << 11 | quint32(local.tm_min) << 5 | quint32(local.tm_sec / 2);
    return date << 16 | time;
}
