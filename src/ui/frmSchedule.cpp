#include "ui/frmSchedule.h"

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "schedule/TaskScheduler.h"
#include "ui/WindowLook.h"

#include <QEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

frmSchedule::frmSchedule(Program &program, WindowHost &mainWindow, TaskPropertySheet &sheet,
                         QWidget *parent)
    : QDialog(parent)
    , m_program(program)
    , m_mainWindow(mainWindow)
    , m_sheet(sheet)
{
    setWindowTitle(QStringLiteral("File Archive Scheduler"));
    setModal(true);
    buildControls();
    Form_Load();
}

frmSchedule::~frmSchedule() = default;

void frmSchedule::buildControls()
{
    lstTasks = new QListWidget(this);
    lstTasks->setSortingEnabled(false);
    lstTasks->setToolTip(QStringLiteral("The scheduled tasks; click one to see its details"));
    const auto button = [this](const QString &caption, const QString &tip) {
        auto *b = new QPushButton(caption, this);
        b->setToolTip(tip);
        return b;
    };
    cmdNew = button(QStringLiteral("&Schedule Archive"),
                    QStringLiteral("Make a new task that archives the logs unattended"));
    cmdProps = button(QStringLiteral("Task &Properties"),
                      QStringLiteral("Change the selected task's times, account and state"));
    cdmDelete = button(QStringLiteral("&Delete Task"), QStringLiteral("Delete the selected task"));
    cmdClose = button(QStringLiteral("&Close"), QStringLiteral("Close this window"));
    auto *buttons = new QVBoxLayout;
    // Close together, as designed: the window must fit a small screen at large fonts.
    buttons->setSpacing(2);
    for (QPushButton *b : {cmdNew, cmdProps, cdmDelete})
        buttons->addWidget(b);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    auto *top = new QHBoxLayout;
    top->addWidget(lstTasks, 1);
    top->addLayout(buttons);

    Frame1 = new QFrame(this);
    Frame1->setFrameShape(QFrame::StyledPanel);
    auto *details = new QGridLayout(Frame1);
    details->setColumnStretch(1, 1);
    // Rows close together, as designed: the window must fit a small screen at large fonts.
    details->setVerticalSpacing(2);
    details->setContentsMargins(6, 4, 6, 4);
    const struct {
        int caption;
        const char *text;
        int value;
    } rows[] = {{0, "Program File:", 0}, {1, "Command Line:", 1}, {4, "Last Runtime:", 3},
                {5, "Next Runtime:", 4}, {6, "Creator:", 5},      {7, "Schedule", -1}};
    int line = 0;
    for (const auto &row : rows) {
        lbLabels[size_t(row.caption)] = new QLabel(QLatin1String(row.text), Frame1);
        details->addWidget(lbLabels[size_t(row.caption)], line, 0, Qt::AlignLeft | Qt::AlignTop);
        if (row.value >= 0) {
            lblInfo[size_t(row.value)] = new ElidedLabel(Frame1);
            // Paths and times.
            readLeftToRight(lblInfo[size_t(row.value)]);
            details->addWidget(lblInfo[size_t(row.value)], line, 1);
        }
        ++line;
    }
    txtSchedule = new QTextEdit(Frame1);
    txtSchedule->setReadOnly(true);
    txtSchedule->setAcceptRichText(false);
    // A trigger too long for the box wraps rather than bringing a scroll bar over the second.
    txtSchedule->setLineWrapMode(QTextEdit::WidgetWidth);
    txtSchedule->setToolTip(QStringLiteral("When the selected task runs, one line a trigger"));
    // Two triggers whole.
    txtSchedule->setMinimumHeight(txtSchedule->fontMetrics().lineSpacing() * 2 +
                                  2 * txtSchedule->frameWidth() +
                                  2 * int(txtSchedule->document()->documentMargin()) + 2);
    readLeftToRight(txtSchedule);
    details->addWidget(txtSchedule, line - 1, 1);
    details->setRowStretch(line - 1, 1);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(Frame1);
    // Designed at 7740 x 5250 twips, 15 to a pixel.
    prepareWindow(this, QSize(516, 350));
    keepPlace(this, m_program.executableName(), QStringLiteral("frmSchedule"));

    lstTasks->installEventFilter(this);
    connect(lstTasks, &QListWidget::itemClicked, this, &frmSchedule::lstTasks_Click);
    // The selection, not the current line: the list makes its first line current when it takes
    // the focus, without selecting it.
    connect(lstTasks, &QListWidget::itemSelectionChanged, this,
            [this] { selectionChanged(selectedRow()); });
    connect(lstTasks, &QListWidget::itemDoubleClicked, this, &frmSchedule::cmdProps_Click);
    selectionChanged(selectedRow());
    connect(cmdNew, &QPushButton::clicked, this, &frmSchedule::cmdNew_Click);
    connect(cmdProps, &QPushButton::clicked, this, &frmSchedule::cmdProps_Click);
    connect(cdmDelete, &QPushButton::clicked, this, &frmSchedule::cdmDelete_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmSchedule::cmdClose_Click);
}

void frmSchedule::selectionChanged(int row)
{
    cmdProps->setEnabled(row >= 0);
    cdmDelete->setEnabled(row >= 0);
    if (row >= 0) {
        lstTasks_Click();
        return;
    }
    for (QLabel *value : lblInfo)
        if (value)
            value->clear();
    txtSchedule->clear();
}

int frmSchedule::selectedRow() const
{
    const QList<QListWidgetItem *> selected = lstTasks->selectedItems();
    return selected.isEmpty() ? -1 : lstTasks->row(selected.first());
}

bool frmSchedule::eventFilter(QObject *watched, QEvent *event)
{
    // The list makes a line current without selecting it (when it takes the focus, or when
    // the selected task went): an arrow key selects that line, as in every list, and from then
    // on moves the selection.
    if (watched == lstTasks && event->type() == QEvent::KeyPress && selectedRow() < 0 &&
        lstTasks->currentItem()) {
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            lstTasks->currentItem()->setSelected(true);
            return true;
        default:
            break;
        }
    }
    if (watched == lstTasks && event->type() == QEvent::KeyPress && selectedRow() >= 0) {
        // Taken here: the dialog would hand Enter to its default button, the new-task box.
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            cmdProps_Click();
            return true;
        case Qt::Key_Delete:
            cdmDelete_Click();
            return true;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

TaskScheduler &frmSchedule::Scheduler()
{
    if (!m_scheduler)
        m_scheduler = makeTaskScheduler(m_sheet);
    return *m_scheduler;
}

void frmSchedule::report(const char *procedure, const QString &description)
{
    m_program.dialogs().messageBox(QStringLiteral("(error) in frmSchedule: %1: %2")
                                       .arg(QLatin1String(procedure), description));
}

void frmSchedule::Form_Load()
{
    RefreshList();
}

void frmSchedule::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Some platforms never make a dialog active: look at the folder once it is up, in any case.
    QTimer::singleShot(0, this, &frmSchedule::Form_Activate);
}

void frmSchedule::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        Form_Activate();
}

void frmSchedule::Form_Activate()
{
    if (!isVisible())
        return;
    // A folder text this short has never held a folder that a run completed into.
    if (m_mainWindow.archiveFolderText().size() < 3) {
        m_program.dialogs().messageBox(
            QStringLiteral("Before scheduling an archive, make sure you've run a manual archive to "
                           "completion first."));
        reject();
    }
}

void frmSchedule::RefreshList(const QString &select)
{
    // The selection stays on the task it was on, and the details with it; a task gone takes both.
    const int row = selectedRow();
    const QString selected = !select.isEmpty() ? select
                             : row >= 0        ? lstTasks->item(row)->text()
                                               : QString();
    {
        const QSignalBlocker quiet(lstTasks);
        lstTasks->clear();
        trap(
            [&] {
                Scheduler().ReloadTasks();
                for (const auto &task : Scheduler().tasks())
                    lstTasks->addItem(task->name());
            },
            [&](const Failure &f) { report("RefreshList", f.description()); });
        const auto same = lstTasks->findItems(selected, Qt::MatchExactly);
        if (!selected.isEmpty() && !same.isEmpty())
            lstTasks->setCurrentItem(same.first());
    }
    selectionChanged(selectedRow());
}

void frmSchedule::lstTasks_Click()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const int position = row + 1;
    trap(
        [&] {
            TaskScheduler &scheduler = Scheduler();
            lblInfo[0]->setText(scheduler.GetTask(position)->ApplicationName());
            lblInfo[1]->setText(scheduler.GetTask(position)->CommandLine());
            const QDateTime last = scheduler.GetTask(position)->LastRunTime();
            lblInfo[3]->setText(last.isValid() ? taskTimeText(last) : QStringLiteral("Never"));
            const QDateTime next = scheduler.GetTask(position)->nextRunAfter(m_program.now());
            lblInfo[4]->setText(next.isValid() ? taskTimeText(next)
                                               : QStringLiteral("Not scheduled"));
            lblInfo[5]->setText(scheduler.GetTask(position)->Creator());
            QString schedule;
            for (const TaskTrigger &trigger : scheduler.GetTask(position)->Triggers())
                schedule += trigger.Text() + QStringLiteral("\r\n");
            txtSchedule->setPlainText(schedule);
            // A long path is shown elided: the tooltip gives it whole.
            for (QLabel *value : lblInfo)
                if (value)
                    value->setToolTip(value->text());
        },
        [&](const Failure &f) { report("lstTasks_Click", f.description()); });
}

void frmSchedule::cmdProps_Click()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const QString name = lstTasks->item(row)->text();
    trap([&] { Scheduler().GetTask(name)->ShowPropertySheet(this); },
         [&](const Failure &f) { report("cmdProps_Click", f.description()); });
    RefreshList();
}

void frmSchedule::cdmDelete_Click()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const QString name = lstTasks->item(row)->text();
    if (m_program.dialogs().messageBox(
            QStringLiteral("Are you sure you want to delete the task: ") + name +
                QStringLiteral("\"?"),
            MessageButtons::YesNoDefaultNo) != DialogAnswer::Yes)
        return;
    trap([&] { Scheduler().RemoveTask(name); },
         [&](const Failure &f) { report("cdmDelete_Click", f.description()); });
    RefreshList();
}

void frmSchedule::cmdClose_Click()
{
    reject();
}

void frmSchedule::cmdNew_Click()
{
    QString name;
    const auto report = [&](const Failure &f) {
        m_program.dialogs().messageBox(QStringLiteral("(error) in frmSchedule: cmdNew: ") +
                                       f.description() + QStringLiteral("\r\nTaskName=") + name);
    };
    const auto step = [&](const std::function<void()> &work) { trap(work, report); };

    QString computer;
    step([&] { computer = m_program.WorkStation().ComputerName(); });
    step([&] {
        name = m_program.dialogs()
                   .inputBox(QStringLiteral("Type the task name"), QString(),
                             QStringLiteral("Orvel File Archive ") + computer)
                   .trimmed();
    });
    if (name.isEmpty())
        return;
    name.replace(QLatin1Char('.'), QLatin1Char('_'));

    bool duplicate = false;
    step([&] {
        for (const auto &task : Scheduler().tasks())
            duplicate = duplicate || task->name().compare(name, Qt::CaseInsensitive) == 0;
    });
    if (duplicate) {
        m_program.dialogs().messageBox(QStringLiteral("Please select a unique name for the task"));
        return;
    }

    std::shared_ptr<ScheduledTask> task;
    step([&] { task = Scheduler().CreateTask(name); });
    if (!task)
        return;
    step([&] { task->setApplicationName(m_program.programFolder() + QStringLiteral("/Sorvik")); });
    step([&] { task->setCommandLine(QStringLiteral("/Silent ")); });
    step([&] {
        task->setCreator(QStringLiteral("Orvel Sorvik [") + m_program.WorkStation().ComputerName() +
                         QLatin1Char(']'));
    });
    step([&] {
        TaskTrigger &trigger = task->addTrigger();
        trigger.TriggerType = TriggerTypes::Daily;
        trigger.BeginDay = m_program.now();
        trigger.StartTime = m_program.now();
    });
    step([&] { task->setFlags(TaskFlags::Disabled); });
    step([&] { task->Save(); });
    step([&] { task->ShowProperties(); });
    task.reset();
    // The new task is the selected one.
    RefreshList(name);
}
