// Device interfaces: which symbolic links a device exposes for an interface
// class, as IoGetDeviceInterfaces reports them.
#include "host/kernel_internal.h"

#include <cstring>
#include <mutex>

namespace kv::kernel {

namespace {

struct InterfaceEntry {
    GUID classGuid;
    PDEVICE_OBJECT device;  // null once the device is gone
    std::u16string link;
    bool enabled;
};

std::mutex gMutex;
std::vector<InterfaceEntry> gInterfaces;

InterfaceEntry* FindLocked(std::u16string_view link)
{
    for (auto& entry : gInterfaces) {
        if (detail::EqualNoCase(entry.link, link)) {
            return &entry;
        }
    }
    return nullptr;
}

std::u16string LowerGuidText(const GUID& guid)
{
    std::u16string text = ToUtf16(detail::GuidText(guid));
    for (auto& c : text) {
        if (c >= u'A' && c <= u'F') {
            c = static_cast<char16_t>(c + 0x20);
        }
    }
    return text;
}

}  // namespace

void detail::ResetInterfaces()
{
    std::lock_guard lock(gMutex);
    gInterfaces.clear();
}

void detail::ForgetDeviceInterfaces(PDEVICE_OBJECT device)
{
    // The interfaces stay known (as the registry keeps them) but inactive and
    // no longer tied to the device object, whose address may be reused.
    std::lock_guard lock(gMutex);
    for (auto& entry : gInterfaces) {
        if (entry.device == device) {
            entry.device = nullptr;
            entry.enabled = false;
        }
    }
}

namespace interfaces {

void Register(const GUID& classGuid, PDEVICE_OBJECT physicalDevice, std::string_view symbolicLink, bool enabled)
{
    std::u16string link = ToUtf16(symbolicLink);
    std::lock_guard lock(gMutex);
    if (InterfaceEntry* existing = FindLocked(link)) {
        existing->classGuid = classGuid;
        existing->device = physicalDevice;
        existing->enabled = enabled;
        return;
    }
    gInterfaces.push_back(InterfaceEntry{classGuid, physicalDevice, std::move(link), enabled});
}

void SetEnabled(std::string_view symbolicLink, bool enabled)
{
    std::lock_guard lock(gMutex);
    if (InterfaceEntry* entry = FindLocked(ToUtf16(symbolicLink))) {
        entry->enabled = enabled;
    }
}

std::vector<std::string> Links(const GUID& classGuid, PDEVICE_OBJECT physicalDevice, bool includeDisabled)
{
    std::vector<std::string> links;
    std::lock_guard lock(gMutex);
    for (auto& entry : gInterfaces) {
        if (IsEqualGUIDBytes(entry.classGuid, classGuid) &&
            (physicalDevice == nullptr || entry.device == physicalDevice) && (entry.enabled || includeDisabled)) {
            links.push_back(ToUtf8(entry.link));
        }
    }
    return links;
}

}  // namespace interfaces
}  // namespace kv::kernel

using namespace kv::kernel;

extern "C" {

NTSTATUS NTAPI IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject,
                                     ULONG Flags, PWSTR* SymbolicLinkList)
{
    CheckPassive("IoGetDeviceInterfaces");
    if (SymbolicLinkList == nullptr || InterfaceClassGuid == nullptr) {
        RecordViolation("IoGetDeviceInterfaces with a null class or result pointer");
        return STATUS_INVALID_PARAMETER;
    }
    *SymbolicLinkList = nullptr;
    if (auto failure = ConsumeInjectedFailure("IoGetDeviceInterfaces")) {
        return *failure;
    }
    if (PhysicalDeviceObject != nullptr && !io::IsPhysicalDevice(PhysicalDeviceObject)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    bool includeNonActive = (Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE) != 0;
    std::u16string list;
    {
        std::lock_guard lock(gMutex);
        for (auto& entry : gInterfaces) {
            if (IsEqualGUIDBytes(entry.classGuid, *InterfaceClassGuid) &&
                (PhysicalDeviceObject == nullptr || entry.device == PhysicalDeviceObject) &&
                (entry.enabled || includeNonActive)) {
                list += entry.link;
                list.push_back(u'\0');
            }
        }
    }
    // The list ends with an empty string; an empty list is that string alone.
    list.push_back(u'\0');
    if (list.size() < 2) {
        list.push_back(u'\0');
    }
    auto* buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, list.size() * sizeof(WCHAR), detail::kKernelListTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, list.data(), list.size() * sizeof(WCHAR));
    *SymbolicLinkList = buffer;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    CheckPassive("IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        RecordViolation("IoRegisterDeviceInterface with a null class or result pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (!io::IsPhysicalDevice(PhysicalDeviceObject)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string_view reference;
    if (ReferenceString != nullptr &&
        (!detail::ViewOf(ReferenceString, &reference) || reference.find(u'\\') != std::u16string_view::npos)) {
        return STATUS_INVALID_PARAMETER;
    }
    // \??\<instance with '#' for '\'>#{class}[\reference]
    std::u16string link = u"\\??\\" + ToUtf16(io::InstanceId(PhysicalDeviceObject));
    for (size_t i = 4; i < link.size(); ++i) {
        if (link[i] == u'\\') {
            link[i] = u'#';
        }
    }
    link += u"#" + LowerGuidText(*InterfaceClassGuid);
    if (!reference.empty()) {
        link += u"\\";
        link += reference;
    }
    if (link.size() * sizeof(WCHAR) > 0xFFFC) {
        return STATUS_NAME_TOO_LONG;
    }
    auto* buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, (link.size() + 1) * sizeof(WCHAR), detail::kKernelStringTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.c_str(), (link.size() + 1) * sizeof(WCHAR));
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(SymbolicLinkName->Length + sizeof(WCHAR));
    std::lock_guard lock(gMutex);
    if (InterfaceEntry* existing = FindLocked(link)) {
        existing->device = PhysicalDeviceObject;
    } else {
        gInterfaces.push_back(InterfaceEntry{*InterfaceClassGuid, PhysicalDeviceObject, std::move(link), false});
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    CheckPassive("IoSetDeviceInterfaceState");
    std::u16string_view link;
    if (!detail::ViewOf(SymbolicLinkName, &link)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(gMutex);
    InterfaceEntry* entry = FindLocked(link);
    if (entry == nullptr || entry->device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (Enable && entry->enabled) {
        return STATUS_OBJECT_NAME_EXISTS;
    }
    entry->enabled = Enable != FALSE;
    return STATUS_SUCCESS;
}

}  // extern "C"
