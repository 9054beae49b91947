#include "platform/posix/RegFile.h"

#include "support/Utf16.h"

#include <gtest/gtest.h>

#include <random>

using namespace Qt::Literals::StringLiterals;

namespace {

QByteArray valueData(const RegFile &hive, quint32 root, const QString &key, const QString &name,
                     quint32 *type = nullptr)
{
    const RegFile::Values *values = hive.key(root, key);
    if (!values || !values->contains(name.toCaseFolded()))
        return QByteArray("<missing>");
    if (type)
        *type = values->value(name.toCaseFolded()).type;
    return values->value(name.toCaseFolded()).data;
}

const QByteArray sample =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; the served product's own entries\r\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{60EB7702-6A7A-11D1-8029-00C04FAD610B}\\InprocServer32]\r\n"
    "@=\"/opt/orvel/lib/libOrvelComponents.so\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0]\r\n"
    "\"Output Path\"=\"C:\\\\Orvel\\\\Logs\\\\\"\r\n"
    "\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo]\r\n"
    "\"Version Number\"=dword:00040000\r\n"
    "\"Blob\"=hex:01,02,ff,\\\r\n"
    "  10,20\r\n"
    "\"Expand\"=hex(2):25,00,41,00,e9,00,00,00\r\n"
    "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n";

TEST(RegFile, ReadsEveryKindOfValue)
{
    const RegFile hive = RegFile::parse(sample);
    quint32 type = 0;
    EXPECT_EQ(valueData(hive, RegistryRoot::ClassesRoot,
                        u"CLSID\\{60EB7702-6A7A-11D1-8029-00C04FAD610B}\\InprocServer32"_s,
                        QString(), &type),
              QByteArray("/opt/orvel/lib/libOrvelComponents.so", 37));
    EXPECT_EQ(type, RegistryType::String);
    EXPECT_EQ(valueData(hive, RegistryRoot::LocalMachine, u"SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0"_s,
                        u"Output Path"_s),
              QByteArray("C:\\Orvel\\Logs\\", 15));
    EXPECT_EQ(valueData(hive, RegistryRoot::LocalMachine, u"SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0"_s,
                        u"Quoted"_s),
              QByteArray("say \"hi\"", 9));
    EXPECT_EQ(valueData(hive, RegistryRoot::LocalMachine, u"SOFTWARE\\Quenvo"_s,
                        u"Version Number"_s, &type),
              QByteArray("\x00\x00\x04\x00", 4));
    EXPECT_EQ(type, RegistryType::DWord);
    EXPECT_EQ(valueData(hive, RegistryRoot::LocalMachine, u"SOFTWARE\\Quenvo"_s, u"Blob"_s, &type),
              QByteArray("\x01\x02\xff\x10\x20", 5));
    EXPECT_EQ(type, RegistryType::Binary);
    // String types stored as UTF-16 come back as the system's bytes for them.
    EXPECT_EQ(
        valueData(hive, RegistryRoot::LocalMachine, u"SOFTWARE\\Quenvo"_s, u"Expand"_s, &type),
        QByteArray("%A\xc3\xa9\x00", 5));
    EXPECT_EQ(type, RegistryType::ExpandString);
    EXPECT_EQ(
        valueData(hive, RegistryRoot::LocalMachine, u"SOFTWARE\\Quenvo"_s, u"Quad"_s, &type).size(),
        8);
    EXPECT_EQ(type, 11u);
}

TEST(RegFile, NamesCompareWithoutCaseAndKeysBringTheirAncestors)
{
    const RegFile hive = RegFile::parse(sample);
    EXPECT_NE(hive.key(RegistryRoot::LocalMachine, u"software\\QUENVO\\"_s), nullptr);
    EXPECT_NE(hive.key(RegistryRoot::LocalMachine, u"Software"_s), nullptr);
    EXPECT_NE(hive.key(RegistryRoot::ClassesRoot, u"clsid"_s), nullptr);
    EXPECT_EQ(hive.key(RegistryRoot::CurrentUser, u"Software"_s), nullptr);
    EXPECT_EQ(hive.key(RegistryRoot::LocalMachine, u"SOFTWARE\\Other"_s), nullptr);
    EXPECT_EQ(hive.key(0x1234, u"SOFTWARE"_s), nullptr);
    EXPECT_EQ(
        valueData(hive, RegistryRoot::LocalMachine, u"SOFTWARE\\Quenvo"_s, u"VERSION NUMBER"_s),
        QByteArray("\x00\x00\x04\x00", 4));
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
    EXPECT_EQ(valueData(deepHive, RegistryRoot::LocalMachine, u"a"_s + a.repeated(31999), u"v"_s),
              QByteArray("x", 2));
    EXPECT_EQ(deepHive.key(RegistryRoot::LocalMachine, u"a"_s)->size(), 0);
    EXPECT_EQ(deepHive.key(RegistryRoot::CurrentUser, QString()), nullptr);
}

// A value round-trips whatever the file's encoding: as regedit writes it (UTF-16LE with its mark,
// or without), UTF-8 with or without a mark, the old header; a single-byte file keeps its bytes.
TEST(RegFile, ValuesRoundTripWhateverTheEncoding)
{
    for (const QString &folder :
         {u"/var/caf\u00e9"_s, u"/var/\u0436\u0443\u0440\u043d\u0430\u043b"_s,
          u"/var/\u65e5\u5fd7"_s, u"/var/\U0001F4DC"_s}) {
        for (const char *header : {"REGEDIT4", "Windows Registry Editor Version 5.00"}) {
            const QString text = QLatin1String(header) +
                                 u"\r\n\r\n[HKLM\\Software\\Quenvo]\r\n\"Name\"=\""_s + folder +
                                 u"\"\r\n\"Hex\"=hex(1):"_s;
            QStringList hex;
            for (const char byte : utf16Le(folder + QChar(0), false))
                hex << QString::number(uchar(byte), 16).rightJustified(2, u'0');
            const QString whole = text + hex.join(u',') + u"\r\n"_s;
            const QByteArray wanted = folder.toUtf8() + '\0';
            for (const QByteArray &bytes : {utf16Le(whole), utf16Le(whole, false), whole.toUtf8(),
                                            QByteArray("\xEF\xBB\xBF") + whole.toUtf8()}) {
                const RegFile hive = RegFile::parse(bytes);
                EXPECT_EQ(
                    valueData(hive, RegistryRoot::LocalMachine, u"Software\\Quenvo"_s, u"name"_s),
                    wanted)
                    << qPrintable(folder) << header;
                EXPECT_EQ(
                    valueData(hive, RegistryRoot::LocalMachine, u"Software\\Quenvo"_s, u"hex"_s),
                    wanted)
                    << qPrintable(folder) << header;
            }
        }
    }
    const QByteArray latin1 =
        "REGEDIT4\r\n[HKLM\\Software\\Quenvo]\r\n\"Name\"=\"/var/caf\xe9\"\r\n";
    EXPECT_EQ(valueData(RegFile::parse(latin1), RegistryRoot::LocalMachine, u"Software\\Quenvo"_s,
                        u"name"_s),
              QByteArray("/var/caf\xe9\0", 10));
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

TEST(RegFile, SurvivesHostileInput)
{
    std::mt19937 random(20261206);
    const QByteArray alphabet =
        "[]\\\"=@:,-;()\r\n hexdword0123456789abcdefHKEY_LOCAL_MACHINE\xff\xfe\x00";
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes =
            round % 2 ? QByteArray("Windows Registry Editor Version 5.00\r\n") : QByteArray();
        const int length = int(random() % 400);
        for (int i = 0; i < length; ++i)
            bytes.append(round % 3 ? alphabet.at(int(random() % alphabet.size())) : char(random()));
        RegFile::parse(bytes);
        // Every prefix of a good file, cut anywhere, parses too.
        RegFile::parse(sample.left(int(random() % sample.size())));
    }

    // A huge value, and a huge continued one: read whole, no limit of our own.
    QByteArray huge =
        "REGEDIT4\n[HKLM\\Big]\n\"Text\"=\"" + QByteArray(4 << 20, 'x') + "\"\n\"Hex\"=hex:";
    for (int i = 0; i < 100000; ++i)
        huge += "ab,\\\n  ";
    huge += "cd\n";
    const RegFile hive = RegFile::parse(huge);
    EXPECT_EQ(valueData(hive, RegistryRoot::LocalMachine, u"Big"_s, u"Text"_s).size(),
              (4 << 20) + 1);
    EXPECT_EQ(valueData(hive, RegistryRoot::LocalMachine, u"Big"_s, u"Hex"_s).size(), 100001);
}

} // namespace
