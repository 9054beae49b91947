#include "platform/posix/RegFile.h"

#include "support/Utf16.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

using namespace Qt::Literals::StringLiterals;

namespace {

// A value's type and data; "<missing>" when it is not there.
std::pair<quint32, QByteArray> valueOf(const RegFile &hive, quint32 root, const QString &key,
                                       const QString &name)
{
    const RegFile::Values *values = hive.key(root, key);
    if (!values || !values->contains(name.toCaseFolded()))
        return {0, "<missing>"};
    const RegistryValue value = values->value(name.toCaseFolded());
    return {value.type, value.data};
}

// Hives made up at random, written as regedit writes them (every kind of value, long hex data
// wrapped, names and text with quotes, backslashes and letters beyond ASCII) in every encoding a
// file may come in, and read back: each value as made, asked for in another letter case, its
// key's ancestors there, and nothing under another root.
TEST(RegFile, AnyHiveWrittenAsRegeditWritesItReadsBack)
{
    std::mt19937 random(20261207);
    const QStringList pieces = u"a|Z|0| |.|_|{|-|\u00e9|\u0436|\u65e5|\U0001F4DC"_s.split(u'|');
    const auto word = [&](const QString &more) {
        const QStringList all = pieces + more.split(QString(), Qt::SkipEmptyParts);
        QString text;
        for (int n = 1 + int(random() % 8); n > 0; --n)
            text += all.at(qsizetype(random() % all.size()));
        return text;
    };
    // As regedit escapes a name or a text between quotes.
    const auto quoted = [](QString text) {
        return u"\""_s + text.replace(u"\\"_s, u"\\\\"_s).replace(u"\""_s, u"\\\""_s) + u"\""_s;
    };
    const auto hexList = [&](const QByteArray &bytes) {
        QString list;
        for (qsizetype i = 0; i < bytes.size(); ++i)
            list += u"%1%2"_s.arg(uint(uchar(bytes[i])), 2, 16, QChar(u'0'))
                        .arg(i + 1 == bytes.size() ? u""_s
                             : i % 20 == 19        ? u",\\\r\n  "_s
                                                   : u","_s);
        return list;
    };
    const std::pair<QString, quint32> roots[] = {
        {u"HKEY_LOCAL_MACHINE"_s, RegistryRoot::LocalMachine},
        {u"HKLM"_s, RegistryRoot::LocalMachine},
        {u"HKEY_CLASSES_ROOT"_s, RegistryRoot::ClassesRoot},
        {u"HKEY_CURRENT_USER"_s, RegistryRoot::CurrentUser}};
    struct Made {
        quint32 root;
        QString key, name;
        RegistryValue value;
    };
    for (int round = 0; round < 30; ++round) {
        std::vector<Made> made;
        QString text =
            round % 2 ? u"REGEDIT4\r\n\r\n"_s : u"Windows Registry Editor Version 5.00\r\n\r\n"_s;
        for (int k = 0, keys = 1 + int(random() % 4); k < keys; ++k) {
            const auto &[rootName, root] = roots[random() % std::size(roots)];
            const QString key = u"k%1\\"_s.arg(k) + word({});
            text += u"["_s + rootName + u"\\"_s + key + u"]\r\n"_s;
            for (int v = 0, values = int(random() % 6); v < values; ++v) {
                const QString name = v == 0 ? QString() : u"v%1"_s.arg(v) + word(u"\"\\"_s);
                QString data;
                RegistryValue value;
                const QByteArray bytes = [&] {
                    QByteArray b;
                    for (int n = int(random() % 50); n > 0; --n)
                        b.append(char(random()));
                    return b;
                }();
                switch (random() % 4) {
                case 0: {
                    const QString written = word(u"\"\\=@["_s);
                    data = quoted(written);
                    value = {RegistryType::String, written.toUtf8() + '\0'};
                    break;
                }
                case 1: {
                    const quint32 number = quint32(random());
                    data = u"dword:%1"_s.arg(number, 8, 16, QChar(u'0'));
                    value = {RegistryType::DWord,
                             QByteArray(reinterpret_cast<const char *>(&number), 4)};
                    break;
                }
                case 2: {
                    const quint32 type = std::array{0u, 3u, 4u, 11u, 0x20u}[random() % 5];
                    data =
                        (type == 3 ? u"hex:"_s : u"hex(%1):"_s.arg(type, 0, 16)) + hexList(bytes);
                    value = {type, bytes};
                    break;
                }
                default: {
                    const QString written = word(u"\"\\"_s);
                    const quint32 type = std::array{1u, 2u, 7u}[random() % 3];
                    data = u"hex(%1):"_s.arg(type) + hexList(utf16Le(written + QChar(0), false));
                    value = {type, written.toUtf8() + '\0'};
                }
                }
                text += (name.isEmpty() ? u"@"_s : quoted(name)) + u"="_s + data + u"\r\n"_s;
                made.push_back({root, key, name, value});
            }
            text += u"\r\n"_s;
        }
        for (const QByteArray &bytes : {utf16Le(text), utf16Le(text, false), text.toUtf8(),
                                        QByteArray("\xEF\xBB\xBF") + text.toUtf8()}) {
            const RegFile hive = RegFile::parse(bytes);
            for (const Made &m : made) {
                SCOPED_TRACE(qPrintable(m.key + u" "_s + m.name));
                EXPECT_EQ(valueOf(hive, m.root, m.key.toUpper(), m.name.toUpper()),
                          std::pair(m.value.type, m.value.data));
                EXPECT_NE(hive.key(m.root, m.key.section(u'\\', 0, 0)), nullptr);
                EXPECT_EQ(hive.key(0x1234, m.key), nullptr);
            }
        }
    }
    // A single-byte file keeps its bytes.
    const QByteArray latin1 =
        "REGEDIT4\r\n[HKLM\\Software\\Quenvo]\r\n\"Name\"=\"/var/caf\xe9\"\r\n";
    EXPECT_EQ(valueOf(RegFile::parse(latin1), RegistryRoot::LocalMachine, u"Software\\Quenvo"_s,
                      u"name"_s),
              std::pair(RegistryType::String, QByteArray("/var/caf\xe9\0", 10)));
}

TEST(RegFile, DeepAndManyKeysKeepTheirAncestorsWithoutStoringThem)
{
    // Once every ancestor was stored: a 32,000-deep key took the square of its length in memory.
    const QByteArray deep =
        "REGEDIT4\n[HKLM" + QByteArray("\\a").repeated(32000) + "]\n\"v\"=\"x\"\n";
    QByteArray many = "REGEDIT4\n";
    for (int i = 0; i < 1000; ++i)
        many += "[HKLM\\k" + QByteArray::number(i) + QByteArray("\\b").repeated(1000) + "]\n";
    // Sorts after "k\": a key that merely starts with "k" must not bring "k" into being.
    many += "[HKLM\\k_b]\n";
    const RegFile deepHive = RegFile::parse(deep);
    const RegFile manyHive = RegFile::parse(many);
    EXPECT_EQ(deepHive.keyCount(), 1);
    EXPECT_EQ(manyHive.keyCount(), 1001);
    const QString a = u"\\a"_s;
    const struct {
        const RegFile &hive;
        QString key;
        bool exists;
    } cases[] = {
        {deepHive, u"a"_s, true},
        {deepHive, u"a"_s + a.repeated(15999), true},
        {deepHive, u"A"_s + a.repeated(31999) + u"\\"_s, true},
        {deepHive, u"a"_s + a.repeated(32000), false},
        {deepHive, u"a\\b"_s, false},
        {deepHive, QString(), true},
        {manyHive, u"K999"_s, true},
        {manyHive, u"k1"_s, true},
        {manyHive, u"k"_s, false}, // a prefix that does not end at a backslash
        {manyHive, u"k1000"_s, false},
        {manyHive, u"k12"_s + u"\\b"_s.repeated(500), true},
        {manyHive, u"k12\\b\\c"_s, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.hive.key(RegistryRoot::LocalMachine, c.key) != nullptr, c.exists)
            << qPrintable(c.key.left(40));
    EXPECT_EQ(valueOf(deepHive, RegistryRoot::LocalMachine, u"a"_s + a.repeated(31999), u"v"_s),
              std::pair(RegistryType::String, QByteArray("x", 2)));
    EXPECT_EQ(deepHive.key(RegistryRoot::LocalMachine, u"a"_s)->size(), 0);
    EXPECT_EQ(deepHive.key(RegistryRoot::CurrentUser, QString()), nullptr);
}

TEST(RegFile, IgnoresWhatItCannotRead)
{
    const QByteArray messy = "Windows Registry Editor Version 5.00\n"
                             "\"Orphan\"=\"before any key\"\n"
                             "[HKEY_NOWHERE\\Key]\n"
                             "\"Lost\"=\"unknown root\"\n"
                             "[HKEY_LOCAL_MACHINE\\Good]\n"
                             "\"Unterminated\"=\"no end\n"
                             "\"Trailing\"=\"text\" junk\n"
                             "\"BadDword\"=dword:123456789\n"
                             "\"SignedDword\"=dword:-1\n"
                             "\"BadHex\"=hex:1,zz\n"
                             "\"BadType\"=hex(q):00\n"
                             "\"NoEquals\" \"x\"\n"
                             "\"\"=\"empty name\"\n"
                             "\"Kept\"=\"yes\"\n"
                             "\"Removed\"=\"soon\"\n"
                             "\"Removed\"=-\n"
                             "[-HKEY_LOCAL_MACHINE\\Gone]\n"
                             "\"Ignored\"=\"in a removal\"\n"
                             "[HKEY_LOCAL_MACHINE\\Half\n";
    const RegFile hive = RegFile::parse(messy);
    const RegFile::Values *good = hive.key(RegistryRoot::LocalMachine, u"Good"_s);
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(good->keys(), QList<QString>{u"kept"_s});
    EXPECT_EQ(hive.key(RegistryRoot::LocalMachine, u"Gone"_s), nullptr);
    EXPECT_EQ(hive.key(RegistryRoot::LocalMachine, u"Half"_s), nullptr);

    EXPECT_EQ(RegFile::parse("[HKEY_LOCAL_MACHINE\\NoHeader]\n\"a\"=\"b\"\n").keyCount(), 0);
    EXPECT_EQ(RegFile::parse(QByteArray()).keyCount(), 0);
    EXPECT_EQ(RegFile::parse("\xFF\xFE").keyCount(), 0);
}

TEST(RegFile, AHugeValueIsReadWhole)
{
    // A huge value, and a huge continued one: read whole, no limit of our own.
    QByteArray huge =
        "REGEDIT4\n[HKLM\\Big]\n\"Text\"=\"" + QByteArray(4 << 20, 'x') + "\"\n\"Hex\"=hex:";
    for (int i = 0; i < 100000; ++i)
        huge += "ab,\\\n  ";
    huge += "cd\n";
    const RegFile hive = RegFile::parse(huge);
    EXPECT_EQ(valueOf(hive, RegistryRoot::LocalMachine, u"Big"_s, u"Text"_s).second.size(),
              (4 << 20) + 1);
    EXPECT_EQ(valueOf(hive, RegistryRoot::LocalMachine, u"Big"_s, u"Hex"_s).second.size(), 100001);
}

} // namespace
