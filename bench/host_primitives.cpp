// The cost of the host's kernel primitives on one thread, in real time: the floor under every
// figure the driver benchmarks report. Each benchmark runs in a Host of its own.
//
// - an uncontended spin lock acquire and release;
// - an event set and reset with nobody waiting;
// - an IRP round trip through one device: allocate, fill in the next stack location, call a
//   tiny driver whose dispatch routine completes the IRP at once, take it back in a completion
//   routine that returns STATUS_MORE_PROCESSING_REQUIRED, free it.
#include <benchmark/benchmark.h>

#include "host/host.h"

namespace {

// ---------------------------------------------------------------------------------------------
// The tiny driver of the IRP round trip: one unnamed device whose dispatch routine completes
// every internal device-control request with success at once.
// ---------------------------------------------------------------------------------------------
PDEVICE_OBJECT g_benchDevice = nullptr;

NTSTATUS BenchDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    UNREFERENCED_PARAMETER(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS BenchDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(registryPath);
    driverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BenchDispatch;
    NTSTATUS status =
        IoCreateDevice(driverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_benchDevice);
    if (!NT_SUCCESS(status)) return status;
    g_benchDevice->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

// The sender's completion routine: the IRP is its own again, to free.
NTSTATUS BenchCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    (*static_cast<uint64_t*>(context))++;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---------------------------------------------------------------------------------------------
// Benchmarks
// ---------------------------------------------------------------------------------------------
void SpinLockAcquireRelease(benchmark::State& state)
{
    host::Host host(host::HostOptions{host::ClockMode::Real});
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&lock);
        benchmark::DoNotOptimize(oldIrql);
        KeReleaseSpinLock(&lock, oldIrql);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) state.SkipWithError("IRQL not restored");
}
BENCHMARK(SpinLockAcquireRelease);

void EventSetReset(benchmark::State& state)
{
    host::Host host(host::HostOptions{host::ClockMode::Real});
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONG previous = 0;
    for (auto _ : state) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        previous = KeResetEvent(&event);
        benchmark::DoNotOptimize(previous);
    }
    if (previous != 1) state.SkipWithError("KeResetEvent did not see the event set");
}
BENCHMARK(EventSetReset);

void IrpRoundTrip(benchmark::State& state)
{
    host::Host host(host::HostOptions{host::ClockMode::Real});
    g_benchDevice = nullptr;
    if (!NT_SUCCESS(host.LoadDriver(BenchDriverEntry, "benchdrv")) || g_benchDevice == nullptr) {
        state.SkipWithError("the bench driver did not load");
        return;
    }
    PDEVICE_OBJECT device = g_benchDevice;
    uint64_t completions = 0;
    for (auto _ : state) {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = 0;
        IoSetCompletionRoutine(irp, BenchCompletion, &completions, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(device, irp);
        benchmark::DoNotOptimize(status);
        IoFreeIrp(irp);
    }
    if (completions != uint64_t(state.iterations())) {
        state.SkipWithError("a completion routine did not run for every IRP");
    }
    IoDeleteDevice(device);
    g_benchDevice = nullptr;
    host.UnloadDriver();
    if (!host.Summary().Clean()) state.SkipWithError("the bench driver left resources behind");
}
BENCHMARK(IrpRoundTrip);

// An interlocked increment is a preemption point: in the ordinary mode it costs a load of the
// explorer's flag; while exploring schedules (virtual time, one thread at a time) it is a call
// into the scheduler that counts the step and chooses the thread to run on.
void PreemptionPoint(benchmark::State& state, bool exploring)
{
    host::HostOptions options;
    options.clock = host::ClockMode::Virtual;
    options.schedule = host::ScheduleOptions();
    options.schedule.seed = exploring ? 1 : 0;
    host::Host host(options);
    LONG counter = 0;
    for (auto _ : state) InterlockedIncrement(&counter);
    if (counter != LONG(state.iterations())) state.SkipWithError("lost an increment");
}
BENCHMARK_CAPTURE(PreemptionPoint, Ordinary, false);
BENCHMARK_CAPTURE(PreemptionPoint, Exploring, true);

}  // namespace
