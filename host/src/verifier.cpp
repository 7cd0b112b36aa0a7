// The host verifier's reports (see verifier.h).
#include "verifier.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "scheduler.h"

namespace host {

namespace {

struct RuleInfo {
    const char* name;
    const char* meaning;
};

const RuleInfo& Info(Rule rule)
{
    static const RuleInfo kRules[] = {
        {"IRQL_WAIT_AT_DISPATCH_LEVEL",
         "A wait with a non-zero or no timeout, or a delay, at DISPATCH_LEVEL or above "
         "(bug check IRQL_NOT_LESS_OR_EQUAL)."},
        {"IRQL_PAGED_POOL_AT_DISPATCH_LEVEL",
         "Paged pool allocated above APC_LEVEL (Driver Verifier IRQL checking)."},
        {"IRQL_PAGED_CODE_AT_DISPATCH_LEVEL",
         "Pageable code ran at DISPATCH_LEVEL or above (PAGED_CODE assertion)."},
        {"SPIN_LOCK_RELEASED_AT_WRONG_IRQL",
         "A spin lock was released while the IRQL was not DISPATCH_LEVEL "
         "(Driver Verifier IRQL checking)."},
        {"SPIN_LOCK_NOT_OWNED",
         "A spin lock was released by a thread that does not hold it (bug check "
         "SPIN_LOCK_NOT_OWNED)."},
        {"SPIN_LOCK_ALREADY_OWNED",
         "A thread acquired a spin lock it already holds (bug check SPIN_LOCK_ALREADY_OWNED)."},
        {"IRQL_CALL_DRIVER_ABOVE_DISPATCH_LEVEL",
         "IofCallDriver was called above DISPATCH_LEVEL (Driver Verifier I/O verification)."},
        {"IRQL_NOT_RESTORED",
         "A dispatch, completion, cancel, DPC or work-item routine returned at another IRQL "
         "than it was entered at (bug check IRQL_UNEXPECTED_VALUE)."},
        {"IRQL_RAISED_BELOW_CURRENT",
         "KeRaiseIrql was asked for an IRQL below the current one (bug check "
         "IRQL_NOT_GREATER_OR_EQUAL)."},
        {"IRQL_LOWERED_ABOVE_CURRENT",
         "KeLowerIrql was asked for an IRQL above the current one (bug check "
         "IRQL_NOT_LESS_OR_EQUAL)."},
        {"IRQL_ROUTINE_ABOVE_MAXIMUM",
         "A kernel routine was called above the highest IRQL its documentation allows "
         "(Driver Verifier IRQL checking)."},
        {"IRQL_PAGED_POOL_FREED_AT_DISPATCH_LEVEL",
         "Paged pool was freed above APC_LEVEL (Driver Verifier IRQL checking)."},
        {"SPIN_LOCK_ACQUIRED_BELOW_DISPATCH_LEVEL",
         "KeAcquireSpinLockAtDpcLevel was called below DISPATCH_LEVEL (Driver Verifier IRQL "
         "checking)."},
        {"IRQL_LOWERED_WITH_SPIN_LOCK_HELD",
         "The IRQL was lowered below DISPATCH_LEVEL while a spin lock is still held (Driver "
         "Verifier IRQL checking)."},
        {"SPIN_LOCK_HELD_AT_RETURN",
         "A dispatch, completion, cancel, DPC or work-item routine returned still holding a "
         "spin lock it acquired."},
        {"SPIN_LOCK_HELD_DURING_WAIT",
         "A thread waited or delayed while holding a spin lock (bug check "
         "IRQL_NOT_LESS_OR_EQUAL)."},
        {"SPIN_LOCK_ORDER_DEADLOCK",
         "Spin locks were acquired in orders that form a cycle: threads taking them at the "
         "same time deadlock (Driver Verifier deadlock detection, bug check "
         "DRIVER_VERIFIER_DETECTED_VIOLATION)."},
        {"SPIN_LOCK_HANG",
         "A thread spun on a spin lock for more than a second without its holder releasing it "
         "(bug check DPC_WATCHDOG_VIOLATION)."},
        {"MULTIPLE_IRP_COMPLETE_REQUESTS",
         "An IRP was completed by a driver that had already completed it (bug check "
         "MULTIPLE_IRP_COMPLETE_REQUESTS)."},
        {"IRP_COMPLETED_WITH_PENDING_STATUS",
         "An IRP was completed with STATUS_PENDING in its status block (Driver Verifier I/O "
         "verification)."},
        {"IRP_COMPLETED_WITH_CANCEL_ROUTINE",
         "An IRP was completed while its cancel routine was still set (bug check "
         "DRIVER_VERIFIER_IOMANAGER_VIOLATION)."},
        {"IRP_PASSED_DOWN_WITH_CANCEL_ROUTINE",
         "An IRP was passed to a lower driver while a cancel routine was set (Driver Verifier "
         "I/O verification)."},
        {"IRP_NOT_HELD_BY_CALLER",
         "A driver completed or sent an IRP that it does not hold: a lower driver owns it, or "
         "it was never sent (Driver Verifier I/O verification)."},
        {"IRP_FREED_WHILE_HELD",
         "An IRP was freed while another driver holds it (Driver Verifier I/O verification)."},
        {"IRP_FREED_TWICE",
         "An IRP was freed that is already free, or that the I/O manager frees itself."},
        {"IRP_FREED_WITH_CANCEL_ROUTINE",
         "An IRP was freed while its cancel routine was still set (Driver Verifier I/O "
         "verification)."},
        {"IRP_PENDING_NOT_MARKED",
         "A dispatch routine returned STATUS_PENDING for an IRP it did not mark pending."},
        {"IRP_PENDING_RETURNED_AFTER_COMPLETION",
         "A dispatch routine passed an IRP down, saw it completed before it returned, and "
         "returned STATUS_PENDING without its stack location marked pending: the caller waits "
         "for a completion that already happened (Driver Verifier I/O verification)."},
        {"IRP_MARKED_PENDING_BUT_NOT_RETURNED",
         "A dispatch routine marked an IRP pending but returned another status than "
         "STATUS_PENDING."},
        {"IRP_DISPATCH_STATUS_MISMATCH",
         "A dispatch routine returned a status other than the one it completed the IRP with."},
        {"IRP_ABANDONED",
         "A dispatch routine returned without completing, passing down or pending the IRP."},
        {"IRP_PENDING_NOT_PROPAGATED",
         "A completion routine saw PendingReturned set and returned without marking its "
         "stack location pending."},
        {"IRP_COMPLETED_PAST_ALLOCATOR",
         "An IRP allocated with IoAllocateIrp was completed past its allocator, whose "
         "completion routine must return STATUS_MORE_PROCESSING_REQUIRED."},
        {"NO_MORE_IRP_STACK_LOCATIONS",
         "An IRP was passed down with no stack location left (bug check "
         "NO_MORE_IRP_STACK_LOCATIONS)."},
        {"IRP_LEAKED", "IRPs were allocated and never freed."},
        {"NOT_AN_IRP", "A routine was given a pointer that is not a live IRP."},
        {"IRP_INFORMATION_EXCEEDS_OUTPUT_BUFFER",
         "A buffered request was completed with IoStatus.Information larger than the caller's "
         "output buffer: the I/O manager would copy past its end (Driver Verifier I/O "
         "verification)."},
        {"COMPLETION_ROUTINE_WAITED",
         "A completion routine waited or delayed; completion routines run in an arbitrary "
         "thread, possibly at DISPATCH_LEVEL (bug check IRQL_NOT_LESS_OR_EQUAL)."},
        {"START_NEXT_POWER_IRP_NOT_AT_OWN_LOCATION",
         "PoStartNextPowerIrp was called while the IRP's current stack location was not the "
         "calling driver's own. A driver must call it while the current stack location points "
         "to itself: before IoCompleteRequest, IoSkipCurrentIrpStackLocation and PoCallDriver, "
         "or in its completion routine; in another order the power manager may deadlock "
         "(Windows Server 2003, Windows XP, Windows 2000)."},
        {"IRP_ACCESSED_AFTER_COMPLETION",
         "An IRP, one of its stack locations or the system buffer of a buffered request was "
         "read or written after the IRP was completed back to the I/O manager or freed. From "
         "that moment the IRP is no longer the driver's: it may be freed and reused before "
         "IoCompleteRequest even returns (Driver Verifier special pool, bug check "
         "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL)."},
        {"WORK_ITEM_ALREADY_QUEUED",
         "A work item was queued while it was still queued (Driver Verifier)."},
        {"TIMER_REINITIALIZED_WHILE_SET", "A timer was initialised again while it was set."},
        {"DPC_REINITIALIZED_WHILE_QUEUED", "A DPC was initialised again while it was queued."},
        {"DISPATCHER_OBJECT_NOT_INITIALIZED",
         "A kernel event or timer was used before it was initialised."},
        {"POOL_DOUBLE_FREE", "A pool block was freed twice (bug check BAD_POOL_CALLER)."},
        {"POOL_FREE_UNKNOWN_BLOCK",
         "ExFreePool was given an address that is not an allocated pool block (bug check "
         "BAD_POOL_CALLER)."},
        {"POOL_BUFFER_USE_AFTER_FREE",
         "A kernel routine was given a buffer inside a pool block that was already freed."},
        {"POOL_WRITE_AFTER_FREE",
         "Memory of a freed pool block or IRP was written while it was free (Driver Verifier "
         "special pool, bug check DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL)."},
        {"POOL_FREED_WITH_WRONG_TAG",
         "ExFreePoolWithTag was given another tag than the block was allocated with (bug check "
         "BAD_POOL_CALLER)."},
        {"INVALID_KERNEL_HANDLE",
         "A routine was given a handle that is not open (bug check INVALID_KERNEL_HANDLE)."},
        {"INVALID_UNICODE_STRING",
         "A counted string whose Length is odd, exceeds MaximumLength, or has no buffer."},
        {"DEVICE_DELETED_WHILE_ATTACHED",
         "A device object was deleted while still attached to a lower device (Driver Verifier "
         "I/O verification)."},
        {"DEVICE_DELETED_WITH_DEVICE_ATTACHED",
         "A device object was deleted while another device was attached above it, and that "
         "device never detached: the deletion never completes (the I/O manager defers it while "
         "references remain)."},
        {"DEVICE_DELETED_WITH_DEFERRED_WORK",
         "A device object was deleted while a timer, DPC or work item in its memory was still "
         "set or queued: the kernel would run it in freed memory."},
        {"DEVICE_STILL_INITIALIZING",
         "AddDevice returned without clearing DO_DEVICE_INITIALIZING on the device it attached: "
         "the I/O manager would send it no request (Driver Verifier I/O verification)."},
        {"DEVICE_DELETED_WITH_DEVICEMAP_VALUE",
         "A device object was deleted while a value under HARDWARE\\DEVICEMAP still names it: "
         "programs would list a port that is gone."},
        {"CANCEL_ROUTINE_KEPT_CANCEL_LOCK",
         "A cancel routine returned without releasing the cancel spin lock."},
        {"HANDLE_NOT_OPEN",
         "The application made a request on a handle that is closed or was never opened "
         "(STATUS_INVALID_HANDLE)."},
        {"BUFFER_SHORTER_THAN_REQUEST",
         "The application gave a buffer shorter than the length its request states."},
        {"DRIVER_UNLOADED_WITHOUT_FREEING_POOL",
         "The driver unloaded with pool allocations outstanding (Driver Verifier pool "
         "tracking)."},
        {"DRIVER_UNLOADED_WITH_DEVICE_OBJECTS",
         "The driver unloaded while device objects it created still exist."},
        {"DRIVER_UNLOADED_WITH_SYMBOLIC_LINKS",
         "The driver unloaded while symbolic links it created still exist."},
        {"DRIVER_UNLOADED_WITH_ENABLED_INTERFACES",
         "The driver unloaded while device interfaces it enabled are still enabled."},
        {"DRIVER_UNLOADED_WITH_TIMERS_SET",
         "The driver unloaded while timers are set (bug check "
         "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS)."},
        {"DRIVER_UNLOADED_WITH_DPCS_QUEUED",
         "The driver unloaded while DPCs are queued (bug check "
         "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS)."},
        {"DRIVER_UNLOADED_WITH_WORK_ITEMS",
         "The driver unloaded while work items are queued or running (bug check "
         "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS)."},
        {"DRIVER_UNLOADED_WITH_OPEN_HANDLES",
         "The driver unloaded while registry handles it opened are still open."},
        {"DRIVER_UNLOADED_WITH_DEVICEMAP_VALUES",
         "The driver unloaded while values it wrote under HARDWARE\\DEVICEMAP are still there."},
        {"HOST_HANG",
         "Every host thread is waiting and nothing is due: the system would hang here."},
        {"NOT_EMULATED", "The host does not emulate this routine, argument or request."},
        {"ASSERTION_FAILED", "An assertion in driver code failed."},
    };
    static_assert(sizeof(kRules) / sizeof(kRules[0]) == size_t(Rule::AssertionFailed) + 1,
                  "one entry per rule");
    return kRules[size_t(rule)];
}

std::string Demangle(const char* symbol)
{
    // backtrace_symbols gives "module(mangled+offset) [address]".
    std::string text(symbol);
    size_t open = text.find('(');
    size_t plus = text.find('+', open);
    if (open == std::string::npos || plus == std::string::npos || plus == open + 1) return text;
    std::string mangled = text.substr(open + 1, plus - open - 1);
    int status = 0;
    char* readable = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    if (status != 0 || readable == nullptr) return text;
    std::string result = std::string(readable) + " " + text.substr(plus);
    free(readable);
    return result;
}

}  // namespace

const char* RuleName(Rule rule) { return Info(rule).name; }
const char* RuleMeaning(Rule rule) { return Info(rule).meaning; }

VerifierCounters& Counters()
{
    static VerifierCounters counters;
    return counters;
}

std::string Hex(const void* pointer)
{
    char text[32];
    snprintf(text, sizeof(text), "%p", pointer);
    return text;
}

std::string Hex(uint64_t value)
{
    char text[32];
    snprintf(text, sizeof(text), "0x%llx", (unsigned long long)value);
    return text;
}

void ReportViolation(Rule rule, const std::string& details)
{
    HostThread* thread = CurrentThreadOrNull();
    std::ostringstream out;
    out << "\n*** HOST VERIFIER: " << RuleName(rule) << " ***\n"
        << RuleMeaning(rule) << "\n\n"
        << details << (details.empty() || details.back() == '\n' ? "" : "\n");
    if (thread == nullptr) {
        out << "\nThread: the host's watchdog\n";
    } else {
        out << "\nThread: " << thread->name << ", IRQL " << int(thread->irql) << ", running ";
        if (thread->executingDriver != nullptr) {
            const UNICODE_STRING& name = thread->executingDriver->DriverName;
            std::string narrow;
            for (USHORT i = 0; i < name.Length / 2; i++) narrow += char(name.Buffer[i]);
            out << "code of " << narrow << "\n";
        } else {
            out << "system code\n";
        }
    }
    const Scheduler& scheduler = Scheduler::Instance();
    if (scheduler.exploring()) {
        out << "Schedule: " << scheduler.DescribeSchedule()
            << ". Replay: KDX_SCHEDULE_SEED=" << scheduler.seed() << " " << ReplayCommand() << "\n";
    }
    out << "Call stack:\n";
    void* frames[48];
    int count = backtrace(frames, 48);
    char** symbols = backtrace_symbols(frames, count);
    for (int i = 1; i < count; i++) {
        out << "  " << (symbols != nullptr ? Demangle(symbols[i]) : Hex(frames[i])) << "\n";
    }
    free(symbols);
    std::string report = out.str();
    fputs(report.c_str(), stderr);
    fflush(stderr);
    abort();
}

}  // namespace host
