/* The control device of kdxbus, the rig's simulated USB bus: what a test program sends to plug
 * and unplug devices, give the bulk-IN pipe data, read back what the bulk-OUT pipe received,
 * inject faults and read the bus's counters. Shared by the bus driver and the Win32 programs. */
#ifndef KDXBUS_CONTROL_H
#define KDXBUS_CONTROL_H

#define KDXBUS_CONTROL_DEVICE L"\\Device\\KdxBusControl"
#define KDXBUS_CONTROL_LINK L"\\DosDevices\\KdxBusControl"
#define KDXBUS_CONTROL_PATH L"\\\\.\\KdxBusControl"

#define KDXBUS_MAX_DEVICES 4
#define KDXBUS_IN_CAPACITY (256 * 1024)
#define KDXBUS_OUT_LOG_CAPACITY (256 * 1024)

#define KDXBUS_IOCTL(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* In: KDXBUS_PLUG. Out: ULONG, the device's slot. Reports a new child device to PnP. */
#define IOCTL_KDXBUS_PLUG KDXBUS_IOCTL(0)
/* In: ULONG slot. Pulls the device out: its transfers fail and PnP is told it is gone. */
#define IOCTL_KDXBUS_UNPLUG KDXBUS_IOCTL(1)
/* In: ULONG slot, then the bytes the device sends on its bulk-IN pipe. */
#define IOCTL_KDXBUS_OFFER_IN KDXBUS_IOCTL(2)
/* In: ULONG slot. Out: the bulk-OUT transfers received since the last take, each a ULONG
 * length followed by its bytes; Information is the bytes returned. */
#define IOCTL_KDXBUS_TAKE_OUT KDXBUS_IOCTL(3)
/* In: KDXBUS_SETTING. */
#define IOCTL_KDXBUS_SET KDXBUS_IOCTL(4)
/* In: KDXBUS_FAULT. */
#define IOCTL_KDXBUS_FAIL_NEXT KDXBUS_IOCTL(5)
/* In: ULONG slot. Out: KDXBUS_STATE. */
#define IOCTL_KDXBUS_QUERY KDXBUS_IOCTL(6)

typedef struct _KDXBUS_PLUG {
    USHORT ProductId;
    USHORT MaxPacketSize; /* of both bulk pipes; 0 means 64 */
    ULONG InstanceId;     /* the device's instance ID, as a serial number gives one; 0: the slot */
} KDXBUS_PLUG;

enum KDXBUS_SETTING_KIND {
    KdxBusEcho = 1,    /* bytes sent OUT come back IN */
    KdxBusHoldOut = 2, /* bulk-OUT transfers stay pending until the setting is cleared */
};

typedef struct _KDXBUS_SETTING {
    ULONG Slot;
    ULONG Kind;
    ULONG Value;
} KDXBUS_SETTING;

typedef struct _KDXBUS_FAULT {
    ULONG Slot;
    ULONG In; /* 1: bulk-IN transfers, 0: bulk-OUT transfers */
    ULONG Count;
    LONG Status;
    LONG UsbdStatus;
} KDXBUS_FAULT;

#define KDXBUS_CREATE_HISTORY 8

typedef struct _KDXBUS_STATE {
    ULONG Present;
    ULONG Configured;
    ULONG InQueued;      /* bytes offered and not yet read */
    ULONG PendingIn;     /* bulk-IN transfers waiting for data */
    ULONG PendingOut;    /* bulk-OUT transfers held */
    ULONG OutTransfers;  /* bulk-OUT transfers since the plug */
    ULONG PortResets;
    ULONG PipeResets;
    ULONG PortStatusQueries;
    /* Statuses the function driver returned for IRP_MJ_CREATE on this device, oldest first
     * (the application cannot see them under an I/O manager that ignores a failed create). */
    ULONG CreateCount;
    LONG CreateStatus[KDXBUS_CREATE_HISTORY];
} KDXBUS_STATE;

#endif
