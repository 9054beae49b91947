#pragma once

#include <QDateTime>
#include <QString>

// The one place that turns a moment into text.

// The general date-and-time form of the user's regional settings (LC_TIME): the short date, a
// blank, the long time; at exactly midnight the date alone.
QString generalDateTime(const QDateTime &moment);

// The stamp in the names of the run's files: yymmdd_hh_mm_ss, hours 00 to 23.
QString fileTimeStamp(const QDateTime &moment);
// The local moment such a stamp stands for, years 2000 to 2099; invalid for any other text and
// for a moment the local clock never shows.
QDateTime fileTimeStampMoment(const QString &stamp);

// A moment for machines and other time zones: ISO 8601 local time with its offset from UTC,
// "2026-12-04T14:05:09+01:00" ("+00:00", never "Z", in UTC).
QString isoDateTime(const QDateTime &moment);

// The short date form of the user's regional settings (LC_TIME), the one the run log's lines
// use, as a date pattern for the windows: every date they show or take is in this form.
QString shortDateFormat();
QString shortDateText(const QDate &date);
// A C library date form ("%d.%m.%Y") as a date pattern ("dd.MM.yyyy"); the locale's short
// pattern when the form holds a conversion that has no counterpart.
QString datePatternOf(const QString &cForm);
// The same form with the year whole, for a date to be typed: "26" could be any century.
QString shortDateEntryFormat();

// A task's run time as the scheduling window's task list shows it: "HH:MM:SS DD-MMM-YYYY", the
// month abbreviated in the user's language (LC_TIME), as in 14:05:09 04-Dec-2026.
QString taskTimeText(const QDateTime &moment);

// A moment as a ZIP entry keeps it: MS-DOS date (high 16 bits) and time (low 16 bits), local
// time, two-second steps; moments before 1980 become 1 January 1980, and those after 2107 its
// last two seconds.
quint32 dosDateTime(qint64 secondsSinceEpoch);
