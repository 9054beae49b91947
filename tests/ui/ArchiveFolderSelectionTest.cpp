#include "ui/ArchiveFolderSelection.h"
#include "app/ArchiveFolderSetting.h"

#include "support/SambaServer.h"
#include "support/TestEnvironment.h"

#include <QDir>

namespace {

const QString notWritable = QStringLiteral(
    "That's a valid path however the account you are logged in as currently does not have write "
    "access to that location so you cannot use it as a target for log file archives.");
const QString uncNotWritable = QStringLiteral(
    "That's a valid UNC path however the account you are logged in as currently does not have "
    "write "
    "access to that location so you cannot use it as a target for log file archives.");
const QString cannotConnect = QStringLiteral(
    "Cannot connect to this location - make sure you entered the full UNC path correctly and the "
    "account you're logged in as has rights to it.");

class ArchiveFolderSelectionTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        // A typed share is looked for: with a client configuration of the test's own, never the
        // machine's, and no broadcast for a name.
        writeFile("home/.smb/smb.conf", "[global]\n  name resolve order = host\n");
        program = makeProgram();
        QDir().mkpath(path("archive"));
        host.folder = u"/previous/"_s;
    }

    QString stored()
    {
        TestHost fresh;
        auto restarted = makeProgram(u"restarted"_s);
        LoadArchiveFolderSetting(*restarted, fresh);
        return fresh.folder;
    }

    std::unique_ptr<Program> program;
};

TEST_F(ArchiveFolderSelectionTest, BrowseTakesAWritableFolderWithOneSeparator)
{
    for (const QString &chosen : {path("archive"), path("archive/")}) {
        dialogs.inputs = {chosen};
        cmdBrowseForFolder_Click(*program, host);
        EXPECT_EQ(host.folder, path("archive/"));
        EXPECT_EQ(stored(), path("archive/"));
    }
    EXPECT_EQ(dialogs.texts, (std::vector<QString>(2, u"Select backup folder location"_s)));
    EXPECT_FALSE(QFile::exists(path("archive/temp.test.txt")));
}

TEST_F(ArchiveFolderSelectionTest, BrowseCancelledChangesNothing)
{
    cmdBrowseForFolder_Click(*program, host);
    EXPECT_EQ(host.folder, u"/previous/"_s);
    EXPECT_EQ(dialogs.texts.size(), 1u) << "only the browser itself";
    EXPECT_EQ(dialogs.startFolders, std::vector<QString>{u"/previous/"_s})
        << "the browser opens at the current folder";
    EXPECT_EQ(stored(), QString());
}

TEST_F(ArchiveFolderSelectionTest, UnwritableFoldersKeepThePreviousOne)
{
    dialogs.inputs = {u"/proc"_s};
    cmdBrowseForFolder_Click(*program, host);
    EXPECT_EQ(dialogs.texts.back(), notWritable);

    dialogs.inputs = {u"/proc"_s};
    cmdEnterUNC_Click(*program, host);
    EXPECT_EQ(dialogs.texts.back(), uncNotWritable);

    EXPECT_EQ(host.folder, u"/previous/"_s);
    EXPECT_EQ(stored(), QString());
}

TEST_F(ArchiveFolderSelectionTest, UncTakesAnyExistingWritablePath)
{
    dialogs.inputs = {path("archive")};
    cmdEnterUNC_Click(*program, host);
    EXPECT_EQ(host.folder, path("archive/"));
    EXPECT_EQ(stored(), path("archive/"));
    EXPECT_EQ(dialogs.texts, std::vector<QString>{u"UNC Path"_s});
    EXPECT_EQ(dialogs.presets, std::vector<QString>{u"\\\\"_s});
}

TEST_F(ArchiveFolderSelectionTest, UncPresetOrAMissingShareCannotConnect)
{
    // Nothing listens on 127.0.0.2.
    for (const QString &typed : {u"\\\\"_s, u"\\\\127.0.0.2\\share"_s, path("missing")}) {
        dialogs.texts.clear();
        dialogs.inputs = {typed};
        cmdEnterUNC_Click(*program, host);
        EXPECT_TRUE(dialogs.texts.back().startsWith(cannotConnect)) << typed.toStdString();
    }
    dialogs.texts.clear();
    cmdEnterUNC_Click(*program, host); // cancelled
    EXPECT_EQ(dialogs.texts.size(), 1u);
    EXPECT_EQ(host.folder, u"/previous/"_s);
}

class ShareSelectionTest : public ShareEnvironment {
protected:
    void SetUp() override
    {
        ShareEnvironment::SetUp();
        if (IsSkipped())
            return;
        program = makeProgram();
        host.folder = u"/previous/"_s;
    }

    QString stored()
    {
        TestHost fresh;
        LoadArchiveFolderSetting(*makeProgram(u"restarted"_s), fresh);
        return fresh.folder;
    }

    std::unique_ptr<Program> program;
};

TEST_F(ShareSelectionTest, UncTakesAReachableShareAsTyped)
{
    const QString url = server->url(u"logs"_s, u"nightly"_s);
    for (const auto &[typed, kept] :
         {std::pair{u"\\\\127.0.0.1\\logs\\nightly"_s, u"\\\\127.0.0.1\\logs\\nightly\\"_s},
          std::pair{u"//127.0.0.1/logs/nightly/"_s, u"//127.0.0.1/logs/nightly/"_s},
          std::pair{url, url + u"/"_s}}) {
        dialogs.texts.clear();
        dialogs.inputs = {typed};
        cmdEnterUNC_Click(*program, host);
        EXPECT_EQ(dialogs.texts, std::vector<QString>{u"UNC Path"_s}) << "no box but the input";
        EXPECT_EQ(host.folder, kept);
        EXPECT_EQ(stored(), kept);
        EXPECT_TRUE(server->list(u"logs"_s, u"nightly"_s).isEmpty()) << "the probe went again";
    }
}

TEST_F(ShareSelectionTest, EachFailureKeepsItsWordsAndSaysWhy)
{
    const struct {
        const char *what;
        QString typed;
        std::function<void()> before;
        QString words;
        QString reason;
    } cases[] = {
        {"wrong password", server->url(u"logs"_s),
         [&] { server->writeCredentials(path("config"), "Wr0ng-Secret"); }, cannotConnect,
         u"server 127.0.0.1, share logs: the logon was refused"_s},
        {"no such share",
         u"\\\\127.0.0.1\\archives\\"_s,
         {},
         cannotConnect,
         u"server 127.0.0.1, share archives: there is no such share"_s},
        {"no such folder",
         server->url(u"logs"_s, u"weekly"_s),
         {},
         cannotConnect,
         u"server 127.0.0.1, share logs: no such file or folder"_s},
        {"read-only share",
         server->url(u"readonly"_s),
         {},
         uncNotWritable,
         u"server 127.0.0.1, share readonly: access denied"_s},
        {"server stopped", server->url(u"logs"_s), [&] { server->kill(); }, cannotConnect,
         u"server 127.0.0.1, share logs: the server refused the connection"_s},
        {"credentials readable by others", server->url(u"logs"_s),
         [&] {
             QFile::setPermissions(path("config/Sorvik/smb-credentials"),
                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
         },
         cannotConnect, u"mode 0604"_s},
        {"the input box's preset", u"\\\\"_s, {}, cannotConnect, u"names no server"_s},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(server->prepareTest(path("home"), path("config")));
        program = makeProgram(); // the connections of the case before go with it
        if (c.before)
            c.before();
        dialogs.texts.clear();
        dialogs.inputs = {c.typed};
        cmdEnterUNC_Click(*program, host);
        ASSERT_EQ(dialogs.texts.size(), 2u);
        EXPECT_TRUE(dialogs.texts.back().startsWith(c.words + u"\n\n"_s))
            << dialogs.texts.back().toStdString();
        EXPECT_TRUE(dialogs.texts.back().contains(c.reason)) << dialogs.texts.back().toStdString();
        EXPECT_FALSE(dialogs.texts.back().contains(u"Wr0ng"_s));
        EXPECT_EQ(host.folder, u"/previous/"_s);
        EXPECT_EQ(stored(), QString());
    }
}

} // namespace
