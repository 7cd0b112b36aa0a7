// The USB driver interface library (USBD.SYS): parsing a configuration descriptor for
// interface descriptors, and building a select-configuration request for a list of them.
#include <usbdlib.h>

#include "kernel.h"

using namespace host;

namespace {

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || LONG(actual) == wanted; }

ULONG InterfaceInformationSize(ULONG pipes)
{
    return ULONG(sizeof(USBD_INTERFACE_INFORMATION)) + pipes * sizeof(USBD_PIPE_INFORMATION) -
           sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace

// Walks the descriptors from the start position to wTotalLength and returns the first
// interface descriptor that matches; -1 matches anything. A descriptor whose length is too
// short or runs past the end stops the walk, so a malformed configuration is never read out
// of bounds.
extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol)
{
    auto* base = reinterpret_cast<PUCHAR>(configurationDescriptor);
    PUCHAR end = base + configurationDescriptor->wTotalLength;
    auto* position = static_cast<PUCHAR>(startPosition);
    if (position < base || position > end) return nullptr;
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        UCHAR length = position[0];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || position + length > end) return nullptr;
        if (position[1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
            length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(position);
            if (Matches(interfaceNumber, interface->bInterfaceNumber) &&
                Matches(alternateSetting, interface->bAlternateSetting) &&
                Matches(interfaceClass, interface->bInterfaceClass) &&
                Matches(interfaceSubClass, interface->bInterfaceSubClass) &&
                Matches(interfaceProtocol, interface->bInterfaceProtocol)) {
                return interface;
            }
        }
        position += length;
    }
    return nullptr;
}

// Allocates (from non-paged pool; the caller frees it) a select-configuration URB with one
// interface information per list entry up to the first empty one, each with as many pipes as
// its interface has endpoints and the default maximum transfer size, and points every entry's
// Interface at its information in the URB.
extern "C" PURB USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PUSBD_INTERFACE_LIST_ENTRY interfaceList)
{
    ULONG size =
        ULONG(sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION));
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor != nullptr;
         entry++) {
        size += InterfaceInformationSize(entry->InterfaceDescriptor->bNumEndpoints);
    }
    if (size > MAXUSHORT) return nullptr;
    auto* urb = static_cast<PURB>(Kernel::Current().pool.Allocate(
        NonPagedPool, size, CallSite{"", 0, "USBD_CreateConfigurationRequestEx"}));
    if (urb == nullptr) return nullptr;
    memset(urb, 0, size);
    urb->UrbHeader.Length = USHORT(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
    auto* information = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor != nullptr;
         entry++) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        ULONG length = InterfaceInformationSize(descriptor->bNumEndpoints);
        information->Length = USHORT(length);
        information->InterfaceNumber = descriptor->bInterfaceNumber;
        information->AlternateSetting = descriptor->bAlternateSetting;
        information->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG i = 0; i < information->NumberOfPipes; i++) {
            information->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = information;
        information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
            reinterpret_cast<PUCHAR>(information) + length);
    }
    return urb;
}
