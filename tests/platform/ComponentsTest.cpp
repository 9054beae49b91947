#include "platform/Components.h"
#include "platform/Registry.h"

#include "support/TestEnvironment.h"

namespace {

class ComponentsTest : public TempEnvironment {
protected:
    void registerStatusObject(const QByteArray &library)
    {
        writeRegistry(
            "Windows Registry Editor Version 5.00\r\n"
            "[HKEY_CLASSES_ROOT\\CLSID\\{60EB7702-6A7A-11D1-8029-00C04FAD610B}\\InprocServer32]\r\n"
            "@=" +
            library + "\r\n");
    }

    std::unique_ptr<OrvelStatusObject> create()
    {
        registry = makeRegistry();
        return makeComponents(*registry)->createStatusObject();
    }

    std::unique_ptr<Registry> registry;
};

TEST_F(ComponentsTest, RegisteredStandInReportsRunning)
{
    writeServedProduct();
    const auto status = create();
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->status(), std::optional<qint32>(32));

    qputenv("ORVEL_SIM_STATUS", "7");
    EXPECT_EQ(status->status(), std::optional<qint32>(7));
    qputenv("ORVEL_SIM_STATUS", "unreadable");
    EXPECT_EQ(status->status(), std::nullopt);
    qunsetenv("ORVEL_SIM_STATUS");
}

TEST_F(ComponentsTest, WhatCannotBeLoadedCannotBeCreated)
{
    EXPECT_EQ(create(), nullptr) << "no registry file";

    writeServedProduct(0x00040000, false);
    EXPECT_EQ(create(), nullptr) << "not registered";

    registerStatusObject("\"" + QFile::encodeName(path("missing.so")) + "\"");
    EXPECT_EQ(create(), nullptr) << "library missing";

    writeFile("garbage.so", "not a library at all");
    registerStatusObject("\"" + QFile::encodeName(path("garbage.so")) + "\"");
    EXPECT_EQ(create(), nullptr) << "not a library";

    registerStatusObject("\"libm.so.6\"");
    EXPECT_EQ(create(), nullptr) << "a library without the entry point";

    registerStatusObject("hex(1):");
    EXPECT_EQ(create(), nullptr) << "a registration of zero bytes";
}

} // namespace
