// The picture sources: window cropping, raster layout, colour bars, motion
// between fields, picture adjustment, noise and stations.
#include "sim/video/source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace {

using sim::FieldId;
using sim::LineSystem;
using sim::PictureAdjust;
using sim::Window;

constexpr uint8_t kSentinel = 0x01;  // no source ever produces this byte
constexpr size_t kGuard = 64;

// Renders into a sentinel-filled buffer with guard bytes on both sides and
// checks that exactly the window's bytes were written.
std::vector<uint8_t> Render(sim::VideoSource& src, LineSystem sys, const FieldId& id, const Window& w,
                            const PictureAdjust& adj = {}) {
    const size_t n = sim::WindowBytes(w);
    std::vector<uint8_t> buf(n + 2 * kGuard, kSentinel);
    src.RenderField(sys, id, w, adj, buf.data() + kGuard);
    for (size_t i = 0; i < kGuard; ++i) {
        EXPECT_EQ(buf[i], kSentinel) << "wrote before the window";
        EXPECT_EQ(buf[kGuard + n + i], kSentinel) << "wrote after the window";
    }
    size_t untouched = 0;
    for (size_t i = 0; i < n; ++i) untouched += buf[kGuard + i] == kSentinel;
    EXPECT_EQ(untouched, 0u) << "window bytes left unwritten";
    return std::vector<uint8_t>(buf.begin() + kGuard, buf.begin() + static_cast<long>(kGuard + n));
}

// Pixel pair at raster pixel px of the row `row` of a rendered window.
struct Pair {
    int y0, u, y1, v;
};
Pair PairAt(const std::vector<uint8_t>& img, const Window& w, int row, int px) {
    const size_t stride = static_cast<size_t>(w.hEndByte - w.hStartByte);
    const size_t i = static_cast<size_t>(row) * stride + static_cast<size_t>(px * 2 - w.hStartByte);
    return {img[i], img[i + 1], img[i + 2], img[i + 3]};
}

const Window k625Full{0, 1, 1440, 285};
const Window k525Full{0, 13, 1440, 253};

TEST(VideoWindow, EveryWindowFillsExactlyItsBytes) {
    auto bars = sim::MakeTestPattern(LineSystem::L625, {});
    auto noise = sim::MakeNoiseSource(3);
    const Window windows[] = {
        k625Full, k525Full, {8, 1, 1416, 285}, {72, 13, 1352, 253}, {92, 1, 1372, 241},
        {3, 5, 1001, 40},          // odd start and end
        {-100, -20, 40, 3},        // before the raster
        {1400, 300, 1800, 320},    // beyond the active picture and the field
        {0, 0, 65535, 2},          // the widest window the registers hold
    };
    for (const Window& w : windows) {
        for (LineSystem sys : {LineSystem::L525, LineSystem::L625}) {
            Render(*bars, sys, {7, true}, w);
            Render(*noise, sys, {7, false}, w);
        }
    }
}

TEST(VideoWindow, EmptyOrInvertedWindowWritesNothing) {
    auto src = sim::MakeTestPattern(LineSystem::L625, {});
    for (const Window& w : {Window{100, 10, 100, 20}, Window{200, 10, 100, 20}, Window{0, 20, 100, 10},
                            Window{INT_MAX, INT_MAX, INT_MIN, INT_MIN}}) {
        EXPECT_EQ(sim::WindowBytes(w), 0u);
        uint8_t buf[16];
        std::fill(std::begin(buf), std::end(buf), kSentinel);
        src->RenderField(LineSystem::L625, {0, true}, w, {}, buf);
        for (uint8_t b : buf) EXPECT_EQ(b, kSentinel);
    }
    EXPECT_EQ(sim::WindowBytes({INT_MIN, 0, INT_MAX, 1}), size_t{UINT32_MAX});
}

TEST(VideoWindow, ClampToRasterKeepsWhatAFieldHolds) {
    const Window c = sim::ClampToRaster(LineSystem::L525, {-4, -1, 4000, 400});
    EXPECT_EQ(c.hStartByte, 0);
    EXPECT_EQ(c.vStartLine, 0);
    EXPECT_EQ(c.hEndByte, 1716);
    EXPECT_EQ(c.vEndLine, 263);
    const Window inv = sim::ClampToRaster(LineSystem::L625, {500, 20, 100, 10});
    EXPECT_EQ(sim::WindowBytes(inv), 0u);
    const Window same = sim::ClampToRaster(LineSystem::L625, k625Full);
    EXPECT_EQ(sim::WindowBytes(same), sim::WindowBytes(k625Full));
}

TEST(VideoRaster, ColourBarsSitAtTheirDocumentedPlaces) {
    auto src = sim::MakeTestPattern(LineSystem::L625, {});
    const auto img = Render(*src, LineSystem::L625, {0, true}, k625Full);
    const int row = 100 - k625Full.vStartLine;  // below the marks, above the box
    for (int bar = 0; bar < 8; ++bar) {
        const Pair p = PairAt(img, k625Full, row, bar * 90 + 44);
        EXPECT_EQ(p.y0, sim::kColourBars[bar].y) << bar;
        EXPECT_EQ(p.y1, sim::kColourBars[bar].y) << bar;
        EXPECT_EQ(p.u, sim::kColourBars[bar].u) << bar;
        EXPECT_EQ(p.v, sim::kColourBars[bar].v) << bar;
    }
    // The published 75% figures, white through blue.
    EXPECT_EQ(sim::kColourBars[1].y, 162);
    EXPECT_EQ(sim::kColourBars[4].v, 198);
    EXPECT_EQ(sim::kColourBars[6].u, 212);
}

TEST(VideoRaster, BlankingSurroundsTheActivePicture) {
    auto src = sim::MakeTestPattern(LineSystem::L525, {});
    // Lines 10..15 of a 525 field: 10..12 blanking, 13 onwards picture.
    const Window w{-8, 10, 1448, 16};
    const auto img = Render(*src, LineSystem::L525, {0, true}, w);
    const size_t stride = 1456;
    for (size_t i = 0; i < 3 * stride; ++i) ASSERT_EQ(img[i], (i & 1) ? 128 : 16) << i;
    const size_t row3 = 3 * stride;
    EXPECT_EQ(img[row3 + 0], 16);
    EXPECT_EQ(img[row3 + 1], 128);
    EXPECT_EQ(img[row3 + 8], sim::kColourBars[0].y);  // raster byte 0
    EXPECT_EQ(img[row3 + 8 + 1440], 16);             // raster byte 1440
    EXPECT_EQ(img[row3 + 8 + 1441], 128);

    // A window starting on an odd byte starts on chroma.
    const auto odd = Render(*src, LineSystem::L525, {0, true}, Window{1, 100, 9, 101});
    EXPECT_EQ(odd[0], sim::kColourBars[0].u);
    EXPECT_EQ(odd[1], sim::kColourBars[0].y);

    // 704-pixel window: its first byte is raster byte 8.
    const auto w704 = Render(*src, LineSystem::L525, {0, true}, Window{8, 100, 1416, 101});
    EXPECT_EQ(w704[0], sim::kColourBars[0].y);
    EXPECT_EQ(w704.size(), 1408u);
    EXPECT_EQ(w704[1407], sim::kColourBars[7].v);
}

TEST(VideoMotion, FieldsOfAMovingPatternDifferInTime) {
    sim::TestPatternOptions opt;
    opt.objectSpeed = 6;
    auto src = sim::MakeTestPattern(LineSystem::L625, opt);
    const Window w = k625Full;
    const int boxRow = sim::kBoxLine + 10 - w.vStartLine;
    const FieldId f1{10, true}, f2{10, false}, next{11, true};
    const int x1 = sim::BoxLeftPixel(6, f1), x2 = sim::BoxLeftPixel(6, f2), x3 = sim::BoxLeftPixel(6, next);
    EXPECT_EQ(x2 - x1, 6);
    EXPECT_EQ(x3 - x2, 6);
    const auto a = Render(*src, LineSystem::L625, f1, w);
    const auto b = Render(*src, LineSystem::L625, f2, w);
    EXPECT_EQ(PairAt(a, w, boxRow, x1).y0, 235);
    EXPECT_NE(PairAt(b, w, boxRow, x1).y0, 235);
    EXPECT_EQ(PairAt(b, w, boxRow, x2 + sim::kBoxWidth - 2).y1, 235);
    EXPECT_NE(PairAt(a, w, boxRow, x2 + sim::kBoxWidth - 2).y1, 235);
}

TEST(VideoMotion, StillPatternFieldsDifferOnlyInTheFieldMark) {
    sim::TestPatternOptions opt;
    opt.objectSpeed = 0;
    auto still = sim::MakeTestPattern(LineSystem::L525, opt);
    const Window w = k525Full;
    const auto a = Render(*still, LineSystem::L525, {3, true}, w);
    const auto b = Render(*still, LineSystem::L525, {3, false}, w);
    const size_t stride = 1440;
    for (int row = 0; row < w.vEndLine - w.vStartLine; ++row) {
        const int line = w.vStartLine + row;
        const bool fieldBand = line >= sim::kFieldBandLine && line < sim::kFieldBandLine + sim::kMarkBandLines;
        const bool same = std::equal(a.begin() + static_cast<long>(row * stride),
                                     a.begin() + static_cast<long>((row + 1) * stride),
                                     b.begin() + static_cast<long>(row * stride));
        EXPECT_EQ(same, !fieldBand) << "line " << line;
    }
    opt.marks = false;
    opt.digits = false;
    auto bare = sim::MakeTestPattern(LineSystem::L525, opt);
    EXPECT_EQ(Render(*bare, LineSystem::L525, {3, true}, w), Render(*bare, LineSystem::L525, {9, false}, w));
}

TEST(VideoMotion, BoxBouncesInsideThePictureForAnyFrameNumber) {
    for (uint64_t frame : {uint64_t{0}, uint64_t{1}, uint64_t{327}, uint64_t{656}, UINT64_MAX}) {
        for (int speed : {0, 1, 4, 13, -7, INT_MAX, INT_MIN}) {
            for (bool first : {true, false}) {
                const int x = sim::BoxLeftPixel(speed, {frame, first});
                EXPECT_GE(x, 0);
                EXPECT_LE(x + sim::kBoxWidth, sim::kActivePixelsPerLine);
                EXPECT_EQ(x % 2, 0);
            }
        }
    }
}

TEST(VideoRaster, FrameNumberShowsAsSevenSegmentDigits) {
    auto src = sim::MakeTestPattern(LineSystem::L625, {});
    const Window w = k625Full;
    const auto img = Render(*src, LineSystem::L625, {1012345, false}, w);  // shows 12345
    auto lit = [&](int digit, int x, int r) {
        return PairAt(img, w, sim::kDigitLine + r - w.vStartLine, sim::kDigitFirstPixel + digit * sim::kDigitPitch + x).y0 == 235;
    };
    // '1': right-hand segments only.
    EXPECT_FALSE(lit(0, 0, 1));
    EXPECT_TRUE(lit(0, 16, 1));
    EXPECT_TRUE(lit(0, 16, 22));
    EXPECT_FALSE(lit(0, 8, 11));
    // '2': top, middle and bottom bars, upper right and lower left.
    EXPECT_TRUE(lit(1, 8, 1));
    EXPECT_TRUE(lit(1, 8, 11));
    EXPECT_TRUE(lit(1, 8, 22));
    EXPECT_TRUE(lit(1, 16, 5));
    EXPECT_FALSE(lit(1, 0, 5));
    EXPECT_TRUE(lit(1, 0, 17));
    EXPECT_FALSE(lit(1, 16, 17));
    // '4': no top bar, both upper sides; '5': upper left, lower right.
    EXPECT_FALSE(lit(3, 8, 1));
    EXPECT_TRUE(lit(3, 0, 5));
    EXPECT_TRUE(lit(3, 16, 5));
    EXPECT_TRUE(lit(4, 0, 5));
    EXPECT_FALSE(lit(4, 16, 5));
    EXPECT_TRUE(lit(4, 16, 17));
    EXPECT_FALSE(lit(4, 0, 17));
}

TEST(VideoAdjust, ControlsChangePixelsAsDocumented) {
    auto src = sim::MakeTestPattern(LineSystem::L625, {});
    const Window w{0, 100, 1440, 101};
    const auto plain = Render(*src, LineSystem::L625, {0, true}, w);
    auto at = [&](const std::vector<uint8_t>& img, int bar) { return PairAt(img, w, 0, bar * 90 + 44); };

    PictureAdjust bright;
    bright.brightness = 20;
    const auto b = Render(*src, LineSystem::L625, {0, true}, w, bright);
    EXPECT_EQ(at(b, 0).y0, 200);
    EXPECT_EQ(at(b, 0).u, 128);
    bright.brightness = 127;
    EXPECT_EQ(at(Render(*src, LineSystem::L625, {0, true}, w, bright), 0).y0, 255);  // clamped

    PictureAdjust contrast;
    contrast.contrast = 64;  // half the distance from black
    const auto c = Render(*src, LineSystem::L625, {0, true}, w, contrast);
    EXPECT_EQ(at(c, 0).y0, 16 + (180 - 16) / 2);
    EXPECT_EQ(at(c, 7).y0, 16);

    PictureAdjust grey;
    grey.saturation = 0;
    const auto g = Render(*src, LineSystem::L625, {0, true}, w, grey);
    for (int bar = 0; bar < 8; ++bar) {
        EXPECT_EQ(at(g, bar).u, 128);
        EXPECT_EQ(at(g, bar).v, 128);
        EXPECT_EQ(at(g, bar).y0, at(plain, bar).y0);
    }

    PictureAdjust hue;
    hue.hueDegrees = 180;  // a half turn negates both colour differences
    const auto h = Render(*src, LineSystem::L625, {0, true}, w, hue);
    EXPECT_EQ(at(h, 1).u, 256 - 44);
    EXPECT_EQ(at(h, 1).v, 256 - 142);
    hue.hueDegrees = 90;  // (u, v) -> (-v, u)
    const auto q = Render(*src, LineSystem::L625, {0, true}, w, hue);
    EXPECT_EQ(at(q, 1).u, 128 - (142 - 128));
    EXPECT_EQ(at(q, 1).v, 44);

    // Back to neutral gives the original bytes again.
    EXPECT_EQ(Render(*src, LineSystem::L625, {0, true}, w, PictureAdjust{0, 128, 128, 720}), plain);
}

TEST(VideoAdjust, HostileValuesAndOddLengthsAreSafe) {
    std::vector<uint8_t> px = {16, 44, 235, 212, 128, 128, 77};
    for (const PictureAdjust& adj : {PictureAdjust{INT_MAX, INT_MAX, INT_MAX, INT_MAX},
                                     PictureAdjust{INT_MIN, INT_MIN, INT_MIN, INT_MIN},
                                     PictureAdjust{0, 128, 1024, 45}}) {
        std::vector<uint8_t> copy = px;
        sim::ApplyPictureAdjust(adj, copy.data(), copy.size());
        EXPECT_EQ(copy.size(), px.size());
    }
    std::vector<uint8_t> copy = px;
    sim::ApplyPictureAdjust({}, copy.data(), copy.size());
    EXPECT_EQ(copy, px);
    sim::ApplyPictureAdjust({5, 128, 128, 0}, nullptr, 100);
    // Trailing lone luma byte is adjusted too.
    sim::ApplyPictureAdjust({5, 128, 128, 0}, copy.data(), copy.size());
    EXPECT_EQ(copy[6], 82);
    EXPECT_EQ(copy[1], 44);
}

TEST(VideoNoise, SeededSnowWithoutSignal) {
    auto a = sim::MakeNoiseSource(42);
    auto a2 = sim::MakeNoiseSource(42);
    auto b = sim::MakeNoiseSource(43);
    EXPECT_FALSE(a->HasSignal());
    const Window w{0, 10, 1440, 60};
    const auto x = Render(*a, LineSystem::L625, {5, true}, w);
    EXPECT_EQ(x, Render(*a2, LineSystem::L625, {5, true}, w));
    EXPECT_NE(x, Render(*b, LineSystem::L625, {5, true}, w));
    EXPECT_NE(x, Render(*a, LineSystem::L625, {5, false}, w));
    EXPECT_NE(x, Render(*a, LineSystem::L625, {6, true}, w));
    // A narrower window shows the same snow at the same raster place.
    const Window inner{100, 20, 300, 30};
    const auto y = Render(*a, LineSystem::L625, {5, true}, inner);
    EXPECT_TRUE(std::equal(y.begin(), y.begin() + 200, x.begin() + 10 * 1440 + 100));
}

// The strongest correlation between the luma of two rendered lines, with
// one shifted against the other by up to `shifts` pixel pairs either way.
double StrongestCorrelation(const uint8_t* a, const uint8_t* b, int pairs, int shifts) {
    double strongest = 0;
    for (int s = -shifts; s <= shifts; ++s) {
        double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
        int n = 0;
        for (int i = std::max(0, -s); i < pairs && i + s < pairs; ++i) {
            const double x = a[4 * i], y = b[4 * (i + s)];
            sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y;
            ++n;
        }
        const double cov = sab - sa * sb / n, va = saa - sa * sa / n, vb = sbb - sb * sb / n;
        strongest = std::max(strongest, std::abs(cov / std::sqrt(va * vb)));
    }
    return strongest;
}

TEST(VideoNoise, LinesAndFieldsAreIndependent) {
    auto snow = sim::MakeNoiseSource(7);
    const Window w{0, 20, 1440, 60};
    const auto top = Render(*snow, LineSystem::L625, {5, true}, w);
    const auto bottom = Render(*snow, LineSystem::L625, {5, false}, w);
    const auto next = Render(*snow, LineSystem::L625, {6, true}, w);
    // 360 samples: independent noise stays well under 0.25 at every shift.
    for (int row = 0; row + 1 < 40; ++row) {
        SCOPED_TRACE(row);
        const uint8_t* line = top.data() + row * 1440;
        EXPECT_LT(StrongestCorrelation(line, line + 1440, 360, 8), 0.25);
        EXPECT_LT(StrongestCorrelation(line, bottom.data() + row * 1440, 360, 8), 0.25);
        EXPECT_LT(StrongestCorrelation(line, next.data() + row * 1440, 360, 8), 0.25);
    }
}

TEST(VideoStation, EachChannelHasItsOwnPicture) {
    auto c4 = sim::MakeStationSource(4, LineSystem::L625);
    auto c5 = sim::MakeStationSource(5, LineSystem::L625);
    EXPECT_TRUE(c4->HasSignal());
    EXPECT_EQ(c4->NativeSystem(), LineSystem::L625);
    EXPECT_EQ(sim::MakeStationSource(4, LineSystem::L525)->NativeSystem(), LineSystem::L525);
    const Window w{0, 100, 1440, 101};
    const auto p4 = Render(*c4, LineSystem::L625, {0, true}, w);
    const auto p5 = Render(*c5, LineSystem::L625, {0, true}, w);
    EXPECT_NE(p4, p5);
    EXPECT_EQ(p4, Render(*sim::MakeStationSource(4, LineSystem::L625), LineSystem::L625, {0, true}, w));
}

}  // namespace
