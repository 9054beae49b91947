// Encrypted archives, end to end: the built program run as a scheduled task runs it, the archive
// read back by 7-Zip and by a reader written from the format's rules.
#include "archive/ArchiveRun.h"

#include "support/ArchiveReader.h"
#include "support/Ending.h"
#include "support/OwnedFile.h"
#include "support/ProcessFixture.h"

#include <QHostInfo>
#include <QSettings>

namespace {

const QByteArray secret = "Tr0ub4dor & 3 \xc3\xa9";

class EncryptionTest : public ProcessTest {
protected:
    void SetUp() override
    {
        ProcessTest::SetUp();
        QDir().mkpath(path("archive"));
        storeArchiveFolder(path("archive/"));
    }
    // The passphrase file as the administrator keeps it, and the setting that names it.
    void usePassphraseFile(const QString &file) const
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, u"Sorvik"_s, u"Sorvik"_s);
        settings.setValue(u"Archive/PassphraseFile"_s, file);
    }
    QString makePassphraseFile() const
    {
        EXPECT_TRUE(writeOwnedFile(path("secret/pass"), secret + "\nnot the passphrase\n", 0600));
        return path("secret/pass");
    }
    QStringList delivered() const
    {
        return QDir(path("archive")).entryList(QDir::Files | QDir::Hidden);
    }
    QStringList zips() const
    {
        return QDir(path("program/ZIPS")).entryList(QDir::Files | QDir::Hidden);
    }
    void expectNoSecretIn(const Outcome &outcome) const
    {
        const QByteArray utf16 =
            QByteArray(reinterpret_cast<const char *>(QString::fromUtf8(secret).utf16()),
                       QString::fromUtf8(secret).size() * 2);
        EXPECT_FALSE(outcome.errors.contains(secret) || outcome.output.contains(secret));
        for (const QString &log : QDir(path("program/logs")).entryList(QDir::Files))
            EXPECT_FALSE(readFile("program/logs/" + log).contains(utf16));
    }
};

// Every entry, the empty one too, comes back byte for byte with the passphrase and none without;
// the archive in ZIPS is the delivered one, encrypted, and nothing else is there.
TEST_F(EncryptionTest, AnEncryptedRunDeliversWhatOnlyThePassphraseOpens)
{
    simulate({u"--data"_s, u"3"_s, u"--diag"_s, u"2"_s, u"--data-size"_s, u"300000"_s});
    writeFile("orvel/logs/data_empty.log", QByteArray());
    usePassphraseFile(makePassphraseFile());
    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 0) << outcome.errors.toStdString();
    expectNoSecretIn(outcome);

    ASSERT_EQ(delivered().size(), 1);
    const QString archive = path("archive/") + delivered().first();
    EXPECT_EQ(zips(), delivered());
    EXPECT_EQ(readFile("program/ZIPS/" + delivered().first()),
              readFile("archive/" + delivered().first()));
    const auto content = readEncryptedArchive(archive, secret);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 6u);
    for (const QString &data : QDir(path("orvel/logs")).entryList({u"data_*"_s}))
        EXPECT_EQ(content->at(data).sha256, fileDigest(path("orvel/logs/") + data));
    EXPECT_EQ(content->at(u"data_empty.log"_s).size, 0);
    EXPECT_EQ(refusedEntries(archive, "Tr0ub4dor & 3"), (Refusals{6, 6}));
    EXPECT_TRUE(
        runLogText().contains(u": "
                              "    The archive is encrypted (AES-256) with the passphrase in "_s +
                              path("secret/pass") + u"\r\n"_s));
}

// A retention value that cannot be read is an error of the run, which still delivers its archive
// and removes nothing.
TEST_F(EncryptionTest, AnUnreadableRetentionValueRemovesNothing)
{
    simulate();
    const QString old = u"LOG_Archive_"_s + QHostInfo::localHostName().section(u'.', 0, 0) +
                        u"_200101_00_00_00.ZIP"_s;
    writeFile("archive/" + old, "old");
    // KeepDays alone would remove it.
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, u"Sorvik"_s, u"Sorvik"_s);
    settings.setValue(u"Archive/KeepDays"_s, 1);
    settings.setValue(u"Archive/KeepCount"_s, u"one"_s);
    settings.sync();
    EXPECT_EQ(run({u"/Silent"_s}).status, 1);
    EXPECT_EQ(delivered().size(), 2);
    EXPECT_TRUE(delivered().contains(old));
    const QStringList errors = runLog().mid(7).filter(u"(error)"_s);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(
        errors[0].endsWith(u"cannot be read: \"one\" is not a whole number from 0 to 99999 - "
                           "no archive is removed from the archive folder."_s))
        << errors[0].toStdString();
}

// A passphrase file that is set but cannot be used stops the run before anything is made: one
// "(error)" line that says why, status 1, nothing delivered, nothing in ZIPS. Each reason for a
// refusal is the passphrase reader's own; two of them prove the run hears it.
TEST_F(EncryptionTest, AnUnusablePassphraseFileStopsTheRunBeforeAnythingIsMade)
{
    simulate();
    const bool asRoot = ::geteuid() == 0;
    const struct {
        QString file;
        const char *reason;
        bool made;
    } cases[] = {
        {path("missing"), "No such file or directory", true},
        {path("empty"), "it is empty", writeOwnedFile(path("empty"), "", 0600)},
        {path("readable"), "(mode 0644)", writeOwnedFile(path("readable"), "secret\n", 0644)},
        {path("theirs"), "belongs to the account nobody",
         asRoot && writeOwnedFile(path("theirs"), "secret\n", 0600, nobodyAccount)},
        {path("secret"), "it is a folder", QDir().mkpath(path("secret"))},
        {path("link"), "it is a symbolic link",
         ::symlink(QFile::encodeName(path("theirs")).constData(),
                   QFile::encodeName(path("link")).constData()) == 0},
    };
    for (const auto &c : cases) {
        if (!c.made)
            continue;
        QDir(path("program/logs")).removeRecursively();
        usePassphraseFile(c.file);
        const Outcome outcome = run({u"/Silent"_s});
        EXPECT_EQ(outcome.status, 1) << c.reason;
        const QStringList lines = runLog();
        EXPECT_EQ(lines.mid(7).filter(u"(error)"_s).size(), 1) << lines.join('\n').toStdString();
        EXPECT_TRUE(lines.last().contains(u": (error) the passphrase file "_s + c.file +
                                          u" cannot be used: "_s))
            << lines.last().toStdString();
        EXPECT_TRUE(lines.last().contains(QLatin1String(c.reason))) << lines.last().toStdString();
        EXPECT_TRUE(delivered().isEmpty()) << c.reason;
        EXPECT_TRUE(zips().isEmpty()) << c.reason;
    }
}

class EncryptionWindowTest : public TempEnvironment {};

// In the window the refusal is a box, and no run starts.
TEST_F(EncryptionWindowTest, TheRefusalIsABoxAndNoRunStarts)
{
    writeServedProduct();
    QDir().mkpath(path("archive"));
    host.folder = path("archive/");
    writeFile("config/Sorvik/Sorvik.ini",
              "[Archive]\nPassphraseFile=" + QFile::encodeName(path("nowhere")) + "\n");
    auto program = makeProgram();
    EXPECT_EQ(runToItsEnd(*program, host), std::nullopt);
    ASSERT_EQ(dialogs.texts.size(), 1u);
    EXPECT_EQ(dialogs.texts[0], u"The passphrase file "_s + path("nowhere") +
                                    u" cannot be used: No such file or directory. No archive is "
                                    "made: see File > Options."_s);
    EXPECT_FALSE(QDir(path("program/ZIPS")).exists());
    EXPECT_FALSE(host.running);
}

// An entry past 4 GiB takes the ZIP64 sizes: a real file of 4 GiB and a byte of heartbeat lines
// (the same 1 MiB over and over, which deflate cannot see across), compressed and encrypted by
// the program and extracted by 7-Zip, compared byte for byte. The slow one of these tests.
TEST_F(EncryptionTest, AnEntryPastFourGiBComesBackWhole)
{
    simulate({u"--data"_s, u"1"_s, u"--diag"_s, u"0"_s, u"--other"_s, u"0"_s});
    QByteArray block;
    for (int i = 0; block.size() < (1 << 20); ++i)
        block += QStringLiteral("2026-12-04 14:05:%1.%2 [0A3C] INFO Telephony: port %3 heartbeat "
                                "%4 state=idle calls=0 queue=0 codec=G.711 jitter=0ms loss=0 "
                                "trunk=PRI-1 alarms=none sync=locked firmware=4.0.1.52\r\n")
                     .arg(i / 1000 % 60, 2, 10, QLatin1Char('0'))
                     .arg(i % 1000, 3, 10, QLatin1Char('0'))
                     .arg(i % 48, 2, 10, QLatin1Char('0'))
                     .arg(i, 8, 10, QLatin1Char('0'))
                     .toLatin1();
    block.truncate(1 << 20);
    {
        QFile big(path("orvel/logs/data_big.log"));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        for (int i = 0; i < 4096; ++i)
            ASSERT_EQ(big.write(block), block.size());
        ASSERT_EQ(big.write("x"), 1);
    }
    usePassphraseFile(makePassphraseFile());
    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 0) << outcome.errors.toStdString();
    ASSERT_EQ(delivered().size(), 1);
    const QString archive = path("archive/") + delivered().first();

    QProcess compare;
    compare.start(u"/bin/sh"_s,
                  {u"-c"_s,
                   u"7z l -slt -p\"$2\" \"$0\" | grep -qx 'Size = 4294967297' && "
                   "7z x -so -p\"$2\" \"$0\" data_big.log | cmp - \"$1\""_s,
                   archive, path("orvel/logs/data_big.log"), QString::fromUtf8(secret)});
    ASSERT_TRUE(compare.waitForFinished(600000));
    EXPECT_EQ(compare.exitCode(), 0) << compare.readAllStandardOutput().toStdString()
                                     << compare.readAllStandardError().toStdString();
    EXPECT_EQ(refusedEntries(archive, "wrong").sevenZip, 2);
    QFile::remove(path("orvel/logs/data_big.log"));
}

} // namespace
