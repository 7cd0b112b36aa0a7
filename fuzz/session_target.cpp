// Fuzz target: a session with one or two devices. The bytes are a schedule seed, then steps,
// each an opcode and its arguments: the program's requests (opens, closes, reads and writes of
// any size, every serial control code and any other with any buffer lengths, purges, masks and
// waits, all sent asynchronously, some cancelled, the clock moved on), the device's side (data,
// zero-length packets, OUT transfers held and released, failed transfers, the port's state) and
// the PnP and power managers' (query-remove and its cancel, stop and start, surprise removal,
// unplug and replug with the port open, device and system power). Every request is followed to
// its completion; the run ends with everything closed and pulled out, and the data checks.
#include <algorithm>
#include <memory>

#include "fuzz/harness.h"

using namespace kdxfuzz;

namespace {

const ULONG kSerialCodes[] = {
    IOCTL_SERIAL_SET_BAUD_RATE,
    IOCTL_SERIAL_SET_QUEUE_SIZE,
    IOCTL_SERIAL_SET_LINE_CONTROL,
    IOCTL_SERIAL_SET_BREAK_ON,
    IOCTL_SERIAL_SET_BREAK_OFF,
    IOCTL_SERIAL_IMMEDIATE_CHAR,
    IOCTL_SERIAL_SET_TIMEOUTS,
    IOCTL_SERIAL_GET_TIMEOUTS,
    IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,
    IOCTL_SERIAL_RESET_DEVICE,
    IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_SET_XOFF,
    IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_GET_WAIT_MASK,
    IOCTL_SERIAL_SET_WAIT_MASK,
    IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_PURGE,
    IOCTL_SERIAL_GET_BAUD_RATE,
    IOCTL_SERIAL_GET_LINE_CONTROL,
    IOCTL_SERIAL_GET_CHARS,
    IOCTL_SERIAL_SET_CHARS,
    IOCTL_SERIAL_GET_HANDFLOW,
    IOCTL_SERIAL_SET_HANDFLOW,
    IOCTL_SERIAL_GET_MODEMSTATUS,
    IOCTL_SERIAL_GET_COMMSTATUS,
    IOCTL_SERIAL_XOFF_COUNTER,
    IOCTL_SERIAL_GET_PROPERTIES,
    IOCTL_SERIAL_GET_DTRRTS,
    IOCTL_SERIAL_LSRMST_INSERT,
    IOCTL_SERIAL_CONFIG_SIZE,
    IOCTL_SERIAL_GET_COMMCONFIG,
    IOCTL_SERIAL_SET_COMMCONFIG,
    IOCTL_SERIAL_GET_STATS,
    IOCTL_SERIAL_CLEAR_STATS,
    IOCTL_SERIAL_GET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_FIFO_CONTROL,
};
const ULONG kBufferLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 12, 16, 20, 24, 28, 60, 64, 256};
const ULONG kTimeouts[] = {0, 1, 2, 10, 50, 100, 1000, 5000, MAXULONG, MAXULONG - 1};
const ULONG kSleeps[] = {0, 0, 1, 2, 5, 10, 20, 50, 100, 500, 1000, 5000, 60000};
const NTSTATUS kStatuses[] = {STATUS_UNSUCCESSFUL,         STATUS_CANCELLED,
                              STATUS_DEVICE_NOT_CONNECTED, STATUS_IO_TIMEOUT,
                              STATUS_INVALID_PARAMETER,    STATUS_INSUFFICIENT_RESOURCES,
                              STATUS_DEVICE_DATA_ERROR,    STATUS_NO_SUCH_DEVICE};
const USBD_STATUS kUsbdStatuses[] = {
    USBD_STATUS_SUCCESS,           USBD_STATUS_STALL_PID,   USBD_STATUS_DEV_NOT_RESPONDING,
    USBD_STATUS_CANCELED,          USBD_STATUS_DEVICE_GONE, USBD_STATUS_BUFFER_OVERRUN,
    USBD_STATUS_INVALID_PARAMETER, USBD_STATUS(0xC0000005)};

// One plugged device, from its plug to the end of the run.
struct Device {
    host::PnpManager::Plugged plugged;
    std::u16string link;
    Ledger ledger;
    bool stopped = false;
    bool gone = false;  // removed, surprise-removed or pulled out: the managers leave it alone
};

struct Request {
    enum Kind { Read, Write, Control } kind;
    Device* device;
    host::OutstandingRequest request;
    std::vector<UCHAR> bytes;  // a write's
    ULONG length = 0;
    bool done = false;
};

struct OpenHandle {
    host::Handle handle;
    Device* device;
};

class Session {
public:
    Session(host::Host& host, Input& input) : host_(host), app_(host.app()), input_(input) {}

    void Run()
    {
        while (!input_.Empty()) {
            Step(input_.U8());
            Collect(false);
        }
        // The end: OUT transfers let go, every request still outstanding cancelled and waited for.
        for (auto& device : devices_) {
            if (!device->plugged.device->gone()) device->plugged.device->HoldOut(false);
        }
        for (Request& request : requests_) {
            if (!request.done) request.request.Cancel();
        }
        Collect(true);
        for (OpenHandle& open : handles_) Close(open);
        handles_.clear();
        for (size_t i = 0; i < devices_.size(); i++) {
            devices_[i]->ledger.Take(*devices_[i]->plugged.device);
            devices_[i]->ledger.Check("device " + std::to_string(i));
        }
    }

private:
    void Step(uint8_t op)
    {
        int slot = op >> 7;
        if (Tracing())
            fprintf(stderr, "step %u slot %d at %lld ms\n", op & 0x1F, slot,
                    (long long)(host_.Now() / host::Milliseconds(1)));
        Device* device = slots_[slot];
        switch (op & 0x1F) {
        case 0:
            return Plug(slot);
        case 1:
            return Open(device);
        case 2:
            if (OpenHandle* open = PickHandle()) {
                Close(*open);
                handles_.erase(handles_.begin() + (open - handles_.data()));
            }
            return;
        case 3:
        case 4:
            return Transfer(op & 1 ? Request::Read : Request::Write);
        case 5:
            return Timeouts();
        case 6:
        case 7:
            return Control(input_.Pick(kSerialCodes));
        case 8: {
            // Any code; the host's program side sends buffered and neither-method requests.
            ULONG code = input_.U32();
            return Control((code & 3) == METHOD_IN_DIRECT || (code & 3) == METHOD_OUT_DIRECT
                               ? code & ~3u
                               : code);
        }
        case 9:
            return Purge(input_.U8() & 0x0F);
        case 10:
            return Control(IOCTL_SERIAL_SET_WAIT_MASK, Ulong(input_.U16() & 0x1FFF));
        case 11:
            return Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        case 12:
            if (!requests_.empty()) requests_[input_.U8() % requests_.size()].request.Cancel();
            return;
        case 13:
        case 14:
            return Sleep(input_.Pick(kSleeps));
        case 15:
            if (device != nullptr && !device->gone) {
                size_t count = input_.U8();
                device->ledger.Offer(*device->plugged.device, count & 0x80 ? count << 5 : count);
            }
            return;
        case 16:
            if (device != nullptr && !device->gone) device->plugged.device->OfferZeroLengthIn();
            return;
        case 17:
            if (device != nullptr && !device->gone)
                device->plugged.device->HoldOut(input_.U8() & 1);
            return;
        case 18:
            return FailTransfers(device);
        case 19:
            return PortState(device);
        case 20:
            return Pnp(slot, input_.U8() % 10);
        case 21:
            return Power(device, input_.U8());
        case 22:
            return Read(input_.U16());
        case 24:
            return QueryInformation(input_.U8());
        default:
            return Sleep(0);
        }
    }

    static std::vector<UCHAR> Ulong(ULONG value)
    {
        std::vector<UCHAR> bytes(sizeof(value));
        memcpy(bytes.data(), &value, sizeof(value));
        return bytes;
    }

    void Plug(int slot)
    {
        if (slots_[slot] != nullptr) return;
        uint8_t flags = input_.U8();
        const USHORT packets[] = {64, 64, 8, 512, 0, 1, 1023, 64};
        host::DeviceModel model = host::DeviceModel::SerialAdapter(
            0x1234, slot == 0 ? 0x005B : 0x0042, packets[flags & 7]);
        model.asynchronous = (flags & 8) != 0;
        if (flags & 0x10) {
            model.hardwareKeyValues.push_back(
                host::DeviceModel::RegistryValue::Dword(u"AcceptLineSettings", 1));
        }
        model.resetPipeFails = model.resetPortFails = (flags & 0x80) != 0;
        if (flags & 0x20)
            model.busSpeed = flags & 0x40 ? host::BusSpeed::High : host::BusSpeed::Full;
        auto device = std::make_unique<Device>();
        device->ledger.salt = devices_.size() + 1;
        device->plugged = host_.Plug(model);
        if (device->plugged.startStatus == STATUS_SUCCESS) {
            device->link = PortLink(host_, device->plugged.functionDevice);
            if (device->link.empty()) Fail("a started port has no name");
            slots_[slot] = device.get();
        } else {
            device->gone = true;
        }
        devices_.push_back(std::move(device));
    }

    void Open(Device* device)
    {
        if (device == nullptr || device->gone || device->stopped) return;
        host::OpenResult opened = app_.Open(device->link);
        if (opened.status == STATUS_SUCCESS) handles_.push_back({opened.handle, device});
    }

    void Close(OpenHandle& open)
    {
        NTSTATUS status = app_.Close(open.handle);
        if (status != STATUS_SUCCESS) Fail("a close failed: " + std::to_string(status));
        open.device->ledger.inDrops = true;  // the receive side may stop with the last close
    }

    OpenHandle* PickHandle()
    {
        if (handles_.empty()) return nullptr;
        return &handles_[input_.U8() % handles_.size()];
    }

    ULONG Length()
    {
        uint8_t kind = input_.U8();
        switch (kind >> 6) {
        case 0:
            return kind & 0x3F;
        case 1:
            return input_.U8() + 64u;
        case 2:
            return input_.U16() % 8192;
        default:
            return kind & 1 ? 1u << 20 : 65536;
        }
    }

    void Transfer(Request::Kind kind)
    {
        OpenHandle* open = PickHandle();
        if (open == nullptr) return;
        Request request{kind, open->device, {}, {}, Length()};
        if (kind == Request::Read) {
            request.request = app_.StartRead(open->handle, request.length);
        } else {
            request.length = std::min<ULONG>(request.length, 65536);
            request.bytes = open->device->ledger.NextWrite(request.length);
            request.request = app_.StartWrite(open->handle, request.bytes);
        }
        requests_.push_back(std::move(request));
    }

    // NtQueryInformationFile, one of the two classes a port answers or any other.
    void QueryInformation(uint8_t how)
    {
        ULONG length = input_.Pick(kBufferLengths);
        OpenHandle* open = PickHandle();
        if (open == nullptr) return;
        const FILE_INFORMATION_CLASS classes[] = {FileStandardInformation, FilePositionInformation,
                                                  FILE_INFORMATION_CLASS(how >> 2 & 31)};
        host::IoResult result = app_.QueryInformation(open->handle, classes[(how & 3) % 3], length);
        if (result.information > length) Fail("query-information reported more than its buffer");
    }

    // A read with timeouts that end it: the total timeout, or at once with what is there.
    void Read(uint16_t arguments)
    {
        SERIAL_TIMEOUTS timeouts{};
        if (arguments & 1) {
            timeouts.ReadIntervalTimeout = MAXULONG;
        } else {
            timeouts.ReadTotalTimeoutConstant = 1 + (arguments >> 8);
        }
        std::vector<UCHAR> bytes(sizeof(timeouts));
        memcpy(bytes.data(), &timeouts, sizeof(timeouts));
        Control(IOCTL_SERIAL_SET_TIMEOUTS, bytes);
        Transfer(Request::Read);
    }

    void Timeouts()
    {
        ULONG values[5];
        for (ULONG& value : values) value = input_.Pick(kTimeouts);
        std::vector<UCHAR> bytes(sizeof(values));
        memcpy(bytes.data(), values, sizeof(values));
        Control(IOCTL_SERIAL_SET_TIMEOUTS, bytes);
    }

    void Purge(ULONG flags)
    {
        if (handles_.empty()) return;
        if (flags & (SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR)) {
            for (auto& device : devices_) device->ledger.inDrops = true;
        }
        Control(IOCTL_SERIAL_PURGE, Ulong(flags));
    }

    // A device-control request; without input given, the input is the fuzzer's bytes of a
    // length from the table, and so is the output length when not given.
    void Control(ULONG code, std::optional<std::vector<UCHAR>> input = std::nullopt,
                 std::optional<ULONG> outputLength = std::nullopt)
    {
        OpenHandle* open = PickHandle();
        if (open == nullptr) return;
        if (!input) {
            ULONG length = input_.Pick(kBufferLengths);
            input = input_.Bytes(length);
            input->resize(length);
        }
        if (!outputLength) outputLength = input_.Pick(kBufferLengths);
        if (code == IOCTL_SERIAL_PURGE || code == IOCTL_SERIAL_RESET_DEVICE ||
            DEVICE_TYPE_FROM_CTL_CODE(code) != FILE_DEVICE_SERIAL_PORT) {
            open->device->ledger.inDrops = true;
        }
        Request request{Request::Control, open->device, {}, {}, *outputLength};
        request.request = app_.StartDeviceControl(open->handle, code, *input, *outputLength);
        requests_.push_back(std::move(request));
    }

    void Sleep(ULONG milliseconds)
    {
        if (milliseconds == 0) {
            host_.RunUntilIdle();
        } else {
            host_.Sleep(host::Milliseconds(milliseconds));
        }
    }

    void FailTransfers(Device* device)
    {
        uint8_t how = input_.U8();
        NTSTATUS status = input_.Pick(kStatuses);
        USBD_STATUS usbdStatus = input_.Pick(kUsbdStatuses);
        if (device == nullptr || device->gone) return;
        host::Direction direction = how & 1 ? host::Direction::Out : host::Direction::In;
        device->ledger.inDrops = true;  // the recovery of either may reset the port
        device->plugged.device->FailNext(direction, 1 + (how >> 1 & 3), status, usbdStatus);
    }

    void PortState(Device* device)
    {
        uint8_t how = input_.U8();
        if (device == nullptr || device->gone) return;
        device->ledger.inDrops = true;
        host::UsbDevice& usb = *device->plugged.device;
        switch (how & 3) {
        case 0:
            return usb.SetPortConnected(how & 4);
        case 1:
            return usb.SetPortEnabled(how & 4);
        default:
            return usb.SetPortStatusFails(how & 4);
        }
    }

    void Pnp(int slot, int action)
    {
        Device* device = slots_[slot];
        if (device == nullptr) return;
        PDEVICE_OBJECT physicalDevice = device->plugged.physicalDevice;
        host::PnpManager& pnp = host_.pnp();
        if (Tracing())
            fprintf(stderr, "  pnp action %d%s\n", action, device->stopped ? " (stopped)" : "");
        if (action < 6 || action == 7) device->ledger.inDrops = true;
        if (device->stopped && action != 1 && action != 4 && action != 5) return;
        switch (action) {
        case 0:  // query-remove, then the removal or its cancel
            if (NT_SUCCESS(pnp.Remove(physicalDevice))) Forget(slot);
            return;
        case 1:  // stop: query-stop, then the stop or its cancel; after it, a start
            if (device->stopped) {
                device->stopped = false;
                if (!NT_SUCCESS(pnp.Start(physicalDevice))) Forget(slot);
            } else if (NT_SUCCESS(pnp.Stop(physicalDevice))) {
                device->stopped = true;
            }
            return;
        case 2:
            pnp.SendPnp(physicalDevice, IRP_MN_QUERY_REMOVE_DEVICE);
            pnp.SendPnp(physicalDevice, IRP_MN_CANCEL_REMOVE_DEVICE);
            return;
        case 3:
            pnp.SendPnp(physicalDevice, IRP_MN_QUERY_STOP_DEVICE);
            pnp.SendPnp(physicalDevice, IRP_MN_CANCEL_STOP_DEVICE);
            return;
        case 4:
            pnp.SurpriseRemove(physicalDevice);
            return Forget(slot);
        case 5:
            pnp.Unplug(physicalDevice);
            return Forget(slot);
        case 6: {
            DEVICE_CAPABILITIES capabilities;
            pnp.QueryCapabilities(physicalDevice, &capabilities);
            return;
        }
        case 7:  // the stop alone, as the simulator's "pnp stop" sends it, with the port closed
            for (const OpenHandle& open : handles_) {
                if (open.device == device) return;
            }
            if (NT_SUCCESS(pnp.Stop(physicalDevice, false))) device->stopped = true;
            return;
        default:  // a WMI request
            pnp.Send(physicalDevice, IRP_MJ_SYSTEM_CONTROL, UCHAR(action), nullptr, nullptr);
            return;
        }
    }

    void Forget(int slot)
    {
        slots_[slot]->gone = true;
        slots_[slot] = nullptr;
    }

    void Power(Device* device, uint8_t how)
    {
        if (device == nullptr || device->gone || device->stopped) return;
        device->ledger.inDrops = true;
        POWER_STATE state{};
        if (how & 0x80) {
            state.SystemState = SYSTEM_POWER_STATE(PowerSystemWorking + (how & 7) % 6);
            host_.pnp().SendPower(device->plugged.physicalDevice,
                                  how & 0x40 ? IRP_MN_QUERY_POWER : IRP_MN_SET_POWER,
                                  SystemPowerState, state);
        } else {
            state.DeviceState = DEVICE_POWER_STATE(PowerDeviceD0 + (how & 3));
            host_.pnp().SendPower(device->plugged.physicalDevice,
                                  how & 0x40 ? IRP_MN_QUERY_POWER : IRP_MN_SET_POWER,
                                  DevicePowerState, state);
        }
    }

    // Takes the results of the requests that completed, in the order they were sent; a read or
    // a write waits for the ones of its device sent before it (the driver completes them in
    // order). With `wait`, every request is waited for.
    void Collect(bool wait)
    {
        std::vector<std::pair<Device*, Request::Kind>> blocked;
        for (Request& request : requests_) {
            if (request.done) continue;
            auto key = std::make_pair(request.device, request.kind);
            bool behind = false;
            for (const auto& earlier : blocked) behind |= earlier == key;
            if (behind || (!wait && !request.request.Completed())) {
                if (request.kind != Request::Control) blocked.push_back(key);
                continue;
            }
            host::IoResult result = request.request.Wait();
            request.done = true;
            if (Tracing()) {
                fprintf(stderr,
                        "  request %zu (kind %d, length %u): status 0x%08X information %zu\n",
                        size_t(&request - requests_.data()), request.kind, request.length,
                        unsigned(result.status), size_t(result.information));
            }
            if (result.information > request.length && request.kind != Request::Control) {
                Fail("a request reported " + std::to_string(result.information) + " bytes of " +
                     std::to_string(request.length));
            }
            Ledger& ledger = request.device->ledger;
            if (request.kind == Request::Read) {
                ledger.read.insert(ledger.read.end(), result.output.begin(), result.output.end());
            } else if (request.kind == Request::Write) {
                ledger.writes.push_back({std::move(request.bytes), result.information,
                                         result.status == STATUS_SUCCESS});
            }
        }
    }

    host::Host& host_;
    host::Application& app_;
    Input& input_;
    std::vector<std::unique_ptr<Device>> devices_;
    Device* slots_[2] = {};
    std::vector<OpenHandle> handles_;
    std::vector<Request> requests_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input(data, size);
    host::HostOptions options;
    options.schedule.seed = input.U8();
    host::Host host(options);
    if (host.LoadDriver(DriverEntry) != STATUS_SUCCESS) Fail("DriverEntry failed");
    host.pnp().SetRemoveAfterFailedStart(true);
    Session(host, input).Run();
    EndRun(host);
    return 0;
}
