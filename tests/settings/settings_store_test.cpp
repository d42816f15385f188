// The 21 settings in the device's "Settings" key: first use, both kinds of
// default, save selectors, values of the wrong type or size, registry
// failures, and the registry file a person reads and edits.
#include <string>
#include <vector>

#include "tests/capture_setup/setup_fixture.h"

using namespace setuptest;

namespace {

struct Row {
    const char* name;
    LONG DeviceContext::*field;
    LONG selector;
};

// Save order.
const Row kRows[SETTINGS_COUNT] = {
    {"Brightness", &DeviceContext::brightness, 76},
    {"Contrast", &DeviceContext::contrast, 79},
    {"Saturation", &DeviceContext::saturation, 83},
    {"Hue", &DeviceContext::hue, 84},
    {"Gamma", &DeviceContext::gamma, 85},
    {"Sharpness", &DeviceContext::sharpness, 78},
    {"WhiteBalance", &DeviceContext::whiteBalance, 88},
    {"Mirror", &DeviceContext::mirror, 8},
    {"Flip", &DeviceContext::flip, 9},
    {"AE_ON", &DeviceContext::aeOn, 10},
    {"AELevel", &DeviceContext::aeLevel, 12},
    {"WhitePoint", &DeviceContext::whitePoint, 13},
    {"Quality", &DeviceContext::quality, 14},
    {"LowLight", &DeviceContext::lowLight, 15},
    {"HighLight", &DeviceContext::highLight, 69},
    {"LightFlicker", &DeviceContext::lightFlicker, 16},
    {"InputSource", &DeviceContext::standardIndex, 24},
    {"InputConf", &DeviceContext::inputConf, 25},
    {"InputChannel", &DeviceContext::inputChannel, 26},
    {"QltSpdMode", &DeviceContext::qltSpdMode, 27},
    {"VideoStandard", &DeviceContext::videoStandard, -1},
};

std::vector<std::string> AllNames()
{
    std::vector<std::string> names;
    for (const Row& row : kRows) names.push_back(row.name);
    return names;
}

class SettingsStoreTest : public SetupTest {
protected:
    void SetUp() override
    {
        SetupTest::SetUp();
        ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    }

    void Unset()
    {
        for (const Row& row : kRows) Ctx()->*row.field = -1;
    }

    LONG Field(const char* name)
    {
        for (const Row& row : kRows) {
            if (std::string(row.name) == name) return Ctx()->*row.field;
        }
        ADD_FAILURE() << "no setting " << name;
        return 0;
    }

    void SetRaw(const char* name, ULONG type, std::vector<uint8_t> data)
    {
        reg::SetValue(SettingsKey(), name, reg::Value{type, std::move(data)});
    }
};

}  // namespace

TEST_F(SettingsStoreTest, FirstUseCreatesAnEmptyKeyAndTakesTheDefaults)
{
    ASSERT_FALSE(reg::KeyExists(SettingsKey()));
    Unset();
    EXPECT_EQ(LoadSettings(Ctx()), 1);
    EXPECT_TRUE(reg::KeyExists(SettingsKey()));
    EXPECT_TRUE(reg::ValueNames(SettingsKey()).empty());
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        const std::string name = row.name;
        const LONG expected = name == "Brightness"    ? 128
                              : name == "Contrast"    ? 64
                              : name == "Saturation"  ? 256
                              : name == "Hue"         ? 180
                              : name == "InputSource" ? 1
                              : name == "VideoStandard" ? 1
                                                        : -1;
        EXPECT_EQ(Ctx()->*row.field, expected);
    }
}

TEST_F(SettingsStoreTest, FirstStopWritesAllValuesInOrder)
{
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    EXPECT_TRUE(reg::ValueNames(SettingsKey()).empty()) << "loading writes nothing";
    ASSERT_EQ(CamStopCaptureEx(nullptr, Ctx(), 0), (NTSTATUS)1);
    EXPECT_EQ(reg::ValueNames(SettingsKey()), AllNames());
    // What the start applied, and -1 for what no one set.
    const std::vector<std::pair<const char*, uint32_t>> expected = {
        {"Brightness", 128},          {"Contrast", 64},           {"Saturation", 256},
        {"Hue", 180},                 {"Gamma", 25},              {"Sharpness", 0xFFFFFFFF},
        {"WhiteBalance", 0xFFFFFFFF}, {"Mirror", 0},              {"Flip", 0},
        {"AE_ON", 0xFFFFFFFF},        {"AELevel", 0xFFFFFFFF},    {"WhitePoint", 0xFFFFFFFF},
        {"Quality", 0xFFFFFFFF},      {"LowLight", 0xFFFFFFFF},   {"HighLight", 0xFFFFFFFF},
        {"LightFlicker", 0xFFFFFFFF}, {"InputSource", 1},         {"InputConf", 1},
        {"InputChannel", 2},          {"QltSpdMode", 0xFFFFFFFF}, {"VideoStandard", 1},
    };
    for (const auto& [name, value] : expected) {
        SCOPED_TRACE(name);
        std::optional<reg::Value> stored = reg::GetValue(SettingsKey(), name);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->type, (ULONG)REG_DWORD);
        EXPECT_EQ(reg::GetDword(SettingsKey(), name), value);
    }
}

TEST_F(SettingsStoreTest, StoredValuesRoundTrip)
{
    for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
        reg::SetDword(SettingsKey(), kRows[i].name, (uint32_t)(1000 + i));
    }
    Unset();
    ASSERT_EQ(LoadSettings(Ctx()), 1);
    for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
        EXPECT_EQ(Ctx()->*kRows[i].field, (LONG)(1000 + i)) << kRows[i].name;
    }
    // Negative values keep their sign both ways.
    Ctx()->aeLevel = -42;
    ASSERT_TRUE(reg::DeleteKey(SettingsKey()));
    ASSERT_EQ(SaveSettings(Ctx(), SAVE_ALL), (NTSTATUS)1);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "AELevel"), (uint32_t)-42);
    Unset();
    ASSERT_EQ(LoadSettings(Ctx()), 1);
    EXPECT_EQ(Ctx()->aeLevel, -42);
}

TEST_F(SettingsStoreTest, MinusOneStoredTakesOnlyTheDefaultsOfTheFirstKind)
{
    for (const char* name : {"Brightness", "Contrast", "Saturation", "Hue", "InputSource", "VideoStandard", "Gamma"}) {
        reg::SetDword(SettingsKey(), name, 0xFFFFFFFF);
    }
    Unset();
    ASSERT_EQ(LoadSettings(Ctx()), 1);
    EXPECT_EQ(Field("Brightness"), 128);
    EXPECT_EQ(Field("Contrast"), 64);
    EXPECT_EQ(Field("Saturation"), 256);
    EXPECT_EQ(Field("Hue"), 180);
    EXPECT_EQ(Field("InputSource"), -1);
    EXPECT_EQ(Field("VideoStandard"), -1);
    EXPECT_EQ(Field("Gamma"), -1);

    // The capture start then takes NTSC for the unknown standard index.
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    EXPECT_EQ(Ctx()->standardIndex, 1);
    EXPECT_EQ(Ctx()->videoStandard, -1);
}

TEST_F(SettingsStoreTest, SelectorsWriteTheirValueAndTheStandard)
{
    for (size_t i = 0; i < SETTINGS_COUNT; ++i) Ctx()->*kRows[i].field = (LONG)(500 + i);
    for (const Row& row : kRows) {
        if (row.selector < 0) continue;
        SCOPED_TRACE(row.name);
        reg::DeleteKey(SettingsKey());
        EXPECT_EQ(SaveSettings(Ctx(), row.selector), (NTSTATUS)1);
        EXPECT_EQ(reg::ValueNames(SettingsKey()), (std::vector<std::string>{row.name, "VideoStandard"}));
        EXPECT_EQ(reg::GetDword(SettingsKey(), row.name), (uint32_t)(Ctx()->*row.field));
        EXPECT_EQ(reg::GetDword(SettingsKey(), "VideoStandard"), 520u);
    }
    for (LONG selector : {0, 7, 11, 77, 1000, 0x7FFFFFFF}) {
        SCOPED_TRACE(selector);
        reg::DeleteKey(SettingsKey());
        EXPECT_EQ(SaveSettings(Ctx(), selector), (NTSTATUS)1);
        EXPECT_EQ(reg::ValueNames(SettingsKey()), (std::vector<std::string>{"VideoStandard"}));
    }
    for (LONG selector : {-1, -7, (LONG)0x80000000}) {
        SCOPED_TRACE(selector);
        reg::DeleteKey(SettingsKey());
        EXPECT_EQ(SaveSettings(Ctx(), selector), (NTSTATUS)1);
        EXPECT_EQ(reg::ValueNames(SettingsKey()), AllNames());
    }
}

// Device start loads the standard alone, so an early save keeps it and a
// standard of 0 (KS_AnalogVideo_None) set later is saved like any other.
TEST_F(SettingsStoreTest, DeviceStartLoadsTheStoredStandardOnly)
{
    reg::SetDword(SettingsKey(), "VideoStandard", 0x10);
    reg::SetDword(SettingsKey(), "InputSource", 2);
    reg::SetDword(SettingsKey(), "Brightness", 7);
    EXPECT_EQ(LoadStoredStandard(Ctx()), 1);
    EXPECT_EQ(Ctx()->videoStandard, 0x10);
    EXPECT_EQ(Ctx()->standardIndex, 2);
    EXPECT_EQ(Ctx()->brightness, 0) << "picture values wait for the capture start";

    Ctx()->brightness = 90;
    EXPECT_EQ(SaveSettings(Ctx(), SAVE_BRIGHTNESS), (NTSTATUS)1);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "VideoStandard"), 0x10u);
    Ctx()->videoStandard = 0;
    EXPECT_EQ(SaveSettings(Ctx(), SAVE_VIDEO_STANDARD_ONLY), (NTSTATUS)1);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "VideoStandard"), 0u);

    // Nothing stored: NTSC, and the start creates no key.
    reg::DeleteKey(SettingsKey());
    EXPECT_EQ(LoadStoredStandard(Ctx()), 0);
    EXPECT_EQ(Ctx()->standardIndex, STANDARD_INDEX_NTSC);
    EXPECT_EQ(Ctx()->videoStandard, KS_AnalogVideo_NTSC_M);
    EXPECT_FALSE(reg::KeyExists(SettingsKey()));
}

TEST_F(SettingsStoreTest, OnlyFourByteDwordsAreTaken)
{
    // Hand edits that are no number: strings, binary data, cut-short or
    // long numbers. Each is treated as unreadable.
    auto utf16 = [](std::u16string text) {
        std::vector<uint8_t> bytes((text.size() + 1) * 2, 0);
        std::memcpy(bytes.data(), text.data(), text.size() * 2);
        return bytes;
    };
    SetRaw("Brightness", REG_SZ, utf16(u"1"));      // 4 bytes with its terminator
    SetRaw("InputSource", REG_SZ, utf16(u"2"));
    SetRaw("Mirror", REG_SZ, {'1', 0, 0, 0});
    SetRaw("Contrast", REG_BINARY, {1, 2, 3, 4});
    SetRaw("Gamma", REG_DWORD, {40, 0});            // two bytes
    SetRaw("Flip", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    SetRaw("Sharpness", REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0});
    SetRaw("VideoStandard", REG_EXPAND_SZ, utf16(u"16"));
    SetRaw("WhiteBalance", REG_DWORD, {});
    reg::SetDword(SettingsKey(), "Hue", 90);  // one good value among them

    Unset();
    ASSERT_EQ(LoadSettings(Ctx()), 1);
    EXPECT_EQ(Field("Brightness"), 128);
    EXPECT_EQ(Field("InputSource"), 1);
    EXPECT_EQ(Field("Mirror"), -1);
    EXPECT_EQ(Field("Contrast"), 64);
    EXPECT_EQ(Field("Gamma"), -1);
    EXPECT_EQ(Field("Flip"), -1);
    EXPECT_EQ(Field("Sharpness"), -1);
    EXPECT_EQ(Field("VideoStandard"), 1);
    EXPECT_EQ(Field("WhiteBalance"), -1);
    EXPECT_EQ(Field("Hue"), 90);
    EXPECT_EQ(pool::OutstandingCount(kDriverTag), FIELD_RING_SLOTS + 1u) << "query buffers are released";

    // The next save puts numbers back in their place.
    ASSERT_EQ(SaveSettings(Ctx(), SAVE_ALL), (NTSTATUS)1);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "Brightness"), 128u);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "Gamma"), 0xFFFFFFFFu);
}

TEST_F(SettingsStoreTest, KeyThatCannotBeOpened)
{
    reg::SetDword(SettingsKey(), "Brightness", 10);
    Unset();
    kv::kernel::InjectFailure("IoOpenDeviceRegistryKey", STATUS_ACCESS_DENIED);
    EXPECT_EQ(LoadSettings(Ctx()), 0);
    for (const Row& row : kRows) EXPECT_EQ(Ctx()->*row.field, -1) << row.name << ": no default either";

    kv::kernel::InjectFailure("ZwCreateKey", STATUS_ACCESS_DENIED);
    EXPECT_EQ(LoadSettings(Ctx()), 0);
    EXPECT_EQ(Ctx()->brightness, -1);

    Ctx()->brightness = 20;
    kv::kernel::InjectFailure("IoOpenDeviceRegistryKey", STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(SaveSettings(Ctx(), SAVE_ALL), STATUS_OBJECT_NAME_NOT_FOUND);
    kv::kernel::InjectFailure("ZwCreateKey", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SaveSettings(Ctx(), SAVE_BRIGHTNESS), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "Brightness"), 10u);
    // The fixture's teardown finds no key handle left open.
}

TEST_F(SettingsStoreTest, SingleFailuresAreTreatedAsAbsentValues)
{
    for (const Row& row : kRows) reg::SetDword(SettingsKey(), row.name, 3);

    // The first query fails; a short pool does not reach the reads.
    kv::kernel::InjectFailure("ZwQueryValueKey", STATUS_UNSUCCESSFUL);
    Unset();
    ASSERT_EQ(LoadSettings(Ctx()), 1);
    EXPECT_EQ(Ctx()->brightness, 128);
    EXPECT_EQ(Ctx()->contrast, 3);

    pool::FailTag(kDriverTag);
    Unset();
    EXPECT_EQ(LoadSettings(Ctx()), 1);
    pool::ClearFaults();
    EXPECT_EQ(Ctx()->brightness, 3);
    EXPECT_EQ(Ctx()->standardIndex, 3);
    EXPECT_EQ(Ctx()->gamma, 3);

    // A failed single write is not reported and the others go on.
    Ctx()->brightness = 11;
    Ctx()->contrast = 12;
    kv::kernel::InjectFailure("ZwSetValueKey", STATUS_ACCESS_DENIED);
    EXPECT_EQ(SaveSettings(Ctx(), SAVE_ALL), (NTSTATUS)1);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "Brightness"), 3u);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "Contrast"), 12u);
}

TEST_F(SettingsStoreTest, RegistryFileAfterAStopReadsAsText)
{
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    Ctx()->aeLevel = 12;
    ASSERT_EQ(CamStopCaptureEx(nullptr, Ctx(), 0), (NTSTATUS)1);
    const std::string text = reg::SaveToText();

    const std::string driverKey = reg::DriverKeyPath(port_->Pdo());
    const std::string keyLine = "[HKEY_LOCAL_MACHINE" + driverKey.substr(std::string("\\REGISTRY\\MACHINE").size()) +
                                "\\Settings]\n";
    const size_t at = text.find(keyLine);
    ASSERT_NE(at, std::string::npos) << text;
    std::string expected = keyLine;
    for (const char* line :
         {"\"Brightness\"=dword:00000080", "\"Contrast\"=dword:00000040", "\"Saturation\"=dword:00000100",
          "\"Hue\"=dword:000000b4", "\"Gamma\"=dword:00000019", "\"Sharpness\"=dword:ffffffff",
          "\"WhiteBalance\"=dword:ffffffff", "\"Mirror\"=dword:00000000", "\"Flip\"=dword:00000000",
          "\"AE_ON\"=dword:ffffffff", "\"AELevel\"=dword:0000000c", "\"WhitePoint\"=dword:ffffffff",
          "\"Quality\"=dword:ffffffff", "\"LowLight\"=dword:ffffffff", "\"HighLight\"=dword:ffffffff",
          "\"LightFlicker\"=dword:ffffffff", "\"InputSource\"=dword:00000001", "\"InputConf\"=dword:00000001",
          "\"InputChannel\"=dword:00000002", "\"QltSpdMode\"=dword:ffffffff", "\"VideoStandard\"=dword:00000001"}) {
        expected += std::string(line) + "\n";
    }
    EXPECT_EQ(text.substr(at, expected.size()), expected);

    // A person lowers the brightness in the file; the next start takes it.
    std::string edited = text;
    const std::string from = "\"Brightness\"=dword:00000080";
    edited.replace(edited.find(from), from.size(), "\"Brightness\"=dword:00000020");
    ASSERT_TRUE(reg::LoadFromText(edited));
    ASSERT_EQ(CamFreeBandwidthEx(nullptr, Ctx(), 0), STATUS_SUCCESS);
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    EXPECT_EQ(Ctx()->brightness, 0x20);
    EXPECT_EQ(DecoderAt(DECODER_ADDRESS_5150).Peek(0x09), 0x20);
}

TEST_F(SettingsStoreTest, CreatesEveryLevelOfAPath)
{
    HANDLE driverKey = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(Ctx()->physicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &driverKey),
              STATUS_SUCCESS);
    const char16_t path[] = u"One\\Two\\Three";
    HANDLE key = nullptr;
    EXPECT_EQ(CreateRegistryKeyPath(driverKey, KEY_ALL_ACCESS, path, &key), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(path), u"One\\Two\\Three");
    ASSERT_NE(key, nullptr);
    WriteRegistryDword(key, u"Value", 0x1234);
    ZwClose(key);
    const std::string base = reg::DriverKeyPath(port_->Pdo());
    EXPECT_TRUE(reg::KeyExists(base + "\\One"));
    EXPECT_TRUE(reg::KeyExists(base + "\\One\\Two"));
    EXPECT_EQ(reg::GetDword(base + "\\One\\Two\\Three", "Value"), 0x1234u);

    // A failing level ends the walk with its status.
    key = nullptr;
    kv::kernel::InjectFailure("ZwCreateKey", STATUS_ACCESS_DENIED, 1, 1);
    EXPECT_EQ(CreateRegistryKeyPath(driverKey, KEY_ALL_ACCESS, u"A\\B\\C", &key), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(reg::KeyExists(base + "\\A"));
    EXPECT_FALSE(reg::KeyExists(base + "\\A\\B"));
    EXPECT_EQ(key, nullptr);
    ZwClose(driverKey);
}

// A capture start whose load fails somewhere must not let the stop that
// follows replace what the user stored: the stop saves what was read and
// nothing from a failed read. The stored values are all ones a capture
// start keeps as they are, so a fault-free run leaves the registry as it was.
TEST_F(SettingsStoreTest, FailedLoadAtCaptureStartKeepsStoredValues)
{
    const std::vector<std::pair<const char*, uint32_t>> stored = {
        {"Brightness", 100}, {"Contrast", 50},     {"Saturation", 300},   {"Hue", 90},        {"Gamma", 40},
        {"Sharpness", 5},    {"WhiteBalance", 200}, {"Mirror", 1},        {"Flip", 1},        {"AE_ON", 1},
        {"AELevel", 7},      {"WhitePoint", 8},     {"Quality", 9},       {"LowLight", 10},   {"HighLight", 11},
        {"LightFlicker", 12}, {"InputSource", 2},   {"InputConf", 1},     {"InputChannel", 1}, {"QltSpdMode", 13},
        {"VideoStandard", 0x10},
    };
    struct Case {
        const char* what;
        std::function<void()> fault;
    };
    const Case cases[] = {
        {"no fault", [] {}},
        {"driver key open", [] { kv::kernel::InjectFailure("IoOpenDeviceRegistryKey", STATUS_INSUFFICIENT_RESOURCES); }},
        {"settings key create", [] { kv::kernel::InjectFailure("ZwCreateKey", STATUS_ACCESS_DENIED); }},
        {"first value read", [] { kv::kernel::InjectFailure("ZwQueryValueKey", STATUS_INSUFFICIENT_RESOURCES); }},
        {"standard index read", [] { kv::kernel::InjectFailure("ZwQueryValueKey", STATUS_UNSUCCESSFUL, 1, 16); }},
        {"video standard read", [] { kv::kernel::InjectFailure("ZwQueryValueKey", STATUS_DEVICE_NOT_READY, 1, 20); }},
        {"every read", [] { kv::kernel::InjectFailure("ZwQueryValueKey", STATUS_UNSUCCESSFUL, SETTINGS_COUNT); }},
        {"pool exhausted", [] { pool::FailTag(kDriverTag); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reg::DeleteKey(SettingsKey());
        for (const auto& [name, value] : stored) reg::SetDword(SettingsKey(), name, value);
        const std::string before = reg::SaveToText();
        c.fault();
        NTSTATUS allocated = Allocate(640, 480);
        pool::ClearFaults();
        kv::kernel::ClearInjectedFailures();
        ASSERT_EQ(allocated, STATUS_SUCCESS);
        ASSERT_EQ(CamStopCaptureEx(nullptr, Ctx(), 0), (NTSTATUS)1);
        EXPECT_EQ(reg::SaveToText(), before);
        ASSERT_EQ(CamFreeBandwidthEx(nullptr, Ctx(), 0), STATUS_SUCCESS);
    }
}

// After a load that could not read a value, a property request that sets it
// saves it; "VideoStandard" goes along only once it was read or set.
TEST_F(SettingsStoreTest, ValueSetAfterAFailedLoadIsSaved)
{
    reg::SetDword(SettingsKey(), "Brightness", 100);
    reg::SetDword(SettingsKey(), "VideoStandard", 0x10);
    Unset();
    kv::kernel::InjectFailure("IoOpenDeviceRegistryKey", STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(LoadSettings(Ctx()), 0);
    Ctx()->brightness = 120;
    Ctx()->videoStandard = 1;
    ASSERT_EQ(SaveSettings(Ctx(), SAVE_BRIGHTNESS), (NTSTATUS)1);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "Brightness"), 120u);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "VideoStandard"), 0x10u);
    ASSERT_EQ(SaveSettings(Ctx(), SAVE_ALL), (NTSTATUS)1);
    EXPECT_EQ(reg::ValueNames(SettingsKey()), (std::vector<std::string>{"Brightness", "VideoStandard"}));
    ASSERT_EQ(SaveSettings(Ctx(), SAVE_INPUT_SOURCE), (NTSTATUS)1);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "VideoStandard"), 1u);
}
