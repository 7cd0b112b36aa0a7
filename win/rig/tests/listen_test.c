/* A program that only listens, to a device that speaks first (a sensor, a GPS, a logger): it
 * opens the port and, without writing anything, receives what the device sends by polling
 * reads that return at once, by polling ClearCommError until bytes are queued, and by
 * WaitCommEvent(EV_RXCHAR). With AcceptLineSettings 1 the port is listed under
 * HKLM\HARDWARE\DEVICEMAP\SERIALCOMM while it is named and goes from there when the device is
 * unplugged, and PurgeComm(PURGE_RXCLEAR) empties the input. Every wait is bounded. */
#include "rig.h"

#define INSTANCE_LISTENING 103

static void SetAcceptLineSettings(ULONG instance, DWORD value)
{
    WCHAR path[200];
    HKEY key;
    swprintf(path, 200,
             L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0000&PID_005B\\%lu\\Device Parameters",
             instance);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        RigFatal("the hardware key of instance %lu does not open", instance);
    }
    RegSetValueExW(key, L"AcceptLineSettings", 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
    RegCloseKey(key);
}

/* How many SERIALCOMM values list VLT0 as a port of this driver (named \Device\KDX_LUSB<n>),
 * the way programs list serial ports. */
static int ListedAsVlt0(void)
{
    HKEY key;
    DWORD index;
    int found = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS) {
        return 0;
    }
    for (index = 0; index < 256; index++) {
        WCHAR name[128], data[64];
        DWORD nameLength = 128, dataSize = sizeof(data), type = REG_NONE;
        memset(data, 0, sizeof(data));
        if (RegEnumValueW(key, index, name, &nameLength, NULL, &type, (BYTE*)data, &dataSize) !=
            ERROR_SUCCESS) {
            break;
        }
        if (type == REG_SZ && wcscmp(data, KDX_PORT_NAME) == 0 &&
            wcsncmp(name, L"\\Device\\KDX_LUSB", 16) == 0) {
            printf("SERIALCOMM: %ls = %ls\n", name, data);
            found++;
        }
    }
    RegCloseKey(key);
    return found;
}

/* One overlapped read that must end at once (the timeouts say so): the bytes it got. */
static DWORD ReadNow(HANDLE port, UCHAR* buffer, DWORD length)
{
    OVERLAPPED overlapped;
    DWORD got = 0;
    memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!ReadFile(port, buffer, length, &got, &overlapped)) {
        got = 0;
        if (GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(overlapped.hEvent, 1000) != WAIT_OBJECT_0) CancelIo(port);
            GetOverlappedResult(port, &overlapped, &got, TRUE);
        }
    }
    CloseHandle(overlapped.hEvent);
    return got;
}

int main(void)
{
    ULONG slot;
    HANDLE port;
    UCHAR buffer[64];
    DWORD got = 0, events = 0, transferred = 0;
    OVERLAPPED wait;
    int polls;

    /* Installed, then turned on by the user, then plugged in again: read at the next start. */
    RigEnd(RigBeginInstance(INSTANCE_LISTENING));
    CHECK_EQ(0, ListedAsVlt0(), "not listed under SERIALCOMM while unplugged");
    SetAcceptLineSettings(INSTANCE_LISTENING, 1);
    slot = RigBeginInstance(INSTANCE_LISTENING);
    CHECK_EQ(1, ListedAsVlt0(), "VLT0 listed under SERIALCOMM while it is named");
    port = RigOpenPort(TRUE);
    RigSetTimeouts(port, MAXDWORD, 0, 0, 0, 0);

    /* Polling reads that return at once. */
    RigOffer(slot, "abc", 3);
    for (polls = 0; polls < 500 && got == 0; polls++) {
        got = ReadNow(port, buffer, sizeof(buffer));
        if (got == 0) Sleep(10);
    }
    CHECK(got == 3 && memcmp(buffer, "abc", 3) == 0,
          "a polling read gets what the device sent without any write (%lu bytes)", got);

    /* ClearCommError until the input queue holds the bytes, then a read takes them. */
    RigOffer(slot, "defg", 4);
    CHECK(RigWaitForInQueue(port, 4, 5000), "ClearCommError shows the 4 bytes sent (%lu)",
          RigInQueue(port));
    got = ReadNow(port, buffer, sizeof(buffer));
    CHECK(got == 4 && memcmp(buffer, "defg", 4) == 0, "the read takes them (%lu bytes)", got);

    /* WaitCommEvent(EV_RXCHAR) ended by bytes the device sends. */
    CHECK(SetCommMask(port, EV_RXCHAR), "SetCommMask(EV_RXCHAR)");
    memset(&wait, 0, sizeof(wait));
    wait.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!WaitCommEvent(port, &events, &wait) && GetLastError() == ERROR_IO_PENDING) {
        RigOffer(slot, "hi", 2);
        if (WaitForSingleObject(wait.hEvent, 5000) != WAIT_OBJECT_0) CancelIo(port);
        CHECK(GetOverlappedResult(port, &wait, &transferred, TRUE), "the wait ends");
    } else {
        CHECK(0, "WaitCommEvent is pending before the device sends (error %lu)", GetLastError());
    }
    CHECK_EQ(EV_RXCHAR, events, "the wait reports EV_RXCHAR");
    CloseHandle(wait.hEvent);
    got = ReadNow(port, buffer, sizeof(buffer));
    CHECK(got == 2 && memcmp(buffer, "hi", 2) == 0, "the read takes them (%lu bytes)", got);

    /* PurgeComm(PURGE_RXCLEAR) empties the input. */
    RigOffer(slot, "xyz", 3);
    CHECK(RigWaitForInQueue(port, 3, 5000), "3 bytes queued before the purge (%lu)",
          RigInQueue(port));
    CHECK(PurgeComm(port, PURGE_RXCLEAR), "PurgeComm(PURGE_RXCLEAR)");
    CHECK_EQ(0, RigInQueue(port), "the input queue after PURGE_RXCLEAR");
    CHECK_EQ(0, ReadNow(port, buffer, sizeof(buffer)), "bytes a read finds after the purge");

    CloseHandle(port);
    RigEnd(slot);
    CHECK_EQ(0, ListedAsVlt0(), "no longer listed under SERIALCOMM after the unplug");
    return RigFinish();
}
