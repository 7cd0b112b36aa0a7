// Threads that hold virtual time without waiting: a thread that polls lets the clock move on
// when nothing else can happen or is reported as a livelock, and a thread blocked outside host
// waits is reported as a hang instead of hanging the test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

#include "support/test_driver.h"

namespace {

VOID SetEventDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

TEST(Livelock, APollingThreadLetsTheClockReachTheTimerThatEndsItsPoll)
{
    host::Host host;
    KEVENT event;
    KTIMER timer;
    KDPC dpc;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, SetEventDpc, &event);
    KeSetTimer(&timer, hosttest::RelativeMs(50), &dpc);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    int polls = 0;
    while (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT) {
        ASSERT_LT(++polls, 1000000) << "the clock never moved for the polling thread";
    }
    EXPECT_EQ(host::Milliseconds(50), host.Now()) << "after " << polls << " polls";
}

TEST(Livelock, ZeroLengthDelaysAlsoLetTheClockMove)
{
    host::Host host;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, hosttest::RelativeMs(20), nullptr);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    int delays = 0;
    while (!KeReadStateTimer(&timer)) {
        KeDelayExecutionThread(KernelMode, FALSE, &zero);
        ASSERT_LT(++delays, 1000000) << "the clock never moved for the delaying thread";
    }
    EXPECT_EQ(host::Milliseconds(20), host.Now());
}

TEST(LivelockDeathTest, PollingWithNothingEverDueIsReportedAsALivelock)
{
    EXPECT_DEATH(
        {
            host::Host host;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            LARGE_INTEGER zero;
            zero.QuadPart = 0;
            for (;;) KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &zero);
        },
        "HOST_HANG(.|\n)*Livelock: main polls with zero timeouts");
}

TEST(LivelockDeathTest, AThreadBlockedOutsideHostWaitsIsReportedAsAHang)
{
    setenv("KDX_WATCHDOG_SECONDS", "1", 1);
    EXPECT_DEATH(
        {
            host::Host host;
            std::mutex mutex;
            mutex.lock();
            mutex.lock();  // never returns
        },
        "HOST_HANG(.|\n)*blocked outside host waits");
    unsetenv("KDX_WATCHDOG_SECONDS");
}

}  // namespace
