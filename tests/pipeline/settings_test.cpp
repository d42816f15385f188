// Handles and settings: lifetime in the pool, what each setting call
// accepts, and settings changing under a running conversion.
#include "pipeline_test_support.h"

#include <atomic>
#include <thread>

#include "tests/support/kernel_test.h"

using namespace pipeline_test;
namespace pool = kv::kernel::pool;

namespace {

class Handles : public KernelTest {};

TEST_F(Handles, LiveInNonPagedPoolUnderTheirOwnTagAndAreReleasedWhole)
{
    PPL_HANDLE a = ppl_init();
    PPL_HANDLE b = ppl_init();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(pool::OutstandingCount(pool::Tag("ZelP")), 2u);
    for (const auto& block : pool::Outstanding()) EXPECT_EQ(block.type, NonPagedPool);
    // A conversion allocates nothing.
    const Fields f = RandomFields(720, 576, 3);
    const uint64_t before = pool::AllocationCount();
    for (Format fmt : {Format::YUY2, Format::I420, Format::RGB24}) Convert(fmt, a, f, 500, 333);
    EXPECT_EQ(pool::AllocationCount(), before);
    ppl_free(a);
    ppl_free(b);
    EXPECT_EQ(pool::OutstandingCount(), 0u);
}

TEST_F(Handles, AnExhaustedPoolGivesANullHandleThatIsSafeToUse)
{
    pool::FailNth(1);
    PPL_HANDLE h = ppl_init();
    EXPECT_EQ(h, nullptr);
    ppl_set_sensor_type(h, PPL_SENSOR_TYPE_22356);
    ppl_set_h_mirror(h, 1);
    ppl_set_v_mirror(h, 1);
    ppl_set_gamma(h, 10);
    const Fields f = RandomFields(64, 8, 4);
    Bytes out(64 * 8 * 2, 0x77);
    ConvertInto(Format::YUY2, h, f, out.data(), 64, 8);
    EXPECT_EQ(out, Bytes(64 * 8 * 2, 0x77));
    ppl_free(h);
}

TEST_F(Handles, FreedHandleIsRefusedWhileItsMemoryLingers)
{
    // The pool emulation fills freed blocks, but a handle's own check must
    // not depend on that: the free clears the mark first.
    PPL_HANDLE h = ppl_init();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(zelpipe::HandleCpuLevel(h), zelpipe::BestCpuLevel());
    ppl_free(h);
    EXPECT_EQ(pool::OutstandingCount(), 0u);
}

class Setters : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        h = ppl_init();
        ASSERT_NE(h, nullptr);
        fields = RandomFields(64, 8, 12);
        plain = Convert(Format::YUY2, h, fields, 64, 8);
    }
    void TearDown() override
    {
        ppl_free(h);
        KernelTest::TearDown();
    }
    Bytes Now() { return Convert(Format::YUY2, h, fields, 64, 8); }
    PPL_HANDLE h = nullptr;
    Fields fields;
    Bytes plain;
};

TEST_F(Setters, MirrorAndFlipReadTheLowByte)
{
    ppl_set_h_mirror(h, 1);
    const Bytes mirrored = Now();
    EXPECT_NE(mirrored, plain);
    ppl_set_h_mirror(h, 0x100);  // low byte 0: off
    EXPECT_EQ(Now(), plain);
    ppl_set_h_mirror(h, 0x1FF);
    EXPECT_EQ(Now(), mirrored);
    ppl_set_h_mirror(h, 0);
    ppl_set_v_mirror(h, 0x80);
    const Bytes flipped = Now();
    EXPECT_NE(flipped, plain);
    ppl_set_v_mirror(h, -256);
    EXPECT_EQ(Now(), plain);
}

TEST_F(Setters, GammaIsLimitedToItsRange)
{
    ppl_set_gamma(h, 32);
    const Bytes brightest = Now();
    ppl_set_gamma(h, 1000);
    EXPECT_EQ(Now(), brightest);
    ppl_set_gamma(h, -32);
    const Bytes darkest = Now();
    ppl_set_gamma(h, (LONG)0x80000000);
    EXPECT_EQ(Now(), darkest);
    ppl_set_gamma(h, 0);
    EXPECT_EQ(Now(), plain);
}

TEST_F(Setters, SensorTypeDoesNotChangeThePicture)
{
    for (LONG code : {PPL_SENSOR_TYPE_22356, PPL_SENSOR_TYPE_18512, 0, -1}) {
        ppl_set_sensor_type(h, code);
        EXPECT_EQ(Now(), plain);
    }
}

TEST_F(Setters, SettingsThatChangeDuringAConversionNeverMix)
{
    // One thread keeps switching mirror, flip and gamma between two values
    // each while conversions run; every output must be exactly one of the
    // eight outputs those settings can give.
    const Fields f = RandomFields(720, 576, 61);
    std::vector<Bytes> valid;
    for (int m = 0; m < 2; ++m) {
        for (int v = 0; v < 2; ++v) {
            for (int g : {0, 24}) {
                ppl_set_h_mirror(h, m);
                ppl_set_v_mirror(h, v);
                ppl_set_gamma(h, g);
                for (Format fmt : {Format::YUY2, Format::RGB24}) valid.push_back(Convert(fmt, h, f, 720, 576));
            }
        }
    }
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (unsigned i = 0; !stop.load(); ++i) {
            ppl_set_h_mirror(h, i & 1);
            ppl_set_v_mirror(h, (i >> 1) & 1);
            ppl_set_gamma(h, (i >> 2) & 1 ? 24 : 0);
        }
    });
    int mismatches = 0;
    for (int round = 0; round < 40; ++round) {
        for (Format fmt : {Format::YUY2, Format::RGB24}) {
            const Bytes out = Convert(fmt, h, f, 720, 576);
            bool found = false;
            for (const Bytes& v : valid) found = found || v == out;
            if (!found) ++mismatches;
        }
    }
    stop = true;
    setter.join();
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
