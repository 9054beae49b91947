// Obfuscated archives, end to end: the built program run as a scheduled task runs it over a
// logging folder with planted identifiers, the archive read back by Python's zipfile.
#include "support/ArchiveReader.h"
#include "support/ProcessFixture.h"

#include <QSettings>

#include <sys/stat.h>

namespace {

class CleanedArchiveTest : public ProcessTest {
protected:
    void deliverTo(const QString &folder) const
    {
        QDir().mkpath(path(folder));
        storeArchiveFolder(path(folder + u"/"_s));
    }
    QString archiveIn(const QString &folder) const
    {
        const QStringList found = QDir(path(folder)).entryList({u"*.ZIP"_s}, QDir::Files);
        return found.size() == 1 ? path(folder + u"/"_s + found.first()) : QString();
    }
    QByteArray python(const QStringList &arguments, int *status = nullptr) const
    {
        QProcess process;
        process.start(u"python3"_s, arguments);
        EXPECT_TRUE(process.waitForFinished(120000));
        if (status)
            *status = process.exitCode();
        return process.readAllStandardOutput();
    }
};

// None of the planted identifiers is left, every near-miss is; what cannot be cleaned stays out
// and is said; a second run gives the same stand-ins; a secret others may read stops the run;
// --reveal gives the text back byte for byte.
TEST_F(CleanedArchiveTest, PlantedIdentifiersAreReplacedConsistentlyAndRevealed)
{
    simulate(
        {u"--data"_s, u"2"_s, u"--diag"_s, u"2"_s, u"--plant-identifiers"_s, path("list.tsv")});
    writeFile("orvel/logs/data_packed.bin", QByteArray("\x01\x00\x02\x00records", 11));
    writeFile("orvel/logs/data_safe.gz", QByteArray("\x1f\x8b\x08\x00zipped", 10));
    writeFile("orvel/logs/data_utf16.log", QByteArray("\xff\xfe"
                                                      "1\0.\0"
                                                      "2\0",
                                                      8));
    writeFile("orvel/logs/data_longline.log", QByteArray(1100000, 'x') + "\n");
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, u"Sorvik"_s, u"Sorvik"_s);
    settings.setValue(u"Archive/Obfuscate"_s, true);
    settings.setValue(u"Archive/ObfuscateWords"_s, path("orvel/obfuscate-words.txt"));
    settings.setValue(u"Archive/ObfuscateSafe"_s, u"*.gz data_nothing.*"_s);
    settings.sync();
    // A secret of the test's own: what the stand-ins are is the same in every run of it.
    writeFile("config/Sorvik/obfuscation.key", QByteArray(64, '7') + "\n");
    ASSERT_EQ(::chmod(QFile::encodeName(path("config/Sorvik/obfuscation.key")).constData(), 0600),
              0);
    deliverTo(u"first"_s);
    EXPECT_EQ(run({u"/Silent"_s}).status, 1);
    const QString first = archiveIn(u"first"_s);
    ASSERT_FALSE(first.isEmpty());
    int status = -1;
    const QByteArray counted = python(
        {QStringLiteral(SORVIK_SOURCE_DIR "/tests/support/planted.py"), path("list.tsv"), first},
        &status);
    EXPECT_EQ(status, 0) << counted.toStdString();
    const auto content = readArchive(first);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->count(u"data_safe.gz"_s), 1u);
    for (const char *left : {"data_packed.bin", "data_utf16.log", "data_longline.log"})
        EXPECT_EQ(content->count(QLatin1String(left)), 0u) << left;
    const QString log = runLogText();
    EXPECT_TRUE(log.contains(u"(warning) not archived, not text, so it cannot be cleaned, and "
                             "ObfuscateSafe does not list it:"_s +
                             path("orvel/logs/data_packed.bin")));
    EXPECT_TRUE(log.contains(u"(error) not archived, its text is in an encoding"_s));
    EXPECT_TRUE(
        log.contains(u"data_longline.log, error=it has a line longer than 1048576 bytes"_s));
    EXPECT_TRUE(log.contains(u"Cleaned "_s + path("orvel/logs/data_planted.log") + u": 5 IPv4"_s));
    for (const QByteArray &row : readFile("list.tsv").split('\n').mid(1))
        if (row.count('\t') == 6 && row.split('\t')[1] != "0" &&
            row.split('\t')[2] != "near-miss") {
            EXPECT_FALSE(log.contains(QString::fromLatin1(row.split('\t')[4])))
                << row.toStdString();
        }

    // A secret that others may read is no secret: no archive at all.
    const QByteArray key = QFile::encodeName(path("config/Sorvik/obfuscation.key"));
    ASSERT_EQ(::chmod(key.constData(), 0644), 0);
    QDir(path("program/logs")).removeRecursively();
    deliverTo(u"refused"_s);
    EXPECT_EQ(run({u"/Silent"_s}).status, 1);
    EXPECT_TRUE(archiveIn(u"refused"_s).isEmpty());
    EXPECT_TRUE(runLog().last().contains(u"(error) the archive cannot be cleaned: the obfuscation "
                                         "key"_s));
    ASSERT_EQ(::chmod(key.constData(), 0600), 0);

    for (const char *name : {"data_packed.bin", "data_utf16.log", "data_longline.log"})
        QFile::remove(path("orvel/logs/") + QLatin1String(name));
    deliverTo(u"second"_s);
    EXPECT_EQ(run({u"/Silent"_s}).status, 0);
    const QString planted = u"data_planted.log"_s;
    const auto second = readArchive(archiveIn(u"second"_s));
    ASSERT_TRUE(second && second->count(planted));
    EXPECT_EQ(second->at(planted).sha256, content->at(planted).sha256);
    EXPECT_NE(content->at(planted).sha256, fileDigest(path("orvel/logs/") + planted));
    writeFile("cleaned.log", python({u"-c"_s,
                                     u"import sys, zipfile; sys.stdout.buffer.write(zipfile."
                                     "ZipFile(sys.argv[1]).read(sys.argv[2]))"_s,
                                     first, planted}));
    const Outcome revealed = run({u"--reveal"_s, u"--file"_s, path("cleaned.log")});
    EXPECT_EQ(revealed.status, 0) << revealed.errors.toStdString();
    EXPECT_EQ(revealed.output, readFile("orvel/logs/data_planted.log"));
}

} // namespace
