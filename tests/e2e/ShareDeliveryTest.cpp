// The built program delivering to a real share, unattended as a scheduled task runs it.
#include "support/ArchiveReader.h"
#include "support/Noise.h"
#include "support/ProcessFixture.h"
#include "support/SambaServer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>

#include <csignal>

namespace {

class ShareDeliveryProcessTest : public WithShares<ProcessTest> {
protected:
    void SetUp() override
    {
        WithShares<ProcessTest>::SetUp();
        if (IsSkipped())
            return;
        simulate({u"--data"_s, u"3"_s, u"--diag"_s, u"2"_s});
        storeArchiveFolder(server->url(u"logs"_s, u"nightly/"_s));
        // The read-back helper beside the program, as installed.
        ASSERT_TRUE(QFile::copy(builtFile(u"sorvik-share-reader"_s),
                                path(u"program/sorvik-share-reader"_s)));
    }

    QString said(const Outcome &outcome) const
    {
        return runLogText() + QString::fromLocal8Bit(outcome.errors);
    }

    // The archives of this computer for the seconds ahead: whatever second the next run starts
    // in, an archive of its name is already there.
    void archivesAhead(const QString &computerArchive, const QByteArray &content) const
    {
        const QDateTime now = QDateTime::currentDateTime();
        for (int second = 0; second < 30; ++second) {
            const QString name = QString(computerArchive)
                                     .replace(QRegularExpression(uR"(\d{6}_\d\d_\d\d_\d\d)"_s),
                                              now.addSecs(second).toString(u"yyMMdd_HH_mm_ss"_s));
            QFile file(server->folder(u"logs/nightly/"_s) + name);
            if (!file.exists() && file.open(QIODevice::WriteOnly))
                file.write(content);
        }
    }
};

TEST_F(ShareDeliveryProcessTest, ASilentRunDeliversAndASecondOfTheSameSecondReplacesNothing)
{
    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 0) << said(outcome).toStdString();
    EXPECT_TRUE(outcome.errors.isEmpty()) << outcome.errors.toStdString();
    const QStringList delivered = server->list(u"logs"_s, u"nightly"_s);
    ASSERT_EQ(delivered.size(), 1);
    // Read back by another client, checked by another reader.
    const QByteArray archive = server->get(u"logs"_s, u"nightly/"_s + delivered.first());
    writeFile("read-back.zip", archive);
    const auto content = readArchive(path("read-back.zip"));
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 5u);
    EXPECT_EQ(archive, readFile("program/ZIPS/" + delivered.first()));

    archivesAhead(delivered.first(), archive);
    const QStringList before = server->list(u"logs"_s, u"nightly"_s);
    QDir(path("program/logs")).removeRecursively();
    const Outcome second = run({u"/Silent"_s});
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(said(second).contains(
        u"(error) a file already exists in the target folder for that file name."_s))
        << said(second).toStdString();
    EXPECT_EQ(server->list(u"logs"_s, u"nightly"_s), before);
    for (const QString &name : before) {
        QFile file(server->folder(u"logs/nightly/"_s) + name);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly) && file.readAll() == archive);
    }
}

// A server that goes away mid-copy, killed or stopped where it stands (silent, its connections
// kept), costs the run one error: silence is waited for the time limit once, and a stop signal
// ends the program at once whatever the server does. The next run removes what was left.
TEST_F(ShareDeliveryProcessTest, AServerGoneDuringTheCopyCostsTheRunOnceAndTheNextRunCleansUp)
{
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
        {"silent", u"5"_s, [&](QProcess &) { server->freeze(true); },
         u"server 127.0.0.1, share logs: the server did not answer for "_s},
        {"silent, then a stop signal", u"120"_s,
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
        QProcess program;
        QProcessEnvironment env = environment();
        if (!c.limit.isEmpty())
            env.insert(u"SORVIK_SMB_TIMEOUT"_s, c.limit);
        program.setProcessEnvironment(env);
        ownedByTest(program);
        program.start(this->program(), {u"/Silent"_s});
        // The moment the copy appears on the share.
        QElapsedTimer waited;
        waited.start();
        while (nightly.entryList({u".LOG_Archive_*.partial-*"_s}, QDir::Files | QDir::Hidden)
                   .isEmpty() &&
               program.state() != QProcess::NotRunning && waited.elapsed() < 120000)
            QThread::usleep(500);
        c.during(program);
        // Long before the limit of 120 s would have let it go.
        const bool ended = program.waitForFinished(60000);
        server->freeze(false);
        EXPECT_TRUE(ended) << "the program waited on the silent server";
        ASSERT_TRUE(ended || program.waitForFinished(300000));
        const QString said = runLogText() + QString::fromLocal8Bit(program.readAllStandardError());
        EXPECT_EQ(program.exitCode(), 1) << said.toStdString();
        EXPECT_EQ(runLogText().count(u": (error)"_s), 1) << said.toStdString();
        EXPECT_TRUE(said.contains(c.said)) << said.toStdString();
        EXPECT_EQ(nightly.entryList(QDir::Files | QDir::Hidden).size(), 1) << "the piece left";
    }

    QDir(path("program/logs")).removeRecursively();
    const Outcome next = run({u"/Silent"_s});
    EXPECT_EQ(next.status, 0) << said(next).toStdString();
    const QStringList left = server->list(u"logs"_s, u"nightly"_s);
    ASSERT_EQ(left.size(), 1) << left.join(' ').toStdString();
    EXPECT_FALSE(left.first().startsWith(u"."_s));
}

TEST_F(ShareDeliveryProcessTest, AWrongPasswordIsToldWithoutThePassword)
{
    server->writeCredentials(path("config"), "Wr0ng-Secret");
    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 1);
    const QString text = said(outcome);
    EXPECT_EQ(runLogText().count(u": (error)"_s), 1) << text.toStdString();
    EXPECT_TRUE(text.contains(u"(error) no archive folder location does not exist:"_s +
                              server->url(u"logs"_s, u"nightly/"_s) +
                              u" - exiting application. (server 127.0.0.1, share logs: the logon "
                              u"was refused"_s))
        << text.toStdString();
    EXPECT_FALSE(text.contains(u"Wr0ng"_s));
    EXPECT_FALSE(outcome.output.contains("Wr0ng"));
    EXPECT_TRUE(server->list(u"logs"_s, u"nightly"_s).isEmpty());
}

} // namespace
