// Stored settings: where the registry file lives, and loading and saving it.
#include <gtest/gtest.h>

#include <map>

#include "host/kernel.h"
#include "tests/tools/temp_dir.h"
#include "tools/state.h"

using namespace kvcap;

namespace {

EnvLookup Env(std::map<std::string, std::string> vars)
{
    return [vars](std::string_view name) -> std::optional<std::string> {
        auto it = vars.find(std::string(name));
        if (it == vars.end()) return std::nullopt;
        return it->second;
    };
}

class StoredSettings : public ::testing::Test {
protected:
    void SetUp() override { kv::kernel::Reset(); }
    void TearDown() override { kv::kernel::Reset(); }
};

}  // namespace

TEST_F(StoredSettings, LocationByFlagThenEnvironmentThenXdgThenHome)
{
    std::string error;
    const auto all = Env({{"KVCAP_REGISTRY", "/e/r.reg"}, {"XDG_STATE_HOME", "/x"}, {"HOME", "/h"}});
    EXPECT_EQ(ResolveRegistryLocation("f.reg", all, &error)->path, "f.reg");
    EXPECT_EQ(ResolveRegistryLocation("", all, &error)->path, "/e/r.reg");
    EXPECT_EQ(ResolveRegistryLocation("", all, &error)->origin, "KVCAP_REGISTRY");
    EXPECT_EQ(ResolveRegistryLocation("", Env({{"XDG_STATE_HOME", "/x"}, {"HOME", "/h"}}), &error)->path,
              "/x/kvcap/registry.reg");
    // A relative XDG value does not count.
    EXPECT_EQ(ResolveRegistryLocation("", Env({{"XDG_STATE_HOME", "rel"}, {"HOME", "/h"}}), &error)->path,
              "/h/.local/state/kvcap/registry.reg");
    EXPECT_EQ(ResolveRegistryLocation("", Env({{"KVCAP_REGISTRY", ""}, {"HOME", "/h"}}), &error)->origin, "HOME");
    EXPECT_FALSE(ResolveRegistryLocation("", Env({}), &error));
    EXPECT_EQ(error, "no place for stored settings: HOME is not set; give --registry FILE or KVCAP_REGISTRY");
}

TEST_F(StoredSettings, SavedRegistryComesBackInTheNextRun)
{
    TempDir dir;
    const std::string path = dir.File("state/kvcap/registry.reg");
    std::string error;
    EXPECT_EQ(LoadRegistryFile(path, &error), LoadOutcome::FirstRun);
    kv::kernel::registry::SetDword("HKLM\\SOFTWARE\\Test\\Settings", "Brightness", 140);
    ASSERT_TRUE(SaveRegistryFile(path, &error)) << error;  // creates the directories
    EXPECT_NE(ReadText(path).find("\"Brightness\"=dword:0000008c"), std::string::npos) << ReadText(path);

    kv::kernel::Reset();
    EXPECT_FALSE(kv::kernel::registry::GetDword("HKLM\\SOFTWARE\\Test\\Settings", "Brightness"));
    ASSERT_EQ(LoadRegistryFile(path, &error), LoadOutcome::Loaded) << error;
    EXPECT_EQ(kv::kernel::registry::GetDword("HKLM\\SOFTWARE\\Test\\Settings", "Brightness"), 140u);
}

TEST_F(StoredSettings, MalformedOrUnreadableFileIsRefusedAndLeftAlone)
{
    TempDir dir;
    const std::string path = dir.File("registry.reg");
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"Brightness\"=dword:zz\r\n";
    WriteText(path, text);
    kv::kernel::registry::SetDword("HKLM\\SOFTWARE\\Keep", "Value", 1);
    std::string error;
    EXPECT_EQ(LoadRegistryFile(path, &error), LoadOutcome::Failed);
    EXPECT_EQ(error.rfind("registry file " + path + ": line 4: ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(ReadText(path), text);
    EXPECT_EQ(kv::kernel::registry::GetDword("HKLM\\SOFTWARE\\Keep", "Value"), 1u);  // registry unchanged

    EXPECT_EQ(LoadRegistryFile(dir.Path(), &error), LoadOutcome::Failed);
    EXPECT_EQ(error, "registry file " + dir.Path() + ": not a regular file");

    WriteText(path, "not a registry file at all\n");
    EXPECT_EQ(LoadRegistryFile(path, &error), LoadOutcome::Failed);
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;

    // Saving where a file blocks the directory fails with a message.
    EXPECT_FALSE(SaveRegistryFile(path + "/sub/registry.reg", &error));
    EXPECT_FALSE(error.empty());
}

TEST_F(StoredSettings, ChangesOfARunMergeIntoWhatTheFileHoldsNow)
{
    namespace reg = kv::kernel::registry;
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kv\\Settings";
    TempDir dir;
    const std::string path = dir.File("registry.reg");
    std::string error;

    // The run starts from A=1 B=2 C=3 and a key Old, then changes B, adds D,
    // removes C and the key Old.
    reg::SetDword(key, "A", 1);
    reg::SetDword(key, "B", 2);
    reg::SetDword(key, "C", 3);
    reg::SetDword(key + "\\Old\\Deeper", "X", 9);
    ASSERT_TRUE(SaveRegistryFile(path, &error)) << error;
    const std::string before = reg::SaveToText();
    reg::SetDword(key, "B", 20);
    reg::SetDword(key, "D", 4);
    reg::DeleteValue(key, "C");
    reg::DeleteKey(key + "\\Old");

    // Meanwhile another run stored A=100 and a key of its own.
    const std::string mine = reg::SaveToText();
    ASSERT_TRUE(reg::LoadFromText(before));
    reg::SetDword(key, "A", 100);
    reg::SetDword(key + "\\Other", "Y", 7);
    ASSERT_TRUE(SaveRegistryFile(path, &error)) << error;
    ASSERT_TRUE(reg::LoadFromText(mine));

    ASSERT_TRUE(SaveRegistryChanges(path, before, &error)) << error;
    ASSERT_EQ(LoadRegistryFile(path, &error), LoadOutcome::Loaded) << error;
    const struct {
        const char* key;
        const char* name;
        std::optional<uint32_t> value;
    } expected[] = {
        {"", "A", 100}, {"", "B", 20}, {"", "C", std::nullopt}, {"", "D", 4}, {"\\Other", "Y", 7},
    };
    for (const auto& e : expected) EXPECT_EQ(reg::GetDword(key + e.key, e.name), e.value) << e.name;
    EXPECT_FALSE(reg::KeyExists(key + "\\Old"));

    // A run that changed nothing does not write at all.
    const std::string text = ReadText(path);
    std::filesystem::remove(path);
    ASSERT_TRUE(SaveRegistryChanges(path, reg::SaveToText(), &error)) << error;
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(RegistryChanges(text, text), "");
}
