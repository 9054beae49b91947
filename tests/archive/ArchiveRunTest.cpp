#include "archive/ArchiveRun.h"
#include "runlog/FolderUtilities.h"

#include "support/Ending.h"

#include <QDir>

namespace {

const QString emptyFolderMessage =
    u"You must first provide a location to store archived log file output."_s;
const QString missingFolderMessage =
    QStringLiteral("The archive folder location cannot be found - please select a directory that "
                   "can be accessed from this server.");
const QString unwritableText = QStringLiteral(
    "the archive folder location is visible however creation of new files failed - this usually "
    "means the account you are running the Orvel Sorvik with does not have read/write access to "
    "that location.  Folder=");

class ArchiveRunTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        writeServedProduct();
        program = makeProgram();
        QDir().mkpath(path("archive"));
    }

    std::optional<int> start() { return runToItsEnd(*program, host); }

    QStringList runLogs() const
    {
        return QDir(path("program/logs")).entryList(QDir::Files, QDir::Name);
    }

    QStringList lastRunLog() const
    {
        return runLogLines(readFile("program/logs/" + runLogs().last()));
    }

    std::unique_ptr<Program> program;
};

TEST_F(ArchiveRunTest, InteractiveRefusalsLeaveTheProgramRunning)
{
    const struct {
        QString folder;
        QString message;
    } cases[] = {
        {QString(), emptyFolderMessage},
        {path("missing/"), missingFolderMessage},
        {u"/proc/"_s, unwritableText + u"/proc/"_s},
        // The program's own folders are emptied by every run, however the folder is named.
        {path("program/TempDiags/"), workingFolderRefusal()},
        {path("program/logs/old/../"), workingFolderRefusal()},
        {path("program/ZIPS/inner/"), workingFolderRefusal()},
        {path("archive/linked/"), workingFolderRefusal()},
    };
    QDir().mkpath(path("program/logs/old"));
    QDir().mkpath(path("program/TempDiags"));
    QDir().mkpath(path("program/ZIPS/inner"));
    QFile::link(path("program/logs"), path("archive/linked"));
    int second = 0;
    for (const auto &c : cases) {
        clockTime = clockTime.addSecs(++second);
        host.folder = c.folder;
        dialogs.texts.clear();
        EXPECT_EQ(start(), std::nullopt) << c.folder.toStdString();
        EXPECT_EQ(dialogs.texts, std::vector<QString>{c.message});
        EXPECT_EQ(lastRunLog().size(), 7) << "the header alone";
        EXPECT_EQ(program->runLog().state(), RunLog::StreamState::Closed);
        EXPECT_FALSE(host.running);
    }
    EXPECT_EQ(runLogs().size(), std::size(cases)) << "every press leaves its own run log";
    EXPECT_FALSE(QFile::exists(u"/proc/temp.test.txt"_s));
}

// Nor may the served product's logging folder be one of them: the run is refused before anything
// is emptied, so the served product's files stay where they are.
TEST_F(ArchiveRunTest, ALoggingFolderAmongTheWorkingFoldersIsRefused)
{
    host.folder = path("archive/");
    const QByteArray registry = readFile("registry.reg");
    int second = 0;
    for (const char *folder : {"program/ZIPS", "program/TempDiags/", "program/logs/inner"}) {
        for (const bool silent : {false, true}) {
            writeFile(QString::fromLatin1(folder) + u"/data_1.log"_s, "served");
            writeRegistry(QByteArray(registry).replace(QFile::encodeName(path("orvel-logs")),
                                                       QFile::encodeName(path(folder))));
            clockTime = clockTime.addSecs(++second);
            dialogs.texts.clear();
            program->SilentMode = silent;
            EXPECT_EQ(start(), silent ? std::optional<int>(ExitStatus::RunFailed) : std::nullopt)
                << folder;
            EXPECT_EQ(readFile(QString::fromLatin1(folder) + u"/data_1.log"_s),
                      QByteArray("served"))
                << folder;
            EXPECT_FALSE(host.running);
            EXPECT_EQ(dialogs.texts.size(), silent ? 0u : 1u) << folder;
            const QString told = silent ? lastRunLog().last() : dialogs.texts.at(0);
            EXPECT_TRUE(told.contains(u"log file path found in registry is one of this program's "
                                      "own working folders"_s) &&
                        told.contains(path(folder)))
                << told.toStdString();
        }
    }
}

// A completed run offers its log: on Yes the editor opens it, or without an editor the program's
// own viewer shows it (it was shown, so nothing failed); No opens nothing; unattended, nothing
// is asked.
TEST_F(ArchiveRunTest, ACompletedRunOffersItsLog)
{
    const struct {
        bool silent;
        DialogAnswer answer;
        int launch;
        bool opened, shown;
    } cases[] = {
        {false, DialogAnswer::Yes, LaunchResult::Success, true, false},
        {false, DialogAnswer::No, LaunchResult::Success, false, false},
        {false, DialogAnswer::Yes, LaunchResult::NoAssociation, true, true},
        {true, DialogAnswer::Yes, LaunchResult::Success, false, false},
    };
    host.folder = path("archive/");
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.silent << int(c.answer) << c.launch);
        clockTime = clockTime.addSecs(1);
        program = makeProgram();
        program->SilentMode = c.silent;
        dialogs.answers = {c.answer};
        dialogs.texts.clear();
        launcher.answer = c.launch;
        launcher.opened.clear();
        host.shownLogs.clear();
        EXPECT_EQ(start(), ExitStatus::Success);
        const std::vector<QString> log{program->LastRun.runLog};
        EXPECT_EQ(dialogs.texts, c.silent
                                     ? std::vector<QString>{}
                                     : std::vector<QString>{u"Archive complete. 0 errors "
                                                            "encountered.  View log file now?"_s});
        EXPECT_EQ(launcher.opened, c.opened ? log : std::vector<QString>{});
        EXPECT_EQ(host.shownLogs, c.shown ? log : std::vector<QString>{});
        EXPECT_FALSE(host.running);
        EXPECT_EQ(program->runLog().state(), RunLog::StreamState::Closed);
        EXPECT_TRUE(lastRunLog().mid(7).filter(u"(error)"_s).isEmpty()) << "after the header";
        EXPECT_TRUE(lastRunLog().last().endsWith(u"    File copied"_s));
    }
}

} // namespace
