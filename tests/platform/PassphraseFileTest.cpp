#include "platform/PassphraseFile.h"

#include "support/OwnedFile.h"
#include "support/TestEnvironment.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class PassphraseFileTest : public TempEnvironment {
protected:
    bool make(const char *name, const QByteArray &content, mode_t mode = 0600,
              uid_t owner = ::geteuid()) const
    {
        return writeOwnedFile(path(name), content, mode, owner);
    }
    QByteArray passphraseOf(const char *name) const
    {
        const auto passphrase = readPassphraseFile(path(name));
        return QByteArray(passphrase->data(), qsizetype(passphrase->size()));
    }
};

TEST_F(PassphraseFileTest, TheFirstLineWithoutItsLineBreakIsThePassphrase)
{
    const QByteArray longest(passphraseLimit, 'x');
    const struct {
        QByteArray content;
        QByteArray passphrase;
    } cases[] = {
        {"secret\nsecond line\n", "secret"},
        {"secret", "secret"},
        {"made on Windows\r\nmore", "made on Windows"},
        {" blanks and \xc3\xa9 kept \t\n", " blanks and \xc3\xa9 kept \t"},
        {longest + "\r\n", longest},
        {longest, longest},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(make("pass", c.content));
        EXPECT_EQ(passphraseOf("pass"), c.passphrase) << c.content.left(40).toStdString();
    }
    ASSERT_TRUE(make("readonly", "secret\n", 0400));
    EXPECT_EQ(passphraseOf("readonly"), QByteArray("secret"));
}

// A file that anyone else could read or change, or that is not a plain file of this account, is
// refused with its reason; nothing is ever read from it, a FIFO is not waited on.
TEST_F(PassphraseFileTest, AFileThatIsNotPrivateIsRefusedWithItsReason)
{
    ASSERT_TRUE(make("theirs", "secret\n", 0600, nobodyAccount) || ::geteuid() != 0);
    ASSERT_TRUE(make("mine", "secret\n"));
    const struct {
        QString file;
        const char *reason;
        bool made;
    } cases[] = {
        {path("missing"), "No such file or directory", true},
        {path("empty"), "it is empty", make("empty", "")},
        {path("blank"), "its first line is empty", make("blank", "\nsecond\n")},
        {path("crlf"), "its first line is empty", make("crlf", "\r\n")},
        {path("long"), "longer than 99 bytes, the most 7-Zip takes",
         make("long", QByteArray(passphraseLimit + 1, 'x'))},
        {path("group"), "(mode 0640)", make("group", "secret\n", 0640)},
        {path("others"), "(mode 0604)", make("others", "secret\n", 0604)},
        {path("writable"), "(mode 0620)", make("writable", "secret\n", 0620)},
        {path("theirs"), "belongs to the account nobody", ::geteuid() == 0},
        {path("link-theirs"), "it is a symbolic link",
         QFile::link(path("theirs"), path("link-theirs"))},
        {path("link-mine"), "it is a symbolic link", QFile::link(path("mine"), path("link-mine"))},
        {path("dangling"), "it is a symbolic link", QFile::link(path("gone"), path("dangling"))},
        {path("config"), "it is a folder", true},
        {path("fifo"), "not a regular file",
         ::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600) == 0},
        {u"/dev/null"_s, "not a regular file", true},
        {u"relative/pass"_s, "its path is not absolute", true},
    };
    HangGuard guard;
    for (const auto &c : cases) {
        ASSERT_TRUE(c.made || c.file == path("theirs")) << c.file.toStdString();
        if (!c.made)
            continue;
        const auto failure = failureOf([&] { readPassphraseFile(c.file); });
        const QString refusal = failure ? failure->description() : QString();
        EXPECT_TRUE(refusal.startsWith(u"the passphrase file "_s + c.file + u" cannot be used: "_s))
            << refusal.toStdString();
        EXPECT_TRUE(refusal.contains(QLatin1String(c.reason))) << refusal.toStdString();
    }
}

} // namespace
