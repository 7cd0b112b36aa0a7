// Serial state defaults. The port has no UART behind it: the serial state only answers the
// serial requests and gives the data paths their timeouts, event mask and counters.
#include "../kdxlusb.h"

#define KDX_XON_CHARACTER 0x11
#define KDX_XOFF_CHARACTER 0x13
#define KDX_SETTABLE_BAUD (SERIAL_BAUD_USER | SERIAL_BAUD_9600)

// Gives the serial state its start values and, once the USB configuration is in place, names
// the port. Runs in the start path at PASSIVE_LEVEL, when no open can be in progress, so no
// lock is taken. Timeouts are left as they are: they survive a stop and start.
_Use_decl_annotations_ NTSTATUS InitializePortSettings(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    ULONG receiveBufferSize = ReadULong(&extension->ReceiveBufferSize);  // 0 unless a port is open

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

    if (extension->PortConfigured) {
        NTSTATUS status = CreatePortName(extension);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}
