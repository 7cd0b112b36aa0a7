/* Reads with the timeouts programs use: a polling reader, a blocking reader, a total timeout and
 * an interval timeout. The device's bytes arrive through the driver's receive pump. */
#include "rig.h"

static DWORD Read(HANDLE port, UCHAR* buffer, DWORD length, BOOL* ok)
{
    DWORD got = 0;
    *ok = ReadFile(port, buffer, length, &got, NULL);
    return got;
}

typedef struct LATE_OFFER {
    ULONG Slot;
    DWORD DelayMs;
    const char* Bytes;
} LATE_OFFER;

static DWORD WINAPI OfferLater(void* context)
{
    LATE_OFFER* offer = (LATE_OFFER*)context;
    Sleep(offer->DelayMs);
    RigOffer(offer->Slot, offer->Bytes, (ULONG)strlen(offer->Bytes));
    return 0;
}

int main(void)
{
    ULONG slot = RigBegin();
    HANDLE port = RigOpenPort(FALSE), thread;
    UCHAR buffer[64];
    DWORD got, start, elapsed;
    BOOL ok;
    int polls;
    LATE_OFFER offer;

    /* The driver starts fetching the device's bytes with the first write or waiting read of
     * an open, as a program that sends a command and then polls for the answer does. */
    RigSetTimeouts(port, MAXDWORD, 0, 0, 0, 1000);
    CHECK(WriteFile(port, "?", 1, &got, NULL), "a one-byte command is written");

    /* Polling: MAXDWORD/0/0 returns at once with what is buffered, even nothing. */
    got = Read(port, buffer, sizeof(buffer), &ok);
    CHECK(ok && got == 0, "a polling read with nothing buffered returns 0 bytes at once (%lu)",
          got);
    RigOffer(slot, "hello", 5);
    for (polls = 0, got = 0; polls < 100 && got == 0; polls++) {
        got = Read(port, buffer, sizeof(buffer), &ok);
        if (got == 0) Sleep(20);
    }
    CHECK(got == 5 && memcmp(buffer, "hello", 5) == 0, "polling reads fetch the 5 offered bytes "
                                                        "(%lu)", got);

    /* Blocking: with 0/0/0 a read waits for the device's next bytes and returns with them. */
    RigSetTimeouts(port, 0, 0, 0, 0, 0);
    offer.Slot = slot;
    offer.DelayMs = 300;
    offer.Bytes = "0123456789";
    thread = CreateThread(NULL, 0, OfferLater, &offer, 0, NULL);
    got = Read(port, buffer, 10, &ok);
    CHECK(ok && got == 10 && memcmp(buffer, "0123456789", 10) == 0,
          "a blocking read of 10 waits for the 10 bytes sent 300 ms later (%lu)", got);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    /* A total timeout: 0/0/400 with nothing coming ends after about 400 ms with 0 bytes. */
    RigSetTimeouts(port, 0, 0, 400, 0, 0);
    start = GetTickCount();
    got = Read(port, buffer, 10, &ok);
    elapsed = GetTickCount() - start;
    CHECK(got == 0, "a read with a 400 ms total timeout and no data returns 0 bytes (ok %d, "
                    "error %lu)", ok, ok ? 0 : GetLastError());
    CHECK(elapsed >= 300 && elapsed < 5000, "it ended after the timeout (%lu ms)", elapsed);

    /* A total timeout with part of the data: the read returns what came. */
    RigOffer(slot, "abc", 3);
    got = Read(port, buffer, 10, &ok);
    CHECK(got == 3 && memcmp(buffer, "abc", 3) == 0,
          "a timed read of 10 with 3 bytes sent returns those 3 (%lu)", got);

    CloseHandle(port);
    RigEnd(slot);
    return RigFinish();
}
