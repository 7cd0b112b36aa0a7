// The host kernel's internal interfaces: one class per concept, owned by one Kernel object
// per host. The C routines that the driver calls (declared in host/include) reach them through
// Kernel::Current().
#pragma once

#include <usb.h>
#include <wdm.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "lock_order.h"
#include "scheduler.h"
#include "verifier.h"

namespace host {

// ---------------------------------------------------------------------------------------------
// Dispatcher helpers (dispatcher.cpp)
// ---------------------------------------------------------------------------------------------
void InitializeDispatcherHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR size, LONG state);
void SignalDispatcherObject(DISPATCHER_HEADER* header);  // scheduler mutex held
// Waits on an object (or only on the deadline when header is null) in a host wait.
NTSTATUS WaitOn(DISPATCHER_HEADER* header, Ticks deadline, const std::string& what);
bool HoldsDriverSpinLock(const HostThread& thread);
bool HoldsSpinLock(const HostThread& thread, const KSPIN_LOCK* spinLock);
bool IsCancelSpinLock(const KSPIN_LOCK* spinLock);
void AcquireSystemSpinLock(PKSPIN_LOCK spinLock, PKIRQL oldIrql, const CallSite& site);
void ReleaseSystemSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);
// Reports a kernel routine called above the highest IRQL its documentation allows.
void RequireIrqlAtMost(const char* routine, KIRQL maximum);

// What a driver routine was entered with (IRQL and spin locks held), checked when it returns:
// it must give back every spin lock it took and restore the IRQL.
class RoutineEntry {
public:
    RoutineEntry(HostThread& thread, const char* role);
    void CheckSpinLocks() const;
    void CheckIrql() const;

private:
    HostThread& thread_;
    const char* role_;
    KIRQL irql_;
    PKSPIN_LOCK locks_[kMaxHeldSpinLocks];
    int lockCount_;
};

// Calls a driver routine as that driver's code and checks that it returns at the IRQL it was
// entered at, holding no spin lock it took.
template <typename Call>
auto CallAsDriver(PDRIVER_OBJECT driver, const char* role, Call&& call) -> decltype(call())
{
    RoutineEntry entry(CurrentThread(), role);
    DriverContext context(driver);
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        entry.CheckSpinLocks();
        entry.CheckIrql();
    } else {
        auto result = call();
        entry.CheckSpinLocks();
        entry.CheckIrql();
        return result;
    }
}

// ---------------------------------------------------------------------------------------------
// Timers, DPCs and work items (deferred.cpp)
// ---------------------------------------------------------------------------------------------
class Deferred {
public:
    Deferred();
    ~Deferred();
    void Stop();  // stops the DPC thread and the workers; idempotent

    // Timers (scheduler mutex held by the callers in deferred.cpp).
    bool SetTimer(PKTIMER timer, Ticks dueTime, LONG period, PKDPC dpc);
    bool CancelTimer(PKTIMER timer);
    bool IsTimerSet(const KTIMER* timer) const;
    size_t SetTimerCount(PDRIVER_OBJECT owner) const;

    // DPCs: driver KDPCs and the host's own deferred calls, run in order at DISPATCH_LEVEL.
    bool InsertDpc(PKDPC dpc, PVOID argument1, PVOID argument2);
    bool RemoveDpc(PKDPC dpc);
    bool IsDpcQueued(const KDPC* dpc) const;
    void QueueSystemDpc(PDRIVER_OBJECT owner, std::function<void()> routine);
    size_t QueuedDpcCount(PDRIVER_OBJECT owner) const;
    // KeFlushQueuedDpcs: returns once every DPC queued at the call has run, a DPC running at
    // the call included (later ones are not waited for). Called without the scheduler mutex.
    void FlushQueuedDpcs();

    // Work items.
    void QueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE type = DelayedWorkQueue);
    // A slow delayed work queue, for tests: an item queued on the delayed work queue from now
    // on starts no earlier than `delay` after it was queued (0, the default, starts it as soon
    // as a worker is free). Items still start in the order they were queued.
    void SetDelayedWorkStartDelay(Ticks delay);
    size_t WorkItemCount(PDRIVER_OBJECT owner) const;  // queued or running
    size_t WorkerThreadCount() const;

    // For tests: how often a timer has been set and a work item queued in this host's run.
    // Counted under the scheduler mutex, which these take.
    uint64_t TimesSet(const KTIMER* timer) const;
    uint64_t TimesQueued(const WORK_QUEUE_ITEM* item) const;

    // Set timers, queued DPCs and queued work items whose object lies in [start, start +
    // length), one a line (empty when none), for the check of a device object being deleted.
    // Scheduler mutex held.
    std::string DescribeWithin(const void* start, size_t length) const;

private:
    struct DpcEntry {
        PKDPC dpc = nullptr;            // a driver's DPC, or
        std::function<void()> routine;  // a host deferred call
        PDRIVER_OBJECT owner = nullptr;
        uint64_t sequence = 0;  // order of queueing, for FlushQueuedDpcs
    };
    struct WorkEntry {
        PWORK_QUEUE_ITEM item;
        PDRIVER_OBJECT owner;
        Ticks startsAt = 0;  // not started before this time (SetDelayedWorkStartDelay)
    };
    // One DPC thread stands for the processors' DPC queues; while exploring schedules there
    // are two, so that DPCs overlap each other.
    struct DpcProcessor {
        std::unique_ptr<HostThread> thread;
        std::thread handle;
        WaitBlock idleWait;
        bool idle = false;
        PKDPC running = nullptr;  // the driver DPC it runs now
        uint64_t runningSequence = 0;  // the sequence of the entry it runs now, 0 when none
    };
    struct Worker {
        std::unique_ptr<HostThread> thread;
        std::thread handle;
        WaitBlock idleWait;
        bool idle = false;
        PDRIVER_OBJECT runningOwner = nullptr;
        bool running = false;
    };

    void DpcThreadMain(DpcProcessor* processor);
    void WorkerMain(Worker* worker);
    void ExpireTimers();  // scheduler mutex held
    Ticks NextTimerDue() const;
    void WakeDpcThread();
    void WakeFlushWaiters();  // a DPC ran or left the queue; scheduler mutex held
    bool DpcsPendingUpTo(uint64_t sequence) const;
    // The first queued entry that may run now: a DPC object never runs twice at once.
    std::deque<DpcEntry>::iterator NextRunnableDpc();

    LIST_ENTRY timers_;                                    // set timers, ordered by due time
    std::map<const KTIMER*, PDRIVER_OBJECT> timerOwners_;  // the driver that set each timer
    std::deque<DpcEntry> dpcQueue_;
    uint64_t dpcSequence_ = 0;                // sequence of the last DPC entry queued
    std::vector<WaitBlock*> flushWaiters_;    // threads in FlushQueuedDpcs
    std::deque<WorkEntry> workQueue_;
    Ticks delayedWorkStartDelay_ = 0;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::vector<std::unique_ptr<DpcProcessor>> processors_;
    bool stopping_ = false;  // written under spawnMutex_ and the scheduler mutex
    std::mutex spawnMutex_;  // starting a worker and listing it; taken before the scheduler mutex
    // TimesSet and TimesQueued, under the scheduler mutex.
    std::map<const void*, uint64_t> timesSet_;
    std::map<const void*, uint64_t> timesQueued_;
};

// ---------------------------------------------------------------------------------------------
// Pool (pool.cpp)
// ---------------------------------------------------------------------------------------------
// Freed memory waiting in a quarantine is filled with kFreedFill and, under AddressSanitizer,
// poisoned, so that any access is caught at once. Releasing it from the quarantine unpoisons
// it and returns the offset of the first byte that is no longer the fill (SIZE_MAX if none).
constexpr unsigned char kFreedFill = 0xDD;
void QuarantineMemory(void* address, size_t size);
size_t ReleaseQuarantinedMemory(void* address, size_t size);
// The offset of the first byte of quarantined memory that is no longer the fill (SIZE_MAX if
// none), leaving it quarantined. Under AddressSanitizer any access was reported when it was
// made, and this reads nothing.
size_t QuarantinedMemoryChangedAt(const void* address, size_t size);
// Reports a write into freed memory found when it left the quarantine.
[[noreturn]] void ReportWriteAfterFree(const std::string& what, size_t offset,
                                       const CallSite& allocated, const CallSite& freed);
// The allocation and free sites of freed memory, each on a line of its own.
std::string FreedSites(const CallSite& allocated, const CallSite& freed);

// The tag ExAllocatePool gives its blocks: 'None'.
constexpr ULONG kUntaggedPoolTag = 0x656E6F4E;

class Pool {
public:
    Pool();   // under AddressSanitizer, adds the host's sites to its reports of freed memory
    ~Pool();  // checks the quarantine and releases every block still held

    // A driver allocation with its tag, or one made by a system routine on the driver's behalf
    // (no tag: the driver frees it with whichever routine it likes). Returns null when fault
    // injection fails it.
    PVOID Allocate(POOL_TYPE type, SIZE_T size, const CallSite& site,
                   std::optional<ULONG> tag = std::nullopt);
    // Frees a block; `tag` is ExFreePoolWithTag's, checked against the allocation's.
    void Free(PVOID block, const CallSite& site, std::optional<ULONG> tag = std::nullopt);

    // Fault injection: fail the Nth allocation from now (1 = the next one), or every
    // allocation whose call site's function or "file:line" is `site`.
    void FailNthAllocation(uint64_t n);
    void FailAllocationsFrom(const std::string& site);
    void ClearFaults();
    // Counts allocation attempts (for sweeps that fail each allocation in turn).
    uint64_t AllocationAttempts() const;
    bool ShouldFail(const CallSite& site);  // consumes one attempt

    struct Outstanding {
        size_t count = 0;
        size_t bytes = 0;
        std::string listing;  // one line per block with its call site
    };
    // Every block, or the blocks allocated by one driver's code (null: by code running outside
    // any driver, such as a test calling a driver routine directly).
    Outstanding OutstandingBlocks() const;
    Outstanding OutstandingBlocks(PDRIVER_OBJECT owner) const;
    uint64_t TotalAllocations() const;
    uint64_t FailedAllocations() const;

    // True when [address, address + length) lies in a block that was freed and not yet
    // reused; used to catch freed buffers handed to kernel routines.
    bool IsFreedMemory(const void* address, size_t length, std::string* site) const;
    // The freed block that holds `address`, with its sites; empty if none (or if the pool is
    // busy: called from AddressSanitizer's report, which may interrupt the pool's own code).
    std::string DescribeFreedBlockAt(const void* address) const;

private:
    struct Block {
        SIZE_T size;
        POOL_TYPE type;
        CallSite site;
        uint64_t serial;
        PDRIVER_OBJECT owner;
        std::optional<ULONG> tag;
        CallSite freeSite;
    };
    void EvictQuarantine();
    static void CheckFreed(uintptr_t address, const Block& block);
    // The quarantined block overlapping [start, start + length), or end(). mutex_ held.
    std::map<uintptr_t, Block>::const_iterator FreedBlockAt(uintptr_t start, size_t length) const;
    Outstanding Collect(bool all, PDRIVER_OBJECT owner) const;

    mutable std::mutex mutex_;
    std::unordered_map<void*, Block> live_;
    std::map<uintptr_t, Block> quarantine_;  // freed blocks by address
    std::deque<void*> quarantineOrder_;
    size_t quarantineBytes_ = 0;
    uint64_t serial_ = 0;
    uint64_t attempts_ = 0;
    uint64_t failNth_ = 0;  // attempt number to fail, 0 for none
    std::set<std::string> failSites_;
    uint64_t failed_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Object namespace, devices, links, interfaces and the registry (objects.cpp)
// ---------------------------------------------------------------------------------------------

// Host-side record of a device object, behind DEVICE_OBJECT::DeviceObjectExtension.
struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;                  // empty for an unnamed device
    PDEVICE_OBJECT attachedTo = nullptr;  // the lower device this one is attached to
    bool isPhysical = false;              // a bus driver's physical device object
    bool refusesAttach = false;           // being removed: attachment fails
    // Deleted while a device above was still attached (as a filter deletes its device in its
    // removal, before the driver above has detached): the I/O manager defers the deletion
    // while references remain, so the device goes when the device above detaches.
    bool deletePending = false;
    std::u16string instancePath;          // physical device objects: "USB\VID_...\<instance>"
    std::vector<std::pair<POWER_STATE_TYPE, POWER_STATE>> reportedPower;
    std::map<std::u16string, std::pair<ULONG, std::vector<UCHAR>>> hardwareKey;  // by upper name
    std::map<std::u16string, std::pair<ULONG, std::vector<UCHAR>>> driverKey;
    bool failRegistryOpen = false;
};

DeviceRecord* RecordOf(PDEVICE_OBJECT device);

struct InterfaceRecord {
    std::u16string linkName;
    GUID classGuid{};
    PDEVICE_OBJECT physicalDevice = nullptr;
    PDRIVER_OBJECT registeredBy = nullptr;
    bool enabled = false;
};

class ObjectManager {
public:
    ~ObjectManager();

    // Names: "\DosDevices\X" and "\??\X" are one name; comparison ignores case.
    static std::u16string CanonicalName(const std::u16string& name);

    NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, const std::u16string* name,
                          DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                          PDEVICE_OBJECT* result);
    void DeleteDevice(PDEVICE_OBJECT device);
    PDEVICE_OBJECT FindDevice(const std::u16string& name) const;  // follows symbolic links
    size_t DeviceCount(PDRIVER_OBJECT driver) const;
    bool DeviceExists(PDEVICE_OBJECT device) const;

    NTSTATUS CreateSymbolicLink(const std::u16string& link, const std::u16string& target);
    NTSTATUS DeleteSymbolicLink(const std::u16string& link);
    // Links as (link name, target name), in name order.
    std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks() const;
    size_t SymbolicLinkCount(PDRIVER_OBJECT driver) const;

    NTSTATUS RegisterInterface(PDEVICE_OBJECT physicalDevice, const GUID& classGuid,
                               const std::u16string& reference, std::u16string* linkName);
    NTSTATUS SetInterfaceState(const std::u16string& linkName, bool enable);
    // Called in the enabling thread, with no host lock held, each time an interface instance is
    // enabled: the arrival notification an application registers for. An application that opens
    // the device from here opens it at the earliest moment Windows could let it.
    void OnInterfaceArrival(std::function<void(const InterfaceRecord&)> handler);
    std::vector<InterfaceRecord> Interfaces() const;
    // The physical device object goes away, and its interface instances with it.
    void RemoveInterfacesOf(PDEVICE_OBJECT physicalDevice);
    size_t EnabledInterfaceCount(PDRIVER_OBJECT driver) const;

    // Power states reported with PoSetPowerState, in order; returns the previous state.
    POWER_STATE RecordPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
    std::vector<std::pair<POWER_STATE_TYPE, POWER_STATE>> PowerStates(PDEVICE_OBJECT device) const;

    NTSTATUS OpenRegistryKey(PDEVICE_OBJECT physicalDevice, ULONG keyType, PHANDLE handle);
    NTSTATUS SetRegistryValue(HANDLE handle, const std::u16string& name, ULONG type,
                              const void* data, ULONG size);
    NTSTATUS CloseHandle(HANDLE handle);
    size_t OpenHandleCount(PDRIVER_OBJECT driver) const;
    // A value of the key behind an open handle: STATUS_OBJECT_NAME_NOT_FOUND when absent.
    NTSTATUS QueryRegistryValue(HANDLE handle, const std::u16string& name, ULONG* type,
                                std::vector<UCHAR>* data) const;
    // Writes a value into a device's hardware key, as an installer or an administrator would.
    void WriteRegistryValue(PDEVICE_OBJECT physicalDevice, const std::u16string& name, ULONG type,
                            const std::vector<UCHAR>& data);
    bool ReadRegistryValue(PDEVICE_OBJECT physicalDevice, const std::u16string& name, ULONG* type,
                           std::vector<UCHAR>* data) const;

    // Values under \Registry\Machine\Hardware\DeviceMap (RtlWriteRegistryValue and
    // RtlDeleteRegistryValue with RTL_REGISTRY_DEVICEMAP). A volatile store: it lasts as long as
    // the Host. Paths and value names compare without case; a write creates the key.
    struct DeviceMapValue {
        std::u16string name;  // as written
        ULONG type = REG_NONE;
        std::vector<UCHAR> data;
        PDRIVER_OBJECT writer = nullptr;
    };
    void WriteDeviceMapValue(const std::u16string& path, DeviceMapValue value);
    // STATUS_OBJECT_NAME_NOT_FOUND when the key or the value is absent.
    NTSTATUS DeleteDeviceMapValue(const std::u16string& path, const std::u16string& name);
    // The values of a key, in name order (none when the key is absent).
    std::vector<DeviceMapValue> DeviceMapValues(const std::u16string& path) const;
    // Values that the driver wrote and that are still there, as "path\name" texts.
    std::vector<std::string> DeviceMapValuesOf(PDRIVER_OBJECT driver) const;

private:
    struct NameEntry {
        PDEVICE_OBJECT device = nullptr;  // a device object, or
        std::u16string linkTarget;        // a symbolic link
        std::u16string displayName;
        PDRIVER_OBJECT creator = nullptr;
    };
    struct KeyHandle {
        PDEVICE_OBJECT device;
        ULONG keyType;
        PDRIVER_OBJECT owner;
    };

    mutable std::mutex mutex_;
    std::map<std::u16string, NameEntry> names_;
    std::map<std::u16string, InterfaceRecord> interfaces_;  // by canonical link name
    std::function<void(const InterfaceRecord&)> interfaceArrival_;
    std::unordered_map<HANDLE, std::unique_ptr<KeyHandle>> handles_;
    std::set<PDEVICE_OBJECT> devices_;
    uint32_t nextInstance_ = 1;
    // DeviceMap keys by upper path, their values by upper name; under mutex_.
    std::map<std::u16string, std::map<std::u16string, DeviceMapValue>> deviceMap_;
};

// ---------------------------------------------------------------------------------------------
// IRPs and the I/O manager (io_manager.cpp)
// ---------------------------------------------------------------------------------------------
class IoManager {
public:
    IoManager();
    ~IoManager();  // releases the IRPs still allocated

    enum class IrpKind {
        Driver,    // IoAllocateIrp: its allocator frees it
        Threaded,  // built for a caller: the I/O manager finishes and frees it at completion
    };
    PIRP AllocateIrp(CCHAR stackSize, IrpKind kind, const CallSite& site, bool charged);
    // The freed IRP that holds `address`, with its sites; empty if none (or if the I/O manager
    // is busy), as Pool::DescribeFreedBlockAt.
    std::string DescribeFreedIrpAt(const void* address) const;
    void FreeIrp(PIRP irp, const CallSite& site);
    NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp);
    void CompleteRequest(PIRP irp, const CallSite& site);
    // Allocates the system buffer of a buffered request: the I/O manager's own, zeroed, kept
    // with the IRP, filled and poisoned with it when the IRP is completed or freed.
    PVOID AllocateSystemBuffer(PIRP irp, size_t length);
    BOOLEAN CancelIrp(PIRP irp);
    void StartNextPowerIrp(PIRP irp);
    int StartNextPowerIrpCount(PIRP irp) const;
    // The caller's output length of a buffered request, copied back at completion.
    void SetOutputBufferLength(PIRP irp, ULONG length);
    // Marks a request built by IoBuildDeviceIoControlRequest.
    void MarkBuiltForCaller(PIRP irp);
    // For a request built by IoBuildDeviceIoControlRequest, the documentation promises the
    // caller's status block and event only when the request pended; a caller whose request
    // completed at once has its status from IofCallDriver. By default the host fills both
    // for every request; with `on` it fills them only for a request that pended, and leaves
    // them as the caller left them otherwise.
    void SetStatusBlockOnlyWhenPending(bool on) { statusBlockOnlyWhenPending_ = on; }

    PKSPIN_LOCK CancelSpinLock() { return &cancelSpinLock_; }

    struct Outstanding {
        size_t count = 0;
        std::string listing;
    };
    Outstanding OutstandingIrps() const;
    // The IRPs a driver allocated or holds.
    Outstanding OutstandingIrps(PDRIVER_OBJECT driver) const;
    uint64_t IrpsAllocated() const { return irpsAllocated_; }

private:
    struct Tracking;
    struct DispatchFrame;
    Tracking* Track(PIRP irp, const char* routine) const;
    void FinishThreadedIrp(PIRP irp, Tracking* tracking);
    void Release(Tracking* tracking, const CallSite& site);
    void Quarantine(Tracking* tracking);
    static std::string DescribeReleased(Tracking* tracking);
    static void CheckFill(Tracking* tracking, bool release, const std::string& when);
    static void CheckAndDelete(Tracking* tracking);
    void CheckReleasedAtReturn(const DispatchFrame& frame, Tracking* tracking, NTSTATUS status);
    Outstanding Collect(bool all, PDRIVER_OBJECT driver) const;
    void CheckDispatchReturn(const DispatchFrame& frame, NTSTATUS status);

    mutable std::mutex mutex_;  // guards IRP tracking state
    LIST_ENTRY liveIrps_;
    std::deque<Tracking*> quarantine_;
    size_t quarantineBytes_ = 0;  // the system buffers in quarantine_
    KSPIN_LOCK cancelSpinLock_ = 0;
    uint64_t irpsAllocated_ = 0;
    std::atomic<bool> statusBlockOnlyWhenPending_{false};
};

// ---------------------------------------------------------------------------------------------
// The kernel of one host
// ---------------------------------------------------------------------------------------------
class UsbBus;
class PnpManager;
class Application;

class Kernel {
public:
    // The scheduler must have been reset for the host's run (Scheduler::Reset) first.
    Kernel();
    ~Kernel();

    static Kernel& Current();
    static Kernel* CurrentOrNull();

    // Destruction order is the reverse of this list: the deferred-work threads stop first.
    LockOrder locks;
    Pool pool;
    ObjectManager objects;
    IoManager io;
    Deferred deferred;
    std::unique_ptr<UsbBus> bus;
    std::unique_ptr<PnpManager> pnp;
    std::unique_ptr<Application> app;
};

// Reads a counted string handed to a kernel routine, after checking that it is well formed
// and does not lie in freed pool.
std::u16string ReadDriverString(PCUNICODE_STRING string, const char* routine);
std::string Narrow(const std::u16string& text);
std::string DriverName(PDRIVER_OBJECT driver);  // "\Driver\x", or "the system" for null
std::u16string Widen(const std::string& text);

}  // namespace host
