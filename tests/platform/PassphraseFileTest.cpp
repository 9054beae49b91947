#include "platform/PassphraseFile.h"

#include "support/OwnedFile.h"
#include "support/TestEnvironment.h"

#include <QFile>

#include <sys/prctl.h>
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
};

// The first line without its line break is the passphrase. A file that anyone else could read or
// change, or that is not a plain file of this account, is refused with its reason; nothing is ever
// read from it, a FIFO is not waited on.
TEST_F(PassphraseFileTest, TheFirstLineOfAPrivateFileOrTheReasonItIsRefused)
{
    const QByteArray longest(passphraseLimit, 'x');
    ASSERT_TRUE(make("theirs", "secret\n", 0600, nobodyAccount) || ::geteuid() != 0);
    ASSERT_TRUE(make("mine", "secret\n"));
    const struct {
        QString file;
        QByteArray read; // the passphrase; "refused: " and the reason when it is refused
        bool made;
    } cases[] = {
        {path("lines"), "secret", make("lines", "secret\nsecond line\n")},
        {path("one"), "secret", make("one", "secret")},
        {path("crlf"), "made on Windows", make("crlf", "made on Windows\r\nmore")},
        {path("blanks"), " blanks and \xc3\xa9 kept \t",
         make("blanks", " blanks and \xc3\xa9 kept \t\n")},
        {path("longest"), longest, make("longest", longest + "\r\n")},
        {path("longest-alone"), longest, make("longest-alone", longest)},
        {path("readonly"), "secret", make("readonly", "secret\n", 0400)},
        {path("bom"), "secret", make("bom", "\xef\xbb\xbfsecret\r\n")},
        {path("bom-longest"), longest, make("bom-longest", "\xef\xbb\xbf" + longest + "\r\n")},
        {path("utf16"), "refused: not UTF-8",
         make("utf16", QByteArray("\xff\xfes\0e\0\r\0\n\0", 10))},
        {path("utf16-unmarked"), "refused: not UTF-8", make("utf16-unmarked", {"s\0e\0\n\0", 6})},
        {path("cr"), "refused: a control or invisible character", make("cr", "old\rmac\r")},
        {path("c1"), "refused: a control or invisible character", make("c1", "a\xc2\x85z\n")},
        {path("bom2"), "refused: a control or invisible character",
         make("bom2", "\xef\xbb\xbf\xef\xbb\xbfz")},
        {path("missing"), "refused: No such file or directory", true},
        {path("empty"), "refused: it is empty", make("empty", "")},
        {path("blank"), "refused: its first line is empty", make("blank", "\nsecond\n")},
        {path("crlf-only"), "refused: its first line is empty", make("crlf-only", "\r\n")},
        {path("long"), "refused: longer than 99 bytes, the most 7-Zip takes",
         make("long", QByteArray(passphraseLimit + 1, 'x'))},
        {path("group"), "refused: (mode 0640)", make("group", "secret\n", 0640)},
        {path("others"), "refused: (mode 0604)", make("others", "secret\n", 0604)},
        {path("writable"), "refused: (mode 0620)", make("writable", "secret\n", 0620)},
        {path("theirs"), "refused: belongs to the account nobody", ::geteuid() == 0},
        {path("linked"), "refused: it has 2 names (a hard link)",
         ::link(QFile::encodeName(path("mine")), QFile::encodeName(path("linked"))) == 0},
        {path("link-theirs"), "refused: it is a symbolic link",
         QFile::link(path("theirs"), path("link-theirs"))},
        {path("link-mine"), "refused: it is a symbolic link",
         QFile::link(path("mine"), path("link-mine"))},
        {path("dangling"), "refused: it is a symbolic link",
         QFile::link(path("gone"), path("dangling"))},
        {path("config"), "refused: it is a folder", true},
        {path("fifo"), "refused: not a regular file",
         ::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600) == 0},
        {u"/dev/null"_s, "refused: not a regular file", true},
        // What was typed may be the passphrase itself: it is not said.
        {u"correct horse"_s, "refused: not absolute (not repeated here", true},
    };
    HangGuard guard;
    for (const auto &c : cases) {
        ASSERT_TRUE(c.made || c.file == path("theirs")) << c.file.toStdString();
        if (!c.made)
            continue;
        QByteArray read;
        // A process holding the passphrase is never dumped.
        ::prctl(PR_SET_DUMPABLE, 1);
        const auto failure = failureOf([&] {
            const auto passphrase = readPassphraseFile(c.file);
            EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0);
            read = QByteArray(passphrase->data(), qsizetype(passphrase->size()));
        });
        const QString refusal = failure ? failure->description() : QString();
        const QString named = c.file.startsWith(u'/') ? c.file + u' ' : QString();
        EXPECT_TRUE(failure ? c.read.startsWith("refused: ") &&
                                  refusal.startsWith(u"the passphrase file "_s + named +
                                                     u"cannot be used: "_s) &&
                                  refusal.contains(QString::fromUtf8(c.read.mid(9))) &&
                                  (!named.isEmpty() || !refusal.contains(c.file))
                            : read == c.read)
            << c.file.toStdString() << ": "
            << (failure ? refusal.toStdString() : read.toStdString());
    }
}

} // namespace
