// Whole conversions through the library's calls: every SIMD level gives the
// C level's bytes on every geometry the capture path produces (and some it
// does not), with mirror, flip and gamma, misaligned buffers, every output
// byte written and none outside; refused geometry leaves the output alone.
#include "pipeline_test_support.h"

#include <string>

#include "tests/support/kernel_test.h"

using namespace pipeline_test;

namespace {

struct Geometry {
    int sw, sh, ow, oh;
};

std::string Text(const Geometry& g)
{
    return std::to_string(g.sw) + "x" + std::to_string(g.sh) + "_to_" + std::to_string(g.ow) + "x" +
           std::to_string(g.oh);
}

// The capture path's pairs (full height, half and quarter, across
// standards, the 284-line field padded to 288 or not), then general ratios,
// odd sizes and the smallest frames.
const Geometry kGeometries[] = {
    {720, 576, 720, 576}, {720, 480, 720, 480}, {640, 480, 640, 480}, {704, 576, 352, 288},
    {704, 480, 352, 240}, {704, 576, 176, 144}, {704, 480, 176, 120}, {640, 480, 320, 240},
    {640, 480, 160, 120}, {704, 480, 352, 288}, {704, 480, 176, 144}, {704, 568, 176, 120},
    {704, 480, 352, 480}, {720, 576, 720, 288}, {720, 576, 720, 144}, {720, 576, 360, 144},
    {720, 576, 500, 333}, {720, 576, 718, 574}, {720, 576, 1, 1},     {66, 10, 22, 4},
    {2, 2, 2, 2},         {2, 2, 2, 1},         {34, 6, 34, 6},       {40, 8, 10, 2},
};

struct Settings {
    bool mirror, flip;
    int gamma;
};

struct Case {
    Geometry g;
    Format format;
};

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    for (const Geometry& g : kGeometries) {
        for (Format f : {Format::YUY2, Format::I420, Format::RGB24}) {
            if (f != Format::RGB24 && (g.ow & 1)) continue;
            if (f == Format::I420 && (g.oh & 1)) continue;
            cases.push_back({g, f});
        }
    }
    // Odd widths only RGB24 can hold.
    for (Geometry g : {Geometry{720, 576, 719, 575}, Geometry{704, 480, 351, 240}, Geometry{640, 480, 161, 121},
                       Geometry{6, 4, 3, 1}}) {
        cases.push_back({g, Format::RGB24});
    }
    return cases;
}

class LevelsAgree : public KernelTest, public ::testing::WithParamInterface<Case> {};

TEST_P(LevelsAgree, OnEverySettingAndAlignment)
{
    const Case c = GetParam();
    const Geometry g = c.g;
    const Fields fields = RandomFields(g.sw, g.sh, g.sw * 7 + g.oh);
    const size_t outBytes = OutputBytes(c.format, g.ow, g.oh);

    const Settings settings[] = {{false, false, 0},  {true, false, 0},  {false, true, 0},  {true, true, 0},
                                 {false, false, -7}, {true, true, 32}, {false, true, -32}};
    PPL_HANDLE reference = zelpipe::CreateHandleForLevel(zelpipe::kCpuC);
    ASSERT_NE(reference, nullptr);
    int variant = 0;
    for (const Settings& s : settings) {
        ppl_set_h_mirror(reference, s.mirror);
        ppl_set_v_mirror(reference, s.flip);
        ppl_set_gamma(reference, s.gamma);
        Bytes expected(outBytes);
        ConvertInto(c.format, reference, fields, expected.data(), g.ow, g.oh);

        for (auto level : SimdLevels()) {
            PPL_HANDLE h = zelpipe::CreateHandleForLevel(level);
            ASSERT_NE(h, nullptr);
            ppl_set_h_mirror(h, s.mirror);
            ppl_set_v_mirror(h, s.flip);
            ppl_set_gamma(h, s.gamma);
            // Inputs and output off their natural alignment by a different
            // amount each time.
            const size_t shift = static_cast<size_t>(variant++);
            Guarded prev(fields.FieldBytes(), shift % 4, 0), first(fields.FieldBytes(), (shift + 1) % 4, 0),
                second(fields.FieldBytes(), (shift + 2) % 4, 0);
            prev.Fill(fields.previous);
            first.Fill(fields.first);
            second.Fill(fields.second);
            // Two runs over different sentinels: a byte the conversion does
            // not write shows up as a difference between them.
            Guarded outA(outBytes, (shift + 3) % 4, 0x00), outB(outBytes, shift % 3, 0xFF);
            ConvertInto(c.format, h, prev.data(), first.data(), second.data(), outA.data(), g.sw, g.sh, g.ow, g.oh);
            ConvertInto(c.format, h, prev.data(), first.data(), second.data(), outB.data(), g.sw, g.sh, g.ow, g.oh);
            const std::string what = std::string(zelpipe::KernelsFor(level)->name) + " mirror " +
                                     std::to_string(s.mirror) + " flip " + std::to_string(s.flip) + " gamma " +
                                     std::to_string(s.gamma);
            ASSERT_TRUE(outA.GuardsIntact()) << what << ": wrote before or after the output";
            ASSERT_TRUE(outB.GuardsIntact()) << what << ": wrote before or after the output";
            ASSERT_EQ(outA.Contents(), outB.Contents()) << what << ": left output bytes unwritten";
            ASSERT_EQ(outA.Contents(), expected) << what;
            ppl_free(h);
        }
    }
    ppl_free(reference);
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info)
{
    return std::string(Name(info.param.format)) + "_" + Text(info.param.g);
}

INSTANTIATE_TEST_SUITE_P(Geometry, LevelsAgree, ::testing::ValuesIn(Cases()), CaseName);

// ------------------------------------------------------ refused input ----

class Refused : public KernelTest {};

TEST_F(Refused, UnsupportedGeometryLeavesTheOutputUntouched)
{
    PPL_HANDLE h = ppl_init();
    ASSERT_NE(h, nullptr);
    const Fields f = RandomFields(720, 576, 5);
    const Geometry bad[] = {
        {720, 576, 722, 576},  // wider than the source
        {720, 480, 720, 576},  // taller than the source (a 576-line format on a 525-line standard)
        {0, 576, 0, 576},      {720, 0, 720, 0},  {720, 576, 0, 288}, {720, 576, 360, 0},
        {-720, 576, 360, 288}, {720, -576, 360, 288}, {720, 576, -360, 288}, {720, 576, 360, -288},
        {721, 576, 360, 288},  // odd source width
        {720, 575, 360, 287},  // odd source height
        {722, 576, 360, 288},  // wider than the buffers
        {720, 578, 360, 288},  // taller than the buffers
        {0x7FFFFFFF, 576, 360, 288}, {720, 0x7FFFFFFF, 360, 288}, {720, 576, 0x7FFFFFFF, 0x7FFFFFFF},
        {(int)0x80000000, 576, 360, 288},
    };
    for (const Geometry& g : bad) {
        for (Format fmt : {Format::YUY2, Format::I420, Format::RGB24}) {
            Bytes out(64, 0xC3);
            ConvertInto(fmt, h, f.previous.data(), f.first.data(), f.second.data(), out.data(), g.sw, g.sh, g.ow, g.oh);
            EXPECT_EQ(out, Bytes(64, 0xC3)) << Name(fmt) << " " << Text(g);
        }
    }
    // Odd sizes the format cannot hold.
    Bytes out(720 * 576 * 3, 0xC3);
    const Bytes untouched = out;
    ConvertInto(Format::YUY2, h, f, out.data(), 351, 288);
    ConvertInto(Format::I420, h, f, out.data(), 351, 288);
    ConvertInto(Format::I420, h, f, out.data(), 352, 287);
    EXPECT_EQ(out, untouched);
    ppl_free(h);
}

TEST_F(Refused, NullPointersAndHandlesLeaveTheOutputUntouched)
{
    PPL_HANDLE h = ppl_init();
    ASSERT_NE(h, nullptr);
    const Fields f = RandomFields(64, 8, 6);
    Bytes out(64 * 8 * 3, 0xC3);
    const Bytes untouched = out;
    for (Format fmt : {Format::YUY2, Format::I420, Format::RGB24}) {
        ConvertInto(fmt, h, nullptr, f.first.data(), f.second.data(), out.data(), 64, 8, 64, 8);
        ConvertInto(fmt, h, f.previous.data(), nullptr, f.second.data(), out.data(), 64, 8, 32, 4);
        ConvertInto(fmt, h, f.previous.data(), f.first.data(), nullptr, out.data(), 64, 8, 64, 8);
        ConvertInto(fmt, h, f.previous.data(), f.first.data(), f.second.data(), nullptr, 64, 8, 64, 8);
        ConvertInto(fmt, nullptr, f.previous.data(), f.first.data(), f.second.data(), out.data(), 64, 8, 64, 8);
        // Memory that is not a handle.
        Bytes foreign(4096, 0x11);
        ConvertInto(fmt, foreign.data(), f.previous.data(), f.first.data(), f.second.data(), out.data(), 64, 8, 64, 8);
        ppl_set_gamma(foreign.data(), 5);
        ppl_free(foreign.data());
        EXPECT_EQ(foreign, Bytes(4096, 0x11));
    }
    EXPECT_EQ(out, untouched);
    ppl_free(h);
}

}  // namespace
