// Every SIMD row kernel against its C reference: same bytes for every width
// (odd ones, ones shorter than a vector, the capture widths), for misaligned
// sources and destinations, and never a byte written outside the row.
#include "pipeline_test_support.h"

#include <string>

#include "pipeline/rows.h"

using namespace pipeline_test;
using zelpipe::CpuLevel;
using zelpipe::GammaCurve;
using zelpipe::KernelsFor;
using zelpipe::kGammaCurves;
using zelpipe::RowKernels;

namespace {

// Pixel-pair counts: everything around the vector sizes, and the rows the
// capture path converts.
std::vector<int> PairCounts()
{
    std::vector<int> n;
    for (int i = 1; i <= 40; ++i) n.push_back(i);
    for (int i : {47, 48, 49, 63, 64, 65, 80, 88, 160, 176, 180, 320, 352, 360}) n.push_back(i);
    return n;
}

const GammaCurve* Curve(int g) { return g == 0 ? nullptr : &kGammaCurves[g + 32]; }

class RowsTest : public ::testing::TestWithParam<CpuLevel> {
protected:
    const RowKernels& C() { return *KernelsFor(zelpipe::kCpuC); }
    const RowKernels& Simd() { return *KernelsFor(GetParam()); }

    // Runs `kernel` writing `bytes` into a guarded destination for the C and
    // the SIMD set, with the destination `misalign` bytes off a cache line,
    // and expects identical rows and intact guards.
    template <typename Call>
    void Compare(const std::string& what, size_t bytes, size_t misalign, Call call)
    {
        Guarded expected(bytes, misalign, 0xEE), actual(bytes, misalign, 0xEE);
        call(C(), expected.data());
        call(Simd(), actual.data());
        ASSERT_TRUE(actual.GuardsIntact()) << what << ": wrote outside the row";
        ASSERT_EQ(expected.Contents(), actual.Contents()) << what;
    }
};

// Source bytes placed at a chosen misalignment.
struct Source {
    Guarded g;
    Source(const Bytes& b, size_t misalign) : g(b.size(), misalign, 0) { g.Fill(b); }
    const uint8_t* data() const { return g.data(); }
};

// A bit row of motion marks, padded as the kernels expect.
// A motion row as the de-interlace rows take it: a zero byte in front (the
// row starts at data() + kMarksFront) and zero bits past its last pair.
constexpr size_t kMarksFront = 8;
Bytes BitRow(int pairs, uint32_t seed, int density)
{
    std::mt19937 rng(seed);
    Bytes bits(kMarksFront + zelpipe::MotionRowBytes(pairs), 0);
    for (int p = 0; p < pairs; ++p) {
        if (density > 0 && rng() % density == 0) bits[kMarksFront + (p >> 3)] |= uint8_t(1 << (p & 7));
    }
    return bits;
}

// Line n of a field of `pairs` pairs a line.
Bytes LineOf(const Bytes& field, int n, int pairs)
{
    const size_t line = static_cast<size_t>(pairs) * 4;
    return Bytes(field.begin() + n * line, field.begin() + (n + 1) * line);
}

// The three source lines a de-interlace row reads, each at its own
// misalignment: the first field's line 0 and the line below it, and the
// second field's line 0.
struct RowLines {
    Source above, below, second;
    RowLines(const Fields& f, int pairs, size_t aboveMisalign, size_t belowMisalign, size_t secondMisalign)
        : above(LineOf(f.first, 0, pairs), aboveMisalign),
          below(LineOf(f.first, 1, pairs), belowMisalign),
          second(LineOf(f.second, 0, pairs), secondMisalign)
    {
    }
};

TEST_P(RowsTest, MotionMatchesReference)
{
    for (int pairs : PairCounts()) {
        const Fields f = RandomFields(pairs * 2, 2, 100 + pairs);
        Source prev(f.previous, pairs % 4), second(f.second, 3 - pairs % 4);
        Compare("motion " + std::to_string(pairs), (pairs + 7) / 8, pairs % 3, [&](const RowKernels& k, uint8_t* d) {
            k.motion(prev.data(), second.data(), d, pairs);
        });
    }
}

TEST_P(RowsTest, DeinterlaceMatchesReference)
{
    // Every combination of the two jobs that ride along; marks dense, and
    // sparse enough to leave long runs of still pairs.
    for (int density : {3, 150})
    for (int pairs : PairCounts()) {
        const Fields f = RandomFields(pairs * 2, 4, 100 + pairs);
        const size_t line = static_cast<size_t>(pairs) * 4;
        // Marks from the rows above and below; the one below is sparser, or
        // none at all (a measured line, or the field's last lines).
        const Bytes marksAbove = BitRow(pairs, pairs, density);
        const Bytes marksBelow = BitRow(pairs, pairs + 7, pairs % 3 == 0 ? 0 : 4 * density);
        const RowLines l(f, pairs, 3 - pairs % 4, 1, 2);
        Source aheadPrev(LineOf(f.previous, 1, pairs), pairs % 2);
        Source aheadSecond(LineOf(f.second, 1, pairs), 0);
        for (int jobs = 0; jobs < 4; ++jobs) {
            const bool copy = jobs & 1, ahead = jobs & 2;
            const std::string what = "deinterlace 1/" + std::to_string(density) + " " + std::to_string(pairs) + (copy ? " copy" : "") + (ahead ? " ahead" : "");
            // One guarded window holds the row, the copy and the motion bits.
            const size_t bitsBytes = (pairs + 7) / 8;
            Compare(what, 2 * line + bitsBytes, pairs % 3, [&](const RowKernels& k, uint8_t* d) {
                k.deinterlace(marksAbove.data() + kMarksFront, marksBelow.data() + kMarksFront, l.above.data(),
                              l.below.data(), l.second.data(), d, copy ? d + line : nullptr,
                              ahead ? aheadPrev.data() : nullptr, ahead ? aheadSecond.data() : nullptr,
                              ahead ? d + 2 * line : nullptr, pairs);
                if (!copy) std::memset(d + line, 0, line);
                if (!ahead) std::memset(d + 2 * line, 0, bitsBytes);
            });
        }
    }
}

TEST_P(RowsTest, DeinterlaceToI420MatchesReference)
{
    for (int density : {2, 150})
    for (int pairs : PairCounts()) {
        const Fields f = RandomFields(pairs * 2, 4, 150 + pairs);
        const Bytes marksAbove = BitRow(pairs, pairs + 1, density);
        const Bytes marksBelow = BitRow(pairs, pairs + 2, pairs % 2 == 0 ? 0 : 3 * density);
        const RowLines l(f, pairs, pairs % 4, 3, 1);
        Source aheadPrev(LineOf(f.previous, 1, pairs), 2);
        Source aheadSecond(LineOf(f.second, 1, pairs), 0);
        for (bool ahead : {false, true}) {
            // Luma rows, chroma rows and motion bits side by side in one window.
            const size_t y = pairs * 2, c = pairs, bits = (pairs + 7) / 8;
            Compare("deinterlace I420 1/" + std::to_string(density) + " " + std::to_string(pairs) + (ahead ? " ahead" : ""), 2 * y + 2 * c + bits,
                    pairs % 4, [&](const RowKernels& k, uint8_t* d) {
                        k.deinterlaceI420(marksAbove.data() + kMarksFront, marksBelow.data() + kMarksFront,
                                          l.above.data(), l.below.data(), l.second.data(), d, d + y,
                                          d + 2 * y, d + 2 * y + c, ahead ? aheadPrev.data() : nullptr,
                                          ahead ? aheadSecond.data() : nullptr, ahead ? d + 2 * y + 2 * c : nullptr,
                                          pairs);
                        if (!ahead) std::memset(d + 2 * y + 2 * c, 0, bits);
                    });
        }
    }
}

TEST_P(RowsTest, DeinterlaceToRgb24MatchesReference)
{
    // No marks, sparse ones (whole still blocks next to moving ones) and
    // dense ones; the fused rows' masked tails end inside a block.
    for (int density : {0, 2, 90})
    for (int pairs : PairCounts()) {
        const Fields f = RandomFields(pairs * 2, 4, 170 + pairs);
        const size_t line = static_cast<size_t>(pairs) * 4;
        const Bytes marksAbove = BitRow(pairs, pairs + 3, density);
        const Bytes marksBelow = BitRow(pairs, pairs + 4, pairs % 2 == 0 ? 0 : 2 * density);
        const RowLines l(f, pairs, pairs % 4, 2, 3 - pairs % 4);
        Bytes row(line);
        Compare("deinterlace RGB24 1/" + std::to_string(density) + " " + std::to_string(pairs), 6 * line / 4,
                pairs % 5, [&](const RowKernels& k, uint8_t* d) {
                    k.deinterlaceRgb24(marksAbove.data() + kMarksFront, marksBelow.data() + kMarksFront,
                                       l.above.data(), l.below.data(), l.second.data(), d, pairs, row.data());
                });
    }
}

TEST_P(RowsTest, MirrorAndGammaMatchReference)
{
    for (int pairs : PairCounts()) {
        Source src(RandomBytes(pairs * 4, 200 + pairs), pairs % 4);
        for (bool mirror : {false, true}) {
            for (int g : {0, -32, -7, 13, 32}) {
                Compare("adjust " + std::to_string(pairs) + (mirror ? " mirror" : "") + " gamma " + std::to_string(g),
                        pairs * 4, (pairs + g) & 3,
                        [&](const RowKernels& k, uint8_t* d) { k.adjust(src.data(), d, pairs, mirror, Curve(g)); });
            }
        }
    }
}

TEST_P(RowsTest, Rgb24MatchesReference)
{
    // Full-range random input reaches every clamp.
    std::vector<int> counts;
    for (int i = 1; i <= 80; ++i) counts.push_back(i);
    for (int i : {159, 160, 175, 176, 319, 320, 352, 639, 640, 703, 704, 719, 720}) counts.push_back(i);
    for (int pixels : counts) {
        Source src(RandomBytes((pixels + 1) / 2 * 4, 300 + pixels), pixels % 4);
        Compare("rgb24 " + std::to_string(pixels), static_cast<size_t>(pixels) * 3, (pixels * 7) & 3,
                [&](const RowKernels& k, uint8_t* d) { k.toRgb24(src.data(), d, pixels); });
    }
}

TEST_P(RowsTest, I420MatchesReference)
{
    for (int pairs : PairCounts()) {
        Source a(RandomBytes(pairs * 4, 400 + pairs), 1), b(RandomBytes(pairs * 4, 500 + pairs), pairs % 4);
        Guarded ey0(pairs * 2, 0, 0xEE), ey1(pairs * 2, 1, 0xEE), eu(pairs, 2, 0xEE), ev(pairs, 3, 0xEE);
        Guarded ay0(pairs * 2, 0, 0xEE), ay1(pairs * 2, 1, 0xEE), au(pairs, 2, 0xEE), av(pairs, 3, 0xEE);
        C().toI420(a.data(), b.data(), ey0.data(), ey1.data(), eu.data(), ev.data(), pairs);
        Simd().toI420(a.data(), b.data(), ay0.data(), ay1.data(), au.data(), av.data(), pairs);
        for (auto* g : {&ay0, &ay1, &au, &av}) ASSERT_TRUE(g->GuardsIntact()) << "i420 " << pairs;
        EXPECT_EQ(ey0.Contents(), ay0.Contents()) << pairs;
        EXPECT_EQ(ey1.Contents(), ay1.Contents()) << pairs;
        EXPECT_EQ(eu.Contents(), au.Contents()) << pairs;
        EXPECT_EQ(ev.Contents(), av.Contents()) << pairs;
    }
}

TEST_P(RowsTest, BoxFiltersMatchReference)
{
    struct Box {
        const char* name;
        int across;
        void (*RowKernels::*row)(const UCHAR*, const UCHAR*, UCHAR*, int);
    };
    const Box boxes[] = {{"H1V2", 1, &RowKernels::boxH1V2}, {"H2V1", 2, &RowKernels::boxH2V1},
                         {"H2V2", 2, &RowKernels::boxH2V2}, {"H4V1", 4, &RowKernels::boxH4V1},
                         {"H4V2", 4, &RowKernels::boxH4V2}};
    for (const Box& box : boxes) {
        for (int out : PairCounts()) {
            const size_t in = static_cast<size_t>(out) * 4 * box.across;
            Source a(RandomBytes(in, 600 + out), out % 4), b(RandomBytes(in, 700 + out), 3);
            Compare(std::string(box.name) + " " + std::to_string(out), out * 4, out % 2,
                    [&](const RowKernels& k, uint8_t* d) { (k.*box.row)(a.data(), b.data(), d, out); });
        }
    }
}

TEST_P(RowsTest, VerticalWeightsMatchReference)
{
    const std::pair<int, int> weights[] = {{127, 1}, {1, 127}, {64, 64}, {85, 43}, {100, 28}, {77, 0}, {0, 91}};
    std::vector<int> sizes;
    for (int i = 1; i <= 70; ++i) sizes.push_back(i);
    for (int i : {352, 704, 1408, 1440}) sizes.push_back(i);
    for (int bytes : sizes) {
        Source a(RandomBytes(bytes, 800 + bytes), bytes % 4), b(RandomBytes(bytes, 900 + bytes), 1),
            c(RandomBytes(bytes, 1000 + bytes), 2);
        for (const auto& weight : weights) {
            const int wa = weight.first, wb = weight.second;
            Compare("blend2 " + std::to_string(bytes), bytes, 1, [&](const RowKernels& k, uint8_t* d) {
                k.blend2(a.data(), wa, b.data(), wb, d, bytes);
            });
            // Three rows through the accumulators: 43 + wa/2 + rest.
            const int w0 = 43, w1 = wa / 2, w2 = 128 - w0 - w1;
            Compare("accumulate " + std::to_string(bytes), bytes, 3, [&](const RowKernels& k, uint8_t* d) {
                std::vector<USHORT> acc(bytes + 8, 0xBEEF);
                k.accStart(acc.data() + 1, a.data(), w0, bytes);
                k.accAdd(acc.data() + 1, b.data(), w1, bytes);
                ASSERT_EQ(acc[0], 0xBEEF);
                ASSERT_EQ(acc[bytes + 1], 0xBEEF);
                k.accFinish(acc.data() + 1, c.data(), w2, d, bytes);
            });
        }
    }
}

std::string LevelName(const ::testing::TestParamInfo<CpuLevel>& info) { return KernelsFor(info.param)->name; }

INSTANTIATE_TEST_SUITE_P(Simd, RowsTest, ::testing::ValuesIn(SimdLevels()), LevelName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RowsTest);

// ----------------------------------------------------------- C rows ----

TEST(ReferenceRows, MotionMarksPairsBeyondTheThreshold)
{
    // Pair 0 differs by the threshold exactly (still), pair 1 by one more in
    // a chroma byte (moved), pair 2 is identical.
    const int t = zelpipe::kStillThresholdLuma, tc = zelpipe::kStillThresholdChroma;
    const uint8_t prev[12] = {100, 100, 100, 100, 50, 50, 50, 50, 9, 9, 9, 9};
    const uint8_t second[12] = {(uint8_t)(100 + t), 100, (uint8_t)(100 - t), 100, 50, (uint8_t)(50 + tc + 1), 50,
                                50, 9, 9, 9, 9};
    uint8_t bits[1] = {0xFF};
    zelpipe::MotionRow_C(prev, second, bits, 3);
    EXPECT_EQ(bits[0], 0x02);
}

TEST(ReferenceRows, DeinterlaceInterpolatesWithinTwoPairsOfAMarkInEitherRow)
{
    // A mark at pair 63 of the row above (across a word boundary) and at
    // pair 130 of the row below, two pairs before the row's end (133).
    const int pairs = 133;
    Bytes above = BitRow(pairs, 0, 0), below = BitRow(pairs, 0, 0);
    above[kMarksFront + (63 >> 3)] |= 1 << (63 & 7);
    below[kMarksFront + (130 >> 3)] |= 1 << (130 & 7);
    Bytes first(pairs * 4, 10), next(pairs * 4, 21), second(pairs * 4, 200), out(pairs * 4);
    zelpipe::DeinterlaceRow_C(above.data() + kMarksFront, below.data() + kMarksFront, first.data(), next.data(),
                              second.data(), out.data(), nullptr, nullptr, nullptr, nullptr, pairs);
    for (int p = 0; p < pairs; ++p) {
        const bool near = (p >= 61 && p <= 65) || (p >= 128 && p <= 132);
        EXPECT_EQ(out[4 * p], near ? 16 : 200) << "pair " << p;
    }
    // The word-wise look-up the SIMD rows use agrees, for every start and
    // length, including runs that start before the first mark's reach.
    for (int p = 0; p + 32 <= pairs; ++p) {
        for (int count : {8, 16, 32}) {
            const ULONG marks = zelpipe::NearMarks(above.data() + kMarksFront, below.data() + kMarksFront, p, count);
            for (int i = 0; i < count; ++i) {
                const int q = p + i;
                const bool near = (q >= 61 && q <= 65) || (q >= 128 && q <= 132);
                ASSERT_EQ(((marks >> i) & 1) != 0, near) << "start " << p << " count " << count << " pair " << q;
            }
        }
    }
}

TEST(ReferenceRows, DeinterlaceWeavesUnmarkedPairsAndInterpolatesMarkedOnes)
{
    // Pairs 0 and 11 are marked in the row above: pairs 0..2 and 9..11 are
    // interpolated, the rest woven.
    const int pairs = 12;
    Bytes marks = BitRow(pairs, 0, 0), none = BitRow(pairs, 0, 0);
    marks[kMarksFront] = 0x01;
    marks[kMarksFront + 1] = 0x08;
    Bytes above(pairs * 4, 10), under(pairs * 4, 21), second(pairs * 4, 200), out(pairs * 4), copy(pairs * 4);
    zelpipe::DeinterlaceRow_C(marks.data() + kMarksFront, none.data() + kMarksFront, above.data(), under.data(),
                              second.data(), out.data(), copy.data(), nullptr, nullptr, nullptr, pairs);
    for (int p = 0; p < pairs; ++p) EXPECT_EQ(out[4 * p], p <= 2 || p >= 9 ? 16 : 200) << "pair " << p;
    EXPECT_EQ(copy, under);
}

TEST(ReferenceRows, MirrorReversesPixelsAndKeepsEachPairsChroma)
{
    const uint8_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t out[8];
    zelpipe::AdjustRow_C(src, out, 2, true, nullptr);
    const uint8_t expected[8] = {7, 6, 5, 8, 3, 2, 1, 4};
    EXPECT_EQ(Bytes(out, out + 8), Bytes(expected, expected + 8));
}

TEST(ReferenceRows, BoxFiltersRoundToNearest)
{
    // Luma 1, 2 -> 2 (1.5 rounds up); four samples 1, 1, 2, 2 -> 2; 1, 1, 1, 2 -> 1.
    const uint8_t a[16] = {1, 10, 2, 20, 1, 11, 1, 21, 2, 12, 2, 22, 1, 13, 2, 23};
    uint8_t out[8];
    zelpipe::BoxH2V1Row_C(a, nullptr, out, 2);
    const uint8_t h2[8] = {2, 11, 1, 21, 2, 13, 2, 23};  // U (10+11)/2 -> 11, (12+13)/2 -> 13
    EXPECT_EQ(Bytes(out, out + 8), Bytes(h2, h2 + 8));
    zelpipe::BoxH4V1Row_C(a, nullptr, out, 1);
    const uint8_t h4[4] = {1, 12, 2, 22};  // (1+2+1+1+2)/4 = 1.25 -> 1; U 46/4 = 11.5 -> 12
    EXPECT_EQ(Bytes(out, out + 4), Bytes(h4, h4 + 4));
}

// -------------------------------------------------------------- taps ----

int Begin(int o, const int* k) { return o * k[0]; }
int End(int o, const int* k) { return (o + 1) * k[0]; }

TEST(AreaTaps, WeightsOfEveryOutputAddUpToOneAndFollowTheCoverage)
{
    for (auto [source, output] : {std::pair{480, 288}, {240, 144}, {284, 120}, {576, 1}, {720, 719}, {9, 4}, {5, 5}}) {
        const int k[1] = {source};
        std::vector<zelpipe::Taps> taps(output);
        std::vector<USHORT> weights(source + output);
        const int n = zelpipe::BuildAreaTaps(source, output, output, Begin, End, k, 128, taps.data(), weights.data());
        EXPECT_LE(n, source + output);
        for (int o = 0; o < output; ++o) {
            int sum = 0;
            for (int i = 0; i < taps[o].count; ++i) sum += weights[taps[o].offset + i];
            EXPECT_EQ(sum, 128) << source << " -> " << output << " output " << o;
            // The first sample is the one holding the start of the interval,
            // or a later one when the first ones weigh in with nothing (only
            // for ratios beyond what the weights resolve).
            EXPECT_GE(taps[o].first, o * source / output);
            EXPECT_LE(taps[o].first, o * source / output + std::max(1, source / output / 64));
            EXPECT_LE(taps[o].first + taps[o].count, source);
        }
    }
}

TEST(AreaTaps, WholeRatiosGiveEqualWeights)
{
    const int k[1] = {12};
    std::vector<zelpipe::Taps> taps(3);
    std::vector<USHORT> weights(15);
    zelpipe::BuildAreaTaps(12, 3, 3, Begin, End, k, 128, taps.data(), weights.data());
    for (int o = 0; o < 3; ++o) {
        EXPECT_EQ(taps[o].first, 4 * o);
        ASSERT_EQ(taps[o].count, 4);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(weights[taps[o].offset + i], 32);
    }
}

}  // namespace
