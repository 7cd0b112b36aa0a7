/* What the bus can make the device do: hold a write in flight (ClearCommError counts it as
 * output queued until the device takes it) and stall the bulk-IN pipe under the driver's
 * receive pump (the driver resets the pipe, reports EV_ERR, and data flows again). */
#include "rig.h"

static OVERLAPPED NewOverlapped(void)
{
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    return overlapped;
}

static COMSTAT Status(HANDLE port)
{
    COMSTAT status;
    DWORD errors = 0;
    memset(&status, 0, sizeof(status));
    if (!ClearCommError(port, &errors, &status)) RigFatal("ClearCommError fails");
    return status;
}

static void HeldWrite(HANDLE port, ULONG slot)
{
    OVERLAPPED write = NewOverlapped();
    DWORD written = 0;
    BOOL done;
    int polls;
    RigSet(slot, KdxBusHoldOut, 1);
    CHECK(!WriteFile(port, "0123456789", 10, NULL, &write) && GetLastError() == ERROR_IO_PENDING,
          "a 10-byte write stays pending while the device holds it");
    for (polls = 0; polls < 100 && Status(port).cbOutQue != 10; polls++) Sleep(10);
    CHECK_EQ(10, Status(port).cbOutQue, "ClearCommError's output queue during the write");
    RigSet(slot, KdxBusHoldOut, 0);
    done = GetOverlappedResult(port, &write, &written, TRUE);
    CHECK(done && written == 10, "the write completes once the device takes it (%lu)", written);
    CHECK_EQ(0, Status(port).cbOutQue, "the output queue afterwards");
    CloseHandle(write.hEvent);
}

static void StalledInPipe(HANDLE port, ULONG slot)
{
    OVERLAPPED wait = NewOverlapped(), read = NewOverlapped();
    DWORD events = 0, got = 0, transferred = 0;
    ULONG resetsBefore = RigQuery(slot).PipeResets;
    UCHAR buffer[16];
    BOOL done;
    int polls;
    /* The pump runs since the write: its bulk-IN read waits at the device. */
    for (polls = 0; polls < 100 && RigQuery(slot).PendingIn == 0; polls++) Sleep(10);
    CHECK_EQ(1, RigQuery(slot).PendingIn, "the receive pump's read waits at the device");
    CHECK(SetCommMask(port, EV_ERR | EV_RXCHAR), "SetCommMask(EV_ERR | EV_RXCHAR)");
    CHECK(!WaitCommEvent(port, &events, &wait) && GetLastError() == ERROR_IO_PENDING,
          "WaitCommEvent is pending");
    RigFailNext(slot, TRUE, 1, (LONG)0xC0000001L /* STATUS_UNSUCCESSFUL */,
                (LONG)0xC0000004L /* USBD_STATUS_STALL_PID */);
    CHECK(WaitForSingleObject(wait.hEvent, 5000) == WAIT_OBJECT_0 &&
              GetOverlappedResult(port, &wait, &transferred, FALSE),
          "the wait ends after the stall");
    CHECK_EQ(EV_ERR, events, "the events reported");
    for (polls = 0; polls < 200 && RigQuery(slot).PipeResets == resetsBefore; polls++) Sleep(10);
    CHECK_EQ(resetsBefore + 1, RigQuery(slot).PipeResets, "the driver reset the stalled pipe");

    RigOffer(slot, "again", 5);
    if (!ReadFile(port, buffer, sizeof(buffer), NULL, &read)) {
        CHECK(GetLastError() == ERROR_IO_PENDING, "a read starts");
    }
    done = GetOverlappedResult(port, &read, &got, TRUE);
    CHECK(done && got == 5 && memcmp(buffer, "again", 5) == 0,
          "bytes sent after the stall arrive (%lu)", got);
    CloseHandle(wait.hEvent);
    CloseHandle(read.hEvent);
}

int main(void)
{
    ULONG slot = RigBegin();
    HANDLE port = RigOpenPort(TRUE);
    RigSetTimeouts(port, 0, 0, 2000, 0, 5000);
    HeldWrite(port, slot);
    StalledInPipe(port, slot);
    CloseHandle(port);
    RigEnd(slot);
    return RigFinish();
}
