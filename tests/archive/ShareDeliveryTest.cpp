#include "archive/ArchiveRun.h"

#include "support/ArchiveReader.h"
#include "support/Ending.h"
#include "support/Noise.h"
#include "support/SambaServer.h"

#include <QFile>

#include <unistd.h>

namespace {

// Whole runs (unattended, as scheduled) delivering to a real share.
class ShareDeliveryTest : public ShareEnvironment {
protected:
    void SetUp() override
    {
        ShareEnvironment::SetUp();
        if (IsSkipped())
            return;
        writeServedProduct();
        // Incompressible, so the archive is copied in several blocks and fills the small share.
        writeFile("orvel-logs/data_1.log", noise(10 << 20, 7));
        writeFile("orvel-logs/diag_1.log", "0000018F2A3B4C5D|0A3C|3|1|6869\n");
        program = makeProgram();
        program->SilentMode = true;
    }

    std::optional<int> run()
    {
        return endStatusOf([&] { cmdStart_Click(*program, host); });
    }

    QStringList errors() const
    {
        const QStringList logs = QDir(path("program/logs")).entryList(QDir::Files, QDir::Name);
        return runLogEvents(readFile("program/logs/" + logs.last())).filter(u"(error)"_s);
    }

    // The archive is being copied: past its first block, not yet at its end.
    bool copying() const
    {
        const QStringList logs = QDir(path("program/logs")).entryList(QDir::Files, QDir::Name);
        const QStringList events = runLogEvents(readFile("program/logs/" + logs.last()));
        return !events.isEmpty() && events.last().startsWith(u"    Moving ZIP file archive"_s) &&
               host.unit == ProgressUnit::CopiedBytes && host.value < host.maximum;
    }

    QString archiveName() const
    {
        return u"LOG_Archive_SRV01_%1.ZIP"_s.arg(clockTime.toString(u"yyMMdd_HH_mm_ss"_s));
    }

    std::unique_ptr<Program> program;
};

TEST_F(ShareDeliveryTest, TheArchiveArrivesWholeAndOlderOnesOnTheShareGo)
{
    host.folder = server->url(u"logs"_s, u"nightly/"_s);
    // Retention reaches the share too: this computer's older archive goes, once this one is there.
    // A link on the server named like one (Samba shows it as a second name of its target) and
    // one the server marks read-only stay, the latter with a warning that says so.
    writeFile("config/Sorvik/Sorvik.ini", "[Archive]\nKeepCount=1\n");
    const QStringList kept = {u"LOG_Archive_SRV01_200101_01_02_04.ZIP"_s,
                              u"LOG_Archive_SRV01_200101_01_02_05.ZIP"_s, u"notes.txt"_s};
    for (const QString &name : {u"LOG_Archive_SRV01_200101_01_02_03.ZIP"_s, kept[0], kept[2]})
        ASSERT_TRUE(server->put(u"logs"_s, u"nightly/"_s + name, "x"));
    ASSERT_TRUE(server->markReadOnly(u"logs"_s, u"nightly/"_s + kept[0]));
    ASSERT_EQ(
        ::symlink("notes.txt", QFile::encodeName(server->folder(u"logs/nightly/"_s) + kept[1])), 0);
    std::vector<ProgressUnit> units;
    host.onProgress = [&] { units.push_back(host.unit); };
    EXPECT_EQ(run(), 0) << errors().join('\n').toStdString();
    QStringList left = kept + QStringList{archiveName()};
    left.sort();
    EXPECT_EQ(server->list(u"logs"_s, u"nightly"_s), left);
    const QStringList logs = QDir(path("program/logs")).entryList(QDir::Files, QDir::Name);
    const QStringList warnings =
        runLogEvents(readFile("program/logs/" + logs.last())).filter(u"(warning)"_s);
    ASSERT_EQ(warnings.size(), 1) << warnings.join('\n').toStdString();
    EXPECT_TRUE(warnings.first().endsWith(kept[0] + u"': server 127.0.0.1, share logs: the server "
                                                    u"marks the file read-only"_s))
        << warnings.first().toStdString();
    const QByteArray built = readFile("program/ZIPS/" + archiveName());
    EXPECT_EQ(server->get(u"logs"_s, u"nightly/"_s + archiveName()), built);
    writeFile("read-back.zip", server->get(u"logs"_s, u"nightly/"_s + archiveName()));
    const auto content = readArchive(path("read-back.zip"));
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 2u);
    EXPECT_EQ(units.back(), ProgressUnit::CopiedBytes);
    EXPECT_EQ(host.value, double(built.size())) << "the bar ends full, in bytes";
}

TEST_F(ShareDeliveryTest, EveryFailureIsOneErrorWithTheServersReasonAndLeavesNothing)
{
    const QString logs = server->url(u"logs"_s, u"nightly/"_s);
    const struct {
        const char *what;
        QString folder;
        std::function<void()> before;
        // Runs once the copy is under way.
        std::function<void()> during;
        QString reason;
        bool foreignFileStays = false;
    } cases[] = {
        {"no such share",
         server->url(u"archives"_s, u"nightly/"_s),
         {},
         {},
         u"server 127.0.0.1, share archives: there is no such share"_s,
         {}},
        {"read-only share",
         server->url(u"readonly"_s),
         {},
         {},
         u"server 127.0.0.1, share readonly: access denied"_s,
         {}},
        {"share full",
         server->url(u"full"_s),
         {},
         {},
         u"server 127.0.0.1, share full: the share is full"_s,
         {}},
        {"server stopped before the run",
         logs,
         [&] { server->kill(); },
         {},
         u"server 127.0.0.1, share logs: the server refused the connection"_s,
         {}},
        {"credentials readable by others",
         logs,
         [&] {
             QFile::setPermissions(path("config/Sorvik/smb-credentials"),
                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
         },
         {},
         u"mode 0640"_s,
         {}},
        {"the final name taken during the copy",
         logs,
         {},
         [&] { server->put(u"logs"_s, u"nightly/"_s + archiveName(), "another writer's"); },
         u"server 127.0.0.1, share logs: a file of that name is already there"_s,
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (QString::fromLatin1(c.what) == u"share full"_s && !server->hasFullShare())
            continue; // told by the server's set-up: no tmpfs can be mounted here
        ASSERT_TRUE(server->prepareTest(path("home"), path("config")));
        QDir().mkpath(server->folder(u"logs/nightly"_s));
        clockTime = clockTime.addSecs(1);
        program = makeProgram();
        program->SilentMode = true;
        if (c.before)
            c.before();
        bool once = false;
        host.onProgress = [&] {
            if (c.during && copying() && !std::exchange(once, true))
                c.during();
        };
        host.folder = c.folder;
        EXPECT_EQ(run(), 1);
        const QStringList said = errors();
        ASSERT_EQ(said.size(), 1) << said.join('\n').toStdString();
        EXPECT_TRUE(said.first().contains(c.reason)) << said.first().toStdString();
        EXPECT_FALSE(said.first().contains(u"Pa55"_s));
        if (!server->running()) {
            ASSERT_TRUE(server->start());
        }
        const QStringList left = c.foreignFileStays ? QStringList{archiveName()} : QStringList();
        EXPECT_EQ(server->list(u"logs"_s, u"nightly"_s), left);
        if (c.foreignFileStays) {
            EXPECT_EQ(server->get(u"logs"_s, u"nightly/"_s + archiveName()), "another writer's");
        }
        if (server->hasFullShare()) {
            EXPECT_EQ(server->list(u"full"_s), QStringList());
        }
        host.onProgress = {};
    }
}

TEST_F(ShareDeliveryTest, AStopDuringTheCopyTakesWhatItWroteAndKilledRunsLeftoversGo)
{
    // Left by runs of this computer that were killed: a copy, and one that had already claimed
    // its final name with an empty file. Another computer's copy and a live one stay.
    const QStringList dead = {
        u".LOG_Archive_SRV01_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u"LOG_Archive_SRV01_261203_01_02_03.ZIP"_s,
        u".LOG_Archive_SRV01_261203_01_02_04.ZIP.partial-999999998-0123abcd"_s};
    const QStringList kept = {
        u".LOG_Archive_OTHER_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u".LOG_Archive_SRV01_261203_01_02_05.ZIP.partial-%1-0123abcd"_s.arg(::getpid()),
        u"LOG_Archive_SRV01_261203_01_02_04.ZIP"_s};
    for (const QString &name : dead + kept)
        ASSERT_TRUE(server->put(u"logs"_s, u"nightly/"_s + name,
                                name == u"LOG_Archive_SRV01_261203_01_02_03.ZIP"_s ? "" : "x"));
    host.folder = u"//127.0.0.1/logs/nightly"_s;
    host.onProgress = [&] {
        if (copying())
            program->requestCancel();
    };
    // The run's thread ends at its next step; the program's orderly end is whoever asked's.
    EXPECT_THROW(cmdStart_Click(*program, host), RunCancelled);
    const QStringList said = errors();
    ASSERT_EQ(said.size(), 1) << said.join('\n').toStdString();
    EXPECT_TRUE(said.first().contains(u"stopped on request"_s)) << said.first().toStdString();
    QStringList expected = kept;
    expected.sort();
    EXPECT_EQ(server->list(u"logs"_s, u"nightly"_s), expected);
}

} // namespace
