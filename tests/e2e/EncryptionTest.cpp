// Encrypted archives where the run table cannot go: the window's refusal, and an entry past 4 GiB.
#include "archive/ArchiveRun.h"

#include "e2e/RunTable.h"
#include "support/ArchiveReader.h"
#include "support/Ending.h"
#include "support/Noise.h"
#include "support/OwnedFile.h"

namespace {

const QByteArray secret = "Tr0ub4dor & 3 \xc3\xa9";

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

// An entry past 4 GiB takes the ZIP64 sizes: a file of 4 GiB and a byte, compressed and encrypted
// by the program and extracted by 7-Zip, compared byte for byte. Between a MiB of heartbeat lines
// at its start and the byte at its end the file is a hole: CI machines may have only a few GiB of
// disk, and the run keeps the archive twice (staged and delivered).
TEST_F(RunTable, AnEntryPastFourGiBComesBackWhole)
{
    setUpWell({u"--data"_s, u"1"_s, u"--diag"_s, u"0"_s, u"--other"_s, u"0"_s});
    writeFile("orvel/logs/data_big.log", logText(1 << 20, 1));
    QFile big(path("orvel/logs/data_big.log"));
    ASSERT_TRUE(big.resize(qint64(4096) << 20) && big.open(QIODevice::Append) && big.write("x"));
    big.close();
    ASSERT_TRUE(writeOwnedFile(path("secret/pass"), secret + "\n", 0600));
    settings().setValue(u"Archive/PassphraseFile"_s, path("secret/pass"));
    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 0) << outcome.errors.toStdString();
    ASSERT_EQ(archiveFolderFiles().size(), 1);
    const QString archive = path("archive/") + archiveFolderFiles().first();

    const Ran compared = runTool(
        u"/bin/sh"_s, {u"-c"_s,
                       u"7z l -slt -p\"$2\" \"$0\" | grep -qx 'Size = 4294967297' && "
                       "7z x -so -p\"$2\" \"$0\" data_big.log | cmp - \"$1\""_s,
                       archive, path("orvel/logs/data_big.log"), QString::fromUtf8(secret)});
    EXPECT_EQ(compared.status, 0) << compared.output.toStdString() << compared.errors.toStdString();
    EXPECT_EQ(refusedEntries(archive, "wrong").sevenZip, 2);
    QFile::remove(path("orvel/logs/data_big.log"));
}

} // namespace
