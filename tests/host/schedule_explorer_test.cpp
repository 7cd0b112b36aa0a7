// The schedule explorer: classic two-thread ordering bugs of drivers show under some of a few
// hundred seeds (and not under the others), their correct versions pass every seed, and a seed
// replays its schedule.
//
// Each bug is written the way a driver commits it, in a small test driver whose request
// paths run in the test's thread and in DPCs on the host's two DPC processors. The drivers
// count what would go wrong (a second start, a second completion) instead of doing it, so a
// run that finds the bug ends normally and the sweep can go on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "support/test_driver.h"

namespace {

constexpr int kSeeds = 300;

host::HostOptions Seeded(uint64_t seed)
{
    host::HostOptions options;
    options.schedule = host::ScheduleOptions();
    options.schedule.seed = seed;
    return options;
}

// Runs `scenario` once under every seed from 1 to kSeeds and returns the seeds for which it
// returned true (the bug showed).
std::vector<uint64_t> SeedsShowing(const std::function<bool(host::Host&)>& scenario)
{
    std::vector<uint64_t> showing;
    for (uint64_t seed = 1; seed <= kSeeds; seed++) {
        host::Host host(Seeded(seed));
        if (scenario(host)) showing.push_back(seed);
    }
    return showing;
}

// A bug of two threads shows under some seeds and not under others: the seed's schedule, not
// the scenario, decides. Prints how many seeds showed it. (Run in the ordinary mode, where the
// operating system schedules the threads, none of these bugs showed in 300 runs.)
void ExpectSomeSeedsShow(const char* bug, const std::function<bool(host::Host&)>& scenario)
{
    std::vector<uint64_t> showing = SeedsShowing(scenario);
    printf("%s under %zu of %d seeds\n", bug, showing.size(), kSeeds);
    testing::Test::RecordProperty("seeds_showing_the_bug", int(showing.size()));
    EXPECT_FALSE(showing.empty()) << "no seed of " << kSeeds << " " << bug;
    EXPECT_LT(showing.size(), size_t(kSeeds))
        << "every seed " << bug << ": the schedule does not decide it";
}

// The correct version passes every seed.
void ExpectNoSeedShows(const std::function<bool(host::Host&)>& scenario)
{
    std::vector<uint64_t> showing = SeedsShowing(scenario);
    EXPECT_TRUE(showing.empty()) << showing.size() << " seeds showed the bug, the first "
                                 << showing.front();
}

// ---------------------------------------------------------------------------------------------
// A check-then-act on a flag without the lock: the test's thread and a DPC both start the same
// one-time work.
// ---------------------------------------------------------------------------------------------
struct StartOnce {
    KSPIN_LOCK lock;
    KDPC dpc;
    KEVENT dpcDone;
    bool locked = false;  // the correct version
    bool busy = false;
    LONG starts = 0;

    void Start()
    {
        if (locked) {
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            bool start = !busy;
            busy = true;
            KeReleaseSpinLock(&lock, irql);
            if (start) InterlockedIncrement(&starts);
            return;
        }
        if (!busy) {
            InterlockedIncrement(&starts);  // the work begins before the flag says so
            busy = true;
        }
    }

    static VOID StartDpc(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<StartOnce*>(context);
        self->Start();
        KeSetEvent(&self->dpcDone, IO_NO_INCREMENT, FALSE);
    }
};

bool StartTwice(host::Host&, bool locked)
{
    StartOnce work;
    work.locked = locked;
    KeInitializeSpinLock(&work.lock);
    KeInitializeEvent(&work.dpcDone, NotificationEvent, FALSE);
    KeInitializeDpc(&work.dpc, StartOnce::StartDpc, &work);
    KeInsertQueueDpc(&work.dpc, nullptr, nullptr);
    work.Start();
    KeWaitForSingleObject(&work.dpcDone, Executive, KernelMode, FALSE, nullptr);
    return work.starts != 1;
}

TEST(ScheduleExplorer, FindsACheckThenActOnAFlagWithoutTheLock)
{
    ExpectSomeSeedsShow("started the work twice",
                        [](host::Host& host) { return StartTwice(host, false); });
}

TEST(ScheduleExplorer, TheLockedCheckAndSetPassesEverySeed)
{
    ExpectNoSeedShows([](host::Host& host) { return StartTwice(host, true); });
}

// ---------------------------------------------------------------------------------------------
// A pending request that two paths may complete: the driver's normal path (a DPC) against the
// caller's cancel, or against the request's timeout timer. A small driver pends every request
// it receives; the request is sent by code of a caller driver, which owns and frees it.
// ---------------------------------------------------------------------------------------------
struct RaceDriver {
    PIRP irp = nullptr;
    KDPC completeDpc;
    KDPC timeoutDpc;
    KTIMER timeout;
    bool withTimer = false;
    bool correct = false;
    PIRP volatile owned = nullptr;  // the correct timer version: who takes it, completes it
    std::atomic<int> completions{0};
    std::atomic<int> extraCompletions{0};

    // Completes the request unless it was completed already (which would be the bug).
    void Complete(NTSTATUS status)
    {
        if (completions++ != 0) {
            extraCompletions++;
            return;
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    static RaceDriver* Of(PDEVICE_OBJECT device)
    {
        return *static_cast<RaceDriver**>(device->DeviceExtension);
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        RaceDriver* self = Of(device);
        self->irp = irp;
        IoMarkIrpPending(irp);
        if (self->withTimer) {
            self->owned = irp;
            LARGE_INTEGER due;
            due.QuadPart = -10 * host::kTicksPerMillisecond;
            KeSetTimer(&self->timeout, due, &self->timeoutDpc);
        } else {
            IoSetCancelRoutine(irp, CancelRoutine);
        }
        KeInsertQueueDpc(&self->completeDpc, nullptr, nullptr);
        return STATUS_PENDING;
    }

    static VOID CancelRoutine(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Of(device)->Complete(STATUS_CANCELLED);
    }

    // The normal completion path.
    static VOID CompleteDpc(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<RaceDriver*>(context);
        if (self->withTimer) {
            if (self->correct) {
                if (InterlockedExchangePointer((PVOID volatile*)&self->owned, nullptr) == nullptr) {
                    return;  // the timeout took it
                }
                KeCancelTimer(&self->timeout);
            } else {
                KeCancelTimer(&self->timeout);  // whether the DPC already ran is not asked
            }
        } else if (self->correct) {
            // Whoever takes the cancel routine away owns the completion.
            if (IoSetCancelRoutine(self->irp, nullptr) == nullptr) return;
        } else {
            if (self->irp->Cancel) return;  // left to the cancel routine
            IoSetCancelRoutine(self->irp, nullptr);
        }
        self->Complete(STATUS_SUCCESS);
    }

    static VOID TimeoutDpc(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<RaceDriver*>(context);
        if (self->correct &&
            InterlockedExchangePointer((PVOID volatile*)&self->owned, nullptr) == nullptr) {
            return;  // the normal path took it
        }
        self->Complete(STATUS_TIMEOUT);
    }

    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        for (auto& routine : driver->MajorFunction) routine = Dispatch;
        driver->DriverUnload = hosttest::TestUnload;
        return STATUS_SUCCESS;
    }
};

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one request to the race driver; the caller cancels it right away unless the driver
// times it out itself. True when a path found the request completed already.
bool CompletedTwice(host::Host& host, bool withTimer, bool correct)
{
    RaceDriver race;
    race.withTimer = withTimer;
    race.correct = correct;
    PDRIVER_OBJECT driver = hosttest::LoadTestDriver(host, "racedrv", RaceDriver::Entry);
    PDRIVER_OBJECT caller = hosttest::LoadTestDriver(host, "callerdrv");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(RaceDriver*), nullptr,
                                             FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    *static_cast<RaceDriver**>(device->DeviceExtension) = &race;
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    hosttest::RunAs(driver, [&] {
        KeInitializeDpc(&race.completeDpc, RaceDriver::CompleteDpc, &race);
        KeInitializeDpc(&race.timeoutDpc, RaceDriver::TimeoutDpc, &race);
        KeInitializeTimer(&race.timeout);
    });

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = nullptr;
    hosttest::RunAs(caller, [&] {
        irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
        if (!withTimer) IoCancelIrp(irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    });
    // Let every DPC of the race finish before the request goes away.
    LARGE_INTEGER settle;
    settle.QuadPart = -100 * host::kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    hosttest::RunAs(caller, [&] { IoFreeIrp(irp); });
    IoDeleteDevice(device);
    host.UnloadDriver(caller);
    host.UnloadDriver(driver);
    return race.extraCompletions != 0;
}

TEST(ScheduleExplorer, FindsACancelRoutineRacingTheNormalCompletion)
{
    ExpectSomeSeedsShow("completed the request twice",
                        [](host::Host& host) { return CompletedTwice(host, false, false); });
}

TEST(ScheduleExplorer, ClaimingTheRequestFromItsCancelRoutinePassesEverySeed)
{
    ExpectNoSeedShows([](host::Host& host) { return CompletedTwice(host, false, true); });
}

TEST(ScheduleExplorer, FindsATimerDpcRacingTheRequestItTimesOut)
{
    ExpectSomeSeedsShow("completed the request twice",
                        [](host::Host& host) { return CompletedTwice(host, true, false); });
}

TEST(ScheduleExplorer, ClaimingTheRequestAgainstItsTimerPassesEverySeed)
{
    ExpectNoSeedShows([](host::Host& host) { return CompletedTwice(host, true, true); });
}

// ---------------------------------------------------------------------------------------------
// DPC processors: DPCs run at the same time as each other, as on several processors, but one
// DPC object never runs twice at once, even when it is queued again while it runs.
// ---------------------------------------------------------------------------------------------
struct DpcOverlap {
    KDPC dpcs[2];
    KEVENT done;
    bool queueAgain = false;  // the first run queues its own DPC again
    LONG inside = 0;
    LONG runs = 0;
    LONG finished = 0;
    std::atomic<LONG> mostInside{0};

    // Stays over a few preemption points and records how many routines ran at once.
    static VOID Routine(PKDPC dpc, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<DpcOverlap*>(context);
        LONG seen = InterlockedIncrement(&self->inside);
        if (InterlockedIncrement(&self->runs) == 1 && self->queueAgain) {
            EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr)) << "the running DPC was queued";
        }
        for (int i = 0; i < 4; i++) seen = std::max(seen, InterlockedOr(&self->inside, 0));
        if (seen > self->mostInside) self->mostInside = seen;
        InterlockedDecrement(&self->inside);
        if (InterlockedIncrement(&self->finished) == 2) {
            KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
        }
    }
};

// Runs two DPC routines under `seed`: two DPC objects, or one queued again from its first run.
// Returns how many ran at once.
LONG MostDpcsAtOnce(uint64_t seed, bool oneDpcQueuedAgain)
{
    host::Host host(Seeded(seed));
    DpcOverlap overlap;
    overlap.queueAgain = oneDpcQueuedAgain;
    KeInitializeEvent(&overlap.done, NotificationEvent, FALSE);
    for (KDPC& dpc : overlap.dpcs) KeInitializeDpc(&dpc, DpcOverlap::Routine, &overlap);
    KeInsertQueueDpc(&overlap.dpcs[0], nullptr, nullptr);
    if (!oneDpcQueuedAgain) KeInsertQueueDpc(&overlap.dpcs[1], nullptr, nullptr);
    KeWaitForSingleObject(&overlap.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(2, overlap.runs) << "seed " << seed;
    return overlap.mostInside;
}

TEST(ScheduleExplorer, TwoDpcsRunAtTheSameTimeUnderSomeSeeds)
{
    int overlapping = 0;
    for (uint64_t seed = 1; seed <= kSeeds; seed++) {
        if (MostDpcsAtOnce(seed, false) == 2) overlapping++;
    }
    printf("two DPCs overlapped under %d of %d seeds\n", overlapping, kSeeds);
    EXPECT_GT(overlapping, 0) << "no seed of " << kSeeds << " ran two DPCs at once";
}

TEST(ScheduleExplorer, ADpcQueuedAgainWhileItRunsNeverRunsTwiceAtOnce)
{
    for (uint64_t seed = 1; seed <= kSeeds; seed++) {
        EXPECT_EQ(1, MostDpcsAtOnce(seed, true)) << "seed " << seed << " ran one DPC twice at once";
    }
}

// ---------------------------------------------------------------------------------------------
// Replay: a seed gives the same schedule every time.
// ---------------------------------------------------------------------------------------------
TEST(ScheduleExplorer, ASeedReplaysTheSameSchedule)
{
    auto trace = [](uint64_t seed) {
        host::Host host(Seeded(seed));
        StartTwice(host, false);
        return host::Scheduler::Instance().steps();
    };
    std::vector<bool> first, second;
    for (uint64_t seed = 1; seed <= 40; seed++) {
        host::Host host(Seeded(seed));
        first.push_back(StartTwice(host, false));
    }
    for (uint64_t seed = 1; seed <= 40; seed++) {
        host::Host host(Seeded(seed));
        second.push_back(StartTwice(host, false));
    }
    EXPECT_EQ(first, second) << "the same seeds showed the bug in other runs";
    EXPECT_EQ(trace(7), trace(7)) << "seed 7 took another number of steps";
}

// Host code that holds a std::mutex of its own across preemption points (the bus sets cancel
// routines and queues DPCs under its device mutex) runs that section as one step: another
// thread that wants the same mutex never gets the baton while it is held, so it never waits
// for the mutex where the explorer cannot see it.
TEST(ScheduleExplorer, ASectionWithoutPreemptionHoldsItsMutexWithoutAThreadSwitch)
{
    for (uint64_t seed = 1; seed <= 40; seed++) {
        host::Host host(Seeded(seed));
        std::mutex mutex;
        LONG inside = 0;
        LONG seen = 0;
        std::unique_ptr<host::HostThread> thread;
        std::thread holder = host::Scheduler::Instance().Spawn(
            "holder",
            [&] {
                for (int round = 0; round < 50; round++) {
                    host::NoPreemption noPreemption;
                    std::lock_guard<std::mutex> guard(mutex);
                    InterlockedIncrement(&inside);  // preemption points with the mutex held
                    InterlockedDecrement(&inside);
                }
            },
            &thread);
        for (int round = 0; round < 50; round++) {
            InterlockedIncrement(&seen);  // a preemption point between the takes
            std::lock_guard<std::mutex> guard(mutex);
            EXPECT_EQ(0, inside) << "seed " << seed << ": the holder was switched away";
        }
        host::Scheduler::Instance().Join(holder, *thread);
        EXPECT_GT(host::Scheduler::Instance().steps(), 0u) << "seed " << seed;
    }
}

TEST(ScheduleExplorer, AFailureUnderASeedPrintsTheSeedAndTheReplayCommand)
{
    host::SetReplayCommand("kdxtests --gtest_filter=Example.Test");
    EXPECT_DEATH(
        {
            host::Host host(Seeded(42));
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "HOST_HANG(.|\n)*Schedule: seed 42, step [0-9]+\\. Replay: KDX_SCHEDULE_SEED=42 "
        "kdxtests --gtest_filter=Example.Test");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Host bookkeeping held under a std::mutex calls kernel routines that are preemption points.
// Held with a HostLockGuard, no schedule hands the turn to a thread that then blocks on the
// mutex outside any host wait (the host would stop until the watchdog ends it).
// ---------------------------------------------------------------------------------------------
struct Bookkeeping {
    std::mutex mutex;
    KEVENT event;
    KEVENT workerDone;
    WORK_QUEUE_ITEM item;
    int updates = 0;

    Bookkeeping()
    {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeInitializeEvent(&workerDone, NotificationEvent, FALSE);
        ExInitializeWorkItem(&item, Worker, this);
    }
    void Update()
    {
        for (int i = 0; i < 20; i++) {
            host::HostLockGuard guard(mutex);
            updates++;
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
            KeResetEvent(&event);
        }
    }
    static VOID Worker(PVOID parameter)
    {
        auto* bookkeeping = static_cast<Bookkeeping*>(parameter);
        bookkeeping->Update();
        KeSetEvent(&bookkeeping->workerDone, IO_NO_INCREMENT, FALSE);
    }
};

TEST(HostLockGuard, NoScheduleSwitchesThreadsWhileTheMutexIsHeld)
{
    for (uint64_t seed = 1; seed <= 100; seed++) {
        host::Host host(Seeded(seed));
        Bookkeeping bookkeeping;
        ExQueueWorkItem(&bookkeeping.item, DelayedWorkQueue);
        bookkeeping.Update();
        KeWaitForSingleObject(&bookkeeping.workerDone, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(40, bookkeeping.updates) << "seed " << seed;
    }
}
