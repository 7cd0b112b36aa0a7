// Threads, waits, the clock and the schedule explorer of the host kernel (see scheduler.h).
#include "scheduler.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "verifier.h"

extern "C" {
volatile int HostScheduleExploring = 0;
}

extern "C" void HostPreemptionPoint(const char* where) { host::Scheduler::Instance().Yield(where); }

namespace host {

namespace {

// Owns the HostThread of a thread that was not started by the host (the test's or the
// simulator's main thread) and unregisters it when the thread ends.
struct AdoptedThread {
    std::unique_ptr<HostThread> thread;
    ~AdoptedThread()
    {
        if (thread && thread->registered) Scheduler::Instance().Unregister(*thread);
    }
};

thread_local HostThread* t_current = nullptr;
thread_local AdoptedThread t_adopted;

int64_t SteadyNowTicks()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

// A real-time span in which a virtual-time host that makes no progress at all is reported as
// hung: a thread then blocks outside host waits. KDX_WATCHDOG_SECONDS changes it.
int64_t WatchdogSeconds()
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment changes only between hosts.
    const char* text = getenv("KDX_WATCHDOG_SECONDS");
    int64_t seconds = text != nullptr ? strtoll(text, nullptr, 10) : 0;
    return seconds > 0 ? seconds : 10;
}

std::mutex g_replayMutex;
std::string g_replayCommand;

// Priorities: threads start high, each priority change point drops the running thread below
// every thread that has not dropped yet.
constexpr uint64_t kInitialPriorityBase = uint64_t(1) << 32;

}  // namespace

HostThread& CurrentThread()
{
    if (t_current != nullptr) return *t_current;
    t_adopted.thread = std::make_unique<HostThread>("main");
    t_current = t_adopted.thread.get();
    t_current->id = std::this_thread::get_id();
    Scheduler::Instance().Register(*t_current);
    return *t_current;
}

HostThread* CurrentThreadOrNull() { return t_current; }

ScheduleOptions ScheduleOptions::FromEnvironment()
{
    ScheduleOptions options;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before the host's threads start.
    if (const char* seed = getenv("KDX_SCHEDULE_SEED")) options.seed = strtoull(seed, nullptr, 0);
    return options;
}

void SetReplayCommand(const std::string& command)
{
    std::lock_guard<std::mutex> guard(g_replayMutex);
    g_replayCommand = command;
}

std::string ReplayCommand()
{
    std::lock_guard<std::mutex> guard(g_replayMutex);
    return g_replayCommand;
}

Scheduler& Scheduler::Instance()
{
    // Never destroyed: adopted threads unregister from thread-local destructors that may run
    // after static destruction has begun.
    static Scheduler* instance = new Scheduler();
    return *instance;
}

Scheduler::Scheduler()
{
    watchdog_ = std::thread([this] { Watch(); });
    watchdog_.detach();
}

void Scheduler::Reset(ClockMode mode, const ScheduleOptions& schedule)
{
    std::lock_guard<std::mutex> guard(mutex_);
    mode_ = mode;
    virtualNow_ = 0;
    realEpoch_ = SteadyNowTicks();
    schedule_ = schedule;
    explore_ = schedule.seed != 0 && mode == ClockMode::Virtual;
    steps_ = 0;
    nextChange_ = 0;
    changePoints_.clear();
    current_ = nullptr;
    if (explore_) {
        rng_ = schedule.seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
        // Change points log-uniform over the horizon: short and long runs both get some.
        double span = std::log(double(schedule.changeHorizon));
        for (int i = 0; i < schedule.priorityChanges; i++) {
            double unit = double(Random() >> 11) / double(uint64_t(1) << 53);
            changePoints_.push_back(uint64_t(std::exp(unit * span)));
        }
        std::sort(changePoints_.begin(), changePoints_.end());
        for (HostThread* thread : threads_) thread->priority = InitialPriority();
        current_ = t_current;
    }
    HostScheduleExploring = explore_ ? 1 : 0;
    watching_ = mode == ClockMode::Virtual;
    progress_++;
}

void Scheduler::Shutdown()
{
    std::lock_guard<std::mutex> guard(mutex_);
    explore_ = false;
    HostScheduleExploring = 0;
    current_ = nullptr;
    watching_ = false;
}

std::string Scheduler::DescribeSchedule() const
{
    if (!explore_) return "";
    return "seed " + std::to_string(schedule_.seed) + ", step " + std::to_string(steps_);
}

Ticks Scheduler::Now() const
{
    if (mode_ == ClockMode::Virtual) return virtualNow_.load(std::memory_order_acquire);
    return SteadyNowTicks() - realEpoch_;
}

Ticks Scheduler::DeadlineFrom(LONGLONG kernelTime) const
{
    if (kernelTime < 0) {
        Ticks now = Now();
        return (-kernelTime > kForever - now) ? kForever : now - kernelTime;
    }
    // Absolute system time: the host's system clock starts at kSystemTimeEpoch.
    Ticks deadline = kernelTime - kSystemTimeEpoch;
    return deadline < 0 ? 0 : deadline;
}

uint64_t Scheduler::Random()
{
    // splitmix64: small, fast, and the same sequence for a seed on every machine.
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint64_t Scheduler::InitialPriority() { return kInitialPriorityBase + (Random() >> 32); }

void Scheduler::Register(HostThread& thread)
{
    std::unique_lock<std::mutex> lock(mutex_);
    thread.registered = true;
    thread.sequence = nextSequence_++;
    thread.priority = explore_ ? InitialPriority() : 0;
    threads_.push_back(&thread);
    running_++;
    progress_++;
    // A thread that joins a run in progress waits for its turn (threads the host spawns wait
    // in Spawn's body instead, since they register before they start).
    if (explore_ && current_ != nullptr && &thread == t_current && current_ != &thread) {
        AwaitTurn(thread, lock);
    }
}

void Scheduler::Unregister(HostThread& thread)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto it = threads_.begin(); it != threads_.end(); ++it) {
        if (*it == &thread) {
            threads_.erase(it);
            break;
        }
    }
    thread.registered = false;
    if (thread.joiner != nullptr) {
        Wake(*thread.joiner, WaitBlock::State::Satisfied);
        thread.joiner = nullptr;
    }
    progress_++;
    if (explore_ && current_ == &thread) {
        running_--;
        PassBaton();
        return;
    }
    StopRunning(lock);
}

std::thread Scheduler::Spawn(std::string name, std::function<void()> body,
                             std::unique_ptr<HostThread>* owner)
{
    *owner = std::make_unique<HostThread>(std::move(name));
    HostThread* thread = owner->get();
    Register(*thread);
    return std::thread([this, thread, body = std::move(body)]() {
        t_current = thread;
        thread->id = std::this_thread::get_id();
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (explore_) AwaitTurn(*thread, lock);
        }
        body();
        Unregister(*thread);
        t_current = nullptr;
    });
}

bool Scheduler::IsBlocked(const HostThread& thread)
{
    std::lock_guard<std::mutex> guard(mutex_);
    return thread.wait != nullptr && thread.wait->state == WaitBlock::State::Waiting;
}

void Scheduler::Join(std::thread& handle, HostThread& thread)
{
    HostThread& self = CurrentThread();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (thread.registered) {
            WaitBlock wait;
            wait.thread = &self;
            wait.what = "joining thread " + thread.name;
            thread.joiner = &wait;
            Block(wait, lock);
        }
    }
    handle.join();
}

void Scheduler::Link(WaitBlock& wait)
{
    wait.previousBlocked = nullptr;
    wait.nextBlocked = blocked_;
    if (blocked_ != nullptr) blocked_->previousBlocked = &wait;
    blocked_ = &wait;
}

void Scheduler::Unlink(WaitBlock& wait)
{
    if (wait.previousBlocked != nullptr) {
        wait.previousBlocked->nextBlocked = wait.nextBlocked;
    } else {
        blocked_ = wait.nextBlocked;
    }
    if (wait.nextBlocked != nullptr) wait.nextBlocked->previousBlocked = wait.previousBlocked;
    wait.nextBlocked = wait.previousBlocked = nullptr;
}

WaitBlock::State Scheduler::Block(WaitBlock& wait, std::unique_lock<std::mutex>& lock)
{
    HostThread& thread = *wait.thread;
    wait.state = WaitBlock::State::Waiting;
    thread.wait = &wait;
    thread.consecutivePolls = 0;
    progress_++;
    Link(wait);
    if (explore_) {
        running_--;
        if (current_ == &thread) PassBaton();
        while (wait.state == WaitBlock::State::Waiting || current_ != &thread) {
            thread.wakeup.wait(lock);
        }
        thread.wait = nullptr;
        return wait.state;
    }
    StopRunning(lock);
    while (wait.state == WaitBlock::State::Waiting) {
        if (mode_ == ClockMode::Real && wait.deadline != kForever) {
            Ticks remaining = wait.deadline - Now();
            if (remaining <= 0) {
                Wake(wait, WaitBlock::State::TimedOut);
                break;
            }
            thread.wakeup.wait_for(lock, std::chrono::nanoseconds(remaining * 100));
        } else {
            thread.wakeup.wait(lock);
        }
    }
    thread.wait = nullptr;
    return wait.state;
}

void Scheduler::Wake(WaitBlock& wait, WaitBlock::State state)
{
    if (wait.state != WaitBlock::State::Waiting) return;
    wait.state = state;
    if (wait.object != nullptr) {
        RemoveEntryList(&wait.objectLink);
        wait.object = nullptr;
    }
    Unlink(wait);
    running_++;
    progress_++;
    // While exploring the woken thread runs only when it is handed the baton.
    if (!explore_) wait.thread->wakeup.notify_one();
}

void Scheduler::DeadlineChanged(WaitBlock& wait)
{
    if (mode_ == ClockMode::Real) wait.thread->wakeup.notify_one();
}

void Scheduler::StopRunning(std::unique_lock<std::mutex>& lock)
{
    (void)lock;
    running_--;
    if (explore_ || running_ != 0 || blocked_ == nullptr) return;
    if (!WakeIdleWaiters() && mode_ == ClockMode::Virtual) AdvanceVirtualClock();
}

bool Scheduler::WakeIdleWaiters()
{
    bool woken = false;
    WaitBlock* wait = blocked_;
    while (wait != nullptr) {
        WaitBlock* next = wait->nextBlocked;
        if (wait->untilIdle) {
            Wake(*wait, WaitBlock::State::Satisfied);
            woken = true;
        }
        wait = next;
    }
    return woken;
}

Ticks Scheduler::EarliestDeadline() const
{
    Ticks earliest = kForever;
    for (WaitBlock* wait = blocked_; wait != nullptr; wait = wait->nextBlocked) {
        if (wait->deadline < earliest) earliest = wait->deadline;
    }
    return earliest;
}

bool Scheduler::AdvanceClockTo(Ticks limit)
{
    Ticks earliest = EarliestDeadline();
    if (earliest == kForever || earliest > limit) return false;
    if (earliest > virtualNow_.load()) virtualNow_.store(earliest, std::memory_order_release);
    WaitBlock* wait = blocked_;
    while (wait != nullptr) {
        WaitBlock* next = wait->nextBlocked;
        if (wait->deadline <= earliest) Wake(*wait, WaitBlock::State::TimedOut);
        wait = next;
    }
    return true;
}

// Every registered thread is blocked: move the clock to the earliest deadline and wake every
// wait that is due then. With no deadline at all, nothing can ever run again.
void Scheduler::AdvanceVirtualClock()
{
    if (!AdvanceClockTo(kForever)) {
        ReportViolation(Rule::HostHang,
                        "Every host thread is blocked and no timer or timed wait is due.\n" +
                            DescribeThreads());
    }
}

// ---------------------------------------------------------------------------------------------
// The schedule explorer: priority-based random scheduling (PCT). Every thread gets a random
// priority; the runnable thread of highest priority runs until it blocks or a thread of
// higher priority becomes runnable; at a few change points drawn from the seed the running
// thread drops below all others. All of it happens under the scheduler mutex.
// ---------------------------------------------------------------------------------------------
bool Scheduler::Runnable(const HostThread& thread) const
{
    if (!thread.registered) return false;
    if (thread.wait != nullptr && thread.wait->state == WaitBlock::State::Waiting) return false;
    if (thread.spinningOn != nullptr && __atomic_load_n(thread.spinningOn, __ATOMIC_ACQUIRE) != 0) {
        return false;
    }
    return true;
}

HostThread* Scheduler::ChooseNext()
{
    HostThread* best = nullptr;
    for (HostThread* thread : threads_) {
        if (!Runnable(*thread)) continue;
        if (best == nullptr || thread->priority > best->priority ||
            (thread->priority == best->priority && thread->sequence < best->sequence)) {
            best = thread;
        }
    }
    return best;
}

// The running thread stops (it blocked, spins on a held lock or ended): hand the baton to the
// best runnable thread. When none is runnable, the waits until idle end, or else the clock
// moves.
void Scheduler::PassBaton()
{
    HostThread* next = ChooseNext();
    if (next == nullptr && blocked_ != nullptr && (WakeIdleWaiters() || AdvanceClockTo(kForever))) {
        next = ChooseNext();
    }
    if (next == nullptr) {
        if (threads_.empty()) {
            current_ = nullptr;
            return;
        }
        ReportViolation(Rule::HostHang,
                        "Every host thread is blocked, or spins on a spin lock held by a blocked "
                        "thread, and no timer or timed wait is due.\n" +
                            DescribeThreads());
    }
    current_ = next;
    next->wakeup.notify_one();
}

void Scheduler::AwaitTurn(HostThread& thread, std::unique_lock<std::mutex>& lock)
{
    while (current_ != &thread) thread.wakeup.wait(lock);
}

void Scheduler::Yield(const char* where)
{
    (void)where;
    HostThread* self = t_current;
    if (self == nullptr) return;  // not a host thread: nothing to schedule
    if (self->preemptionOff != 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!explore_ || current_ != self) return;
    steps_++;
    progress_++;
    while (nextChange_ < changePoints_.size() && changePoints_[nextChange_] <= steps_) {
        self->priority = changePoints_.size() - nextChange_;
        nextChange_++;
    }
    if (schedule_.jumpOneIn != 0 && Random() % schedule_.jumpOneIn == 0) {
        AdvanceClockTo(virtualNow_.load() + schedule_.maximumJump);
    }
    HostThread* next = ChooseNext();
    if (next != nullptr && next != self) {
        current_ = next;
        next->wakeup.notify_one();
        AwaitTurn(*self, lock);
    }
}

void Scheduler::SpinWait(const KSPIN_LOCK* spinLock)
{
    HostThread* self = t_current;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!explore_ || self == nullptr || current_ != self) {
        lock.unlock();
        std::this_thread::yield();
        return;
    }
    self->spinningOn = spinLock;
    progress_++;
    PassBaton();
    AwaitTurn(*self, lock);
    self->spinningOn = nullptr;
}

void Scheduler::Poll()
{
    constexpr uint32_t kPollsBeforeIdle = 64;
    HostThread* self = t_current;
    if (self == nullptr || ++self->consecutivePolls < kPollsBeforeIdle) {
        if (self != nullptr && explore_) Yield("poll");
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (mode_ != ClockMode::Virtual) return;
    // Another thread blocked, woke or ran since the polls began: what the poller waits for may
    // have happened after it looked, so it looks again before time may pass for it.
    if (progress_.load() != self->pollProgress) {
        self->pollProgress = progress_.load();
        self->consecutivePolls = 0;
        return;
    }
    // Only when no other thread can change anything does the poll stand for passing time.
    bool othersRunnable;
    if (explore_) {
        othersRunnable = false;
        for (HostThread* thread : threads_) othersRunnable |= thread != self && Runnable(*thread);
    } else {
        othersRunnable = running_ > 1;
    }
    if (othersRunnable) {
        if (explore_) {
            lock.unlock();
            Yield("poll");
        }
        return;
    }
    if (!AdvanceClockTo(kForever)) {
        ReportViolation(Rule::HostHang,
                        "Livelock: " + self->name +
                            " polls with zero timeouts while every other host thread is blocked "
                            "and no timer or timed wait is due.\n" +
                            DescribeThreads());
    }
    self->consecutivePolls = 0;
    self->pollProgress = progress_.load();
}

void Scheduler::Watch()
{
    uint64_t seen = progress_.load();
    int64_t since = SteadyNowTicks();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        uint64_t now = progress_.load();
        int64_t clock = SteadyNowTicks();
        if (now != seen || !watching_.load()) {
            seen = now;
            since = clock;
            continue;
        }
        int64_t limit = WatchdogSeconds();
        if (clock - since < limit * kTicksPerSecond) continue;
        std::string threads;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (running_ <= 0 || progress_.load() != seen || !watching_.load()) {
                since = clock;
                continue;
            }
            threads = DescribeThreads();
        }
        ReportViolation(Rule::HostHang,
                        "Nothing has happened in the host for " + std::to_string(limit) +
                            " s of real time while a host thread counts as running: it is "
                            "blocked outside host waits (a std::mutex, a join, a sleep) or spins "
                            "without calling the kernel.\n" +
                            threads);
    }
}

std::string Scheduler::DescribeThreads() const
{
    std::ostringstream out;
    out << "Host threads at " << (Now() / kTicksPerMillisecond) << " ms";
    if (explore_) out << " (" << DescribeSchedule() << ")";
    out << ":\n";
    for (const HostThread* thread : threads_) {
        out << "  " << thread->name << " (IRQL " << int(thread->irql) << "): ";
        if (thread->spinningOn != nullptr) {
            out << "spinning on spin lock " << static_cast<const void*>(thread->spinningOn) << "\n";
            continue;
        }
        if (thread->wait == nullptr || thread->wait->state != WaitBlock::State::Waiting) {
            out << (explore_ && current_ == thread ? "running" : "runnable") << "\n";
            continue;
        }
        out << thread->wait->what;
        if (thread->wait->deadline != kForever) {
            out << " until " << (thread->wait->deadline / kTicksPerMillisecond) << " ms";
        } else {
            out << " without timeout";
        }
        out << "\n";
    }
    return out.str();
}

}  // namespace host
