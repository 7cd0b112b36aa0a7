// Threads, waits, the clock and the schedule explorer of the host kernel.
//
// Every thread that runs kernel or driver code is a registered host thread with its own IRQL.
// All dispatcher state (events, timers, DPC and work queues, waits) is guarded by one
// scheduler mutex. In virtual time the clock moves only when every registered thread is
// blocked in a host wait: the last thread to block moves it to the earliest deadline and wakes
// what is due; when nothing is due the host reports a hang with every thread's wait.
//
// With a schedule seed, the scheduler explores interleavings deterministically: one host
// thread runs at a time, and at each preemption point (spin locks, IRQL changes, interlocked
// operations, events, waits, IRP calls, completions and cancels, timers, DPC and work-item
// queueing) a seeded priority scheduler chooses which runnable thread goes on. Virtual time
// may also jump to the next deadline while threads are still runnable, as if they were slow.
#pragma once

#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host {

using Ticks = int64_t;  // 100-nanosecond units, like kernel time
constexpr Ticks kForever = INT64_MAX;
constexpr Ticks kTicksPerMillisecond = 10000;
constexpr Ticks kTicksPerSecond = 10000000;

enum class ClockMode { Virtual, Real };

class HostThread;

// One blocked thread's wait: on a dispatcher object, on a deadline, or both.
struct WaitBlock {
    enum class State { Waiting, Satisfied, TimedOut };
    HostThread* thread = nullptr;
    LIST_ENTRY objectLink{};  // in the object's WaitListHead while waiting on one
    DISPATCHER_HEADER* object = nullptr;
    Ticks deadline = kForever;
    bool untilIdle = false;  // also ends once every other host thread is blocked
    State state = State::Waiting;
    std::string what;                  // for hang reports
    WaitBlock* nextBlocked = nullptr;  // the scheduler's list of blocked waits
    WaitBlock* previousBlocked = nullptr;
};

constexpr int kMaxHeldSpinLocks = 8;

class HostThread {
public:
    explicit HostThread(std::string name) : name(std::move(name)) {}

    std::string name;
    KIRQL irql = PASSIVE_LEVEL;
    PDRIVER_OBJECT executingDriver = nullptr;  // whose code runs now; null for the system
    WaitBlock* wait = nullptr;
    std::condition_variable wakeup;
    bool registered = false;
    PKSPIN_LOCK heldLocks[kMaxHeldSpinLocks] = {};
    int heldLockCount = 0;
    bool inCompletionRoutine = false;  // an IRP completion routine runs on this thread
    std::thread::id id;

    // Schedule explorer.
    uint64_t priority = 0;                   // the runnable thread of highest priority runs
    const KSPIN_LOCK* spinningOn = nullptr;  // waits for this spin lock to be released
    WaitBlock* joiner = nullptr;             // a thread waiting for this one to end
    uint64_t sequence = 0;                   // registration order, for ties
    // Zero-timeout polls in a row while nothing else happened in the host (livelock
    // detection), and the host's progress count when the run of polls began.
    uint32_t consecutivePolls = 0;
    uint64_t pollProgress = 0;
    // Host code holds a std::mutex of its own across kernel calls (NoPreemption).
    int preemptionOff = 0;
};

// The thread this code runs on, registered with the scheduler on first use.
HostThread& CurrentThread();
// The thread this code runs on, or null when it is not a host thread (never registers it).
HostThread* CurrentThreadOrNull();

// How the schedule explorer chooses. Seed 0 leaves it off.
struct ScheduleOptions {
    uint64_t seed = 0;
    int priorityChanges = 3;           // priority change points per run (PCT depth - 1)
    uint64_t changeHorizon = 100000;   // change points are drawn log-uniformly in [1, this]
    uint32_t jumpOneIn = 32;           // chance of a time jump at a preemption point
    Ticks maximumJump = Ticks{1000} * 10000;  // a jump never moves the clock further than this
    // The seed from KDX_SCHEDULE_SEED (0 when unset), with the other knobs at their defaults.
    static ScheduleOptions FromEnvironment();
};

// What a report should print to replay the current run (set by tests and the simulator).
void SetReplayCommand(const std::string& command);
std::string ReplayCommand();

// Runs code as one driver's (or the system's, for null) and restores the previous owner.
class DriverContext {
public:
    explicit DriverContext(PDRIVER_OBJECT driver)
        : thread_(CurrentThread()), saved_(thread_.executingDriver)
    {
        thread_.executingDriver = driver;
    }
    ~DriverContext() { thread_.executingDriver = saved_; }
    DriverContext(const DriverContext&) = delete;
    DriverContext& operator=(const DriverContext&) = delete;

private:
    HostThread& thread_;
    PDRIVER_OBJECT saved_;
};

// Keeps the schedule explorer from switching threads at the preemption points of the calling
// thread while host code holds a std::mutex of its own across kernel calls: a thread switched
// to there that waits for the same mutex would hold the baton in a wait the explorer cannot
// see, and every thread would stop. The section runs as one step; it must not block.
class NoPreemption {
public:
    NoPreemption() : thread_(CurrentThread()) { thread_.preemptionOff++; }
    ~NoPreemption() { thread_.preemptionOff--; }
    NoPreemption(const NoPreemption&) = delete;
    NoPreemption& operator=(const NoPreemption&) = delete;

private:
    HostThread& thread_;
};

// Holds a mutex of host bookkeeping with the schedule explorer's preemption points off on this
// thread (NoPreemption, taken before the mutex and given back after it). Host code calls kernel
// routines that are preemption points (IoSetCancelRoutine, KeSetEvent, KeSetTimer, ...) while
// holding such a mutex.
class HostLockGuard {
public:
    explicit HostLockGuard(std::mutex& mutex) : guard_(mutex) {}
    HostLockGuard(const HostLockGuard&) = delete;
    HostLockGuard& operator=(const HostLockGuard&) = delete;

private:
    NoPreemption noPreemption_;
    std::lock_guard<std::mutex> guard_;
};

class Scheduler {
public:
    static Scheduler& Instance();

    std::mutex& mutex() { return mutex_; }

    // Clock and schedule. Reset starts a host's run; Shutdown ends it once the host's own
    // threads have exited.
    void Reset(ClockMode mode, const ScheduleOptions& schedule = {});
    void Shutdown();
    ClockMode mode() const { return mode_; }
    Ticks Now() const;
    bool exploring() const { return explore_; }
    uint64_t seed() const { return schedule_.seed; }
    uint64_t steps() const { return steps_; }
    // "seed N, step S" while exploring, for reports.
    std::string DescribeSchedule() const;

    // Thread registry.
    void Register(HostThread& thread);
    void Unregister(HostThread& thread);
    // Starts a registered host thread; it counts as running from this call on.
    std::thread Spawn(std::string name, std::function<void()> body,
                      std::unique_ptr<HostThread>* owner);
    // True while `thread` is blocked in a host wait (for tests that wait for a thread to reach
    // its wait; the answer is ordered with the thread's writes before it blocked).
    bool IsBlocked(const HostThread& thread);
    // Waits in a host wait until a thread started with Spawn has ended, then joins it.
    void Join(std::thread& handle, HostThread& thread);

    // A preemption point of the current thread (a no-op unless exploring).
    void Yield(const char* where);
    // A zero-timeout wait or zero delay that found nothing: after many in a row, a thread
    // that only polls lets the clock move on as if real time passed while it spun.
    void Poll();
    // The current thread found `spinLock` held: while exploring it steps aside until the
    // lock is free (outside exploring it only yields the processor).
    void SpinWait(const KSPIN_LOCK* spinLock);

    // Blocks the current thread until its wait is satisfied or its deadline passes.
    // Called with the scheduler mutex held through `lock`.
    WaitBlock::State Block(WaitBlock& wait, std::unique_lock<std::mutex>& lock);
    // Ends a wait (under the mutex): the waiter counts as running again at once.
    void Wake(WaitBlock& wait, WaitBlock::State state);
    // A blocked wait's deadline changed (under the mutex).
    void DeadlineChanged(WaitBlock& wait);

    // Converts a kernel timeout (negative relative, positive absolute system time) to a
    // deadline on the clock.
    Ticks DeadlineFrom(LONGLONG kernelTime) const;
    static constexpr LONGLONG kSystemTimeEpoch = 134116128000000000LL;  // 2025-12-31 UTC

    std::string DescribeThreads() const;  // under the mutex

private:
    Scheduler();
    void StopRunning(std::unique_lock<std::mutex>& lock);
    // Nothing runs: ends the waits that last only until then; false when there is none.
    bool WakeIdleWaiters();
    void AdvanceVirtualClock();
    // Moves the clock to the earliest deadline within `limit` and wakes what is due then;
    // false when no deadline is that close.
    bool AdvanceClockTo(Ticks limit);
    Ticks EarliestDeadline() const;
    void Link(WaitBlock& wait);
    void Unlink(WaitBlock& wait);

    // Schedule explorer (scheduler mutex held).
    bool Runnable(const HostThread& thread) const;
    HostThread* ChooseNext();
    void PassBaton();
    void AwaitTurn(HostThread& thread, std::unique_lock<std::mutex>& lock);
    uint64_t Random();
    uint64_t InitialPriority();
    void Watch();

    mutable std::mutex mutex_;
    ClockMode mode_ = ClockMode::Virtual;
    std::atomic<Ticks> virtualNow_{0};
    int64_t realEpoch_ = 0;
    int running_ = 0;
    std::vector<HostThread*> threads_;
    WaitBlock* blocked_ = nullptr;
    uint64_t nextSequence_ = 0;

    bool explore_ = false;
    ScheduleOptions schedule_;
    HostThread* current_ = nullptr;  // the one thread allowed to run while exploring
    uint64_t rng_ = 0;
    uint64_t steps_ = 0;
    std::vector<uint64_t> changePoints_;  // ascending steps at which priorities drop
    size_t nextChange_ = 0;

    // The watchdog: a plain thread that reports a virtual-time host in which nothing has
    // happened for a long real time (a thread blocked outside host waits).
    std::atomic<uint64_t> progress_{0};
    std::atomic<bool> watching_{false};
    std::thread watchdog_;
};

}  // namespace host
