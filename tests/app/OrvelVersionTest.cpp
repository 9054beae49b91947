#include "app/OrvelVersion.h"
#include "platform/Registry.h"

#include "support/TestEnvironment.h"

namespace {

// The text is made of the four numbers, so it shows each of them.
TEST(OrvelVersion, DecodesHalvesAsDecimalDigits)
{
    const struct {
        quint32 version, build;
        const char *text;
    } cases[] = {
        {0x00040000, 0x00010034, "4.0(1.52)"}, {0x00030005, 0, "3.5(0.0)"},
        {0x0002000A, 0, "2.0(0.0)"}, // the letter stops the reading
        {0x00100000, 0, "10.0(0.0)"},          {0x1A000000, 0, "1.0(0.0)"},
        {0x000A0000, 0, "0.0(0.0)"},           {0, 0x0001FFFF, "0.0(1.-1)"},
        {0, 0x00008000, "0.0(0.-32768)"},      {0x99999999, 0, "9999.9999(0.0)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decodeOrvelVersion(c.version, c.build).VersionText, QLatin1String(c.text));
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
