// Every window and box of the program, opened during a real run through the real main window at
// the fonts administrators use: the run goes on while it is open, it fits its text and the screen
// (at twice the scale on a small screen too: see tests/CMakeLists.txt), everything that can be
// pressed, filled in or read has a tooltip, its default button is the safe one, and a key closes
// it. The main window's own keys reach their commands.
#include "schedule/SavedTask.h"
#include "schedule/TaskScheduler.h"
#include "ui/LogViewer.h"
#include "ui/PropertySheetDialog.h"
#include "ui/WindowLook.h"
#include "ui/frmAbout.h"
#include "ui/frmSchedule.h"

#include "LiveWindow.h"
#include "support/ScriptedPropertySheet.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScopeGuard>
#include <QTextBrowser>

namespace {

// The window fits: its icon, within the screen, each child within it and as large as its text
// asks; the program's own windows also carry a tooltip on everything that can be pressed, filled
// in or read (the standard boxes need none).
void expectFits(QWidget *shown, bool own)
{
    SCOPED_TRACE(shown->metaObject()->className());
    EXPECT_EQ(shown->windowIcon().pixmap(32).toImage(), logoIcon().pixmap(32).toImage());
    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(screen.contains(shown->geometry()))
        << shown->geometry().x() << "," << shown->geometry().y() << " " << shown->geometry().width()
        << "x" << shown->geometry().height() << " in " << screen.width() << "x" << screen.height();
    for (QWidget *w : shown->findChildren<QWidget *>()) {
        if (!w->isVisibleTo(shown))
            continue;
        const std::string what = QString::fromLatin1(w->metaObject()->className()).toStdString() +
                                 " " + w->property("text").toString().toStdString();
        EXPECT_TRUE(shown->rect().contains(QRect(w->mapTo(shown, QPoint()), w->size()))) << what;
        const auto *label = qobject_cast<QLabel *>(w);
        if (label && label->wordWrap()) {
            EXPECT_GE(w->height(), w->heightForWidth(w->width())) << what;
        } else if ((label && !qobject_cast<ElidedLabel *>(w)) ||
                   qobject_cast<QAbstractButton *>(w)) {
            EXPECT_GE(w->width(), w->sizeHint().width()) << what;
            EXPECT_GE(w->height(), w->sizeHint().height()) << what;
        }
        const bool field =
            qobject_cast<QAbstractButton *>(w) || qobject_cast<QTextEdit *>(w) ||
            qobject_cast<QPlainTextEdit *>(w) || qobject_cast<QListWidget *>(w) ||
            qobject_cast<QAbstractSpinBox *>(w) || qobject_cast<QProgressBar *>(w) ||
            (qobject_cast<QLineEdit *>(w) && !qobject_cast<QAbstractSpinBox *>(w->parentWidget()));
        EXPECT_TRUE(!own || !field || !w->toolTip().isEmpty()) << what;
    }
}

class WindowTableTest : public LiveWindow {
protected:
    void SetUp() override
    {
        diagFiles = 100;
        LiveWindow::SetUp();
        ScriptedPropertySheet quiet;
        saveTask(*makeTaskScheduler(quiet), u"Nightly"_s,
                 u"/opt/"_s + QString(u"very-long-folder-name/"_s).repeated(12) + u"Sorvik"_s,
                 TaskFlags::Disabled, 2);
        QDir().mkpath(path("program/Help"));
        QFile::copy(QStringLiteral(SORVIK_SOURCE_DIR "/resources/Help/OrvelSorvik.htm"),
                    path("program/Help/OrvelSorvik.htm"));
        // The tools site as files: what the check makes of an answer is UpdateCheckTest's.
        writeFile("site/SiteList/AllDownloads/AllDownloads.XML",
                  "<rows><row><cell>^/Applications/Orvel/Sorvik/OrvelSorvik.html^ifram_a</cell>"
                  "<cell>1234</cell></row></rows>\n");
        qputenv("SORVIK_TOOLS_SITE", "file://" + QFile::encodeName(path("site")));
    }

    // Within the scheduling window, its first task selected: `inner`, then the window closes.
    std::function<void()> inSchedule(const std::function<void(frmSchedule *)> &inner)
    {
        return [this, inner] {
            const ModalWatch<frmSchedule> schedule([&](frmSchedule *shown) {
                shown->lstTasks->setCurrentRow(0);
                inner(shown);
                shown->reject();
            });
            window->mnuScheduleArchive_Click();
        };
    }

    // The box says `text`, and no other box is shown.
    static std::function<void(QWidget *)> alone(const QString &text)
    {
        return [text](QWidget *shown) {
            EXPECT_TRUE(static_cast<QMessageBox *>(shown)->text().startsWith(text));
            int boxes = 0;
            for (QWidget *top : QApplication::topLevelWidgets())
                boxes += qobject_cast<QMessageBox *>(top) && top->isVisible();
            EXPECT_EQ(boxes, 1);
        };
    }

    // A key to the main window, as its own: it is made the active one first.
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = {})
    {
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window.get(), key, modifiers);
    }
};

TEST_F(WindowTableTest, EveryWindowAndBoxFitsAndClosesWhileTheRunGoesOn)
{
    const QFont original = QApplication::font();
    const auto restore = qScopeGuard([&] { QApplication::setFont(original); });
    const QString share = u"\\\\archive-server.example.local\\orvel-logs\\SRV01\\"_s;
    // The toolkit's own boxes (a class of its own) carry no tooltips; its file dialog is not the
    // program's making at all, so its look is the toolkit's.
    const struct Box {
        const char *what;
        const char *kind; // the class of the window that opens
        std::function<void()> open;
        // For a message box, its default button; the key that closes the window is Enter then,
        // else Escape.
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        std::function<void(QWidget *)> more = {};
    } boxes[] = {
        {"the scheduling window", "frmSchedule", [&] { window->mnuScheduleArchive_Click(); }},
        {"its property sheet", "PropertySheetDialog",
         inSchedule([](frmSchedule *s) { s->cmdProps->click(); }), QMessageBox::NoButton,
         [](QWidget *sheet) {
             // A path too long for its field is kept whole in the tooltip.
             EXPECT_TRUE(static_cast<PropertySheetDialog *>(sheet)->txtProgram->toolTip().contains(
                 u"very-long-folder-name/Sorvik"_s));
         }},
        {"the new-task box", "QInputDialog",
         inSchedule([](frmSchedule *s) { s->cmdNew->click(); })},
        {"the delete question", "QMessageBox",
         inSchedule([](frmSchedule *s) { s->cdmDelete->click(); }), QMessageBox::No},
        {"Options", "frmOptions",
         [&] { window->findChild<QAction *>(u"mnuOptions"_s)->trigger(); }},
        {"About", "frmAbout", [&] { window->About->trigger(); }, QMessageBox::NoButton,
         [](QWidget *shown) {
             const auto *about = static_cast<frmAbout *>(shown);
             EXPECT_EQ(about->lblVersion->text(), u"1.0.1"_s);
             EXPECT_FALSE(about->picLogo->pixmap().isNull());
         }},
        // Its version is filled in once.
        {"About again", "frmAbout", [&] { window->About->trigger(); }, QMessageBox::NoButton,
         [](QWidget *shown) { EXPECT_EQ(static_cast<frmAbout *>(shown)->loads(), 1); }},
        {"Browse", "QFileDialog", [&] { window->cmdBrowseForFolder->click(); }},
        {"the UNC box", "QInputDialog", [&] { window->cmdEnterUNC->click(); },
         QMessageBox::NoButton,
         [&](QWidget *box) {
             // Room for a whole share path, and the title above it.
             auto *field = box->findChild<QLineEdit *>();
             EXPECT_GE(field->width(), field->fontMetrics().horizontalAdvance(share) + 8);
             EXPECT_FALSE(field->isRightToLeft());
         }},
        {"the Exit question", "QMessageBox", [&] { window->cmdExit->click(); }, QMessageBox::No},
        {"Ctrl+Q's question", "QMessageBox", [&] { key(Qt::Key_Q, Qt::ControlModifier); },
         QMessageBox::No},
        // A published version that cannot be compared is told, then that the site gave none:
        // one box after the other, each answered before the next shows.
        {"the update check's answer", "QMessageBox",
         [&] { window->mnuCheckForUpdatedVersion->trigger(); }, QMessageBox::NoButton,
         alone(u"(error):9 (Subscript out of range) in procedure PadVersionString"_s)},
        {"its next answer, once that one is answered",
         "QMessageBox",
         {},
         QMessageBox::NoButton,
         alone(u"Unable to contact application home page to check for version."_s)},
        {"Help's offer of its own reader", "QMessageBox",
         [&] {
             launcher.answer = LaunchResult::NoAssociation;
             key(Qt::Key_F1);
         },
         QMessageBox::Yes},
        {"the run log viewer", "LogViewer",
         [&] {
             window->showRunLog(path("program/logs/") +
                                QDir(path("program/logs")).entryList(QDir::Files).last());
         }},
    };
    for (const int points : {9, 11, 14}) {
        QFont font = original;
        font.setPointSize(points);
        QApplication::setFont(font);
        gate.open();
        window.reset();
        gate.close();
        open();
        // Enter starts a run: Start has the focus; Alt and a letter open a menu.
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        EXPECT_EQ(QApplication::focusWidget(), window->cmdStart);
        QTest::keyClick(window.get(), Qt::Key_F, Qt::AltModifier);
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->mnuFile->isVisible(); }, 2000));
        window->mnuFile->hide();
        QTest::keyClick(window->cmdStart, Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !runLog().isEmpty(); }, 30000));
        expectFits(window.get(), true);
        for (const Box &box : boxes) {
            SCOPED_TRACE(std::string(box.what) + " at " + std::to_string(points) + " pt");
            // A box that comes on its own (open is none) may be up already.
            QWidget *const under = box.open ? QApplication::activeModalWidget() : nullptr;
            const ModalWatch<> look(
                [&](QWidget *shown) {
                    expectTheRunToGoOn();
                    if (box.kind != std::string("QFileDialog"))
                        expectFits(shown, box.kind[0] != 'Q');
                    if (box.more)
                        box.more(shown);
                    QPointer<QWidget> open = shown;
                    auto *message = qobject_cast<QMessageBox *>(shown);
                    if (message) {
                        EXPECT_EQ(message->defaultButton(), message->button(box.defaultButton));
                    }
                    QTest::keyClick(shown->windowHandle(),
                                    message ? Qt::Key_Return : Qt::Key_Escape);
                    EXPECT_TRUE(QTest::qWaitFor([&] { return !open || !open->isVisible(); }))
                        << "the key left it open";
                },
                [&](QWidget *shown) { return shown != under && shown->inherits(box.kind); });
            if (box.open)
                box.open();
            EXPECT_TRUE(QTest::qWaitFor([&] { return look.seen(); }, 30000)) << "never opened";
        }
        // Enter on the offer opened the reader: the help page itself.
        QList<QTextBrowser *> readers;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (top->isVisible())
                readers += top->findChildren<QTextBrowser *>();
        ASSERT_EQ(readers.size(), 1);
        expectFits(readers.first()->window(), true);
        EXPECT_TRUE(readers.first()->toPlainText().contains(u"Sorvik"_s));
        readers.first()->window()->close();
        // Nothing above ended the run or the program, and the tasks are all there.
        EXPECT_FALSE(window->cmdStart->isEnabled());
        EXPECT_EQ(QDir(path("cron.d")).entryList(QDir::Files).size(), 1);
    }
}

} // namespace
