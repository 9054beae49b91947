#include "runlog/LogRetention.h"

#include "platform/FileSystem.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <utime.h>

namespace {

class LogRetentionTest : public TempEnvironment {
protected:
    // A run log last changed `daysAgo` calendar days before today, at the given time of day.
    void logFrom(const QString &name, int daysAgo, QTime time = QTime(12, 0))
    {
        writeFile("logs/" + name, "log");
        const QDateTime when(today.addDays(-daysAgo), time);
        utimbuf times{time_t(when.toSecsSinceEpoch()), time_t(when.toSecsSinceEpoch())};
        ASSERT_EQ(::utime(QFile::encodeName(path("logs/" + name)).constData(), &times), 0);
    }

    QStringList remaining() const
    {
        return QDir(path("logs")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    }

    FileSystem fs;
    const QDate today = QDate::currentDate();
};

// Every day from the future to long past, at the first and last second of the day: more than 30
// calendar days before today goes, the time of day aside; read-only logs too, folders stay.
TEST_F(LogRetentionTest, MoreThanThirtyCalendarDaysGoes)
{
    QStringList kept{u"old_subfolder"_s};
    for (int daysAgo = -2; daysAgo <= 62; ++daysAgo) {
        for (const QTime time : {QTime(0, 0), QTime(23, 59, 59)}) {
            const QString name = u"log_%1_%2.TXT"_s.arg(daysAgo + 100).arg(time.hour());
            logFrom(name, daysAgo, time);
            if (daysAgo % 7 == 0)
                QFile::setPermissions(path("logs/" + name), QFile::ReadOwner);
            if (daysAgo <= 30)
                kept << name;
        }
    }
    logFrom(u"old_subfolder/inside.TXT"_s, 90);
    const utimbuf old{time_t(QDateTime(today.addDays(-90), QTime(12, 0)).toSecsSinceEpoch()),
                      time_t(QDateTime(today.addDays(-90), QTime(12, 0)).toSecsSinceEpoch())};
    ::utime(QFile::encodeName(path("logs/old_subfolder")).constData(), &old);

    DeleteOldLogFiles(fs, path("logs"), today);
    QStringList left = remaining();
    left.sort();
    kept.sort();
    EXPECT_EQ(left, kept);
    EXPECT_TRUE(QFile::exists(path("logs/old_subfolder/inside.TXT")));
}

TEST_F(LogRetentionTest, MissingFolderIsNoConcern)
{
    DeleteOldLogFiles(fs, path("nothing-here"), today);
    EXPECT_FALSE(QFileInfo::exists(path("nothing-here")));
}

} // namespace
