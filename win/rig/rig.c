#include "rig.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

int RigPassed, RigFailed;

void RigCheck(int ok, const char* file, int line, const char* format, ...)
{
    va_list arguments;
    printf(ok ? "ok:   " : "FAIL: ");
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    if (!ok) printf("  (%s:%d)", file, line);
    printf("\n");
    fflush(stdout);
    if (ok) {
        RigPassed++;
    } else {
        RigFailed++;
    }
}

void RigCheckEqual(long long expected, long long actual, const char* file, int line,
                   const char* what)
{
    RigCheck(expected == actual, file, line, "%s: %lld (expected %lld)", what, actual, expected);
}

int RigFinish(void)
{
    printf("%d passed, %d failed\n", RigPassed, RigFailed);
    fflush(stdout);
    return RigFailed == 0 ? 0 : 1;
}

void RigFatal(const char* format, ...)
{
    va_list arguments;
    printf("FAIL: ");
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    printf(" (error %lu)\n", GetLastError());
    RigFailed++;
    exit(RigFinish());
}

static HANDLE bus = INVALID_HANDLE_VALUE;

HANDLE RigBus(void)
{
    int attempt;
    /* The bus's device appears once PnP has started it, shortly after the install. */
    for (attempt = 0; bus == INVALID_HANDLE_VALUE && attempt < 200; attempt++) {
        bus = CreateFileW(KDXBUS_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                          OPEN_EXISTING, 0, NULL);
        if (bus == INVALID_HANDLE_VALUE) Sleep(100);
    }
    if (bus == INVALID_HANDLE_VALUE) RigFatal("the simulated bus's control device does not open");
    return bus;
}

static BOOL Control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                    DWORD* returned)
{
    DWORD ignored;
    return DeviceIoControl(RigBus(), code, (void*)in, inLength, out, outLength,
                           returned != NULL ? returned : &ignored, NULL);
}

static ULONG Plug(KDXBUS_PLUG plug)
{
    ULONG slot = 0;
    if (!Control(IOCTL_KDXBUS_PLUG, &plug, sizeof(plug), &slot, sizeof(slot), NULL)) {
        RigFatal("the bus refuses to plug a device");
    }
    return slot;
}

ULONG RigPlug(USHORT productId, USHORT maxPacketSize)
{
    KDXBUS_PLUG plug = {productId, maxPacketSize, 0};
    return Plug(plug);
}

ULONG RigPlugInstance(USHORT productId, ULONG instanceId)
{
    KDXBUS_PLUG plug = {productId, 64, instanceId};
    return Plug(plug);
}

void RigUnplug(ULONG slot)
{
    if (!Control(IOCTL_KDXBUS_UNPLUG, &slot, sizeof(slot), NULL, 0, NULL)) {
        RigFatal("the bus refuses to unplug slot %lu", slot);
    }
}

void RigOffer(ULONG slot, const void* bytes, ULONG length)
{
    UCHAR* buffer = (UCHAR*)malloc(sizeof(ULONG) + length);
    memcpy(buffer, &slot, sizeof(ULONG));
    memcpy(buffer + sizeof(ULONG), bytes, length);
    if (!Control(IOCTL_KDXBUS_OFFER_IN, buffer, sizeof(ULONG) + length, NULL, 0, NULL)) {
        RigFatal("the bus refuses %lu bytes for its bulk-IN pipe", length);
    }
    free(buffer);
}

void RigTakeOut(ULONG slot, RIG_OUT* out)
{
    static UCHAR log[KDXBUS_OUT_LOG_CAPACITY];
    DWORD returned = 0, offset = 0;
    if (!Control(IOCTL_KDXBUS_TAKE_OUT, &slot, sizeof(slot), log, sizeof(log), &returned)) {
        RigFatal("the bus does not give back its bulk-OUT transfers");
    }
    out->Count = 0;
    out->Total = 0;
    while (offset + sizeof(ULONG) <= returned) {
        ULONG length;
        memcpy(&length, log + offset, sizeof(ULONG));
        offset += sizeof(ULONG);
        if (out->Count < 256) out->Lengths[out->Count] = length;
        out->Count++;
        memcpy(out->Bytes + out->Total, log + offset, length);
        out->Total += length;
        offset += length;
    }
}

void RigSet(ULONG slot, ULONG kind, ULONG value)
{
    KDXBUS_SETTING setting = {slot, kind, value};
    if (!Control(IOCTL_KDXBUS_SET, &setting, sizeof(setting), NULL, 0, NULL)) {
        RigFatal("the bus refuses setting %lu", kind);
    }
}

void RigFailNext(ULONG slot, BOOL in, ULONG count, LONG status, LONG usbdStatus)
{
    KDXBUS_FAULT fault = {slot, in ? 1u : 0u, count, status, usbdStatus};
    if (!Control(IOCTL_KDXBUS_FAIL_NEXT, &fault, sizeof(fault), NULL, 0, NULL)) {
        RigFatal("the bus refuses a fault");
    }
}

KDXBUS_STATE RigQuery(ULONG slot)
{
    KDXBUS_STATE state;
    memset(&state, 0, sizeof(state));
    if (!Control(IOCTL_KDXBUS_QUERY, &slot, sizeof(slot), &state, sizeof(state), NULL)) {
        RigFatal("the bus does not report slot %lu", slot);
    }
    return state;
}

BOOL RigWaitForName(const WCHAR* name, BOOL present)
{
    WCHAR target[512];
    int attempt;
    for (attempt = 0; attempt < 400; attempt++) {
        BOOL exists = QueryDosDeviceW(name, target, 512) != 0;
        if (exists == present) return TRUE;
        Sleep(50);
    }
    return FALSE;
}

ULONG RigBegin(void)
{
    return RigBeginInstance(0);
}

ULONG RigBeginInstance(ULONG instanceId)
{
    ULONG slot;
    if (!RigWaitForName(KDX_PORT_NAME, FALSE)) RigFatal("VLT0 is still taken before the plug");
    slot = RigPlugInstance(KDX_NUMBERED_PRODUCT, instanceId);
    if (!RigWaitForName(KDX_PORT_NAME, TRUE)) RigFatal("VLT0 does not appear after the plug");
    printf("plugged a device into slot %lu: VLT0 is there\n", slot);
    return slot;
}

void RigEnd(ULONG slot)
{
    RigUnplug(slot);
    CHECK(RigWaitForName(KDX_PORT_NAME, FALSE), "VLT0 goes away after the unplug");
}

HANDLE RigOpenPort(BOOL overlapped)
{
    HANDLE port = CreateFileW(KDX_PORT_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
    if (port == INVALID_HANDLE_VALUE) RigFatal("CreateFile(\\\\.\\VLT0) fails");
    return port;
}

void RigCheckCommState(HANDLE port, DWORD baudRate)
{
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    CHECK(GetCommState(port, &dcb), "GetCommState succeeds");
    CHECK_EQ(baudRate, dcb.BaudRate, "GetCommState: baud rate");
    CHECK_EQ(8, dcb.ByteSize, "GetCommState: data bits");
    CHECK_EQ(NOPARITY, dcb.Parity, "GetCommState: parity");
    CHECK_EQ(ONESTOPBIT, dcb.StopBits, "GetCommState: stop bits");
}

void RigSetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant,
                    DWORD writeMultiplier, DWORD writeConstant)
{
    COMMTIMEOUTS timeouts = {interval, multiplier, constant, writeMultiplier, writeConstant};
    if (!SetCommTimeouts(port, &timeouts)) RigFatal("SetCommTimeouts fails");
}

DWORD RigInQueue(HANDLE port)
{
    COMSTAT status;
    DWORD errors = 0;
    memset(&status, 0, sizeof(status));
    if (!ClearCommError(port, &errors, &status)) return 0xFFFFFFFF;
    return status.cbInQue;
}

BOOL RigWaitForInQueue(HANDLE port, DWORD count, DWORD milliseconds)
{
    DWORD waited;
    for (waited = 0; waited < milliseconds; waited += 10) {
        if (RigInQueue(port) == count) return TRUE;
        Sleep(10);
    }
    return FALSE;
}
