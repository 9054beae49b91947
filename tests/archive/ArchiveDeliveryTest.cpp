#include "archive/ArchiveDelivery.h"

#include "support/ArchiveReader.h"
#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {

const QString name = u"LOG_Archive_SRV01_261204_14_05_09.ZIP"_s;
// Named like a placeholder: each failure tells it as it is.
const QString folder = u"ar%1x"_s;

class ArchiveDeliveryTest : public RunStepTest {
protected:
    void start(std::unique_ptr<FileSystem> fileSystem = nullptr)
    {
        RunStepTest::start(std::move(fileSystem));
        run->ZipFilePath = path("program/ZIPS/") + name;
        writeFile("program/ZIPS/" + name, archiveBytes);
        QDir(path(folder)).removeRecursively();
        QDir().mkpath(path(folder));
        host.folder = path(folder + u"/"_s);
    }

    QStringList archiveFolder() const
    {
        return QDir(path(folder)).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    const QByteArray archiveBytes = QByteArray(300000, 'Z') + "end";
};

// The archive is copied under its own name, the source kept; a file that appears during the copy
// is never replaced; a copy that is damaged or asked to stop part-way
// leaves nothing behind; each failure is one "(error)" line that says why.
TEST_F(ArchiveDeliveryTest, EachOutcomeLeavesTheFolderAsItShould)
{
    const auto afterCopy = [](std::function<void(QFile &)> change) {
        return [change](FaultyFileSystem &fs) {
            fs.afterCopy = [change](const QString &, const QString &copy) {
                QFile file(copy);
                change(file);
            };
        };
    };
    const QString failed = u"(error) in CopyArchiveToTargetFolder on frmMain:"_s;
    const struct {
        const char *what;
        std::function<void(FaultyFileSystem &)> setUp;
        QByteArray left; // at the archive's name in the folder; null: nothing there at all
        QString line;    // the run log's last line holds it
    } cases[] = {
        // A folder restored from a hand-written setting may lack its separator.
        {"copied", [&](FaultyFileSystem &) { host.folder = path(folder); }, archiveBytes,
         u"    File copied"_s},
        {"appears meanwhile",
         afterCopy([&](QFile &) { writeFile(folder + u"/"_s + name, "meanwhile"); }), "meanwhile",
         failed},
        {"damaged",
         afterCopy([](QFile &copy) { copy.open(QIODevice::ReadWrite) && copy.write("damage"); }),
         {},
         failed + u"the copy at "_s + path(folder) + u"/.LOG_Archive_"_s},
        {"asked to stop",
         [&](FaultyFileSystem &) {
             host.onProgress = [&] {
                 EXPECT_EQ(host.unit, ProgressUnit::CopiedBytes);
                 run->requestCancel();
             };
         },
         {},
         u"Operation canceled"_s},
        {"the archive gone",
         [&](FaultyFileSystem &) { QFile::remove(run->ZipFilePath); },
         {},
         path("program/ZIPS/") + name},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto fs = std::make_unique<FaultyFileSystem>();
        FaultyFileSystem &faulty = *fs;
        host.onProgress = nullptr;
        start(std::move(fs));
        c.setUp(faulty);
        CopyArchiveToTargetFolder(*run, host);
        EXPECT_EQ(archiveFolder(), c.left.isNull() ? QStringList() : QStringList{name});
        if (!c.left.isNull()) {
            EXPECT_EQ(readFile(folder + u"/"_s + name), c.left);
        }
        const QStringList lines = logged();
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(lines.last().contains(c.line)) << lines.last().toStdString();
        const bool copied = c.line == u"    File copied"_s;
        EXPECT_EQ(run->runLog().ErrorCount(), copied ? 0 : 1);
        EXPECT_EQ(lines.filter(u"File copied"_s).size(), copied ? 1 : 0);
        if (copied) {
            EXPECT_EQ(lines,
                      (QStringList{u"    Moving ZIP file archive from :"_s + run->ZipFilePath +
                                       u" to destination:"_s + path(folder + u"/"_s) + name,
                                   u"    File copied"_s}));
            EXPECT_TRUE(QFile::exists(run->ZipFilePath)) << "the source stays";
        }
    }
}

TEST_F(ArchiveDeliveryTest, CopiesLeftByKilledRunsOfThisComputerAreRemoved)
{
    start();
    // A copy left by a killed run, and the empty file by which one had already claimed its final
    // name (where renames may replace, as on a share).
    const QStringList dead = {
        u".LOG_Archive_SRV01_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u".LOG_Archive_SRV01_261203_01_02_04.ZIP.partial-999999998-0123abcd"_s,
        u"LOG_Archive_SRV01_261203_01_02_04.ZIP"_s};
    QStringList kept = {
        // Still being written by a live process (this one).
        u".LOG_Archive_SRV01_261203_01_02_03.ZIP.partial-%1-0123abcd"_s.arg(::getpid()),
        // Another computer's, on a shared folder, even one whose name begins alike.
        u".LOG_Archive_OTHER_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u".LOG_Archive_SRV01_B_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u"LOG_Archive_SRV01_261203_01_02_03.ZIP"_s};
    for (const QString &file : kept + dead)
        writeFile(folder + u"/"_s + file, file == dead.last() ? "" : "x");
    CopyArchiveToTargetFolder(*run, host);
    kept << name;
    kept.sort();
    EXPECT_EQ(archiveFolder(), kept);
}

} // namespace
