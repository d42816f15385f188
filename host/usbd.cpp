// The configuration helpers of the USB stack's library (USBD.SYS): finding
// an interface setting in a configuration descriptor, and building the
// SELECT_CONFIGURATION request for a list of interfaces. The descriptor is
// walked with every length checked, as it comes from the device.
#include <cstring>

#include "host/kernel.h"
#include "platform/usb.h"

namespace {

constexpr ULONG kUsbdTag = KV_POOL_TAG('U', 's', 'b', 'd');

// The endpoints of the setting that `interfaceDescriptor` opens, or -1 when
// the descriptors behind it are malformed.
LONG CountEndpoints(PUSB_CONFIGURATION_DESCRIPTOR configuration, const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor)
{
    const auto* start = reinterpret_cast<const UCHAR*>(configuration);
    const ULONG total = configuration->wTotalLength;
    ULONG at = static_cast<ULONG>(reinterpret_cast<const UCHAR*>(interfaceDescriptor) - start) +
               interfaceDescriptor->bLength;
    LONG count = 0;
    while (at + 2 <= total) {
        const UCHAR length = start[at];
        if (length < 2 || length > total - at) return -1;
        if (start[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (start[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) ++count;
        at += length;
    }
    return count;
}

}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == nullptr ||
        ConfigurationDescriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return nullptr;
    }
    auto* start = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    ULONG at = ConfigurationDescriptor->bLength;
    if (StartPosition != nullptr) {
        const auto* position = static_cast<PUCHAR>(StartPosition);
        if (position < start || position > start + total) return nullptr;
        at = static_cast<ULONG>(position - start);
    }
    while (at + 2 <= total) {
        const UCHAR length = start[at];
        if (length < 2 || length > total - at) return nullptr;
        if (start[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(start + at);
            if ((InterfaceNumber == -1 || d->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || d->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || d->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || d->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || d->bInterfaceProtocol == InterfaceProtocol)) {
                return d;
            }
        }
        at += length;
    }
    return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
    // The request: its header, then one interface record per entry with room
    // for that setting's pipes.
    ULONG size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG entries = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        const LONG pipes = CountEndpoints(ConfigurationDescriptor, entry->InterfaceDescriptor);
        if (pipes < 0 || pipes != entry->InterfaceDescriptor->bNumEndpoints || pipes > 30) return nullptr;
        size += pipes > 0 ? GET_USBD_INTERFACE_SIZE(static_cast<ULONG>(pipes))
                          : FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
        ++entries;
    }
    if (entries == 0) return nullptr;
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (size > 0xFFFF) return nullptr;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        const ULONG pipes = entry->InterfaceDescriptor->bNumEndpoints;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        info->Length = static_cast<USHORT>(pipes > 0 ? GET_USBD_INTERFACE_SIZE(pipes)
                                                     : FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes));
        info->InterfaceNumber = entry->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = entry->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i) info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        entry->Interface = info;
        at += info->Length;
    }
    return urb;
}

}  // extern "C"
