// A run killed, as the administrator meets it: --check and the next run.
#include "e2e/RunTable.h"

#include <algorithm>
#include <csignal>

namespace {

using KilledRunTest = RunTable;

// Killed (kill -9, the kernel short of memory), a run cannot say so itself: the next run says it
// where it is heard, and --check until then.
TEST_F(KilledRunTest, ItIsToldByTheNextRunAndCheck)
{
    RunTable::setUpWell({u"--data"_s, u"4500"_s, u"--diag"_s, u"3"_s, u"--data-size"_s, u"2000"_s});
    const Outcome killed = runThrough({}, {u"/Silent"_s}, [&](QProcess &process) {
        waitForLine(process, u"Adding file into zip"_s);
        ::kill(pid_t(process.processId()), SIGSTOP);
        EXPECT_TRUE(run({u"--check"_s}).output.contains("; a run is at work since 20"));
        process.kill();
    });
    ASSERT_EQ(killed.status, -1);
    const QString log =
        path(u"program/logs/"_s + QDir(path("program/logs")).entryList(QDir::Files)[0]);
    const QString told = u"a run started 20.* did not record how it ended and its process is "
                         "gone \\(killed, stopped with the computer, or unable to write the state "
                         "folder at its end\\); its run log: "_s +
                         QRegularExpression::escape(log);
    const QString check = QString::fromUtf8(run({u"--check"_s}).output);
    EXPECT_TRUE(QRegularExpression(u"\nWARN last run: "_s + told +
                                   u" \\(\\d+ min ago\\); "
                                   "the last run recorded: "_s)
                    .match(check)
                    .hasMatch())
        << check.toStdString();

    syslog->take();
    const Outcome next = run({u"/Silent"_s});
    EXPECT_EQ(next.status, 0);
    EXPECT_TRUE(QRegularExpression(u"^Sorvik: "_s + told + u"\n$"_s)
                    .match(QString::fromUtf8(next.errors))
                    .hasMatch())
        << next.errors.toStdString();
    const auto heard = syslog->take();
    EXPECT_TRUE(std::any_of(heard.begin(), heard.end(), [&](const auto &entry) {
        return entry.priority == 11 &&
               QRegularExpression(u"^"_s + told).match(entry.text).hasMatch();
    }));
    const QStringList logs = QDir(path("program/logs")).entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(runLogLines(readFile(u"program/logs/"_s + logs.last()))
                  .filter(QRegularExpression(u": \\(warning\\) "_s + told + u"$"_s))
                  .size(),
              1);
    // Said once: the next run's end is recorded, and nothing is left of the killed one.
    EXPECT_TRUE(run({u"--check"_s}).output.contains("\nOK   last run: ended "));
    EXPECT_EQ(QDir(path("state/sorvik")).entryList(QDir::Files | QDir::Hidden),
              QStringList{u"last-run.json"_s});
}

} // namespace
