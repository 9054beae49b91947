#include "support/ProcessFixture.h"
#include "support/ReadableCopyReference.h"

namespace {

using ReadableCopyTest = ProcessTest;

// The program itself, unattended, over every raw case, files about the 8 MiB it formats ahead
// and more files than the 64 it does: each readable copy in the delivered archive matches the
// reference byte for byte, and the run log has an "(error)" line for each rejected line (the
// first 100 of a file, then one for the rest).
TEST_F(ReadableCopyTest, DeliveredCopiesMatchTheReference)
{
    simulate({u"--data"_s, u"1"_s, u"--diag"_s, u"0"_s, u"--other"_s, u"1"_s});
    QStringList generated{u"filled_8388607"_s, u"filled_8388608"_s, u"filled_8388609"_s};
    for (int i = 1; i <= 70; ++i)
        generated << u"small_%1"_s.arg(i);
    reference::writeRawCases(path("orvel/logs"));
    reference::writeRawCases(path("orvel/logs"), generated);
    QDir().mkpath(path("archive"));
    storeArchiveFolder(path("archive/"));

    const Outcome outcome = run({u"/Silent"_s});
    const QStringList delivered = QDir(path("archive")).entryList(QDir::Files);
    ASSERT_EQ(delivered.size(), 1);
    int expected = 0;
    for (const auto &[name, rejected] :
         reference::expectReferenceCopies(path("orvel/logs"), path("archive/") + delivered[0]))
        expected += reference::errorLinesFor(rejected);
    const QStringList logs = QDir(path("program/logs")).entryList(QDir::Files);
    ASSERT_EQ(logs.size(), 1);
    const QStringList events = runLogEvents(readFile(u"program/logs/"_s + logs[0]));
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const QString &line) { return line.startsWith(u"(error)"_s); }),
              expected);
    EXPECT_EQ(outcome.status, 1) << "rejected lines are errors";
}

} // namespace
