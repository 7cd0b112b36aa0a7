/* A long echo stream: every byte written comes back from the device, complete and in order,
 * through writes and reads of mixed sizes running on two threads. */
#include "rig.h"

#define TOTAL (256 * 1024)

static UCHAR sent[TOTAL], received[TOTAL];
static HANDLE port;

static DWORD WINAPI Writer(void* unused)
{
    DWORD offset = 0, round = 0;
    (void)unused;
    while (offset < TOTAL) {
        DWORD length = 1 + (round++ * 997) % 4096, written = 0;
        OVERLAPPED overlapped;
        if (length > TOTAL - offset) length = TOTAL - offset;
        memset(&overlapped, 0, sizeof(overlapped));
        overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (!WriteFile(port, sent + offset, length, NULL, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            CloseHandle(overlapped.hEvent);
            return 1;
        }
        GetOverlappedResult(port, &overlapped, &written, TRUE);
        CloseHandle(overlapped.hEvent);
        offset += written;
    }
    return 0;
}

int main(void)
{
    ULONG slot = RigBegin();
    HANDLE writer;
    DWORD offset = 0, i, start, first = 0xFFFFFFFF;
    DWORD writerResult = 1;
    for (i = 0; i < TOTAL; i++) sent[i] = (UCHAR)((i * 131) ^ (i >> 8));
    RigSet(slot, KdxBusEcho, 1);
    port = RigOpenPort(TRUE);
    RigSetTimeouts(port, 0, 0, 2000, 0, 5000);

    start = GetTickCount();
    writer = CreateThread(NULL, 0, Writer, NULL, 0, NULL);
    while (offset < TOTAL && GetTickCount() - start < 60000) {
        DWORD got = 0, length = 1 + (offset * 7) % 3000;
        OVERLAPPED overlapped;
        if (length > TOTAL - offset) length = TOTAL - offset;
        memset(&overlapped, 0, sizeof(overlapped));
        overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (ReadFile(port, received + offset, length, NULL, &overlapped) ||
            GetLastError() == ERROR_IO_PENDING) {
            GetOverlappedResult(port, &overlapped, &got, TRUE);
        }
        CloseHandle(overlapped.hEvent);
        offset += got;
    }
    WaitForSingleObject(writer, 60000);
    GetExitCodeThread(writer, &writerResult);
    CloseHandle(writer);

    CHECK_EQ(0, writerResult, "the writer wrote everything");
    CHECK_EQ(TOTAL, offset, "bytes echoed back");
    for (i = 0; i < offset && first == 0xFFFFFFFF; i++) {
        if (received[i] != sent[i]) first = i;
    }
    CHECK(first == 0xFFFFFFFF, "the echoed bytes match what was sent (first difference at %ld)",
          (long)first);
    printf("echoed %lu bytes in %lu ms\n", offset, GetTickCount() - start);
    CloseHandle(port);
    RigEnd(slot);
    return RigFinish();
}
