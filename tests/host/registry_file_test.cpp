// The registry export file: what a saved file looks like, round trips, hand
// edits, and malformed files that must be refused with their line number.
#include "tests/support/kernel_test.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace {

namespace k = kv::kernel;
namespace reg = kv::kernel::registry;

const std::string kDriverKey =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000";
const std::string kSettings = kDriverKey + "\\Settings";
const std::string kKv3300 = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\KV3300";

std::vector<uint8_t> Utf16Bytes(std::u16string_view text)
{
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

class RegistryFileTest : public KernelTest {
protected:
    // A registry as a device start and a few property requests leave it,
    // plus one value of every kind the file must carry.
    static void Populate()
    {
        reg::SetDword(kSettings, "Brightness", 128);
        reg::SetDword(kSettings, "Contrast", 0xFFFFFFFF);
        reg::SetValue(kDriverKey, "CreatefileName",
                      {REG_SZ, Utf16Bytes(u"\\\\.\\USB#VID_1234&PID_5678#5&1a2b3c&0&1#{65e8773d}\\global")});
        reg::SetString(kKv3300, "Label", "Say \"hi\" \\ bye");
        reg::SetString(kKv3300, "", "default text");
        reg::SetValue(kKv3300, "Blob", {REG_BINARY, std::vector<uint8_t>(40, 0xAB)});
        reg::SetValue(kKv3300, "Path", {REG_EXPAND_SZ, Utf16Bytes(std::u16string(u"%SystemRoot%\\x") + u'\0')});
        reg::SetValue(kKv3300, "List", {REG_MULTI_SZ, Utf16Bytes(std::u16string(u"a\0b\0\0", 5))});
        reg::SetValue(kKv3300, "Big", {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}});
        reg::SetValue(kKv3300, "Nothing", {REG_NONE, {}});
        reg::SetValue(kKv3300, "ShortDword", {REG_DWORD, {1, 2}});
        reg::SetValue(kKv3300, "Odd", {REG_SZ, {0x41}});
        reg::SetString(kKv3300, "Unicode", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC");
    }

    static std::string TempFile()
    {
        char name[] = "/tmp/kv_registry_XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        return name;
    }
};

TEST_F(RegistryFileTest, SavedFileReadsLikeARegistryEditorExport)
{
    Populate();
    std::string text = reg::SaveToText();
    auto has = [&](const std::string& piece) {
        EXPECT_NE(text.find(piece), std::string::npos) << "missing: " << piece << "\n" << text;
    };
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n", 0), 0u);
    has("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"
        "\\0000\\Settings]\n\"Brightness\"=dword:00000080\n\"Contrast\"=dword:ffffffff\n");
    has("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\KV3300]\n");
    has("\"Label\"=\"Say \\\"hi\\\" \\\\ bye\"\n");
    has("@=\"default text\"\n");
    has("\"Big\"=hex(b):01,02,03,04,05,06,07,08\n");
    has("\"Nothing\"=hex(0):\n");
    has("\"ShortDword\"=hex(4):01,02\n");
    has("\"Unicode\"=\"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC\"\n");
    // Long lists wrap with a backslash and an indented continuation.
    has("\"Blob\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\n  ab,");
    // A string stored without its terminator keeps its exact bytes, with a
    // comment a person can read.
    has("; \"CreatefileName\" reads \"\\\\\\\\.\\\\USB#VID_1234&PID_5678#5&1a2b3c&0&1#{65e8773d}\\\\global\" "
        "(stored without a terminating null)\n\"CreatefileName\"=hex(1):5c,00,5c,00,2e,00,");
    has("\"Path\"=hex(2):25,00,53,00");
    EXPECT_EQ(text.find("HARDWARE"), std::string::npos) << "volatile keys are not saved";
    // Hex lists wrap to stay readable.
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (line.find("=hex") != std::string::npos || line.rfind("  ", 0) == 0) {
            EXPECT_LE(line.size(), 80u) << line;
        }
    }
}

TEST_F(RegistryFileTest, SaveAndLoadRoundTripExactly)
{
    Populate();
    std::string text = reg::SaveToText();
    std::string file = TempFile();
    std::string error;
    ASSERT_TRUE(reg::SaveFile(file, &error)) << error;

    k::Reset();
    EXPECT_FALSE(reg::KeyExists(kKv3300));
    auto loaded = reg::LoadFile(file);
    ASSERT_TRUE(loaded.ok) << loaded.message;
    std::remove(file.c_str());
    EXPECT_EQ(reg::SaveToText(), text);
    EXPECT_EQ(reg::GetDword(kSettings, "Brightness"), 128u);
    auto link = reg::GetValue(kDriverKey, "CreatefileName");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->data, Utf16Bytes(u"\\\\.\\USB#VID_1234&PID_5678#5&1a2b3c&0&1#{65e8773d}\\global"));
    EXPECT_EQ(reg::GetValue(kKv3300, "List")->data, Utf16Bytes(std::u16string(u"a\0b\0\0", 5)));
    EXPECT_EQ(reg::GetValue(kKv3300, "ShortDword")->type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(reg::GetValue(kKv3300, "Odd")->data, std::vector<uint8_t>{0x41});
    EXPECT_EQ(reg::GetString(kKv3300, ""), "default text");
    EXPECT_EQ(reg::ValueNames(kKv3300).front(), "Label") << "values keep their order";
    // The base keys are there even though the file is the whole registry.
    EXPECT_TRUE(reg::KeyExists("HKLM\\HARDWARE\\DEVICEMAP"));
}

TEST_F(RegistryFileTest, HandEditedFileIsReadBack)
{
    Populate();
    std::string text = reg::SaveToText();
    auto replace = [&](const std::string& from, const std::string& to) {
        size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
    };
    // A person changes a value, adds some in their own spelling, comments
    // and spacing, and writes Windows line ends.
    replace("\"Brightness\"=dword:00000080", "\"Brightness\"=dword:96");
    replace("\"Contrast\"=dword:ffffffff",
            "; lowered by hand\n\n  \"Contrast\" = dword:0000002A  \n"
            "\"Gamma\"=hex(4):64,00,\\\n    00,00\n\"Spaced\"=hex:01 , 02,\\\n 03\n");
    std::string crlf;
    for (char c : text) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    auto result = reg::LoadFromText(crlf);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(reg::GetDword(kSettings, "Brightness"), 0x96u);
    EXPECT_EQ(reg::GetDword(kSettings, "Contrast"), 42u);
    EXPECT_EQ(reg::GetDword(kSettings, "Gamma"), 100u);
    EXPECT_EQ(reg::GetValue(kSettings, "Spaced")->data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(RegistryFileTest, MergeImportsDeletionsAndUtf16Files)
{
    Populate();
    auto result = reg::LoadFromText(
        "Windows Registry Editor Version 5.00\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\KV3300]\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"
        "\\0000\\Settings]\n"
        "\"Brightness\"=-\n\"Hue\"=dword:000000b4\n"
        "[HKEY_USERS\\.DEFAULT\\Test]\n@=\"x\"\n",
        reg::LoadMode::Merge);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_FALSE(reg::KeyExists(kKv3300));
    EXPECT_FALSE(reg::GetValue(kSettings, "Brightness"));
    EXPECT_EQ(reg::GetDword(kSettings, "Contrast"), 0xFFFFFFFFu);
    EXPECT_EQ(reg::GetDword(kSettings, "Hue"), 180u);
    EXPECT_EQ(reg::GetString("\\REGISTRY\\USER\\.DEFAULT\\Test", ""), "x");

    // Registry Editor writes UTF-16 with a byte order mark.
    std::u16string wide = u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\W]\r\n"
                          u"\"N\"=\"\u00e9\"\r\n";
    std::string bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    result = reg::LoadFromText(bytes, reg::LoadMode::Merge);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(reg::GetString("HKLM\\SOFTWARE\\W", "N"), "\xC3\xA9");
}

struct BadFile {
    const char* text;
    int line;
    const char* message;
};

namespace {

// "\\k\\k..." with `levels` components.
std::string Nested(size_t levels)
{
    std::string path;
    for (size_t i = 0; i < levels; ++i) path += "\\k";
    return path;
}

}  // namespace

TEST_F(RegistryFileTest, MalformedFilesAreRefusedWithTheirLineAndChangeNothing)
{
    Populate();
    const std::string before = reg::SaveToText();
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string section = header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"Ok\"=dword:1\n";
    const std::string cases[][3] = {
        {"", "1", "the first line must be"},
        {"REGEDIT4\n", "1", "REGEDIT4 files are not supported"},
        {"\n\n; comment\nWindows Registry Editor Version 5.00\n", "3", "the first line must be"},
        {header + "\"Early\"=dword:1\n", "3", "value before the first key section"},
        {header + "[HKEY_CURRENT_USER\\Software]\n", "3", "unknown root key \"HKEY_CURRENT_USER\""},
        {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\n", "3", "without its closing ']'"},
        {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\T]\n", "3", "bad key path"},
        {header + "[-HKEY_LOCAL_MACHINE]\n", "3", "a root key cannot be deleted"},
        {section + "\"D\"=dword:123456789\n", "5", "bad dword"},
        {section + "\"D\"=dword:12g4\n", "5", "bad dword"},
        {section + "\"D\"=dword:\n", "5", "bad dword"},
        {section + "\"H\"=hex:01,0g\n", "5", "bad hex byte \"0g\""},
        {section + "\"H\"=hex:01,,02\n", "5", "empty byte"},
        {section + "\"H\"=hex:100\n", "5", "bad hex byte"},
        {section + "\"H\"=hex(7:00\n", "5", "without its closing ')'"},
        {section + "\"H\"=hex(123456789):00\n", "5", "bad value type"},
        {section + "\"H\"=hex;00\n", "5", "expected ':' after hex"},
        {section + "\"H\"=hex:01,\\\n", "5", "line continuation at the end of the file"},
        {section + "\"H\"=hex:01,\\\n\n02\n", "6", "expected the continued hex list"},
        {section + "\"H\"=hex:01,02,\n", "5", "the file is cut short"},
        {section + "\"H\"=hex:01,\\\n  02,", "5", "the file is cut short"},
        {header + "[HKEY_LOCAL_MACHINE" + Nested(512) + "]\n", "3", "deeper than 512 levels"},
        {section + "\"S\"=\"open\n", "5", "without its closing quote"},
        {section + "\"S\"=\"tab\\t\"\n", "5", "unknown escape"},
        {section + "\"S\"=\"a\" b\n", "5", "unexpected text after the closing quote"},
        {section + "\"S\"\n", "5", "expected '='"},
        {section + "\"\"=dword:1\n", "5", "empty value name"},
        {section + "\"S\"=qword:1\n", "5", "unrecognised value data"},
        {section + "garbage\n", "5", "expected a key section, a value or a comment"},
        {section + "\"S\"=\"\xC3\x28\"\n", "5", "not valid UTF-8"},
        {section + std::string("\"S\"=\"a\0b\"\n", 11), "5", "null character"},
        {std::string("\xFE\xFF\x00W", 4), "0", "big-endian"},
    };
    for (const auto& [text, line, message] : cases) {
        auto result = reg::LoadFromText(text);
        EXPECT_FALSE(result.ok) << text;
        EXPECT_EQ(result.line, std::stoi(line)) << text << "\n" << result.message;
        EXPECT_NE(result.message.find(message), std::string::npos) << text << "\n" << result.message;
        if (result.line > 0) {
            EXPECT_EQ(result.message.rfind("line " + line + ": ", 0), 0u) << result.message;
        }
        EXPECT_EQ(reg::SaveToText(), before) << "the registry changed after: " << text;
    }
}

TEST_F(RegistryFileTest, LoadIsRefusedWhileHandlesAreOpenAndMissingFilesAreNamed)
{
    PDEVICE_OBJECT pdo = k::io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1");
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    auto result = reg::LoadFromText("Windows Registry Editor Version 5.00\n");
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find("handles are open"), std::string::npos);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    result = reg::LoadFile("/nonexistent/dir/settings.reg");
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find("/nonexistent/dir/settings.reg"), std::string::npos);
    std::string error;
    EXPECT_FALSE(reg::SaveFile("/nonexistent/dir/settings.reg", &error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
}

TEST_F(RegistryFileTest, ADeviceKeepsItsDriverKeyAcrossASavedRegistry)
{
    PDEVICE_OBJECT first = k::io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\A");
    PDEVICE_OBJECT second = k::io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\B");
    reg::SetDword(reg::DriverKeyPath(second) + "\\Settings", "Hue", 7);
    std::string text = reg::SaveToText();

    k::Reset();
    ASSERT_TRUE(reg::LoadFromText(text).ok);
    // Plugged in the other way round this time.
    second = k::io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\B");
    first = k::io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\A");
    EXPECT_EQ(reg::DriverKeyPath(first), kDriverKey);
    EXPECT_EQ(reg::GetDword(reg::DriverKeyPath(second) + "\\Settings", "Hue"), 7u);
}

}  // namespace

// The deepest path the registry allows loads and saves back; a key with many
// values keeps their order, replaces by name whatever the case, and finds
// each value again after one in the middle was deleted.
TEST_F(RegistryFileTest, DeepPathsAndManyValuesLoadIntact)
{
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string deep = "[HKEY_LOCAL_MACHINE" + Nested(511) + "]\n\"V\"=dword:00000001\n";
    ASSERT_TRUE(reg::LoadFromText(header + deep).ok);
    EXPECT_NE(reg::SaveToText().find(deep), std::string::npos);

    std::string text = header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\n";
    constexpr int kValues = 20000;
    for (int i = 0; i < kValues; ++i) text += "\"v" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
    text += "\"V7\"=dword:00000099\n\"v5\"=-\n";
    ASSERT_TRUE(reg::LoadFromText(text).ok);
    const std::string key = "\\REGISTRY\\MACHINE\\SOFTWARE\\Many";
    const std::vector<std::string> names = reg::ValueNames(key);
    ASSERT_EQ(names.size(), static_cast<size_t>(kValues - 1));
    EXPECT_EQ(names[5], "v6");
    EXPECT_EQ(names.back(), "v" + std::to_string(kValues - 1));
    EXPECT_EQ(reg::GetDword(key, "v7"), 0x99u);
    EXPECT_FALSE(reg::GetDword(key, "v5"));
    for (int i : {0, 6, 19999}) EXPECT_EQ(reg::GetDword(key, "V" + std::to_string(i)), static_cast<uint32_t>(i % 10));
}
