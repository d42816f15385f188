// Colour: hand-computed RGB24 values, the BT.601 formula over the primaries
// and bars, and the gamma curves recomputed from their definition.
#include "pipeline_test_support.h"

#include <cmath>

#include "pipeline/rows.h"

using namespace pipeline_test;

namespace {

struct Rgb {
    int b, g, r;
};

// One pixel pair of the given Y, U, V through every kernel level; all must
// agree, and the first pixel's B, G, R is returned.
Rgb Convert(int y, int u, int v)
{
    // Eight pixel pairs, so the SIMD rows run their vector path.
    Bytes row;
    for (int i = 0; i < 8; ++i) row.insert(row.end(), {uint8_t(y), uint8_t(u), uint8_t(y), uint8_t(v)});
    Bytes reference(48);
    zelpipe::KernelsFor(zelpipe::kCpuC)->toRgb24(row.data(), reference.data(), 16, nullptr);
    for (auto level : SimdLevels()) {
        Bytes out(48);
        zelpipe::KernelsFor(level)->toRgb24(row.data(), out.data(), 16, nullptr);
        EXPECT_EQ(out, reference) << zelpipe::KernelsFor(level)->name;
    }
    return {reference[0], reference[1], reference[2]};
}

// BT.601: R'G'B' in 0..1 to limited-range Y, U, V, rounded.
void ToYuv(double r, double g, double b, int* y, int* u, int* v)
{
    const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
    *y = static_cast<int>(std::lround(16 + 219 * luma));
    *u = static_cast<int>(std::lround(128 + 224 * (b - luma) / 1.772));
    *v = static_cast<int>(std::lround(128 + 224 * (r - luma) / 1.402));
}

// The formula from limited-range Y, U, V to full-range B, G, R.
Rgb Formula(int y, int u, int v)
{
    const double c = 255.0 / 219 * (y - 16), d = 255.0 / 224 * (u - 128), e = 255.0 / 224 * (v - 128);
    auto clamp = [](double x) { return static_cast<int>(std::lround(std::clamp(x, 0.0, 255.0))); };
    return {clamp(c + 1.772 * d), clamp(c - 1.772 * 0.114 / 0.587 * d - 1.402 * 0.299 / 0.587 * e),
            clamp(c + 1.402 * e)};
}

TEST(Colour, BlackAndWhiteAreExact)
{
    const Rgb black = Convert(16, 128, 128);
    EXPECT_EQ(black.b, 0);
    EXPECT_EQ(black.g, 0);
    EXPECT_EQ(black.r, 0);
    const Rgb white = Convert(235, 128, 128);
    EXPECT_EQ(white.b, 255);
    EXPECT_EQ(white.g, 255);
    EXPECT_EQ(white.r, 255);
    // Below black and above white clamp instead of wrapping.
    const Rgb under = Convert(0, 128, 128), over = Convert(255, 128, 128);
    EXPECT_EQ(under.r + under.g + under.b, 0);
    EXPECT_EQ(over.r + over.g + over.b, 3 * 255);
}

TEST(Colour, SeventyFivePercentBars)
{
    // White, yellow, cyan, green, magenta, red, blue at 75%: every channel is
    // 0.75 * 255 = 191 or 0, give or take the rounding of Y, U and V.
    const int bars[7][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}};
    for (const auto& bar : bars) {
        int y, u, v;
        ToYuv(0.75 * bar[0], 0.75 * bar[1], 0.75 * bar[2], &y, &u, &v);
        const Rgb out = Convert(y, u, v);
        EXPECT_NEAR(out.r, bar[0] ? 191 : 0, 1) << y << "/" << u << "/" << v;
        EXPECT_NEAR(out.g, bar[1] ? 191 : 0, 1) << y << "/" << u << "/" << v;
        EXPECT_NEAR(out.b, bar[2] ? 191 : 0, 1) << y << "/" << u << "/" << v;
    }
    // The classic 8-bit values of the 75% yellow bar.
    const Rgb yellow = Convert(162, 44, 142);
    EXPECT_NEAR(yellow.r, 191, 1);
    EXPECT_NEAR(yellow.g, 191, 1);
    EXPECT_NEAR(yellow.b, 0, 1);
}

TEST(Colour, PrimariesAndMixesWithinOneOfTheFormula)
{
    for (int r = 0; r <= 4; ++r) {
        for (int g = 0; g <= 4; ++g) {
            for (int b = 0; b <= 4; ++b) {
                int y, u, v;
                ToYuv(r / 4.0, g / 4.0, b / 4.0, &y, &u, &v);
                const Rgb out = Convert(y, u, v), want = Formula(y, u, v);
                EXPECT_NEAR(out.r, want.r, 1) << y << "/" << u << "/" << v;
                EXPECT_NEAR(out.g, want.g, 1) << y << "/" << u << "/" << v;
                EXPECT_NEAR(out.b, want.b, 1) << y << "/" << u << "/" << v;
            }
        }
    }
}

TEST(Colour, EveryInputWithinOneOfTheFormula)
{
    // The C row defines the SIMD rows (compared elsewhere); here its fixed
    // point against the exact formula, over all 16.7 million inputs.
    int worst = 0;
    for (int y = 0; y < 256; ++y) {
        uint8_t row[1024], out[256 * 6];
        for (int u = 0; u < 256; ++u) {
            for (int v = 0; v < 256; ++v) {
                uint8_t* p = row + 4 * v;
                p[0] = p[2] = uint8_t(y);
                p[1] = uint8_t(u);
                p[3] = uint8_t(v);
            }
            zelpipe::ToRgb24Row_C(row, out, 512, nullptr);
            for (int v = 0; v < 256; ++v) {
                const Rgb want = Formula(y, u, v);
                const uint8_t* o = out + 6 * v;
                worst = std::max({worst, std::abs(o[0] - want.b), std::abs(o[1] - want.g), std::abs(o[2] - want.r)});
            }
        }
    }
    EXPECT_LE(worst, 1);
}

// ------------------------------------------------------------- gamma ----

TEST(Gamma, CurvesFollowTheirDefinition)
{
    for (int g = -32; g <= 32; ++g) {
        const zelpipe::GammaCurve& c = zelpipe::kGammaCurves[g + 32];
        const double e = std::pow(2.0, -g / 32.0);
        int knot[17];
        for (int h = 0; h <= 16; ++h) {
            const int x = 16 * h;
            const double f = x <= 16 ? x : 16 + 219 * std::pow((x - 16) / 219.0, e);
            knot[h] = std::min(256, static_cast<int>(std::floor(f + 0.5)));
        }
        while (knot[15] + (((knot[16] - knot[15]) * 15 + 8) >> 4) > 255) --knot[16];
        for (int h = 0; h < 16; ++h) {
            EXPECT_EQ(c.base[h], knot[h]) << "gamma " << g << " knot " << h;
            EXPECT_EQ(c.slope[h], knot[h + 1] - knot[h]) << "gamma " << g << " segment " << h;
        }
        int last = -1;
        for (int y = 0; y < 256; ++y) {
            const int mapped = zelpipe::GammaMap(c, y);
            EXPECT_LE(mapped, 255);
            EXPECT_GE(mapped, last) << "gamma " << g << " falls at " << y;
            last = mapped;
            if (y <= 16) {
                EXPECT_EQ(mapped, y) << "gamma " << g << " moves black";
            }
            if (g == 0) {
                EXPECT_EQ(mapped, y);
            }
        }
        // Brighter for positive settings, darker for negative ones.
        const int mid = zelpipe::GammaMap(c, 126);
        if (g > 0) {
            EXPECT_GT(mid, 126);
        } else if (g < 0) {
            EXPECT_LT(mid, 126);
        }
    }
}

}  // namespace
