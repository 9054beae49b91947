// Browse and UNC: a folder becomes the archive folder (and the setting) only when it can be
// written, else a box says why and the previous folder stays.
#include "ui/ArchiveFolderSelection.h"
#include "app/ArchiveFolderSetting.h"
#include "runlog/FolderUtilities.h"

#include "support/SambaServer.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

const QString notWritable = QStringLiteral(
    "That's a valid path however the account you are logged in as currently does not have write "
    "access to that location so you cannot use it as a target for log file archives.");
const QString uncNotWritable = QStringLiteral(
    "That's a valid UNC path however the account you are logged in as currently does not have "
    "write access to that location so you cannot use it as a target for log file archives.");
const QString cannotConnect = QStringLiteral(
    "Cannot connect to this location - make sure you entered the full UNC path correctly and the "
    "account you're logged in as has rights to it.");

// The folder a restarted program finds stored.
QString stored(std::unique_ptr<Program> restarted)
{
    TestHost fresh;
    LoadArchiveFolderSetting(*restarted, fresh);
    return fresh.folder;
}

// One way of choosing a folder, over the previous one "/previous/".
struct Choice {
    bool typed; // UNC, or else Browse
    QString given;
    QString told; // how the box shown past the prompt starts; none: no box
    // Taken (nothing told): the folder as taken, with one separator; else what the box also says.
    QString more = {};
};

class ArchiveFolderSelectionTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        // A typed share is looked for with a client configuration of the test's own, never the
        // machine's, and no broadcast for a name.
        writeFile("home/.smb/smb.conf", "[global]\n  name resolve order = host\n");
        program = makeProgram();
        QDir().mkpath(path("archive"));
    }

    // The box the choice shows, never with a password; then the field and the setting.
    void choose(const Choice &c)
    {
        SCOPED_TRACE(c.given.toStdString());
        host.folder = u"/previous/"_s;
        storeArchiveFolder(u"/previous/"_s);
        dialogs.texts.clear();
        dialogs.inputs = {c.given};
        c.typed ? cmdEnterUNC_Click(*program, host) : cmdBrowseForFolder_Click(*program, host);
        ASSERT_EQ(dialogs.texts.size(), c.told.isEmpty() ? 1u : 2u);
        const QString told = dialogs.texts.back();
        EXPECT_TRUE(c.told.isEmpty() || (told.startsWith(c.told) && told.contains(c.more) &&
                                         !told.contains(u"Wr0ng"_s)))
            << told.toStdString();
        const bool taken = c.told.isEmpty() && !c.given.isEmpty();
        EXPECT_EQ(host.folder, taken ? c.more : u"/previous/"_s);
        EXPECT_EQ(stored(makeProgram(u"restarted"_s)), host.folder);
    }

    std::unique_ptr<Program> program;
};

// What each way of choosing leaves. The probe file never stays.
TEST_F(ArchiveFolderSelectionTest, OnlyAWritableFolderIsTaken)
{
    const QString archive = path("archive/");
    QDir().mkpath(path("program/logs"));
    for (const Choice &c : {
             Choice{false, path("archive"), {}, archive},
             {false, archive, {}, archive},
             {false, QString(), {}}, // cancelled
             {false, u"/proc"_s, notWritable},
             {true, path("archive"), {}, archive},
             {true, QString(), {}},
             {true, u"/proc"_s, uncNotWritable},
             {true, u"\\\\"_s, cannotConnect},
             {true, path("missing"), cannotConnect},
             {true, path("program/logs"), workingFolderRefusal()},
         })
        choose(c);
    EXPECT_EQ(dialogs.startFolders.back(), u"/previous/"_s) << "the browser opens there";
    EXPECT_FALSE(QFile::exists(path("archive/temp.test.txt")));
}

// A typed share that does not answer: the window says that it checks, and Cancel ends the wait
// at once, while the check still waits for the server; nothing is taken or said.
TEST_F(ArchiveFolderSelectionTest, CancelStopsWaitingForTheCheck)
{
    qputenv("SORVIK_SMB_TIMEOUT", "3");
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    QTcpSocket *waiting = nullptr;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        waiting = silent.nextPendingConnection();
        ASSERT_TRUE(dialogs.cancelBusy) << "the check is shown";
        dialogs.cancelBusy();
    });
    host.folder = u"/previous/"_s;
    dialogs.inputs = {u"smb://127.0.0.1:%1/share/"_s.arg(silent.serverPort())};
    cmdEnterUNC_Click(*program, host);
    ASSERT_NE(waiting, nullptr);
    EXPECT_EQ(waiting->state(), QAbstractSocket::ConnectedState) << "the check still waits";
    EXPECT_EQ(dialogs.texts, std::vector<QString>{u"UNC Path"_s});
    EXPECT_EQ(host.folder, u"/previous/"_s);
    // The check, left to itself, gives up within its time limit.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return waiting->state() == QAbstractSocket::UnconnectedState; }, 30000));
}

using ShareSelectionTest = WithShares<ArchiveFolderSelectionTest>;

// A reachable share is taken as typed (a separator added; each form of a share's path and its
// separator: SmbFileSystemTest); a failure keeps its words and says why after them (each reason
// the share layer gives: SmbFileSystemTest).
TEST_F(ShareSelectionTest, AShareIsTakenAsTypedOrRefusedWithItsReason)
{
    choose({true, server->url(u"readonly"_s), uncNotWritable + u"\n\n"_s,
            u"server 127.0.0.1, share readonly: access denied"_s});
    choose({true, u"\\\\127.0.0.1\\logs\\nightly"_s, {}, u"\\\\127.0.0.1\\logs\\nightly\\"_s});
    EXPECT_TRUE(server->list(u"logs"_s, u"nightly"_s).isEmpty()) << "the probe went";
    server->writeCredentials(path("config"), "Wr0ng-Secret");
    choose({true, server->url(u"logs"_s), cannotConnect + u"\n\n"_s,
            u"server 127.0.0.1, share logs: the logon was refused"_s});
}

} // namespace
