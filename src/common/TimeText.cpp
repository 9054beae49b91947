#include "common/TimeText.h"

#include <QHash>
#include <QLocale>
#include <QStringList>

#include <algorithm>
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
    const QDateTime local = moment.toLocalTime();
    return local.time().toString(u"HH:mm:ss"_s) + QLatin1Char(' ') + shortDateText(local.date());
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
