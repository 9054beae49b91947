#include "archive/ArchiveRun.h"

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

    std::optional<int> run() { return runToItsEnd(*program, host); }

    // The newest run log's events.
    QStringList events() const
    {
        const QStringList logs = QDir(path("program/logs")).entryList(QDir::Files, QDir::Name);
        return runLogEvents(readFile("program/logs/" + logs.last()));
    }
    QStringList errors() const { return events().filter(u"(error)"_s); }

    // The archive is being copied: past its first block, not yet at its end.
    bool copying() const
    {
        const QStringList events = this->events();
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
    const QStringList warnings = events().filter(u"(warning)"_s);
    ASSERT_EQ(warnings.size(), 1) << warnings.join('\n').toStdString();
    EXPECT_TRUE(warnings.first().endsWith(kept[0] + u"': server 127.0.0.1, share logs: the server "
                                                    u"marks the file read-only"_s))
        << warnings.first().toStdString();
    const QByteArray built = readFile("program/ZIPS/" + archiveName());
    EXPECT_EQ(server->get(u"logs"_s, u"nightly/"_s + archiveName()), built);
    EXPECT_EQ(units.back(), ProgressUnit::CopiedBytes);
    EXPECT_EQ(host.value, double(built.size())) << "the bar ends full, in bytes";
}

TEST_F(ShareDeliveryTest, EveryFailureIsOneErrorWithTheServersReasonAndLeavesNothing)
{
    const QString logs = server->url(u"logs"_s, u"nightly/"_s);
    const auto takeTheName = [&] {
        server->put(u"logs"_s, u"nightly/"_s + archiveName(), "another writer's");
    };
    const auto credentialsForAll = [&] {
        QFile::setPermissions(path("config/Sorvik/smb-credentials"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    };
    const struct {
        const char *what;
        QString folder, reason;
        std::function<void()> before = {}, during = {}; // during: once the copy is under way
    } cases[] = {
        {"no such share", server->url(u"archives"_s, u"nightly/"_s),
         u"server 127.0.0.1, share archives: there is no such share"_s},
        {"read-only share", server->url(u"readonly"_s),
         u"server 127.0.0.1, share readonly: access denied"_s},
        {"share full", server->url(u"full"_s),
         u"server 127.0.0.1, share full: the share is full"_s},
        {"server stopped before the run", logs,
         u"server 127.0.0.1, share logs: the server refused the connection"_s,
         [&] { server->kill(); }},
        {"credentials readable by others", logs, u"mode 0640"_s, credentialsForAll},
        {"the final name taken during the copy",
         logs,
         u"(error) a file already exists in the target folder for that file name."_s,
         {},
         takeTheName},
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
        const bool foreignFileStays = bool(c.during);
        EXPECT_EQ(server->list(u"logs"_s, u"nightly"_s),
                  foreignFileStays ? QStringList{archiveName()} : QStringList());
        if (foreignFileStays) {
            EXPECT_EQ(server->get(u"logs"_s, u"nightly/"_s + archiveName()), "another writer's");
        }
        if (server->hasFullShare()) {
            EXPECT_EQ(server->list(u"full"_s), QStringList());
        }
        host.onProgress = {};
    }
}

} // namespace
