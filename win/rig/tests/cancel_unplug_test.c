/* Ending I/O from outside: CancelIo on an outstanding read, then the device pulled out with a
 * read outstanding, the handle closed, and the port gone from the system. */
#include "rig.h"

static BOOL StartRead(HANDLE port, UCHAR* buffer, DWORD length, OVERLAPPED* overlapped)
{
    memset(overlapped, 0, sizeof(*overlapped));
    overlapped->hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (ReadFile(port, buffer, length, NULL, overlapped)) return FALSE;
    return GetLastError() == ERROR_IO_PENDING;
}

int main(void)
{
    ULONG slot = RigBegin();
    HANDLE port = RigOpenPort(TRUE);
    OVERLAPPED read;
    UCHAR buffer[64];
    DWORD got = 0, error;
    BOOL ok;

    RigSetTimeouts(port, 0, 0, 0, 0, 0);
    CHECK(StartRead(port, buffer, sizeof(buffer), &read), "a read waits for data");
    Sleep(200);
    CHECK(WaitForSingleObject(read.hEvent, 0) == WAIT_TIMEOUT, "it is still waiting");
    CHECK(CancelIo(port), "CancelIo");
    CHECK(WaitForSingleObject(read.hEvent, 5000) == WAIT_OBJECT_0, "the read ended");
    ok = GetOverlappedResult(port, &read, &got, FALSE);
    error = GetLastError();
    CHECK(!ok, "it ended in failure");
    CHECK_EQ(ERROR_OPERATION_ABORTED, error, "its error");
    CloseHandle(read.hEvent);

    /* The port still works after the cancel. */
    RigOffer(slot, "after", 5);
    CHECK(StartRead(port, buffer, sizeof(buffer), &read) || HasOverlappedIoCompleted(&read),
          "a new read starts");
    ok = WaitForSingleObject(read.hEvent, 5000) == WAIT_OBJECT_0 &&
         GetOverlappedResult(port, &read, &got, FALSE);
    CHECK(ok && got == 5 && memcmp(buffer, "after", 5) == 0,
          "the new read gets the 5 bytes sent after the cancel (%lu)", got);
    CloseHandle(read.hEvent);

    /* Pulled out with a read outstanding. */
    CHECK(StartRead(port, buffer, sizeof(buffer), &read), "a read waits for data");
    RigUnplug(slot);
    CHECK(WaitForSingleObject(read.hEvent, 10000) == WAIT_OBJECT_0,
          "the outstanding read ended when the device was pulled out");
    ok = GetOverlappedResult(port, &read, &got, FALSE);
    error = GetLastError();
    CHECK(!ok, "it ended in failure (error %lu)", error);
    CloseHandle(read.hEvent);
    CHECK(CloseHandle(port), "CloseHandle after the unplug");
    CHECK(RigWaitForName(KDX_PORT_NAME, FALSE), "VLT0 is gone from the system");
    port = CreateFileW(KDX_PORT_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                       NULL);
    error = GetLastError();
    CHECK(port == INVALID_HANDLE_VALUE, "CreateFile(\\\\.\\VLT0) fails");
    CHECK_EQ(ERROR_FILE_NOT_FOUND, error, "its error");
    return RigFinish();
}
