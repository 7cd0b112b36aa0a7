// Small drivers for the host tests: a test driver whose dispatch routines are set per test, a
// two-driver device stack, a device-control request sent the way a kernel-mode caller sends
// one, and a gate that holds the DPC thread.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "host/host.h"

namespace hosttest {

using DispatchHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Every major function of a test driver: runs the handler its device extension points to, or
// completes the request with STATUS_SUCCESS when the test set none.
inline NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* handler = device->DeviceExtension != nullptr
                        ? *static_cast<DispatchHandler**>(device->DeviceExtension)
                        : nullptr;
    if (handler != nullptr && *handler) return (*handler)(device, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

inline VOID TestUnload(PDRIVER_OBJECT) {}

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction) routine = TestDispatch;
    driver->DriverUnload = TestUnload;
    return STATUS_SUCCESS;
}

inline PDRIVER_OBJECT LoadTestDriver(host::Host& host, const std::string& name,
                                     PDRIVER_INITIALIZE entry = TestDriverEntry)
{
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, host.LoadDriver(entry, name, &driver)) << "loading " << name;
    return driver;
}

// Runs `call` as code of `driver`, as that driver's DPC, worker or dispatch routine would.
template <typename Call>
void RunAs(PDRIVER_OBJECT driver, Call&& call)
{
    host::DriverContext context(driver);
    call();
}

// Two test drivers and an unnamed device of each: `upper` attached over `lower`. Tearing
// down unloads both, so the verifier reports whatever a test left behind.
class DeviceStack {
public:
    DeviceStack()
    {
        lowerDriver = LoadTestDriver(host, "lowerdrv");
        upperDriver = LoadTestDriver(host, "upperdrv");
        lower = CreateDevice(lowerDriver, &onLower);
        upper = CreateDevice(upperDriver, &onUpper);
        attachedTo = IoAttachDeviceToDeviceStack(upper, lower);
    }
    ~DeviceStack()
    {
        IoDetachDevice(lower);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
        host.UnloadDriver(upperDriver);
        host.UnloadDriver(lowerDriver);
    }
    DeviceStack(const DeviceStack&) = delete;
    DeviceStack& operator=(const DeviceStack&) = delete;

    // Completes an IRP that the lower driver holds, as the lower driver's code.
    void CompleteInLower(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
    {
        RunAs(lowerDriver, [&] {
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = information;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
    }

    host::Host host;
    DispatchHandler onLower;
    DispatchHandler onUpper;
    PDRIVER_OBJECT lowerDriver = nullptr;
    PDRIVER_OBJECT upperDriver = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    PDEVICE_OBJECT attachedTo = nullptr;

private:
    static PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, DispatchHandler* handler)
    {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(handler), nullptr,
                                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        *static_cast<DispatchHandler**>(device->DeviceExtension) = handler;
        device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
        return device;
    }
};

// A dispatch routine that pends every request and hands it to the test.
inline DispatchHandler PendInto(PIRP* parked)
{
    return [parked](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        *parked = irp;
        return STATUS_PENDING;
    };
}

constexpr ULONG kBufferedIoctl =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherIoctl =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
// A status no driver sets: shows whether the I/O manager filled the caller's status block.
constexpr NTSTATUS kUnfilledStatus = NTSTATUS(0xDEADBEEF);

inline LARGE_INTEGER RelativeMs(int64_t ms)
{
    LARGE_INTEGER time;
    time.QuadPart = -ms * host::kTicksPerMillisecond;
    return time;
}

inline NTSTATUS WaitMs(PVOID object, int64_t ms)
{
    LARGE_INTEGER timeout = RelativeMs(ms);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

// A device-control request built for a kernel-mode caller with its own event and status block.
struct IoctlRequest {
    IoctlRequest(PDEVICE_OBJECT target, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                 ULONG outputLength, BOOLEAN internal = FALSE)
        : device(target)
    {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        iosb.Status = kUnfilledStatus;
        iosb.Information = 0;
        irp = IoBuildDeviceIoControlRequest(code, target, input, inputLength, output, outputLength,
                                            internal, &event, &iosb);
    }
    NTSTATUS Send() { return IoCallDriver(device, irp); }
    NTSTATUS Wait() { return WaitMs(&event, 60000); }

    PDEVICE_OBJECT device;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PIRP irp;
};

// A device set-power request to D3, built for a kernel-mode caller and sent with PoCallDriver
// as the power manager sends it.
struct SetPowerRequest : IoctlRequest {
    explicit SetPowerRequest(PDEVICE_OBJECT target)
        : IoctlRequest(target, kBufferedIoctl, nullptr, 0, nullptr, 0)
    {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = IRP_MN_SET_POWER;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = PowerDeviceD3;
    }
    NTSTATUS Send() { return PoCallDriver(device, irp); }
};

// Sends a buffered device-control request without data; the request stays alive until the
// next call, for drivers that complete it later.
inline void SendIoctl(PDEVICE_OBJECT device)
{
    static std::unique_ptr<IoctlRequest> request;
    request = std::make_unique<IoctlRequest>(device, kBufferedIoctl, nullptr, 0, nullptr, 0);
    request->Send();
}

// Holds the DPC thread: while the gate is closed, a blocker DPC at the head of the DPC queue
// spins on the gate's spin lock, so DPCs queued behind it stay queued. Closing raises the
// calling thread to DISPATCH_LEVEL; opening lowers it and waits until the blocker has passed.
class DpcGate {
public:
    DpcGate()
    {
        KeInitializeSpinLock(&lock_);
        KeInitializeEvent(&passed_, NotificationEvent, FALSE);
        KeInitializeDpc(&blocker_, Blocker, this);
    }
    void Close()
    {
        oldIrql_ = KeAcquireSpinLockRaiseToDpc(&lock_);
        KeInsertQueueDpc(&blocker_, nullptr, nullptr);
    }
    void Open()
    {
        KeReleaseSpinLock(&lock_, oldIrql_);
        KeWaitForSingleObject(&passed_, Executive, KernelMode, FALSE, nullptr);
    }

private:
    static VOID Blocker(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* gate = static_cast<DpcGate*>(context);
        KeAcquireSpinLockAtDpcLevel(&gate->lock_);
        KeReleaseSpinLockFromDpcLevel(&gate->lock_);
        KeSetEvent(&gate->passed_, IO_NO_INCREMENT, FALSE);
    }

    KSPIN_LOCK lock_;
    KDPC blocker_;
    KEVENT passed_;
    KIRQL oldIrql_ = PASSIVE_LEVEL;
};

}  // namespace hosttest
