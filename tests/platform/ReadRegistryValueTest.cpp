#include "platform/ReadRegistryValue.h"
#include "common/Failure.h"
#include "platform/Registry.h"

#include "support/TestEnvironment.h"

#include <QDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class ReadRegistryValueTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        QByteArray reg =
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n";
        reg += "\"Long\"=\"" + QByteArray(1023, 'a') + "\"\r\n";
        reg += "\"Empty\"=\"\"\r\n";
        reg += "\"NoBytes\"=hex(1):\r\n";
        reg += "\"Short\"=\"ab\"\r\n";
        reg += "\"Four\"=\"abcd\"\r\n";
        reg += "\"Number\"=dword:fffffffe\r\n";
        reg += "\"OneByte\"=hex:7f\r\n";
        reg += "\"NoBinary\"=hex:\r\n";
        reg += "\"Binary4096\"=hex:" + QByteArray("00,").repeated(4095) + "00\r\n";
        reg += "\"Binary4097\"=hex:" + QByteArray("00,").repeated(4096) + "00\r\n";
        // Two bytes a letter: 511 letters and the zero fill 1,023 bytes, one more letter is 1,025
        // (which no other kind of letter makes longer: the logging folder's path at each length
        // is a whole run's, LogCollectionTest).
        reg += "\"Cyrillic511\"=\"" + QString(511, QChar(0x0436)).toUtf8() + "\"\r\n";
        reg += "\"Cyrillic512\"=\"" + QString(512, QChar(0x0436)).toUtf8() + "\"\r\n";
        writeRegistry(reg);
        registry = makeRegistry();
    }

    QVariant read(const char *name, qint16 kind, const QVariant &fallback = u"default"_s)
    {
        return ReadRegistryValue(*registry, RegistryRoot::LocalMachine, u"SOFTWARE\\Test"_s,
                                 QLatin1String(name), kind, fallback);
    }

    std::unique_ptr<Registry> registry;
};

// The buffers count bytes, at their size and one either side: a string or binary beyond its
// buffer is the default, and a string can be told from a missing one; a number is the data's
// bytes, low first, and more than four do not fit; data of zero bytes is an argument error (5); a
// kind it does not know is error 1001, but only where the key exists.
TEST_F(ReadRegistryValueTest, EachKindAtItsBufferSize)
{
    const QString fallback = u"default"_s;
    const struct {
        const char *name;
        qint16 kind;
        QVariant read;
        bool tooLong = false;
    } cases[] = {
        {"Long", RegistryKind::String, QString(1023, u'a')},
        {"Cyrillic511", RegistryKind::String, QString(511, QChar(0x0436))},
        {"Cyrillic512", RegistryKind::String, fallback, true},
        {"Missing", RegistryKind::String, fallback},
        {"Empty", RegistryKind::String, QString()},
        {"NoBytes", RegistryKind::String, 5},
        {"NoBinary", RegistryKind::Binary, 5},
        {"Number", RegistryKind::Number, QVariant::fromValue(qint32(-2))},
        {"Short", RegistryKind::Number, QVariant::fromValue(qint32(0x6261))}, // 'a' 'b' and zero
        {"Four", RegistryKind::Number, fallback},
        {"OneByte", RegistryKind::Number, QVariant::fromValue(qint32(0x7f))},
        {"OneByte", RegistryKind::Binary, QByteArray("\x7f")},
        {"Binary4096", RegistryKind::Binary, QByteArray(4096, '\0')},
        {"Binary4097", RegistryKind::Binary, fallback},
        {"Number", 7, 1001},
    };
    for (const auto &c : cases) {
        QVariant read;
        try {
            read = ReadRegistryValueTest::read(c.name, c.kind);
        } catch (const Failure &failure) {
            read = failure.number();
            EXPECT_TRUE(failure.number() != 1001 ||
                        failure.description() == u"Unsupported value type"_s);
        }
        EXPECT_TRUE(read == c.read) << c.name << ": " << qPrintable(read.toString());
        if (c.kind != RegistryKind::String)
            continue;
        EXPECT_EQ(RegistryStringTooLong(*registry, RegistryRoot::LocalMachine, u"SOFTWARE\\Test"_s,
                                        QLatin1String(c.name)),
                  c.tooLong)
            << c.name;
    }
    EXPECT_FALSE(RegistryStringTooLong(*registry, RegistryRoot::LocalMachine, u"SOFTWARE\\None"_s,
                                       u"Long"_s));
    EXPECT_EQ(ReadRegistryValue(*registry, RegistryRoot::LocalMachine, u"SOFTWARE\\Nothing"_s,
                                u"x"_s, 7, 42),
              42);
}

TEST_F(ReadRegistryValueTest, WhatIsNoRegularFileOrTooLargeIsRefusedAtOnceWithItsReason)
{
    const QString good = path(u"good.reg"_s);
    QFile::copy(registryPath(), good);
    const auto padded = [&](qint64 size) {
        QFile file(registryPath());
        return QFile::copy(good, registryPath()) && file.open(QIODevice::ReadWrite) &&
               file.resize(size);
    };
    const struct {
        const char *what;
        std::function<bool()> make;
        QString reason; // empty: read
    } cases[] = {
        {"a FIFO with no writer",
         [&] { return ::mkfifo(QFile::encodeName(registryPath()).constData(), 0600) == 0; },
         u"not a regular file"_s},
        {"a link to a device", [&] { return QFile::link(u"/dev/zero"_s, registryPath()); },
         u"not a regular file"_s},
        {"a folder", [&] { return QDir().mkpath(registryPath()); }, u"not a regular file"_s},
        {"no header", [&] { return QFile::copy(u"/dev/null"_s, registryPath()); },
         u"it does not start with"_s},
        {"missing", [&] { return true; }, u"No such file or directory"_s},
        {"a link to a regular file", [&] { return QFile::link(good, registryPath()); }, QString()},
        // The cap and one either side: the same file, padded.
        {"at the cap", [&] { return padded(qint64(64) << 20); }, QString()},
        {"one below the cap", [&] { return padded((qint64(64) << 20) - 1); }, QString()},
        {"one past the cap", [&] { return padded((qint64(64) << 20) + 1); },
         u"larger than 64 MiB"_s},
    };
    for (const auto &c : cases) {
        QFile::remove(registryPath());
        QDir(registryPath()).removeRecursively();
        ASSERT_TRUE(c.make()) << c.what;
        ::alarm(20); // a read that waits or grows without end ends the test program
        const bool found = read("Short", RegistryKind::String).toString() == u"ab"_s;
        ::alarm(0);
        EXPECT_EQ(found, c.reason.isEmpty()) << c.what;
        const QString problem = registry->problem();
        EXPECT_EQ(problem.isEmpty(), c.reason.isEmpty()) << c.what;
        EXPECT_TRUE(c.reason.isEmpty() ||
                    (problem.startsWith(u"Cannot "_s) && problem.contains(registryPath()) &&
                     problem.contains(c.reason)))
            << c.what << ": " << qPrintable(problem);
    }
}

} // namespace
