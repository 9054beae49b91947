#include "archive/ZipArchive.h"

#include "platform/FileSystem.h"
#include "support/ArchiveReader.h"
#include "support/Noise.h"
#include "support/TestEnvironment.h"
#include "support/WorkerGate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <random>

#include <sys/stat.h>

namespace {

const QByteArray secret = "horse battery \xc3\xa9 staple";
// Stands out in an archive whose content is not encrypted: random data is stored, not deflated.
const QByteArray marker = "PLAINTEXT-MARKER-0123456789-abcdefghijklmnop";

class ZipEncryptionTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        QDir().mkpath(path("ZIPS"));
        QDir().mkpath(path("logs"));
    }

    QString zipPath() const { return path("ZIPS/archive.ZIP"); }

    // Random bytes with the marker every 64 KiB, or log text: data that deflate stores and data
    // it shrinks, so that the encrypted lengths cross the key stream's blocks both ways.
    static QByteArray content(qsizetype size, bool random)
    {
        if (!random)
            return logText(size, 7);
        QByteArray data;
        data.reserve(size);
        std::mt19937 generator{unsigned(size)};
        while (data.size() < size) {
            for (int i = 0; i < 4096; ++i)
                data.append(char(generator()));
            if (data.size() % (64 << 10) == 0)
                data += marker;
        }
        return data.left(size);
    }

    // Archives the files with the passphrase (none: not encrypted); `peek` sees the temporary
    // file while the workers are still writing it, and adds the entry "data_gate.log".
    void archive(const QStringList &files, const std::shared_ptr<const Passphrase> &passphrase,
                 const std::function<void()> &peek = {})
    {
        ZipArchive zip(6, 2);
        zip.setPassphrase(passphrase);
        ASSERT_EQ(zip.NewZip(zipPath()), 1);
        for (const QString &file : files)
            ASSERT_EQ(zip.AddFile(path(file), 0), 1) << zip.ErrorText().toStdString();
        // Held behind every file: the peek comes once they are all written.
        const GateOpenedAtEnd held;
        if (peek) {
            ASSERT_EQ(zip.AddData(path("logs/data_gate.log"), "gate\n", {{}, held.gate}), 1);
            zip.setWaiting([&] {
                if (zip.progress().done + 5 == zip.progress().total) {
                    peek();
                    held.gate->open();
                }
            });
        }
        EXPECT_EQ(zip.SaveArchive(), 1) << zip.ErrorText().toStdString();
    }

    std::shared_ptr<const Passphrase> passphrase() const
    {
        return std::make_shared<const Passphrase>(secret.constData(), size_t(secret.size()));
    }
};

// Sizes at and either side of each boundary: the AES block (16), the key stream made at once
// (16 KiB), a file compressed whole (4 MiB) and its pieces. Both independent readers take every
// entry byte for byte with the passphrase and refuse every one without it.
TEST_F(ZipEncryptionTest, EveryEntryReadsBackWithThePassphraseAndNoneWithout)
{
    std::vector<qsizetype> sizes{0, 1, (8 << 20) + 17};
    for (const qsizetype edge : {16, 16 << 10, 4 << 20})
        for (const qsizetype step : {-1, 0, 1})
            sizes.push_back(edge + step);
    QStringList files;
    std::map<QString, QByteArray> digests;
    for (const qsizetype size : sizes) {
        for (const bool random : {true, false}) {
            const QString name = u"logs/data_%1_%2.log"_s.arg(size).arg(random ? "random" : "text");
            const QByteArray data = content(size, random);
            writeFile(name, data);
            files << name;
            digests[name.mid(5)] = fileDigest(path(name));
        }
    }
    int peeked = 0;
    archive(files, passphrase(), [&] {
        const QByteArray written = readFile("ZIPS/archive.ZIP.tmp");
        peeked = int(written.size() > (20 << 20)) + int(!written.contains(marker));
    });
    EXPECT_EQ(peeked, 2) << "plain data on the disk, or little of it written";
    digests[u"data_gate.log"_s] =
        QCryptographicHash::hash("gate\n", QCryptographicHash::Sha256).toHex();
    EXPECT_FALSE(readFile("ZIPS/archive.ZIP").contains(marker));

    const auto content = readEncryptedArchive(zipPath(), secret);
    ASSERT_TRUE(content);
    ASSERT_EQ(content->size(), digests.size());
    for (const auto &[name, digest] : digests) {
        EXPECT_EQ(content->at(name).sha256, digest) << name.toStdString();
        EXPECT_EQ(content->at(name).method, name.startsWith(u"data_0_"_s) ? 0 : 8);
    }
    const Refusals refused = refusedEntries(zipPath(), "horse battery staple");
    EXPECT_EQ(refused.sevenZip, int(digests.size()));
    EXPECT_EQ(refused.reference, int(digests.size()));

    // The same files without a passphrase show the marker: the check above can fail.
    QFile::remove(zipPath());
    archive(files, nullptr);
    EXPECT_TRUE(readFile("ZIPS/archive.ZIP").contains(marker));
}

// The longest passphrase a file may give is the longest 7-Zip takes: one byte more and it opens
// nothing ("Wrong password"), though the archive is sound.
TEST_F(ZipEncryptionTest, SevenZipOpensArchivesMadeWithTheLongestPassphrase)
{
    writeFile("logs/data_a.log", content(1000, false));
    for (const size_t length : {passphraseLimit, passphraseLimit + 1}) {
        const QByteArray phrase = QByteArray("Tr0ub4dor&3 ").repeated(10).left(qsizetype(length));
        QFile::remove(zipPath());
        archive({u"logs/data_a.log"_s},
                std::make_shared<const Passphrase>(phrase.constData(), length));
        EXPECT_EQ(refusedEntries(zipPath(), phrase),
                  (Refusals{length > passphraseLimit ? 1 : 0, 0}))
            << length;
    }
}

// A file that is not its size would be a wrong entry: a pseudo-file whose size says nothing of
// its content, a file that shrank after it was added (to 5 of its 12 MiB: some of its pieces
// were compressed and written), or one cut to nothing and written again past its old end. It
// costs that entry only, taken back out, plain or encrypted; the
// entry after it (its own key stream) reads back whole.
TEST_F(ZipEncryptionTest, AFileThatIsNotItsSizeCostsOnlyItself)
{
    // What becomes of a file once it is open, before any of it is read.
    const auto shrink = [&] { EXPECT_TRUE(QFile(path("logs/data_shrinks.log")).resize(5 << 20)); };
    // Cut to nothing, and its writer goes on where it was: a hole where the file was.
    const auto rotate = [&](const char *name, qint64 at) {
        QFile rotated(path(name));
        EXPECT_TRUE(rotated.resize(0) && rotated.open(QIODevice::ReadWrite) && rotated.seek(at) &&
                    rotated.write("next line\n") == 10);
    };
    const struct {
        QString path;
        const char *reason;
        std::function<void()> then;
        bool batched = false; // waits in a batch, rotated as the batch is handed over
    } unlike[] = {
        {u"/proc/self/status"_s, "holds more than its size of 0 bytes", {}},      // size 0, more
        {u"/sys/devices/system/cpu/online"_s, "cut short while it was read", {}}, // size 4096
        {path("logs/data_shrinks.log"), "cut short while it was read: \\d+ of 12582917 bytes",
         shrink},
        {path("logs/data_rotated.log"), "cut short and written again while it was read",
         [&] { rotate("logs/data_rotated.log", 1 << 20); }},
        // Past its first block, in one piece: its zeros tell it was cut before it was read.
        {path("logs/data_5000.log"), "cut short and written again while it was read",
         [&] { rotate("logs/data_5000.log", 5000); }, true},
        // Within its first block no hole tells: read as it is added behind the others, and kept.
        {path("logs/data_small.log"), nullptr, [&] { rotate("logs/data_small.log", 4095); }},
    };
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        // Deflated after the lost entry, and stored.
        writeFile("logs/data_b.log", content(70000, encrypted));
        writeFile("logs/data_shrinks.log", content((12 << 20) + 5, true));
        writeFile("logs/data_rotated.log", content(1 << 20, true));
        writeFile("logs/data_small.log", content(4095, true));
        writeFile("logs/data_5000.log", content(5000, true));
        const QByteArray small = fileDigest(path("logs/data_small.log"));
        {
            ZipArchive zip(6, encrypted ? 2 : 1);
            zip.setPassphrase(encrypted ? passphrase() : nullptr);
            ASSERT_EQ(zip.NewZip(zipPath()), 1);
            // Nothing is written before the rows are added: the small file has them behind it.
            const GateOpenedAtEnd held;
            ASSERT_EQ(zip.AddData(path("logs/data_first.log"), "first\n", {{}, held.gate}), 1);
            // Each of those files, past a batch's bytes, goes to the workers as it is added.
            std::function<void()> due;
            zip.setHandingOver([&] {
                if (due)
                    std::exchange(due, {})();
            });
            size_t added = 0;
            for (const auto &file : unlike) {
                struct stat st;
                if (::stat(nativePath(file.path).constData(), &st) == 0) {
                    due = file.reason ? file.then : nullptr;
                    ASSERT_EQ(zip.AddFile(file.path, 0), 1) << zip.ErrorText().toStdString();
                    if (file.batched)
                        zip.handOver();
                    EXPECT_FALSE(due) << "not handed over at once";
                    added += file.reason != nullptr;
                    if (!file.reason) {
                        // Rotated at the next hand-over, while it waits behind the others.
                        zip.handOver();
                        due = file.then;
                    }
                }
            }
            held.gate->open();
            ASSERT_EQ(zip.AddFile(path("logs/data_b.log"), 0), 1);
            EXPECT_EQ(zip.SaveArchive(), 0);
            ASSERT_EQ(zip.lostFiles().size(), added);
            for (const ZipArchive::LostFile &lost : zip.lostFiles()) {
                const auto row =
                    std::find_if(std::begin(unlike), std::end(unlike),
                                 [&](const auto &p) { return p.reason && p.path == lost.path; });
                ASSERT_NE(row, std::end(unlike)) << lost.path.toStdString();
                EXPECT_TRUE(lost.reason.contains(QRegularExpression(QLatin1String(row->reason))))
                    << lost.reason.toStdString();
                EXPECT_TRUE(zip.ErrorText().contains(lost.path));
            }
        }
        const auto content =
            encrypted ? readEncryptedArchive(zipPath(), secret) : readArchive(zipPath());
        ASSERT_TRUE(content);
        ASSERT_EQ(content->size(), 3u);
        EXPECT_EQ(content->at(u"data_b.log"_s).sha256, fileDigest(path("logs/data_b.log")));
        EXPECT_EQ(content->at(u"data_small.log"_s).sha256, small);
        EXPECT_EQ(QDir(path("ZIPS")).entryList(QDir::Files | QDir::Hidden),
                  QStringList{u"archive.ZIP"_s});
    }
}

} // namespace
