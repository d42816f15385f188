// The AVX-512 RGB24 rows against the C rows: 64 pixels a step plus one
// masked step for the rest, so widths on both sides of every multiple of 64,
// odd widths (the last pair half used), every source and destination
// alignment, sources that end right before an unreadable page, and every Y,
// U, V combination for the arithmetic. Skipped where the CPU lacks the level.
#include "pipeline_test_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "pipeline/rows.h"
#include "pipeline/rows_avx512.h"

using namespace pipeline_test;
using zelpipe::KernelsFor;
using zelpipe::RowKernels;

namespace {

class Rgb24Avx512 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!KernelsFor(zelpipe::kCpuAvx512)) GTEST_SKIP() << "this CPU has no AVX-512 VBMI level";
    }

    static void Reference(const uint8_t* src, uint8_t* dst, int pixels, const zelpipe::GammaCurve* gamma = nullptr)
    {
        zelpipe::ToRgb24Row_C(src, dst, pixels, gamma);
    }
    static void Row(const uint8_t* src, uint8_t* dst, int pixels, const zelpipe::GammaCurve* gamma = nullptr)
    {
        KernelsFor(zelpipe::kCpuAvx512)->toRgb24(src, dst, pixels, gamma);
    }
};

size_t SourceBytes(int pixels) { return static_cast<size_t>((pixels + 1) / 2) * 4; }

// Random YUYV bytes with a share of the values that drive the arithmetic to
// its limits (black and white beyond the nominal range, chroma at both ends).
Bytes HardRow(size_t n, uint32_t seed)
{
    static const uint8_t kEdges[] = {0, 1, 15, 16, 17, 127, 128, 129, 235, 236, 240, 241, 254, 255};
    Bytes b = RandomBytes(n, seed);
    std::mt19937 rng(seed ^ 0x9E3779B9u);
    for (auto& x : b) {
        if (rng() % 3 == 0) x = kEdges[rng() % sizeof(kEdges)];
    }
    return b;
}

std::vector<int> Widths()
{
    std::vector<int> w;
    for (int i = 1; i <= 200; ++i) w.push_back(i);
    for (int i = 700; i <= 720; ++i) w.push_back(i);
    return w;
}

TEST_F(Rgb24Avx512, EveryWidthAndAlignmentMatchesTheCRowAndStaysInside)
{
    for (int pixels : Widths()) {
        const Bytes row = HardRow(SourceBytes(pixels), static_cast<uint32_t>(pixels));
        const size_t dstBytes = static_cast<size_t>(pixels) * 3;
        Bytes expected(dstBytes);
        Reference(row.data(), expected.data(), pixels);
        for (size_t srcShift : {0, 1, 2, 3, 31, 63}) {
            Guarded src(row.size(), srcShift, 0xA5);
            src.Fill(row);
            for (size_t dstShift : {0, 1, 5, 33, 62}) {
                for (uint8_t sentinel : {0x00, 0xFF}) {
                    Guarded dst(dstBytes, dstShift, sentinel);
                    Row(src.data(), dst.data(), pixels);
                    const std::string what = std::to_string(pixels) + " pixels, source +" +
                                             std::to_string(srcShift) + ", destination +" +
                                             std::to_string(dstShift);
                    ASSERT_TRUE(dst.GuardsIntact()) << what << ": wrote outside the row";
                    ASSERT_EQ(dst.Contents(), expected) << what;
                    ASSERT_TRUE(src.GuardsIntact()) << what << ": wrote into the source";
                }
            }
        }
    }
}

// With a gamma curve the row works through a stack copy in chunks: widths
// around the chunk size, odd ones included, each with another curve.
TEST_F(Rgb24Avx512, GammaMatchesTheCRowAcrossChunks)
{
    for (int pixels : {1, 63, 255, 256, 257, 511, 513, 719, 720}) {
        const Bytes row = HardRow(SourceBytes(pixels), static_cast<uint32_t>(pixels) + 77);
        const zelpipe::GammaCurve* curve = &zelpipe::kGammaCurves[pixels % 65];
        Bytes expected(static_cast<size_t>(pixels) * 3);
        Reference(row.data(), expected.data(), pixels, curve);
        Guarded dst(expected.size(), 3, 0xEE);
        Row(row.data(), dst.data(), pixels, curve);
        ASSERT_TRUE(dst.GuardsIntact()) << pixels << " pixels";
        ASSERT_EQ(dst.Contents(), expected) << pixels << " pixels";
    }
}

TEST_F(Rgb24Avx512, ZeroPixelsWritesNothing)
{
    const Bytes row = RandomBytes(64, 3);
    Guarded dst(0, 0, 0x3C);
    Row(row.data(), dst.data(), 0);
    EXPECT_TRUE(dst.GuardsIntact());
}

// A source ending exactly at an unmapped page: a read past the last pair
// (for instance an unmasked tail load) faults instead of passing unnoticed.
TEST_F(Rgb24Avx512, ReadsNothingPastTheSource)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    uint8_t* base = static_cast<uint8_t*>(map);
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
    for (int pixels : Widths()) {
        const Bytes row = HardRow(SourceBytes(pixels), static_cast<uint32_t>(pixels) + 1000);
        uint8_t* src = base + page - row.size();
        std::memcpy(src, row.data(), row.size());
        Bytes expected(static_cast<size_t>(pixels) * 3), actual(expected.size());
        Reference(src, expected.data(), pixels);
        Row(src, actual.data(), pixels);
        ASSERT_EQ(actual, expected) << pixels << " pixels";
    }
    munmap(map, 2 * page);
}

// Every Y with every U, V pair: each row holds 128 pairs of one U and V with
// Y running 0..255 across its pixels, at an offset that differs from row to
// row so that the values land in every position of a step.
TEST_F(Rgb24Avx512, EveryYuvCombinationIsExact)
{
    constexpr int kPairs = 128;
    Bytes row(kPairs * 4 + 4 * 64);
    Bytes expected(row.size() / 2 * 3), actual(expected.size());
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            const int shift = (u * 7 + v) % 64;
            for (int p = 0; p < kPairs + 64; ++p) {
                const int y0 = (2 * (p + shift)) & 255;
                uint8_t* q = row.data() + 4 * p;
                q[0] = static_cast<uint8_t>(y0);
                q[1] = static_cast<uint8_t>(u);
                q[2] = static_cast<uint8_t>(y0 + 1);
                q[3] = static_cast<uint8_t>(v);
            }
            const uint8_t* src = row.data() + 4 * (shift / 2);
            Reference(src, expected.data(), 2 * kPairs);
            Row(src, actual.data(), 2 * kPairs);
            ASSERT_EQ(actual, expected) << "U " << u << " V " << v;
        }
    }
}

// The level's table is made on first use; callers racing for it must all get
// the finished table (each test runs in its own process under ctest, so this
// is the first use there).
TEST(Avx512Table, ConcurrentFirstUseSeesTheFinishedTable)
{
    if (zelpipe::BestCpuLevel() != zelpipe::kCpuAvx512) GTEST_SKIP() << "this CPU has no AVX-512 VBMI level";
    std::atomic<bool> go{false};
    const RowKernels* seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& s : seen) {
        threads.emplace_back([&go, &s] {
            while (!go.load()) {
            }
            s = KernelsFor(zelpipe::kCpuAvx512);
        });
    }
    go.store(true);
    for (auto& t : threads) t.join();
    const RowKernels& avx2 = *KernelsFor(zelpipe::kCpuAvx2);
    for (const RowKernels* t : seen) {
        ASSERT_NE(t, nullptr);
        EXPECT_STREQ(t->name, "AVX512");
        EXPECT_EQ(t->toRgb24, &zelpipe::ToRgb24Row_AVX512);
        // Every other row is the AVX2 one, including rows added later.
        EXPECT_EQ(t->interpolate, avx2.interpolate);
        EXPECT_EQ(t->adjust, avx2.adjust);
        EXPECT_EQ(t->copy, avx2.copy);
    }
}

// A handle of the level converts whole frames as the C handle does (the
// level sweep in the conversion suite covers settings and alignments; this
// covers odd output widths with mirroring, the one RGB24 case that converts
// one pixel more than the row into a buffer).
TEST(Avx512Handle, OddWidthMirroredRgb24MatchesC)
{
    if (zelpipe::BestCpuLevel() != zelpipe::kCpuAvx512) GTEST_SKIP() << "this CPU has no AVX-512 VBMI level";
    const Fields fields = RandomFields(720, 16, 99);
    for (int width : {1, 63, 65, 127, 129, 719}) {
        PPL_HANDLE c = zelpipe::CreateHandleForLevel(zelpipe::kCpuC);
        PPL_HANDLE h = zelpipe::CreateHandleForLevel(zelpipe::kCpuAvx512);
        ASSERT_NE(c, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(zelpipe::HandleCpuLevel(h), zelpipe::kCpuAvx512);
        for (PPL_HANDLE x : {c, h}) ppl_set_h_mirror(x, 1);
        const Bytes expected = pipeline_test::Convert(Format::RGB24, c, fields, width, 16);
        const Bytes actual = pipeline_test::Convert(Format::RGB24, h, fields, width, 16);
        EXPECT_EQ(actual, expected) << width;
        ppl_free(c);
        ppl_free(h);
    }
}

}  // namespace
