#pragma once

// The archives of one computer's runs, and the names beside them in a shared folder that are not
// theirs: what the delivery and the retention tests both work on.
#include "support/TestEnvironment.h"

#include <QDateTime>
#include <QStringList>

#include <unistd.h>

namespace ourArchives {

inline const QString name = u"LOG_Archive_SRV01_261204_14_05_09.ZIP"_s;
inline const QDate today(2026, 12, 4);
inline const QDateTime now(today, QTime(14, 5, 9));

inline QString ours(const char *stamp)
{
    return u"LOG_Archive_SRV01_"_s + QLatin1String(stamp) + u".ZIP"_s;
}

// What a folder shared by several computers holds beside this computer's archives: none of it is
// ever removed, however old.
inline const QStringList notOurs = {
    u"LOG_Archive_SRV02_200101_01_02_03.ZIP"_s,
    u"LOG_Archive_SRV01_B_200101_01_02_03.ZIP"_s,
    u"LOG_Archive_srv01_200101_01_02_03.ZIP"_s,
    u"LOG_Archive_SRV01_200101_01_02_03.zip"_s,
    u"LOG_Archive_SRV01_200101_01_02_03.ZIP.bak"_s,
    u"xLOG_Archive_SRV01_200101_01_02_03.ZIP"_s,
    u"LOG_Archive_SRV01_2001010_01_02_03.ZIP"_s,
    u"LOG_Archive_SRV01_200101_01_02.ZIP"_s,
    u"LOG_Archive_SRV01_201301_01_02_03.ZIP"_s,      // a 13th month
    u"LOG_Archive_SRV01_200101_24_00_00.ZIP"_s,      // hour 24
    u"LOG_Archive_SRV01_20010\u0661_01_02_03.ZIP"_s, // an Arabic-Indic digit
    // A copy still being written (by this process).
    u".LOG_Archive_SRV01_200101_01_02_03.ZIP.partial-%1-0123abcd"_s.arg(::getpid()),
    u"LOG_Archive__200101_01_02_03.ZIP"_s,
    u"LOG_Archive_SRV01_200101_01_02_03.ZIP\n"_s,
};

} // namespace ourArchives
