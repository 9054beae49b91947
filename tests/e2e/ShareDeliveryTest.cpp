// The built program delivering to a real share, unattended as a scheduled task runs it.
#include "e2e/RunTable.h"
#include "support/Noise.h"
#include "support/SambaServer.h"

#include <QThread>

namespace {

// The run table's rows on a share: what it delivers is read back through another client.
class ShareRunTable : public WithShares<RunTable> {
protected:
    void SetUp() override
    {
        WithShares<RunTable>::SetUp();
        ASSERT_TRUE(QFile::copy(builtFile(u"sorvik-share-reader"_s),
                                path(u"program/sorvik-share-reader"_s)));
    }
    void setUpWell(const QStringList &simulation) override
    {
        RunTable::setUpWell(simulation);
        server->writeCredentials(
            path("config"), QByteArray(SambaServer::password.data(), SambaServer::password.size()));
    }
    QString archiveFolder() const override { return server->url(u"logs"_s, u"nightly/"_s); }
    QByteArray archiveBytes(const QString &name) const override
    {
        return server->get(u"logs"_s, u"nightly/"_s + name);
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

// A server gone during the copy, killed or stopped where it stands (silent, its connections kept),
// costs the run one error: silence is waited for the time limit once, and a stop signal ends the
// program at once whatever the server does. (The copy left on the server the next run removes:
// the killed run's copy above.)
TEST_F(ShareRunTable, AServerGoneDuringTheCopyCostsTheRunOneError)
{
    const QDir nightly(server->folder(u"logs/nightly"_s));
    const auto gone = [&](const char *name, const char *limit,
                          const std::function<void(QProcess &)> &strike, const QString &said) {
        return Row{
            .name = name,
            .simulation = {u"--data"_s, u"3"_s, u"--diag"_s, u"2"_s},
            .setUp = [&] { writeFile("orvel/logs/data_big.log", noise(64 << 20, 11)); },
            .prefix = u"SORVIK_SMB_TIMEOUT="_s + QLatin1String(limit),
            .status = 1,
            .logged = {runHeader, QRegularExpression::escape(said)},
            .holdAt = u"Moving ZIP file archive"_s,
            // The moment the copy appears on the share.
            .act =
                [&, strike](QProcess &program) {
                    while (
                        nightly
                            .entryList({u".LOG_Archive_*.partial-*"_s}, QDir::Files | QDir::Hidden)
                            .isEmpty() &&
                        program.state() != QProcess::NotRunning)
                        QThread::usleep(500);
                    strike(program);
                },
            .ended =
                [&] {
                    server->freeze(false);
                    ASSERT_TRUE(server->running() || server->start());
                    const QStringList left = nightly.entryList(QDir::Files | QDir::Hidden);
                    ASSERT_EQ(left.size(), 1) << "the copy left";
                    QFile::remove(nightly.filePath(left.first()));
                },
            .after = [&](const QString &) { EXPECT_EQ(runLogText().count(u": (error)"_s), 1); }};
    };
    check(gone(
        "killed", "30", [&](QProcess &) { server->kill(); },
        u"server 127.0.0.1, share logs: the connection to the server was lost"_s));
    check(gone(
        "silent", "5", [&](QProcess &) { server->freeze(true); },
        u"server 127.0.0.1, share logs: the server did not answer for "_s));
    check(gone(
        "silent, then a stop signal", "3600",
        [&](QProcess &program) {
            server->freeze(true);
            program.terminate();
        },
        u"(error) the archive run was cancelled before it completed"_s));
}

} // namespace
