// Pulling the device out at every step of an application's run: every request outstanding
// then completes, the application's later requests get their answers for a gone device (the
// status query answers all-zero, reads complete with 0 bytes, the rest are denied), its close
// succeeds, the removal follows the close, and the driver unloads with nothing left behind;
// the same run with each of its pool allocations failed in turn ends as cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

#include "support/driver_fixture.h"
#include "support/port_requests.h"

using namespace kdxtest;

namespace {

// Where in the run the device is pulled out.
enum class Step {
    DuringOpen,
    ReadWaiting,
    WriteHeld,
    WaitPending,
    DuringPurge,
    DuringClose,
    AfterClose
};

const char* StepName(Step step)
{
    switch (step) {
    case Step::DuringOpen:
        return "DuringOpen";
    case Step::ReadWaiting:
        return "WithAReadWaiting";
    case Step::WriteHeld:
        return "WithAWriteHeldByTheDevice";
    case Step::WaitPending:
        return "WithAWaitPending";
    case Step::DuringPurge:
        return "DuringAPurge";
    case Step::DuringClose:
        return "DuringClose";
    case Step::AfterClose:
        return "AfterClose";
    }
    return "?";
}

const Step kEveryStep[] = {Step::DuringOpen,  Step::ReadWaiting, Step::WriteHeld, Step::WaitPending,
                           Step::DuringPurge, Step::DuringClose, Step::AfterClose};

std::string BusModePrefix(bool asynchronous)
{
    return asynchronous ? "BusCompletesLater_" : "BusCompletesAtOnce_";
}

constexpr ULONG kAllPurges =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

// One application run against one device, with the device pulled out at a given step. With
// `strict` the answers after the unplug are checked exactly; without (allocations failing),
// only that everything completes, the close succeeds and the driver unloads clean.
class UnplugRun {
public:
    UnplugRun(host::Host& host, const host::PnpManager::Plugged& plugged, Step unplugAt,
              bool strict, std::u16string port = u"VLT0")
        : host_(host),
          plugged_(plugged),
          unplugAt_(unplugAt),
          strict_(strict),
          port_(std::move(port))
    {
    }

    void Run()
    {
        if (!Open()) return Finish();
        PortClient port(host_.app(), handle_);
        // Both timers are armed while the read and the write wait.
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = 60000;
        timeouts.WriteTotalTimeoutConstant = 60000;
        host::IoResult set = port.SetTimeouts(timeouts);
        if (strict_) {
            ExpectStatus("timeouts", unplugged_ ? STATUS_ACCESS_DENIED : STATUS_SUCCESS, set);
        }
        Expect("read", AnswerGone(), host_.app().StartRead(handle_, 16), Step::ReadWaiting);
        plugged_.device->HoldOut(true);
        Expect("write", AnswerGone(), host_.app().StartWrite(handle_, Bytes("held")),
               Step::WriteHeld);
        host::IoResult mask = port.SetWaitMask(SERIAL_EV_RXCHAR);
        if (unplugged_ && strict_) ExpectStatus("set wait mask", STATUS_ACCESS_DENIED, mask);
        Expect("wait-on-mask", AnswerGone(), port.StartWaitOnMask(), Step::WaitPending);
        Concurrently(Step::DuringPurge, [&] { purge_ = port.Purge(kAllPurges); });
        if (unplugged_ && strict_) ExpectAfterUnplug(port);
        WaitForOutstanding();
        Concurrently(Step::DuringClose, [&] { closeStatus_ = host_.app().Close(handle_); });
        EXPECT_EQ(STATUS_SUCCESS, closeStatus_) << "close";
        Finish();
    }

private:
    bool AnswerGone() const { return unplugged_; }

    // Pulls the device out now, from this thread.
    void Unplug()
    {
        surpriseStatus_ = host_.pnp().Unplug(plugged_.physicalDevice);
        unplugged_ = true;
    }

    // Runs `work` while another thread pulls the device out, when this is the step; otherwise
    // just runs it (pulling the device out first once past the step). Both run on new threads,
    // which start on an equal footing, so that under a seed either may go first.
    template <typename Work>
    void Concurrently(Step step, Work&& work)
    {
        if (unplugAt_ != step) return work();
        host::Scheduler& scheduler = host::Scheduler::Instance();
        std::unique_ptr<host::HostThread> workThread, unplugThread;
        std::thread worker = scheduler.Spawn(
            "work", [&] { work(); }, &workThread);
        std::thread unplugger = scheduler.Spawn(
            "unplug", [&] { surpriseStatus_ = host_.pnp().Unplug(plugged_.physicalDevice); },
            &unplugThread);
        scheduler.Join(worker, *workThread);
        scheduler.Join(unplugger, *unplugThread);
        unplugged_ = true;
    }

    bool Open()
    {
        host::OpenResult open;
        Concurrently(Step::DuringOpen, [&] { open = host_.app().Open(port_); });
        if (!NT_SUCCESS(open.status)) {
            if (strict_) {
                EXPECT_TRUE(unplugged_) << "open failed with " << Hex(open.status);
                EXPECT_TRUE(open.status == STATUS_OBJECT_NAME_NOT_FOUND ||
                            open.status == STATUS_DELETE_PENDING)
                    << "open of a device being pulled out: " << Hex(open.status);
            }
            return false;
        }
        handle_ = open.handle;
        return true;
    }

    // Keeps a request that was just started; pulls the device out when this is the step.
    void Expect(const char* what, bool afterUnplug, host::OutstandingRequest request, Step step)
    {
        outstanding_.push_back({what, request, afterUnplug});
        if (unplugAt_ != step) return;
        if (strict_) {
            EXPECT_FALSE(request.Completed()) << what << " is outstanding at the unplug";
        }
        Unplug();
    }

    void ExpectStatus(const char* what, NTSTATUS expected, const host::IoResult& result)
    {
        EXPECT_EQ(Hex(expected), Hex(result.status))
            << what << (unplugged_ ? " after the unplug" : "");
    }

    // The answers of a gone device to requests made after the unplug.
    void ExpectAfterUnplug(PortClient& port)
    {
        host::IoResult status = port.CommStatus();
        ExpectStatus("status query", STATUS_SUCCESS, status);
        EXPECT_EQ(std::vector<UCHAR>(sizeof(SERIAL_STATUS), 0), status.output)
            << "the status query answers all-zero";
        host::IoResult read = host_.app().Read(handle_, 8);
        ExpectStatus("read", STATUS_SUCCESS, read);
        EXPECT_EQ(0u, read.information) << "a read completes with 0 bytes";
        ExpectStatus("write", STATUS_DELETE_PENDING, host_.app().Write(handle_, Bytes("late")));
        ExpectStatus("purge", STATUS_ACCESS_DENIED, port.Purge(kAllPurges));
        ExpectStatus("timeouts", STATUS_ACCESS_DENIED, port.SetTimeouts(SERIAL_TIMEOUTS{}));
        for (const Pending& pending : outstanding_) {
            if (!pending.afterUnplug) continue;
            host::IoResult result = host::OutstandingRequest(pending.request).Wait();
            EXPECT_NE(STATUS_PENDING, result.status) << pending.what;
        }
    }

    // Every request still outstanding completes; a read that completes returns nothing (the
    // device never sent a byte).
    void WaitForOutstanding()
    {
        if (!unplugged_) return;
        for (Pending& pending : outstanding_) {
            host::IoResult result = pending.request.Wait();
            EXPECT_NE(STATUS_PENDING, result.status) << pending.what;
            if (std::string(pending.what) == "read") {
                EXPECT_EQ(0u, result.information) << "read, status " << Hex(result.status);
            }
        }
    }

    // Pulls the device out if the run has not, checks that every request completed and the
    // device is gone, and unloads the driver (the verifier's checks run there).
    void Finish()
    {
        if (!unplugged_) Unplug();
        for (Pending& pending : outstanding_) pending.request.Wait();
        EXPECT_EQ(0u, host_.app().OutstandingCount());
        if (strict_) {
            EXPECT_EQ(STATUS_SUCCESS, surpriseStatus_) << Hex(surpriseStatus_);
        }
        EXPECT_TRUE(host_.pnp().Removed(plugged_.physicalDevice))
            << "the removal follows the last close";
        EXPECT_EQ(0u, host_.objects().DeviceCount(host_.driver()));
        host_.UnloadDriver();
    }

    struct Pending {
        const char* what;
        host::OutstandingRequest request;
        bool afterUnplug;
    };

    host::Host& host_;
    host::PnpManager::Plugged plugged_;
    Step unplugAt_;
    bool strict_;
    std::u16string port_;
    bool unplugged_ = false;
    host::Handle handle_ = nullptr;
    std::vector<Pending> outstanding_;
    host::IoResult purge_;
    NTSTATUS closeStatus_ = STATUS_PENDING;
    NTSTATUS surpriseStatus_ = STATUS_PENDING;
};

// Both products: the numbered one completes a wait-on-mask request directly, any other from
// a work item.
class UnplugAtEveryStep : public testing::TestWithParam<std::tuple<bool, USHORT, Step>> {};

TEST_P(UnplugAtEveryStep, CompletesEveryRequestAndUnloadsClean)
{
    auto [asynchronous, product, step] = GetParam();
    host::Host host;
    RunEnder ender(host);
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver(DriverEntry));
    host::PnpManager::Plugged plugged = host.Plug(Adapter(product, asynchronous));
    ASSERT_EQ(STATUS_SUCCESS, plugged.startStatus);
    UnplugRun(host, plugged, step, true, product == kNumberedProduct ? u"VLT0" : u"KD").Run();
}

INSTANTIATE_TEST_SUITE_P(Bus, UnplugAtEveryStep,
                         testing::Combine(testing::Bool(),
                                          testing::Values(kNumberedProduct, kOtherProduct),
                                          testing::ValuesIn(kEveryStep)),
                         [](const testing::TestParamInfo<std::tuple<bool, USHORT, Step>>& info) {
                             return BusModePrefix(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == kNumberedProduct ? "VLT_" : "KD_") +
                                    StepName(std::get<2>(info.param));
                         });

// The run with its device pulled out at each step, with the Nth pool allocation after the
// start failed, for every N the run makes.
class UnplugWithAllocationFailing : public testing::TestWithParam<std::tuple<bool, Step>> {
protected:
    struct Outcome {
        uint64_t attempts = 0;  // allocations the run attempted after the start
        uint64_t failed = 0;
    };

    // One run on a new host, with the Nth allocation after the start failed (none for 0).
    // The device pulled out during the open may win the race and be gone before the open
    // reaches the driver; such a run allocates nothing, so a run that did not reach its Nth
    // allocation is made again, up to kRuns times in all.
    static constexpr int kRuns = 10;
    Outcome Run(uint64_t n)
    {
        auto [asynchronous, step] = GetParam();
        Outcome outcome;
        for (int run = 0; run < kRuns && (outcome.attempts < n || outcome.attempts == 0); run++) {
            host::Host host;
            RunEnder ender(host);
            EXPECT_EQ(STATUS_SUCCESS, host.LoadDriver(DriverEntry));
            host::PnpManager::Plugged plugged = host.Plug(Adapter(kNumberedProduct, asynchronous));
            EXPECT_EQ(STATUS_SUCCESS, plugged.startStatus);
            uint64_t before = host.pool().AllocationAttempts();
            if (n != 0) host.pool().FailNthAllocation(n);
            UnplugRun(host, plugged, step, n == 0).Run();
            outcome.attempts = host.pool().AllocationAttempts() - before;
            outcome.failed = host.pool().FailedAllocations();
        }
        return outcome;
    }
};

TEST_P(UnplugWithAllocationFailing, EachFailedAllocationStillEndsClean)
{
    Step step = std::get<1>(GetParam());
    uint64_t attempts = Run(0).attempts;
    if (attempts == 0) {
        EXPECT_EQ(StepName(Step::DuringOpen), StepName(step))
            << "only a device gone before the open leaves nothing to allocate";
        GTEST_SKIP() << "in every run the device was gone before the open reached the driver";
    }
    RecordProperty("allocations", std::to_string(attempts));
    uint64_t failed = 0;
    for (uint64_t n = 1; n <= attempts; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(attempts) +
                     " fails");
        Outcome outcome = Run(n);
        // Threads interleave differently from run to run, so a run may end before its Nth
        // allocation; none fails then.
        EXPECT_EQ(outcome.attempts >= n ? 1u : 0u, outcome.failed)
            << "the run attempted " << outcome.attempts << " allocations";
        failed += outcome.failed;
    }
    EXPECT_GT(failed, 0u) << "none of the " << attempts << " runs had an allocation failed";
}

INSTANTIATE_TEST_SUITE_P(Bus, UnplugWithAllocationFailing,
                         testing::Combine(testing::Bool(), testing::ValuesIn(kEveryStep)),
                         [](const testing::TestParamInfo<std::tuple<bool, Step>>& info) {
                             return BusModePrefix(std::get<0>(info.param)) +
                                    StepName(std::get<1>(info.param));
                         });

}  // namespace
