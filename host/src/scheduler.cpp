// Threads, waits and the clock of the host kernel (see scheduler.h).
#include "scheduler.h"

#include <chrono>
#include <sstream>

#include "verifier.h"

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

Scheduler& Scheduler::Instance()
{
    // Never destroyed: adopted threads unregister from thread-local destructors that may run
    // after static destruction has begun.
    static Scheduler* instance = new Scheduler();
    return *instance;
}

void Scheduler::Reset(ClockMode mode)
{
    std::lock_guard<std::mutex> guard(mutex_);
    mode_ = mode;
    virtualNow_ = 0;
    realEpoch_ = SteadyNowTicks();
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

void Scheduler::Register(HostThread& thread)
{
    std::lock_guard<std::mutex> guard(mutex_);
    thread.registered = true;
    threads_.push_back(&thread);
    running_++;
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
    StopRunning(lock);
}

std::thread Scheduler::Spawn(std::string name, std::function<void()> body,
                             std::unique_ptr<HostThread>* owner)
{
    *owner = std::make_unique<HostThread>(std::move(name));
    HostThread* thread = owner->get();
    Register(*thread);
    return std::thread([thread, body = std::move(body)]() {
        t_current = thread;
        thread->id = std::this_thread::get_id();
        body();
        Scheduler::Instance().Unregister(*thread);
        t_current = nullptr;
    });
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
    Link(wait);
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
    wait.thread->wakeup.notify_one();
}

void Scheduler::DeadlineChanged(WaitBlock& wait)
{
    if (mode_ == ClockMode::Real) wait.thread->wakeup.notify_one();
}

void Scheduler::StopRunning(std::unique_lock<std::mutex>& lock)
{
    (void)lock;
    running_--;
    if (mode_ == ClockMode::Virtual && running_ == 0 && blocked_ != nullptr) {
        AdvanceVirtualClock();
    }
}

// Every registered thread is blocked: move the clock to the earliest deadline and wake every
// wait that is due then. With no deadline at all, nothing can ever run again.
void Scheduler::AdvanceVirtualClock()
{
    Ticks earliest = kForever;
    for (WaitBlock* wait = blocked_; wait != nullptr; wait = wait->nextBlocked) {
        if (wait->deadline < earliest) earliest = wait->deadline;
    }
    if (earliest == kForever) {
        ReportViolation(Rule::HostHang,
                        "Every host thread is blocked and no timer or timed wait is due.\n" +
                            DescribeThreads());
    }
    if (earliest > virtualNow_.load()) virtualNow_.store(earliest, std::memory_order_release);
    WaitBlock* wait = blocked_;
    while (wait != nullptr) {
        WaitBlock* next = wait->nextBlocked;
        if (wait->deadline <= earliest) Wake(*wait, WaitBlock::State::TimedOut);
        wait = next;
    }
}

std::string Scheduler::DescribeThreads() const
{
    std::ostringstream out;
    out << "Host threads at " << (Now() / kTicksPerMillisecond) << " ms:\n";
    for (const HostThread* thread : threads_) {
        out << "  " << thread->name << " (IRQL " << int(thread->irql) << "): ";
        if (thread->wait == nullptr) {
            out << "running\n";
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
