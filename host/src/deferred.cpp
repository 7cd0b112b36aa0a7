// Timers, DPCs and work items.
//
// One DPC thread stands for the processors' DPC queues: it expires timers when they fall due
// and runs queued DPCs in order at DISPATCH_LEVEL. Work items run at PASSIVE_LEVEL on worker
// threads that are added whenever an item is queued and no worker is idle, since a driver's
// work item may block for a long time. All queues and timers are guarded by the scheduler
// mutex; driver routines run without it.
#include <algorithm>

#include "kernel.h"

using namespace host;

namespace {

enum : UCHAR { kTimerNotificationObject = 8, kTimerSynchronizationObject = 9, kDpcObject = 19 };

PVOID const kQueuedMarker = reinterpret_cast<PVOID>(1);

struct ExitSignal {
    DISPATCHER_HEADER header;
    ExitSignal() { InitializeDispatcherHeader(&header, 0, 0, 0); }
};

void RequireTimer(PKTIMER timer, const char* routine)
{
    bool known = timer->Header.Type == kTimerNotificationObject ||
                 timer->Header.Type == kTimerSynchronizationObject;
    if (!known || timer->Header.WaitListHead.Flink == nullptr) {
        ReportViolation(Rule::DispatcherObjectNotInitialized, std::string(routine) +
                                                                  " was given timer " + Hex(timer) +
                                                                  " that was never initialised.");
    }
}

}  // namespace

namespace host {

// Per-thread exit signals let shutdown wait for a thread in a host wait, so that a thread
// stuck in driver code shows up in a hang report instead of blocking the host silently.
static std::map<const void*, std::unique_ptr<ExitSignal>>& ExitSignals()
{
    static std::map<const void*, std::unique_ptr<ExitSignal>> signals;
    return signals;
}

static DISPATCHER_HEADER* ExitSignalFor(const void* owner)
{
    auto& signal = ExitSignals()[owner];
    if (!signal) signal = std::make_unique<ExitSignal>();
    return &signal->header;
}

static void SignalExit(const void* owner)
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    SignalDispatcherObject(ExitSignalFor(owner));
}

static void AwaitExit(const void* owner, std::thread& handle, const std::string& what)
{
    DISPATCHER_HEADER* signal;
    {
        std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
        signal = ExitSignalFor(owner);
    }
    WaitOn(signal, kForever, what);
    handle.join();
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    ExitSignals().erase(owner);
}

Deferred::Deferred()
{
    InitializeListHead(&timers_);
    Scheduler& scheduler = Scheduler::Instance();
    int count = scheduler.exploring() ? 2 : 1;
    for (int i = 0; i < count; i++) {
        auto processor = std::make_unique<DpcProcessor>();
        DpcProcessor* raw = processor.get();
        {
            std::lock_guard<std::mutex> guard(scheduler.mutex());
            ExitSignalFor(raw);
            processors_.push_back(std::move(processor));
        }
        std::string name = i == 0 ? "dpc" : "dpc " + std::to_string(i + 1);
        raw->handle = scheduler.Spawn(
            name, [this, raw] { DpcThreadMain(raw); }, &raw->thread);
    }
}

Deferred::~Deferred() { Stop(); }

void Deferred::Stop()
{
    std::vector<Worker*> workers;
    {
        std::lock_guard<std::mutex> spawning(spawnMutex_);
        std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
        if (stopping_) return;
        stopping_ = true;
        for (auto& processor : processors_) {
            if (processor->idle) {
                Scheduler::Instance().Wake(processor->idleWait, WaitBlock::State::Satisfied);
            }
        }
        for (auto& worker : workers_) {
            if (worker->idle)
                Scheduler::Instance().Wake(worker->idleWait, WaitBlock::State::Satisfied);
            workers.push_back(worker.get());
        }
    }
    for (auto& processor : processors_) {
        AwaitExit(processor.get(), processor->handle,
                  "host shutdown: waiting for " + processor->thread->name);
    }
    for (Worker* worker : workers) {
        AwaitExit(worker, worker->handle,
                  "host shutdown: waiting for worker " + worker->thread->name);
    }
}

// ---------------------------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------------------------
bool Deferred::IsTimerSet(const KTIMER* timer) const
{
    for (LIST_ENTRY* entry = timers_.Flink; entry != &timers_; entry = entry->Flink) {
        if (CONTAINING_RECORD(entry, KTIMER, TimerListEntry) == timer) return true;
    }
    return false;
}

size_t Deferred::SetTimerCount(PDRIVER_OBJECT owner) const
{
    size_t count = 0;
    for (const auto& [timer, setter] : timerOwners_) count += setter == owner;
    return count;
}

Ticks Deferred::NextTimerDue() const
{
    if (IsListEmpty(&timers_)) return kForever;
    return Ticks(CONTAINING_RECORD(timers_.Flink, KTIMER, TimerListEntry)->DueTime.QuadPart);
}

bool Deferred::CancelTimer(PKTIMER timer)
{
    if (!IsTimerSet(timer)) return false;
    RemoveEntryList(&timer->TimerListEntry);
    timer->Header.Inserted = 0;
    timerOwners_.erase(timer);
    return true;
}

bool Deferred::SetTimer(PKTIMER timer, Ticks dueTime, LONG period, PKDPC dpc)
{
    bool wasSet = CancelTimer(timer);
    timer->DueTime.QuadPart = ULONGLONG(dueTime);
    timer->Period = period;
    timer->Dpc = dpc;
    timer->Header.SignalState = 0;
    timer->Header.Inserted = 1;
    timerOwners_[timer] = CurrentThread().executingDriver;
    timesSet_[timer]++;
    LIST_ENTRY* position = timers_.Flink;
    while (position != &timers_ &&
           Ticks(CONTAINING_RECORD(position, KTIMER, TimerListEntry)->DueTime.QuadPart) <=
               dueTime) {
        position = position->Flink;
    }
    InsertTailList(position, &timer->TimerListEntry);  // inserts before `position`
    for (auto& processor : processors_) {
        if (processor->idle) {
            processor->idleWait.deadline = NextTimerDue();
            Scheduler::Instance().DeadlineChanged(processor->idleWait);
        }
    }
    return wasSet;
}

void Deferred::ExpireTimers()
{
    Ticks now = Scheduler::Instance().Now();
    while (!IsListEmpty(&timers_)) {
        PKTIMER timer = CONTAINING_RECORD(timers_.Flink, KTIMER, TimerListEntry);
        Ticks due = Ticks(timer->DueTime.QuadPart);
        if (due > now) break;
        RemoveEntryList(&timer->TimerListEntry);
        timer->Header.Inserted = 0;
        PDRIVER_OBJECT owner = timerOwners_[timer];
        timerOwners_.erase(timer);
        SignalDispatcherObject(&timer->Header);
        PKDPC dpc = timer->Dpc;
        if (timer->Period > 0) {
            SetTimer(timer, due + Ticks(timer->Period) * kTicksPerMillisecond, timer->Period, dpc);
            timerOwners_[timer] = owner;
        }
        if (dpc != nullptr) {
            InsertDpc(dpc, reinterpret_cast<PVOID>(now & 0xFFFFFFFF),
                      reinterpret_cast<PVOID>(now >> 32));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// DPCs
// ---------------------------------------------------------------------------------------------
void Deferred::WakeDpcThread()
{
    for (auto& processor : processors_) {
        if (processor->idle && processor->idleWait.state == WaitBlock::State::Waiting) {
            Scheduler::Instance().Wake(processor->idleWait, WaitBlock::State::Satisfied);
            return;
        }
    }
}

std::deque<Deferred::DpcEntry>::iterator Deferred::NextRunnableDpc()
{
    for (auto it = dpcQueue_.begin(); it != dpcQueue_.end(); ++it) {
        bool running = false;
        for (auto& processor : processors_)
            running |= it->dpc != nullptr && processor->running == it->dpc;
        if (!running) return it;
    }
    return dpcQueue_.end();
}

bool Deferred::IsDpcQueued(const KDPC* dpc) const
{
    for (const DpcEntry& entry : dpcQueue_) {
        if (entry.dpc == dpc) return true;
    }
    return false;
}

bool Deferred::InsertDpc(PKDPC dpc, PVOID argument1, PVOID argument2)
{
    if (dpc->DpcData != nullptr) return false;
    dpc->DpcData = kQueuedMarker;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    DpcEntry entry;
    entry.dpc = dpc;
    entry.owner = reinterpret_cast<PDRIVER_OBJECT>(dpc->ProcessorHistory);
    entry.sequence = ++dpcSequence_;
    dpcQueue_.push_back(std::move(entry));
    WakeDpcThread();
    return true;
}

bool Deferred::RemoveDpc(PKDPC dpc)
{
    for (auto it = dpcQueue_.begin(); it != dpcQueue_.end(); ++it) {
        if (it->dpc == dpc) {
            dpcQueue_.erase(it);
            dpc->DpcData = nullptr;
            WakeFlushWaiters();
            return true;
        }
    }
    return false;
}

void Deferred::QueueSystemDpc(PDRIVER_OBJECT owner, std::function<void()> routine)
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    DpcEntry entry;
    entry.routine = std::move(routine);
    entry.owner = owner;
    entry.sequence = ++dpcSequence_;
    dpcQueue_.push_back(std::move(entry));
    WakeDpcThread();
}

void Deferred::WakeFlushWaiters()
{
    for (WaitBlock* waiter : flushWaiters_) {
        if (waiter->state == WaitBlock::State::Waiting) {
            Scheduler::Instance().Wake(*waiter, WaitBlock::State::Satisfied);
        }
    }
}

// True while a DPC entry queued as `sequence` or earlier is queued or running.
bool Deferred::DpcsPendingUpTo(uint64_t sequence) const
{
    for (const DpcEntry& entry : dpcQueue_) {
        if (entry.sequence <= sequence) return true;
    }
    for (const auto& processor : processors_) {
        if (processor->runningSequence != 0 && processor->runningSequence <= sequence) return true;
    }
    return false;
}

void Deferred::FlushQueuedDpcs()
{
    Scheduler& scheduler = Scheduler::Instance();
    std::unique_lock<std::mutex> lock(scheduler.mutex());
    uint64_t last = dpcSequence_;
    while (DpcsPendingUpTo(last)) {
        WaitBlock wait;
        wait.thread = &CurrentThread();
        wait.what = "KeFlushQueuedDpcs: waiting for the DPCs queued before it";
        flushWaiters_.push_back(&wait);
        scheduler.Block(wait, lock);
        flushWaiters_.erase(std::find(flushWaiters_.begin(), flushWaiters_.end(), &wait));
    }
}

size_t Deferred::QueuedDpcCount(PDRIVER_OBJECT owner) const
{
    size_t count = 0;
    for (const DpcEntry& entry : dpcQueue_) {
        if (entry.dpc != nullptr && entry.owner == owner) count++;
    }
    return count;
}

void Deferred::DpcThreadMain(DpcProcessor* processor)
{
    HostThread& thread = CurrentThread();
    Scheduler& scheduler = Scheduler::Instance();
    std::unique_lock<std::mutex> lock(scheduler.mutex());
    for (;;) {
        ExpireTimers();
        auto next = NextRunnableDpc();
        if (next != dpcQueue_.end()) {
            DpcEntry entry = std::move(*next);
            dpcQueue_.erase(next);
            PKDPC dpc = entry.dpc;
            PKDEFERRED_ROUTINE routine = nullptr;
            PVOID context = nullptr, argument1 = nullptr, argument2 = nullptr;
            if (dpc != nullptr) {
                dpc->DpcData = nullptr;
                routine = dpc->DeferredRoutine;
                context = dpc->DeferredContext;
                argument1 = dpc->SystemArgument1;
                argument2 = dpc->SystemArgument2;
            }
            processor->running = dpc;
            processor->runningSequence = entry.sequence;
            lock.unlock();
            thread.irql = DISPATCH_LEVEL;
            if (dpc != nullptr) {
                CallAsDriver(entry.owner, "DPC routine",
                             [&] { routine(dpc, context, argument1, argument2); });
            } else {
                CallAsDriver(entry.owner, "host DPC", [&] { entry.routine(); });
            }
            thread.irql = PASSIVE_LEVEL;
            lock.lock();
            processor->running = nullptr;
            processor->runningSequence = 0;
            WakeFlushWaiters();
            // A DPC queued again while it ran waits for this processor or another one.
            if (!dpcQueue_.empty()) WakeDpcThread();
            continue;
        }
        if (stopping_) break;
        processor->idleWait = WaitBlock();
        processor->idleWait.thread = &thread;
        processor->idleWait.deadline = NextTimerDue();
        processor->idleWait.what = "idle DPC thread: waiting for a DPC or the next timer";
        processor->idle = true;
        scheduler.Block(processor->idleWait, lock);
        processor->idle = false;
    }
    lock.unlock();
    SignalExit(processor);
}

// ---------------------------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------------------------
void Deferred::SetDelayedWorkStartDelay(Ticks delay)
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    delayedWorkStartDelay_ = delay;
}

void Deferred::QueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE type)
{
    Scheduler& scheduler = Scheduler::Instance();
    {
        std::lock_guard<std::mutex> guard(scheduler.mutex());
        for (const WorkEntry& entry : workQueue_) {
            if (entry.item == item) {
                ReportViolation(Rule::WorkItemAlreadyQueued,
                                "Work item " + Hex(item) + " (routine " +
                                    Hex(reinterpret_cast<void*>(item->WorkerRoutine)) + ").");
            }
        }
        item->List.Flink = &item->List;
        Ticks delay = type == DelayedWorkQueue ? delayedWorkStartDelay_ : 0;
        workQueue_.push_back(WorkEntry{item, CurrentThread().executingDriver,
                                       delay > 0 ? scheduler.Now() + delay : 0});
        timesQueued_[item]++;
        bool woken = false;
        size_t idle = 0;
        for (auto& worker : workers_) {
            if (!woken && worker->idle && worker->idleWait.state == WaitBlock::State::Waiting) {
                scheduler.Wake(worker->idleWait, WaitBlock::State::Satisfied);
                woken = true;
            }
            idle += worker->idle;
        }
        // A worker waiting for a delayed item's start is idle but stays with that item: with a
        // start delay every queued item needs an idle worker of its own.
        if (woken && (delayedWorkStartDelay_ == 0 || workQueue_.size() <= idle)) return;
    }
    // A worker is started and listed under spawnMutex_, so that Stop() sees every worker that
    // can run an item.
    std::lock_guard<std::mutex> spawning(spawnMutex_);
    if (stopping_) {
        ReportViolation(Rule::NotEmulated, "ExQueueWorkItem while the host shuts down.");
    }
    auto worker = std::make_unique<Worker>();
    Worker* raw = worker.get();
    std::string name = "worker " + std::to_string(workers_.size() + 1);
    {
        std::lock_guard<std::mutex> guard(scheduler.mutex());
        ExitSignalFor(raw);
    }
    raw->handle = scheduler.Spawn(
        name, [this, raw] { WorkerMain(raw); }, &raw->thread);
    std::lock_guard<std::mutex> guard(scheduler.mutex());
    workers_.push_back(std::move(worker));
}

void Deferred::WorkerMain(Worker* worker)
{
    HostThread& thread = CurrentThread();
    Scheduler& scheduler = Scheduler::Instance();
    std::unique_lock<std::mutex> lock(scheduler.mutex());
    for (;;) {
        // The first item that may start now; otherwise the time the next one may.
        auto next = workQueue_.begin();
        Ticks startsAt = kForever;
        for (auto it = workQueue_.begin(); it != workQueue_.end(); ++it) {
            if (it->startsAt <= scheduler.Now()) {
                startsAt = it->startsAt;
                next = it;
                break;
            }
            startsAt = std::min(startsAt, it->startsAt);
        }
        if (!workQueue_.empty() && startsAt <= scheduler.Now()) {
            WorkEntry entry = *next;
            workQueue_.erase(next);
            PWORKER_THREAD_ROUTINE routine = entry.item->WorkerRoutine;
            PVOID parameter = entry.item->Parameter;
            entry.item->List.Flink = nullptr;  // the routine may queue its item again
            worker->running = true;
            worker->runningOwner = entry.owner;
            lock.unlock();
            CallAsDriver(entry.owner, "work-item routine", [&] { routine(parameter); });
            lock.lock();
            worker->running = false;
            worker->runningOwner = nullptr;
            continue;
        }
        if (stopping_ && workQueue_.empty()) break;
        worker->idleWait = WaitBlock();
        worker->idleWait.thread = &thread;
        worker->idleWait.what = "idle worker: waiting for a work item";
        if (!workQueue_.empty()) {
            worker->idleWait.deadline = startsAt;
            worker->idleWait.what = "idle worker: waiting for a delayed work item's start";
        }
        worker->idle = true;
        scheduler.Block(worker->idleWait, lock);
        worker->idle = false;
    }
    lock.unlock();
    SignalExit(worker);
}

size_t Deferred::WorkItemCount(PDRIVER_OBJECT owner) const
{
    size_t count = 0;
    for (const WorkEntry& entry : workQueue_) {
        if (entry.owner == owner) count++;
    }
    for (const auto& worker : workers_) {
        if (worker->running && worker->runningOwner == owner) count++;
    }
    return count;
}

std::string Deferred::DescribeWithin(const void* start, size_t length) const
{
    auto inside = [&](const void* object) {
        auto* byte = static_cast<const char*>(object);
        return byte >= static_cast<const char*>(start) &&
               byte < static_cast<const char*>(start) + length;
    };
    std::string text;
    for (LIST_ENTRY* entry = timers_.Flink; entry != &timers_; entry = entry->Flink) {
        const KTIMER* timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
        if (inside(timer)) text += "  timer " + Hex(timer) + " is set\n";
    }
    for (const DpcEntry& entry : dpcQueue_) {
        if (entry.dpc != nullptr && inside(entry.dpc)) {
            text += "  DPC " + Hex(entry.dpc) + " is queued\n";
        }
    }
    for (const WorkEntry& entry : workQueue_) {
        if (inside(entry.item)) text += "  work item " + Hex(entry.item) + " is queued\n";
    }
    return text;
}

size_t Deferred::WorkerThreadCount() const { return workers_.size(); }

uint64_t Deferred::TimesSet(const KTIMER* timer) const
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    auto found = timesSet_.find(timer);
    return found == timesSet_.end() ? 0 : found->second;
}

uint64_t Deferred::TimesQueued(const WORK_QUEUE_ITEM* item) const
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    auto found = timesQueued_.find(item);
    return found == timesQueued_.end() ? 0 : found->second;
}

}  // namespace host

// ---------------------------------------------------------------------------------------------
// Kernel routines
// ---------------------------------------------------------------------------------------------
extern "C" VOID KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type)
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    if (Kernel::Current().deferred.IsTimerSet(timer)) {
        ReportViolation(Rule::TimerReinitializedWhileSet, "Timer " + Hex(timer) + ".");
    }
    InitializeDispatcherHeader(
        &timer->Header,
        type == NotificationTimer ? kTimerNotificationObject : kTimerSynchronizationObject,
        sizeof(KTIMER) / sizeof(LONG), 0);
    timer->DueTime.QuadPart = 0;
    timer->TimerListEntry.Flink = timer->TimerListEntry.Blink = nullptr;
    timer->Dpc = nullptr;
    timer->Processor = 0;
    timer->Period = 0;
}

extern "C" VOID KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

extern "C" BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc)
{
    HOST_PREEMPTION_POINT("KeSetTimer");
    if (period < 0) ReportViolation(Rule::NotEmulated, "KeSetTimerEx with a negative period.");
    Scheduler& scheduler = Scheduler::Instance();
    std::lock_guard<std::mutex> guard(scheduler.mutex());
    RequireTimer(timer, "KeSetTimer");
    Ticks due = scheduler.DeadlineFrom(dueTime.QuadPart);
    return Kernel::Current().deferred.SetTimer(timer, due, period, dpc);
}

extern "C" BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc)
{
    return KeSetTimerEx(timer, dueTime, 0, dpc);
}

extern "C" BOOLEAN KeCancelTimer(PKTIMER timer)
{
    HOST_PREEMPTION_POINT("KeCancelTimer");
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    RequireTimer(timer, "KeCancelTimer");
    return Kernel::Current().deferred.CancelTimer(timer);
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER timer)
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    RequireTimer(timer, "KeReadStateTimer");
    return timer->Header.SignalState != 0;
}

extern "C" VOID KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE deferredRoutine,
                                PVOID deferredContext)
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    if (Kernel::Current().deferred.IsDpcQueued(dpc)) {
        ReportViolation(Rule::DpcReinitializedWhileQueued, "DPC " + Hex(dpc) + ".");
    }
    dpc->TargetInfoAsUlong = 0;
    dpc->Type = kDpcObject;
    dpc->Importance = 1;
    dpc->DpcListEntry.Next = nullptr;
    dpc->ProcessorHistory = reinterpret_cast<KAFFINITY>(CurrentThread().executingDriver);
    dpc->DeferredRoutine = deferredRoutine;
    dpc->DeferredContext = deferredContext;
    dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
    dpc->DpcData = nullptr;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2)
{
    HOST_PREEMPTION_POINT("KeInsertQueueDpc");
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    if (dpc->Type != kDpcObject) {
        ReportViolation(Rule::DispatcherObjectNotInitialized, "DPC " + Hex(dpc) + ".");
    }
    return Kernel::Current().deferred.InsertDpc(dpc, systemArgument1, systemArgument2);
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC dpc)
{
    HOST_PREEMPTION_POINT("KeRemoveQueueDpc");
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    return Kernel::Current().deferred.RemoveDpc(dpc);
}

extern "C" VOID KeFlushQueuedDpcs(void)
{
    HOST_PREEMPTION_POINT("KeFlushQueuedDpcs");
    RequireIrqlAtMost("KeFlushQueuedDpcs", PASSIVE_LEVEL);
    Kernel::Current().deferred.FlushQueuedDpcs();
}

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER currentTime)
{
    currentTime->QuadPart = Scheduler::kSystemTimeEpoch + Scheduler::Instance().Now();
}

extern "C" ULONGLONG KeQueryInterruptTime(void) { return ULONGLONG(Scheduler::Instance().Now()); }

extern "C" VOID ExQueueWorkItem(PWORK_QUEUE_ITEM workItem, WORK_QUEUE_TYPE queueType)
{
    HOST_PREEMPTION_POINT("ExQueueWorkItem");
    if (queueType != DelayedWorkQueue && queueType != CriticalWorkQueue &&
        queueType != HyperCriticalWorkQueue) {
        ReportViolation(Rule::NotEmulated, "ExQueueWorkItem with an unknown queue type.");
    }
    RequireIrqlAtMost("ExQueueWorkItem", DISPATCH_LEVEL);
    Kernel::Current().deferred.QueueWorkItem(workItem, queueType);
}
