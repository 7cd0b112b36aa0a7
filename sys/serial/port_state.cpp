// Serial state defaults. The port has no UART behind it: the serial state only answers the
// serial requests and gives the data paths their timeouts, event mask and counters.
#include "../kdxlusb.h"

#define KDX_XON_CHARACTER 0x11
#define KDX_XOFF_CHARACTER 0x13
#define KDX_SETTABLE_BAUD (SERIAL_BAUD_USER | SERIAL_BAUD_9600)
#define KDX_DEFAULT_BAUD_RATE 9600
#define KDX_DEFAULT_WORD_LENGTH 8

// Whether the device's hardware key opts in to accepting line settings: a REG_DWORD
// AcceptLineSettings of exactly 1. Absent, another value, another type or another size, or a
// key that cannot be read, mean no.
static UCHAR ReadAcceptLineSettings(PDEVICE_EXTENSION Extension)
{
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                            KEY_READ, &key))) {
        return 0;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, KDX_TEXT("AcceptLineSettings"));
    union {
        KEY_VALUE_PARTIAL_INFORMATION Information;
        UCHAR Bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } value;
    ULONG length = 0;
    NTSTATUS status =
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof(value), &length);
    ZwClose(key);
    if (!NT_SUCCESS(status) || value.Information.Type != REG_DWORD ||
        value.Information.DataLength != sizeof(ULONG)) {
        return 0;
    }
    ULONG setting;
    // cppcheck-suppress bufferAccessOutOfBounds ; Data[1] stands for the value the union holds
    RtlCopyMemory(&setting, value.Information.Data, sizeof(ULONG));
    return setting == 1 ? 1 : 0;
}

// Gives the serial state its start values, reads whether line settings are accepted, and,
// once the USB configuration is in place, names the port. Runs in the start path at PASSIVE_LEVEL,
// when no open can be in progress, so no lock is taken. Timeouts are left as they are: they survive
// a stop and start.
_Use_decl_annotations_ NTSTATUS InitializePortSettings(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    ULONG receiveBufferSize = ReadULong(&extension->ReceiveBufferSize);  // 0 unless a port is open

    // The whole record: characters a set-chars stored while line settings were accepted do
    // not outlive the start.
    RtlZeroMemory(&extension->SpecialChars, sizeof(SERIAL_CHARS));
    extension->SpecialChars.XonChar = KDX_XON_CHARACTER;
    extension->SpecialChars.XoffChar = KDX_XOFF_CHARACTER;
    extension->HandFlow.ControlHandShake = 0;
    extension->HandFlow.FlowReplace = 0;
    extension->HandFlow.XonLimit = (LONG)(receiveBufferSize >> 1);
    extension->HandFlow.XoffLimit = (LONG)(receiveBufferSize >> 3);
    extension->SettableBaud = KDX_SETTABLE_BAUD;
    extension->TxFifo = 1;
    extension->RxFifo = 0;
    extension->HandleOpen = 0;
    extension->PortOpen = 0;
    extension->BaudRate = KDX_DEFAULT_BAUD_RATE;
    extension->LineControl.StopBits = STOP_BIT_1;
    extension->LineControl.Parity = NO_PARITY;
    extension->LineControl.WordLength = KDX_DEFAULT_WORD_LENGTH;
    extension->DtrRts = 0;
    WriteFlag(&extension->AcceptLineSettings, ReadAcceptLineSettings(extension));

    if (extension->PortConfigured) {
        // The device accepts requests before its name appears: an application that opens the
        // port the moment it sees the name must not be refused as if the device were going
        // away. The defaults above are in place by then.
        WriteFlag(&extension->Started, 1);
        NTSTATUS status = CreatePortName(extension);
        if (!NT_SUCCESS(status)) {
            WriteFlag(&extension->Started, 0);
            return status;
        }
    }
    return STATUS_SUCCESS;
}
