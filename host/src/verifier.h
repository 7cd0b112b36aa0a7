// The host verifier: small named rules, each standing for a Driver Verifier check or a bug
// check of the real kernel. A violation prints a report that reads like a bug check (the rule,
// what it means, the objects involved, the thread, its IRQL, the code that ran, the call
// stack) and aborts the process.
#pragma once

#include <atomic>
#include <string>

namespace host {

enum class Rule {
    // IRQL
    WaitAtDispatchLevel,
    PagedPoolAtDispatchLevel,
    PagedCodeAtDispatchLevel,
    SpinLockReleasedAtWrongIrql,
    SpinLockNotOwned,
    SpinLockAlreadyOwned,
    CallDriverAboveDispatchLevel,
    IrqlNotRestored,
    IrqlRaisedBelowCurrent,
    IrqlLoweredAboveCurrent,
    RoutineAboveMaximumIrql,
    PagedPoolFreedAtDispatchLevel,
    SpinLockAcquiredBelowDispatchLevel,
    IrqlLoweredWithSpinLockHeld,
    // Spin locks
    SpinLockHeldAtReturn,
    WaitWithSpinLockHeld,
    SpinLockOrderDeadlock,
    SpinLockHang,
    // IRPs
    MultipleIrpCompleteRequests,
    IrpCompletedWithPendingStatus,
    IrpCompletedWithCancelRoutine,
    IrpPassedDownWithCancelRoutine,
    IrpNotHeldByCaller,
    IrpFreedWhileHeld,
    IrpFreedTwice,
    IrpFreedWithCancelRoutine,
    IrpPendingNotMarked,
    IrpPendingAfterCompletion,
    IrpMarkedPendingButNotReturned,
    IrpDispatchStatusMismatch,
    IrpAbandoned,
    IrpPendingNotPropagated,
    IrpCompletedPastAllocator,
    IrpNoMoreStackLocations,
    IrpLeaked,
    NotAnIrp,
    IrpInformationExceedsBuffer,
    WaitInCompletionRoutine,
    StartNextPowerIrpNotAtOwnLocation,
    IrpAccessedAfterCompletion,
    // Objects
    WorkItemAlreadyQueued,
    TimerReinitializedWhileSet,
    DpcReinitializedWhileQueued,
    DispatcherObjectNotInitialized,
    PoolDoubleFree,
    PoolFreeUnknownBlock,
    PoolBufferUseAfterFree,
    PoolWriteAfterFree,
    PoolFreedWithWrongTag,
    InvalidKernelHandle,
    InvalidUnicodeString,
    DeviceDeletedWhileAttached,
    DeviceDeletedWithDeviceAttached,
    DeviceDeletedWithDeferredWork,
    DeviceLeftInitializing,
    DeviceDeletedWithDeviceMapValue,
    CancelRoutineKeptCancelLock,
    // The application's requests
    HandleNotOpen,
    BufferShorterThanRequest,
    // At unload
    UnloadPoolLeak,
    UnloadDeviceObjectsLeft,
    UnloadSymbolicLinksLeft,
    UnloadInterfacesLeft,
    UnloadTimersLeft,
    UnloadDpcsLeft,
    UnloadWorkItemsLeft,
    UnloadRegistryHandlesLeft,
    UnloadDeviceMapValuesLeft,
    // Host
    HostHang,
    NotEmulated,
    AssertionFailed,
};

// Where driver code called a kernel routine (file, line, function), for reports.
struct CallSite {
    const char* file = "";
    int line = 0;
    const char* function = "";
    std::string Describe() const;
};

const char* RuleName(Rule rule);
const char* RuleMeaning(Rule rule);

// Prints the report and aborts.
[[noreturn]] void ReportViolation(Rule rule, const std::string& details);

// Counted findings that are not fatal.
struct VerifierCounters {
    std::atomic<uint64_t> completionsUnderSpinLock{0};
};
VerifierCounters& Counters();

// Formats a pointer the way the reports show objects.
std::string Hex(const void* pointer);
std::string Hex(uint64_t value);

}  // namespace host
