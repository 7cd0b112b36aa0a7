// A named device of a small test driver, opened through its DOS name by the host's application
// side: "\Device\TestPort0" with the link "\DosDevices\TEST0". Its dispatch handler is set per
// test; without one every request completes with STATUS_SUCCESS. Tearing down deletes the link
// and the device and unloads the driver, so the verifier reports any request left behind.
#pragma once

#include <vector>

#include "support/test_driver.h"

namespace hosttest {

class TestPort {
public:
    // What the driver saw of one request.
    struct Seen {
        UCHAR major = 0;
        PFILE_OBJECT file = nullptr;
        KIRQL irql = HIGH_LEVEL;
        KPROCESSOR_MODE mode = KernelMode;
        ULONG flags = 0;
    };

    explicit TestPort(ULONG deviceFlags = DO_BUFFERED_IO)
    {
        driver = LoadTestDriver(host, "portdrv");
        record_ = [this](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            seen.push_back(Seen{stack->MajorFunction, stack->FileObject, KeGetCurrentIrql(),
                                irp->RequestorMode, irp->Flags});
            return TestDispatch(device, irp, onRequest);
        };
        RunAs(driver, [&] {
            UNICODE_STRING name, link;
            RtlInitUnicodeString(&name, u"\\Device\\TestPort0");
            RtlInitUnicodeString(&link, u"\\DosDevices\\TEST0");
            EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(DispatchHandler*), &name,
                                                     FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device));
            *static_cast<DispatchHandler**>(device->DeviceExtension) = &record_;
            device->Flags |= deviceFlags;
            device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
            EXPECT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &name));
        });
    }
    ~TestPort()
    {
        RunAs(driver, [&] {
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, u"\\DosDevices\\TEST0");
            IoDeleteSymbolicLink(&link);
            IoDeleteDevice(device);
        });
        host.UnloadDriver(driver);
    }
    TestPort(const TestPort&) = delete;
    TestPort& operator=(const TestPort&) = delete;

    // The majors the driver saw, in order.
    std::vector<UCHAR> Majors() const
    {
        std::vector<UCHAR> majors;
        for (const Seen& request : seen) majors.push_back(request.major);
        return majors;
    }

    host::Host host;
    host::Application& app = host.app();
    DispatchHandler onRequest;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::vector<Seen> seen;

private:
    static NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp, DispatchHandler& handler)
    {
        if (handler) return handler(device, irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    DispatchHandler record_;
};

}  // namespace hosttest
