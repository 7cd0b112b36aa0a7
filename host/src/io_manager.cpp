// IRPs and the I/O manager: allocation, IofCallDriver, IofCompleteRequest with completion
// routines run bottom-up, cancellation with the global cancel spin lock, device-control
// requests built for a caller, and the power manager's request routines.
//
// Every IRP carries a host tracking record in front of it that says who holds the IRP now
// (the driver whose dispatch, completion or cancel routine last received it, or the system),
// and which dispatch routines are working on it. The I/O manager's checks are made against
// that record, under the I/O manager's mutex; driver routines run without it.
//
// The moment an IRP is completed back to the I/O manager or freed, the IRP, its stack
// locations and the system buffer of a buffered request are filled and poisoned, even while a
// dispatch routine that completed it is still running: the I/O manager keeps copies of what it
// still needs. A dispatch routine that returns after its IRP was released has the fill checked
// (a write) and its returned status compared with the fill (a read of the status).
#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "kernel.h"

using namespace host;

namespace host {

namespace {
constexpr uint64_t kLiveMagic = 0x4B44584C49525031ULL;   // "KDXLIRP1"
constexpr uint64_t kFreedMagic = 0x4B44584C46524545ULL;  // "KDXLFREE"
constexpr size_t kIrpQuarantine = 256;
constexpr size_t kIrpQuarantineBytes = 16 << 20;  // of system buffers

PIO_STACK_LOCATION StackAt(PIRP irp, int location)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

// The request's cancel routine, read as IoCancelIrp writes it: another thread may be
// cancelling the request this moment, which is legal whenever the driver cleared the routine
// before it let the request go.
PDRIVER_CANCEL CancelRoutineOf(PIRP irp)
{
    return __atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST);
}
}  // namespace

struct IoManager::DispatchFrame {
    PIRP irp = nullptr;
    int location = 0;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    UCHAR major = 0;
    UCHAR minor = 0;
    bool passedDown = false;
    bool completedHere = false;     // the routine's driver completed it at its own location
    bool completedThrough = false;  // completion has passed the routine's location
    bool markedPending = false;
    NTSTATUS completionStatus = 0;
    DispatchFrame* next = nullptr;
};

struct IoManager::Tracking {
    uint64_t magic = kLiveMagic;
    LIST_ENTRY link{};
    IrpKind kind = IrpKind::Driver;
    CallSite site;
    CallSite freeSite;
    size_t irpSize = 0;
    PDRIVER_OBJECT allocator = nullptr;
    PDRIVER_OBJECT heldBy = nullptr;
    std::vector<PDRIVER_OBJECT> completers;
    bool completed = false;  // finished by the I/O manager
    DispatchFrame* frames = nullptr;
    int activeFrames = 0;
    int startNextPowerCount = 0;
    CallSite completeSite;  // the last IofCompleteRequest made for the IRP
    // The I/O manager's system buffer of a buffered request, released with the IRP.
    void* systemBuffer = nullptr;
    size_t systemBufferSize = 0;
    ULONG outputBufferLength = 0;
    bool builtForCaller = false;  // by IoBuildDeviceIoControlRequest
    PIRP Irp() { return reinterpret_cast<PIRP>(reinterpret_cast<char*>(this) + Offset()); }
    static constexpr size_t Offset() { return (sizeof(Tracking) + 15) & ~size_t(15); }
};

IoManager::IoManager() { InitializeListHead(&liveIrps_); }

IoManager::~IoManager()
{
    while (!IsListEmpty(&liveIrps_)) {
        Tracking* tracking = CONTAINING_RECORD(RemoveHeadList(&liveIrps_), Tracking, link);
        free(tracking->systemBuffer);
        tracking->~Tracking();
        free(tracking);
    }
    for (Tracking* tracking : quarantine_) CheckAndDelete(tracking);
}

// "IRP X, which was completed (RULE)." with the sites of its allocation, last completion and
// free, each on a line of its own.
std::string IoManager::DescribeReleased(Tracking* tracking)
{
    bool completed = !tracking->completers.empty();
    std::string text = "IRP " + Hex(tracking->Irp()) + ", which was " +
                       (completed ? "completed" : "freed") + " (" +
                       RuleName(Rule::IrpAccessedAfterCompletion) + ").\n  allocated by " +
                       tracking->site.Describe();
    if (completed) text += "\n  completed by " + tracking->completeSite.Describe();
    return text + "\n  freed by " + tracking->freeSite.Describe();
}

// Reports the first byte of a released IRP or of its system buffer that no longer holds the
// fill; `when` says where it was found. With `release`, the memory leaves the quarantine.
void IoManager::CheckFill(Tracking* tracking, bool release, const std::string& when)
{
    auto check = [&](void* address, size_t size, const char* what) {
        size_t offset = release ? ReleaseQuarantinedMemory(address, size)
                                : QuarantinedMemoryChangedAt(address, size);
        if (offset == SIZE_MAX) return;
        ReportViolation(Rule::IrpAccessedAfterCompletion,
                        std::string(what) + " was written after the IRP was released (byte " +
                            std::to_string(offset) + " changed, found " + when +
                            "): " + DescribeReleased(tracking));
    };
    check(tracking->Irp(), tracking->irpSize, "The IRP");
    if (tracking->systemBuffer != nullptr) {
        check(tracking->systemBuffer, tracking->systemBufferSize, "Its system buffer");
    }
}

// An IRP leaves the quarantine: its body, stack locations and system buffer must still hold
// the fill.
void IoManager::CheckAndDelete(Tracking* tracking)
{
    CheckFill(tracking, true, "when it left the quarantine");
    free(tracking->systemBuffer);
    tracking->~Tracking();
    free(tracking);
}

std::string IoManager::DescribeFreedIrpAt(const void* address) const
{
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return "";
    const char* byte = static_cast<const char*>(address);
    auto within = [byte](const void* start, size_t size) {
        return byte >= static_cast<const char*>(start) &&
               byte < static_cast<const char*>(start) + size;
    };
    for (Tracking* tracking : quarantine_) {
        if (within(tracking->Irp(), tracking->irpSize)) return DescribeReleased(tracking);
        if (tracking->systemBuffer != nullptr &&
            within(tracking->systemBuffer, tracking->systemBufferSize)) {
            return "the system buffer of " + DescribeReleased(tracking);
        }
    }
    return "";
}

IoManager::Tracking* IoManager::Track(PIRP irp, const char* routine) const
{
    if (irp == nullptr) ReportViolation(Rule::NotAnIrp, std::string(routine) + " was given NULL.");
    auto* tracking = reinterpret_cast<Tracking*>(reinterpret_cast<char*>(irp) - Tracking::Offset());
    if (tracking->magic == kFreedMagic) {
        Rule rule = Rule::NotAnIrp;
        if (std::string(routine) == "IofCompleteRequest") rule = Rule::MultipleIrpCompleteRequests;
        if (std::string(routine) == "IoFreeIrp") rule = Rule::IrpFreedTwice;
        ReportViolation(rule, std::string(routine) + " was given IRP " + Hex(irp) +
                                  ", which was already freed by " + tracking->freeSite.Describe() +
                                  " (allocated by " + tracking->site.Describe() + ").");
    }
    if (tracking->magic != kLiveMagic) {
        ReportViolation(Rule::NotAnIrp, std::string(routine) + " was given " + Hex(irp) + ".");
    }
    return tracking;
}

PIRP IoManager::AllocateIrp(CCHAR stackSize, IrpKind kind, const CallSite& site, bool charged)
{
    if (stackSize < 1) ReportViolation(Rule::NotEmulated, "An IRP without stack locations.");
    if (charged && Kernel::Current().pool.ShouldFail(site)) return nullptr;
    size_t irpSize = IoSizeOfIrp(stackSize);
    void* memory = calloc(1, Tracking::Offset() + irpSize);
    if (memory == nullptr) return nullptr;
    auto* tracking = new (memory) Tracking();
    tracking->kind = kind;
    tracking->site = site;
    tracking->irpSize = irpSize;
    tracking->allocator = CurrentThread().executingDriver;
    tracking->heldBy = tracking->allocator;

    PIRP irp = tracking->Irp();
    irp->Type = 6;
    irp->Size = USHORT(irpSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = CHAR(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackAt(irp, stackSize + 1);
    InitializeListHead(&irp->ThreadListHead);

    std::lock_guard<std::mutex> guard(mutex_);
    InsertTailList(&liveIrps_, &tracking->link);
    irpsAllocated_++;
    return irp;
}

// The IRP is the driver's no more: it is quarantined at once, also while a dispatch routine
// that completed it is still running. Called with mutex_ held.
void IoManager::Release(Tracking* tracking, const CallSite& site)
{
    RemoveEntryList(&tracking->link);
    tracking->magic = kFreedMagic;
    tracking->freeSite = site;
    // A dispatch routine whose location completion did not reach keeps what it marked.
    for (DispatchFrame* frame = tracking->frames; frame != nullptr; frame = frame->next) {
        if (frame->completedThrough) continue;
        PIRP irp = tracking->Irp();
        frame->markedPending = (StackAt(irp, frame->location)->Control & SL_PENDING_RETURNED) != 0;
        frame->completedThrough = true;
    }
    Quarantine(tracking);
}

// Keeps freed IRPs for a while, so that a late completion or free is reported instead of
// touching reused memory: the tracking record stays readable, the IRP itself and its system
// buffer are filled and poisoned. An IRP a dispatch routine still runs for stays until it
// returns. Called with mutex_ held.
void IoManager::Quarantine(Tracking* tracking)
{
    QuarantineMemory(tracking->Irp(), tracking->irpSize);
    if (tracking->systemBuffer != nullptr) {
        QuarantineMemory(tracking->systemBuffer, tracking->systemBufferSize);
    }
    quarantine_.push_back(tracking);
    quarantineBytes_ += tracking->systemBufferSize;
    while (quarantine_.size() > kIrpQuarantine || quarantineBytes_ > kIrpQuarantineBytes) {
        auto idle = std::find_if(quarantine_.begin(), quarantine_.end(),
                                 [](Tracking* held) { return held->activeFrames == 0; });
        if (idle == quarantine_.end()) break;
        Tracking* oldest = *idle;
        quarantine_.erase(idle);
        quarantineBytes_ -= oldest->systemBufferSize;
        CheckAndDelete(oldest);
    }
}

PVOID IoManager::AllocateSystemBuffer(PIRP irp, size_t length)
{
    Tracking* tracking = Track(irp, "AllocateSystemBuffer");
    void* buffer = calloc(1, length == 0 ? 1 : length);
    if (buffer == nullptr) ReportViolation(Rule::NotEmulated, "Out of memory for a buffer.");
    std::lock_guard<std::mutex> guard(mutex_);
    free(tracking->systemBuffer);
    tracking->systemBuffer = buffer;
    tracking->systemBufferSize = length;
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return buffer;
}

void IoManager::FreeIrp(PIRP irp, const CallSite& site)
{
    Tracking* tracking = Track(irp, "IoFreeIrp");
    PDRIVER_OBJECT caller = CurrentThread().executingDriver;
    std::lock_guard<std::mutex> guard(mutex_);
    if (tracking->kind == IrpKind::Threaded) {
        ReportViolation(Rule::IrpFreedTwice, "IoFreeIrp was given IRP " + Hex(irp) + ", built by " +
                                                 tracking->site.Describe() +
                                                 "; the I/O manager frees it when it completes.");
    }
    if (tracking->heldBy != caller) {
        ReportViolation(Rule::IrpFreedWhileHeld, "IRP " + Hex(irp) + " (allocated by " +
                                                     tracking->site.Describe() + ") was freed by " +
                                                     DriverName(caller) + " while " +
                                                     DriverName(tracking->heldBy) + " holds it.");
    }
    if (PDRIVER_CANCEL routine = CancelRoutineOf(irp)) {
        ReportViolation(Rule::IrpFreedWithCancelRoutine,
                        "IRP " + Hex(irp) + " (allocated by " + tracking->site.Describe() +
                            ") was freed by " + DriverName(caller) + " with cancel routine " +
                            Hex(reinterpret_cast<void*>(routine)) + ".");
    }
    Release(tracking, site);
}

NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    HostThread& thread = CurrentThread();
    if (thread.irql > DISPATCH_LEVEL) {
        ReportViolation(Rule::CallDriverAboveDispatchLevel,
                        "IofCallDriver at IRQL " + std::to_string(thread.irql) + ".");
    }
    Tracking* tracking = Track(irp, "IofCallDriver");
    PDRIVER_OBJECT driver = device->DriverObject;
    DispatchFrame frame;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (tracking->heldBy != thread.executingDriver) {
            ReportViolation(Rule::IrpNotHeldByCaller,
                            DriverName(thread.executingDriver) + " sent IRP " + Hex(irp) +
                                " while " + DriverName(tracking->heldBy) + " holds it.");
        }
        if (PDRIVER_CANCEL routine = CancelRoutineOf(irp)) {
            ReportViolation(Rule::IrpPassedDownWithCancelRoutine,
                            "IRP " + Hex(irp) + " sent to device " + Hex(device) +
                                " with cancel routine " + Hex(reinterpret_cast<void*>(routine)) +
                                ".");
        }
        if (irp->CurrentLocation <= 1) {
            ReportViolation(Rule::IrpNoMoreStackLocations,
                            "IRP " + Hex(irp) + " has " + std::to_string(irp->StackCount) +
                                " stack locations; device " + Hex(device) + " needs one more.");
        }
        for (DispatchFrame* outer = tracking->frames; outer != nullptr; outer = outer->next) {
            if (outer->driver == thread.executingDriver) {
                outer->passedDown = true;
                break;
            }
        }
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->DeviceObject = device;
        frame.irp = irp;
        // NOLINTNEXTLINE(bugprone-signed-char-misuse): a signed count, as Windows declares it.
        frame.location = irp->CurrentLocation;
        frame.driver = driver;
        frame.device = device;
        frame.major = stack->MajorFunction;
        frame.minor = stack->MinorFunction;
        frame.next = tracking->frames;
        tracking->frames = &frame;
        tracking->activeFrames++;
        tracking->heldBy = driver;
    }
    PDRIVER_DISPATCH routine = driver->MajorFunction[frame.major];
    NTSTATUS status =
        CallAsDriver(driver, "dispatch routine", [&] { return routine(device, irp); });
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!frame.completedThrough) {
            // The completion may be marking this location on another thread right now.
            frame.markedPending =
                (__atomic_load_n(&StackAt(irp, frame.location)->Control, __ATOMIC_RELAXED) &
                 SL_PENDING_RETURNED) != 0;
        }
        DispatchFrame** link = &tracking->frames;
        while (*link != &frame) link = &(*link)->next;
        *link = frame.next;
        // Released while the routine ran: quarantined, and kept there until this check.
        if (tracking->magic == kFreedMagic) CheckReleasedAtReturn(frame, tracking, status);
        tracking->activeFrames--;
    }
    CheckDispatchReturn(frame, status);
    return status;
}

// A dispatch routine returns for an IRP completed or freed while it ran: the IRP must still
// hold the fill, and the routine must not return the fill as its status (it read the IRP's
// status after the completion). Called with mutex_ held.
void IoManager::CheckReleasedAtReturn(const DispatchFrame& frame, Tracking* tracking,
                                      NTSTATUS status)
{
    auto routine = [&] {
        std::ostringstream text;
        text << "dispatch routine of " << DriverName(frame.driver) << " for major function 0x"
             << std::hex << int(frame.major) << " returned";
        return text.str();
    };
    uint32_t fill = 0x01010101u * kFreedFill;
    if (uint32_t(status) == fill) {
        ReportViolation(Rule::IrpAccessedAfterCompletion,
                        "The " + routine() + " " + Hex(uint64_t(fill)) +
                            ", the fill of a released IRP: it read the IRP's status after "
                            "the IRP was released: " +
                            DescribeReleased(tracking));
    }
    CheckFill(tracking, false, "when the " + routine());
}

void IoManager::CheckDispatchReturn(const DispatchFrame& frame, NTSTATUS status)
{
    // The description is built only when a rule is broken: this runs for every request.
    auto what = [&] {
        std::ostringstream text;
        text << "Dispatch routine of " << DriverName(frame.driver) << " for major function 0x"
             << std::hex << int(frame.major) << ", minor 0x" << int(frame.minor) << std::dec
             << ", device " << Hex(frame.device) << ", IRP " << Hex(frame.irp) << ", returned 0x"
             << std::hex << uint32_t(status) << std::dec;
        return text.str();
    };
    if (status == STATUS_PENDING && !frame.markedPending && !frame.passedDown) {
        ReportViolation(Rule::IrpPendingNotMarked, what() + ".");
    }
    // A routine that passed the IRP down may return the lower driver's STATUS_PENDING only
    // when its own location was marked pending; completion already went through it here.
    if (status == STATUS_PENDING && !frame.markedPending && frame.passedDown &&
        frame.completedThrough) {
        ReportViolation(Rule::IrpPendingAfterCompletion,
                        what() + " after passing it down; it was completed with " +
                            Hex(uint64_t(uint32_t(frame.completionStatus))) +
                            " before the routine returned, and its stack location is not "
                            "marked pending.");
    }
    if (frame.markedPending && status != STATUS_PENDING) {
        ReportViolation(Rule::IrpMarkedPendingButNotReturned, what() + ".");
    }
    if (frame.completedHere && !frame.markedPending && status != frame.completionStatus) {
        ReportViolation(Rule::IrpDispatchStatusMismatch,
                        what() + " after completing the IRP with " +
                            Hex(uint64_t(uint32_t(frame.completionStatus))) + ".");
    }
    if (!frame.completedHere && !frame.completedThrough && !frame.passedDown &&
        !frame.markedPending) {
        ReportViolation(Rule::IrpAbandoned, what() + ".");
    }
}

void IoManager::CompleteRequest(PIRP irp, const CallSite& site)
{
    HostThread& thread = CurrentThread();
    if (thread.irql > DISPATCH_LEVEL) {
        ReportViolation(Rule::CallDriverAboveDispatchLevel,
                        "IofCompleteRequest at IRQL " + std::to_string(thread.irql) + ".");
    }
    Tracking* tracking = Track(irp, "IofCompleteRequest");
    PDRIVER_OBJECT caller = thread.executingDriver;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto what = [&] { return "IRP " + Hex(irp) + " completed by " + DriverName(caller); };
        if (irp->IoStatus.Status == STATUS_PENDING) {
            ReportViolation(Rule::IrpCompletedWithPendingStatus, what() + ".");
        }
        if (PDRIVER_CANCEL routine = CancelRoutineOf(irp)) {
            ReportViolation(Rule::IrpCompletedWithCancelRoutine,
                            what() + " with cancel routine " +
                                Hex(reinterpret_cast<void*>(routine)) + ".");
        }
        if (tracking->heldBy != caller) {
            bool again = false;
            for (PDRIVER_OBJECT completer : tracking->completers) again |= completer == caller;
            ReportViolation(again ? Rule::MultipleIrpCompleteRequests : Rule::IrpNotHeldByCaller,
                            what() + " while " + DriverName(tracking->heldBy) + " holds it.");
        }
        if (irp->CurrentLocation > irp->StackCount) {
            ReportViolation(Rule::IrpNotHeldByCaller,
                            what() + ", but no driver has a stack location: it was never sent.");
        }
        if (HoldsDriverSpinLock(thread)) Counters().completionsUnderSpinLock++;
        tracking->completers.push_back(caller);
        tracking->completeSite = site;
        for (DispatchFrame* frame = tracking->frames; frame != nullptr; frame = frame->next) {
            if (frame->location == irp->CurrentLocation && !frame->completedThrough) {
                frame->completedHere = true;
                break;
            }
        }
    }

    for (;;) {
        PIO_COMPLETION_ROUTINE routine;
        PVOID context;
        bool invoke;
        PDEVICE_OBJECT upper;
        PDRIVER_OBJECT routineDriver;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
            for (DispatchFrame* frame = tracking->frames; frame != nullptr; frame = frame->next) {
                if (frame->location == irp->CurrentLocation && !frame->completedThrough) {
                    frame->completedThrough = true;
                    frame->markedPending = irp->PendingReturned;
                    frame->completionStatus = irp->IoStatus.Status;
                }
            }
            // The location is cleared before its routine runs, as the I/O manager does: a
            // routine that sends the IRP again sets what it needs anew, and keeps it.
            routine = stack->CompletionRoutine;
            context = stack->Context;
            UCHAR control = stack->Control;
            stack->CompletionRoutine = nullptr;
            stack->Context = nullptr;
            stack->Control = 0;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = irp->IoStatus.Status;
            invoke = routine != nullptr &&
                     ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                      (irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
            bool top = irp->CurrentLocation > irp->StackCount;
            upper = top ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            routineDriver = upper != nullptr ? upper->DriverObject : tracking->allocator;
            tracking->heldBy = routineDriver;
        }
        bool top = irp->CurrentLocation > irp->StackCount;
        if (invoke) {
            bool outerCompletion = thread.inCompletionRoutine;
            thread.inCompletionRoutine = true;
            NTSTATUS result = CallAsDriver(routineDriver, "completion routine",
                                           [&] { return routine(upper, irp, context); });
            thread.inCompletionRoutine = outerCompletion;
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
            if (irp->PendingReturned && !top &&
                (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) == 0) {
                ReportViolation(Rule::IrpPendingNotPropagated,
                                "Completion routine " + Hex(reinterpret_cast<void*>(routine)) +
                                    " of " + DriverName(routineDriver) + " for IRP " + Hex(irp) +
                                    ".");
            }
        } else if (irp->PendingReturned && !top) {
            IoMarkIrpPending(irp);
        }
        if (top) break;
    }

    if (tracking->kind == IrpKind::Threaded) {
        FinishThreadedIrp(irp, tracking);
        return;
    }
    ReportViolation(Rule::IrpCompletedPastAllocator,
                    "IRP " + Hex(irp) + " allocated by " + tracking->site.Describe() + ".");
}

// The I/O manager's last step for an IRP built for a caller: copy the output of a buffered
// request back (on success and on a warning such as STATUS_BUFFER_OVERFLOW, not on an error),
// report the status, set the caller's event and free the IRP.
void IoManager::FinishThreadedIrp(PIRP irp, Tracking* tracking)
{
    if ((irp->Flags & IRP_BUFFERED_IO) != 0) {
        if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && irp->UserBuffer != nullptr &&
            !NT_ERROR(irp->IoStatus.Status)) {
            size_t length = irp->IoStatus.Information;
            if (length > tracking->outputBufferLength) {
                PDRIVER_OBJECT completer =
                    tracking->completers.empty() ? nullptr : tracking->completers.front();
                ReportViolation(Rule::IrpInformationExceedsBuffer,
                                "IRP " + Hex(irp) + " built by " + tracking->site.Describe() +
                                    " was completed by " + DriverName(completer) + " with status " +
                                    Hex(uint64_t(uint32_t(irp->IoStatus.Status))) +
                                    " and Information " + std::to_string(length) +
                                    "; the caller's output buffer " + Hex(irp->UserBuffer) +
                                    " holds " + std::to_string(tracking->outputBufferLength) +
                                    " bytes.");
            }
            memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, length);
        }
    }
    // The status block and the event of a request that completed at once, before IofCallDriver
    // returned, may be left to the caller, who has the status from IofCallDriver.
    bool tellCaller =
        !(statusBlockOnlyWhenPending_ && tracking->builtForCaller && !irp->PendingReturned);
    if (tellCaller && irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = tellCaller ? irp->UserEvent : nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        tracking->completed = true;
        Release(tracking, CallSite{"", 0, "the I/O manager at completion"});
    }
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

BOOLEAN IoManager::CancelIrp(PIRP irp)
{
    RequireIrqlAtMost("IoCancelIrp", DISPATCH_LEVEL);
    Tracking* tracking = Track(irp, "IoCancelIrp");
    HostThread& thread = CurrentThread();
    KIRQL irql;
    AcquireSystemSpinLock(&cancelSpinLock_, &irql, CallSite{"", 0, "IoCancelIrp"});
    irp->Cancel = TRUE;
    auto routine = reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine), nullptr));
    if (routine == nullptr) {
        ReleaseSystemSpinLock(&cancelSpinLock_, irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    bool hasLocation = irp->CurrentLocation <= irp->StackCount;
    PDEVICE_OBJECT device = hasLocation ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    PDRIVER_OBJECT owner;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        owner = device != nullptr ? device->DriverObject : tracking->heldBy;
    }
    RoutineEntry entry(thread, "cancel routine");
    {
        DriverContext context(owner);
        routine(device, irp);
    }
    if (HoldsSpinLock(thread, &cancelSpinLock_)) {
        ReportViolation(Rule::CancelRoutineKeptCancelLock,
                        "Cancel routine " + Hex(reinterpret_cast<void*>(routine)) + " for IRP " +
                            Hex(irp) + ".");
    }
    entry.CheckSpinLocks();
    if (thread.irql != irql) {
        ReportViolation(Rule::IrqlNotRestored,
                        "Cancel routine " + Hex(reinterpret_cast<void*>(routine)) +
                            " returned at IRQL " + std::to_string(thread.irql) +
                            " instead of the IRP's CancelIrql " + std::to_string(irql) + ".");
    }
    return TRUE;
}

// PoStartNextPowerIrp is called while the current stack location is the caller's own: in its
// dispatch routine before it completes the IRP or hands its location on, or in its completion
// routine.
void IoManager::StartNextPowerIrp(PIRP irp)
{
    Tracking* tracking = Track(irp, "PoStartNextPowerIrp");
    PDRIVER_OBJECT caller = CurrentThread().executingDriver;
    std::lock_guard<std::mutex> guard(mutex_);
    bool hasLocation = irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
    PDEVICE_OBJECT device = hasLocation ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    if (device == nullptr || device->DriverObject != caller) {
        std::string where =
            device == nullptr ? "the IRP has no current stack location (location " +
                                    std::to_string(irp->CurrentLocation) + " of " +
                                    std::to_string(irp->StackCount) + "): it was handed on already"
                              : "its current stack location is device " + Hex(device) + "'s, of " +
                                    DriverName(device->DriverObject);
        ReportViolation(Rule::StartNextPowerIrpNotAtOwnLocation,
                        "PoStartNextPowerIrp by " + DriverName(caller) + " for IRP " + Hex(irp) +
                            ", held by " + DriverName(tracking->heldBy) + "; " + where + ".");
    }
    tracking->startNextPowerCount++;
}

int IoManager::StartNextPowerIrpCount(PIRP irp) const
{
    Tracking* tracking = Track(irp, "StartNextPowerIrpCount");
    std::lock_guard<std::mutex> guard(mutex_);
    return tracking->startNextPowerCount;
}

IoManager::Outstanding IoManager::OutstandingIrps() const { return Collect(true, nullptr); }

IoManager::Outstanding IoManager::OutstandingIrps(PDRIVER_OBJECT driver) const
{
    return Collect(false, driver);
}

IoManager::Outstanding IoManager::Collect(bool all, PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    Outstanding result;
    for (LIST_ENTRY* entry = liveIrps_.Flink; entry != &liveIrps_; entry = entry->Flink) {
        Tracking* tracking = CONTAINING_RECORD(entry, Tracking, link);
        if (!all && tracking->allocator != driver && tracking->heldBy != driver) continue;
        result.count++;
        result.listing += "  IRP " + Hex(tracking->Irp()) + " from " + tracking->site.Describe() +
                          ", held by " + DriverName(tracking->heldBy) + "\n";
    }
    return result;
}

bool IsCancelSpinLock(const KSPIN_LOCK* spinLock)
{
    Kernel* kernel = Kernel::CurrentOrNull();
    return kernel != nullptr && spinLock == kernel->io.CancelSpinLock();
}

void IoManager::SetOutputBufferLength(PIRP irp, ULONG length)
{
    Tracking* tracking = Track(irp, "SetOutputBufferLength");
    std::lock_guard<std::mutex> guard(mutex_);
    tracking->outputBufferLength = length;
}

void IoManager::MarkBuiltForCaller(PIRP irp)
{
    Tracking* tracking = Track(irp, "MarkBuiltForCaller");
    std::lock_guard<std::mutex> guard(mutex_);
    tracking->builtForCaller = true;
}

}  // namespace host

// ---------------------------------------------------------------------------------------------
// Kernel routines
// ---------------------------------------------------------------------------------------------
#undef IoAllocateIrp
#undef IoBuildDeviceIoControlRequest
#undef IoAcquireCancelSpinLock
#undef IoFreeIrp
#undef IofCompleteRequest

extern "C" PIRP HostAllocateIrpAt(CCHAR stackSize, BOOLEAN chargeQuota, const char* file, int line,
                                  const char* function)
{
    (void)chargeQuota;
    return Kernel::Current().io.AllocateIrp(stackSize, IoManager::IrpKind::Driver,
                                            CallSite{file, line, function}, true);
}

extern "C" PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota)
{
    return HostAllocateIrpAt(stackSize, chargeQuota, "", 0, "IoAllocateIrp");
}

extern "C" VOID HostFreeIrpAt(PIRP irp, const char* file, int line, const char* function)
{
    Kernel::Current().io.FreeIrp(irp, CallSite{file, line, function});
}

extern "C" VOID IoFreeIrp(PIRP irp) { HostFreeIrpAt(irp, "", 0, "IoFreeIrp"); }

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    HOST_PREEMPTION_POINT("IofCallDriver");
    return Kernel::Current().io.CallDriver(deviceObject, irp);
}

extern "C" VOID HostCompleteRequestAt(PIRP irp, CCHAR priorityBoost, const char* file, int line,
                                      const char* function)
{
    HOST_PREEMPTION_POINT("IofCompleteRequest");
    (void)priorityBoost;
    Kernel::Current().io.CompleteRequest(irp, CallSite{file, line, function});
}

extern "C" VOID IofCompleteRequest(PIRP irp, CCHAR priorityBoost)
{
    HostCompleteRequestAt(irp, priorityBoost, "", 0, "IofCompleteRequest");
}

extern "C" BOOLEAN IoCancelIrp(PIRP irp)
{
    HOST_PREEMPTION_POINT("IoCancelIrp");
    return Kernel::Current().io.CancelIrp(irp);
}

extern "C" VOID HostAcquireCancelSpinLockAt(PKIRQL irql, const char* file, int line,
                                            const char* function)
{
    HOST_PREEMPTION_POINT("IoAcquireCancelSpinLock");
    AcquireSystemSpinLock(Kernel::Current().io.CancelSpinLock(), irql,
                          CallSite{file, line, function});
}

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL irql)
{
    HostAcquireCancelSpinLockAt(irql, "", 0, "IoAcquireCancelSpinLock");
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL irql)
{
    ReleaseSystemSpinLock(Kernel::Current().io.CancelSpinLock(), irql);
    HOST_PREEMPTION_POINT("IoReleaseCancelSpinLock");
}

extern "C" PIRP HostBuildDeviceIoControlRequestAt(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                                  PVOID inputBuffer, ULONG inputBufferLength,
                                                  PVOID outputBuffer, ULONG outputBufferLength,
                                                  BOOLEAN internalDeviceIoControl, PKEVENT event,
                                                  PIO_STATUS_BLOCK ioStatusBlock, const char* file,
                                                  int line, const char* function)
{
    RequireIrqlAtMost("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
    ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        ReportViolation(Rule::NotEmulated, "Direct I/O device-control requests (MDLs).");
    }
    PIRP irp =
        Kernel::Current().io.AllocateIrp(deviceObject->StackSize, IoManager::IrpKind::Threaded,
                                         CallSite{file, line, function}, true);
    if (irp == nullptr) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    if (method == METHOD_BUFFERED) {
        ULONG length =
            inputBufferLength > outputBufferLength ? inputBufferLength : outputBufferLength;
        if (length != 0) {
            PVOID buffer = Kernel::Current().io.AllocateSystemBuffer(irp, length);
            if (inputBuffer != nullptr && inputBufferLength != 0) {
                memcpy(buffer, inputBuffer, inputBufferLength);
            }
            if (outputBuffer != nullptr) irp->Flags |= IRP_INPUT_OPERATION;
        }
        Kernel::Current().io.SetOutputBufferLength(irp, outputBufferLength);
    } else {
        next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    }
    irp->UserBuffer = outputBuffer;
    irp->UserIosb = ioStatusBlock;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;
    Kernel::Current().io.MarkBuiltForCaller(irp);
    return irp;
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER) {
        ReportViolation(Rule::NotEmulated, "PoCallDriver with a request that is not IRP_MJ_POWER.");
    }
    return Kernel::Current().io.CallDriver(deviceObject, irp);
}

extern "C" VOID PoStartNextPowerIrp(PIRP irp) { Kernel::Current().io.StartNextPowerIrp(irp); }

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type,
                                       POWER_STATE state)
{
    return Kernel::Current().objects.RecordPowerState(deviceObject, type, state);
}
