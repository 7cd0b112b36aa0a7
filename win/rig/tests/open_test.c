/* Opening the port as an application does: one handle at a time, the timeouts, the properties
 * and line state a program reads, and SetCommState refused because the device has no UART. */
#include "rig.h"

static void TimeoutsRoundTrip(HANDLE port)
{
    COMMTIMEOUTS set = {7, 11, 13, 17, 19}, got;
    DWORD error;
    BOOL ok;
    memset(&got, 0, sizeof(got));
    CHECK(SetCommTimeouts(port, &set), "SetCommTimeouts(7, 11, 13, 17, 19) succeeds");
    CHECK(GetCommTimeouts(port, &got), "GetCommTimeouts succeeds");
    CHECK(memcmp(&set, &got, sizeof(set)) == 0,
          "GetCommTimeouts gives back %lu/%lu/%lu/%lu/%lu", got.ReadIntervalTimeout,
          got.ReadTotalTimeoutMultiplier, got.ReadTotalTimeoutConstant,
          got.WriteTotalTimeoutMultiplier, got.WriteTotalTimeoutConstant);
    set.ReadIntervalTimeout = set.ReadTotalTimeoutMultiplier = set.ReadTotalTimeoutConstant =
        MAXDWORD;
    ok = SetCommTimeouts(port, &set);
    error = GetLastError();
    CHECK(!ok, "SetCommTimeouts with all three read timeouts MAXDWORD is refused");
    CHECK_EQ(ERROR_INVALID_PARAMETER, error, "its error");
}

static void PropertiesAndState(HANDLE port)
{
    COMMPROP properties;
    DCB dcb;
    DWORD error;
    BOOL ok;
    memset(&properties, 0, sizeof(properties));
    CHECK(GetCommProperties(port, &properties), "GetCommProperties succeeds");
    CHECK_EQ(PST_RS232, properties.dwProvSubType, "properties: provider subtype (RS-232)");
    CHECK_EQ(BAUD_USER, properties.dwMaxBaud, "properties: maximum baud (user-defined)");
    CHECK_EQ(BAUD_USER | BAUD_9600, properties.dwSettableBaud, "properties: settable baud rates");
    CHECK_EQ(4096, properties.dwCurrentRxQueue, "properties: receive queue while open");

    RigCheckCommState(port, 9600);
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);

    /* The device has no UART: setting the line is refused, whatever the settings. */
    dcb.BaudRate = 115200;
    ok = SetCommState(port, &dcb);
    error = GetLastError();
    CHECK(!ok, "SetCommState(115200 8N1) fails");
    CHECK_EQ(ERROR_GEN_FAILURE, error, "its error (the driver's STATUS_UNSUCCESSFUL)");
    ok = EscapeCommFunction(port, SETDTR);
    error = GetLastError();
    CHECK(!ok, "EscapeCommFunction(SETDTR) fails");
    CHECK_EQ(ERROR_GEN_FAILURE, error, "its error");
}

int main(void)
{
    ULONG slot = RigBegin();
    HANDLE port = RigOpenPort(FALSE), second;
    KDXBUS_STATE state;
    CHECK(port != INVALID_HANDLE_VALUE, "CreateFile(\\\\.\\VLT0) opens the port");
    CHECK(RigQuery(slot).PortResets >= 1, "the open reset the device's USB port");

    TimeoutsRoundTrip(port);
    PropertiesAndState(port);

    /* A second open while the first is open: the driver refuses it. Wine's CreateFile does
     * not pass a failed create on, so the refusal is read from the bus's record of it; and
     * Wine's close of that handle reaches the driver as a close of the port, so this comes
     * last. */
    second = CreateFileW(KDX_PORT_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                         NULL);
    state = RigQuery(slot);
    CHECK(state.CreateCount >= 2, "the bus saw %lu opens", state.CreateCount);
    if (state.CreateCount >= 2) {
        CHECK(state.CreateStatus[0] == 0, "the first open succeeded (0x%08lx)",
              (unsigned long)state.CreateStatus[0]);
        CHECK(state.CreateStatus[1] == (LONG)0xC0000022L,
              "the second open was refused with STATUS_ACCESS_DENIED (0x%08lx)",
              (unsigned long)state.CreateStatus[1]);
    }
    printf("note: the second CreateFile %s under this I/O manager\n",
           second == INVALID_HANDLE_VALUE ? "failed" : "returned a handle");
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);

    CHECK(CloseHandle(port), "CloseHandle succeeds");

    port = RigOpenPort(FALSE);
    CHECK(port != INVALID_HANDLE_VALUE, "the port opens again after the close");
    CloseHandle(port);
    RigEnd(slot);
    return RigFinish();
}
