// The built program delivering to a real share, unattended as a scheduled task runs it.
#include "e2e/RunTable.h"
#include "support/ArchiveReader.h"
#include "support/Noise.h"
#include "support/SambaServer.h"

#include <QElapsedTimer>
#include <QThread>

#include <csignal>

namespace {

// The run table's rows on a share: what it delivers is read back through another client.
class ShareRunTable : public WithShares<RunTable> {
protected:
    void SetUp() override
    {
        WithShares<RunTable>::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(QFile::copy(builtFile(u"sorvik-share-reader"_s),
                                path(u"program/sorvik-share-reader"_s)));
    }
    void setUpWell(const QStringList &simulation) override
    {
        RunTable::setUpWell(simulation);
        server->writeCredentials(
            path("config"), QByteArray(SambaServer::password.data(), SambaServer::password.size()));
        QDir(server->folder(u"logs/nightly"_s)).removeRecursively();
        QDir().mkpath(server->folder(u"logs/nightly"_s));
    }
    QString archiveFolder() const override { return server->url(u"logs"_s, u"nightly/"_s); }
    QStringList archiveFolderFiles() const override
    {
        return QDir(server->folder(u"logs/nightly"_s)).entryList(QDir::Files | QDir::Hidden);
    }
    QByteArray archiveBytes(const QString &name) const override
    {
        return server->get(u"logs"_s, u"nightly/"_s + name);
    }
    void plant(const QString &name, const QByteArray &content) override
    {
        ASSERT_TRUE(server->put(u"logs"_s, u"nightly/"_s + name, content));
    }
    QString localPath(const QString &name) const override
    {
        return server->folder(u"logs/nightly/"_s) + name;
    }
};

TEST_F(ShareRunTable, EveryStateOfTheFolderAsLocally)
{
    std::vector<Row> rows = preExistingState();
    rows.push_back({.name = "a clean run", .logged = {runHeader, fileCopied}, .entries = 6});
    rows.push_back({.name = "a wrong password",
                    .setUp = [&] { server->writeCredentials(path("config"), "Wr0ng-Secret"); },
                    .status = 1,
                    .logged = {u"\\(error\\) no archive folder location does not exist:"_s +
                               QRegularExpression::escape(archiveFolder()) +
                               u" - exiting application\\. \\(server 127\\.0\\.0\\.1, share "
                               "logs: the logon was refused.*"_s},
                    .secret = "Wr0ng"});
    for (const Row &row : rows)
        check(row);
}

// A server that goes away mid-copy, killed or stopped where it stands (silent, its connections
// kept), costs the run one error: silence is waited for the time limit once, and a stop signal
// ends the program at once whatever the server does. The next run removes what was left.
using ShareDeliveryProcessTest = ShareRunTable;
TEST_F(ShareDeliveryProcessTest, AServerGoneDuringTheCopyCostsTheRunOnceAndTheNextRunCleansUp)
{
    setUpWell({u"--data"_s, u"3"_s, u"--diag"_s, u"2"_s});
    writeFile("orvel/logs/data_big.log", noise(64 << 20, 11));
    const struct {
        const char *what;
        QString limit; // SORVIK_SMB_TIMEOUT
        std::function<void(QProcess &)> during;
        QString said;
    } cases[] = {
        {"killed",
         {},
         [&](QProcess &) { server->kill(); },
         u"server 127.0.0.1, share logs: the connection to the server was lost"_s},
        {"silent", u"SORVIK_SMB_TIMEOUT=5"_s, [&](QProcess &) { server->freeze(true); },
         u"server 127.0.0.1, share logs: the server did not answer for "_s},
        {"silent, then a stop signal", u"SORVIK_SMB_TIMEOUT=120"_s,
         [&](QProcess &program) {
             server->freeze(true);
             ::kill(pid_t(program.processId()), SIGTERM);
         },
         u"(error) the archive run was cancelled before it completed"_s},
    };
    const QDir nightly(server->folder(u"logs/nightly"_s));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(server->prepareTest(path("home"), path("config")));
        QDir(path("program/logs")).removeRecursively();
        QElapsedTimer struck;
        const Outcome outcome = runThrough(c.limit, {u"/Silent"_s}, false, [&](QProcess &program) {
            // The moment the copy appears on the share.
            QElapsedTimer waited;
            waited.start();
            while (nightly.entryList({u".LOG_Archive_*.partial-*"_s}, QDir::Files | QDir::Hidden)
                       .isEmpty() &&
                   program.state() != QProcess::NotRunning && waited.elapsed() < 120000)
                QThread::usleep(500);
            c.during(program);
            struck.start();
        });
        server->freeze(false);
        // Long before the limit of 120 s would have let it go.
        EXPECT_LT(struck.elapsed(), 60000) << "the program waited on the silent server";
        const QString said = runLogText() + QString::fromLocal8Bit(outcome.errors);
        EXPECT_EQ(outcome.status, 1) << said.toStdString();
        EXPECT_EQ(runLogText().count(u": (error)"_s), 1) << said.toStdString();
        EXPECT_TRUE(said.contains(c.said)) << said.toStdString();
        EXPECT_EQ(nightly.entryList(QDir::Files | QDir::Hidden).size(), 1) << "the piece left";
    }

    QDir(path("program/logs")).removeRecursively();
    const Outcome next = run({u"/Silent"_s});
    EXPECT_EQ(next.status, 0) << runLogText().toStdString() << next.errors.toStdString();
    const QStringList left = server->list(u"logs"_s, u"nightly"_s);
    ASSERT_EQ(left.size(), 1) << left.join(' ').toStdString();
    EXPECT_FALSE(left.first().startsWith(u"."_s));
}

} // namespace
