#include "archive/ZipArchive.h"

#include "support/ArchiveReader.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <random>

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
        QByteArray data;
        data.reserve(size);
        std::mt19937 generator{unsigned(size)};
        while (data.size() < size) {
            if (random) {
                for (int i = 0; i < 4096; ++i)
                    data.append(char(generator()));
                if (data.size() % (64 << 10) == 0)
                    data += marker;
            } else {
                data += "2026-12-04 14:05:09.123 [0A3C] INFO MsgStore: message " +
                        QByteArray::number(quint32(generator()) % 100000) + " stored\r\n";
            }
        }
        return data.left(size);
    }

    // Archives the files with the passphrase (none: not encrypted); `peek` sees the temporary
    // file while the workers are still writing it.
    void archive(const QStringList &files, const std::shared_ptr<const Passphrase> &passphrase,
                 const std::function<void()> &peek = {})
    {
        ZipArchive zip(6, 2);
        zip.setPassphrase(passphrase);
        ASSERT_EQ(zip.NewZip(zipPath()), 1);
        if (peek)
            zip.setWaiting(peek);
        for (const QString &file : files)
            ASSERT_EQ(zip.AddFile(path(file), 0), 1) << zip.ErrorText().toStdString();
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
    bool peeked = false;
    archive(files, passphrase(), [&] {
        QFile temporary(zipPath() + u".tmp"_s);
        if (temporary.open(QIODevice::ReadOnly)) {
            peeked = true;
            EXPECT_FALSE(temporary.readAll().contains(marker)) << "plain data on the disk";
        }
    });
    EXPECT_TRUE(peeked) << "the temporary file was never looked at";
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

// An entry given up after some of its pieces were encrypted and written (the file shrank to 5 of
// its 12 MiB) is taken back out; the entry after it starts its own key stream and reads back whole.
TEST_F(ZipEncryptionTest, AnEntryLostHalfWayLeavesTheOthersWhole)
{
    writeFile("logs/data_shrinks.log", content((12 << 20) + 5, true));
    writeFile("logs/data_b.log", content(70000, true));
    {
        ZipArchive zip(6, 2);
        zip.setPassphrase(passphrase());
        ASSERT_EQ(zip.NewZip(zipPath()), 1);
        ASSERT_EQ(zip.AddFile(path("logs/data_shrinks.log"), 0), 1);
        QFile(path("logs/data_shrinks.log")).resize(5 << 20);
        ASSERT_EQ(zip.AddFile(path("logs/data_b.log"), 0), 1);
        EXPECT_EQ(zip.SaveArchive(), 0);
        ASSERT_EQ(zip.lostFiles().size(), 1u);
        EXPECT_TRUE(zip.lostFiles()[0].reason.contains(
            QRegularExpression(u"cut short while it was read: \\d+ of 12582917 bytes"_s)));
    }
    const auto content = readEncryptedArchive(zipPath(), secret);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 1u);
    EXPECT_EQ(content->at(u"data_b.log"_s).sha256, fileDigest(path("logs/data_b.log")));
}

} // namespace
