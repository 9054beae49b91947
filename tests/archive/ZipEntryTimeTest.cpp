#include "archive/ZipArchive.h"

#include "platform/NativePath.h"
#include "support/ArchiveReader.h"
#include "support/TestEnvironment.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QScopeGuard>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using ZipEntryTimeTest = TempEnvironment;

// Entry times at every edge and one either side: the DOS fields hold 1980 to 2107 in local time
// by two seconds and stop at the nearer end outside it (the strict check holds them to the exact
// time); the exact time goes beside them, as the extended timestamp from 1970 to 2106 and as NTFS
// times outside. Read back by zipfile (the DOS fields), zipinfo -T (the extended timestamp where
// there is one) and 7-Zip (the exact time).
TEST_F(ZipEntryTimeTest, EntryTimesAreKeptExactlyAndTheDosFieldsNeverWrap)
{
    std::vector<qint64> times{5680281600};
    for (const qint64 edge : {0LL, 315532800LL, 1LL << 31, 1LL << 32, 4354819200LL})
        for (const qint64 step : {-1, 0, 1})
            times.push_back(edge + step);
    const QString archive = path("archive.ZIP");
    const QByteArray savedZone = qgetenv("TZ");
    qputenv("TZ", "UTC");
    ::tzset();
    const auto restoreZone = qScopeGuard([&] {
        savedZone.isNull() ? qunsetenv("TZ") : qputenv("TZ", savedZone);
        ::tzset();
    });
    {
        ZipArchive zip(6, 2);
        ASSERT_EQ(zip.NewZip(archive), 1);
        for (const qint64 modified : times) {
            const QString name = QStringLiteral("logs/data_%1.log").arg(modified);
            writeFile(name, "x");
            const QString file = path(name);
            const struct timespec set[2] = {{time_t(modified), 0}, {time_t(modified), 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, nativePath(file).constData(), set, 0), 0);
            ASSERT_EQ(zip.AddFile(file, 0), 1);
        }
        ASSERT_EQ(zip.SaveArchive(), 1) << zip.ErrorText().toStdString();
    }
    const auto content = readArchive(archive);
    ASSERT_TRUE(content);
    const Ran unzipped = runTool(u"zipinfo"_s, {u"-T"_s, archive});
    const Ran sevenZip = runTool(u"7z"_s, {u"l"_s, u"-slt"_s, archive});
    ASSERT_EQ(unzipped.status, 0);
    ASSERT_EQ(sevenZip.status, 0);
    for (const qint64 modified : times) {
        const QString name = QStringLiteral("data_%1.log").arg(modified);
        const QString exact =
            QDateTime::fromSecsSinceEpoch(modified, Qt::UTC).toString(u"yyyy-MM-dd hh:mm:ss"_s);
        // zipinfo -T: yyyymmdd.hhmmss, from the extended timestamp or else the DOS fields.
        const QString shown =
            QString(modified >= 0 && modified < (1LL << 32) ? exact : content->at(name).modified)
                .remove(u'-')
                .remove(u':')
                .replace(u' ', u'.');
        EXPECT_TRUE(QString::fromUtf8(unzipped.output).contains(shown + u' ' + name)) << modified;
        EXPECT_TRUE(QRegularExpression(u"Path = "_s + name + u"\n(.*\n)*?Modified = "_s + exact)
                        .match(QString::fromUtf8(sevenZip.output))
                        .hasMatch())
            << modified;
    }
}

} // namespace
