#include "platform/WorkStationInfo.h"

#include "support/TestEnvironment.h"

#include <pwd.h>
#include <unistd.h>

namespace {

// What a source gives is what the program sees of it (the computer's name in every archive's name:
// ShareDeliveryTest, the run table); here, what this computer's own source gives.
TEST(WorkStationInfo, ThisComputerAsTheSystemReportsIt)
{
    WorkStationInfo info;
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(info.ComputerName(), QString::fromLocal8Bit(host).section(QLatin1Char('.'), 0, 0));
    EXPECT_EQ(info.UserName(), QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name));
    EXPECT_GT(info.VerMajor(), 0) << "from the kernel release";
}

} // namespace
