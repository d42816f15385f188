// Every SIMD row kernel against its C reference: same bytes for every width
// (odd ones, ones shorter than a vector, the capture widths), for misaligned
// sources and destinations, and never a byte written outside the row.
#include "pipeline_test_support.h"

#include <sys/mman.h>
#include <unistd.h>

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

// Second and previous field lines that agree in runs and differ in others,
// by a little or by anything, so that activity rows hold zeros, small values
// and large ones side by side.
struct TemporalPair {
    Bytes second, previous;
    TemporalPair(size_t bytes, uint32_t seed) : second(RandomBytes(bytes, seed)), previous(second)
    {
        std::mt19937 rng(seed + 1);
        size_t i = 0;
        while (i < bytes) {
            const size_t run = 1 + rng() % 40;
            const int kind = static_cast<int>(rng() % 3);
            for (size_t k = i; k < std::min(bytes, i + run); ++k) {
                if (kind == 1) previous[k] = static_cast<uint8_t>(std::clamp(int(previous[k]) + int(rng() % 9) - 4, 0, 255));
                if (kind == 2) previous[k] = static_cast<uint8_t>(rng());
            }
            i += run;
        }
    }
};

// Whether a chunk's bit keeps its promise: clear only where the chunk of
// the difference row has no difference (a SIMD row may set it for less).
::testing::AssertionResult BitsCover(ULONGLONG moved, const uint8_t* difference, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) {
        if (difference[i] && !((moved >> (i / zelpipe::kChunkBytes)) & 1)) {
            return ::testing::AssertionFailure() << "byte " << i << " differs in a chunk marked still";
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_P(RowsTest, DifferenceMatchesReference)
{
    for (int pairs : PairCounts()) {
        const size_t bytes = static_cast<size_t>(pairs) * 4;
        const TemporalPair t(bytes, 300 + pairs);
        Source second(t.second, pairs % 4), previous(t.previous, 3 - pairs % 4);
        DifferenceRow expected(bytes, 0xEE), actual(bytes, 0xEE);
        std::fill(expected.buffer.end() - zelpipe::kActivityReach, expected.buffer.end(), 0xEE);
        std::fill(actual.buffer.end() - zelpipe::kActivityReach, actual.buffer.end(), 0xEE);
        C().difference(previous.data(), second.data(), expected.data(), &expected.moved, pairs);
        Simd().difference(previous.data(), second.data(), actual.data(), &actual.moved, pairs);
        // The row and the zero bytes after it alike; the bits as promised.
        ASSERT_EQ(expected.buffer, actual.buffer) << pairs << " pairs";
        EXPECT_TRUE(BitsCover(actual.moved, actual.data(), bytes)) << pairs << " pairs";
        EXPECT_TRUE(BitsCover(expected.moved, expected.data(), bytes)) << pairs << " pairs";
    }
}

// Three second and previous line pairs for a rebuilt line. `calm` makes them
// agree everywhere except one short run at a place that moves with the
// width (often a line's first or last chunk), so still chunks are copied
// next to rebuilt ones.
std::vector<TemporalPair> TemporalLines(size_t bytes, uint32_t seed, bool calm)
{
    std::vector<TemporalPair> t;
    for (uint32_t i = 0; i < 3; ++i) {
        t.emplace_back(bytes, seed + i);
        if (!calm) continue;
        t[i].previous = t[i].second;
        size_t at = (seed * 37 + i * 53) % bytes;
        // For most widths the run starts or ends a chunk: activity then
        // reaches exactly the first or last pixel the rebuilding row works
        // out, whose neighbour outside it still counts.
        if ((seed / 8) % 5) at = i % 2 ? std::min(at | 31, bytes - 1) - 2 : at & ~size_t{31};
        for (size_t k = at; k < std::min(bytes, at + 3); ++k) t[i].previous[k] ^= 0x40;
    }
    return t;
}

TEST_P(RowsTest, InterpolateMatchesReference)
{
    // Random first-field lines (every direction wins somewhere), runs of
    // still and moving pairs or lines still but for a few bytes, each line
    // at its own misalignment; the difference rows of the lines above from
    // the C row, with their bits as the C row makes them or all set (the
    // bits decide only what is worked out, never the bytes).
    for (int pairs : PairCounts()) {
        for (bool calm : {false, true}) {
            for (bool allMarked : {false, true}) {
                const size_t bytes = static_cast<size_t>(pairs) * 4;
                std::vector<Source> lines;
                zelpipe::FieldLines l;
                for (int i = 0; i < 4; ++i) {
                    // Smooth lines now and then, so that diagonals beat the
                    // vertical by the margin they need; or hard-edged ones
                    // (luma 16 or 235, like text), where a diagonal wins in
                    // runs as well as alone beside the other one or the
                    // vertical.
                    Bytes b = RandomBytes(bytes, 400 + pairs * 8 + i);
                    if (pairs % 3 == 0) {
                        for (size_t k = 0; k < bytes; ++k) b[k] = static_cast<uint8_t>((k * (7 + i) / 3) & 0xFF);
                    } else if (pairs % 3 == 1) {
                        for (size_t k = 0; k < bytes; k += 2) b[k] = b[k] & 1 ? 235 : 16;
                    }
                    lines.emplace_back(b, (pairs + i) % 5);
                }
                const std::vector<TemporalPair> t = TemporalLines(bytes, 500 + pairs * 8, calm);
                std::vector<Source> temporal;
                std::vector<DifferenceRow> difference(2, DifferenceRow(bytes));
                for (int i = 0; i < 3; ++i) {
                    temporal.emplace_back(t[i].second, i);
                    temporal.emplace_back(t[i].previous, 4 - i);
                    if (i < 2) {
                        zelpipe::DifferenceRow_C(t[i].previous.data(), t[i].second.data(), difference[i].data(),
                                                 &difference[i].moved, pairs);
                        if (allMarked) difference[i].moved = ~0ull;
                        l.difference[i] = difference[i].data();
                        l.moved[i] = difference[i].moved;
                    }
                }
                for (int i = 0; i < 4; ++i) l.first[i] = lines[i].data();
                for (int i = 0; i < 3; ++i) {
                    l.second[i] = temporal[2 * i].data();
                    l.previous[i] = temporal[2 * i + 1].data();
                }
                // Stale direction codes of both diagonals: a run must work
                // out its neighbours' directions, not trust the row.
                for (uint8_t stale : {1, 2}) {
                    DifferenceRow next[2] = {DifferenceRow(bytes, 0x77), DifferenceRow(bytes, 0x77)};
                    DifferenceRow motion(bytes, 0x55);
                    LumaRows luma(stale);
                    const std::string what = "interpolate " + std::to_string(pairs) + (calm ? " calm" : "") +
                                             (allMarked ? " all marked" : "") + " stale " + std::to_string(stale);
                    int call = 0;
                    Compare(what, bytes, pairs % 7, [&](const RowKernels& k, uint8_t* d) {
                        zelpipe::FieldLines own = l;
                        own.nextDifference = next[call].data();
                        own.nextMoved = &next[call].moved;
                        own.motion = motion.data();
                        luma.Attach(own);
                        ++call;
                        k.interpolate(own, d, pairs);
                    });
                    // The next line's difference row as the difference row makes it.
                    ASSERT_EQ(next[0].buffer, next[1].buffer) << what;
                    EXPECT_TRUE(BitsCover(next[1].moved, next[1].data(), bytes)) << what;
                }
            }
        }
    }
}

// Pages that fault when touched on both sides of every line: each line
// either ends right before one or starts right after one.
class FencedLines {
public:
    explicit FencedLines(int count) : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE)))
    {
        bytes_ = (2 * static_cast<size_t>(count) + 1) * page_;
        void* map = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = map == MAP_FAILED ? nullptr : static_cast<uint8_t*>(map);
        for (int k = 0; base_ && k <= count; ++k) mprotect(base_ + 2 * k * page_, page_, PROT_NONE);
    }
    ~FencedLines()
    {
        if (base_) munmap(base_, bytes_);
    }
    bool ok() const { return base_ != nullptr; }
    // Line k of `size` bytes against the fence after it, or before it.
    uint8_t* Line(int k, size_t size, bool fenceAfter) const
    {
        return fenceAfter ? base_ + (2 * k + 2) * page_ - size : base_ + (2 * k + 1) * page_;
    }

private:
    size_t page_, bytes_ = 0;
    uint8_t* base_ = nullptr;
};

TEST_P(RowsTest, DifferenceAndInterpolationReadNothingOutsideTheirLines)
{
    FencedLines fence(10);
    ASSERT_TRUE(fence.ok());
    for (int pairs : {1, 8, 11, 12, 13, 20, 29, 160, 180, 360}) {
        const size_t bytes = static_cast<size_t>(pairs) * 4;
        for (bool after : {false, true}) {
            uint8_t* lines[10];
            for (int k = 0; k < 10; ++k) {
                lines[k] = fence.Line(k, bytes, after);
                const Bytes content = RandomBytes(bytes, static_cast<uint32_t>(pairs * 13 + k));
                std::memcpy(lines[k], content.data(), bytes);
            }
            zelpipe::FieldLines l;
            for (int i = 0; i < 4; ++i) l.first[i] = lines[i];
            for (int i = 0; i < 3; ++i) {
                l.second[i] = lines[4 + i];
                l.previous[i] = lines[7 + i];
            }
            DifferenceRow difference[2] = {DifferenceRow(bytes), DifferenceRow(bytes)};
            DifferenceRow expectedNext(bytes), actualNext(bytes), motion(bytes);
            C().difference(l.previous[0], l.second[0], difference[0].data(), &difference[0].moved, pairs);
            Simd().difference(l.previous[0], l.second[0], difference[1].data(), &difference[1].moved, pairs);
            ASSERT_EQ(difference[0].buffer, difference[1].buffer) << pairs << " pairs";
            for (int i = 0; i < 2; ++i) {
                l.difference[i] = difference[i].data();
                l.moved[i] = difference[i].moved;
            }
            l.motion = motion.data();
            LumaRows luma;
            luma.Attach(l);
            Bytes expected(bytes), actual(bytes);
            l.nextDifference = expectedNext.data();
            l.nextMoved = &expectedNext.moved;
            C().interpolate(l, expected.data(), pairs);
            l.nextDifference = actualNext.data();
            l.nextMoved = &actualNext.moved;
            Simd().interpolate(l, actual.data(), pairs);
            ASSERT_EQ(actual, expected) << pairs << " pairs";
        }
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
        // Without gamma, and with a curve that steps through all of them.
        for (int g : {0, pixels % 65 - 32}) {
            Compare("rgb24 " + std::to_string(pixels) + " gamma " + std::to_string(g), static_cast<size_t>(pixels) * 3,
                    (pixels * 7 + g) & 3,
                    [&](const RowKernels& k, uint8_t* d) { k.toRgb24(src.data(), d, pixels, Curve(g)); });
        }
    }
}

TEST_P(RowsTest, I420MatchesReference)
{
    for (int pairs : PairCounts()) {
        Source a(RandomBytes(pairs * 4, 400 + pairs), 1), b(RandomBytes(pairs * 4, 500 + pairs), pairs % 4);
        for (int g : {0, -7, 32}) {
            Guarded ey0(pairs * 2, 0, 0xEE), ey1(pairs * 2, 1, 0xEE), eu(pairs, 2, 0xEE), ev(pairs, 3, 0xEE);
            Guarded ay0(pairs * 2, 0, 0xEE), ay1(pairs * 2, 1, 0xEE), au(pairs, 2, 0xEE), av(pairs, 3, 0xEE);
            C().toI420(a.data(), b.data(), ey0.data(), ey1.data(), eu.data(), ev.data(), pairs, Curve(g));
            Simd().toI420(a.data(), b.data(), ay0.data(), ay1.data(), au.data(), av.data(), pairs, Curve(g));
            for (auto* guarded : {&ay0, &ay1, &au, &av}) ASSERT_TRUE(guarded->GuardsIntact()) << "i420 " << pairs;
            EXPECT_EQ(ey0.Contents(), ay0.Contents()) << pairs << " gamma " << g;
            EXPECT_EQ(ey1.Contents(), ay1.Contents()) << pairs << " gamma " << g;
            EXPECT_EQ(eu.Contents(), au.Contents()) << pairs << " gamma " << g;
            EXPECT_EQ(ev.Contents(), av.Contents()) << pairs << " gamma " << g;
        }
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

// Rebuilds the line between two first-field lines with the given second
// and previous lines (the same above and below) and difference rows that
// hold `activity` everywhere.
Bytes Rebuild(const Bytes& above, const Bytes& below, const Bytes& second, const Bytes& previous, int activity)
{
    const int bytes = static_cast<int>(above.size());
    DifferenceRow difference(above.size(), static_cast<uint8_t>(activity));
    zelpipe::FieldLines l;
    l.first[0] = l.first[1] = above.data();
    l.first[2] = l.first[3] = below.data();
    for (int i = 0; i < 3; ++i) {
        l.second[i] = second.data();
        l.previous[i] = previous.data();
    }
    l.difference[0] = l.difference[1] = l.nextDifference = difference.data();
    Bytes out(above.size());
    zelpipe::InterpolateBytes_C(l, out.data(), bytes, 0, bytes);
    return out;
}

TEST(ReferenceRows, ActivitySpreadsOverSamplesOfItsOwnKind)
{
    // Bright second lines woven between dark first-field lines, still but for
    // one luma difference at pixel 10 and one U difference at pair 12 of a
    // 20-pair line: a comb tooth wherever activity reaches, so luma bytes
    // within four pixels and U bytes within two pairs give way to the dark
    // lines; V bytes and the other kind stay woven.
    const int pairs = 20;
    const Bytes dark(pairs * 4, 50);
    Bytes second(pairs * 4, 200), previous(second);
    previous[2 * 10] = 170;      // luma of pixel 10
    previous[4 * 12 + 1] = 190;  // U of pair 12
    zelpipe::FieldLines l;
    l.first[0] = l.first[1] = l.first[2] = l.first[3] = dark.data();
    for (int i = 0; i < 3; ++i) {
        l.second[i] = second.data();
        l.previous[i] = previous.data();
    }
    DifferenceRow still(pairs * 4), next(pairs * 4, 0xEE), motion(pairs * 4);
    l.difference[0] = l.difference[1] = still.data();
    l.moved[0] = l.moved[1] = 0;
    l.nextDifference = next.data();
    l.nextMoved = &next.moved;
    l.motion = motion.data();
    Bytes out(pairs * 4, 0xEE);
    zelpipe::InterpolateRow_C(l, out.data(), pairs);
    for (int i = 0; i < pairs * 4; ++i) {
        bool reached = false;
        if ((i & 1) == 0 && std::abs(i / 2 - 10) <= 4) reached = true;
        if (i % 4 == 1 && std::abs(i / 4 - 12) <= 2) reached = true;
        EXPECT_EQ(out[i] != 200, reached) << "byte " << i;
    }
    // The next line's difference row: the two differences, zero around them
    // and behind the row, and the bits of the two chunks they lie in.
    EXPECT_EQ(next.data()[20], 30);
    EXPECT_EQ(next.data()[49], 10);
    EXPECT_EQ(std::count(next.buffer.begin(), next.buffer.end(), 0), static_cast<long>(next.buffer.size() - 2));
    EXPECT_EQ(next.moved, 0x3ull);
}

TEST(ReferenceRows, StillSamplesAreWovenAndCombTeethAreRemoved)
{
    const int pairs = 8;
    const Bytes dark(pairs * 4, 50), bright(pairs * 4, 200);
    Bytes brighter(bright);
    for (auto& b : brighter) b = 190;
    // No activity: a thin bright line between dark ones is real detail.
    EXPECT_EQ(Rebuild(dark, dark, bright, bright, 0), bright);
    // Slight activity, but the woven line stands out from both neighbours
    // where the lines two away do too: a comb tooth, so it takes the first
    // field's lines.
    EXPECT_EQ(Rebuild(dark, dark, bright, brighter, 10), dark);
    // Moving, but the temporal estimate lies between the first field's lines:
    // the spatial estimate is held within the activity of it.
    const Bytes mid(pairs * 4, 120), low(pairs * 4, 60), high(pairs * 4, 140);
    const Bytes out = Rebuild(low, high, mid, mid, 4);
    for (uint8_t b : out) EXPECT_EQ(b, 116);
}

TEST(ReferenceRows, AMovingDiagonalEdgeIsFollowedNotStaircased)
{
    // A dark-to-bright edge at pixel 16 on the line above and pixel 14 below
    // (one pixel a frame line): the line between has it at pixel 15, where
    // line averaging would leave two pixels of half grey.
    const int pairs = 16;
    auto edge = [&](int at) {
        Bytes b(pairs * 4, 128);
        for (int x = 0; x < 2 * pairs; ++x) b[2 * x] = x < at ? 30 : 220;
        return b;
    };
    const Bytes above = edge(16), below = edge(14), moved = edge(9), earlier = edge(21);
    const Bytes out = Rebuild(above, below, moved, earlier, 255);
    for (int x = 4; x < 2 * pairs - 4; ++x) EXPECT_EQ(out[2 * x], x < 15 ? 30 : 220) << "pixel " << x;
}

TEST(ReferenceRows, ChanceMatchesKeepTheVerticalCurve)
{
    // Around pixel 8 the lines pair up one pixel off either way at the
    // middle only (100 over 100, 120 over 120), their neighbours 20 apart,
    // while straight down the neighbours are 20 apart and the middle 0 over
    // 255: over the three pixels a diagonal looks four times better, but
    // over the neighbours it is no better than the vertical. The pixel is
    // the vertical curve's half grey, not the diagonal's 100 or 120; the
    // chroma bytes, alike on both lines, keep their value.
    const int pairs = 8;
    Bytes above(pairs * 4, 128), below(pairs * 4, 128);
    auto luma = [](Bytes& line, int x, int value) { line[2 * x] = static_cast<uint8_t>(value); };
    luma(above, 6, 235), luma(above, 7, 100), luma(above, 8, 0), luma(above, 9, 120), luma(above, 10, 235);
    luma(below, 6, 20), luma(below, 7, 120), luma(below, 8, 255), luma(below, 9, 100), luma(below, 10, 20);
    const Bytes moving(pairs * 4, 200);  // far off, so the spatial estimate shows
    const Bytes out = Rebuild(above, below, moving, moving, 255);
    EXPECT_EQ(out[2 * 8], 128);
    for (int i = 1; i < pairs * 4; i += 2) EXPECT_EQ(out[i], 128) << "byte " << i;

    // Hard-edged cells four pixels wide, ink over paper and paper over ink
    // by turns, as between two rows of text: at every cell's edge a
    // diagonal pairs the middle pixel and one neighbour, the other
    // neighbour as far off as straight down. No pixel takes ink or paper
    // from a diagonal; all are the vertical half grey.
    Bytes ink(pairs * 4, 128), paper(pairs * 4, 128);
    for (int x = 0; x < 2 * pairs; ++x) {
        luma(ink, x, (x / 4) % 2 ? 16 : 235);
        luma(paper, x, (x / 4) % 2 ? 235 : 16);
    }
    const Bytes cells = Rebuild(ink, paper, moving, moving, 255);
    for (int x = 0; x < 2 * pairs; ++x) EXPECT_EQ(cells[2 * x], 126) << "pixel " << x;
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
