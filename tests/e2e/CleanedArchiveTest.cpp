// Obfuscated archives, end to end: the built program run as a scheduled task runs it over a
// logging folder with planted identifiers, the archive read back by Python's zipfile.
#include "platform/NativePath.h"
#include "support/ArchiveReader.h"
#include "support/ProcessFixture.h"

#include <sys/stat.h>

namespace {

using CleanedArchiveTest = ProcessTest;

// None of the planted identifiers is left, every near-miss is; what cannot be cleaned stays out
// and is said; a second run gives the same stand-ins; a secret others may read stops the run;
// --reveal gives the text back byte for byte.
TEST_F(CleanedArchiveTest, PlantedIdentifiersAreReplacedConsistentlyAndRevealed)
{
    simulate(
        {u"--data"_s, u"2"_s, u"--diag"_s, u"2"_s, u"--plant-identifiers"_s, path("list.tsv")});
    writeFile("orvel/logs/data_packed.bin", QByteArray("\x01\x00\x02\x00records", 11));
    writeFile("orvel/logs/data_safe.gz", QByteArray("\x1f\x8b\x08\x00zipped", 10));
    writeFile("orvel/logs/data_utf16.log", QByteArray("\xff\xfe\x31\0.\0\x32\0", 8));
    writeFile("orvel/logs/data_longline.log", QByteArray(1100000, 'x') + "\n");
    // Cleaned, and named by the archive's rules: the name the run log states is the entry's.
    writeFile("orvel/logs/data_10.9.9.9\\up.log", "record\n");
    // Its stand-ins are longer: cleaned, its name would pass 255 bytes.
    const QString longName = u"data_"_s + u"1.2.3.4 "_s.repeated(30) + u"log"_s;
    writeFile(u"orvel/logs/"_s + longName, "record\n");
    // Its readable copy cannot be named, and raw its messages are hexadecimal digits.
    const QString longDiag = u"diag_"_s + QString(244, u'a') + u".log"_s;
    writeFile(u"orvel/logs/"_s + longDiag,
              "000001A2415F8683|0A3C|3|1|" + QByteArray("peer 10.1.2.3").toHex() + "\r\n");
    // A name that is no UTF-8 keeps its bytes, cleaned as well.
    const QByteArray latin = "/data_caf\xe9.log";
    writeFile("latin", "record\n");
    ASSERT_EQ(
        ::rename(QFile::encodeName(path("latin")), QFile::encodeName(path("orvel/logs")) + latin),
        0);
    // Saved by Notepad: a byte-order mark, then the first word.
    const QByteArray words = readFile("orvel/obfuscate-words.txt");
    writeFile("orvel/obfuscate-words.txt", "\xef\xbb\xbf" + words.mid(words.indexOf('\n') + 1));
    writeFile("config/Sorvik/Sorvik.ini",
              "[Archive]\nObfuscate=true\nObfuscateSafe=*.gz data_nothing.*\n"
              "ObfuscateWords=" +
                  QFile::encodeName(path("orvel/obfuscate-words.txt")) + "\n");
    // A secret of the test's own: what the stand-ins are is the same in every run of it.
    const QByteArray key = QFile::encodeName(path("config/Sorvik/obfuscation.key"));
    writeFile("config/Sorvik/obfuscation.key", QByteArray(64, '7') + "\n");
    ASSERT_EQ(::chmod(key.constData(), 0600), 0);
    // A run into a folder of its own, and the one archive it delivered there.
    const auto runInto = [&](const QString &folder, int status) {
        QDir(path("program/logs")).removeRecursively();
        QDir().mkpath(path(folder));
        storeArchiveFolder(path(folder + u"/"_s));
        EXPECT_EQ(run({u"/Silent"_s}).status, status) << folder.toStdString();
        const QStringList found = QDir(path(folder)).entryList({u"*.ZIP"_s}, QDir::Files);
        return found.size() == 1 ? path(folder + u"/"_s + found.first()) : QString();
    };
    const QString first = runInto(u"first"_s, 1);
    ASSERT_FALSE(first.isEmpty());
    const Ran recall = runScript(u"support/planted.py"_s, {path("list.tsv"), first});
    EXPECT_EQ(recall.status, 0) << recall.output.toStdString();
    const auto content = readArchive(first);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->count(u"data_safe.gz"_s), 1u);
    EXPECT_EQ(content->count(decodeNativePath(latin.mid(1))), 1u);
    for (const QString &left : {u"data_packed.bin"_s, u"data_utf16.log"_s, u"data_longline.log"_s,
                                longDiag, longDiag + u".fmtd.txt"_s})
        EXPECT_EQ(content->count(left), 0u) << left.toStdString();
    EXPECT_EQ(content->size(), 12u);
    const QString log = runLogText();
    for (const auto &[name, entry] : *content)
        if (name.endsWith(u"%5Cup.log"_s)) {
            EXPECT_TRUE(!name.contains(u"10.9.9.9"_s) &&
                        log.contains(u"(in the archive: "_s + name + u")"_s))
                << name.toStdString();
        }
    EXPECT_EQ(log.count(u"%5Cup.log)"_s), 1);
    EXPECT_TRUE(log.contains(u"(warning) not archived, not text, so it cannot be cleaned, and "
                             "ObfuscateSafe does not list it:"_s +
                             path("orvel/logs/data_packed.bin")));
    EXPECT_TRUE(log.contains(u"(error) not archived, its text is in an encoding"_s));
    EXPECT_TRUE(log.contains(u"(error) not archived, its name once cleaned would pass the 255 "
                             "bytes a file name may hold:"_s +
                             path(u"orvel/logs/"_s + longName)));
    EXPECT_TRUE(
        log.contains(u"data_longline.log, error=it has a line longer than 1048576 bytes"_s));
    EXPECT_TRUE(log.contains(path(u"orvel/logs/"_s + longDiag) +
                             u" - not archived: a raw diagnostic file cannot be cleaned."_s));
    EXPECT_TRUE(log.contains(u"Cleaned "_s + path("orvel/logs/data_planted.log") + u": 5 IPv4"_s));
    for (const QByteArray &row : readFile("list.tsv").split('\n').mid(1))
        if (row.count('\t') == 6 && row.split('\t')[1] != "0" &&
            row.split('\t')[2] != "near-miss") {
            EXPECT_FALSE(log.contains(QString::fromLatin1(row.split('\t')[4])))
                << row.toStdString();
        }

    // A secret that others may read is no secret: no archive at all.
    ASSERT_EQ(::chmod(key.constData(), 0644), 0);
    EXPECT_TRUE(runInto(u"refused"_s, 1).isEmpty());
    EXPECT_TRUE(runLog().last().contains(u"(error) the archive cannot be cleaned: the obfuscation "
                                         "key"_s));
    ASSERT_EQ(::chmod(key.constData(), 0600), 0);

    for (const QString &name :
         {u"data_packed.bin"_s, u"data_utf16.log"_s, u"data_longline.log"_s, longName, longDiag})
        QFile::remove(path("orvel/logs/") + name);
    const QString planted = u"data_planted.log"_s;
    const auto second = readArchive(runInto(u"second"_s, 0));
    ASSERT_TRUE(second && second->count(planted));
    EXPECT_EQ(second->at(planted).sha256, content->at(planted).sha256);
    EXPECT_NE(content->at(planted).sha256, fileDigest(path("orvel/logs/") + planted));
    const Outcome revealed =
        runThrough(u"unzip -p '%1' %2 > '%3' &&"_s.arg(first, planted, path("cleaned.log")),
                   {u"--reveal"_s, u"--file"_s, path("cleaned.log")});
    EXPECT_EQ(revealed.status, 0) << revealed.errors.toStdString();
    EXPECT_EQ(revealed.output, readFile("orvel/logs/data_planted.log"));
    const Outcome folder = runThrough({}, {u"--reveal"_s, u"--file"_s, path("orvel")});
    EXPECT_EQ(folder.status, 1);
    EXPECT_TRUE(folder.errors.contains(
        (u"cannot read "_s + path("orvel") + u": Is a directory"_s).toUtf8()))
        << folder.errors.toStdString();
}

} // namespace
