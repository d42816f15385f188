// The sweep's registry judge: a run may leave each value as it found it or
// as the clean run leaves it, nothing else.
#include <gtest/gtest.h>

#include "tests/sweep/sweep.h"

namespace {

using kv::kernel::registry::Value;
using sweep::RegistryImage;

Value Dword(uint8_t low)
{
    return Value{REG_DWORD, {low, 0, 0, 0}};
}

TEST(RegistryJudge, OnlyTheValueBeforeOrTheCleanRunsValueIsExpected)
{
    const std::string key = "\\REGISTRY\\MACHINE\\X\\SETTINGS";
    const std::string value = key + "\\:BRIGHTNESS";
    struct Case {
        const char* name;
        std::optional<Value> before, clean, after;  // nullopt: the value is absent
        bool changed;
    };
    const Case cases[] = {
        {"untouched", Dword(150), Dword(150), Dword(150), false},
        {"set as the clean run sets it", Dword(150), Dword(1), Dword(1), false},
        {"left as before by a run that failed first", Dword(150), Dword(1), Dword(150), false},
        {"overwritten with a default", Dword(150), Dword(150), Dword(128), true},
        {"lost", Dword(150), Dword(150), std::nullopt, true},
        {"created where the clean run creates none", std::nullopt, std::nullopt, Dword(7), true},
        {"created as the clean run creates it", std::nullopt, Dword(7), Dword(7), false},
        {"same number, other type", Dword(150), Dword(150), Value{REG_BINARY, {150, 0, 0, 0}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto image = [&](const std::optional<Value>& v) {
            RegistryImage i{{key, std::nullopt}};
            if (v) i[value] = *v;
            return i;
        };
        const auto changes = sweep::UnexpectedChanges(image(c.before), image(c.clean), image(c.after));
        EXPECT_EQ(changes.size(), c.changed ? 1u : 0u);
        if (c.changed && !changes.empty()) {
            EXPECT_EQ(changes[0].rfind(value, 0), 0u) << changes[0];
        }
    }
}

TEST(RegistryJudge, AKeyTheRunRemovedOrAddedCounts)
{
    const RegistryImage with{{"\\REGISTRY\\MACHINE\\A", std::nullopt}, {"\\REGISTRY\\MACHINE\\A\\B", std::nullopt}};
    const RegistryImage without{{"\\REGISTRY\\MACHINE\\A", std::nullopt}};
    EXPECT_EQ(sweep::UnexpectedChanges(with, with, without).size(), 1u);
    EXPECT_EQ(sweep::UnexpectedChanges(without, without, with).size(), 1u);
    EXPECT_TRUE(sweep::UnexpectedChanges(without, with, with).empty());
}

}  // namespace
