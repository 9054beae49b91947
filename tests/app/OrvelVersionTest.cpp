#include "app/OrvelVersion.h"
#include "platform/Registry.h"

#include "support/TestEnvironment.h"

namespace {

void expectVersion(quint32 version, quint32 build, int major, int minor, int buildMajor,
                   int buildMinor, const char *text)
{
    const OrvelVersionInfo info = decodeOrvelVersion(version, build);
    EXPECT_EQ(info.Major, major);
    EXPECT_EQ(info.Minor, minor);
    EXPECT_EQ(info.BuildMajor, buildMajor);
    EXPECT_EQ(info.BuildMinor, buildMinor);
    EXPECT_EQ(info.VersionText, QLatin1String(text));
}

TEST(OrvelVersion, DecodesHalvesAsDecimalDigits)
{
    expectVersion(0x00040000, 0x00010034, 4, 0, 1, 52, "4.0(1.52)");
    expectVersion(0x00030005, 0, 3, 5, 0, 0, "3.5(0.0)");
    expectVersion(0x0002000A, 0, 2, 0, 0, 0, "2.0(0.0)"); // the letter stops the reading
    expectVersion(0x00100000, 0, 10, 0, 0, 0, "10.0(0.0)");
    expectVersion(0x1A000000, 0, 1, 0, 0, 0, "1.0(0.0)");
    expectVersion(0x000A0000, 0, 0, 0, 0, 0, "0.0(0.0)");
    expectVersion(0x0000, 0x0001FFFF, 0, 0, 1, -1, "0.0(1.-1)");
    expectVersion(0x0000, 0x00008000, 0, 0, 0, -32768, "0.0(0.-32768)");
    expectVersion(0x99999999, 0, 9999, 9999, 0, 0, "9999.9999(0.0)");
}

class OrvelVersionRegistry : public TempEnvironment {};

TEST_F(OrvelVersionRegistry, ReadsBothNumbersAndCountsMissingOnesAsZero)
{
    writeServedProduct(0x00030005);
    EXPECT_EQ(GetOrvelVersion(*makeRegistry()).VersionText, u"3.5(1.52)"_s);

    writeRegistry("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Quenvo]\n");
    EXPECT_EQ(GetOrvelVersion(*makeRegistry()).VersionText, u"0.0(0.0)"_s);

    // Stored as a string of three bytes with its zero: read as a number made of those bytes.
    writeRegistry("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Quenvo]\n"
                  "\"Version Number\"=hex:00,00,04\n\"Build Number\"=\"too long for a number\"\n");
    EXPECT_EQ(GetOrvelVersion(*makeRegistry()).VersionText, u"4.0(0.0)"_s);
}

} // namespace
