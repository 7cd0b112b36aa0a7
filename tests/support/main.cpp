// Test entry point. Death tests re-run the test binary rather than fork, since the host runs
// threads of its own.
//
// Under a schedule seed (KDX_SCHEDULE_SEED) each test records the command that replays it, so
// that a verifier report or a failed assertion says how to run that very schedule again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host/host.h"

namespace {

class ReplayListener : public testing::EmptyTestEventListener {
public:
    explicit ReplayListener(std::string program) : program_(std::move(program)) {}

    void OnTestStart(const testing::TestInfo& test) override
    {
        host::SetReplayCommand(program_ + " --gtest_filter=" + Name(test));
    }

    void OnTestEnd(const testing::TestInfo& test) override
    {
        const char* seed = getenv("KDX_SCHEDULE_SEED");
        if (seed == nullptr || !test.result()->Failed()) return;
        printf("Schedule seed %s failed. Replay: KDX_SCHEDULE_SEED=%s %s --gtest_filter=%s\n", seed,
               seed, program_.c_str(), Name(test).c_str());
    }

private:
    static std::string Name(const testing::TestInfo& test)
    {
        return std::string(test.test_suite_name()) + "." + test.name();
    }

    std::string program_;
};

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::UnitTest::GetInstance()->listeners().Append(new ReplayListener(argv[0]));
    return RUN_ALL_TESTS();
}
