// The built program, run as a process the way a scheduler or an administrator starts it.
#include "support/ArchiveReader.h"
#include "support/ProcessFixture.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

namespace {

TEST_F(ProcessTest, SilentStartWithoutServedProductEndsQuietly)
{
    const Outcome outcome = run({QStringLiteral("/Silent")});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(programFolder(), QStringList{QStringLiteral("Sorvik")})
        << "no run log, no archive folders";
}

TEST_F(ProcessTest, ServedProductVersionDecidesTheStart)
{
    QDir().mkpath(path(QStringLiteral("archive")));
    storeArchiveFolder(path(QStringLiteral("archive/")));
    simulate({QStringLiteral("--version"), QStringLiteral("2.9")});
    Outcome outcome = run({QStringLiteral("/Silent")});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(outcome.errors.contains("This utility only works with Orvel 4.0(1) and later"))
        << outcome.errors.toStdString();

    for (const char *version : {"3.0", "4.0"}) {
        // Two runs within one second name their archives alike: one archive folder for each.
        const QString archive =
            path(QStringLiteral("archive-") + QLatin1String(version) + QLatin1Char('/'));
        QDir().mkpath(archive);
        storeArchiveFolder(archive);
        simulate({QStringLiteral("--version"), QLatin1String(version)});
        outcome = run({QStringLiteral("/silent")});
        EXPECT_EQ(outcome.status, 0) << version << outcome.errors.toStdString();
    }
}

TEST_F(ProcessTest, SilentRefusalsEndWithTheirLineAndStatusOne)
{
    simulate();
    const QString missing = path(QStringLiteral("no-such-folder/"));
    const struct {
        QString folder;
        QString lastLine;
    } cases[] = {
        {QString(), QStringLiteral("(error) no folder location defined to store archived log file "
                                   "output.  Exiting application")},
        {missing, QStringLiteral("(error) no archive folder location does not exist:") + missing +
                      QStringLiteral(" - exiting application.")},
        // Takes no new file, even from root.
        {QStringLiteral("/proc/"),
         QStringLiteral("(error) the archive folder location is visible however creation of new "
                        "files failed - this usually means the account you are running the Orvel "
                        "Sorvik with does not have read/write access to that location.  "
                        "Folder=/proc/ - exiting application.")},
    };
    for (const auto &c : cases) {
        QDir(path(QStringLiteral("program/logs"))).removeRecursively();
        storeArchiveFolder(c.folder);
        EXPECT_EQ(run({QStringLiteral("/Silent")}).status, 1) << c.folder.toStdString();
        const QStringList lines = runLog();
        ASSERT_EQ(lines.size(), 8);
        EXPECT_EQ(lines.at(1), QStringLiteral("Running Sorvik, version 1.0.1"));
        EXPECT_TRUE(lines.last().endsWith(QStringLiteral(": ") + c.lastLine))
            << lines.last().toStdString();
    }
    EXPECT_FALSE(probeLeftAnywhere());
}

TEST_F(ProcessTest, SilentRunDeliversTheArchive)
{
    simulate({QStringLiteral("--data"), QStringLiteral("3"), QStringLiteral("--diag"),
              QStringLiteral("2"), QStringLiteral("--data-size"), QStringLiteral("300000")});
    QDir().mkpath(path(QStringLiteral("archive")));
    storeArchiveFolder(path(QStringLiteral("archive/")));
    const Outcome outcome = run({QStringLiteral("/Silent")});
    EXPECT_EQ(outcome.status, 0) << outcome.errors.toStdString();

    const QStringList delivered =
        QDir(path(QStringLiteral("archive"))).entryList(QDir::Files | QDir::Hidden);
    ASSERT_EQ(delivered.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^LOG_Archive_.*_\d{6}_\d\d_\d\d_\d\d\.ZIP$)"))
                    .match(delivered.first())
                    .hasMatch());
    const auto content = readArchive(path(QStringLiteral("archive/")) + delivered.first());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 5u);
    for (const QString &data :
         QDir(path(QStringLiteral("orvel/logs"))).entryList({QStringLiteral("data_*")}))
        EXPECT_EQ(content->at(data).sha256, fileDigest(path(QStringLiteral("orvel/logs/")) + data));
    EXPECT_EQ(readFile(QStringLiteral("program/ZIPS/") + delivered.first()),
              readFile(QStringLiteral("archive/") + delivered.first()));
    EXPECT_TRUE(QDir(path(QStringLiteral("program/TempDiags"))).entryList(QDir::Files).isEmpty());

    const QStringList lines = runLog();
    ASSERT_GT(lines.size(), 8);
    EXPECT_TRUE(lines.last().endsWith(QStringLiteral(":     File copied")));
    EXPECT_FALSE(lines.mid(7).join('\n').contains(QStringLiteral("(error)"), Qt::CaseInsensitive));
}

TEST_F(ProcessTest, SilentRunOverTheOddCasesCountsItsErrors)
{
    simulate({QStringLiteral("--odd")});
    QDir().mkpath(path(QStringLiteral("archive")));
    storeArchiveFolder(path(QStringLiteral("archive/")));
    EXPECT_EQ(run({QStringLiteral("/Silent")}).status, 1);
    const QStringList delivered = QDir(path(QStringLiteral("archive"))).entryList(QDir::Files);
    ASSERT_EQ(delivered.size(), 1);
    const auto content = readArchive(path(QStringLiteral("archive/")) + delivered.first());
    ASSERT_TRUE(content);
    EXPECT_TRUE(content->count(QStringLiteral("diag_odd_lines.log.fmtd.txt")));
    EXPECT_TRUE(content->count(QStringLiteral("diag_.fmtd.txt")));
    EXPECT_FALSE(content->count(QStringLiteral("abc")));
    EXPECT_FALSE(content->count(QStringLiteral("data_hidden.log")));
}

TEST_F(ProcessTest, SecondInstanceEndsAtOnceWithStatusThree)
{
    simulate();
    storeArchiveFolder(QStringLiteral("/srv/archive/"));
    const QByteArray stored = readFile(QStringLiteral("config/Sorvik/Sorvik.ini"));
    // The first instance starts the update script once it holds the lock: that says it is up.
    const QString ready = path(QStringLiteral("first-is-up"));
    writeFile(QStringLiteral("program/test.bat"), "touch '" + QFile::encodeName(ready) + "'\n");

    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(program(), {});
    ASSERT_TRUE(first.waitForStarted(30000));
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(ready) && waited.elapsed() < 30000 && first.state() == QProcess::Running)
        QThread::msleep(20);
    ASSERT_TRUE(QFile::exists(ready)) << first.readAllStandardError().toStdString();

    for (const QStringList &arguments : {QStringList{}, QStringList{QStringLiteral("/Silent")}})
        EXPECT_EQ(run(arguments).status, 3);
    EXPECT_EQ(readFile(QStringLiteral("config/Sorvik/Sorvik.ini")), stored);
    EXPECT_FALSE(QDir(path(QStringLiteral("program/logs"))).exists());
    EXPECT_EQ(first.state(), QProcess::Running) << "the running instance is not affected";

    first.kill();
    first.waitForFinished(10000);
    // Its lock died with it.
    EXPECT_EQ(run({QStringLiteral("/Silent")}).status, 1);
}

} // namespace
