// The registry: a tree of keys with typed values, key handles as real table
// entries, and the kernel routines that read and write it.
//
// Access masks are recorded but not enforced: kernel callers of the Zw
// routines are trusted by the real kernel too. Names are case-insensitive.
#include "host/registry_tree.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#ifndef STATUS_CANNOT_DELETE
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#endif

namespace kv::kernel {

namespace detail {

namespace {

struct HandleEntry {
    std::shared_ptr<Key> key;
    ACCESS_MASK access;
    uint64_t serial;
};

struct RegistryState {
    std::shared_ptr<Key> root;
    std::unordered_map<ULONG_PTR, HandleEntry> handles;
    uint64_t handleSerial = 0;
};

// Kernel handles have the top bit set and are multiples of four; they are
// never reused within a run, so a closed handle stays invalid.
#if defined(__i386__)
constexpr ULONG_PTR kKernelHandleBase = 0x80000000u;
#else
constexpr ULONG_PTR kKernelHandleBase = 0xFFFFFFFF80000000ull;
#endif
constexpr size_t kMaximumOpenHandles = 100000;
constexpr size_t kMaximumQueryTableEntries = 1024;

std::recursive_mutex gMutex;
RegistryState gState;

const std::u16string kMachine = u"\\REGISTRY\\MACHINE";

// Base keys present in every registry (the hive roots and the parents of the
// keys the drivers and the plug and play manager create).
const char16_t* const kBaseKeys[] = {
    u"MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}",
    u"MACHINE\\SYSTEM\\CurrentControlSet\\Services",
    u"MACHINE\\SYSTEM\\CurrentControlSet\\Enum",
    u"MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
    u"USER\\.DEFAULT",
};

}  // namespace

std::recursive_mutex& RegistryMutex()
{
    return gMutex;
}

std::shared_ptr<Key>& RegistryRoot()
{
    return gState.root;
}

size_t OpenHandleCountLocked()
{
    return gState.handles.size();
}

RegValue* Key::FindValue(std::u16string_view valueName)
{
    auto it = valueIndex.find(Folded(valueName));
    return it == valueIndex.end() ? nullptr : &values[it->second];
}

std::shared_ptr<Key> Key::Child(std::u16string_view childName) const
{
    auto it = children.find(Folded(childName));
    return it == children.end() ? nullptr : it->second;
}

std::shared_ptr<Key> Key::AddChild(std::u16string_view childName, bool volatileKey)
{
    auto child = std::make_shared<Key>();
    child->name = childName;
    child->parent = this;
    child->isVolatile = volatileKey;
    children[Folded(childName)] = child;
    return child;
}

void Key::SetValue(std::u16string_view valueName, ULONG type, std::vector<uint8_t> data)
{
    if (RegValue* existing = FindValue(valueName)) {
        existing->type = type;
        existing->data = std::move(data);
        return;
    }
    valueIndex.emplace(Folded(valueName), values.size());
    values.push_back(RegValue{std::u16string(valueName), type, std::move(data)});
}

bool Key::DeleteValue(std::u16string_view valueName)
{
    auto it = valueIndex.find(Folded(valueName));
    if (it == valueIndex.end()) {
        return false;
    }
    const size_t place = it->second;
    valueIndex.erase(it);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(place));
    for (size_t i = place; i < values.size(); ++i) {
        valueIndex[Folded(values[i].name)] = i;
    }
    return true;
}

void Key::MarkDeleted()
{
    for (auto& [folded, child] : children) {
        child->MarkDeleted();
    }
    children.clear();
    values.clear();
    valueIndex.clear();
    deleted = true;
    parent = nullptr;
}

std::u16string Key::Path() const
{
    if (parent == nullptr) {
        return deleted ? u"(deleted key " + name + u")" : u"\\" + name;
    }
    return parent->Path() + u"\\" + name;
}

std::shared_ptr<Key> NewBaseTree()
{
    auto root = std::make_shared<Key>();
    root->name = u"REGISTRY";
    for (const char16_t* path : kBaseKeys) {
        std::vector<std::u16string> parts;
        SplitKeyPath(path, &parts);
        WalkCreate(root, parts);
    }
    // The hardware key is rebuilt at every boot: it is volatile.
    auto machine = root->Child(u"MACHINE");
    machine->AddChild(u"HARDWARE", true)->AddChild(u"DEVICEMAP", true);
    return root;
}

std::shared_ptr<Key> CloneTree(const Key& key, Key* parent)
{
    auto copy = std::make_shared<Key>();
    copy->name = key.name;
    copy->parent = parent;
    copy->values = key.values;
    copy->valueIndex = key.valueIndex;
    copy->isVolatile = key.isVolatile;
    for (auto& [folded, child] : key.children) {
        copy->children[folded] = CloneTree(*child, copy.get());
    }
    return copy;
}

bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string>* parts)
{
    parts->clear();
    if (path.empty()) {
        return true;
    }
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (part.empty() || part.size() > kMaximumKeyNameLength) {
            return false;
        }
        parts->emplace_back(part);
        if (end == std::u16string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& from, const std::vector<std::u16string>& parts)
{
    std::shared_ptr<Key> key = from;
    for (const auto& part : parts) {
        if (key == nullptr) {
            return nullptr;
        }
        key = key->Child(part);
    }
    return key;
}

std::shared_ptr<Key> WalkCreate(const std::shared_ptr<Key>& from, const std::vector<std::u16string>& parts)
{
    std::shared_ptr<Key> key = from;
    for (const auto& part : parts) {
        auto child = key->Child(part);
        key = child != nullptr ? child : key->AddChild(part, false);
    }
    return key;
}

void ResetRegistry()
{
    std::lock_guard lock(gMutex);
    gState.handles.clear();
    gState.root = NewBaseTree();
}

}  // namespace detail

using detail::Key;
using detail::RegValue;

namespace {

std::recursive_mutex& Mutex()
{
    return detail::RegistryMutex();
}

detail::RegistryState& State();

// \REGISTRY\... (kernel) or HKEY_LOCAL_MACHINE\..., HKLM\..., HKEY_USERS\..., HKU\...
// (the export file's spelling) as components below \REGISTRY.
bool ParseHostPath(std::string_view utf8, std::vector<std::u16string>* parts)
{
    std::u16string path = ToUtf16(utf8);
    auto startsWith = [&](std::u16string_view prefix) {
        return path.size() >= prefix.size() && detail::EqualNoCase(std::u16string_view(path).substr(0, prefix.size()), prefix) &&
               (path.size() == prefix.size() || path[prefix.size()] == u'\\');
    };
    std::u16string rest;
    if (startsWith(u"\\REGISTRY")) {
        rest = path.substr(std::min<size_t>(path.size(), 10));
    } else if (startsWith(u"HKEY_LOCAL_MACHINE")) {
        rest = u"MACHINE" + path.substr(18);
    } else if (startsWith(u"HKLM")) {
        rest = u"MACHINE" + path.substr(4);
    } else if (startsWith(u"HKEY_USERS")) {
        rest = u"USER" + path.substr(10);
    } else if (startsWith(u"HKU")) {
        rest = u"USER" + path.substr(3);
    } else {
        return false;
    }
    return detail::SplitKeyPath(rest, parts);
}

std::u16string ValueNameOf(std::string_view utf8)
{
    return ToUtf16(utf8);
}

std::shared_ptr<Key> HostKey(std::string_view path)
{
    std::vector<std::u16string> parts;
    if (!ParseHostPath(path, &parts)) {
        return nullptr;
    }
    return detail::Walk(detail::RegistryRoot(), parts);
}

}  // namespace

// ----------------------------------------------------------- C++ side ----
namespace registry {

bool KeyExists(std::string_view path)
{
    std::lock_guard lock(Mutex());
    return HostKey(path) != nullptr;
}

void CreateKey(std::string_view path)
{
    std::vector<std::u16string> parts;
    if (!ParseHostPath(path, &parts)) {
        RecordViolation("registry::CreateKey: not a registry path: " + std::string(path));
        return;
    }
    std::lock_guard lock(Mutex());
    detail::WalkCreate(detail::RegistryRoot(), parts);
}

bool DeleteKey(std::string_view path)
{
    std::lock_guard lock(Mutex());
    auto key = HostKey(path);
    if (key == nullptr || key->parent == nullptr || key->parent == detail::RegistryRoot().get()) {
        return false;
    }
    key->parent->children.erase(detail::Folded(key->name));
    key->MarkDeleted();
    return true;
}

std::vector<std::string> SubkeyNames(std::string_view path)
{
    std::vector<std::string> names;
    std::lock_guard lock(Mutex());
    if (auto key = HostKey(path)) {
        for (auto& [folded, child] : key->children) {
            names.push_back(ToUtf8(child->name));
        }
    }
    return names;
}

std::vector<std::string> ValueNames(std::string_view path)
{
    std::vector<std::string> names;
    std::lock_guard lock(Mutex());
    if (auto key = HostKey(path)) {
        for (auto& value : key->values) {
            names.push_back(ToUtf8(value.name));
        }
    }
    return names;
}

void SetValue(std::string_view path, std::string_view name, Value value)
{
    std::vector<std::u16string> parts;
    if (!ParseHostPath(path, &parts)) {
        RecordViolation("registry::SetValue: not a registry path: " + std::string(path));
        return;
    }
    std::lock_guard lock(Mutex());
    detail::WalkCreate(detail::RegistryRoot(), parts)->SetValue(ValueNameOf(name), value.type, std::move(value.data));
}

void SetDword(std::string_view path, std::string_view name, uint32_t value)
{
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    SetValue(path, name, Value{REG_DWORD, std::move(data)});
}

void SetString(std::string_view path, std::string_view name, std::string_view utf8, ULONG type)
{
    std::u16string text = ToUtf16(utf8);
    text.push_back(u'\0');
    std::vector<uint8_t> data(text.size() * sizeof(char16_t));
    std::memcpy(data.data(), text.data(), data.size());
    SetValue(path, name, Value{type, std::move(data)});
}

bool DeleteValue(std::string_view path, std::string_view name)
{
    std::lock_guard lock(Mutex());
    auto key = HostKey(path);
    return key != nullptr && key->DeleteValue(ValueNameOf(name));
}

std::optional<Value> GetValue(std::string_view path, std::string_view name)
{
    std::lock_guard lock(Mutex());
    auto key = HostKey(path);
    if (key == nullptr) {
        return std::nullopt;
    }
    RegValue* value = key->FindValue(ValueNameOf(name));
    if (value == nullptr) {
        return std::nullopt;
    }
    return Value{value->type, value->data};
}

std::optional<uint32_t> GetDword(std::string_view path, std::string_view name)
{
    auto value = GetValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) {
        return std::nullopt;
    }
    uint32_t result;
    std::memcpy(&result, value->data.data(), 4);
    return result;
}

std::optional<std::string> GetString(std::string_view path, std::string_view name)
{
    auto value = GetValue(path, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    std::u16string text(value->data.size() / 2, u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    return ToUtf8(text);
}

size_t OpenHandleCount()
{
    std::lock_guard lock(Mutex());
    return detail::OpenHandleCountLocked();
}

std::vector<std::string> OpenHandles();
std::string DriverKeyPath(PDEVICE_OBJECT physicalDevice);
std::string DeviceKeyPath(PDEVICE_OBJECT physicalDevice);

}  // namespace registry
}  // namespace kv::kernel

// ------------------------------------------------------- kernel side ----

using namespace kv::kernel;

namespace kv::kernel {
namespace {

detail::RegistryState& State()
{
    return detail::gState;
}

// Resolves a handle to its key; null when the handle is not open.
std::shared_ptr<Key> KeyOfHandle(HANDLE handle)
{
    auto it = State().handles.find(reinterpret_cast<ULONG_PTR>(handle));
    return it == State().handles.end() ? nullptr : it->second.key;
}

NTSTATUS OpenHandleLocked(const std::shared_ptr<Key>& key, ACCESS_MASK access, PHANDLE handle)
{
    if (State().handles.size() >= detail::kMaximumOpenHandles) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG_PTR value = detail::kKernelHandleBase + 4 * (++State().handleSerial);
    State().handles[value] = detail::HandleEntry{key, access, State().handleSerial};
    *handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

// Where an OBJECT_ATTRIBUTES points: the key to start from and the
// components to walk.
NTSTATUS ResolveAttributes(POBJECT_ATTRIBUTES attributes, std::shared_ptr<Key>* start,
                           std::vector<std::u16string>* parts)
{
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view name;
    if (attributes->ObjectName == nullptr) {
        name = {};
    } else if (!detail::ViewOf(attributes->ObjectName, &name)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes->RootDirectory != nullptr) {
        *start = KeyOfHandle(attributes->RootDirectory);
        if (*start == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        if ((*start)->deleted) {
            return STATUS_KEY_DELETED;
        }
        if (!name.empty() && name.front() == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
    } else {
        if (name.empty() || name.front() != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        name.remove_prefix(1);
        size_t end = name.find(u'\\');
        std::u16string_view first = name.substr(0, end);
        if (!detail::EqualNoCase(first, u"REGISTRY")) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        name = end == std::u16string_view::npos ? std::u16string_view() : name.substr(end + 1);
        if (end != std::u16string_view::npos && name.empty()) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        *start = detail::RegistryRoot();
    }
    if (!detail::SplitKeyPath(name, parts)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CreateKeyLocked(const std::shared_ptr<Key>& start, const std::vector<std::u16string>& parts,
                         bool volatileKey, std::shared_ptr<Key>* created, ULONG* disposition)
{
    if (parts.empty()) {
        *created = start;
        *disposition = REG_OPENED_EXISTING_KEY;
        return STATUS_SUCCESS;
    }
    std::vector<std::u16string> parentParts(parts.begin(), parts.end() - 1);
    auto parent = detail::Walk(start, parentParts);
    if (parent == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (auto existing = parent->Child(parts.back())) {
        *created = existing;
        *disposition = REG_OPENED_EXISTING_KEY;
        return STATUS_SUCCESS;
    }
    if (parent->isVolatile && !volatileKey) {
        return STATUS_CHILD_MUST_BE_VOLATILE;
    }
    *created = parent->AddChild(parts.back(), volatileKey);
    *disposition = REG_CREATED_NEW_KEY;
    return STATUS_SUCCESS;
}

// Value names: any characters, at most 16383 of them; a null string pointer
// is a caller fault.
bool ValueNameView(PUNICODE_STRING name, std::u16string_view* view, const char* routine)
{
    if (name == nullptr) {
        RecordViolation(std::string(routine) + " with a null value name");
        return false;
    }
    return detail::ViewOf(name, view) && view->size() <= detail::kMaximumValueNameLength;
}

std::u16string CatPath(std::u16string_view a, std::u16string_view b)
{
    std::u16string path(a);
    if (!b.empty()) {
        path += u"\\";
        path += b;
    }
    return path;
}

// The base key of an RtlXxxRegistry call and the rest of the path. For
// RTL_REGISTRY_HANDLE the key is the handle's.
NTSTATUS RtlBase(ULONG relativeTo, PCWSTR path, std::shared_ptr<Key>* start, std::vector<std::u16string>* parts)
{
    ULONG base = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if ((base & RTL_REGISTRY_HANDLE) != 0) {
        *start = KeyOfHandle(const_cast<PWSTR>(path));
        parts->clear();
        if (*start == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        return (*start)->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
    }
    std::u16string_view rest = path != nullptr ? std::u16string_view(path) : std::u16string_view();
    std::u16string full;
    switch (base) {
    case RTL_REGISTRY_ABSOLUTE:
        if (path == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        full = std::u16string(rest);
        break;
    case RTL_REGISTRY_SERVICES: full = CatPath(detail::kMachine + u"\\SYSTEM\\CurrentControlSet\\Services", rest); break;
    case RTL_REGISTRY_CONTROL: full = CatPath(detail::kMachine + u"\\SYSTEM\\CurrentControlSet\\Control", rest); break;
    case RTL_REGISTRY_WINDOWS_NT: full = CatPath(detail::kMachine + u"\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", rest); break;
    case RTL_REGISTRY_DEVICEMAP: full = CatPath(detail::kMachine + u"\\HARDWARE\\DEVICEMAP", rest); break;
    case RTL_REGISTRY_USER: full = CatPath(u"\\REGISTRY\\USER\\.DEFAULT", rest); break;
    default: return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name{static_cast<USHORT>(std::min<size_t>(full.size() * 2, 0xFFFC)),
                        static_cast<USHORT>(std::min<size_t>(full.size() * 2, 0xFFFC)), full.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ResolveAttributes(&attributes, start, parts);
}

std::u16string DataAsString(const std::vector<uint8_t>& data)
{
    std::u16string text(data.size() / 2, u'\0');
    if (!text.empty()) {
        std::memcpy(text.data(), data.data(), text.size() * 2);
    }
    return text;
}

}  // namespace
}  // namespace kv::kernel

namespace kv::kernel::detail {

std::u16string EnsureDriverKey(std::u16string_view instanceId)
{
    std::vector<std::u16string> instanceParts;
    if (instanceId.empty() || !SplitKeyPath(instanceId, &instanceParts)) {
        RecordViolation("physical device with an invalid instance id \"" + ToUtf8(instanceId) + "\"");
        return {};
    }
    static const std::vector<std::u16string> kEnum = {u"MACHINE", u"SYSTEM", u"CurrentControlSet", u"Enum"};
    static const std::vector<std::u16string> kClass = {u"MACHINE", u"SYSTEM", u"CurrentControlSet", u"Control",
                                                       u"Class"};
    const std::u16string imageClass = u"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
    std::lock_guard lock(gMutex);
    auto root = RegistryRoot();
    auto classes = WalkCreate(root, kClass);
    auto enumKey = WalkCreate(WalkCreate(root, kEnum), instanceParts);
    // The plug and play manager remembers an instance's driver key in its
    // "Driver" value, so a device seen before keeps its settings.
    if (RegValue* driver = enumKey->FindValue(u"Driver"); driver != nullptr && driver->type == REG_SZ) {
        std::u16string relative = DataAsString(driver->data);
        while (!relative.empty() && relative.back() == u'\0') {
            relative.pop_back();
        }
        std::vector<std::u16string> parts;
        if (SplitKeyPath(relative, &parts) && parts.size() == 2) {
            WalkCreate(classes, parts);
            return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + relative;
        }
    }
    auto imageKey = WalkCreate(classes, {imageClass});
    for (int index = 0; index < 10000; ++index) {
        char16_t number[5];
        for (int digit = 3, value = index; digit >= 0; --digit, value /= 10) {
            number[digit] = static_cast<char16_t>(u'0' + value % 10);
        }
        number[4] = 0;
        if (imageKey->Child(number) != nullptr) {
            continue;
        }
        imageKey->AddChild(number, false);
        std::u16string relative = imageClass + u"\\" + number;
        std::u16string text = relative;
        text.push_back(u'\0');
        std::vector<uint8_t> data(text.size() * 2);
        std::memcpy(data.data(), text.data(), data.size());
        enumKey->SetValue(u"Driver", REG_SZ, std::move(data));
        return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + relative;
    }
    RecordViolation("no free driver key number left");
    return {};
}

}  // namespace kv::kernel::detail

namespace kv::kernel::registry {

std::vector<std::string> OpenHandles()
{
    std::lock_guard lock(Mutex());
    std::vector<std::pair<uint64_t, std::string>> list;
    for (auto& [value, entry] : State().handles) {
        list.emplace_back(entry.serial, detail::PointerText(reinterpret_cast<void*>(value)) + ": " +
                                            ToUtf8(entry.key->Path()));
    }
    std::sort(list.begin(), list.end());
    std::vector<std::string> texts;
    for (auto& entry : list) {
        texts.push_back(std::move(entry.second));
    }
    return texts;
}

std::string DriverKeyPath(PDEVICE_OBJECT physicalDevice)
{
    if (!io::IsPhysicalDevice(physicalDevice)) {
        return {};
    }
    return ToUtf8(detail::EnsureDriverKey(ToUtf16(io::InstanceId(physicalDevice))));
}

std::string DeviceKeyPath(PDEVICE_OBJECT physicalDevice)
{
    if (!io::IsPhysicalDevice(physicalDevice)) {
        return {};
    }
    return "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + io::InstanceId(physicalDevice) +
           "\\Device Parameters";
}

}  // namespace kv::kernel::registry

extern "C" {

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    CheckPassive("ZwCreateKey");
    if (KeyHandle == nullptr) {
        RecordViolation("ZwCreateKey with a null handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = ConsumeInjectedFailure("ZwCreateKey")) {
        return *failure;
    }
    if ((CreateOptions & ~static_cast<ULONG>(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE |
                                              REG_OPTION_OPEN_LINK | REG_OPTION_CREATE_LINK)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(Mutex());
    std::shared_ptr<Key> start;
    std::vector<std::u16string> parts;
    NTSTATUS status = ResolveAttributes(ObjectAttributes, &start, &parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::shared_ptr<Key> key;
    ULONG disposition = 0;
    status = CreateKeyLocked(start, parts, (CreateOptions & REG_OPTION_VOLATILE) != 0, &key, &disposition);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = OpenHandleLocked(key, DesiredAccess, KeyHandle);
    if (NT_SUCCESS(status) && Disposition != nullptr) {
        *Disposition = disposition;
    }
    return status;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    CheckPassive("ZwOpenKey");
    if (KeyHandle == nullptr) {
        RecordViolation("ZwOpenKey with a null handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = ConsumeInjectedFailure("ZwOpenKey")) {
        return *failure;
    }
    std::lock_guard lock(Mutex());
    std::shared_ptr<Key> start;
    std::vector<std::u16string> parts;
    NTSTATUS status = ResolveAttributes(ObjectAttributes, &start, &parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto key = detail::Walk(start, parts);
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return OpenHandleLocked(key, DesiredAccess, KeyHandle);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength)
{
    CheckPassive("ZwQueryValueKey");
    if (ResultLength == nullptr) {
        RecordViolation("ZwQueryValueKey with a null result length pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (KeyValueInformation == nullptr && Length != 0) {
        RecordViolation("ZwQueryValueKey with a null buffer of length " + std::to_string(Length));
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view name;
    if (!ValueNameView(ValueName, &name, "ZwQueryValueKey")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = ConsumeInjectedFailure("ZwQueryValueKey")) {
        return *failure;
    }
    std::lock_guard lock(Mutex());
    auto key = KeyOfHandle(KeyHandle);
    if (key == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    RegValue* value = key->FindValue(name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* out = static_cast<PUCHAR>(KeyValueInformation);
    const auto nameBytes = static_cast<ULONG>(value->name.size() * sizeof(WCHAR));
    const auto dataBytes = static_cast<ULONG>(value->data.size());
    // Each class has a fixed part: a buffer smaller than that gets nothing
    // (BUFFER_TOO_SMALL); one that holds the fixed part but not the rest gets
    // the fixed part (BUFFER_OVERFLOW). Either way ResultLength is the size needed.
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        const ULONG needed = fixed + nameBytes;
        *ResultLength = needed;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KEY_VALUE_BASIC_INFORMATION header{0, value->type, nameBytes, {0}};
        std::memcpy(out, &header, fixed);
        ULONG copied = std::min(nameBytes, Length - fixed);
        std::memcpy(out + fixed, value->name.data(), copied);
        return Length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        // The data follows the name at a ULONG boundary (8 bytes for the Align64 class).
        ULONG align = KeyValueInformationClass == KeyValueFullInformationAlign64 ? 8 : 4;
        ULONG dataOffset = (fixed + nameBytes + align - 1) & ~(align - 1);
        const ULONG needed = dataOffset + dataBytes;
        *ResultLength = needed;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KEY_VALUE_FULL_INFORMATION header{0, value->type, dataOffset, dataBytes, nameBytes, {0}};
        std::memcpy(out, &header, fixed);
        if (Length < needed) {
            ULONG copied = std::min(nameBytes, Length - fixed);
            std::memcpy(out + fixed, value->name.data(), copied);
            return STATUS_BUFFER_OVERFLOW;
        }
        std::memcpy(out + fixed, value->name.data(), nameBytes);
        std::memset(out + fixed + nameBytes, 0, dataOffset - fixed - nameBytes);
        if (dataBytes > 0) {
            std::memcpy(out + dataOffset, value->data.data(), dataBytes);
        }
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        const ULONG needed = fixed + dataBytes;
        *ResultLength = needed;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KEY_VALUE_PARTIAL_INFORMATION header{0, value->type, dataBytes, {0}};
        std::memcpy(out, &header, fixed);
        if (Length < needed) {
            return STATUS_BUFFER_OVERFLOW;
        }
        if (dataBytes > 0) {
            std::memcpy(out + fixed, value->data.data(), dataBytes);
        }
        return STATUS_SUCCESS;
    }
    default: return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    CheckPassive("ZwSetValueKey");
    std::u16string_view name;
    if (!ValueNameView(ValueName, &name, "ZwSetValueKey")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Data == nullptr && DataSize != 0) {
        RecordViolation("ZwSetValueKey with null data of size " + std::to_string(DataSize));
        return STATUS_INVALID_PARAMETER;
    }
    if (DataSize > detail::kMaximumValueData) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (auto failure = ConsumeInjectedFailure("ZwSetValueKey")) {
        return *failure;
    }
    std::lock_guard lock(Mutex());
    auto key = KeyOfHandle(KeyHandle);
    if (key == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    auto* bytes = static_cast<const uint8_t*>(Data);
    key->SetValue(name, Type, std::vector<uint8_t>(bytes, bytes + DataSize));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    CheckPassive("ZwDeleteValueKey");
    std::u16string_view name;
    if (!ValueNameView(ValueName, &name, "ZwDeleteValueKey")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = ConsumeInjectedFailure("ZwDeleteValueKey")) {
        return *failure;
    }
    std::lock_guard lock(Mutex());
    auto key = KeyOfHandle(KeyHandle);
    if (key == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    return key->DeleteValue(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle)
{
    CheckPassive("ZwDeleteKey");
    std::lock_guard lock(Mutex());
    auto key = KeyOfHandle(KeyHandle);
    if (key == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    if (!key->children.empty() || key->parent == nullptr || key->parent == detail::RegistryRoot().get()) {
        return STATUS_CANNOT_DELETE;
    }
    key->parent->children.erase(detail::Folded(key->name));
    key->MarkDeleted();
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    CheckPassive("ZwClose");
    std::unique_lock lock(Mutex());
    if (State().handles.erase(reinterpret_cast<ULONG_PTR>(Handle)) == 0) {
        lock.unlock();
        // Closing a kernel handle that is not open stops a real system.
        RecordViolation("ZwClose of " + detail::PointerText(Handle) + " which is not an open handle");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey)
{
    CheckPassive("IoOpenDeviceRegistryKey");
    if (DevInstRegKey == nullptr) {
        RecordViolation("IoOpenDeviceRegistryKey with a null handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = ConsumeInjectedFailure("IoOpenDeviceRegistryKey")) {
        return *failure;
    }
    if (!io::IsPhysicalDevice(DeviceObject)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string instance = ToUtf16(io::InstanceId(DeviceObject));
    std::u16string path;
    const std::u16string profile = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";
    switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE:
        path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + instance + u"\\Device Parameters";
        break;
    case PLUGPLAY_REGKEY_DRIVER: path = detail::EnsureDriverKey(instance); break;
    case PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
        path = profile + u"\\System\\CurrentControlSet\\Enum\\" + instance;
        break;
    case PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE: {
        std::u16string driver = detail::EnsureDriverKey(instance);
        const std::u16string control = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\";
        if (driver.size() <= control.size()) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        path = profile + u"\\System\\CurrentControlSet\\Control\\" + driver.substr(control.size());
        break;
    }
    default: return STATUS_INVALID_PARAMETER;
    }
    if (path.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::vector<std::u16string> parts;
    if (!detail::SplitKeyPath(std::u16string_view(path).substr(10), &parts)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard lock(Mutex());
    auto key = detail::WalkCreate(detail::RegistryRoot(), parts);
    return OpenHandleLocked(key, DesiredAccess, DevInstRegKey);
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength)
{
    CheckPassive("RtlWriteRegistryValue");
    if (ValueData == nullptr && ValueLength != 0) {
        RecordViolation("RtlWriteRegistryValue with null data of length " + std::to_string(ValueLength));
        return STATUS_INVALID_PARAMETER;
    }
    if (ValueLength > detail::kMaximumValueData) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (auto failure = ConsumeInjectedFailure("RtlWriteRegistryValue")) {
        return *failure;
    }
    std::u16string name = ValueName != nullptr ? std::u16string(ValueName) : std::u16string();
    if (name.size() > detail::kMaximumValueNameLength) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(Mutex());
    std::shared_ptr<Key> start;
    std::vector<std::u16string> parts;
    NTSTATUS status = RtlBase(RelativeTo, Path, &start, &parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The key itself is created when missing, its parent must exist.
    std::shared_ptr<Key> key;
    ULONG disposition;
    status = CreateKeyLocked(start, parts, false, &key, &disposition);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* bytes = static_cast<const uint8_t*>(ValueData);
    key->SetValue(name, ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength));
    return STATUS_SUCCESS;
}

}  // extern "C"

namespace kv::kernel {
namespace {

// One value handed to a query table entry.
struct Delivery {
    std::u16string name;
    ULONG type;
    std::vector<uint8_t> data;
};

NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& entry, const Delivery& value)
{
    if (entry.EntryContext == nullptr) {
        RecordViolation("RtlQueryRegistryValues: a direct entry without EntryContext");
        return STATUS_INVALID_PARAMETER;
    }
    bool noExpand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
    bool isString = value.type == REG_SZ || value.type == REG_EXPAND_SZ || (value.type == REG_MULTI_SZ && !noExpand);
    if (isString) {
        // A UNICODE_STRING: filled when it has a buffer, else given one from pool.
        auto* string = static_cast<PUNICODE_STRING>(entry.EntryContext);
        std::u16string text = DataAsString(value.data);
        if (value.type != REG_MULTI_SZ) {
            while (!text.empty() && text.back() == u'\0') {
                text.pop_back();
            }
        }
        size_t bytes = text.size() * sizeof(WCHAR);
        if (bytes + sizeof(WCHAR) > 0xFFFE) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (string->Buffer == nullptr) {
            auto* buffer = static_cast<PWSTR>(
                ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), detail::kKernelStringTag));
            if (buffer == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            string->Buffer = buffer;
            string->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
        } else if (bytes + sizeof(WCHAR) > string->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (bytes > 0) {
            std::memcpy(string->Buffer, text.data(), bytes);
        }
        string->Buffer[text.size()] = 0;
        string->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }
    if (value.data.size() <= sizeof(ULONG)) {
        if (!value.data.empty()) {
            std::memcpy(entry.EntryContext, value.data.data(), value.data.size());
        }
        return STATUS_SUCCESS;
    }
    // Larger data: the buffer starts with its size as a LONG. Negative: only the
    // data is stored; positive: length, type, then the data.
    LONG sizeField;
    std::memcpy(&sizeField, entry.EntryContext, sizeof sizeField);
    auto* out = static_cast<uint8_t*>(entry.EntryContext);
    if (sizeField < 0) {
        if (static_cast<uint64_t>(-static_cast<int64_t>(sizeField)) < value.data.size()) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(out, value.data.data(), value.data.size());
        return STATUS_SUCCESS;
    }
    if (static_cast<uint64_t>(sizeField) < value.data.size() + 2 * sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto length = static_cast<ULONG>(value.data.size());
    std::memcpy(out, &length, sizeof length);
    std::memcpy(out + sizeof(ULONG), &value.type, sizeof(ULONG));
    std::memcpy(out + 2 * sizeof(ULONG), value.data.data(), value.data.size());
    return STATUS_SUCCESS;
}

NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const Delivery& value, PVOID context)
{
    if ((entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) {
        if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0 &&
            (entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) != value.type) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        return StoreDirect(entry, value);
    }
    if (entry.QueryRoutine == nullptr) {
        return STATUS_SUCCESS;
    }
    std::u16string name = value.name;  // the routine receives a terminated copy
    bool noExpand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
    if (value.type == REG_MULTI_SZ && !noExpand) {
        // One call per string of the list, each as a REG_SZ.
        std::u16string all = DataAsString(value.data);
        size_t start = 0;
        while (start < all.size() && all[start] != u'\0') {
            size_t end = all.find(u'\0', start);
            std::u16string one = all.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
            start = end == std::u16string::npos ? all.size() : end + 1;
            ULONG bytes = static_cast<ULONG>((one.size() + 1) * sizeof(WCHAR));
            NTSTATUS status = entry.QueryRoutine(name.data(), REG_SZ, one.data(), bytes, context, entry.EntryContext);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> data = value.data;
    // There is no environment here, so an expandable string is passed on unexpanded.
    ULONG type = value.type == REG_EXPAND_SZ && !noExpand ? REG_SZ : value.type;
    return entry.QueryRoutine(name.data(), type, data.empty() ? nullptr : data.data(),
                              static_cast<ULONG>(data.size()), context, entry.EntryContext);
}

std::optional<Delivery> DefaultOf(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    ULONG type = entry.DefaultType & 0x00FFFFFF;
    if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) == 0) {
        type = entry.DefaultType;
    }
    if (type == REG_NONE) {
        return std::nullopt;
    }
    Delivery value{entry.Name != nullptr ? std::u16string(entry.Name) : std::u16string(), type, {}};
    if (entry.DefaultData == nullptr) {
        return value;
    }
    size_t length = entry.DefaultLength;
    auto* text = static_cast<const WCHAR*>(entry.DefaultData);
    if (length == 0 && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        length = (wcslen(text) + 1) * sizeof(WCHAR);
    } else if (length == 0 && type == REG_MULTI_SZ) {
        size_t chars = 0;
        while (text[chars] != 0) {
            chars += wcslen(text + chars) + 1;
        }
        length = (chars + 1) * sizeof(WCHAR);
    }
    if (length > detail::kMaximumValueData) {
        return std::nullopt;
    }
    auto* bytes = static_cast<const uint8_t*>(entry.DefaultData);
    value.data.assign(bytes, bytes + length);
    return value;
}

}  // namespace
}  // namespace kv::kernel

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment)
{
    UNREFERENCED_PARAMETER(Environment);
    CheckPassive("RtlQueryRegistryValues");
    if (QueryTable == nullptr) {
        RecordViolation("RtlQueryRegistryValues with a null query table");
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = ConsumeInjectedFailure("RtlQueryRegistryValues")) {
        return *failure;
    }
    std::shared_ptr<Key> top;
    {
        std::lock_guard lock(Mutex());
        std::vector<std::u16string> parts;
        NTSTATUS status = RtlBase(RelativeTo, Path, &top, &parts);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // A missing key fails the query, RTL_REGISTRY_OPTIONAL or not; the
        // caller decides what a failed query means.
        top = detail::Walk(top, parts);
        if (top == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    std::shared_ptr<Key> current = top;
    for (size_t index = 0;; ++index) {
        const RTL_QUERY_REGISTRY_TABLE& entry = QueryTable[index];
        if (entry.QueryRoutine == nullptr &&
            (entry.Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)) == 0) {
            break;
        }
        if (index >= detail::kMaximumQueryTableEntries) {
            RecordViolation("RtlQueryRegistryValues: query table without an end entry");
            return STATUS_INVALID_PARAMETER;
        }
        if ((entry.Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0) {
            if (entry.Name == nullptr) {
                return STATUS_INVALID_PARAMETER;
            }
            std::vector<std::u16string> parts;
            if (!detail::SplitKeyPath(entry.Name, &parts)) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            std::lock_guard lock(Mutex());
            current = detail::Walk(top, parts);
            if (current == nullptr) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
        } else if ((entry.Flags & RTL_QUERY_REGISTRY_TOPKEY) != 0) {
            current = top;
        }

        std::vector<Delivery> found;
        bool single = entry.Name != nullptr && (entry.Flags & RTL_QUERY_REGISTRY_SUBKEY) == 0;
        {
            std::lock_guard lock(Mutex());
            if (current->deleted) {
                return STATUS_KEY_DELETED;
            }
            if (single) {
                if (RegValue* value = current->FindValue(entry.Name)) {
                    found.push_back(Delivery{value->name, value->type, value->data});
                }
            } else if ((entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) == 0) {
                for (auto& value : current->values) {
                    found.push_back(Delivery{value.name, value.type, value.data});
                }
            }
        }

        if ((entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) != 0 && !single) {
            if (entry.QueryRoutine != nullptr) {
                NTSTATUS status = entry.QueryRoutine(nullptr, REG_NONE, nullptr, 0, Context, entry.EntryContext);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
            }
            continue;
        }
        if (!single && entry.QueryRoutine == nullptr) {
            continue;  // a SUBKEY entry that only switches the key
        }
        if (found.empty()) {
            if ((entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (auto fallback = DefaultOf(entry)) {
                NTSTATUS status = Deliver(entry, *fallback, Context);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
            }
            continue;
        }
        for (const auto& value : found) {
            NTSTATUS status = Deliver(entry, value, Context);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        if ((entry.Flags & RTL_QUERY_REGISTRY_DELETE) != 0) {
            std::lock_guard lock(Mutex());
            for (const auto& value : found) {
                current->DeleteValue(value.name);
            }
        }
    }
    return STATUS_SUCCESS;
}
