#include "archive/LogCollection.h"

#include "support/ArchiveReader.h"
#include "support/Ending.h"
#include "support/FaultyFileSystem.h"
#include "support/OwnedFile.h"
#include "support/Utf16.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class LogCollectionTest : public RunStepTest {
protected:
    // The status the program ends with when the run ends in this step (after its box, which the
    // window shows), or nothing when it goes on.
    std::optional<int> archive()
    {
        try {
            ArchiveFiles(*run, host);
        } catch (const RunEnds &ends) {
            if (!run->SilentMode && !ends.end.message.isEmpty())
                dialogs.messageBox(ends.end.message);
            return ExitStatus::RunFailed;
        }
        return std::nullopt;
    }

    QString logs(const QString &name) const { return path("orvel/logs/") + name; }
    QString formatted(const QString &name) const
    {
        return path("program/TempDiags/") + name + u".fmtd.txt"_s;
    }
};

TEST_F(LogCollectionTest, PicksDataAndDiagFilesByNameAndFormatsTheDiagFiles)
{
    simulate({u"--data"_s, u"2"_s, u"--diag"_s, u"2"_s, u"--other"_s, u"2"_s, u"--odd"_s});
    std::vector<std::pair<double, double>> shown;
    std::vector<ProgressUnit> units;
    host.onProgress = [&] {
        shown.emplace_back(host.value, host.maximum);
        units.push_back(host.unit);
    };
    start();
    EXPECT_EQ(archive(), std::nullopt);

    const auto content = readArchive(run->ZipFilePath);
    ASSERT_TRUE(content);
    std::set<QString> names;
    for (const auto &[name, entry] : *content)
        names.insert(name);
    EXPECT_EQ(names, (std::set<QString>{u"data_20261201_1.log"_s, u"data_20261202_2.log"_s,
                                        u"DATA_Upper.log"_s, u"Data_Mixed.log"_s,
                                        u"diag_20261201_1.log.fmtd.txt"_s,
                                        u"diag_20261202_2.log.fmtd.txt"_s,
                                        u"DIAG_Upper.log.fmtd.txt"_s, u"Diag_Mixed.log.fmtd.txt"_s,
                                        u"diag_.fmtd.txt"_s, u"diag_odd_lines.log.fmtd.txt"_s}));

    EXPECT_TRUE(QDir(path("program/TempDiags")).entryList(QDir::Files).isEmpty());
    const qsizetype files = QDir(path("orvel/logs")).entryList(QDir::Files).size();
    // The files are counted first, every one, picked or not; then the bytes compressed.
    const auto counted =
        std::find(shown.begin(), shown.end(), std::pair(double(files), double(files)));
    ASSERT_NE(counted, shown.end());
    EXPECT_EQ(units[size_t(counted - shown.begin())], ProgressUnit::Files);
    EXPECT_EQ(units.back(), ProgressUnit::Bytes);
    qint64 bytes = 0;
    for (const auto &[name, entry] : *content)
        bytes += entry.size;
    EXPECT_EQ(shown.back(), std::pair(double(bytes), double(bytes)));
    EXPECT_TRUE(std::all_of(std::next(counted), shown.end(),
                            [&](const auto &step) { return step.second == double(bytes); }));

    // The run log's own lines and a diag_ file's three: in order, below.
    const QStringList lines = logged();
    EXPECT_TRUE(lines.contains(u"    Adding file into zip:"_s + logs(u"Data_Mixed.log"_s)));
    for (const QString &line : lines)
        EXPECT_FALSE(line.contains(u"abc"_s) || line.contains(u"install_"_s) ||
                     line.contains(u"data_hidden"_s))
            << line.toStdString();
}

// Formatting runs ahead on other threads, yet the run log tells each file whole and in file
// order: the first file here is slow and then cannot be formatted, the second cannot be at once,
// and the rest are done long before the first.
TEST_F(LogCollectionTest, UnformattableDiagFilesGoInRawAndTheRunLogKeepsFileOrder)
{
    simulate({u"--data"_s, u"0"_s, u"--diag"_s, u"5"_s, u"--other"_s, u"0"_s});
    QStringList raws;
    for (const File &file : FileSystem().GetFolder(path("orvel/logs")).Files)
        raws << file.Path();
    ASSERT_EQ(raws.size(), 5);
    const auto copyOf = [&](const QString &raw) { return formatted(QFileInfo(raw).fileName()); };
    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->before = [&](const QString &operation, const QString &at) {
        if (operation != u"OpenTextFile"_s)
            return;
        if (at == raws[0])
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (at == raws[0] || at == raws[1])
            throw FileSystemError(EACCES, operation, at);
    };
    start(std::move(faulty));
    EXPECT_EQ(archive(), std::nullopt);

    QStringList expected{u"    Starting ZIP file archive"_s};
    for (const QString &raw : raws) {
        expected << u"    Formatting diagnostic log file:"_s + raw;
        if (raw == raws[0] || raw == raws[1])
            expected << u"(error) in strFormatDiagFile on frmMain for file="_s + raw +
                            u", error="_s +
                            FileSystemError(EACCES, u"OpenTextFile"_s, raw).description()
                     << u"    RawLine=''"_s << u"    RestOfLine=''"_s
                     << u"(error) unable to format diagnostic file:"_s + raw +
                            u" - adding raw file into zip file instead of formatted file."_s
                     << u"    Adding file into zip:"_s + raw;
        else
            expected << u"    Formatting complete to:"_s + copyOf(raw)
                     << u"    Adding file into zip:"_s + copyOf(raw);
    }
    expected << u"    Compressing files into zip - this may take a while..."_s
             << u"    Emptying the temporary formatted diagnostic file location"_s
             << u"    ZIP archive creation completed."_s;
    EXPECT_EQ(logged(), expected);
}

// The logging folder is the served product's account's to write. An entry by the name of a log
// that is no regular file is passed over with a warning, never read (what a link leads to is not
// the log; a FIFO would hold the run forever); a log swapped for a FIFO after the listing costs
// itself only; a name that is not UTF-8 is archived under its own bytes, one with a "\\" (a
// separator to Windows' readers) with "%5C" in its place, said; one with a marker counts no
// error; and what the run writes is its owner's alone.
TEST_F(LogCollectionTest, OnlyRegularFilesAreReadUnderTheirOwnNames)
{
    simulate({u"--data"_s, u"2"_s, u"--diag"_s, u"2"_s, u"--other"_s, u"0"_s});
    writeFile("secret.txt", "root's own\n");
    const QString odd = logs(decodeNativePath("data_\xff\xfe.log"));
    FileSystem().CreateTextFile(odd, false, false)->WriteLine(u"odd name"_s);
    writeFile(u"orvel/logs/data_..\\..\\up.log"_s, "up\n");
    const QString diag = QDir(path("orvel/logs")).entryList({u"diag_*"_s}).first();
    ASSERT_TRUE(QFile::rename(logs(diag), logs(u"diag_(error)"_s + diag.mid(5))));
    // Qt's own removal of the temporary folder cannot spell a name that is not UTF-8.
    const auto cleanUp = qScopeGuard([&] { ::unlink(nativePath(odd)); });
    const QByteArray secret = nativePath(path("secret.txt"));
    const auto link = [](const QByteArray &to) {
        return [to](const QByteArray &at) { return ::symlink(to.constData(), at.constData()); };
    };
    const std::vector<std::pair<QString, std::function<int(const QByteArray &)>>> planted = {
        {u"data_shadow"_s, link(secret)},
        {u"diag_link"_s, link(secret)},
        {u"data_environ"_s, link("/proc/self/environ")},
        {u"DIAG_fifo"_s, [](const QByteArray &at) { return ::mkfifo(at.constData(), 0600); }},
        {u"data_folder"_s, [](const QByteArray &at) { return ::mkdir(at.constData(), 0700); }},
        {u"other_link"_s, link(secret)},
    };
    QStringList warned;
    for (const auto &[name, make] : planted) {
        ASSERT_EQ(make(nativePath(logs(name))), 0) << name.toStdString();
        if (!name.startsWith(u"other"_s))
            warned << u"(warning) not archived, not a regular file:"_s + logs(name);
    }
    // Swapped once the folder is listed, before any of it is read; one log is left as it is.
    QStringList swapped;
    host.onProgress = [&] {
        if (!swapped.isEmpty() || host.unit == ProgressUnit::Listed)
            return;
        for (const QString &name : QDir(path("orvel/logs")).entryList({u"d*_2026*"_s}).mid(1)) {
            QFile::remove(logs(name));
            ASSERT_EQ(::mkfifo(nativePath(logs(name)).constData(), 0600), 0);
            swapped << logs(name);
        }
    };
    const HangGuard guard;
    const mode_t savedMask = ::umask(0);
    start();
    const auto ended = archive();
    ::umask(savedMask);
    EXPECT_EQ(ended, std::nullopt);
    ASSERT_FALSE(swapped.isEmpty());

    const QStringList lines = logged();
    QStringList warnings = lines.filter(u"(warning)"_s);
    warnings.sort();
    warned.sort();
    EXPECT_EQ(warnings, warned);
    for (const QString &fifo : swapped) {
        bool told = false;
        for (const QString &line : lines)
            told = told || (line.startsWith(u"(error)"_s) && line.contains(fifo));
        EXPECT_TRUE(told) << fifo.toStdString();
    }
    EXPECT_TRUE(lines.contains(u"    Adding file into zip:"_s + logs(u"data_\uFFFD\uFFFD.log"_s)))
        << "the run log stays well-formed UTF-16";
    EXPECT_TRUE(lines.filter(u"diag_(error)"_s).isEmpty());
    EXPECT_FALSE(lines.filter(u"diag_\\x28error)"_s).isEmpty());
    EXPECT_TRUE(lines.contains(u"    Named in the zip:data_..%5C..%5Cup.log (a ZIP archive's names "
                               u"take no backslash)"_s));

    const auto content = readArchive(run->ZipFilePath);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), size_t(4 - swapped.size() + 2));
    EXPECT_EQ(content->count(u"data_..%5C..%5Cup.log"_s), 1u);
    EXPECT_EQ(content->at(decodeNativePath("data_\xff\xfe.log")).sha256,
              QCryptographicHash::hash("odd name\r\n", QCryptographicHash::Sha256).toHex());
    for (const auto &[name, entry] : *content)
        EXPECT_NE(entry.sha256, fileDigest(path("secret.txt"))) << name.toStdString();
    for (const QString &written : {run->ZipFilePath, path("run.TXT")})
        EXPECT_EQ(modeOf(written), 0600u) << written.toStdString();
}

// The logging folder the registry names is found in any script, here in a UTF-16 file (each
// script and encoding at its buffer's size is the registry's to hold). One not named, not there,
// or past the 1,023 bytes a string value may hold (said to be too long, not missing) ends the run
// and leaves an archive without entries; so does an archive that cannot be made, unattended (in
// the window the run goes on). In the window a box says why.
TEST_F(LogCollectionTest, TheLoggingFolderIsFoundOrTheRunSaysWhyNot)
{
    writeServedProduct();
    const QByteArray registry = readFile("registry.reg");
    const QByteArray named = QFile::encodeName(path("orvel-logs"));
    // Relative to the root, so that the whole path holds `bytes` bytes.
    const auto padded = [&](qsizetype bytes) {
        QString folder = u"deep"_s;
        while (QFile::encodeName(path(folder)).size() < bytes - 101)
            folder += u"/"_s + QString(100, u'p');
        return folder + u"/"_s + QString(bytes - QFile::encodeName(path(folder)).size() - 1, u'q');
    };
    const QString value = u"SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0\\Output Path"_s;
    const QString exiting = u" - exiting application."_s;
    const struct {
        QString folder; // named in the registry; null: none
        bool silent, ends, noZips = false;
        QString line, box = {}; // the run log's last line and the box begin so; no box: none shown
    } cases[] = {
        {QString(), false, true, false,
         u"(error) empty log file path found in registry: "_s + value + exiting,
         u"Failed to find Orvel logging folder in registry:empty log file path found in "
         "registry at: "_s +
             value + exiting},
        {u"missing"_s, true, true, false,
         u"(error) log file path found in registry not found on hard drive: "_s + path("missing") +
             exiting},
        {padded(1024), false, true, false,
         u"(error) the log file path found in registry is too long (more than 1,023 bytes): "_s +
             value + exiting,
         u"The log file path found in registry at "_s + value + u" is too long"_s},
        {u"\u0436\u0443\u0440\u043d\u0430\u043b"_s, false, false, false,
         u"    ZIP archive creation completed."_s},
        {u"logs"_s, false, false, true, u"(error) creating newzip in ArchiveFiles:"_s,
         u"Error creating newzip in ArchiveFiles:"_s},
        {u"logs"_s, true, true, true, u"(error) creating newzip in ArchiveFiles:"_s},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line.toStdString());
        if (!c.folder.isNull() && c.folder != u"missing"_s)
            writeFile(c.folder + u"/data_1.log"_s, "served");
        const QByteArray reg =
            c.folder.isNull()
                ? QByteArray(registry).replace("\"Output Path\"=\"" + named + "\"\r\n", "")
                : QByteArray(registry).replace(named, path(c.folder).toUtf8());
        writeRegistry(utf16Le(QString::fromUtf8(reg)));
        if (c.noZips) {
            QDir(path("program/ZIPS")).removeRecursively();
            writeFile("program/ZIPS", "a file where the folder should be");
        }
        dialogs.texts.clear();
        start();
        run->SilentMode = c.silent;
        EXPECT_EQ(archive(), c.ends ? std::optional<int>(ExitStatus::RunFailed) : std::nullopt);
        EXPECT_TRUE(logged().last().startsWith(c.line)) << logged().last().toStdString();
        EXPECT_EQ(logged().last().contains(u" - exiting application"_s), c.ends);
        EXPECT_EQ(dialogs.texts.size(), c.box.isEmpty() ? 0u : 1u);
        EXPECT_EQ(dialogs.texts.empty() ? QString() : dialogs.texts[0].left(c.box.size()), c.box);
        if (!c.noZips) {
            const auto content = readArchive(run->ZipFilePath);
            ASSERT_TRUE(content);
            EXPECT_EQ(content->size(), c.ends ? 0u : 1u);
            EXPECT_TRUE(QFileInfo(path("program/TempDiags")).isDir());
        }
    }
}

// The logging folder is opened once: a folder above it swapped for a link to another place once
// it is listed (a root run otherwise archives whatever the link leads to) changes nothing of what
// is read, raw or formatted.
TEST_F(LogCollectionTest, TheLoggingFolderIsReadAsItWasOpened)
{
    simulate({u"--data"_s, u"2"_s, u"--diag"_s, u"2"_s, u"--other"_s, u"0"_s});
    QFile::copy(path("orvel/registry.reg"), registryPath());
    qputenv("SORVIK_REGISTRY", QFile::encodeName(registryPath()));
    const QStringList names = QDir(path("orvel/logs")).entryList(QDir::Files);
    for (const QString &name : names)
        writeFile(u"decoy/logs/"_s + name, "someone else's\n");
    bool swapped = false;
    host.onProgress = [&] {
        if (swapped || host.unit == ProgressUnit::Listed)
            return;
        swapped = QDir().rename(path("orvel"), path("orvel.moved")) &&
                  QFile::link(path("decoy"), path("orvel"));
    };
    start();
    EXPECT_EQ(archive(), std::nullopt);
    ASSERT_TRUE(swapped);
    const auto content = readArchive(run->ZipFilePath);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), size_t(names.size()));
    const QByteArray decoy =
        QCryptographicHash::hash("someone else's\n", QCryptographicHash::Sha256).toHex();
    for (const auto &[name, entry] : *content) {
        EXPECT_NE(entry.sha256, decoy) << name.toStdString();
        if (name.startsWith(u"data_"_s)) {
            EXPECT_EQ(entry.sha256, fileDigest(path("orvel.moved/logs/") + name))
                << name.toStdString();
        }
    }
    EXPECT_TRUE(logged().filter(u"(error)"_s).isEmpty()) << logged().join(u'\n').toStdString();
}

} // namespace
