/* Serial events, purge and queue counts through the Win32 calls: WaitCommEvent ended by
 * arriving data (EV_RXCHAR), by a finished write (EV_TXEMPTY) and by SetCommMask, 0 or not;
 * the event loop of a program that reads between its waits, and a wait for EV_TXEMPTY after
 * the write has finished, both answered at once; PurgeComm; ClearCommError's counts of buffered
 * input. */
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

/* A WaitCommEvent that must end at once: it returns TRUE, or is pending and ends within 1 s.
 * TRUE with the events when it succeeded. */
static BOOL WaitNow(HANDLE port, DWORD* events)
{
    OVERLAPPED overlapped;
    DWORD transferred = 0;
    BOOL ok;
    memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    *events = 0xDEAD;
    ok = WaitCommEvent(port, events, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, 1000) == WAIT_OBJECT_0) {
            ok = GetOverlappedResult(port, &overlapped, &transferred, FALSE);
        } else {
            CancelIo(port);
            GetOverlappedResult(port, &overlapped, &transferred, TRUE);
        }
    }
    CloseHandle(overlapped.hEvent);
    return ok;
}

/* Reads what ClearCommError says is buffered; TRUE when it got `expected`. */
static BOOL ReadBuffered(HANDLE port, const char* expected, DWORD length)
{
    OVERLAPPED read;
    char buffer[16];
    DWORD got = 0, buffered = RigInQueue(port);
    BOOL ok;
    memset(&read, 0, sizeof(read));
    read.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (buffered > sizeof(buffer)) buffered = sizeof(buffer);
    ok = ReadFile(port, buffer, buffered, NULL, &read) || GetLastError() == ERROR_IO_PENDING;
    ok = ok && GetOverlappedResult(port, &read, &got, TRUE);
    CloseHandle(read.hEvent);
    return ok && got == length && memcmp(buffer, expected, length) == 0;
}

/* Writes and waits until the write has finished. */
static BOOL WriteAll(HANDLE port, const char* bytes, DWORD length)
{
    OVERLAPPED write;
    DWORD written = 0;
    BOOL ok;
    memset(&write, 0, sizeof(write));
    write.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    ok = WriteFile(port, bytes, length, NULL, &write) || GetLastError() == ERROR_IO_PENDING;
    ok = ok && GetOverlappedResult(port, &write, &written, TRUE);
    CloseHandle(write.hEvent);
    return ok && written == length;
}

int main(void)
{
    ULONG slot = RigBegin();
    HANDLE port = RigOpenPort(TRUE);
    OVERLAPPED wait, write;
    DWORD events = 0, mask = 0, written = 0, error;
    BOOL ended, ok;
    int round;
    static const char* answers[] = {"ab", "cd", "ef"};

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
    CHECK(RigWaitForInQueue(port, 3, 2000),
          "ClearCommError reports 3 bytes in the input queue (%lu)", RigInQueue(port));
    CHECK(PurgeComm(port, PURGE_RXCLEAR), "PurgeComm(PURGE_RXCLEAR)");
    CHECK_EQ(3, RigInQueue(port), "input bytes after PURGE_RXCLEAR");
    CHECK(PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT), "PurgeComm(PURGE_RXABORT | "
                                                         "PURGE_TXABORT)");
    CHECK_EQ(0, RigInQueue(port), "input bytes after PURGE_RXABORT");
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

    /* An event loop: wait for EV_RXCHAR, read what is buffered, wait again. The device's next
     * bytes arrive between the read and the next wait: that wait ends at once. */
    CHECK(SetCommMask(port, EV_RXCHAR), "SetCommMask(EV_RXCHAR) for the event loop");
    CHECK(StartWait(port, &events, &wait), "the loop's first wait is pending");
    RigOffer(slot, answers[0], 2);
    ok = EndWait(port, &events, &wait, &ended);
    CHECK(ok && events == EV_RXCHAR, "the loop's first wait ends with EV_RXCHAR (%#lx)", events);
    CloseHandle(wait.hEvent);
    for (round = 0; round < 3; round++) {
        CHECK(RigWaitForInQueue(port, 2, 2000), "round %d: 2 bytes buffered", round);
        CHECK(ReadBuffered(port, answers[round], 2), "round %d: the loop reads them", round);
        if (round == 2) break;
        RigOffer(slot, answers[round + 1], 2);
        CHECK(RigWaitForInQueue(port, 2, 2000), "round %d: the next bytes arrive before the wait",
              round);
        ok = WaitNow(port, &events);
        CHECK(ok && events == EV_RXCHAR,
              "round %d: the next wait ends at once with EV_RXCHAR (%#lx)", round, events);
    }

    /* A wait for EV_TXEMPTY after the write has already finished ends at once. */
    CHECK(SetCommMask(port, EV_TXEMPTY), "SetCommMask(EV_TXEMPTY) before a write");
    CHECK(WriteAll(port, "done", 4), "the write finishes before the wait");
    ok = WaitNow(port, &events);
    CHECK(ok && events == EV_TXEMPTY,
          "a wait after the finished write ends at once with EV_TXEMPTY (%#lx)", events);

    /* A new mask ends a pending wait, also one that is not 0; a wait on the new mask then
     * waits for its own events. */
    CHECK(SetCommMask(port, EV_RXCHAR), "SetCommMask(EV_RXCHAR) before the change");
    CHECK(StartWait(port, &events, &wait), "WaitCommEvent is pending before the change");
    CHECK(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY), "SetCommMask(EV_RXCHAR | EV_TXEMPTY)");
    EndWait(port, &events, &wait, &ended);
    CHECK(ended, "the new mask ended the pending wait");
    CloseHandle(wait.hEvent);
    CHECK(StartWait(port, &events, &wait), "a wait on the new mask is pending");
    CHECK(WriteAll(port, "more", 4), "a write on the new mask");
    ok = EndWait(port, &events, &wait, &ended);
    CHECK(ok && events == EV_TXEMPTY, "the wait on the new mask ends with EV_TXEMPTY (%#lx)",
          events);
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
