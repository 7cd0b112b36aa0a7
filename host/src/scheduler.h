// Threads, waits and the clock of the host kernel.
//
// Every thread that runs kernel or driver code is a registered host thread with its own IRQL.
// All dispatcher state (events, timers, DPC and work queues, waits) is guarded by one
// scheduler mutex. In virtual time the clock moves only when every registered thread is
// blocked in a host wait: the last thread to block moves it to the earliest deadline and wakes
// what is due; when nothing is due the host reports a hang with every thread's wait.
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
};

// The thread this code runs on, registered with the scheduler on first use.
HostThread& CurrentThread();

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

class Scheduler {
public:
    static Scheduler& Instance();

    std::mutex& mutex() { return mutex_; }

    // Clock.
    void Reset(ClockMode mode);
    ClockMode mode() const { return mode_; }
    Ticks Now() const;

    // Thread registry.
    void Register(HostThread& thread);
    void Unregister(HostThread& thread);
    // Starts a registered host thread; it counts as running from this call on.
    std::thread Spawn(std::string name, std::function<void()> body,
                      std::unique_ptr<HostThread>* owner);

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
    Scheduler() = default;
    void StopRunning(std::unique_lock<std::mutex>& lock);
    void AdvanceVirtualClock();
    void Link(WaitBlock& wait);
    void Unlink(WaitBlock& wait);

    mutable std::mutex mutex_;
    ClockMode mode_ = ClockMode::Virtual;
    std::atomic<Ticks> virtualNow_{0};
    int64_t realEpoch_ = 0;
    int running_ = 0;
    std::vector<HostThread*> threads_;
    WaitBlock* blocked_ = nullptr;
};

}  // namespace host
