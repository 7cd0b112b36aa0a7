/* Serial events, purge and queue counts through the Win32 calls: WaitCommEvent ended by
 * arriving data (EV_RXCHAR), by a finished write (EV_TXEMPTY) and by SetCommMask(0); PurgeComm;
 * ClearCommError's counts of buffered input. */
#include "rig.h"

/* Starts an overlapped WaitCommEvent; TRUE when it is pending. */
static BOOL StartWait(HANDLE port, DWORD* events, OVERLAPPED* overlapped)
{
    memset(overlapped, 0, sizeof(*overlapped));
    overlapped->hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    *events = 0xDEAD;
    if (WaitCommEvent(port, events, overlapped)) return FALSE;
    return GetLastError() == ERROR_IO_PENDING;
}

/* Waits up to 5 s for the wait to end; returns its success and the events. */
static BOOL EndWait(HANDLE port, DWORD* events, OVERLAPPED* overlapped, BOOL* ended)
{
    DWORD transferred = 0;
    BOOL ok;
    *ended = WaitForSingleObject(overlapped->hEvent, 5000) == WAIT_OBJECT_0;
    ok = *ended && GetOverlappedResult(port, overlapped, &transferred, FALSE);
    (void)events;
    return ok;
}

static DWORD Buffered(HANDLE port)
{
    COMSTAT status;
    DWORD errors = 0xDEAD;
    memset(&status, 0, sizeof(status));
    if (!ClearCommError(port, &errors, &status)) return 0xFFFFFFFF;
    return status.cbInQue;
}

/* Waits until the driver has buffered `count` bytes. */
static BOOL WaitForBuffered(HANDLE port, DWORD count)
{
    int polls;
    for (polls = 0; polls < 200; polls++) {
        if (Buffered(port) == count) return TRUE;
        Sleep(10);
    }
    return FALSE;
}

int main(void)
{
    ULONG slot = RigBegin();
    HANDLE port = RigOpenPort(TRUE);
    OVERLAPPED wait, write;
    DWORD events = 0, mask = 0, written = 0, error;
    BOOL ended, ok;

    /* A first write starts the driver's receive side. */
    RigSetTimeouts(port, MAXDWORD, 0, 0, 0, 1000);
    memset(&write, 0, sizeof(write));
    write.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!WriteFile(port, "?", 1, NULL, &write)) {
        CHECK(GetLastError() == ERROR_IO_PENDING, "the first write is under way");
    }
    CHECK(GetOverlappedResult(port, &write, &written, TRUE) && written == 1,
          "the first write finishes");

    /* EV_RXCHAR: a wait ended by bytes the device sends. */
    CHECK(SetCommMask(port, EV_RXCHAR), "SetCommMask(EV_RXCHAR)");
    CHECK(GetCommMask(port, &mask) && mask == EV_RXCHAR, "GetCommMask gives %#lx", mask);
    CHECK(StartWait(port, &events, &wait), "WaitCommEvent is pending with no data");
    RigOffer(slot, "xyz", 3);
    CHECK(EndWait(port, &events, &wait, &ended), "the wait ends when 3 bytes arrive");
    CHECK_EQ(EV_RXCHAR, events, "the events reported");
    CloseHandle(wait.hEvent);

    /* ClearCommError counts the buffered bytes; PURGE_RXCLEAR leaves them, PURGE_RXABORT
     * drops them. */
    CHECK(WaitForBuffered(port, 3), "ClearCommError reports 3 bytes in the input queue (%lu)",
          Buffered(port));
    CHECK(PurgeComm(port, PURGE_RXCLEAR), "PurgeComm(PURGE_RXCLEAR)");
    CHECK_EQ(3, Buffered(port), "input bytes after PURGE_RXCLEAR");
    CHECK(PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT), "PurgeComm(PURGE_RXABORT | "
                                                         "PURGE_TXABORT)");
    CHECK_EQ(0, Buffered(port), "input bytes after PURGE_RXABORT");
    ok = PurgeComm(port, 0x10);
    error = GetLastError();
    CHECK(!ok, "PurgeComm with an unknown flag is refused");
    CHECK_EQ(ERROR_INVALID_PARAMETER, error, "its error");

    /* EV_TXEMPTY: a wait ended by a finished write. */
    CHECK(SetCommMask(port, EV_TXEMPTY), "SetCommMask(EV_TXEMPTY)");
    CHECK(StartWait(port, &events, &wait), "WaitCommEvent is pending before the write");
    ResetEvent(write.hEvent);
    if (!WriteFile(port, "data", 4, NULL, &write)) {
        CHECK(GetLastError() == ERROR_IO_PENDING, "the write is under way");
    }
    CHECK(GetOverlappedResult(port, &write, &written, TRUE) && written == 4,
          "the 4-byte write finishes");
    CHECK(EndWait(port, &events, &wait, &ended), "the wait ends when the write has gone out");
    CHECK_EQ(EV_TXEMPTY, events, "the events reported");
    CloseHandle(wait.hEvent);

    /* SetCommMask(0) ends a pending wait. */
    CHECK(SetCommMask(port, EV_RXCHAR), "SetCommMask(EV_RXCHAR) again");
    CHECK(StartWait(port, &events, &wait), "WaitCommEvent is pending");
    CHECK(SetCommMask(port, 0), "SetCommMask(0)");
    EndWait(port, &events, &wait, &ended);
    CHECK(ended, "SetCommMask(0) ended the pending wait");
    CHECK(HasOverlappedIoCompleted(&wait), "its I/O is complete");
    CloseHandle(wait.hEvent);

    CloseHandle(write.hEvent);
    CloseHandle(port);
    RigEnd(slot);
    return RigFinish();
}
