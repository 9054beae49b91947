#include "platform/posix/SmbCredentials.h"
#include "platform/posix/SmbListing.h"
#include "platform/posix/SmbPath.h"
#include "platform/posix/SmbReadBack.h"
#include "platform/posix/SmbShareFile.h"
#include "platform/posix/SmbWorker.h"
#include "runlog/FolderUtilities.h"

#include "support/Noise.h"
#include "support/OwnedFile.h"
#include "support/SambaServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <libdeflate.h>
#include <sys/stat.h>

#include <thread>
#include <unistd.h>

namespace {

class SmbFileSystemTest : public ShareEnvironment {
protected:
    void SetUp() override
    {
        ShareEnvironment::SetUp();
        fs = makeFileSystem();
        writeFile("big.bin", bigFile);
    }

    std::unique_ptr<FileSystem> fs;
    // Three blocks of the copy and a piece.
    const QByteArray bigFile = noise(3 * (8 << 20) + 12345, 7919);
};

// Why a folder cannot be reached: one that is not there, with the server's reason (a local one
// keeps its own words); a refused logon, with the slip of the set-up it was. (The share's other
// refusals, a refused logon's reason and its silence about the password are whole runs' to show:
// ShareDeliveryTest, ShareRunTable.) No credentials file means a ticket, else the guest account.
TEST_F(SmbFileSystemTest, AFolderNotReachedIsToldWhy)
{
    const QString logs = server->url(u"logs"_s), refused = u"the logon was refused: .* \\("_s;
    const QByteArray user = server->user().toLocal8Bit();
    const struct {
        QString folder;
        QByteArray credentials; // empty: no file
        QString said;           // a pattern; empty: nothing to add to the folder's own words
    } cases[] = {
        {server->url(u"logs"_s, u"missing/"_s), "username=" + user + "\npassword=Pa55-word\n",
         u"server 127.0.0.1, share logs: no such file or folder"_s},
        {u"\\\\"_s, {}, u"names no server"_s},
        {path("missing"), {}, QString()},
        {logs, "username = " + user + "\npassword = Pa55-word\n",
         refused + u".*begins or ends with a blank"_s},
        {logs, "username=" + user + "\n", refused + u".*has no password= line"_s},
        {logs,
         {},
         refused + u"there is no credentials file "_s +
             QRegularExpression::escape(SmbCredentials::filePath())},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.folder.toStdString() + " with " + c.credentials.toStdString());
        QFile::remove(path("config/Sorvik/smb-credentials"));
        if (!c.credentials.isEmpty())
            writeOwnedFile(path("config/Sorvik/smb-credentials"), c.credentials, 0600);
        EXPECT_FALSE(fs->FolderExists(c.folder));
        EXPECT_TRUE(c.said.isEmpty() ? fs->lastProblem().isEmpty()
                                     : fs->lastProblem().contains(QRegularExpression(c.said)))
            << fs->lastProblem().toStdString();
    }
    // A mistyped setting is said, not passed over; each bound (a TCP port's 65535, a day) and one
    // step either side. A value taken leaves the logon's refusal (no credentials file) to say.
    const struct {
        const char *name, *value;
        bool taken;
    } settings[] = {{"SORVIK_SMB_TIMEOUT", "30s", false},   {"SORVIK_SMB_TIMEOUT", " 30", false},
                    {"SORVIK_SMB_TIMEOUT", "0", false},     {"SORVIK_SMB_TIMEOUT", "86400", true},
                    {"SORVIK_SMB_TIMEOUT", "86401", false}, {"SORVIK_SMB_PORT", "0", false},
                    {"SORVIK_SMB_PORT", "1", true},         {"SORVIK_SMB_PORT", "0x1", false},
                    {"SORVIK_SMB_PORT", "65535", true},     {"SORVIK_SMB_PORT", "65536", false}};
    for (const auto &[name, value, taken] : settings) {
        const QByteArray kept = qgetenv(name);
        qputenv(name, value);
        EXPECT_FALSE(fs->FolderExists(logs));
        EXPECT_EQ(fs->lastProblem().contains(u"%1 is \"%2\", not a "_s.arg(name, value)), !taken)
            << fs->lastProblem().toStdString();
        kept.isNull() ? qunsetenv(name) : qputenv(name, kept);
    }
    EXPECT_TRUE(TestWriteAccess(*fs, server->url(u"guest"_s)));
}

// What may already stand at the write probe's name, in a local folder and on a share: a probe
// left by a killed run (read-only too), a link or a FIFO goes itself and the probe is made afresh;
// what cannot go (a folder, a dangling link the server shows as nothing) stays, and a name of the
// process's own is probed.
// Never is the folder refused for it (every later run would fail until someone removed it by
// hand), nor what a link points to written.
TEST_F(SmbFileSystemTest, TheWriteProbeMeetsWhatIsAlreadyThere)
{
    const HangGuard guard;
    // What holds something may be anyone's: it stays as it is, and the probe takes a name of its
    // own; so does a file made read-only. What is empty (a probe left behind, a FIFO) goes.
    const struct {
        const char *what;
        Planted plant;
        bool stays;
    } rows[] = {
        {"nothing", Planted::Nothing, false},
        {"a probe left behind", Planted::EmptyFile, false},
        {"someone's file", Planted::File, true},
        {"an empty file made read-only", Planted::ReadOnlyFile, true},
        {"a link to a file", Planted::Link, true},
        {"a dangling link", Planted::DanglingLink, true},
        {"a folder", Planted::Folder, true},
        {"a FIFO", Planted::Fifo, false},
    };
    // Each place: the folder as typed, and where it lies on disk.
    const std::pair<QString, QString> places[] = {
        {path("local"), path("local")},
        {server->url(u"logs"_s, u"nightly"_s), server->folder(u"logs/nightly"_s)},
        {u"\\\\127.0.0.1\\logs\\nightly\\"_s, server->folder(u"logs/nightly"_s)},
    };
    for (const auto &[folder, onDisk] : places) {
        QDir().mkpath(onDisk);
        const uid_t owner = QFileInfo(onDisk).ownerId();
        for (const auto &row : rows) {
            SCOPED_TRACE(folder.toStdString() + ": " + row.what);
            const QString at = onDisk + u"/temp.test.txt"_s;
            const QString target = onDisk + u"/precious"_s;
            ::unlink(QFile::encodeName(at).constData());
            QDir().rmdir(at);
            writeOwnedFile(target, "precious", 0644, owner);
            plantAt(row.plant, at, target, owner);
            // A share tells read-only by an attribute of its own, not by the mode on its disk.
            const bool stays =
                row.stays && (row.plant != Planted::ReadOnlyFile || onDisk == folder);
            EXPECT_TRUE(TestWriteAccess(*fs, folder));
            EXPECT_EQ(QFileInfo::exists(at) || QFileInfo(at).isSymLink(), stays);
            EXPECT_TRUE(row.plant != Planted::File || QFileInfo(at).size() == 3)
                << "someone's file kept as it was";
            QFile kept(target);
            EXPECT_TRUE(kept.open(QIODevice::ReadOnly) && kept.readAll() == "precious")
                << "written through a link";
            QFile::remove(target);
            EXPECT_EQ(QDir(onDisk).entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::System),
                      stays && !QFileInfo(at).isDir() ? QStringList{u"temp.test.txt"_s}
                                                      : QStringList())
                << "no probe of ours left";
        }
    }
    // Where nothing may be made, one that is there proves nothing, and stays.
    const QString theirs = server->folder(u"readonly"_s) + u"/temp.test.txt"_s;
    writeOwnedFile(theirs, "not ours", 0644);
    EXPECT_FALSE(TestWriteAccess(*fs, server->url(u"readonly"_s)));
    EXPECT_TRUE(QFileInfo::exists(theirs));
    QFile::remove(theirs);
    QDir(path("local")).removeRecursively();
    EXPECT_FALSE(TestWriteAccess(*fs, path("local"))) << "a missing folder";
}

// What a folder on a share lists as its files: never what may be a link on the server.
TEST(SmbListingTest, LinksAndFoldersAreSetApartReadOnlyFilesAreNot)
{
    const auto entry = [](const char *name, bool folder, quint16 attributes, quint64 id) {
        return SmbEntry{QString::fromLatin1(name), 1, {}, folder, attributes, id};
    };
    const SmbListing listing =
        sortEntries({entry("plain", false, 0x80, 1), entry("read-only", false, 0x21, 2),
                     entry("folder", true, 0x10, 3), entry("reparse point", false, 0x420, 4),
                     entry("link", false, 0x20, 5), entry("its target", false, 0x20, 5),
                     entry("no number", false, 0x20, 0), entry("none either", false, 0x20, 0)});
    QStringList files;
    for (const SmbEntry &file : listing.files)
        files << file.name;
    EXPECT_EQ(files, (QStringList{u"plain"_s, u"read-only"_s, u"no number"_s, u"none either"_s}));
    EXPECT_EQ(listing.others,
              (std::vector<QString>{u"folder"_s, u"reparse point"_s, u"link"_s, u"its target"_s}));
}

// A limit of 16 s: a quarter is 4 s, a sixteenth 1 s; each edge, and a step either side.
TEST(SmbShareFileTest, ACallIsSizedToTheLinkWithinItsBounds)
{
    using namespace std::chrono;
    constexpr qsizetype k = 1024, least = 64 * k, most = 8192 * k;
    const struct {
        qsizetype call;
        nanoseconds took;
        qsizetype next;
    } rows[] = {
        {256 * k, 4s + 1ns, 128 * k}, {256 * k, 4s, 256 * k}, {256 * k, 4s - 1ns, 256 * k},
        {256 * k, 1s + 1ns, 256 * k}, {256 * k, 1s, 256 * k}, {256 * k, 1s - 1ns, 512 * k},
        {least * 2, 9s, least},       {least, 9s, least},     {least - 1, 1s - 1ns, 128 * k - 2},
        {most / 2, 0s, most},         {most, 0s, most},       {most + 1, 4s + 1ns, most / 2}};
    for (const auto &row : rows)
        EXPECT_EQ(SmbShareFile::nextCallSize(row.call, row.took, 16s), row.next)
            << row.call << " bytes in " << row.took.count() << " ns";
}

// What a delivery checks of its copy (its size and checksum read back, the bytes on the server),
// the progress it reports and retention's deleting on a share are whole runs' to show:
// ShareDeliveryTest.
TEST_F(SmbFileSystemTest, ACopyIsWatchedReadBackAndListed)
{
    const QString copy = server->url(u"logs"_s, u"nightly/copy.bin"_s);
    fs->CopyFile(path("big.bin"), copy, false);
    EXPECT_TRUE(fs->FileExists(copy));
    EXPECT_FALSE(fs->FileExists(server->url(u"logs"_s, u"nightly"_s)));
    EXPECT_THROW(fs->CopyFile(path("big.bin"), copy, false), FileSystemError) << "never over one";
    EXPECT_THROW(fs->MoveFile(copy, server->url(u"readonly"_s, u"copy.bin"_s)), FileSystemError)
        << "no move between shares";
    // A link on the server that leads nowhere: the name is said to be taken, not the folder gone.
    plantAt(Planted::DanglingLink, server->folder(u"logs/nightly/moved.bin"_s), path("nowhere"));
    const QString moved = server->url(u"logs"_s, u"nightly/moved.bin"_s);
    for (const auto &failure : {failureOf([&] { fs->MoveFile(copy, moved); }),
                                failureOf([&] { fs->CopyFile(path("big.bin"), moved, false); })})
        EXPECT_TRUE(failure && failure->description().contains(u"though its folder is there"_s));
    // A folder its account may write in but not list: the name is claimed, the rename onto it
    // refused; that is said, not that a file of that name is there.
    const QString box = server->url(u"nobody"_s, u"box/"_s);
    if (::geteuid() == 0 && ::mkdir(qPrintable(server->folder(u"logs/box"_s)), 0733) == 0 &&
        ::chmod(qPrintable(server->folder(u"logs/box"_s)), 0733) == 0) {
        fs->CopyFile(path("big.bin"), box + u"copy.bin"_s, false);
        const auto failure = failureOf([&] { fs->MoveFile(box + u"copy.bin"_s, box + u"b"_s); });
        EXPECT_TRUE(failure && failure->number() != EEXIST &&
                    failure->description().contains(u"would not give the copy"_s));
    }

    fs->CreateFolder(server->url(u"logs"_s, u"nightly/inner"_s));
    const Folder listed = fs->GetFolder(u"\\\\127.0.0.1\\logs\\nightly\\"_s);
    ASSERT_EQ(listed.Files.Count(), 1);
    EXPECT_EQ(listed.Files.begin()->Name(), u"copy.bin"_s);
    EXPECT_EQ(listed.Files.begin()->Size(), bigFile.size());
    EXPECT_EQ(listed.Skipped, std::vector<QString>{u"//127.0.0.1/logs/nightly/inner"_s});
    EXPECT_EQ(fs->GetFileName(u"\\\\127.0.0.1\\logs\\nightly\\copy.bin"_s), u"copy.bin"_s);

    // Down again, and read as text.
    fs->CopyFile(copy, path("back.bin"), false);
    EXPECT_EQ(readFile("back.bin"), bigFile);
    ASSERT_TRUE(server->put(u"logs"_s, u"lines.txt"_s, "first\r\nsecond\n"));
    const auto text = fs->OpenTextFile(server->url(u"logs"_s, u"lines.txt"_s));
    EXPECT_EQ(text->ReadLine(), u"first"_s);
    EXPECT_EQ(text->ReadLine(), u"second"_s);
    EXPECT_TRUE(text->AtEndOfStream());
}

// The read-back helper on its own, told a name that needs encoding: what it reads of the file, as
// the writes are said to be answered and on to the end, is the file's CRC-32, and proves nothing
// when its length is not the file's. (That CRC is what every delivery to a share checks its copy
// by: ShareDeliveryTest.)
TEST_F(SmbFileSystemTest, TheReadBackHelperRefusesALengthThatIsNotTheFiles)
{
    ASSERT_TRUE(server->put(u"logs"_s, u"nightly/cöpy 1.bin"_s, bigFile));
    const QString copy = server->url(u"logs"_s, u"nightly/cöpy 1.bin"_s);
    for (const qint64 length : {qint64(bigFile.size()), bigFile.size() - 1}) {
        const std::optional<quint32> read =
            SmbWorker().run(SmbPath::parse(copy), [copy, length](SmbContext &, SmbBeat &beat) {
                SmbReadBack proof;
                EXPECT_TRUE(proof.open(copy));
                for (qint64 done = 8 << 20; done < length; done += 8 << 20)
                    proof.written(done);
                return proof.finish(length, beat);
            });
        const quint32 crc = quint32(libdeflate_crc32(0, bigFile.constData(), size_t(length)));
        EXPECT_EQ(read, length == bigFile.size() ? std::optional(crc) : std::nullopt);
    }
}

// The time limit is the server's silence, not a job's length: a job of many calls, each answered
// well within the limit, may take longer than the limit in all.
TEST_F(SmbFileSystemTest, TheTimeLimitIsSilenceNotLength)
{
    qputenv("SORVIK_SMB_TIMEOUT", "2");
    const SmbPath place = SmbPath::parse(server->url(u"logs"_s));
    EXPECT_NO_THROW(SmbWorker().run(place, [place](SmbContext &smb, SmbBeat &) {
        SMBCCTX *ctx = smb.ready(place);
        struct stat st;
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(800));
            EXPECT_EQ(smbc_getFunctionStat(ctx)(ctx, place.url().constData(), &st), 0);
        }
    }));
}

// The helper for the first copy up starts with the first touch of a share, whichever thread that
// is, and that copy takes it; killed before, one started with the copy takes its place. None
// outlives its copy or its layer, and a layer that only looks starts none. One that is stopped is
// given up while there is time for the copy to be read back without it: a stopped helper is no
// silent server.
TEST_F(SmbFileSystemTest, TheReaderStartedAheadIsTakenOrReplacedAndNeverLeft)
{
    const QString copy = server->url(u"logs"_s, u"copy.bin"_s);
    // The live read-back helpers this process started.
    const auto readers = [] { return childrenNamed("sorvik-share-re"); };
    for (const int signal : {0, SIGKILL, SIGSTOP}) {
        SCOPED_TRACE(signal);
        qputenv("SORVIK_SMB_TIMEOUT", signal == SIGSTOP ? "2" : "30");
        fs = makeFileSystem();
        // From a thread that ends before the copy: the helper is not its.
        std::thread([&] { EXPECT_TRUE(fs->FolderExists(server->url(u"logs"_s))); }).join();
        const std::vector<pid_t> ahead = readers();
        ASSERT_EQ(ahead.size(), 1u);
        if (signal)
            ::kill(ahead[0], signal);
        while (signal == SIGKILL && !readers().empty())
            std::this_thread::yield();
        std::vector<pid_t> during;
        CopyWatch watch;
        watch.progress = [&](qint64, qint64) { during = readers(); };
        fs->CopyFile(path("big.bin"), copy, false, watch);
        EXPECT_TRUE(during.size() == 1 && (during[0] == ahead[0]) != (signal == SIGKILL));
        EXPECT_EQ(server->get(u"logs"_s, u"copy.bin"_s), bigFile);
        EXPECT_EQ(fs->FileChecksum(copy), fs->FileChecksum(path("big.bin")));
        EXPECT_TRUE(readers().empty());
        fs->DeleteFile(copy, true);
    }
    qunsetenv("SORVIK_SMB_TIMEOUT");
    fs = makeFileSystem();
    ASSERT_TRUE(fs->FolderExists(server->url(u"logs"_s)));
    fs = makeFileSystem(LayerUse::LooksOnly);
    EXPECT_TRUE(readers().empty()) << "left by its layer";
    ASSERT_TRUE(fs->FolderExists(server->url(u"logs"_s)));
    EXPECT_TRUE(readers().empty()) << "started for a layer that only looks";
}

TEST_F(SmbFileSystemTest, ACopyStoppedOrDeletedMidwayLeavesNothing)
{
    const QString copy = server->url(u"logs"_s, u"nightly/.copy.partial"_s);
    for (const bool deleteIt : {false, true}) {
        SCOPED_TRACE(deleteIt ? "deleted by another thread" : "stopped");
        bool stop = false;
        CopyWatch watch;
        watch.progress = [&](qint64, qint64) {
            EXPECT_EQ(server->list(u"logs"_s, u"nightly"_s), QStringList{u".copy.partial"_s});
            EXPECT_FALSE(server->put(u"logs"_s, u"nightly/.copy.partial"_s, "another writer"))
                << "another client writes into a copy while it is made and read back";
            // A stop request's clean-up on the window's thread, while the copy is under way.
            if (deleteIt)
                std::thread([&] { fs->DeleteFile(copy, true); }).join();
            stop = true;
        };
        watch.stop = [&] { return stop; };
        const auto failure =
            failureOf<FileSystemError>([&] { fs->CopyFile(path("big.bin"), copy, false, watch); });
        EXPECT_EQ(failure ? failure->number() : 0, ECANCELED);
        EXPECT_TRUE(server->list(u"logs"_s, u"nightly"_s).isEmpty());
    }
}

} // namespace
