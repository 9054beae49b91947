#include "runlog/LogRetention.h"

#include "platform/FileSystem.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <utime.h>

namespace {

using LogRetentionTest = TempEnvironment;

// Every day from the future to long past, at the first and last second of the day: more than 30
// calendar days before today goes, the time of day aside; read-only logs too, folders stay. A
// folder that is not there is no concern, and is not made.
TEST_F(LogRetentionTest, MoreThanThirtyCalendarDaysGoes)
{
    const QDate today = QDate::currentDate();
    const auto made = [&](const QString &name, int daysAgo, QTime time) {
        if (!name.endsWith(u"folder"_s))
            writeFile("logs/" + name, "log");
        const time_t when = QDateTime(today.addDays(-daysAgo), time).toSecsSinceEpoch();
        const utimbuf times{when, when};
        EXPECT_EQ(::utime(QFile::encodeName(path("logs/" + name)).constData(), &times), 0);
    };
    made(u"old_subfolder/inside.TXT"_s, 90, QTime(12, 0));
    made(u"old_subfolder"_s, 90, QTime(12, 0));
    QStringList kept{u"old_subfolder"_s};
    for (int daysAgo = -2; daysAgo <= 62; ++daysAgo) {
        for (const QTime time : {QTime(0, 0), QTime(23, 59, 59)}) {
            const QString name = u"log_%1_%2.TXT"_s.arg(daysAgo + 100).arg(time.hour());
            made(name, daysAgo, time);
            if (daysAgo % 7 == 0)
                QFile::setPermissions(path("logs/" + name), QFile::ReadOwner);
            if (daysAgo <= 30)
                kept << name;
        }
    }
    FileSystem fs;
    DeleteOldLogFiles(fs, path("logs"), today);
    QStringList left = QDir(path("logs")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    left.sort();
    kept.sort();
    EXPECT_EQ(left, kept);
    EXPECT_TRUE(QFile::exists(path("logs/old_subfolder/inside.TXT")));
    DeleteOldLogFiles(fs, path("nothing-here"), today);
    EXPECT_FALSE(QFileInfo::exists(path("nothing-here")));
}

} // namespace
