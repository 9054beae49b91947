#include "app/ArchiveOptions.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFileInfo>

#include <utime.h>

namespace {

using ArchiveOptionsTest = TempEnvironment;

// Saving what is stored, or defaults where nothing is, leaves the file as it was.
TEST_F(ArchiveOptionsTest, NothingIsWrittenWhenNothingChanged)
{
    const auto program = makeProgram();
    const QString ini = path("config/Sorvik/Sorvik.ini");
    SaveArchiveOptions(*program, {});
    EXPECT_FALSE(QFileInfo::exists(ini));
    // Each value is read back as it was saved, blanks and commas too.
    const ArchiveOptions all{u"/p, q"_s, 1, 2, true, u"/w"_s, u"data_*.gz *.bin"_s};
    SaveArchiveOptions(*program, all);
    EXPECT_EQ(LoadArchiveOptions(*program).options, all);
    writeFile("config/Sorvik/Sorvik.ini", "[Archive]\nKeepDays=7\n");
    const utimbuf old{1000000, 1000000};
    ASSERT_EQ(::utime(QFile::encodeName(ini).constData(), &old), 0);
    SaveArchiveOptions(*program, {QString(), 7, 0});
    EXPECT_EQ(QFileInfo(ini).lastModified().toSecsSinceEpoch(), 1000000);
    SaveArchiveOptions(*program, {QString(), 8, 0});
    EXPECT_EQ(readFile("config/Sorvik/Sorvik.ini"), QByteArray("[Archive]\nKeepDays=8\n"));
}

// A value that is there but cannot be read is a problem that names it, never its default; the
// other values still count. A settings file that cannot be read is a problem for every value.
TEST_F(ArchiveOptionsTest, AValueThatCannotBeReadIsAProblemNotADefault)
{
    const auto program = makeProgram();
    const QString ini = path("config/Sorvik/Sorvik.ini");
    // Each line's key, as it stands before its "=", and what the problem says of its value.
    const std::pair<QByteArray, QString> cases[] = {
        {"KeepDays=abc", u"\"abc\" is not a whole number from 0 to 99999"_s},
        {"KeepDays=-1", u"\"-1\""_s},
        {"KeepDays=+5", u"\"+5\""_s},
        {"KeepDays=1.5", u"\"1.5\""_s},
        {"KeepDays=100000", u"\"100000\""_s},
        {"KeepDays=99999999999999999999", u"\"99999999999999999999\""_s},
        {"KeepCount=", u"\"\""_s},
        {"KeepCount=\xd9\xa3", u"\"\u0663\""_s},
        {"KeepCount=1,2", u"\"1,2\""_s},
        {"PassphraseFile=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)", u"not written as text"_s},
        {"Obfuscate=yes", u"\"yes\" is neither true nor false"_s},
    };
    for (const auto &[line, said] : cases) {
        const QString key = QString::fromLatin1(line.left(line.indexOf('=')));
        writeFile("config/Sorvik/Sorvik.ini",
                  "[Archive]\nPassphraseFile=/p\nKeepDays=3\nKeepCount=4\n" + line + "\n");
        const StoredArchiveOptions stored = LoadArchiveOptions(*program);
        ASSERT_EQ(stored.problems.size(), 1u) << line.toStdString();
        EXPECT_EQ(stored.problems[0].key, key);
        EXPECT_TRUE(stored.problems[0].text.startsWith(
            u"the setting "_s + key + u" in [Archive] of "_s + ini + u" cannot be read: "_s))
            << stored.problems[0].text.toStdString();
        EXPECT_TRUE(stored.problems[0].text.contains(said))
            << stored.problems[0].text.toStdString();
        EXPECT_FALSE(stored.readable(key));
        EXPECT_EQ(stored.options.KeepCount, key == u"KeepCount"_s ? 0 : 4);
    }
    for (const QByteArray &broken : {QByteArray("[Archive\nKeepDays=3\n"), QByteArray()}) {
        QFile::remove(ini);
        if (broken.isEmpty())
            QDir().mkpath(ini);
        else
            writeFile("config/Sorvik/Sorvik.ini", broken);
        EXPECT_EQ(LoadArchiveOptions(*program).problems.size(), 6u) << broken.toStdString();
    }
    // Letter case aside, a key that is none of the group's, or one of its keys in a group that is
    // not it (misspelt), stops runs.
    QDir(ini).removeRecursively();
    writeFile("config/Sorvik/Sorvik.ini",
              "[archive]\npasphrasefile=/p\nKEEPDAYS=3\n[Achive]\nobfuscate=true\n");
    const StoredArchiveOptions misspelt = LoadArchiveOptions(*program);
    ASSERT_EQ(misspelt.problems.size(), 2u);
    EXPECT_TRUE(misspelt.problems[0].stopsRuns() && misspelt.problems[1].stopsRuns() &&
                misspelt.problems[1].text.contains(u"obfuscate in [Achive]"_s) &&
                misspelt.problems[0].text.contains(u"pasphrasefile in [Archive]"_s));
    EXPECT_EQ(misspelt.options.KeepDays, 3);
}

} // namespace
