/* Opening the port the way common serial libraries do: CreateFile, SetupComm, GetCommState,
 * SetCommState 115200 8N1 without flow control, SetCommTimeouts, PurgeComm,
 * EscapeCommFunction(SETDTR), then a write and a read. As installed (the INF writes
 * AcceptLineSettings 0) it fails at SetCommState; once a user has set the value to 1 in the
 * device's hardware key and plugged the device in again, it succeeds end to end. */
#include "rig.h"

#define INSTANCE_REFUSING 101
#define INSTANCE_ACCEPTING 102

/* The device's hardware key ("Device Parameters" of its instance), where its INF and the
 * driver keep their values. */
static HKEY OpenHardwareKey(ULONG instance, REGSAM access)
{
    WCHAR path[200];
    HKEY key;
    swprintf(path, 200,
             L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0000&PID_005B\\%lu\\Device Parameters",
             instance);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &key) != ERROR_SUCCESS) {
        RigFatal("the hardware key of instance %lu does not open", instance);
    }
    return key;
}

/* What the INF installed: AcceptLineSettings, or 0xFFFFFFFF when it is not a DWORD. */
static DWORD InstalledSetting(ULONG instance)
{
    HKEY key = OpenHardwareKey(instance, KEY_QUERY_VALUE);
    DWORD value = 0xFFFFFFFF, type = REG_NONE, size = sizeof(value);
    if (RegQueryValueExW(key, L"AcceptLineSettings", NULL, &type, (BYTE*)&value, &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        value = 0xFFFFFFFF;
    }
    RegCloseKey(key);
    return value;
}

static void SetAcceptLineSettings(ULONG instance, DWORD value)
{
    HKEY key = OpenHardwareKey(instance, KEY_SET_VALUE);
    RegSetValueExW(key, L"AcceptLineSettings", 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
    RegCloseKey(key);
}

/* The library's open sequence; returns the name of the first step that failed, or NULL. */
static const char* LibraryOpen(HANDLE port, DWORD* error)
{
    COMMTIMEOUTS timeouts = {0, 0, 1000, 0, 1000};
    DCB dcb;
    *error = 0;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
#define STEP(call, name)                                                                      \
    do {                                                                                      \
        if (!(call)) {                                                                        \
            *error = GetLastError();                                                          \
            return name;                                                                      \
        }                                                                                     \
    } while (0)
    STEP(SetupComm(port, 4096, 4096), "SetupComm");
    STEP(GetCommState(port, &dcb), "GetCommState");
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    STEP(SetCommState(port, &dcb), "SetCommState");
    STEP(SetCommTimeouts(port, &timeouts), "SetCommTimeouts");
    STEP(PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR), "PurgeComm");
    STEP(EscapeCommFunction(port, SETDTR), "EscapeCommFunction(SETDTR)");
#undef STEP
    return NULL;
}

static void Refusing(void)
{
    ULONG slot = RigBeginInstance(INSTANCE_REFUSING);
    HANDLE port = RigOpenPort(FALSE);
    DWORD error;
    const char* failed = LibraryOpen(port, &error);
    CHECK_EQ(0, InstalledSetting(INSTANCE_REFUSING), "AcceptLineSettings as the INF installs it");
    printf("without AcceptLineSettings the open sequence stopped at %s (error %lu)\n",
           failed != NULL ? failed : "nothing", error);
    CHECK(failed != NULL && strcmp(failed, "SetCommState") == 0,
          "without the setting the sequence fails at SetCommState");
    CHECK_EQ(ERROR_GEN_FAILURE, error, "SetCommState's error");
    CloseHandle(port);
    RigEnd(slot);
}

static void Accepting(void)
{
    ULONG slot;
    HANDLE port;
    DWORD error, written = 0, got = 0, modem = 0;
    UCHAR answer[16];
    const char* failed;
    BOOL ok;
    /* Installed, then turned on by the user, then plugged in again: read at the next start. */
    RigEnd(RigBeginInstance(INSTANCE_ACCEPTING));
    SetAcceptLineSettings(INSTANCE_ACCEPTING, 1);
    slot = RigBeginInstance(INSTANCE_ACCEPTING);
    port = RigOpenPort(FALSE);
    failed = LibraryOpen(port, &error);
    CHECK(failed == NULL, "with AcceptLineSettings 1 the whole sequence succeeds (%s, error %lu)",
          failed != NULL ? failed : "no step failed", error);

    RigCheckCommState(port, 115200);
    CHECK(GetCommModemStatus(port, &modem), "GetCommModemStatus");
    CHECK_EQ(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, modem, "a connected line: CTS, DSR, carrier");

    RigSet(slot, KdxBusEcho, 1);
    CHECK(WriteFile(port, "ping", 4, &written, NULL) && written == 4, "a 4-byte write");
    ok = ReadFile(port, answer, 4, &got, NULL);
    CHECK(ok && got == 4 && memcmp(answer, "ping", 4) == 0, "the echo comes back (%lu bytes)",
          got);
    CloseHandle(port);
    RigEnd(slot);
}

int main(void)
{
    Refusing();
    Accepting();
    return RigFinish();
}
