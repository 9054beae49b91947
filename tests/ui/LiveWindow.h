#pragma once

// The real main window as the program opens it, the real boxes, and a real archive run in it at
// the pace the test sets.
#include "ui/QtDialogs.h"
#include "ui/frmMain.h"

#include "support/Ending.h"
#include "support/FaultyFileSystem.h"
#include "support/ModalWatch.h"

#include <QDir>
#include <QMessageBox>
#include <QTest>

#include <condition_variable>
#include <mutex>

inline QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

inline QByteArray contentOf(const QString &file)
{
    QFile read(file);
    return read.open(QIODevice::ReadOnly) ? read.readAll() : QByteArray();
}

// The newest run log's bytes so far, of the program under `base`.
inline QByteArray newestRunLog(const QString &base)
{
    const QStringList logs = filesIn(base + u"/program/logs"_s);
    return logs.isEmpty() ? QByteArray() : contentOf(base + u"/program/logs/"_s + logs.last());
}

// Lets the run take its diagnostic files one by one, in the order it takes them, as the test
// gives them.
class Gate {
public:
    ~Gate() { open(); }
    void take(qsizetype position)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_open || position < m_allowed; });
    }
    void give(int files)
    {
        const std::lock_guard lock(m_mutex);
        m_allowed += files;
        m_changed.notify_all();
    }
    void open()
    {
        const std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void close()
    {
        const std::lock_guard lock(m_mutex);
        m_open = false;
        m_allowed = 0;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qsizetype m_allowed = 0;
    bool m_open = false;
};

class ProbedMain : public frmMain {
public:
    using frmMain::closeEvent;
    using frmMain::frmMain;
};

class LiveWindow : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        simulate({u"--data"_s, u"2"_s, u"--diag"_s, QString::number(diagFiles), u"--diag-size"_s,
                  u"300"_s});
        QDir().mkpath(path("archive"));
        storeArchiveFolder(path("archive/"));
        interactiveDialogs = &real;
        // A box no watch takes would wait for a click for ever: it fails the test and goes.
        QObject::connect(&unclaimed, &QTimer::timeout, [] {
            QWidget *shown = QApplication::activeModalWidget();
            if (!shown || shown->property("sorvik_watched").toBool())
                return;
            const QDateTime now = QDateTime::currentDateTime();
            if (!shown->property("sorvik_since").isValid()) {
                shown->setProperty("sorvik_since", now);
            } else if (shown->property("sorvik_since").toDateTime().msecsTo(now) > 20000) {
                const auto *box = qobject_cast<QMessageBox *>(shown);
                ADD_FAILURE() << "a box nobody expected: " << shown->windowTitle().toStdString()
                              << " " << (box ? box->text().toStdString() : "");
                if (auto *dialog = qobject_cast<QDialog *>(shown))
                    dialog->done(QDialog::Rejected);
                else
                    shown->close();
            }
        });
        unclaimed.start(200);
    }
    void TearDown() override
    {
        unclaimed.stop();
        gate.open();
        window.reset();
        TempEnvironment::TearDown();
    }

    // The window as the program opens it (its load handler takes the lock, the stored folder and
    // the served product's word), shown. `rig` sets the hooks of the file-system layer the run
    // works through; by default the run waits at each diagnostic file for the gate.
    void open(const std::function<void(FaultyFileSystem &)> &rig = {})
    {
        auto fs = std::make_unique<FaultyFileSystem>();
        if (rig) {
            rig(*fs);
        } else {
            QStringList order;
            for (const File &file : FileSystem().GetFolder(path("orvel/logs")).Files)
                order << file.Path();
            fs->before = [this, order](const QString &op, const QString &file) {
                if (op == u"OpenTextFile"_s && order.contains(file))
                    gate.take(order.indexOf(file));
            };
        }
        window.reset();
        program = makeProgram(u"program"_s, std::move(fs));
        window = std::make_unique<ProbedMain>(*program);
        real.setOwner(window.get());
        ASSERT_EQ(endStatusOf([&] { window->Form_Load({}); }), std::nullopt);
        window->show();
    }

    // The events of the newest run log's whole lines: the run may be writing it, even its header.
    QStringList runLog() const
    {
        const QByteArray bytes = newestRunLog(path(""));
        const qsizetype end = bytes.lastIndexOf(QByteArray("\r\0\n\0", 4));
        return end < 0 ? QStringList() : runLogEvents(bytes.left(end + 4));
    }

    // The run's file, the window's pane and its bar all move by what two more files bring: the
    // bar, fed from the run's thread, once stood at "0 of N files" while the run went on.
    void expectTheRunToGoOn()
    {
        const QStringList lines = runLog();
        const QString pane = window->txtLogOutput->toPlainText();
        const int done = window->ProgressBar->value();
        gate.give(2);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return runLog() != lines && window->txtLogOutput->toPlainText() != pane &&
                       window->ProgressBar->value() > done &&
                       window->ProgressBar->text().contains(u" of "_s);
            },
            30000))
            << "the run stood still, or its bar did: " << window->ProgressBar->text().toStdString();
    }

    // Presses `button` on the next box whose text starts so, once it is seen to have
    // `byDefault` (unless none) as its default button.
    static std::unique_ptr<ModalWatch<QMessageBox>>
    press(QMessageBox::StandardButton button, const QString &startingWith,
          QMessageBox::StandardButton byDefault = QMessageBox::NoButton)
    {
        return std::make_unique<ModalWatch<QMessageBox>>(
            [=](QMessageBox *box) {
                if (byDefault != QMessageBox::NoButton) {
                    EXPECT_EQ(box->defaultButton(), box->button(byDefault));
                }
                box->button(button)->click();
            },
            [startingWith](QMessageBox *box) { return box->text().startsWith(startingWith); });
    }

    // In the logging folder.
    int diagFiles = 6;
    Gate gate;
    QtDialogs real;
    std::unique_ptr<Program> program;
    std::unique_ptr<ProbedMain> window;
    QTimer unclaimed;
};
