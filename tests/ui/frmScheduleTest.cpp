#include "ui/frmSchedule.h"
#include "common/TimeText.h"
#include "schedule/TaskScheduler.h"
#include "schedule/posix/CronFile.h"

#include "support/ScriptedPropertySheet.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

#include <clocale>

namespace {

class frmScheduleTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        program = makeProgram();
        host.folder = path("archive/");
    }

    void open() { window = std::make_unique<frmSchedule>(*program, host, sheet); }

    // A task as another session of the window left it.
    void existing(const QString &name, int triggers = 1)
    {
        ScriptedPropertySheet quiet;
        auto scheduler = makeTaskScheduler(quiet);
        auto task = scheduler->CreateTask(name);
        task->setApplicationName(u"/opt/sorvik/"_s + name);
        task->setCommandLine(u"/Silent "_s);
        task->setCreator(u"Orvel Sorvik ["_s + name + QLatin1Char(']'));
        for (int i = 0; i < triggers; ++i) {
            TaskTrigger &trigger = task->addTrigger();
            trigger.BeginDay = trigger.StartTime = QDateTime(QDate(2026, 12, 6), QTime(1 + i, 30));
        }
        task->setFlags(TaskFlags::Disabled);
        task->Save();
    }

    QStringList listed() const
    {
        QStringList names;
        for (int i = 0; i < window->lstTasks->count(); ++i)
            names << window->lstTasks->item(i)->text();
        return names;
    }

    void click(int row)
    {
        window->lstTasks->setCurrentRow(row);
        window->lstTasks_Click();
    }

    ScriptedPropertySheet sheet;
    std::unique_ptr<Program> program;
    std::unique_ptr<frmSchedule> window;
};

TEST_F(frmScheduleTest, ANewTaskIsSavedDisabledAndItsSheetShown)
{
    open();
    EXPECT_EQ(window->windowTitle(), u"File Archive Scheduler"_s);
    dialogs.inputs = {u"  a.b.c  "_s};
    window->cmdNew_Click();
    EXPECT_EQ(dialogs.presets, std::vector<QString>{u"Orvel File Archive SRV01"_s});
    EXPECT_EQ(sheet.shown, std::vector<QString>{u"a_b_c"_s});
    EXPECT_EQ(sheet.flagsWhenShown, std::vector<qint32>{TaskFlags::Disabled});
    EXPECT_EQ(listed(), QStringList{u"a_b_c"_s});

    const auto stored = parseCronFile(readFile("cron.d/" + cronFileName(u"a_b_c"_s)));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->applicationName, path("program/Sorvik"));
    EXPECT_EQ(stored->commandLine, u"/Silent "_s);
    EXPECT_EQ(stored->creator, u"Orvel Sorvik [SRV01]"_s);
    EXPECT_EQ(stored->flags, TaskFlags::Disabled);
    ASSERT_EQ(stored->triggers.size(), 1u);
    EXPECT_EQ(stored->triggers[0].StartTime, clockTime);
    EXPECT_EQ(dialogs.texts.size(), 1u) << "only the input box";
}

TEST_F(frmScheduleTest, DuplicatesBlanksAndCancelCreateNothing)
{
    existing(u"X_1"_s);
    existing(u"Y"_s);
    open();
    dialogs.inputs = {u"x.1"_s};
    window->cmdNew_Click();
    EXPECT_EQ(dialogs.texts.back(), u"Please select a unique name for the task"_s);
    dialogs.inputs = {u"    "_s};
    window->cmdNew_Click();
    window->cmdNew_Click(); // cancelled
    EXPECT_EQ(listed(), (QStringList{u"X_1"_s, u"Y"_s}));
    EXPECT_TRUE(sheet.shown.empty());
    EXPECT_EQ(QDir(path("cron.d")).entryList(QDir::Files).size(), 2);
}

TEST_F(frmScheduleTest, AFailingStepIsToldOnceAndTheRestStillDone)
{
    workstation->computerName = u"BAD\nNAME"_s;
    open();
    dialogs.inputs = {u"Good"_s};
    window->cmdNew_Click();
    ASSERT_EQ(dialogs.texts.size(), 2u);
    EXPECT_EQ(dialogs.texts[1],
              QStringLiteral("(error) in frmSchedule: cmdNew: The creator may not hold line "
                             "breaks or other control characters\r\nTaskName=Good"));
    EXPECT_EQ(sheet.shown, std::vector<QString>{u"Good"_s});
    EXPECT_EQ(listed(), QStringList{u"Good"_s});
}

TEST_F(frmScheduleTest, DetailsAreThoseOfTheClickedPosition)
{
    existing(u"Alpha"_s);
    existing(u"Beta"_s, 2);
    open();
    click(1);
    EXPECT_EQ(window->lblInfo[0]->text(), u"/opt/sorvik/Beta"_s);
    EXPECT_EQ(window->lblInfo[1]->text(), u"/Silent "_s);
    EXPECT_EQ(window->lblInfo[3]->text(), u"Never"_s);
    EXPECT_EQ(window->lblInfo[4]->text(), u"Not scheduled"_s) << "a disabled task";
    EXPECT_EQ(window->lblInfo[5]->text(), u"Orvel Sorvik [Beta]"_s);
    EXPECT_EQ(window->txtSchedule->toPlainText(),
              u"At 01:30 every day, starting %1\nAt 02:30 every day, starting %1\n"_s.arg(
                  shortDateText(QDate(2026, 12, 6))));
    EXPECT_EQ(window->lbLabels[7]->text(), u"Schedule"_s);
    EXPECT_EQ(window->lblInfo[2], nullptr) << "there is no value label 2";
}

TEST_F(frmScheduleTest, DeleteAsksWithTheNameAndTheDetailsGoWithTheTask)
{
    existing(u"Nightly"_s);
    open();
    window->cdmDelete_Click(); // no selection: nothing
    EXPECT_TRUE(dialogs.texts.empty());
    click(0);
    dialogs.answers = {DialogAnswer::No};
    window->cdmDelete_Click();
    EXPECT_EQ(dialogs.texts, std::vector<QString>{QStringLiteral(
                                 "Are you sure you want to delete the task: Nightly\"?")});
    EXPECT_EQ(listed(), QStringList{u"Nightly"_s});

    click(0);
    dialogs.answers = {DialogAnswer::Yes};
    window->cdmDelete_Click();
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_EQ(window->lblInfo[0]->text(), QString());
    EXPECT_EQ(window->txtSchedule->toPlainText(), QString());
    EXPECT_TRUE(QDir(path("cron.d")).entryList(QDir::Files).isEmpty());
}

TEST_F(frmScheduleTest, PropertiesEditTheSelectedTask)
{
    existing(u"Nightly"_s);
    open();
    window->cmdProps_Click();
    EXPECT_TRUE(sheet.shown.empty()) << "nothing selected";
    click(0);
    sheet.confirm = true;
    sheet.change = [](ScheduledTask &task) { task.setFlags(0); };
    window->cmdProps_Click();
    EXPECT_EQ(sheet.shown, std::vector<QString>{u"Nightly"_s});
    click(0);
    EXPECT_NE(window->lblInfo[4]->text(), u"Not scheduled"_s) << "enabled now";
}

// Enter, double-click and Delete act on the selected task, as the buttons do; the selection and
// its details stay on the task while it is there, and go with it.
TEST_F(frmScheduleTest, TheListActsOnItsSelectedTask)
{
    existing(u"Alpha"_s);
    existing(u"Beta"_s);
    open();
    window->show();
    const auto selectionShown = [&](const QString &task) {
        EXPECT_EQ(window->cmdProps->isEnabled(), !task.isEmpty());
        EXPECT_EQ(window->cdmDelete->isEnabled(), !task.isEmpty());
        const auto selected = window->lstTasks->selectedItems();
        EXPECT_EQ(selected.isEmpty() ? QString() : selected.first()->text(), task);
        EXPECT_EQ(window->lblInfo[0]->text(),
                  task.isEmpty() ? QString() : u"/opt/sorvik/"_s + task);
    };
    selectionShown(QString());

    const auto beta = [&] { return window->lstTasks->visualItemRect(window->lstTasks->item(1)); };
    const struct {
        const char *way;
        std::function<void()> act;
        std::vector<QString> sheets;
        std::vector<QString> asked;
        QString selectedAfter;
    } ways[] = {
        {"Enter",
         [&] { QTest::keyClick(window->lstTasks, Qt::Key_Return); },
         {u"Beta"_s},
         {},
         u"Beta"_s},
        {"Task Properties", [&] { window->cmdProps->click(); }, {u"Beta"_s}, {}, u"Beta"_s},
        {"double-click",
         [&] {
             // A double-click counts on the item its first press was on.
             QTest::mousePress(window->lstTasks->viewport(), Qt::LeftButton, {}, beta().center());
             QTest::mouseDClick(window->lstTasks->viewport(), Qt::LeftButton, {}, beta().center());
         },
         {u"Beta"_s},
         {},
         u"Beta"_s},
        {"Delete",
         [&] { QTest::keyClick(window->lstTasks, Qt::Key_Delete); },
         {},
         {u"Are you sure you want to delete the task: Beta\"?"_s},
         QString()},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.way);
        sheet.shown.clear();
        dialogs.texts.clear();
        click(1);
        selectionShown(u"Beta"_s);
        way.act();
        EXPECT_EQ(sheet.shown, way.sheets);
        EXPECT_EQ(dialogs.texts, way.asked);
        selectionShown(way.selectedAfter);
    }
    EXPECT_EQ(listed(), QStringList{u"Alpha"_s});
}

TEST_F(frmScheduleTest, AFolderTextUnderThreeCharactersRefusesTheWindow)
{
    open();
    host.folder = u"C:"_s;
    window->show();
    window->Form_Activate();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(dialogs.texts,
              std::vector<QString>{QStringLiteral("Before scheduling an archive, make sure you've "
                                                  "run a manual archive to completion first.")});

    dialogs.texts.clear();
    host.folder = u"C:/"_s;
    window->show();
    window->Form_Activate();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(dialogs.texts.empty());
}

TEST_F(frmScheduleTest, AFailingSchedulerIsToldAndTheWindowCarriesOn)
{
    qputenv("SORVIK_CRON_DIR", QFile::encodeName(path("no-cron-here")));
    open();
    ASSERT_EQ(dialogs.texts.size(), 1u);
    EXPECT_TRUE(dialogs.texts[0].startsWith(u"(error) in frmSchedule: RefreshList: "_s));
    EXPECT_TRUE(listed().isEmpty());
    window->lstTasks->addItem(u"ghost"_s);
    click(0);
    EXPECT_TRUE(dialogs.texts.back().startsWith(u"(error) in frmSchedule: lstTasks_Click: "_s));
}

// The window opens, and comes back after a delete, with no task selected: no details, and the
// buttons that need a task disabled, also once the list has the focus.
TEST_F(frmScheduleTest, NothingIsSelectedUntilATaskIsChosen)
{
    existing(u"Alpha"_s);
    existing(u"Beta"_s);
    open();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->lstTasks->setFocus();
    const auto nothingSelected = [&] {
        EXPECT_TRUE(window->lstTasks->selectedItems().isEmpty());
        EXPECT_FALSE(window->cmdProps->isEnabled());
        EXPECT_FALSE(window->cdmDelete->isEnabled());
        EXPECT_EQ(window->lblInfo[0]->text(), QString());
        EXPECT_EQ(window->txtSchedule->toPlainText(), QString());
    };
    nothingSelected();
    QTest::keyClick(window->lstTasks, Qt::Key_Down);
    EXPECT_EQ(window->lstTasks->selectedItems().size(), 1) << "the keys select";
    EXPECT_TRUE(window->cdmDelete->isEnabled());
    dialogs.answers = {DialogAnswer::Yes};
    QTest::keyClick(window->lstTasks, Qt::Key_Delete);
    EXPECT_EQ(listed().size(), 1);
    nothingSelected();
}

// The list's run times in their own pattern, "HH:MM:SS DD-MMM-YYYY", the month abbreviated in the
// user's language; the Schedule box keeps the regional form.
TEST_F(frmScheduleTest, RunTimesShowInTheListsOwnPattern)
{
    std::setlocale(LC_TIME, "C");
    existing(u"Nightly"_s);
    {
        ScriptedPropertySheet quiet;
        auto scheduler = makeTaskScheduler(quiet);
        scheduler->ReloadTasks();
        auto task = scheduler->GetTask(u"Nightly"_s);
        task->setFlags(0);
        task->Save();
    }
    open();
    click(0);
    EXPECT_EQ(window->lblInfo[4]->text(), u"01:30:00 06-Dec-2026"_s);
    EXPECT_EQ(window->txtSchedule->toPlainText(),
              u"At 01:30 every day, starting %1\n"_s.arg(shortDateText(QDate(2026, 12, 6))));
}

} // namespace
