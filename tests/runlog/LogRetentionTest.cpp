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

TEST_F(LogRetentionTest, MoreThanThirtyCalendarDaysGoes)
{
    logFrom(u"a_31_days.TXT"_s, 31, QTime(23, 59, 59));
    logFrom(u"b_30_days.TXT"_s, 30, QTime(0, 0, 1));
    logFrom(u"c_today.TXT"_s, 0);
    logFrom(u"d_future.TXT"_s, -3);
    logFrom(u"e_old_readonly.TXT"_s, 400);
    QFile::setPermissions(path("logs/e_old_readonly.TXT"), QFile::ReadOwner);
    QDir().mkpath(path("logs/old_subfolder"));
    writeFile("logs/old_subfolder/inside.TXT", "x");
    const utimbuf old{time_t(QDateTime(today.addDays(-90), QTime(12, 0)).toSecsSinceEpoch()),
                      time_t(QDateTime(today.addDays(-90), QTime(12, 0)).toSecsSinceEpoch())};
    ::utime(QFile::encodeName(path("logs/old_subfolder")).constData(), &old);

    DeleteOldLogFiles(fs, path("logs"), today);
    EXPECT_EQ(remaining(), (QStringList{u"b_30_days.TXT"_s, u"c_today.TXT"_s, u"d_future.TXT"_s,
                                        u"old_subfolder"_s}));
    EXPECT_TRUE(QFile::exists(path("logs/old_subfolder/inside.TXT")));
}

TEST_F(LogRetentionTest, NoFileIsSkippedWhileOthersGo)
{
    for (int i = 0; i < 60; ++i)
        logFrom(u"old_%1.TXT"_s.arg(i), 31 + i);
    DeleteOldLogFiles(fs, path("logs"), today);
    EXPECT_TRUE(remaining().isEmpty());
}

TEST_F(LogRetentionTest, MissingFolderIsNoConcern)
{
    DeleteOldLogFiles(fs, path("nothing-here"), today);
    EXPECT_FALSE(QFileInfo::exists(path("nothing-here")));
}

} // namespace
