// The registry routines: keys and handles, the size rules of ZwQueryValueKey,
// RtlQueryRegistryValues tables and RtlWriteRegistryValue.
#include "tests/support/kernel_test.h"

#include <cstring>

namespace {

namespace k = kv::kernel;
namespace reg = kv::kernel::registry;

constexpr const char* kKv3300 = "\\REGISTRY\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\KV3300";
constexpr const WCHAR* kKv3300Wide = u"\\REGISTRY\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\KV3300";

class RegistryTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        pdo = k::io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1");
    }

    HANDLE OpenDriverKey()
    {
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &key), STATUS_SUCCESS);
        return key;
    }

    // Create or open a subkey the way the settings code does.
    NTSTATUS CreateSubkey(HANDLE parent, const char16_t* name, HANDLE* key, ULONG* disposition = nullptr)
    {
        k::OwnedUnicodeString path{std::u16string_view(name)};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, path.get(), OBJ_CASE_INSENSITIVE, parent, nullptr);
        return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
    }

    NTSTATUS OpenAbsolute(const char16_t* name, HANDLE* key)
    {
        k::OwnedUnicodeString path{std::u16string_view(name)};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, path.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwOpenKey(key, KEY_READ, &attributes);
    }

    static NTSTATUS SetDword(HANDLE key, const char16_t* name, ULONG value)
    {
        k::OwnedUnicodeString valueName{std::u16string_view(name)};
        return ZwSetValueKey(key, valueName, 0, REG_DWORD, &value, sizeof value);
    }

    PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(RegistryTest, DriverKeyAndSettingsSubkeyAreCreatedThenOpened)
{
    HANDLE driverKey = OpenDriverKey();
    HANDLE settings = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(CreateSubkey(driverKey, u"Settings", &settings, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(SetDword(settings, u"Brightness", 128), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(settings), STATUS_SUCCESS);

    ASSERT_EQ(CreateSubkey(driverKey, u"SETTINGS", &settings, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ZwClose(settings), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);

    std::string settingsPath = reg::DriverKeyPath(pdo) + "\\Settings";
    EXPECT_EQ(reg::GetDword(settingsPath, "brightness"), 128u);
    EXPECT_EQ(reg::SubkeyNames(reg::DriverKeyPath(pdo)), std::vector<std::string>{"Settings"});
}

TEST_F(RegistryTest, KeyPathsAreCheckedAndOnlyTheLastComponentIsCreated)
{
    HANDLE driverKey = OpenDriverKey();
    HANDLE key = nullptr;
    EXPECT_EQ(CreateSubkey(driverKey, u"Missing\\Settings", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CreateSubkey(driverKey, u"A\\\\B", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(CreateSubkey(driverKey, u"Trailing\\", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(CreateSubkey(driverKey, u"\\REGISTRY\\MACHINE", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(CreateSubkey(driverKey, std::u16string(256, u'x').c_str(), &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(key, nullptr);

    EXPECT_EQ(OpenAbsolute(u"\\Registry\\Machine\\SOFTWARE\\microsoft\\WINDOWS NT\\CurrentVersion", &key),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(OpenAbsolute(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Nobody", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenAbsolute(u"REGISTRY\\MACHINE", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(OpenAbsolute(u"\\Device\\Foo", &key), STATUS_OBJECT_NAME_NOT_FOUND);

    // A UNICODE_STRING whose lengths do not add up is refused.
    UNICODE_STRING broken{3, 2, const_cast<PWSTR>(u"xy")};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &broken, OBJ_CASE_INSENSITIVE, driverKey, nullptr);
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_INVALID_PARAMETER);
    attributes.Length = 0;
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
}

TEST_F(RegistryTest, HandlesAreRealClosedOnesAreInvalidAndLeftOnesAreListed)
{
    HANDLE driverKey = OpenDriverKey();
    EXPECT_EQ(reg::OpenHandleCount(), 1u);
    ASSERT_EQ(reg::OpenHandles().size(), 1u);
    EXPECT_NE(reg::OpenHandles()[0].find("\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000"), std::string::npos);
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
    EXPECT_EQ(reg::OpenHandleCount(), 0u);

    EXPECT_EQ(SetDword(driverKey, u"x", 1), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(driverKey), STATUS_INVALID_HANDLE);
    ExpectViolation("ZwClose of");
    HANDLE key = nullptr;
    EXPECT_EQ(CreateSubkey(reinterpret_cast<HANDLE>(0x1234), u"Settings", &key), STATUS_INVALID_HANDLE);

    // A new handle never reuses a closed one's value.
    HANDLE again = OpenDriverKey();
    EXPECT_NE(again, driverKey);
    EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
}

TEST_F(RegistryTest, DeviceKeysNeedAPhysicalDeviceAndAKnownKeyType)
{
    HANDLE key = nullptr;
    PDEVICE_OBJECT filter = k::io::CreateHandlerDevice(nullptr, pdo);
    EXPECT_EQ(IoOpenDeviceRegistryKey(filter, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, 3, KEY_WRITE, &key), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"Param", 5), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword(reg::DeviceKeyPath(pdo), "Param"), 5u);

    k::InjectFailure("IoOpenDeviceRegistryKey", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key), STATUS_UNSUCCESSFUL);
    k::io::DeleteDevice(filter);
}

TEST_F(RegistryTest, PartialInformationSizeRules)
{
    HANDLE driverKey = OpenDriverKey();
    ASSERT_EQ(SetDword(driverKey, u"Brightness", 0x80), STATUS_SUCCESS);
    k::OwnedUnicodeString name(u"Brightness");
    ULONG needed = 0;

    // No buffer: the size needed, FIELD_OFFSET(Data) + DataLength = 12 + 4.
    EXPECT_EQ(ZwQueryValueKey(driverKey, name, KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 16u);

    alignas(8) uint8_t buffer[32];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(driverKey, name, KeyValuePartialInformation, buffer, 11, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], 0xEE) << "nothing is written below the fixed part";

    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(ZwQueryValueKey(driverKey, name, KeyValuePartialInformation, buffer, 15, &needed),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(buffer[12], 0xEE) << "no data on overflow";
    EXPECT_EQ(needed, 16u);

    EXPECT_EQ(ZwQueryValueKey(driverKey, name, KeyValuePartialInformation, buffer, 16, &needed), STATUS_SUCCESS);
    ULONG value;
    std::memcpy(&value, info->Data, 4);
    EXPECT_EQ(value, 0x80u);
    EXPECT_EQ(buffer[16], 0xEE) << "nothing past the needed size";

    k::OwnedUnicodeString missing(u"CreatefileName");
    EXPECT_EQ(ZwQueryValueKey(driverKey, missing, KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwQueryValueKey(driverKey, name, static_cast<KEY_VALUE_INFORMATION_CLASS>(9), buffer, 32, &needed),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
}

TEST_F(RegistryTest, FullInformationPutsDataAfterTheNameAtAUlongBoundary)
{
    HANDLE driverKey = OpenDriverKey();
    ASSERT_EQ(SetDword(driverKey, u"Brightness", 0x80), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(driverKey, u"Hue", 180), STATUS_SUCCESS);
    ULONG needed = 0;
    alignas(8) uint8_t buffer[64];
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);

    // 20 fixed bytes + 20 of name, data at 40: 44 needed. The settings code
    // gives 24 + the name's size with terminator (22) + 4 = 50.
    k::OwnedUnicodeString brightness(u"Brightness");
    EXPECT_EQ(ZwQueryValueKey(driverKey, brightness, KeyValueFullInformation, buffer, 50, &needed), STATUS_SUCCESS);
    EXPECT_EQ(needed, 44u);
    EXPECT_EQ(info->DataOffset, 40u);
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(info->NameLength, 20u);
    EXPECT_EQ(std::u16string_view(info->Name, 10), u"Brightness");
    ULONG value;
    std::memcpy(&value, buffer + info->DataOffset, 4);
    EXPECT_EQ(value, 0x80u);

    // "Hue": 20 + 6 = 26, data at 28.
    k::OwnedUnicodeString hue(u"Hue");
    EXPECT_EQ(ZwQueryValueKey(driverKey, hue, KeyValueFullInformation, buffer, 64, &needed), STATUS_SUCCESS);
    EXPECT_EQ(info->DataOffset, 28u);
    EXPECT_EQ(needed, 32u);

    EXPECT_EQ(ZwQueryValueKey(driverKey, brightness, KeyValueFullInformation, buffer, 19, &needed),
              STATUS_BUFFER_TOO_SMALL);
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(driverKey, brightness, KeyValueFullInformation, buffer, 43, &needed),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(info->NameLength, 20u);
    EXPECT_EQ(needed, 44u);

    // Basic information: name only.
    EXPECT_EQ(ZwQueryValueKey(driverKey, hue, KeyValueBasicInformation, buffer, 64, &needed), STATUS_SUCCESS);
    EXPECT_EQ(needed, 18u);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer)->NameLength, 6u);
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
}

TEST_F(RegistryTest, ValuesKeepTheirExactBytesAndCallerFaultsAreRecorded)
{
    HANDLE driverKey = OpenDriverKey();
    // A string stored without its terminating null stays that way.
    const char16_t path[] = u"\\\\.\\USB#1";
    k::OwnedUnicodeString name(u"CreatefileName");
    ASSERT_EQ(ZwSetValueKey(driverKey, name, 0, REG_SZ, const_cast<char16_t*>(path), 9 * 2), STATUS_SUCCESS);
    auto stored = reg::GetValue(reg::DriverKeyPath(pdo), "CreatefileName");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(stored->data.size(), 18u);
    EXPECT_EQ(reg::GetString(reg::DriverKeyPath(pdo), "CreatefileName"), "\\\\.\\USB#1");

    ULONG needed = 0;
    EXPECT_EQ(ZwQueryValueKey(driverKey, name, KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 12u + 18u);

    EXPECT_EQ(ZwDeleteValueKey(driverKey, name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(driverKey, name), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(ZwSetValueKey(driverKey, name, 0, REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
    ExpectViolation("null data");
    EXPECT_EQ(ZwQueryValueKey(driverKey, name, KeyValuePartialInformation, nullptr, 8, &needed),
              STATUS_INVALID_PARAMETER);
    ExpectViolation("null buffer");
    EXPECT_EQ(ZwQueryValueKey(driverKey, nullptr, KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_INVALID_PARAMETER);
    ExpectViolation("null value name");

    k::InjectFailure("ZwSetValueKey", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetDword(driverKey, u"Contrast", 1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(reg::GetValue(reg::DriverKeyPath(pdo), "Contrast").has_value());
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
}

TEST_F(RegistryTest, RegistryCallsAboveIrqlPassiveAreViolations)
{
    HANDLE driverKey = OpenDriverKey();
    {
        k::IrqlScope dispatch;
        SetDword(driverKey, u"Brightness", 1);
    }
    ExpectViolation("ZwSetValueKey called at IRQL 2");
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
}

// ------------------------------------------------ RtlQueryRegistryValues ----

NTSTATUS ReadFrameRate(ULONG* value, ULONG relativeTo = RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL)
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = u"WFrameRate";
    table[0].EntryContext = value;
    table[0].DefaultType = REG_NONE;
    return RtlQueryRegistryValues(relativeTo, kKv3300Wide, table, nullptr, nullptr);
}

TEST_F(RegistryTest, DirectDwordWithMissingKeyMissingValueAndPresentValue)
{
    ULONG rate = 77;
    // The optional flag does not make a missing key a success.
    EXPECT_EQ(ReadFrameRate(&rate), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(rate, 77u);

    reg::CreateKey(kKv3300);
    EXPECT_EQ(ReadFrameRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 77u) << "a missing value without default leaves the target alone";

    reg::SetDword(kKv3300, "WFrameRate", 1);
    EXPECT_EQ(ReadFrameRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 1u);
    EXPECT_EQ(ReadFrameRate(&rate, RTL_REGISTRY_ABSOLUTE), STATUS_SUCCESS);

    // RTL_REGISTRY_WINDOWS_NT is the same key by a shorter path.
    rate = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = u"WFrameRate";
    table[0].EntryContext = &rate;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_WINDOWS_NT, u"KV3300", table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(rate, 1u);
    table[0].Name = u"Absent";
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_WINDOWS_NT, u"KV3300", table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, DirectEntriesTakeDefaultsStringsAndSizedBuffers)
{
    reg::SetString(kKv3300, "Label", "Composite");
    reg::SetValue(kKv3300, "Blob", {REG_BINARY, {1, 2, 3, 4, 5, 6}});
    reg::SetDword(kKv3300, "Rate", 25);

    ULONG fallback = 0;
    ULONG defaultValue = 30;
    UNICODE_STRING label{};  // no buffer: one is allocated from pool
    struct {
        LONG size;
        uint8_t bytes[8];
    } blob = {-8, {}};
    ULONG rate = 0;
    RTL_QUERY_REGISTRY_TABLE table[5] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Missing", &fallback, REG_DWORD, &defaultValue, 4};
    table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Label", &label, REG_NONE, nullptr, 0};
    table[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Blob", &blob, REG_NONE, nullptr, 0};
    table[3] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, u"Rate", &rate,
                (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE, nullptr, 0};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKv3300Wide, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(fallback, 30u);
    ASSERT_NE(label.Buffer, nullptr);
    EXPECT_EQ(std::u16string_view(label.Buffer, label.Length / 2), u"Composite");
    EXPECT_EQ(label.Buffer[label.Length / 2], 0);
    // Negative size: the data alone, from the start of the buffer (over the size).
    EXPECT_EQ(blob.size, 0x04030201);
    EXPECT_EQ(blob.bytes[0], 5);
    EXPECT_EQ(blob.bytes[1], 6);
    EXPECT_EQ(rate, 25u);
    RtlFreeUnicodeString(&label);

    // A caller buffer too small for the string, or the wrong type, fails.
    WCHAR small[4];
    UNICODE_STRING tight{0, sizeof small, small};
    table[1].EntryContext = &tight;
    blob.size = -8;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKv3300Wide, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    table[1].EntryContext = &label;
    blob.size = -8;  // the last query stored data over it
    table[3].DefaultType = REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKv3300Wide, table, nullptr, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    RtlFreeUnicodeString(&label);
}

struct Seen {
    std::vector<std::string> names;
    std::vector<ULONG> types;
};

NTSTATUS NTAPI Collect(PWSTR name, ULONG type, PVOID, ULONG, PVOID context, PVOID)
{
    auto* seen = static_cast<Seen*>(context);
    seen->names.push_back(name != nullptr ? k::ToUtf8(name) : "(none)");
    seen->types.push_back(type);
    return STATUS_SUCCESS;
}

TEST_F(RegistryTest, QueryRoutinesSeeEveryValueAndSubkeysSwitchTheKey)
{
    reg::SetDword(kKv3300, "A", 1);
    reg::SetValue(kKv3300, "List", {REG_MULTI_SZ, {'x', 0, 0, 0, 'y', 0, 0, 0, 0, 0}});
    reg::SetDword(std::string(kKv3300) + "\\Sub", "C", 3);
    Seen seen;
    RTL_QUERY_REGISTRY_TABLE table[4] = {};
    table[0].QueryRoutine = Collect;  // no name: every value of the key
    table[1].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[1].Name = u"Sub";
    table[1].QueryRoutine = Collect;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKv3300Wide, table, &seen, nullptr), STATUS_SUCCESS);
    // A multi-string is handed over one string at a time.
    EXPECT_EQ(seen.names, (std::vector<std::string>{"A", "List", "List", "C"}));
    EXPECT_EQ(seen.types, (std::vector<ULONG>{REG_DWORD, REG_SZ, REG_SZ, REG_DWORD}));

    table[1].Name = u"NoSuchKey";
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKv3300Wide, table, &seen, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKv3300Wide, nullptr, &seen, nullptr),
              STATUS_INVALID_PARAMETER);
    ExpectViolation("null query table");
}

TEST_F(RegistryTest, WriteRegistryValueCreatesTheLastKeyOnly)
{
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKv3300Wide, u"SnapShot", REG_DWORD, &one, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\KV3300", "SnapShot"),
              1u);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Nobody\\KV3300",
                                    u"SnapShot", REG_DWORD, &one, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKv3300Wide, u"SnapShot", REG_DWORD, nullptr, 4),
              STATUS_INVALID_PARAMETER);
    ExpectViolation("null data");

    HANDLE driverKey = OpenDriverKey();
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(driverKey), u"Via", REG_DWORD, &one, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword(reg::DriverKeyPath(pdo), "Via"), 1u);
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(driverKey), u"Via", REG_DWORD, &one, 4),
              STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, DeletedKeysAnswerKeyDeletedThroughOpenHandles)
{
    HANDLE driverKey = OpenDriverKey();
    HANDLE settings = nullptr;
    ASSERT_EQ(CreateSubkey(driverKey, u"Settings", &settings), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(driverKey), static_cast<NTSTATUS>(0xC0000121)) << "a key with subkeys stays";
    EXPECT_EQ(ZwDeleteKey(settings), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(settings, u"Brightness", 1), STATUS_KEY_DELETED);
    EXPECT_FALSE(reg::KeyExists(reg::DriverKeyPath(pdo) + "\\Settings"));
    EXPECT_EQ(ZwClose(settings), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
}

}  // namespace
