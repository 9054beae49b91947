#include "common/TimeText.h"

#include <QHash>
#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <langinfo.h>

using namespace Qt::Literals::StringLiterals;

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

QString isoDateTime(const QDateTime &moment)
{
    const QDateTime local = moment.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local.toString(u"yyyy-MM-ddTHH:mm:ss"_s) + (offset < 0 ? u'-' : u'+') +
           u"%1:%2"_s.arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QDateTime fileTimeStampMoment(const QString &stamp)
{
    if (stamp.size() != 15)
        return {};
    return QDateTime::fromString(QStringLiteral("20") + stamp, QStringLiteral("yyyyMMdd_HH_mm_ss"));
}

QString shortDateFormat()
{
    return datePatternOf(QString::fromLocal8Bit(nl_langinfo(D_FMT)));
}

QString datePatternOf(const QString &cForm)
{
    // Converted piece by piece; text between the conversions is quoted when it holds letters,
    // which the pattern would otherwise read.
    static const QHash<QChar, QString> pieces = {
        {u'd', u"dd"_s},   {u'e', u"d"_s},    {u'm', u"MM"_s},       {u'y', u"yy"_s},
        {u'Y', u"yyyy"_s}, {u'b', u"MMM"_s},  {u'h', u"MMM"_s},      {u'B', u"MMMM"_s},
        {u'a', u"ddd"_s},  {u'A', u"dddd"_s}, {u'D', u"MM/dd/yy"_s}, {u'F', u"yyyy-MM-dd"_s}};
    QString pattern;
    QString literal;
    const auto flush = [&] {
        // A quote is written as two; the letters around it are quoted apart.
        QStringList parts = literal.split(u'\'');
        for (QString &part : parts)
            if (std::any_of(part.cbegin(), part.cend(), [](QChar c) { return c.isLetter(); }))
                part = u"'"_s + part + u"'"_s;
        pattern += parts.join(u"''"_s);
        literal.clear();
    };
    for (qsizetype i = 0; i < cForm.size(); ++i) {
        if (cForm.at(i) != u'%') {
            literal += cForm.at(i);
            continue;
        }
        if (i + 1 < cForm.size() && (cForm.at(i + 1) == u'E' || cForm.at(i + 1) == u'O'))
            ++i;
        if (i + 1 < cForm.size() && cForm.at(i + 1) == u'%') {
            literal += cForm.at(++i);
            continue;
        }
        const auto piece = i + 1 < cForm.size() ? pieces.constFind(cForm.at(++i)) : pieces.cend();
        if (piece == pieces.cend())
            return QLocale().dateFormat(QLocale::ShortFormat);
        flush();
        pattern += *piece;
    }
    flush();
    return pattern.isEmpty() ? QLocale().dateFormat(QLocale::ShortFormat) : pattern;
}

QString shortDateText(const QDate &date)
{
    return QLocale().toString(date, shortDateFormat());
}

QString shortDateEntryFormat()
{
    QString pattern = shortDateFormat();
    if (!pattern.contains(u"yyyy"_s))
        pattern.replace(u"yy"_s, u"yyyy"_s);
    return pattern;
}

QString taskTimeText(const QDateTime &moment)
{
    // The month's abbreviation in the user's language, as the run log's dates are (LC_TIME).
    const std::time_t seconds = std::time_t(moment.toSecsSinceEpoch());
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, "%H:%M:%S %d-%b-%Y", &local);
    return QString::fromLocal8Bit(text, qsizetype(n));
}

quint32 dosDateTime(qint64 secondsSinceEpoch)
{
    const std::time_t seconds = std::time_t(secondsSinceEpoch);
    std::tm local{};
    const bool known = localtime_r(&seconds, &local) != nullptr;
    // The seven bits of the year end in 2107: later moments stop at its last one rather than
    // wrap round to the 1980s.
    if (known ? local.tm_year > 207 : secondsSinceEpoch > 0)
        return quint32(127 << 9 | 12 << 5 | 31) << 16 | quint32(23 << 11 | 59 << 5 | 29);
    if (!known || local.tm_year < 80)
        return (1u << 5 | 1u) << 16;
    const quint32 date =
        quint32(local.tm_year - 80) << 9 | quint32(local.tm_mon + 1) << 5 | quint32(local.tm_mday);
    const quint32 time =
        quint32(local.tm_hour) << 11 | quint32(local.tm_min) << 5 | quint32(local.tm_sec / 2);
    return date << 16 | time;
}
