/* What the rig's Win32 test programs share: the simulated bus's control device, the port's
 * arrival and departure, and checks that print what they saw. Programs use kernel32 (and the
 * control device) only, as an application would. */
#ifndef KDX_RIG_H
#define KDX_RIG_H

#include <windows.h>
#include <winioctl.h>
#include <stdio.h>

#include "kdxbus_control.h"

#define KDX_NUMBERED_PRODUCT 0x005B
#define KDX_PORT_PATH L"\\\\.\\VLT0"
#define KDX_PORT_NAME L"VLT0"

/* Checks: each prints "ok" or "FAIL" with what it compared; RigFinish prints the totals. */
extern int RigPassed, RigFailed;
#define CHECK(condition, ...)                                                                 \
    RigCheck((condition) ? 1 : 0, __FILE__, __LINE__, __VA_ARGS__)
#define CHECK_EQ(expected, actual, what)                                                      \
    RigCheckEqual((long long)(expected), (long long)(actual), __FILE__, __LINE__, what)
void RigCheck(int ok, const char* file, int line, const char* format, ...);
void RigCheckEqual(long long expected, long long actual, const char* file, int line,
                   const char* what);
int RigFinish(void);
/* Stops the program at once with a failure: for set-up without which nothing else can run. */
void RigFatal(const char* format, ...);

/* The bus's control device. */
HANDLE RigBus(void);
ULONG RigPlug(USHORT productId, USHORT maxPacketSize);
/* Plugs a device with a fixed instance ID, whose registry keys are known before it arrives. */
ULONG RigPlugInstance(USHORT productId, ULONG instanceId);
void RigUnplug(ULONG slot);
void RigOffer(ULONG slot, const void* bytes, ULONG length);
/* The bulk-OUT transfers since the last take: their count, lengths and bytes concatenated. */
typedef struct RIG_OUT {
    ULONG Count;
    ULONG Lengths[256];
    ULONG Total;
    UCHAR Bytes[KDXBUS_OUT_LOG_CAPACITY];
} RIG_OUT;
void RigTakeOut(ULONG slot, RIG_OUT* out);
void RigSet(ULONG slot, ULONG kind, ULONG value);
void RigFailNext(ULONG slot, BOOL in, ULONG count, LONG status, LONG usbdStatus);
KDXBUS_STATE RigQuery(ULONG slot);

/* Waits (up to 20 s) until the DOS name exists or, with present FALSE, until it is gone. */
BOOL RigWaitForName(const WCHAR* name, BOOL present);

/* Plugs a product-0x005B device and waits for VLT0; RigEnd unplugs it and waits for the name
 * to go, so that the next program finds VLT0 free. */
ULONG RigBegin(void);
ULONG RigBeginInstance(ULONG instanceId);
void RigEnd(ULONG slot);

/* Opens the port for overlapped or plain I/O. */
HANDLE RigOpenPort(BOOL overlapped);
/* Checks that GetCommState succeeds and reports `baudRate` with 8 data bits, no parity and
 * one stop bit. */
void RigCheckCommState(HANDLE port, DWORD baudRate);
void RigSetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant,
                    DWORD writeMultiplier, DWORD writeConstant);
/* The bytes ClearCommError reports in the input queue, or 0xFFFFFFFF when it fails. */
DWORD RigInQueue(HANDLE port);
/* Polls RigInQueue every 10 ms, for at most `milliseconds`, until it reports `count`. */
BOOL RigWaitForInQueue(HANDLE port, DWORD count, DWORD milliseconds);

#endif
