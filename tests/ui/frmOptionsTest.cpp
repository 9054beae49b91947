#include "ui/frmOptions.h"

#include "support/TestEnvironment.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <sys/stat.h>

namespace {

class frmOptionsTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
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

} // namespace
