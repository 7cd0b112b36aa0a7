// Fuzz target: a device as it presents itself. The bytes are the answers the device and its
// hub give at start (which requests fail, the port's state, the bus mode), the device
// descriptor and the configuration descriptor, as raw bytes however they lie. The device is
// plugged; when its start succeeded the port is opened, written, read and closed; then it is
// pulled out and the driver unloaded, with the verifier's checks and the data checks.
//
// Input: flags (4 bytes), a schedule seed (1 byte), the device descriptor's length (1 byte; 0
// keeps a sound one) and bytes, then the configuration descriptor: the rest.
#include "fuzz/harness.h"

using namespace kdxfuzz;

namespace {

const NTSTATUS kFailures[] = {STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED,
                              STATUS_INSUFFICIENT_RESOURCES, STATUS_IO_TIMEOUT};

host::DeviceModel ModelOf(Input& input, uint32_t flags)
{
    host::DeviceModel model;
    model.vendorId = 0x1234;
    model.productId = (flags & 1) != 0 ? 0x0042 : 0x005B;
    model.asynchronous = (flags & 2) != 0;
    if (flags & 4) model.deviceDescriptorStatus = kFailures[(flags >> 16) & 3];
    if (flags & 8) {
        model.selectConfigurationStatus = kFailures[(flags >> 18) & 3];
        model.selectConfigurationUsbdStatus = USBD_STATUS_STALL_PID;
    }
    model.portStatusFails = (flags & 0x10) != 0;
    model.resetPortFails = (flags & 0x20) != 0;
    model.resetPipeFails = (flags & 0x40) != 0;
    model.capabilitiesFail = (flags & 0x80) != 0;
    model.registryKeyFails = (flags & 0x100) != 0;
    model.refusesAttach = (flags & 0x200) != 0;
    model.connected = (flags & 0x400) == 0;
    model.enabled = (flags & 0x800) == 0;
    model.configurationTransfersNothing = (flags & 0x1000) != 0;
    if (flags & 0x2000) {
        model.hardwareKeyValues.push_back(
            host::DeviceModel::RegistryValue::Dword(u"AcceptLineSettings", 1));
    }
    if (size_t length = input.U8()) model.deviceDescriptorBytes = input.Bytes(length);
    model.configurationDescriptorBytes = input.Rest();
    return model;
}

// Runs a request of the open port to its end: it may wait 50 ms, then it is cancelled.
host::IoResult Finish(host::Host& host, host::OutstandingRequest request)
{
    for (int i = 0; i < 5 && !request.Completed(); i++) host.Sleep(host::Milliseconds(10));
    request.Cancel();
    return request.Wait();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input(data, size);
    uint32_t flags = input.U32();
    host::HostOptions options;
    options.schedule.seed = input.U8();
    host::Host host(options);
    if (host.LoadDriver(DriverEntry) != STATUS_SUCCESS) Fail("DriverEntry failed");
    host.pnp().SetRemoveAfterFailedStart(true);
    host::PnpManager::Plugged plugged = host.Plug(ModelOf(input, flags));
    std::u16string link =
        plugged.startStatus == STATUS_SUCCESS ? PortLink(host, plugged.functionDevice) : u"";
    if (plugged.startStatus == STATUS_SUCCESS && link.empty()) Fail("a started port has no name");
    Ledger ledger;
    host::OpenResult opened{};
    if (!link.empty()) opened = host.app().Open(link);
    if (Tracing()) {
        fprintf(stderr, "add 0x%08X start 0x%08X open 0x%08X\n", unsigned(plugged.addStatus),
                unsigned(plugged.startStatus), unsigned(opened.status));
    }
    if (opened.status == STATUS_SUCCESS) {
        host::Application& app = host.app();
        std::vector<UCHAR> bytes = ledger.NextWrite(100);
        host::IoResult wrote = Finish(host, app.StartWrite(opened.handle, bytes));
        if (wrote.information > bytes.size()) Fail("a write reported more than it was given");
        ledger.writes.push_back({bytes, wrote.information, wrote.status == STATUS_SUCCESS});
        ledger.Offer(*plugged.device, 100);
        host::IoResult read = Finish(host, app.StartRead(opened.handle, 200));
        ledger.read = read.output;
        if (Tracing()) {
            fprintf(stderr, "write 0x%08X %zu, read 0x%08X %zu\n", unsigned(wrote.status),
                    size_t(wrote.information), unsigned(read.status), read.output.size());
        }
        if (app.Close(opened.handle) != STATUS_SUCCESS) Fail("the close failed");
        ledger.Take(*plugged.device);
        ledger.Check("the device");
    }
    EndRun(host);
    return 0;
}
