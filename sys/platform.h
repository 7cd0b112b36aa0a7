// The driver's one platform header.
//
// On Windows it includes the toolchain's DDK headers; on the host it includes host/include,
// which declares the same names with the same x64 layouts. The include path chooses: the build
// puts the DDK directory or host/include first. What differs between the two is collected here.
#pragma once

#if defined(_WIN32)

#include <ntddk.h>
#include <usb.h>
// The toolchain's usbdlib.h declares the USBD.SYS routines without C linkage.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>
#include <ntddser.h>

// Wide literals: WCHAR is the 16-bit wchar_t on Windows.
#define KDX_TEXT(text) L##text

// Annotations that the cross toolchain's headers lack.
#ifndef _Use_decl_annotations_
#define _Use_decl_annotations_
#endif
#ifndef _Dispatch_type_
#define _Dispatch_type_(type)
#endif
#ifndef _IRQL_requires_
#define _IRQL_requires_(irql)
#endif
#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(irql)
#endif
#ifndef _IRQL_requires_min_
#define _IRQL_requires_min_(irql)
#endif
#ifndef _IRQL_requires_same_
#define _IRQL_requires_same_
#endif
#ifndef _Requires_lock_held_
#define _Requires_lock_held_(lock)
#endif
#ifndef _Requires_lock_not_held_
#define _Requires_lock_not_held_(lock)
#endif
#ifndef _Guarded_by_
#define _Guarded_by_(lock)
#endif

#else

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <ntddser.h>

// Wide literals: WCHAR is char16_t on the host, where wchar_t is 32 bits wide.
#define KDX_TEXT(text) u##text

#endif

// Record sizes that the driver relies on, checked in both builds.
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk URB layout");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "select-configuration URB layout");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor URB layout");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe-request URB layout");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "pipe information layout");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "interface information layout");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor layout");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor layout");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "capabilities record layout");
static_assert(sizeof(KSPIN_LOCK) == 8, "spin lock layout");
static_assert(sizeof(KEVENT) == 24, "event layout");
static_assert(sizeof(KTIMER) == 64, "timer layout");
static_assert(sizeof(KDPC) == 64, "DPC layout");
static_assert(sizeof(WORK_QUEUE_ITEM) == 32, "work item layout");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "stack location layout");
static_assert(sizeof(IRP) == 208, "IRP layout");
static_assert(sizeof(UNICODE_STRING) == 16, "counted string layout");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS layout");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS layout");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW layout");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS layout");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS layout");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP layout");
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44, "SERIAL_BASIC_SETTINGS layout");
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION layout");
static_assert(sizeof(FILE_POSITION_INFORMATION) == 8, "FILE_POSITION_INFORMATION layout");
static_assert(sizeof(ULONG) == 4 && sizeof(PVOID) == 8, "LLP64 data model");
