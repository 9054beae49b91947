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

// Refused before anything is emptied: an archive folder that cannot take the archive, or one of
// the program's own folders, which every run empties, however it is named; so too a logging
// folder among them, whose files stay where they are. In the window the program goes on, with a
// box and a run log of the header alone; unattended, the run fails with the refusal's line.
TEST_F(ArchiveRunTest, RefusalsComeBeforeAnythingIsEmptied)
{
    const QString ownLogging =
        u"log file path found in registry is one of this program's own working folders"_s;
    const struct {
        QString folder;
        const char *logging; // the served product's logging folder
        QString told;
        bool silent = false;
    } cases[] = {
        {QString(), "orvel-logs", emptyFolderMessage},
        {path("missing/"), "orvel-logs", missingFolderMessage},
        // With what the file system said: not every refusal is a matter of access.
        {u"/proc/"_s, "orvel-logs",
         unwritableText + u"/proc/\n\nCannot create file '/proc/temp.test.%1.txt': No such file "
                          "or directory"_s.arg(QCoreApplication::applicationPid())},
        {path("program/TempDiags/"), "orvel-logs", workingFolderRefusal()},
        {path("program/logs/old/../"), "orvel-logs", workingFolderRefusal()},
        {path("program/ZIPS/inner/"), "orvel-logs", workingFolderRefusal()},
        {path("archive/linked/"), "orvel-logs", workingFolderRefusal()},
        {path("archive/"), "program/ZIPS", ownLogging},
        {path("archive/"), "program/TempDiags/", ownLogging, true},
        {path("archive/"), "program/logs/inner", ownLogging, true},
    };
    QDir().mkpath(path("program/logs/old"));
    QDir().mkpath(path("program/TempDiags"));
    QDir().mkpath(path("program/ZIPS/inner"));
    QFile::link(path("program/logs"), path("archive/linked"));
    const QByteArray registry = readFile("registry.reg");
    int second = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.folder.toStdString() + ", logs in " + c.logging);
        const QString served = QLatin1String(c.logging) + u"/data_1.log"_s;
        const QString logging = path(QLatin1String(c.logging));
        writeFile(served, "served");
        writeRegistry(QByteArray(registry).replace(QFile::encodeName(path("orvel-logs")),
                                                   QFile::encodeName(logging)));
        clockTime = clockTime.addSecs(++second);
        host.folder = c.folder;
        dialogs.texts.clear();
        program->SilentMode = c.silent;
        EXPECT_EQ(start(), c.silent ? std::optional<int>(ExitStatus::RunFailed) : std::nullopt);
        EXPECT_EQ(readFile(served), QByteArray("served"));
        EXPECT_FALSE(host.running);
        EXPECT_EQ(program->runLog().state(), RunLog::StreamState::Closed);
        EXPECT_EQ(dialogs.texts.size(), c.silent ? 0u : 1u);
        EXPECT_EQ(lastRunLog().size(), c.silent ? 8 : 7) << "the header and the refusal's line";
        const QString told = c.silent ? lastRunLog().value(7) : dialogs.texts.at(0);
        EXPECT_TRUE(c.told == ownLogging ? told.contains(ownLogging) && told.contains(logging)
                                         : told == c.told)
            << told.toStdString();
    }
    EXPECT_EQ(runLogs().size(), std::size(cases)) << "every press leaves its own run log";
    EXPECT_FALSE(QFile::exists(u"/proc/temp.test.txt"_s));
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
        EXPECT_TRUE(lastRunLog().last().endsWith(u"    File copied"_s));
    }
}

} // namespace
