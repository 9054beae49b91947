#include "app/SettingsFile.h"
#include "app/ArchiveFolderSetting.h"
#include "common/Failure.h"
#include "platform/FileSystem.h"

#include "app/Obstacles.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <optional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray stored = "[frmMain]\nArchiveFolderPath=/srv/elsewhere/\n";

class SettingsFileTest : public TempEnvironment {
protected:
    QString ini() const { return path("config/Sorvik/Sorvik.ini"); }
    QString computers() const { return path("etc/sorvik.ini"); }
    static struct stat statOf(const QString &at)
    {
        struct stat st {};
        ::lstat(nativePath(at).constData(), &st);
        return st;
    }
    // What the folder holds besides the settings file: nothing may be left behind.
    QStringList leftovers() const
    {
        QStringList names = QDir(path("config/Sorvik"))
                                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        names.removeAll(u"Sorvik.ini"_s);
        return names;
    }
    // Made once the environment points into the test's own root.
    void SetUp() override
    {
        TempEnvironment::SetUp();
        settings.emplace(u"Sorvik"_s);
    }
    std::optional<SettingsFile> settings;
};

// Never read, never written through or over, and refused at once with why; the computer's
// settings file is read, and so written under, only on the same terms.
TEST_F(SettingsFileTest, WhatIsNotOurOwnRegularFileIsRefusedAndLeftAsItIs)
{
    const HangGuard guard;
    writeFile("target", stored);
    for (const Obstacle &s : obstacles) {
        for (const QString &at : {ini(), computers()}) {
            if (!s.refusal || (s.needsRoot && ::geteuid() != 0))
                continue;
            QDir(path("config")).removeRecursively();
            QDir(path("etc")).removeRecursively();
            QDir().mkpath(QFileInfo(at).path());
            s.make(at, path(QString()));
            const struct stat before = statOf(at);
            for (const auto &[writing, refused] :
                 {std::pair{false, failureOf([&] { settings->readGroup(u"frmMain"_s); })},
                  {true, failureOf([&] {
                       settings->writeGroup(u"frmMain"_s, {{u"ArchiveFolderPath"_s, u"/x/"_s}});
                   })}})
                EXPECT_TRUE(refused && refused->description().contains(at) &&
                            refused->description().contains(QLatin1String(s.refusal)))
                    << s.what << (writing ? " written" : " read");
            const struct stat after = statOf(at);
            EXPECT_TRUE(after.st_ino == before.st_ino && after.st_mode == before.st_mode &&
                        after.st_uid == before.st_uid && after.st_size == before.st_size)
                << s.what << " was replaced";
            EXPECT_EQ(readFile("target"), stored) << s.what;
            EXPECT_TRUE(leftovers().isEmpty()) << s.what;
        }
    }

    // A borrowed configuration folder of another account is not used at all.
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a folder away";
    QDir(path("config")).removeRecursively();
    writeFile("config/Sorvik/Sorvik.ini", stored);
    ::chown(nativePath(path("config/Sorvik")).constData(), 65534, 65534);
    EXPECT_THROW(settings->readGroup(u"frmMain"_s), Failure);
    EXPECT_THROW(settings->writeGroup(u"frmMain"_s, {{u"ArchiveFolderPath"_s, u"/x/"_s}}), Failure);
    EXPECT_EQ(readFile("config/Sorvik/Sorvik.ini"), stored);
}

// Under the account's own values lie the computer's, each named with its file; what the computer's
// file gives is not copied into the account's, which goes on following it. Groups and keys in
// another letter case are the same ones, as Windows reads them.
TEST_F(SettingsFileTest, TheComputersFileLiesUnderTheAccounts)
{
    writeOwnedFile(computers(),
                   "[frmMain]\nArchiveFolderPath=/srv/all/\n[Archive]\nKeepDays=30\n"
                   "KeepCount=5\n",
                   0644, 0);
    writeFile("config/Sorvik/Sorvik.ini", "[archive]\nkeepCOUNT=9\n");
    const SettingsFile::Group read = settings->readGroupFrom(u"Archive"_s);
    EXPECT_EQ(read.values, (QVariantMap{{u"KeepDays"_s, u"30"_s}, {u"keepCOUNT"_s, u"9"_s}}));
    EXPECT_EQ(read.files,
              (QMap<QString, QString>{{u"KeepDays"_s, computers()}, {u"keepCOUNT"_s, ini()}}));
    // What the computer's file says already, and ours does not: nothing to write.
    const ino_t unchanged = statOf(ini()).st_ino;
    settings->writeGroup(u"frmMain"_s, {{u"ArchiveFolderPath"_s, u"/srv/all/"_s}});
    EXPECT_EQ(statOf(ini()).st_ino, unchanged);
    settings->writeGroup(u"Archive"_s, {{u"KeepDays"_s, u"30"_s}, {u"KeepCount"_s, u"5"_s}});
    EXPECT_EQ(readFile("config/Sorvik/Sorvik.ini"), "[archive]\nKeepCount=5\n");
    settings->writeGroup(u"Archive"_s, {{u"KeepDays"_s, u"0"_s}});
    EXPECT_EQ(readFile("config/Sorvik/Sorvik.ini"), "[archive]\nKeepCount=5\nKeepDays=0\n");
}

// Our own file (group-writable under a umask of 002, for the account's own group): written as a
// new private file whatever the umask. (Nothing is written when nothing changed: see the options.)
TEST_F(SettingsFileTest, OurOwnFileIsWrittenWhole)
{
    writeFile("config/Sorvik/Sorvik.ini", stored);
    ::chmod(nativePath(ini()).constData(), 0664);
    const struct stat first = statOf(ini());
    const mode_t saved = ::umask(0);
    settings->writeGroup(u"frmMain"_s, {{u"ArchiveFolderPath"_s, u"/srv/new/"_s}});
    ::umask(saved);
    EXPECT_NE(statOf(ini()).st_ino, first.st_ino);
    EXPECT_EQ(statOf(ini()).st_mode & 07777, 0600u);
    EXPECT_EQ(readFile("config/Sorvik/Sorvik.ini"), "[frmMain]\nArchiveFolderPath=/srv/new/\n");
    EXPECT_TRUE(leftovers().isEmpty());

    // A write that fails part-way (a size limit) leaves the old file whole and nothing else.
    const QByteArray before = readFile("config/Sorvik/Sorvik.ini");
    underFileSizeLimit(before.size() + 10, [&] {
        EXPECT_THROW(
            settings->writeGroup(u"frmMain"_s, {{u"ArchiveFolderPath"_s, QString(500, u'x')}}),
            Failure);
    });
    EXPECT_EQ(readFile("config/Sorvik/Sorvik.ini"), before);
    EXPECT_TRUE(leftovers().isEmpty());
}

// A value reads exactly as it stands after "=" (blanks around it and one pair of quotes aside), as
// Windows reads its own INI files: no escapes.
TEST_F(SettingsFileTest, ValuesReadAsTheyWereTyped)
{
    writeFile("config/Sorvik/Sorvik.ini",
              "; by hand\r\n[frmMain]\r\nArchiveFolderPath=\\\\127.0.0.1\\share\\dir\\\r\n"
              "[Archive]\r\nPassphraseFile = \\new\\tmp\\ \r\nKeepDays=\"7\"\r\nKeepCount='x'\r\n"
              "unc=\\\\fileserver\\archive\r\nat=@/srv/a,b;c=d/\r\n");
    EXPECT_EQ(settings->readGroup(u"frmMain"_s),
              (QVariantMap{{u"ArchiveFolderPath"_s, u"\\\\127.0.0.1\\share\\dir\\"_s}}));
    EXPECT_EQ(settings->readGroup(u"Archive"_s),
              (QVariantMap{{u"PassphraseFile"_s, u"\\new\\tmp\\"_s},
                           {u"KeepDays"_s, u"7"_s},
                           {u"KeepCount"_s, u"x"_s},
                           {u"unc"_s, u"\\\\fileserver\\archive"_s},
                           {u"at"_s, u"@/srv/a,b;c=d/"_s}}));
    // Written back as typed, the rest of the file as it was.
    settings->writeGroup(u"frmMain"_s, {{u"ArchiveFolderPath"_s, u"\\\\fileserver\\orvel\\"_s},
                                        {u"New"_s, u" x "_s}});
    EXPECT_TRUE(readFile("config/Sorvik/Sorvik.ini")
                    .startsWith("; by hand\r\n[frmMain]\r\nArchiveFolderPath=\\\\fileserver\\orvel"
                                "\\\r\nNew=\" x \"\r\n[Archive]\r\nPassphraseFile = \\new"));
}

// Any text the program stores reads back the same, and so does every text and window place the
// previous release stored with the settings store's escapes (text with control characters aside:
// see IniText), as that store itself reads them.
TEST_F(SettingsFileTest, WhatIsStoredReadsBackAsItWas)
{
    // Whole characters, a byte that is no UTF-8 (as a folder name may hold) among them.
    QStringList alphabet = u"a| |\t|\\|\"|'|@|;|,|=|#|[|]|n|x|0|1|\u00e9|\u65e5|\U0001F600|\n|\r|"
                           "\x01|\x7f"_s.split(u'|');
    alphabet << QString(QChar(0)) << QString(QChar(0xDCE9));
    std::mt19937 random(7);
    QVariantMap values{{u"place"_s, QVariantMap{{u"geometry"_s, QByteArray("\x01\xd9\0\xcb", 4)},
                                                {u"font"_s, u"Sans,9"_s}}}};
    for (int i = 0; i < 300; ++i) {
        QString text;
        for (int n = int(random() % 9); n > 0; --n)
            text += alphabet.at(qsizetype(random() % alphabet.size()));
        values.insert(u"v%1"_s.arg(i), text);
    }
    for (const bool previous : {false, true}) {
        QFile::remove(ini());
        QVariantMap expected;
        if (previous) {
            // Written under names of its own: the store keeps what it read of a file by its name.
            {
                QSettings old(path("written.ini"), QSettings::IniFormat);
                for (auto it = values.cbegin(); it != values.cend(); ++it) {
                    const QString text = it.value().toString();
                    if (std::none_of(text.begin(), text.end(),
                                     [](QChar c) { return c < u' ' || c == u'\x7f'; }))
                        old.setValue(u"Archive/"_s + it.key(), it.value());
                }
            }
            ASSERT_TRUE(QFile::copy(path("written.ini"), path("reread.ini")));
            ASSERT_TRUE(QFile::copy(path("written.ini"), ini()));
            QSettings reread(path("reread.ini"), QSettings::IniFormat);
            reread.beginGroup(u"Archive"_s);
            for (const QString &key : reread.childKeys())
                expected.insert(key, reread.value(key));
        } else {
            settings->writeGroup(u"Archive"_s, values);
            expected = values;
        }
        EXPECT_EQ(settings->readGroup(u"Archive"_s), expected) << "previous release: " << previous;
    }
}

// Refused at the end of a run: a warning in the run log, nothing replaced.
TEST_F(SettingsFileTest, ARefusedSaveIsAWarningOfTheRun)
{
    writeFile("target", stored);
    QDir().mkpath(path("config/Sorvik"));
    QFile::link(path("target"), ini());
    auto program = makeProgram();
    program->runLog().OpenRunLog(path("run.TXT"));
    host.folder = u"/srv/new/"_s;
    EXPECT_THROW(SaveArchiveFolderSetting(*program, host), Failure);
    EXPECT_THROW(LoadArchiveFolderSetting(*program, host), Failure);
    EXPECT_EQ(host.folder, u"/srv/new/"_s);
    const QStringList lines = runLogEvents(readFile("run.TXT"));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].startsWith(u"(warning) the archive folder setting was not saved: "_s));
    EXPECT_EQ(program->runLog().ErrorCount(), 0);
    EXPECT_EQ(readFile("target"), stored);

    // What could not be read at start (a failure of the moment) is not overwritten by the empty
    // field that leaves; a folder somebody chooses is saved.
    QFile::remove(ini());
    ::mkfifo(nativePath(ini()).constData(), 0600);
    host.folder.clear();
    EXPECT_THROW(LoadArchiveFolderSetting(*program, host), Failure);
    QFile::remove(ini());
    writeFile("config/Sorvik/Sorvik.ini", stored);
    EXPECT_NO_THROW(SaveArchiveFolderSetting(*program, host));
    EXPECT_EQ(readFile("config/Sorvik/Sorvik.ini"), stored);
    host.folder = u"/srv/chosen/"_s;
    SaveArchiveFolderSetting(*program, host);
    EXPECT_TRUE(readFile("config/Sorvik/Sorvik.ini").contains("/srv/chosen/"));
}

} // namespace
