#include "ui/ArchiveFolderSelection.h"
#include "app/ArchiveFolderSetting.h"

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
    for (const QString &typed : {u"\\\\"_s, u"\\\\server\\share"_s, path("missing")}) {
        dialogs.texts.clear();
        dialogs.inputs = {typed};
        cmdEnterUNC_Click(*program, host);
        EXPECT_EQ(dialogs.texts.back(), cannotConnect) << typed.toStdString();
    }
    dialogs.texts.clear();
    cmdEnterUNC_Click(*program, host); // cancelled
    EXPECT_EQ(dialogs.texts.size(), 1u);
    EXPECT_EQ(host.folder, u"/previous/"_s);
}

} // namespace
