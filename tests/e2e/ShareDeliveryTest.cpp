// The built program delivering to a real share, unattended as a scheduled task runs it.
#include "support/ArchiveReader.h"
#include "support/Noise.h"
#include "support/ProcessFixture.h"
#include "support/SambaServer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>

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

TEST_F(ShareDeliveryProcessTest, AServerKilledDuringTheCopyCostsTheRunAndTheNextRunCleansUp)
{
    writeFile("orvel/logs/data_big.log", noise(20 << 20, 11));

    QProcess program;
    program.setProcessEnvironment(environment());
    ownedByTest(program);
    program.start(this->program(), {u"/Silent"_s});
    // Killed with every connection the moment the copy appears on the share.
    const QDir nightly(server->folder(u"logs/nightly"_s));
    QElapsedTimer waited;
    waited.start();
    while (
        nightly.entryList({u".LOG_Archive_*.partial-*"_s}, QDir::Files | QDir::Hidden).isEmpty() &&
        program.state() != QProcess::NotRunning && waited.elapsed() < 120000)
        QThread::usleep(500);
    server->kill();
    ASSERT_TRUE(program.waitForFinished(120000));
    const QString first = runLogText() + QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_EQ(program.exitCode(), 1) << first.toStdString();
    EXPECT_EQ(runLogText().count(u": (error)"_s), 1) << first.toStdString();
    EXPECT_TRUE(first.contains(u"server 127.0.0.1, share logs: the connection to the server was "
                               u"lost"_s))
        << first.toStdString();
    EXPECT_EQ(nightly.entryList(QDir::Files | QDir::Hidden).size(), 1)
        << "the piece the dead server kept";

    ASSERT_TRUE(server->start());
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
