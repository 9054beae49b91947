#include "shell/WorkStationInfo.h"

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
        facts.computerName = QStringLiteral("HOST%1").arg(calls);
        facts.loggedOnUsers = calls;
        return facts;
    }
    std::optional<WorkstationUserFacts> user() const override
    {
        if (!userWorks)
            return std::nullopt;
        WorkstationUserFacts facts;
        facts.userName = QStringLiteral("user%1").arg(calls);
        return facts;
    }
    bool answers = true;
    bool workstationWorks = true;
    bool userWorks = true;
    mutable int calls = 0;
};

TEST(WorkStationInfo, FilledWhenCreatedAndAgainOnRefresh)
{
    auto source = std::make_shared<ScriptedSource>();
    WorkStationInfo info(source);
    EXPECT_EQ(info.ComputerName(), QStringLiteral("HOST1"));
    EXPECT_EQ(info.UserName(), QStringLiteral("user1"));
    info.Refresh();
    EXPECT_EQ(info.ComputerName(), QStringLiteral("HOST2"));
    EXPECT_EQ(info.LoggedOnUsers(), 2);

    // A query that fails leaves the values it would have replaced.
    source->workstationWorks = false;
    source->userWorks = false;
    info.Refresh();
    EXPECT_EQ(info.ComputerName(), QStringLiteral("HOST2"));
    EXPECT_EQ(info.UserName(), QStringLiteral("user2"));
}

TEST(WorkStationInfo, AFailedComputerQueryLeavesOnlyTheUser)
{
    auto source = std::make_shared<ScriptedSource>();
    source->workstationWorks = false;
    WorkStationInfo info(source);
    EXPECT_EQ(info.ComputerName(), QString());
    EXPECT_EQ(info.UserName(), QStringLiteral("user1"));
}

TEST(WorkStationInfo, ASystemThatCannotAnswerLeavesEverythingEmpty)
{
    auto source = std::make_shared<ScriptedSource>();
    source->answers = false;
    WorkStationInfo info(source);
    info.Refresh();
    EXPECT_EQ(source->calls, 0);
    EXPECT_EQ(info.ComputerName(), QString());
    EXPECT_EQ(info.UserName(), QString());
    EXPECT_EQ(info.PlatforMid(), 0);
    EXPECT_EQ(info.VerMajor(), 0);
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
