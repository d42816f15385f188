// Loading and saving the per-device settings. Every value is a REG_DWORD in
// the "Settings" subkey of the device's driver key; both key handles are
// opened and closed within each load or save.
#include "settings/Settings.h"

#include <string.h>

#include "driver/Driver.h"

namespace {

enum DefaultKind {
    NoDefault,
    DefaultWhenStillUnset,  // the field is -1 after the read (absent, or stored as -1)
    DefaultWhenReadFailed,  // the read itself failed (absent or unreadable)
};

struct SettingRow {
    PCWSTR name;
    ULONG nameSize;  // bytes, terminator included
    ULONG fieldOffset;
    LONG selector;
    DefaultKind defaultKind;
    LONG defaultValue;
};

#define ROW(name, field, selector, kind, value) \
    {u"" name, sizeof(u"" name), (ULONG)offsetof(DeviceContext, field), selector, kind, value}

// Save order; "VideoStandard" is always written, last.
const SettingRow SettingRows[] = {
    //  registry value   field           selector            default
    ROW("Brightness",   brightness,     SAVE_BRIGHTNESS,    DefaultWhenStillUnset, 128),
    ROW("Contrast",     contrast,       SAVE_CONTRAST,      DefaultWhenStillUnset, 64),
    ROW("Saturation",   saturation,     SAVE_SATURATION,    DefaultWhenStillUnset, 256),
    ROW("Hue",          hue,            SAVE_HUE,           DefaultWhenStillUnset, 180),
    ROW("Gamma",        gamma,          SAVE_GAMMA,         NoDefault, 0),
    ROW("Sharpness",    sharpness,      SAVE_SHARPNESS,     NoDefault, 0),
    ROW("WhiteBalance", whiteBalance,   SAVE_WHITE_BALANCE, NoDefault, 0),
    ROW("Mirror",       mirror,         8,                  NoDefault, 0),
    ROW("Flip",         flip,           9,                  NoDefault, 0),
    ROW("AE_ON",        aeOn,           10,                 NoDefault, 0),
    ROW("AELevel",      aeLevel,        12,                 NoDefault, 0),
    ROW("WhitePoint",   whitePoint,     13,                 NoDefault, 0),
    ROW("Quality",      quality,        14,                 NoDefault, 0),
    ROW("LowLight",     lowLight,       15,                 NoDefault, 0),
    ROW("HighLight",    highLight,      69,                 NoDefault, 0),
    ROW("LightFlicker", lightFlicker,   16,                 NoDefault, 0),
    ROW("InputSource",  standardIndex,  24,                 DefaultWhenReadFailed, 1),
    ROW("InputConf",    inputConf,      25,                 NoDefault, 0),
    ROW("InputChannel", inputChannel,   26,                 NoDefault, 0),
    ROW("QltSpdMode",   qltSpdMode,     27,                 NoDefault, 0),
};
const SettingRow VideoStandardRow =
    ROW("VideoStandard", videoStandard, SAVE_ALL, DefaultWhenReadFailed, 1);
#undef ROW
static_assert(ARRAYSIZE(SettingRows) + 1 == SETTINGS_COUNT, "21 settings");

#define SETTINGS_KEY_NAME u"Settings"

LONG* FieldOf(DeviceContext* Context, const SettingRow& Row)
{
    return reinterpret_cast<LONG*>(reinterpret_cast<PUCHAR>(Context) + Row.fieldOffset);
}

// The picture the type 110 decoder starts from when nothing is stored: its
// neutral register values, not the other decoders' defaults.
struct Type110Default {
    ULONG fieldOffset;
    LONG value;
};
const Type110Default Type110Defaults[] = {
    {(ULONG)offsetof(DeviceContext, brightness), 127},
    {(ULONG)offsetof(DeviceContext, contrast), 48},
    {(ULONG)offsetof(DeviceContext, saturation), 254},
    {(ULONG)offsetof(DeviceContext, hue), 180},
    {(ULONG)offsetof(DeviceContext, sharpness), 3},
};

#define ALL_SETTINGS_UNREAD ((1u << SETTINGS_COUNT) - 1)

// Bit of a row in settingsUnread: its place in save order.
ULONG UnreadBit(const SettingRow& Row)
{
    if (&Row == &VideoStandardRow) {
        return 1u << (SETTINGS_COUNT - 1);
    }
    return 1u << (ULONG)(&Row - SettingRows);
}

// Whether a read's status says what the registry holds: the value is there,
// absent, or stored in a form no field can take. Anything else (no memory, a
// key that went away, a device error) says nothing about the stored value.
BOOLEAN ReadWasConclusive(NTSTATUS Status)
{
    return NT_SUCCESS(Status) || Status == STATUS_OBJECT_NAME_NOT_FOUND || Status == STATUS_OBJECT_TYPE_MISMATCH ||
           Status == STATUS_BUFFER_OVERFLOW || Status == STATUS_BUFFER_TOO_SMALL;
}

VOID LoadRow(HANDLE Key, DeviceContext* Context, const SettingRow& Row)
{
    LONG* field = FieldOf(Context, Row);
    NTSTATUS status = ReadRegistryValue(Key, Row.name, Row.nameSize, field);
    if (ReadWasConclusive(status)) {
        Context->settingsUnread &= ~UnreadBit(Row);
    } else {
        Context->settingsUnread |= UnreadBit(Row);
    }
    if (*field == -1 && Context->decoderType == DECODER_TYPE_88) {
        for (const Type110Default& d : Type110Defaults) {
            if (d.fieldOffset == Row.fieldOffset) {
                *field = d.value;
                return;
            }
        }
    }
    if ((Row.defaultKind == DefaultWhenStillUnset && *field == -1) ||
        (Row.defaultKind == DefaultWhenReadFailed && !NT_SUCCESS(status))) {
        *field = Row.defaultValue;
    }
}

// Opens the driver key and creates or opens "Settings" below it.
NTSTATUS OpenSettingsKey(DeviceContext* Context, PHANDLE DriverKey, PHANDLE SettingsKey)
{
    NTSTATUS status =
        IoOpenDeviceRegistryKey(Context->physicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, DriverKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateRegistryKeyPath(*DriverKey, KEY_ALL_ACCESS, SETTINGS_KEY_NAME, SettingsKey);
    if (!NT_SUCCESS(status)) {
        ZwClose(*DriverKey);
    }
    return status;
}

}  // namespace

LONG LoadSettings(DeviceContext* Context)
{
    HANDLE driverKey = nullptr;
    HANDLE settingsKey = nullptr;
    if (!NT_SUCCESS(OpenSettingsKey(Context, &driverKey, &settingsKey))) {
        Context->settingsUnread = ALL_SETTINGS_UNREAD;
        return 0;
    }
    for (const SettingRow& row : SettingRows) {
        LoadRow(settingsKey, Context, row);
    }
    LoadRow(settingsKey, Context, VideoStandardRow);
    ZwClose(settingsKey);
    ZwClose(driverKey);
    return 1;
}

LONG LoadStoredStandard(DeviceContext* Context)
{
    // Opened, not created: a device start writes nothing to the registry.
    HANDLE driverKey = nullptr;
    HANDLE settingsKey = nullptr;
    const SettingRow* standardRow = nullptr;
    for (const SettingRow& row : SettingRows) {
        if (row.fieldOffset == offsetof(DeviceContext, standardIndex)) {
            standardRow = &row;
        }
    }
    const ULONG standardBits = UnreadBit(*standardRow) | UnreadBit(VideoStandardRow);
    if (!NT_SUCCESS(
            IoOpenDeviceRegistryKey(Context->physicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &driverKey))) {
        Context->settingsUnread |= standardBits;
        return 0;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SETTINGS_KEY_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, driverKey, nullptr);
    const NTSTATUS opened = ZwOpenKey(&settingsKey, KEY_READ, &attributes);
    if (!NT_SUCCESS(opened)) {
        // Nothing stored yet: the defaults of a first load. A key that is
        // there but could not be opened may hold a standard worth keeping.
        Context->standardIndex = STANDARD_INDEX_NTSC;
        Context->videoStandard = KS_AnalogVideo_NTSC_M;
        if (opened == STATUS_OBJECT_NAME_NOT_FOUND) {
            Context->settingsUnread &= ~standardBits;
        } else {
            Context->settingsUnread |= standardBits;
        }
        ZwClose(driverKey);
        return 0;
    }
    LoadRow(settingsKey, Context, *standardRow);
    LoadRow(settingsKey, Context, VideoStandardRow);
    ZwClose(settingsKey);
    ZwClose(driverKey);
    return 1;
}

NTSTATUS SaveSettings(DeviceContext* Context, LONG Selector)
{
    HANDLE driverKey = nullptr;
    HANDLE settingsKey = nullptr;
    NTSTATUS status = OpenSettingsKey(Context, &driverKey, &settingsKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A row named by its selector was just set by a property request and is
    // always written; a save of all values leaves out what the last load
    // could not read, since the field then holds a default, not the user's.
    for (const SettingRow& row : SettingRows) {
        if (Selector == row.selector) {
            Context->settingsUnread &= ~UnreadBit(row);
        }
        if ((Selector < 0 && (Context->settingsUnread & UnreadBit(row)) == 0) || Selector == row.selector) {
            WriteRegistryDword(settingsKey, row.name, (ULONG)*FieldOf(Context, row));
        }
    }
    // The standard handlers set "VideoStandard" with the index. Otherwise the
    // field holds what device start or the last capture start loaded, 0
    // (KS_AnalogVideo_None) included, unless that read failed.
    if (Selector == SAVE_INPUT_SOURCE || Selector == SAVE_VIDEO_STANDARD_ONLY) {
        Context->settingsUnread &= ~UnreadBit(VideoStandardRow);
    }
    if ((Context->settingsUnread & UnreadBit(VideoStandardRow)) == 0) {
        WriteRegistryDword(settingsKey, VideoStandardRow.name, (ULONG)*FieldOf(Context, VideoStandardRow));
    }
    ZwClose(settingsKey);
    ZwClose(driverKey);
    return 1;
}

NTSTATUS CreateRegistryKey(HANDLE Parent, ACCESS_MASK DesiredAccess, PCWSTR Path, PHANDLE Key)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, Parent, nullptr);
    return ZwCreateKey(Key, DesiredAccess, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

NTSTATUS CreateRegistryKeyPath(HANDLE Parent, ACCESS_MASK DesiredAccess, PCWSTR Path, PHANDLE Key)
{
    // Each intermediate key of a multi-level path is created first. The
    // prefix is passed as a counted string, so the caller's path (often a
    // literal) is never written to.
    const SIZE_T length = wcslen(Path);
    for (SIZE_T i = 1; i < length; ++i) {
        if (Path[i] != u'\\') {
            continue;
        }
        UNICODE_STRING prefix;
        prefix.Buffer = const_cast<PWSTR>(Path);
        prefix.Length = (USHORT)(i * sizeof(WCHAR));
        prefix.MaximumLength = prefix.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &prefix, OBJ_CASE_INSENSITIVE, Parent, nullptr);
        HANDLE intermediate = nullptr;
        NTSTATUS status =
            ZwCreateKey(&intermediate, DesiredAccess, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ZwClose(intermediate);
    }
    return CreateRegistryKey(Parent, DesiredAccess, Path, Key);
}

NTSTATUS ReadRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, LONG* Field)
{
    // The settings' names fit a small buffer on the stack, so that a short
    // pool cannot make a stored value look absent; longer names take pool.
    ULONG stackBuffer[(sizeof(KEY_VALUE_FULL_INFORMATION) + 64 + sizeof(ULONG)) / sizeof(ULONG)];
    const ULONG bufferSize = (ULONG)sizeof(KEY_VALUE_FULL_INFORMATION) + ValueNameSize + sizeof(ULONG);
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(stackBuffer);
    if (bufferSize > sizeof(stackBuffer)) {
        info = static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, bufferSize, DRIVER_POOL_TAG));
        if (info == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, bufferSize, &resultLength);
    if (NT_SUCCESS(status)) {
        // Only REG_DWORD values of four bytes are taken: a string, a binary
        // value or a cut-short number typed into the registry by hand would
        // otherwise turn into an arbitrary number. The data must also lie
        // inside what the query returned.
        if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG)) {
            status = STATUS_OBJECT_TYPE_MISMATCH;
        } else if (info->DataOffset > bufferSize || info->DataLength > bufferSize - info->DataOffset) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            ULONG value = 0;
            memcpy(&value, reinterpret_cast<PUCHAR>(info) + info->DataOffset, sizeof(value));
            *Field = (LONG)value;
        }
    }
    if (info != reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(stackBuffer)) {
        ExFreePool(info);
    }
    return status;
}

VOID WriteRegistryDword(HANDLE Key, PCWSTR ValueName, ULONG Value)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    ZwSetValueKey(Key, &name, 0, REG_DWORD, &Value, sizeof(Value));
}
