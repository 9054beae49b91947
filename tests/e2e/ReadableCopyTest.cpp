#include "e2e/RunTable.h"
#include "support/ReadableCopyReference.h"

namespace {

using ReadableCopyTest = RunTable;

// The program itself, unattended, over every raw case, files about the 8 MiB it formats ahead
// and more files than the 64 it does: each readable copy in the delivered archive matches the
// reference byte for byte, and the run log has an "(error)" line for each rejected line (the
// first 100 of a file, then one for the rest), so the run fails.
TEST_F(ReadableCopyTest, DeliveredCopiesMatchTheReference)
{
    QStringList generated{u"filled_8388607"_s, u"filled_8388608"_s, u"filled_8388609"_s};
    for (int i = 1; i <= 70; ++i)
        generated << u"small_%1"_s.arg(i);
    check({.name = "every raw case",
           .simulation = {u"--data"_s, u"1"_s, u"--diag"_s, u"0"_s, u"--other"_s, u"1"_s},
           .setUp =
               [&] {
                   reference::writeRawCases(path("orvel/logs"));
                   reference::writeRawCases(path("orvel/logs"), generated);
               },
           .status = 1,
           .logged = {runHeader},
           .entries = anyCount,
           .after =
               [&](const QString &) {
                   int expected = 0;
                   for (const auto &[name, rejected] :
                        reference::expectReferenceCopies(path("orvel/logs"), path("delivered.zip")))
                       expected += reference::errorLinesFor(rejected);
                   EXPECT_EQ(runLogText().count(u": (error)"_s), expected);
               }});
}

} // namespace
