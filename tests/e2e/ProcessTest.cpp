// The built program, run as a process the way a scheduler or an administrator starts it.
#include "e2e/SystemLogCatcher.h"
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

TEST_F(ProcessTest, SilentStartWithoutServedProductLeavesNothingBesideTheProgram)
{
    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(programFolder(), (QStringList{u"Sorvik"_s, helper}))
        << "no run log, no archive folders";
}

TEST_F(ProcessTest, HelpAndVersionTouchNothing)
{
    // Not set up at all: a registry read would be told on stderr.
    const struct {
        QStringList arguments;
        QByteArray output;
    } cases[] = {
        {{u"--version"_s}, "Sorvik 1.0.1\n"},
        {{u"--help"_s}, "Usage: Sorvik [/Silent]\n"},
        {{u"-h"_s}, "Usage: Sorvik [/Silent]\n"},
        {{u"/?"_s}, "Usage: Sorvik [/Silent]\n"},
    };
    for (const auto &c : cases) {
        const Outcome outcome = run(c.arguments);
        EXPECT_EQ(outcome.status, 0) << c.output.toStdString();
        EXPECT_TRUE(outcome.output.startsWith(c.output)) << outcome.output.toStdString();
        EXPECT_EQ(outcome.errors, QByteArray());
    }
    EXPECT_TRUE(run({u"--help"_s}).output.contains(QFile::encodeName(path(u"program"_s)) + ":\n"))
        << "names the folder of its run logs";
    // Named as it was started, as through the packages' /usr/bin/sorvik.
    ASSERT_TRUE(QFile::link(program(), path("sorvik")));
    QProcess linked;
    linked.start(path("sorvik"), {u"--help"_s});
    ASSERT_TRUE(linked.waitForFinished(30000));
    EXPECT_TRUE(linked.readAllStandardOutput().startsWith("Usage: sorvik [/Silent]\n"));
    QFile::remove(path("sorvik"));
    EXPECT_EQ(programFolder(), (QStringList{u"Sorvik"_s, helper})) << "no lock, no run log";
}

TEST_F(ProcessTest, StartWithoutRuntimeFolderIsQuiet)
{
    simulate({u"--no-components"_s});
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    // An interactive start with an argument ends without a message box; only its refusal is told.
    const Outcome outcome = run({u"/x"_s});
    qputenv("XDG_RUNTIME_DIR", runtime);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(outcome.errors.startsWith("Sorvik: Orvel is not running: "));
    EXPECT_EQ(outcome.errors.count('\n'), 1) << outcome.errors.toStdString();
}

TEST_F(ProcessTest, ServedProductVersionDecidesTheStart)
{
    QDir().mkpath(path("archive"));
    storeArchiveFolder(path("archive/"));
    simulate({u"--version"_s, u"2.9"_s});
    Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(outcome.errors.contains("This utility only works with Orvel 4.0(1) and later"))
        << outcome.errors.toStdString();

    for (const char *version : {"3.0", "4.0"}) {
        // Two runs within one second name their archives alike: one archive folder for each.
        const QString archive = path("archive-" + QLatin1String(version) + QLatin1Char('/'));
        QDir().mkpath(archive);
        storeArchiveFolder(archive);
        simulate({u"--version"_s, QLatin1String(version)});
        outcome = run({u"/silent"_s});
        EXPECT_EQ(outcome.status, 0) << version << outcome.errors.toStdString();
    }
}

TEST_F(ProcessTest, SilentRefusalsEndWithTheirLineAndStatusOne)
{
    simulate();
    const QString missing = path("no-such-folder/");
    const struct {
        QString folder;
        QString lastLine;
    } cases[] = {
        {QString(), QStringLiteral("(error) no folder location defined to store archived log file "
                                   "output.  Exiting application")},
        {missing, u"(error) no archive folder location does not exist:"_s + missing +
                      u" - exiting application."_s},
        // Takes no new file, even from root.
        {u"/proc/"_s,
         QStringLiteral("(error) the archive folder location is visible however creation of new "
                        "files failed - this usually means the account you are running the Orvel "
                        "Sorvik with does not have read/write access to that location.  "
                        "Folder=/proc/ - exiting application.")},
    };
    for (const auto &c : cases) {
        QDir(path("program/logs")).removeRecursively();
        storeArchiveFolder(c.folder);
        EXPECT_EQ(run({u"/Silent"_s}).status, 1) << c.folder.toStdString();
        const QStringList lines = runLog();
        ASSERT_EQ(lines.size(), 8);
        EXPECT_EQ(lines.at(1), u"Running Sorvik, version 1.0.1"_s);
        EXPECT_TRUE(lines.last().endsWith(u": "_s + c.lastLine)) << lines.last().toStdString();
    }
    EXPECT_FALSE(probeLeftAnywhere());
}

TEST_F(ProcessTest, SilentRunDeliversTheArchive)
{
    simulate({u"--data"_s, u"3"_s, u"--diag"_s, u"2"_s, u"--data-size"_s, u"300000"_s});
    QDir().mkpath(path("archive"));
    storeArchiveFolder(path("archive/"));
    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 0) << outcome.errors.toStdString();

    const QStringList delivered = QDir(path("archive")).entryList(QDir::Files | QDir::Hidden);
    ASSERT_EQ(delivered.size(), 1);
    EXPECT_TRUE(QRegularExpression(uR"(^LOG_Archive_.*_\d{6}_\d\d_\d\d_\d\d\.ZIP$)"_s)
                    .match(delivered.first())
                    .hasMatch());
    const auto content = readArchive(path("archive/") + delivered.first());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 5u);
    for (const QString &data : QDir(path("orvel/logs")).entryList({u"data_*"_s}))
        EXPECT_EQ(content->at(data).sha256, fileDigest(path("orvel/logs/") + data));
    EXPECT_EQ(readFile("program/ZIPS/" + delivered.first()),
              readFile("archive/" + delivered.first()));
    EXPECT_TRUE(QDir(path("program/TempDiags")).entryList(QDir::Files).isEmpty());

    const QStringList lines = runLog();
    ASSERT_GT(lines.size(), 8);
    EXPECT_TRUE(lines.last().endsWith(u":     File copied"_s));
    EXPECT_FALSE(lines.mid(7).join('\n').contains(u"(error)"_s, Qt::CaseInsensitive));
}

TEST_F(ProcessTest, SilentRunOverTheOddCasesCountsItsErrors)
{
    simulate({u"--odd"_s});
    QDir().mkpath(path("archive"));
    storeArchiveFolder(path("archive/"));
    EXPECT_EQ(run({u"/Silent"_s}).status, 1);
    const QStringList delivered = QDir(path("archive")).entryList(QDir::Files);
    ASSERT_EQ(delivered.size(), 1);
    const auto content = readArchive(path("archive/") + delivered.first());
    ASSERT_TRUE(content);
    EXPECT_TRUE(content->count(u"diag_odd_lines.log.fmtd.txt"_s));
    EXPECT_TRUE(content->count(u"diag_.fmtd.txt"_s));
    EXPECT_FALSE(content->count(u"abc"_s));
    EXPECT_FALSE(content->count(u"data_hidden.log"_s));
}

TEST_F(ProcessTest, SecondInstanceEndsAtOnceWithStatusThree)
{
    simulate();
    storeArchiveFolder(u"/srv/archive/"_s);
    const QByteArray stored = readFile("config/Sorvik/Sorvik.ini");
    // The first instance starts the update script once it holds the lock: that says it is up.
    const QString ready = path("first-is-up");
    writeFile("program/test.bat", "touch '" + QFile::encodeName(ready) + "'\n");

    QProcess first;
    first.setProcessEnvironment(environment());
    ownedByTest(first);
    first.start(program(), {});
    ASSERT_TRUE(first.waitForStarted(30000));
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(ready) && waited.elapsed() < 30000 && first.state() == QProcess::Running)
        QThread::msleep(20);
    ASSERT_TRUE(QFile::exists(ready)) << first.readAllStandardError().toStdString();

    // Refused in either mode, and said where it is heard; a scheduled start also sums it up.
    SystemLogCatcher syslog(path("syslog.socket"));
    const QString refusal = u"Sorvik: Another instance of "_s +
                            QFileInfo(program()).canonicalFilePath() + u" is running (it holds "_s;
    for (const QStringList &arguments : {QStringList{}, QStringList{u"/Silent"_s}}) {
        const Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, 3);
        QStringList told = QString::fromUtf8(outcome.errors).split(u'\n', Qt::SkipEmptyParts);
        ASSERT_EQ(told.size(), arguments.isEmpty() ? 1 : 3) << outcome.errors.toStdString();
        EXPECT_TRUE(told[0].startsWith(refusal)) << told[0].toStdString();
        if (!arguments.isEmpty()) {
            EXPECT_TRUE(told[1].startsWith(
                u"Sorvik: the unattended run ended with exit status 3 (another instance"_s));
            EXPECT_EQ(told[2], u"Sorvik: no run log was written"_s);
        }
        for (const SystemLogCatcher::Entry &entry : syslog.take()) {
            EXPECT_EQ(entry.priority, 11);
            EXPECT_EQ(entry.tag + u": "_s + entry.text, told.takeFirst());
        }
        EXPECT_TRUE(told.isEmpty()) << "every line in the system log too";
    }
    EXPECT_EQ(readFile("config/Sorvik/Sorvik.ini"), stored);
    EXPECT_FALSE(QDir(path("program/logs")).exists());
    EXPECT_EQ(first.state(), QProcess::Running) << "the running instance is not affected";

    first.kill();
    first.waitForFinished(10000);
    // Its lock died with it.
    EXPECT_EQ(run({u"/Silent"_s}).status, 1);
}

} // namespace
