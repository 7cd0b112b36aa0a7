// The data paths when memory runs out: an application run (open, timeouts, wait-on-mask,
// write, read, purge, close) is repeated once for every allocation the driver makes in it,
// with that allocation failed. Every run must end with plain statuses for the application, no
// request left outstanding and the driver's pool back where it was before the open; a hang or
// a verifier report ends the test program.
#include <gtest/gtest.h>

#include "support/data_fixture.h"

using namespace kdxtest;

namespace {

struct Step {
    std::string name;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

struct ScriptRun {
    std::vector<Step> steps;
    uint64_t attempts = 0;  // allocations the driver tried during the application run
    size_t outstandingRequests = 0;
    size_t blocksBefore = 0;
    size_t blocksAfter = 0;
    size_t irpsBefore = 0;
    size_t irpsAfter = 0;
    std::string blocks;  // the driver's pool blocks after the run
    std::vector<UCHAR> readBytes;

    std::string Describe() const
    {
        std::string text;
        for (const Step& step : steps) {
            text += "\n  " + step.name + ": " + Hex(step.status) + ", " +
                    std::to_string(step.information) + " bytes";
        }
        return text;
    }
};

class LowResources : public testing::TestWithParam<bool> {
protected:
    // One application run in a host of its own; `failAt` (1 = the first) names the driver
    // allocation that fails, 0 none.
    ScriptRun RunApplication(uint64_t failAt)
    {
        host::Host host;
        RunEnder ender(host);
        ScriptRun run;
        EXPECT_EQ(STATUS_SUCCESS, host.LoadDriver(DriverEntry));
        host::DeviceModel model = Adapter(kNumberedProduct, GetParam());
        model.echo = true;
        host::PnpManager::Plugged plugged = host.Plug(model);
        EXPECT_EQ(STATUS_SUCCESS, plugged.startStatus);
        host::Pool& pool = host.pool();
        run.blocksBefore = pool.OutstandingBlocks(host.driver()).count;
        run.irpsBefore = host.Summary().irpsOutstanding;
        uint64_t first = pool.AllocationAttempts();
        if (failAt != 0) pool.FailNthAllocation(failAt);

        host::Application& app = host.app();
        auto record = [&](const char* name, const host::IoResult& result) {
            run.steps.push_back({name, result.status, result.information});
        };
        host::OpenResult opened = app.Open(u"VLT0");
        run.steps.push_back({"open", opened.status, 0});
        if (NT_SUCCESS(opened.status)) {
            host::Handle handle = opened.handle;
            SERIAL_TIMEOUTS timeouts = ReadTimeouts(0, 0, 0);  // a read waits up to 60 s
            record("set timeouts", app.DeviceControl(handle, IOCTL_SERIAL_SET_TIMEOUTS,
                                                     AsBytes(&timeouts, sizeof(timeouts)), 0));
            ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
            record("set wait mask", app.DeviceControl(handle, IOCTL_SERIAL_SET_WAIT_MASK,
                                                      AsBytes(&mask, sizeof(mask)), 0));
            host::OutstandingRequest wait =
                app.StartDeviceControl(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
            record("write", app.Write(handle, Pattern(10)));
            host::IoResult read = app.Read(handle, 10);
            record("read", read);
            run.readBytes = read.output;
            ULONG purge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |
                          SERIAL_PURGE_RXCLEAR;
            record("purge", app.DeviceControl(handle, IOCTL_SERIAL_PURGE,
                                              AsBytes(&purge, sizeof(purge)), 0));
            wait.Cancel();
            record("wait on mask", wait.Wait());
            run.steps.push_back({"close", app.Close(handle), 0});
        }
        run.attempts = pool.AllocationAttempts() - first;
        pool.ClearFaults();
        run.outstandingRequests = app.OutstandingCount();
        host.Sleep(2 * kSecond);  // work items of the run may still be on their way out
        host::Pool::Outstanding after = pool.OutstandingBlocks(host.driver());
        run.blocksAfter = after.count;
        run.blocks = after.listing;
        run.irpsAfter = host.Summary().irpsOutstanding;
        return run;
    }

    // The statuses an application may see from each step when memory runs out.
    static bool Plain(const Step& step)
    {
        auto is = [&](std::initializer_list<NTSTATUS> statuses) {
            for (NTSTATUS status : statuses) {
                if (step.status == status) return true;
            }
            return false;
        };
        bool empty = step.information == 0;
        if (step.name == "open") return is({STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES});
        if (step.name == "write") {
            return (step.status == STATUS_SUCCESS && step.information == 10) ||
                   (is({STATUS_INSUFFICIENT_RESOURCES}) && empty);
        }
        if (step.name == "read") {
            return step.status == STATUS_SUCCESS ||
                   (is({STATUS_TIMEOUT, STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES}) &&
                    empty);
        }
        if (step.name == "wait on mask") {
            return (step.status == STATUS_SUCCESS && step.information == sizeof(ULONG)) ||
                   (is({STATUS_CANCELLED, STATUS_INSUFFICIENT_RESOURCES}) && empty);
        }
        return step.status == STATUS_SUCCESS;  // timeouts, wait mask, purge, close
    }

    static void ExpectCleanEnd(const ScriptRun& run, const std::string& which)
    {
        for (const Step& step : run.steps) {
            EXPECT_TRUE(Plain(step)) << which << ": " << step.name << " ended with "
                                     << Hex(step.status) << run.Describe();
        }
        EXPECT_EQ(0u, run.outstandingRequests) << which << run.Describe();
        EXPECT_EQ(run.blocksBefore, run.blocksAfter)
            << which << ": the driver's pool blocks after the run:\n"
            << run.blocks << run.Describe();
        EXPECT_EQ(run.irpsBefore, run.irpsAfter) << which << ": IRPs left behind" << run.Describe();
    }
};

TEST_P(LowResources, EveryFailedAllocationOfAnApplicationRunEndsWithPlainStatusesAndNoLeak)
{
    ScriptRun clean = RunApplication(0);
    ExpectCleanEnd(clean, "without failures");
    for (const Step& step : clean.steps) {
        EXPECT_EQ(STATUS_SUCCESS, step.status) << step.name << clean.Describe();
    }
    EXPECT_EQ(Pattern(10), clean.readBytes) << "the echo of the write";
    ASSERT_GT(clean.attempts, 0u) << "the run allocated nothing";

    for (uint64_t failAt = 1; failAt <= clean.attempts; failAt++) {
        ScriptRun run = RunApplication(failAt);
        ExpectCleanEnd(run, "allocation " + std::to_string(failAt) + " of " +
                                std::to_string(clean.attempts) + " failed");
    }
}

INSTANTIATE_TEST_SUITE_P(Bus, LowResources, testing::Bool(), BusModeName);

}  // namespace
