// Base fixture for every test that runs code against the kernel emulation.
//
// SetUp returns the emulation to its initial state. TearDown fails the test
// when the code under test did something the platform would not accept (a
// recorded violation), left pool allocations behind, left registry handles
// open or left IRPs uncompleted. A test that leaks on purpose opts out with
// AllowPoolLeaks(); one that provokes a violation takes it out with
// ExpectViolation().
#pragma once

#include "host/kernel.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { kv::kernel::Reset(); }

    void TearDown() override
    {
        namespace k = kv::kernel;
        for (const auto& irp : k::io::OutstandingIrps()) {
            ADD_FAILURE() << "IRP never completed: " << irp;
        }
        for (const auto& violation : k::Violations()) {
            ADD_FAILURE() << "violation: " << violation;
        }
        if (checkPool_) {
            EXPECT_EQ(k::pool::OutstandingCount(), 0u) << "pool allocations left:\n" << k::pool::LeakReport();
        }
        for (const auto& handle : k::registry::OpenHandles()) {
            ADD_FAILURE() << "registry handle left open: " << handle;
        }
    }

    // The test leaves pool allocations behind on purpose.
    void AllowPoolLeaks() { checkPool_ = false; }

    // Expects a recorded violation containing `text` and removes it, so that
    // TearDown does not count it.
    void ExpectViolation(std::string_view text)
    {
        EXPECT_TRUE(kv::kernel::TakeViolation(text)) << "no violation containing \"" << text << "\"";
    }

private:
    bool checkPool_ = true;
};
