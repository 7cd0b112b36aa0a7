// IRQL, spin locks, events and waits.
//
// The IRQL is per host thread. Spin locks are real spin locks whose word holds the owning
// thread, so the verifier knows who holds what. Events keep their state in the
// DISPATCHER_HEADER and their waiters in its wait list, like the real kernel; all of it is
// guarded by the scheduler mutex.
#include <sched.h>

#include "kernel.h"

using namespace host;

namespace {

enum : UCHAR {
    kEventNotificationObject = 0,
    kEventSynchronizationObject = 1,
    kTimerNotificationObject = 8,
    kTimerSynchronizationObject = 9,
};

ULONG_PTR OwnerTag(HostThread& thread) { return reinterpret_cast<ULONG_PTR>(&thread) | 1; }

void RequireInitialized(DISPATCHER_HEADER* header, const char* routine)
{
    bool knownType =
        header->Type == kEventNotificationObject || header->Type == kEventSynchronizationObject ||
        header->Type == kTimerNotificationObject || header->Type == kTimerSynchronizationObject;
    if (!knownType || header->WaitListHead.Flink == nullptr) {
        ReportViolation(Rule::DispatcherObjectNotInitialized,
                        std::string(routine) + " was given object " + Hex(header) + " of type " +
                            std::to_string(header->Type) + ".");
    }
}

bool IsSynchronizationType(const DISPATCHER_HEADER* header)
{
    return header->Type == kEventSynchronizationObject ||
           header->Type == kTimerSynchronizationObject;
}

void RequireWaitAllowed(const char* routine, bool zeroTimeout)
{
    HostThread& thread = CurrentThread();
    if (zeroTimeout) return;  // a poll never waits
    if (thread.heldLockCount != 0) {
        ReportViolation(Rule::WaitWithSpinLockHeld,
                        std::string(routine) + " at IRQL " + std::to_string(thread.irql) +
                            " while holding:\n" + Kernel::Current().locks.DescribeHeld(thread));
    }
    if (thread.inCompletionRoutine) {
        ReportViolation(Rule::WaitInCompletionRoutine, std::string(routine) +
                                                           " in a completion routine, at IRQL " +
                                                           std::to_string(thread.irql) + ".");
    }
    if (thread.irql >= DISPATCH_LEVEL) {
        ReportViolation(Rule::WaitAtDispatchLevel,
                        std::string(routine) + " at IRQL " + std::to_string(thread.irql) + ".");
    }
}

// Lowering the IRQL below DISPATCH_LEVEL lets the thread be preempted while it holds a spin
// lock that other processors spin on.
void RequireNoSpinLockBelowDispatch(HostThread& thread, KIRQL newIrql, const std::string& what)
{
    if (newIrql < DISPATCH_LEVEL && thread.heldLockCount != 0) {
        ReportViolation(Rule::IrqlLoweredWithSpinLockHeld,
                        what + " lowers the IRQL to " + std::to_string(newIrql) +
                            " while holding:\n" + Kernel::Current().locks.DescribeHeld(thread));
    }
}

void RemoveHeldLock(HostThread& thread, PKSPIN_LOCK spinLock)
{
    for (int i = thread.heldLockCount - 1; i >= 0; i--) {
        if (thread.heldLocks[i] == spinLock) {
            thread.heldLocks[i] = thread.heldLocks[--thread.heldLockCount];
            return;
        }
    }
}

void AcquireSpinLock(HostThread& thread, PKSPIN_LOCK spinLock, const CallSite& site)
{
    ULONG_PTR tag = OwnerTag(thread);
    if (__atomic_load_n(spinLock, __ATOMIC_RELAXED) == tag) {
        ReportViolation(Rule::SpinLockAlreadyOwned,
                        "Spin lock " + Hex(spinLock) + " acquired again at " + site.Describe() +
                            "; the thread holds:\n" + Kernel::Current().locks.DescribeHeld(thread));
    }
    LockOrder& order = Kernel::Current().locks;
    order.BeforeAcquire(thread, spinLock, site);
    SpinWatch watch(spinLock);
    ULONG_PTR expected = 0;
    int spins = 0;
    while (!__atomic_compare_exchange_n(spinLock, &expected, tag, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
        expected = 0;
        if (HostScheduleExploring) {
            Scheduler::Instance().SpinWait(spinLock);  // steps aside until the lock is free
        } else if (++spins > 64) {
            sched_yield();
        }
        watch.Spun();
    }
    if (thread.heldLockCount == kMaxHeldSpinLocks) {
        ReportViolation(Rule::NotEmulated, "More than 8 spin locks held by one thread.");
    }
    thread.heldLocks[thread.heldLockCount++] = spinLock;
    order.Acquired(thread, spinLock, site);
}

void ReleaseSpinLock(HostThread& thread, PKSPIN_LOCK spinLock)
{
    if (thread.irql != DISPATCH_LEVEL) {
        ReportViolation(Rule::SpinLockReleasedAtWrongIrql, "Spin lock " + Hex(spinLock) +
                                                               " released at IRQL " +
                                                               std::to_string(thread.irql) + ".");
    }
    if (__atomic_load_n(spinLock, __ATOMIC_RELAXED) != OwnerTag(thread)) {
        ReportViolation(Rule::SpinLockNotOwned,
                        "Spin lock " + Hex(spinLock) + " holds " +
                            Hex(uint64_t(__atomic_load_n(spinLock, __ATOMIC_RELAXED))) + ".");
    }
    RemoveHeldLock(thread, spinLock);
    Kernel::Current().locks.Released(spinLock);
    __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE);
}

// Ends waits on a signalled object (scheduler mutex held): a notification object releases
// every waiter, a synchronization object one waiter, which consumes the signal.
void SatisfyWaiters(DISPATCHER_HEADER* header)
{
    Scheduler& scheduler = Scheduler::Instance();
    while (header->SignalState != 0 && !IsListEmpty(&header->WaitListHead)) {
        WaitBlock* wait = CONTAINING_RECORD(header->WaitListHead.Flink, WaitBlock, objectLink);
        if (IsSynchronizationType(header)) header->SignalState = 0;
        scheduler.Wake(*wait, WaitBlock::State::Satisfied);
    }
}

}  // namespace

namespace host {

void SignalDispatcherObject(DISPATCHER_HEADER* header)
{
    header->SignalState = 1;
    SatisfyWaiters(header);
}

void InitializeDispatcherHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR size, LONG state)
{
    header->Type = type;
    header->Absolute = 0;
    header->Size = size;
    header->Inserted = 0;
    header->SignalState = state;
    InitializeListHead(&header->WaitListHead);
}

bool HoldsDriverSpinLock(const HostThread& thread)
{
    for (int i = 0; i < thread.heldLockCount; i++) {
        if (!IsCancelSpinLock(thread.heldLocks[i])) return true;
    }
    return false;
}

bool HoldsSpinLock(const HostThread& thread, const KSPIN_LOCK* spinLock)
{
    for (int i = 0; i < thread.heldLockCount; i++) {
        if (thread.heldLocks[i] == spinLock) return true;
    }
    return false;
}

void AcquireSystemSpinLock(PKSPIN_LOCK spinLock, PKIRQL oldIrql, const CallSite& site)
{
    HostThread& thread = CurrentThread();
    *oldIrql = thread.irql;
    thread.irql = DISPATCH_LEVEL;
    AcquireSpinLock(thread, spinLock, site);
}

void ReleaseSystemSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql)
{
    HostThread& thread = CurrentThread();
    ReleaseSpinLock(thread, spinLock);
    RequireNoSpinLockBelowDispatch(
        thread, newIrql,
        "Releasing spin lock " + Hex(spinLock) + " to IRQL " + std::to_string(newIrql));
    thread.irql = newIrql;
}

void RequireIrqlAtMost(const char* routine, KIRQL maximum)
{
    HostThread& thread = CurrentThread();
    if (thread.irql > maximum) {
        ReportViolation(Rule::RoutineAboveMaximumIrql,
                        std::string(routine) + " called at IRQL " + std::to_string(thread.irql) +
                            "; its maximum is " + std::to_string(maximum) + ".");
    }
}

RoutineEntry::RoutineEntry(HostThread& thread, const char* role)
    : thread_(thread), role_(role), irql_(thread.irql), lockCount_(thread.heldLockCount)
{
    for (int i = 0; i < lockCount_; i++) locks_[i] = thread.heldLocks[i];
}

void RoutineEntry::CheckSpinLocks() const
{
    for (int i = 0; i < thread_.heldLockCount; i++) {
        bool heldAtEntry = false;
        for (int j = 0; j < lockCount_; j++) heldAtEntry |= locks_[j] == thread_.heldLocks[i];
        if (!heldAtEntry) {
            ReportViolation(Rule::SpinLockHeldAtReturn,
                            std::string(role_) + " returned holding:\n" +
                                Kernel::Current().locks.DescribeHeld(thread_));
        }
    }
}

void RoutineEntry::CheckIrql() const
{
    if (thread_.irql != irql_) {
        ReportViolation(Rule::IrqlNotRestored, std::string(role_) + " entered at IRQL " +
                                                   std::to_string(irql_) + " returned at IRQL " +
                                                   std::to_string(thread_.irql) + ".");
    }
}

NTSTATUS WaitOn(DISPATCHER_HEADER* header, Ticks deadline, const std::string& what)
{
    HostThread& thread = CurrentThread();
    Scheduler& scheduler = Scheduler::Instance();
    std::unique_lock<std::mutex> lock(scheduler.mutex());
    if (header != nullptr && header->SignalState != 0) {
        if (IsSynchronizationType(header)) header->SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (deadline <= scheduler.Now()) {
        lock.unlock();
        scheduler.Poll();
        return STATUS_TIMEOUT;
    }
    WaitBlock wait;
    wait.thread = &thread;
    wait.deadline = deadline;
    wait.what = what;
    if (header != nullptr) {
        wait.object = header;
        InsertTailList(&header->WaitListHead, &wait.objectLink);
    }
    WaitBlock::State state = scheduler.Block(wait, lock);
    return state == WaitBlock::State::Satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

}  // namespace host

// ---------------------------------------------------------------------------------------------
// IRQL
// ---------------------------------------------------------------------------------------------
extern "C" KIRQL KeGetCurrentIrql(void) { return CurrentThread().irql; }

extern "C" KIRQL KfRaiseIrql(KIRQL newIrql)
{
    HOST_PREEMPTION_POINT("KeRaiseIrql");
    HostThread& thread = CurrentThread();
    KIRQL old = thread.irql;
    if (newIrql < old) {
        ReportViolation(Rule::IrqlRaisedBelowCurrent, "KeRaiseIrql(" + std::to_string(newIrql) +
                                                          ") at IRQL " + std::to_string(old) + ".");
    }
    thread.irql = newIrql;
    return old;
}

extern "C" VOID KeLowerIrql(KIRQL newIrql)
{
    HOST_PREEMPTION_POINT("KeLowerIrql");
    HostThread& thread = CurrentThread();
    if (newIrql > thread.irql) {
        ReportViolation(Rule::IrqlLoweredAboveCurrent, "KeLowerIrql(" + std::to_string(newIrql) +
                                                           ") at IRQL " +
                                                           std::to_string(thread.irql) + ".");
    }
    RequireNoSpinLockBelowDispatch(thread, newIrql, "KeLowerIrql");
    thread.irql = newIrql;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

extern "C" VOID HostPagedCodeCheck(const char* file, int line, const char* function)
{
    HostThread& thread = CurrentThread();
    if (thread.irql > APC_LEVEL) {
        ReportViolation(Rule::PagedCodeAtDispatchLevel, std::string(function) + " (" + file + ":" +
                                                            std::to_string(line) + ") at IRQL " +
                                                            std::to_string(thread.irql) + ".");
    }
}

extern "C" VOID HostAssertionFailed(const char* expression, const char* file, int line)
{
    ReportViolation(Rule::AssertionFailed,
                    std::string(expression) + " at " + file + ":" + std::to_string(line) + ".");
}

// ---------------------------------------------------------------------------------------------
// Spin locks
// ---------------------------------------------------------------------------------------------
#undef KeAcquireSpinLockRaiseToDpc
#undef KeAcquireSpinLockAtDpcLevel

extern "C" KIRQL HostAcquireSpinLockRaiseToDpcAt(PKSPIN_LOCK spinLock, const char* file, int line,
                                                 const char* function)
{
    HOST_PREEMPTION_POINT("KeAcquireSpinLockRaiseToDpc");
    HostThread& thread = CurrentThread();
    KIRQL old = thread.irql;
    if (old > DISPATCH_LEVEL) {
        ReportViolation(Rule::IrqlRaisedBelowCurrent,
                        "KeAcquireSpinLockRaiseToDpc at IRQL " + std::to_string(old) + ".");
    }
    thread.irql = DISPATCH_LEVEL;
    AcquireSpinLock(thread, spinLock, CallSite{file, line, function});
    return old;
}

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock)
{
    return HostAcquireSpinLockRaiseToDpcAt(spinLock, "", 0, "KeAcquireSpinLockRaiseToDpc");
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql)
{
    HostThread& thread = CurrentThread();
    ReleaseSpinLock(thread, spinLock);
    if (newIrql > DISPATCH_LEVEL) {
        ReportViolation(Rule::IrqlLoweredAboveCurrent,
                        "KeReleaseSpinLock to IRQL " + std::to_string(newIrql) + ".");
    }
    RequireNoSpinLockBelowDispatch(thread, newIrql, "KeReleaseSpinLock(" + Hex(spinLock) + ")");
    thread.irql = newIrql;
    HOST_PREEMPTION_POINT("KeReleaseSpinLock");
}

extern "C" VOID HostAcquireSpinLockAtDpcLevelAt(PKSPIN_LOCK spinLock, const char* file, int line,
                                                const char* function)
{
    HOST_PREEMPTION_POINT("KeAcquireSpinLockAtDpcLevel");
    HostThread& thread = CurrentThread();
    CallSite site{file, line, function};
    if (thread.irql < DISPATCH_LEVEL) {
        ReportViolation(Rule::SpinLockAcquiredBelowDispatchLevel,
                        "KeAcquireSpinLockAtDpcLevel(" + Hex(spinLock) + ") at IRQL " +
                            std::to_string(thread.irql) + " by " + site.Describe() + ".");
    }
    AcquireSpinLock(thread, spinLock, site);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock)
{
    HostAcquireSpinLockAtDpcLevelAt(spinLock, "", 0, "KeAcquireSpinLockAtDpcLevel");
}

// Initialising a lock forgets its ordering history: the memory may have held another lock.
extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock)
{
    *spinLock = 0;
    Kernel::Current().locks.Forget(spinLock, sizeof(KSPIN_LOCK));
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock)
{
    ReleaseSpinLock(CurrentThread(), spinLock);
    HOST_PREEMPTION_POINT("KeReleaseSpinLockFromDpcLevel");
}

// ---------------------------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------------------------
extern "C" VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    InitializeDispatcherHeader(
        &event->Header,
        type == NotificationEvent ? kEventNotificationObject : kEventSynchronizationObject,
        sizeof(KEVENT) / sizeof(LONG), state ? 1 : 0);
}

extern "C" LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait)
{
    HOST_PREEMPTION_POINT("KeSetEvent");
    (void)increment;
    if (wait) ReportViolation(Rule::NotEmulated, "KeSetEvent with Wait = TRUE.");
    RequireIrqlAtMost("KeSetEvent", DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    RequireInitialized(&event->Header, "KeSetEvent");
    LONG previous = event->Header.SignalState;
    SignalDispatcherObject(&event->Header);
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT event)
{
    HOST_PREEMPTION_POINT("KeClearEvent");
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    RequireInitialized(&event->Header, "KeClearEvent");
    event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT event)
{
    HOST_PREEMPTION_POINT("KeResetEvent");
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    RequireInitialized(&event->Header, "KeResetEvent");
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT event)
{
    std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
    RequireInitialized(&event->Header, "KeReadStateEvent");
    return event->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------------------------
extern "C" NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason,
                                          KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                          PLARGE_INTEGER timeout)
{
    HOST_PREEMPTION_POINT("KeWaitForSingleObject");
    (void)waitReason;
    (void)waitMode;
    if (alertable) ReportViolation(Rule::NotEmulated, "Alertable waits.");
    bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
    RequireWaitAllowed("KeWaitForSingleObject", zeroTimeout);
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    {
        std::lock_guard<std::mutex> guard(Scheduler::Instance().mutex());
        RequireInitialized(header, "KeWaitForSingleObject");
    }
    Ticks deadline = kForever;
    if (timeout != nullptr) deadline = Scheduler::Instance().DeadlineFrom(timeout->QuadPart);
    if (zeroTimeout) deadline = 0;
    return WaitOn(header, deadline, "KeWaitForSingleObject(" + Hex(object) + ")");
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                           PLARGE_INTEGER interval)
{
    (void)waitMode;
    if (alertable) ReportViolation(Rule::NotEmulated, "Alertable delays.");
    RequireWaitAllowed("KeDelayExecutionThread", false);
    Ticks deadline = Scheduler::Instance().DeadlineFrom(interval->QuadPart);
    if (interval->QuadPart == 0) {
        Scheduler::Instance().Poll();
        sched_yield();
        return STATUS_SUCCESS;
    }
    WaitOn(nullptr, deadline, "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}
