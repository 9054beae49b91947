#include "platform/WorkStationInfo.h"

#include "support/TestEnvironment.h"

#include <pwd.h>
#include <unistd.h>

namespace {

class ScriptedSource : public WorkStationSource {
public:
    bool answersQueries() const override { return answers; }
    std::optional<WorkstationFacts> workstation() const override
    {
        ++calls;
        if (!workstationWorks)
            return std::nullopt;
        WorkstationFacts facts;
        facts.computerName = u"HOST%1"_s.arg(calls);
        facts.loggedOnUsers = calls;
        return facts;
    }
    std::optional<WorkstationUserFacts> user() const override
    {
        if (!userWorks)
            return std::nullopt;
        WorkstationUserFacts facts;
        facts.userName = u"user%1"_s.arg(calls);
        return facts;
    }
    bool answers = true;
    bool workstationWorks = true;
    bool userWorks = true;
    mutable int calls = 0;
};

// Filled when made and again on each refresh; a query that fails leaves the values it would have
// replaced, a computer query failing from the start leaves only the user.
TEST(WorkStationInfo, FilledWhenCreatedAndAgainOnRefresh)
{
    auto source = std::make_shared<ScriptedSource>();
    WorkStationInfo info(source);
    EXPECT_EQ(info.ComputerName() + info.UserName(), u"HOST1user1"_s);
    info.Refresh();
    EXPECT_EQ(info.ComputerName() + info.UserName(), u"HOST2user2"_s);
    EXPECT_EQ(info.LoggedOnUsers(), 2);
    source->workstationWorks = source->userWorks = false;
    info.Refresh();
    EXPECT_EQ(info.ComputerName() + info.UserName(), u"HOST2user2"_s);

    source->calls = 0;
    source->userWorks = true;
    const WorkStationInfo userOnly(source);
    EXPECT_EQ(userOnly.ComputerName() + u"|"_s + userOnly.UserName(), u"|user1"_s);
}

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
