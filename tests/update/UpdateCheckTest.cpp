#include "update/UpdateCheck.h"
#include "update/Download.h"
#include "update/ToolsSite.h"

#include "common/Failure.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QProcess>

#include <array>

namespace {

const QString upToDate = u"You have the most up to date version of this tool installed"_s;

// The tools site, served for real on 127.0.0.1.
class UpdateCheckTest : public TempEnvironment {
protected:
    void TearDown() override
    {
        if (server.state() != QProcess::NotRunning) {
            server.closeWriteChannel();
            server.kill();
            server.waitForFinished(10000);
        }
        qunsetenv("SORVIK_TOOLS_SITE");
        TempEnvironment::TearDown();
    }

    void serve(const QStringList &arguments)
    {
        ownedByTest(server);
        server.start(u"python3"_s, QStringList{QStringLiteral(SORVIK_SOURCE_DIR
                                                              "/tests/support/http_server.py")} +
                                       arguments);
        ASSERT_TRUE(server.waitForReadyRead(30000)) << server.readAllStandardError().toStdString();
        port = server.readLine().trimmed();
        qputenv("SORVIK_TOOLS_SITE", "http://127.0.0.1:" + port);
    }

    // A download list that publishes `version` for this tool, behind other tools' rows.
    void publish(const QByteArray &document)
    {
        writeFile("AllDownloads.XML", document);
        serve({u"file"_s, path("AllDownloads.XML")});
    }
    static QByteArray
    listWith(const QByteArray &version,
             const QByteArray &marker = "^/Applications/Orvel/Sorvik/OrvelSorvik.html^ifram_a",
             const QByteArray &cell = "<cell>")
    {
        return "<?xml version=\"1.0\"?>\n<rows>\n"
               "<row><cell>^/Applications/Orvel/Other/Other.html^ifram_a</cell><cell>9.9.9</cell></"
               "row>\n"
               "<row><cell>" +
               marker + "</cell>" + cell + version + "</cell></row>\n</rows>\n";
    }

    // Starts the check from the menu, and waits for it to end once `meanwhile` has run.
    void check(std::deque<DialogAnswer> answers = {}, const std::function<void()> &meanwhile = {})
    {
        const HangGuard guard;
        program = makeProgram();
        dialogs.answers = std::move(answers);
        bool done = false;
        mnuCheckForUpdatedVersion_Click(*program, host, [&] { done = true; });
        EXPECT_TRUE(dialogs.cancelBusy) << "a notice with Cancel shows while the site is asked";
        if (meanwhile)
            meanwhile();
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        EXPECT_FALSE(dialogs.cancelBusy) << "the notice goes with the check";
        EXPECT_FALSE(host.waiting);
    }

    QString updated() const
    {
        return u"An updated version of this tool is available on 127.0.0.1:"_s +
               QString::fromLatin1(port) + u".  Click OK to open the application home page now"_s;
    }
    QString unreachable() const
    {
        return QStringLiteral(
                   "Unable to contact application home page to check for version.  You can access "
                   "the home page and check for updated versions of all Tavik Orvel tools by going "
                   "to "
                   "127.0.0.1:") +
               QString::fromLatin1(port);
    }

    QProcess server;
    QByteArray port;
    std::unique_ptr<Program> program;
};

// Only a newer version of this tool's row, marker and cell in any letter case, is offered; a list
// that cannot be read counts as a site that cannot be reached.
TEST_F(UpdateCheckTest, ThePublishedListDecidesTheOneBox)
{
    const struct {
        QByteArray document;
        int box;                                // 0: up to date, 1: offered, 2: unreachable
        DialogAnswer answer = DialogAnswer::OK; // Cancel opens nothing
    } cases[] = {
        {listWith("1.0.1"), 0},
        {listWith("1.0.1b"), 0},
        {listWith("1.0.0"), 0},
        {listWith("2.0.0", "^/APPLICATIONS/orvel/SORVIK/orvelsorvik.HTML^IFRAM_A", "<CELL>"), 1},
        {listWith("1.0.10"), 1, DialogAnswer::Cancel},
        {listWith("2.1"), 2},
        {QByteArray("123456789"), 2},
        {listWith("1.0.2", "^/Applications/Orvel/Else/Else.html^ifram_a"), 2},
    };
    for (const auto &c : cases) {
        server.kill();
        server.waitForFinished();
        publish(c.document);
        EXPECT_EQ(HomePageUrl(), u"http://127.0.0.1:"_s + QString::fromLatin1(port) +
                                     u"/Applications/Orvel/Sorvik/OrvelSorvik.html"_s);
        // The texts name the port the server has just taken.
        const QString told = std::array{upToDate, updated(), unreachable()}[c.box];
        dialogs.texts.clear();
        launcher.opened.clear();
        check({c.answer});
        EXPECT_EQ(dialogs.texts, std::vector<QString>{told}) << c.document.constData();
        const bool opened = c.box == 1 && c.answer == DialogAnswer::OK;
        EXPECT_EQ(launcher.opened,
                  opened ? std::vector<QString>{HomePageUrl()} : std::vector<QString>{})
            << c.document.constData();
    }
}

TEST_F(UpdateCheckTest, ASiteThatNeverAnswersIsGivenUpOnOrCancelled)
{
    serve({u"hang"_s});
    EXPECT_EQ(DownloadUrlText(DownloadListUrl(), 1000), QString());
    // Cancel, once the request is on its way, ends the check at once and without a word.
    check({}, [&] {
        for (int turn = 0; turn < 20; ++turn)
            QCoreApplication::processEvents();
        ASSERT_TRUE(dialogs.cancelBusy);
        dialogs.cancelBusy();
    });
    EXPECT_TRUE(dialogs.texts.empty());
}

TEST_F(UpdateCheckTest, AnEndlessAnswerIsCutAtTheCap)
{
    serve({u"huge"_s, u"100"_s});
    const QString body = DownloadUrlText(DownloadListUrl());
    EXPECT_EQ(body.size(), 16 * 1024 * 1024);
    EXPECT_TRUE(body.startsWith(u"<row>padding</row>"_s));
}

// At the cap and one either side: a body up to the cap comes whole, one byte more is cut there.
TEST_F(UpdateCheckTest, TheCapHoldsAtItsBoundary)
{
    constexpr qsizetype cap = 16 * 1024 * 1024;
    writeFile("body", QByteArray());
    serve({u"file"_s, path("body")});
    for (const qsizetype size : {cap - 1, cap, cap + 1}) {
        QByteArray body(size, 'a');
        body[size - 1] = 'z';
        writeFile("body", body);
        const QString got = DownloadUrlText(DownloadListUrl());
        EXPECT_EQ(got.size(), std::min(size, cap)) << size;
        EXPECT_EQ(got.endsWith(u'z'), size <= cap) << size;
    }
}

TEST(PadVersionString, PadsEveryComponentToFourDigits)
{
    EXPECT_EQ(padVersion(u"1..20"_s), padVersion(u"1.0.20"_s));
    EXPECT_EQ(padVersion(u"2.1"_s), QString());
    EXPECT_THROW(padVersion(u"1234"_s), Failure);

    // Padded texts compare in the order of the versions.
    const char *ascending[] = {"1.0.1", "1.0.2", "1.0.10", "1.2.0", "1.10.0", "9.9.9", "10.0.0"};
    for (size_t i = 0; i + 1 < std::size(ascending); ++i)
        EXPECT_LT(padVersion(QLatin1String(ascending[i])),
                  padVersion(QLatin1String(ascending[i + 1])))
            << ascending[i] << " < " << ascending[i + 1];
    EXPECT_EQ(padVersion(u"1.00.1"_s), padVersion(u"1.0.1"_s));
}

TEST(PadVersionString, AFailureIsToldInABox)
{
    ScriptedDialogs dialogs;
    EXPECT_EQ(PadVersionString(dialogs, u"1234"_s), QString());
    EXPECT_EQ(dialogs.texts,
              std::vector<QString>{QStringLiteral("(error):9 (Subscript out of range) in procedure "
                                                  "PadVersionString of Module modUpdateCheck")});
}

} // namespace
