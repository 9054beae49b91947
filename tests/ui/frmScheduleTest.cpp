// The scheduling window over the real cron backend (its task files in the test's own folder).
#include "ui/frmSchedule.h"
#include "common/TimeText.h"
#include "schedule/SavedTask.h"
#include "schedule/TaskScheduler.h"

#include "support/ScriptedPropertySheet.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QTest>

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
    // Gone while the test's own places still stand: a window stores its place as it goes.
    void TearDown() override
    {
        window.reset();
        TempEnvironment::TearDown();
    }

    void open() { window = std::make_unique<frmSchedule>(*program, host, sheet); }

    // A task as another session of the window left it: disabled unless `enabled`.
    void existing(const QString &name, int triggers = 1, bool enabled = false)
    {
        saveTask(*makeTaskScheduler(sheet), name, u"/opt/sorvik/"_s + name,
                 enabled ? 0 : TaskFlags::Disabled, triggers);
    }

    QStringList listed() const
    {
        QStringList names;
        for (int i = 0; i < window->lstTasks->count(); ++i)
            names << window->lstTasks->item(i)->text();
        return names;
    }

    // The selected task (none: empty) and the buttons that need one; its details (the schedule,
    // the program, the command line, the last and the next run, the creator) when given, else
    // its program. Nothing selected shows no details.
    void expectSelected(const QString &task, const QStringList &details = {})
    {
        const auto selected = window->lstTasks->selectedItems();
        EXPECT_EQ(selected.isEmpty() ? QString() : selected.first()->text(), task);
        EXPECT_EQ(window->cmdProps->isEnabled(), !task.isEmpty());
        EXPECT_EQ(window->cdmDelete->isEnabled(), !task.isEmpty());
        QStringList shown{window->txtSchedule->toPlainText()};
        for (const int value : {0, 1, 3, 4, 5})
            shown << window->lblInfo[value]->text();
        if (task.isEmpty() || !details.isEmpty())
            EXPECT_EQ(shown, task.isEmpty() ? QStringList(6, QString()) : details);
        else
            EXPECT_EQ(shown[1], u"/opt/sorvik/"_s + task);
    }

    ScriptedPropertySheet sheet;
    std::unique_ptr<Program> program;
    std::unique_ptr<frmSchedule> window;
};

// A name typed in the new-task box becomes a disabled task of this program, run unattended and
// made by this computer: stored, shown in its sheet, then the selected task. A duplicate (in any
// letter case), a blank name or a cancelled box makes nothing.
TEST_F(frmScheduleTest, ANewTaskIsStoredDisabledShownAndSelected)
{
    existing(u"X_1"_s);
    open();
    const struct {
        QString typed;
        std::vector<QString> told;
    } cases[] = {
        {u"x.1"_s, {u"Please select a unique name for the task"_s}},
        {u"    "_s, {}},
        {QString(), {}},
        {u"  a.b.c  "_s, {}},
    };
    for (const auto &c : cases) {
        dialogs.texts.clear();
        dialogs.inputs = {c.typed};
        window->cmdNew_Click();
        EXPECT_EQ(std::vector<QString>(dialogs.texts.begin() + 1, dialogs.texts.end()), c.told);
    }
    EXPECT_EQ(dialogs.presets.back(), u"Orvel File Archive SRV01"_s);
    EXPECT_EQ(sheet.shown, std::vector<QString>{u"a_b_c"_s});
    EXPECT_EQ(sheet.flagsWhenShown, std::vector<qint32>{TaskFlags::Disabled});
    EXPECT_EQ(listed(), (QStringList{u"a_b_c"_s, u"X_1"_s}));
    expectSelected(u"a_b_c"_s,
                   {u"At 14:05 every day, starting %1\n"_s.arg(shortDateText(clockTime.date())),
                    path("program/Sorvik"), u"/Silent "_s, u"Never"_s, u"Not scheduled"_s,
                    u"Orvel Sorvik [SRV01]"_s});
}

// Nothing is selected when the window opens; an arrow key selects the line it frames, as in
// every list, and shows its details: the run times in the list's own pattern, "HH:MM:SS
// DD-MMM-YYYY" (a disabled task is not scheduled), the triggers in the regional form. Enter and a
// double-click show the selected task's sheet, and the sheet's changes show; Delete asks with the
// name, Yes takes the task and its details, after which nothing is selected. (The buttons, and No
// as the question's default keeping the task: the window table.)
TEST_F(frmScheduleTest, TheListActsOnItsSelectedTask)
{
    std::setlocale(LC_TIME, "C");
    existing(u"Alpha"_s, 1, true);
    existing(u"Beta"_s, 2);
    open();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->lstTasks->setFocus();
    expectSelected(QString());
    const QString first =
        u"At 01:30 every day, starting %1\n"_s.arg(shortDateText(QDate(2026, 12, 6)));
    const auto details = [](const QString &task, const QString &schedule, const QString &next) {
        return QStringList{schedule, u"/opt/sorvik/"_s + task, u"/Silent "_s, u"Never"_s,
                           next,     u"Orvel Sorvik [SRV01]"_s};
    };
    QTest::keyClick(window->lstTasks, Qt::Key_Up);
    expectSelected(u"Alpha"_s, details(u"Alpha"_s, first, u"01:30:00 06-Dec-2026"_s));
    QTest::keyClick(window->lstTasks, Qt::Key_Down);
    expectSelected(u"Beta"_s,
                   details(u"Beta"_s, first + QString(first).replace(u"01:30"_s, u"02:30"_s),
                           u"Not scheduled"_s));
    const QRect beta = window->lstTasks->visualItemRect(window->lstTasks->item(1));
    sheet.confirm = true;
    sheet.change = [](ScheduledTask &task) { task.setFlags(0); };
    for (const auto &show : std::vector<std::function<void()>>{
             [&] { QTest::keyClick(window->lstTasks, Qt::Key_Return); },
             [&] {
                 // A double-click counts on the item its first press was on.
                 QTest::mousePress(window->lstTasks->viewport(), Qt::LeftButton, {}, beta.center());
                 QTest::mouseDClick(window->lstTasks->viewport(), Qt::LeftButton, {},
                                    beta.center());
             }}) {
        show();
        expectSelected(u"Beta"_s);
    }
    EXPECT_EQ(sheet.shown, std::vector<QString>(2, u"Beta"_s));
    EXPECT_NE(window->lblInfo[4]->text(), u"Not scheduled"_s) << "enabled in its sheet";
    const QString asked = u"Are you sure you want to delete the task: Beta\"?"_s;
    dialogs.answers = {DialogAnswer::Yes};
    QTest::keyClick(window->lstTasks, Qt::Key_Delete);
    EXPECT_EQ(dialogs.texts, std::vector<QString>{asked});
    EXPECT_EQ(listed(), QStringList{u"Alpha"_s});
    expectSelected(QString());
    EXPECT_EQ(QDir(path("cron.d")).entryList(QDir::Files).size(), 1);
}

// What fails is told once, and the rest still done; three characters are the least a folder can
// be.
TEST_F(frmScheduleTest, WhatFailsOrIsRefusedIsToldAndTheWindowCarriesOn)
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
    dialogs.texts.clear();
    for (const QString &folder : {u"C:/"_s, u"C:"_s}) {
        host.folder = folder;
        window->show();
        window->Form_Activate();
        EXPECT_EQ(window->isVisible(), folder.size() == 3);
    }
    EXPECT_EQ(dialogs.texts, std::vector<QString>{u"Before scheduling an archive, make sure "
                                                  "you've run a manual archive to completion "
                                                  "first."_s});
    qputenv("SORVIK_CRON_DIR", QFile::encodeName(path("no-cron-here")));
    open();
    ASSERT_EQ(dialogs.texts.size(), 2u);
    EXPECT_TRUE(dialogs.texts[1].startsWith(u"(error) in frmSchedule: RefreshList: "_s));
    EXPECT_TRUE(listed().isEmpty());
    window->lstTasks->addItem(u"ghost"_s);
    window->lstTasks->setCurrentRow(0);
    window->lstTasks_Click();
    EXPECT_TRUE(dialogs.texts.back().startsWith(u"(error) in frmSchedule: lstTasks_Click: "_s));
}

} // namespace
