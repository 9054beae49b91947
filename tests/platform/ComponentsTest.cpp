#include "platform/Components.h"
#include "platform/Registry.h"

#include "support/TestEnvironment.h"

#include <QDir>

#include <unistd.h>

namespace {

class ComponentsTest : public TempEnvironment {
protected:
    std::unique_ptr<OrvelStatusObject> create()
    {
        registry = makeRegistry();
        return makeComponents(*registry)->createStatusObject();
    }

    std::unique_ptr<Registry> registry;
};

// The status read, and a read that fails being no status at all, are the start's to show
// (StartUpTest, the run table's rows of a running and a stopped product); here, what cannot be
// loaded.
TEST_F(ComponentsTest, WhatCannotBeLoadedCannotBeCreated)
{
    EXPECT_EQ(create(), nullptr) << "no registry file";
    writeServedProduct(0x00040000, false);
    EXPECT_EQ(create(), nullptr) << "not registered";
    writeFile("garbage.so", "not a library at all");
    for (const QByteArray &library : {"\"" + QFile::encodeName(path("missing.so")) + "\"",
                                      "\"" + QFile::encodeName(path("garbage.so")) + "\"",
                                      QByteArray("\"libm.so.6\""), // no entry point
                                      QByteArray("hex(1):")}) {    // zero bytes
        writeRegistry(
            "Windows Registry Editor Version 5.00\r\n"
            "[HKEY_CLASSES_ROOT\\CLSID\\{60EB7702-6A7A-11D1-8029-00C04FAD610B}\\InprocServer32]\r\n"
            "@=" +
            library + "\r\n");
        EXPECT_EQ(create(), nullptr) << library.constData();
    }
}

// What this process holds: its children (a zombie among them) and its open descriptors.
QStringList heldByThisProcess()
{
    QFile children(u"/proc/self/task/%1/children"_s.arg(::getpid()));
    EXPECT_TRUE(children.open(QIODevice::ReadOnly));
    return QString::fromLatin1(children.readAll()).split(u' ', Qt::SkipEmptyParts) +
           QDir(u"/proc/self/fd"_s)
               .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
}

// The formatter's component runs in a helper process. One that crashes or hangs is stopped and
// its file gets no more lines; the next file gets a fresh one; and once the formatter is gone,
// nothing of the helper is left. The test build of the stand-in crashes on the message "CRASH"
// and hangs on "HANG".
TEST_F(ComponentsTest, AFailedFormatterIsStoppedAndTheNextFileGetsAFreshOne)
{
    writeServedProduct();
    writeRegistry(readFile(u"registry.reg"_s)
                      .replace("libOrvelComponents.so", "libOrvelFaultyComponents.so"));
    registry = makeRegistry();
    const QStringList held = heldByThisProcess();
    {
        const auto formatter = makeComponents(*registry)->createDiagLineFormatter();
        ASSERT_NE(formatter, nullptr);
        const QString record = u"0000000000000000|0000|1|4|"_s;
        const QString formatted = u"1970-01-01 00:00:00.000 [0000] INFO Directory: "_s;
        for (const char *fault : {"4352415348", "48414E47"}) {
            formatter->beginFile(std::chrono::seconds(1));
            EXPECT_EQ(formatter->FormatLine(record + u"41"_s), formatted + u"A"_s);
            EXPECT_THROW(formatter->FormatLine(record + QLatin1String(fault)), FormatterFailure);
            EXPECT_THROW(formatter->FormatLine(record + u"41"_s), FormatterFailure)
                << "no more lines of that file";
        }
        formatter->beginFile(std::chrono::seconds(1));
        try {
            formatter->FormatLine(u"not a record"_s);
            ADD_FAILURE() << "a rejected line was formatted";
        } catch (const Failure &failure) {
            EXPECT_EQ(dynamic_cast<const FormatterFailure *>(&failure), nullptr)
                << "a rejected line is no failure of the formatter";
        }
        EXPECT_EQ(formatter->FormatLine(record + u"42"_s), formatted + u"B"_s);
    }
    EXPECT_EQ(heldByThisProcess(), held) << "no helper, zombie or descriptor left";
}

} // namespace
