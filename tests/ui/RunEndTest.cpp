// Every way an administrator ends an interactive run, through the real window, again and again:
// each end leaves the status the docs give, last-run.json and sorvik.prom saying it, nothing of
// the run's own in ZIPS/, TempDiags/ or the archive folder beyond the delivered archive, and no
// word of the toolkit about threads (TestMain fails on it). What needs a real desktop (a window
// manager, a stop signal to the process) ends the real program under a private X server.
#include "ui/LogViewer.h"
#include "ui/frmOptions.h"

#include "LiveWindow.h"
#include "support/XServer.h"

#include <QDialogButtonBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <csignal>
#include <thread>

namespace {

const QString cancelled =
    u"(error) the archive run was cancelled before it completed - no archive was delivered."_s;

// SORVIK_ENDINGS times each (10 by default).
int timesEach()
{
    const int times = qEnvironmentVariableIntValue("SORVIK_ENDINGS");
    return times > 0 ? times : 10;
}

// What an end leaves under `base` (program/, archive/, state/, metrics/).
struct Left {
    int status;
    bool delivered;
    // The run log's last line ("%1": the delivered archive); empty: the header alone.
    QString lastLine;
    int errors = 0;
    // What else the archive folder holds.
    QStringList alsoArchived = {};
};

void expectLeft(const QString &base, const Left &left, std::optional<int> status)
{
    EXPECT_EQ(status, left.status);
    QStringList archived = filesIn(base + u"/archive"_s);
    for (const QString &kept : left.alsoArchived)
        EXPECT_TRUE(archived.removeOne(kept)) << kept.toStdString();
    ASSERT_EQ(archived.size(), left.delivered ? 1 : 0) << archived.join(u' ').toStdString();
    const QString delivered = left.delivered ? base + u"/archive/"_s + archived.first() : QString();
    for (const QString &zip : filesIn(base + u"/program/ZIPS"_s))
        EXPECT_TRUE(archived.contains(zip)) << "in ZIPS/: " << zip.toStdString();
    EXPECT_EQ(filesIn(base + u"/program/TempDiags"_s), QStringList());
    const QJsonObject outcome =
        QJsonDocument::fromJson(contentOf(base + u"/state/sorvik/last-run.json"_s)).object();
    EXPECT_EQ(outcome.value(u"exit_status").toInt(-1), left.status);
    EXPECT_EQ(outcome.value(u"archive").toString(), delivered);
    EXPECT_TRUE(
        contentOf(base + u"/metrics/sorvik.prom"_s)
            .contains("\nsorvik_last_run_exit_status " + QByteArray::number(left.status) + "\n"));
    EXPECT_TRUE(contentOf(base + u"/config/Sorvik/Sorvik.ini"_s)
                    .contains("ArchiveFolderPath=" + QFile::encodeName(base) + '/'))
        << "the archive folder setting is kept";
    const QStringList events = runLogEvents(newestRunLog(base));
    EXPECT_EQ(events.value(events.size() - 1),
              left.lastLine.contains(u"%1"_s) ? left.lastLine.arg(delivered) : left.lastLine);
    EXPECT_EQ(events.filter(u"(error)"_s).size(), left.errors) << "the end caused no other";
}

// For the next end: no archive, no outcome, no run log.
void clearOutcome(const QString &base)
{
    QDir(base + u"/program/logs"_s).removeRecursively();
    for (const QString &name : filesIn(base + u"/archive"_s))
        QFile::remove(base + u"/archive/"_s + name);
    QFile::remove(base + u"/state/sorvik/last-run.json"_s);
    QFile::remove(base + u"/metrics/sorvik.prom"_s);
}

const Left completed{0, true, u"    File copied"_s};
// Stopped while it copies: what the stop cut is not told as a failure of its own.
const Left cut{1, false, cancelled, 1};
// Refused: the run log holds its header alone.
const Left refused{1, false, QString()};

class RunEndTest : public LiveWindow {
protected:
    void SetUp() override
    {
        LiveWindow::SetUp();
        qputenv("SORVIK_METRICS_DIR", QFile::encodeName(path("metrics")));
        QDir().mkpath(path("metrics"));
    }

    // The question at the end of a run, Yes its default, answered.
    static auto question(QMessageBox::StandardButton answer)
    {
        return press(answer, u"Archive complete. 0 "_s, QMessageBox::Yes);
    }

    // A run started in a window rigged so, once the rig has set `held`: the run is where the
    // test wants it. Start is disabled meanwhile.
    void startHeld(const std::function<void(FaultyFileSystem &)> &rig)
    {
        held = false;
        open(rig);
        window->cmdStart_Click();
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return held.load() && !window->cmdStart->isEnabled(); }, 30000));
        EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(atWork); }));
    }
    const QString atWork = path("state/sorvik/current-run.json");

    // Holds the run at the gate, closed now, at `op` on a file whose path holds `part`; the
    // operation then fails when `fails`.
    std::function<void(FaultyFileSystem &)> at(const QString &op, const QString &part,
                                               bool fails = false)
    {
        gate.close();
        return [=, this](FaultyFileSystem &fs) {
            fs.before = [=, this](const QString &step, const QString &file) {
                if (step == op && file.contains(part)) {
                    held = true;
                    gate.take(0);
                    if (fails)
                        throw FileSystemError(EIO, step, file);
                }
            };
        };
    }

    // `end` asked while the run copies its archive to the archive folder, a copy that goes on
    // until the run is asked to stop. A piece of the archive, as a write cut part-way leaves it,
    // goes with the run; a file not the run's stays.
    std::optional<int> cutShort(const std::function<void()> &end)
    {
        startHeld([this](FaultyFileSystem &fs) {
            fs.whileCopying = [this](const CopyWatch &watch) {
                held = true;
                while (!watch.stop())
                    QThread::msleep(2);
            };
        });
        const QString archive = filesIn(path("program/ZIPS")).value(0);
        writeFile(u"program/ZIPS/"_s + archive + u".part3"_s, "piece");
        writeFile("program/kept.txt", "not the run's");
        const std::optional<int> status = endStatusOf(end);
        EXPECT_EQ(readFile("program/kept.txt"), QByteArray("not the run's"));
        return status;
    }

    std::atomic<bool> held = false;
};

TEST_F(RunEndTest, EveryEndOfARunInTheWindowLeavesWhatItSays)
{
    const QString old = u"LOG_Archive_SRV01_200101_00_00_0%1.ZIP"_s;
    const QByteArray settings = "[frmMain]\nArchiveFolderPath=" + path("archive/").toUtf8() + "\n";
    gate.open();
    const struct {
        const char *way;
        Left left;
        std::function<std::optional<int>()> end;
        int times = timesEach();
    } ways[] = {
        {"answered Yes, shown in the viewer", completed,
         [&] {
             launcher.answer = LaunchResult::NoAssociation;
             const auto yes = question(QMessageBox::Yes);
             const ModalWatch<LogViewer> viewer([&](LogViewer *v) {
                 EXPECT_TRUE(QTest::qWaitFor([&] { return !v->reading(); }));
                 EXPECT_TRUE(v->txtLog->toPlainText().contains(u"    File copied"_s))
                     << "the whole log in the viewer";
                 v->cmdClose->click();
             });
             open();
             const auto status = endStatusOf([&] {
                 window->cmdStart_Click();
                 window->waitForRun();
             });
             EXPECT_TRUE(viewer.seen());
             return status;
         }},
        // Ended while Options is open: the question waits until it is closed, and its edits stay.
        {"answered No, once Options is closed", completed,
         [&] {
             startHeld(at(u"OpenTextFile"_s, path("orvel/logs/")));
             const auto no = question(QMessageBox::No);
             const ModalWatch<frmOptions> options([&](frmOptions *shown) {
                 gate.open();
                 EXPECT_TRUE(QTest::qWaitFor([&] { return window->cmdStart->isEnabled(); }));
                 QTest::qWait(200);
                 EXPECT_FALSE(QFile::exists(atWork)) << "the window is open, its run has ended";
                 EXPECT_FALSE(no->seen()) << "asked over Options";
                 shown->spnKeepDays->setValue(5);
                 shown->buttons->button(QDialogButtonBox::Ok)->click();
             });
             window->findChild<QAction *>(u"mnuOptions"_s)->trigger();
             const auto status = endStatusOf([&] {
                 EXPECT_TRUE(QTest::qWaitFor([&] { return no->seen(); }));
                 window->waitForRun();
             });
             EXPECT_TRUE(readFile("config/Sorvik/Sorvik.ini").contains("KeepDays=5"));
             return status;
         },
         2},
        {"Exit, then Yes (No the default)", cut,
         [&] {
             const auto yes = press(QMessageBox::Yes, QString(), QMessageBox::No);
             return cutShort([&] { window->cmdExit_Click(); });
         }},
        {"closing the window", cut,
         [&] {
             return cutShort([&] {
                 QCloseEvent close;
                 window->closeEvent(&close);
             });
         }},
        {"a refusal answered OK, then Exit", refused,
         [&] {
             writeFile("config/Sorvik/Sorvik.ini",
                       "[frmMain]\nArchiveFolderPath=" + path("missing/").toUtf8() + "\n");
             open();
             const auto ok = press(QMessageBox::Ok, u"The archive folder location cannot"_s);
             window->cmdStart_Click();
             EXPECT_TRUE(QTest::qWaitFor([&] { return ok->seen(); }));
             return endStatusOf([&] { window->cmdExit_Click(); });
         }},
        // The archive is there: a stop cuts only the removal of old ones, which is said. The
        // removal does not come back until the end (a share that stopped answering).
        {"File > Exit while old archives are removed",
         {0, true,
          u"(warning) the archive run was stopped after it delivered %1 - removing old archives, "
          "if any were due, was cut short."_s,
          0, QStringList{old.arg(1), old.arg(2), old.arg(3)}},
         [&] {
             writeFile("config/Sorvik/Sorvik.ini", settings + "[Archive]\nKeepCount=1\n");
             for (int i = 1; i <= 3; ++i)
                 writeFile(u"archive/"_s + old.arg(i), "old");
             startHeld(at(u"DeleteFile"_s, u"/archive/LOG_Archive_"_s, true));
             return endStatusOf([&] { window->mnuExit_Click(); });
         },
         2},
        // One that never comes back from the system does not keep the program from ending.
        {"File > Exit while the run is stuck in the system", cut,
         [&] {
             startHeld(at(u"GetFolder"_s, path("orvel/logs")));
             const auto status = endStatusOf([&] { window->mnuExit_Click(); });
             const QStringList lines = runLog();
             gate.open();
             window.reset();
             EXPECT_EQ(runLog(), lines) << "back from the system, it writes nothing more";
             return status;
         },
         1},
    };
    for (const auto &way : ways) {
        for (int time = 0; time < way.times; ++time) {
            SCOPED_TRACE(std::string(way.way) + ", time " + std::to_string(time + 1));
            clockTime = clockTime.addSecs(60);
            clearOutcome(path(""));
            writeFile("config/Sorvik/Sorvik.ini", settings);
            const std::optional<int> status = way.end();
            gate.open();
            window.reset();
            expectLeft(path(""), way.left, status);
            if (HasFailure())
                return;
        }
    }
}

// Under a private X server with a window manager, the real program, started as a desktop starts
// it: Start pressed with Enter, then ended by the question answered with Alt+N, or by SIGTERM
// while a refusal is on the screen (a stop signal during a run: FaultTest, and File > Exit above,
// the same end). The two run side by side, each on a server and in folders of its own. Stderr
// holds no word of threads and no failed run-log write.
TEST_F(RunEndTest, OnARealDesktopTheRealProgramEndsAsItSays)
{
    if (const QString missing = XServer::missing(); !missing.isEmpty())
        GTEST_SKIP() << missing.toStdString() << " is not installed";
    const struct Row {
        const char *way;
        Left left;
        bool found; // the archive folder is there
        std::function<void(const XServer &, QProcess &, const QString &base)> end;
    } rows[] = {
        {"answered No", completed, true,
         [](const XServer &x, QProcess &program, const QString &) {
             EXPECT_TRUE(x.type(x.window(u"Sorvik"_s), u"alt+n"_s, [&] {
                 return program.state() == QProcess::NotRunning || program.waitForFinished(0);
             }));
         }},
        {"SIGTERM on a refusal box", refused, false,
         [](const XServer &x, QProcess &program, const QString &) {
             EXPECT_FALSE(x.window(u"Sorvik"_s).isEmpty());
             ::kill(pid_t(program.processId()), SIGTERM);
         }},
    };
    std::vector<std::thread> sideBySide;
    for (const Row &row : rows) {
        sideBySide.emplace_back([&, way = QString::fromLatin1(row.way), base = path(row.way)] {
            for (const char *folder : {"/program", "/metrics", "/archive"})
                QDir().mkpath(base + QLatin1String(folder));
            for (const QString &built : {u"Sorvik"_s, u"sorvik-diag-formatter"_s})
                QFile::copy(builtFile(built), base + u"/program/"_s + built);
            const Ran sim = runTool(builtFile(u"orvel-sim"_s),
                                    {u"--root"_s, base + u"/orvel"_s, u"--diag"_s, u"3"_s});
            ASSERT_EQ(sim.status, 0);
            writeFile(way + u"/config/Sorvik/Sorvik.ini"_s,
                      "[frmMain]\nArchiveFolderPath=" +
                          QFile::encodeName(base + (row.found ? u"/archive/"_s : u"/missing/"_s)) +
                          "\n");
            const XServer x;
            QProcessEnvironment env = x.environment();
            // The test's own places, each in the row's folders.
            for (const QString &name : {u"HOME"_s, u"XDG_CONFIG_HOME"_s, u"XDG_STATE_HOME"_s,
                                        u"SORVIK_METRICS_DIR"_s, u"SORVIK_CRON_DIR"_s})
                env.insert(name, env.value(name).replace(path(""), base));
            env.insert(u"SORVIK_REGISTRY"_s, base + u"/orvel/registry.reg"_s);
            env.remove(u"SORVIK_FORMATTER_HELPER"_s);
            for (int time = 0; time < timesEach(); ++time) {
                SCOPED_TRACE(std::string(row.way) + ", time " + std::to_string(time + 1));
                clearOutcome(base);
                QProcess program;
                program.setProcessEnvironment(env);
                ownedByTest(program);
                program.start(base + u"/program/Sorvik"_s, {});
                // Start, with Enter: the run log is there once it is pressed.
                EXPECT_TRUE(x.type(x.window(u"Orvel Sorvik"_s), u"Return"_s,
                                   [&] { return !newestRunLog(base).isEmpty(); }))
                    << program.exitCode() << ": " << program.readAllStandardError().toStdString();
                row.end(x, program, base);
                EXPECT_TRUE(program.state() == QProcess::NotRunning ||
                            program.waitForFinished(120000));
                const QByteArray errors = program.readAllStandardError();
                for (const char *word : {"thread", "QSocketNotifier", "cannot be written"})
                    EXPECT_FALSE(errors.contains(word)) << errors.toStdString();
                expectLeft(base, row.left,
                           program.exitStatus() == QProcess::NormalExit
                               ? std::optional<int>(program.exitCode())
                               : std::nullopt);
            }
        });
    }
    for (std::thread &row : sideBySide)
        row.join();
}

} // namespace
