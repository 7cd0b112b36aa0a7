/* Writes as the device sees them: one bulk-OUT transfer per write, a zero-length packet after a
 * write of whole packets, nothing for an empty write, and more than 4096 bytes refused. */
#include "rig.h"

static UCHAR pattern[4097];

/* Writes `length` bytes and checks what reached the device: the transfers' lengths. */
static void WriteAndExpect(HANDLE port, ULONG slot, DWORD length, ULONG transfers,
                           const ULONG* lengths)
{
    static RIG_OUT out;
    DWORD written = 12345;
    ULONG i;
    BOOL ok = WriteFile(port, pattern, length, &written, NULL);
    CHECK(ok, "WriteFile of %lu bytes succeeds", length);
    CHECK_EQ(length, written, "bytes written");
    RigTakeOut(slot, &out);
    CHECK_EQ(transfers, out.Count, "bulk-OUT transfers the device received");
    for (i = 0; i < transfers && i < out.Count; i++) {
        CHECK_EQ(lengths[i], out.Lengths[i], "transfer length");
    }
    CHECK(out.Total == length && memcmp(out.Bytes, pattern, length) == 0,
          "the device received the %lu bytes in order", length);
}

int main(void)
{
    ULONG slot = RigBegin();
    HANDLE port = RigOpenPort(FALSE);
    static const ULONG one[] = {1}, packet[] = {64, 0}, page[] = {4096, 0}, odd[] = {100};
    static RIG_OUT out;
    DWORD written = 0, i, error;
    BOOL ok;
    for (i = 0; i < sizeof(pattern); i++) pattern[i] = (UCHAR)(i * 7 + 3);
    RigSetTimeouts(port, 0, 0, 0, 0, 5000);

    WriteAndExpect(port, slot, 0, 0, NULL);
    WriteAndExpect(port, slot, 1, 1, one);
    WriteAndExpect(port, slot, 64, 2, packet);
    WriteAndExpect(port, slot, 100, 1, odd);
    WriteAndExpect(port, slot, 4096, 2, page);

    ok = WriteFile(port, pattern, 4097, &written, NULL);
    error = GetLastError();
    CHECK(!ok, "WriteFile of 4097 bytes is refused");
    CHECK_EQ(ERROR_INVALID_PARAMETER, error, "the refusal's error");
    RigTakeOut(slot, &out);
    CHECK_EQ(0, out.Count, "nothing of the refused write reached the device");

    CloseHandle(port);
    RigEnd(slot);
    return RigFinish();
}
