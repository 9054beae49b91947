#include "ui/frmOptions.h"

#include "ui/frmMain.h"

#include "support/ArchiveReader.h"
#include "support/ProcessFixture.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

namespace {

class frmOptionsTest : public ProcessTest {
protected:
    void SetUp() override
    {
        ProcessTest::SetUp();
        program = makeProgram();
        writeFile("secret/pass", "the passphrase\n");
        ::chmod(QFile::encodeName(path("secret/pass")).constData(), 0600);
    }
    QByteArray ini() const { return readFile("config/Sorvik/Sorvik.ini"); }
    std::unique_ptr<Program> program;
};

// OK stores what changed and a later window shows it; Cancel and Escape store nothing; a
// passphrase file a run would refuse is refused at OK, with its reason, and the window stays.
TEST_F(frmOptionsTest, ValuesRoundTripThroughTheSettingsFile)
{
    {
        frmOptions options(*program);
        options.chooseFile = [&](const QString &start) {
            EXPECT_EQ(start, QString());
            return path("secret/pass");
        };
        options.cmdBrowsePassphraseFile->click();
        options.spnKeepDays->setValue(30);
        options.spnKeepCount->setValue(12);
        options.buttons->button(QDialogButtonBox::Ok)->click();
        EXPECT_EQ(options.result(), QDialog::Accepted);
    }
    EXPECT_TRUE(ini().contains("[Archive]\nKeepCount=12\nKeepDays=30\nPassphraseFile=" +
                               QFile::encodeName(path("secret/pass")) + "\n"))
        << ini().toStdString();
    const QByteArray stored = ini();
    for (const auto &leave : std::vector<std::function<void(frmOptions &)>>{
             [](frmOptions &o) { o.buttons->button(QDialogButtonBox::Cancel)->click(); },
             [](frmOptions &o) { QTest::keyClick(&o, Qt::Key_Escape); },
         }) {
        frmOptions options(*program);
        EXPECT_EQ(options.shown(), (ArchiveOptions{path("secret/pass"), 30, 12}));
        options.show();
        options.txtPassphraseFile->clear();
        options.spnKeepDays->setValue(1);
        leave(options);
        EXPECT_EQ(options.result(), QDialog::Rejected);
        EXPECT_FALSE(options.isVisible());
        EXPECT_EQ(ini(), stored);
    }
    ::chmod(QFile::encodeName(path("secret/pass")).constData(), 0644);
    frmOptions options(*program);
    options.spnKeepDays->setValue(2);
    options.show();
    options.buttons->button(QDialogButtonBox::Ok)->click();
    EXPECT_TRUE(options.isVisible());
    ASSERT_EQ(dialogs.texts.size(), 1u);
    EXPECT_TRUE(dialogs.texts[0].startsWith(u"The passphrase file "_s + path("secret/pass") +
                                            u" cannot be used: "_s))
        << dialogs.texts[0].toStdString();
    EXPECT_EQ(ini(), stored);

    // A stored value that cannot be read is said when the window opens.
    writeFile("config/Sorvik/Sorvik.ini", "[Archive]\nKeepDays=soon\n");
    frmOptions unread(*program);
    ASSERT_EQ(dialogs.texts.size(), 2u);
    EXPECT_TRUE(dialogs.texts[1].contains(u"\"soon\" is not a whole number"_s));
    EXPECT_EQ(unread.spnKeepDays->value(), 0);
}

// The window as the others are: File > Options opens it, every field and button has a tooltip
// and the labels their own access keys, and the text fits from 9 to 14 points within the screen.
TEST_F(frmOptionsTest, TheWindowIsReachedAndFitsItsText)
{
    frmMain main(*program);
    auto *action = main.findChild<QAction *>(u"mnuOptions"_s);
    ASSERT_TRUE(action);
    EXPECT_EQ(action->text(), u"&Options..."_s);
    bool opened = false;
    QTimer::singleShot(0, [&] {
        auto *shown = qobject_cast<frmOptions *>(QApplication::activeModalWidget());
        opened = shown != nullptr;
        if (shown)
            shown->reject();
    });
    action->trigger();
    EXPECT_TRUE(opened);

    const QFont original = QApplication::font();
    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    for (const int points : {9, 14}) {
        QFont font = original;
        font.setPointSize(points);
        QApplication::setFont(font);
        frmOptions options(*program);
        options.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&options));
        EXPECT_TRUE(screen.contains(options.geometry())) << points;
        QStringList keys;
        for (QWidget *w : options.findChildren<QWidget *>()) {
            const QString text =
                w->property(qobject_cast<QGroupBox *>(w) ? "title" : "text").toString();
            const QString what = QString::fromLatin1(w->metaObject()->className()) + u" "_s + text;
            EXPECT_TRUE(options.rect().contains(QRect(w->mapTo(&options, QPoint()), w->size())))
                << points << " " << what.toStdString();
            if (qobject_cast<QLabel *>(w) || qobject_cast<QAbstractButton *>(w)) {
                EXPECT_GE(w->width(), w->sizeHint().width()) << points << what.toStdString();
                EXPECT_GE(w->height(), w->sizeHint().height()) << points << what.toStdString();
            }
            if (qobject_cast<QAbstractButton *>(w) || qobject_cast<QAbstractSpinBox *>(w) ||
                (qobject_cast<QLineEdit *>(w) && !qobject_cast<QAbstractSpinBox *>(w->parent())))
                EXPECT_FALSE(w->toolTip().isEmpty()) << what.toStdString();
            const auto key = QRegularExpression(u"&(\\w)"_s).match(text);
            if (key.hasMatch())
                keys << key.captured(1).toLower();
        }
        keys.sort();
        EXPECT_EQ(keys, (QStringList{u"b"_s, u"e"_s, u"k"_s, u"r"_s, u"u"_s}))
            << keys.join(' ').toStdString();
    }
    QApplication::setFont(original);
}

// A scheduled run after the window changed the options uses them: the archive is encrypted with
// the new passphrase, and this computer's archive beyond the newest two goes.
TEST_F(frmOptionsTest, AScheduledRunUsesWhatTheWindowStored)
{
    simulate();
    QDir().mkpath(path("archive"));
    storeArchiveFolder(path("archive/"));
    const QString computer = QHostInfo::localHostName().section(u'.', 0, 0);
    for (const char *stamp : {"200101_00_00_00", "200102_00_00_00"})
        writeFile(u"archive/LOG_Archive_"_s + computer + u"_"_s + QLatin1String(stamp) + u".ZIP"_s,
                  "old");
    frmOptions options(*program);
    options.txtPassphraseFile->setText(path("secret/pass"));
    options.spnKeepCount->setValue(2);
    options.buttons->button(QDialogButtonBox::Ok)->click();

    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 0) << outcome.errors.toStdString();
    const QStringList left = QDir(path("archive")).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(left.size(), 2) << left.join(' ').toStdString();
    EXPECT_EQ(left[0], u"LOG_Archive_"_s + computer + u"_200102_00_00_00.ZIP"_s);
    EXPECT_TRUE(readEncryptedArchive(path("archive/") + left[1], "the passphrase"));
}

} // namespace
