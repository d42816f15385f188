// What the pictures look like: a still picture comes back exactly woven, a
// moving one without combing, field-based sizes use one field only, colour
// never mixes two instants, and mirror, flip, gamma and the bottom-up RGB24
// rows land where they should.
#include "pipeline_test_support.h"

#include <cmath>

#include "pipeline/rows.h"
#include "tests/support/kernel_test.h"

using namespace pipeline_test;

namespace {

struct Geometry {
    int sw, sh, ow, oh;
};

class Picture : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        h = ppl_init();
        ASSERT_NE(h, nullptr);
    }
    void TearDown() override
    {
        ppl_free(h);
        KernelTest::TearDown();
    }
    PPL_HANDLE h = nullptr;
};

// A progressive YUYV picture at field time t: a background of vertical
// stripes (no vertical detail, so any line-to-line difference is combing or
// an object's edge) and a bright box with its own colour moving right by
// `speed` pixels per field.
Bytes Scene(int width, int height, int t, int speed)
{
    Bytes p(static_cast<size_t>(width) * height * 2);
    const int boxLeft = 40 + speed * t, boxTop = height / 4, boxWidth = width / 5, boxHeight = height / 3;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool box = x >= boxLeft && x < boxLeft + boxWidth && y >= boxTop && y < boxTop + boxHeight;
            uint8_t* px = &p[(static_cast<size_t>(y) * width + x) * 2];
            px[0] = box ? 210 : static_cast<uint8_t>(40 + (x / 6 % 2) * 60);
            px[1] = box ? ((x & 1) ? 200 : 60) : 128;  // box chroma: U 60, V 200
        }
    }
    return p;
}

// Line-difference energy of the luma of a YUY2 picture: how much each line
// stands out from the average of its neighbours; weaving two instants of a
// moving edge makes it large.
double CombEnergy(const Bytes& yuy2, int width, int height)
{
    double e = 0;
    for (int y = 1; y + 1 < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto at = [&](int row) { return static_cast<double>(yuy2[(static_cast<size_t>(row) * width + x) * 2]); };
            const double d = 2 * at(y) - at(y - 1) - at(y + 1);
            e += d * d;
        }
    }
    return e;
}

Bytes Weave(const Fields& f)
{
    Bytes out;
    const size_t line = static_cast<size_t>(f.width) * 2;
    for (int n = 0; n < f.height / 2; ++n) {
        out.insert(out.end(), f.first.begin() + n * line, f.first.begin() + (n + 1) * line);
        out.insert(out.end(), f.second.begin() + n * line, f.second.begin() + (n + 1) * line);
    }
    return out;
}

TEST_F(Picture, StillPictureComesBackExactlyWoven)
{
    for (auto [w, hgt] : {std::pair{720, 576}, {720, 480}, {640, 480}}) {
        const Bytes picture = RandomBytes(static_cast<size_t>(w) * hgt * 2, w + hgt);
        const Fields f = Split(picture, picture, w, hgt);
        EXPECT_EQ(Convert(Format::YUY2, h, f, w, hgt), picture) << w << "x" << hgt;
    }
}

TEST_F(Picture, StillPictureInI420IsTheWovenFramesPlanes)
{
    const int w = 640, hgt = 480;
    const Bytes picture = RandomBytes(static_cast<size_t>(w) * hgt * 2, 77);
    const Bytes out = Convert(Format::I420, h, Split(picture, picture, w, hgt), w, hgt);
    for (int y = 0; y < hgt; y += 37) {
        for (int x = 0; x < w; x += 13) {
            ASSERT_EQ(out[y * w + x], picture[(y * w + x) * 2]) << x << "," << y;
        }
    }
    // Chroma: the rounded average of the two frame lines it covers.
    const uint8_t* u = out.data() + w * hgt;
    const uint8_t* v = u + (w / 2) * (hgt / 2);
    for (int c = 0; c < hgt / 2; c += 11) {
        for (int p = 0; p < w / 2; p += 7) {
            const uint8_t* top = &picture[(2 * c * w + 2 * p) * 2];
            const uint8_t* bottom = top + w * 2;
            EXPECT_EQ(u[c * (w / 2) + p], (top[1] + bottom[1] + 1) / 2);
            EXPECT_EQ(v[c * (w / 2) + p], (top[3] + bottom[3] + 1) / 2);
        }
    }
}

TEST_F(Picture, MovingPictureComesBackWithoutCombing)
{
    const int w = 720, hgt = 576;
    for (int frame = 1; frame <= 3; ++frame) {
        const Bytes truth = Scene(w, hgt, 2 * frame, 6);
        const Fields f = Split(truth, Scene(w, hgt, 2 * frame - 1, 6), w, hgt);
        // The second field, half a frame later, is the later scene's odd lines.
        Fields moving = f;
        moving.second = Split(Scene(w, hgt, 2 * frame + 1, 6), truth, w, hgt).second;
        const Bytes ours = Convert(Format::YUY2, h, moving, w, hgt);
        const double truthEnergy = CombEnergy(truth, w, hgt);
        const double weaveEnergy = CombEnergy(Weave(moving), w, hgt);
        const double ourEnergy = CombEnergy(ours, w, hgt);
        // Plain weave combs the box's moving edges; ours stays at the level
        // of the picture itself (its still edges) within a few percent.
        EXPECT_GT(weaveEnergy, 3 * truthEnergy);
        EXPECT_LT(ourEnergy, 1.1 * truthEnergy) << "frame " << frame;
        // Away from the box everything is woven exactly.
        for (int y = 0; y < hgt / 4 - 2; ++y) {
            ASSERT_EQ(0, std::memcmp(&ours[y * w * 2], &truth[y * w * 2], w * 2)) << "line " << y;
        }
    }
}

// The de-interlaced frame line by line from the C rows: frame line 2n is the
// first field's line n; line 2n + 1 is rebuilt from first field lines n - 1
// .. n + 2 and second and previous field lines n - 1 .. n + 1 with their
// difference rows, lines past the top or bottom being the nearest one inside.
Bytes ExpectedFrame(const Fields& f)
{
    const int lines = f.height / 2, pairs = f.width / 2;
    const size_t line = static_cast<size_t>(f.width) * 2;
    auto at = [&](const Bytes& field, int n) { return field.data() + std::clamp(n, 0, lines - 1) * line; };
    std::vector<DifferenceRow> difference(lines, DifferenceRow(line));
    for (int n = 0; n < lines; ++n) {
        zelpipe::DifferenceRow_C(at(f.previous, n), at(f.second, n), difference[n].data(), &difference[n].moved, pairs);
    }
    Bytes out(line * f.height);
    for (int n = 0; n < lines; ++n) {
        std::memcpy(&out[2 * n * line], at(f.first, n), line);
        zelpipe::FieldLines l;
        for (int i = 0; i < 4; ++i) l.first[i] = at(f.first, n - 1 + i);
        for (int i = 0; i < 3; ++i) {
            l.second[i] = at(f.second, n - 1 + i);
            l.previous[i] = at(f.previous, n - 1 + i);
        }
        l.difference[0] = difference[std::clamp(n - 1, 0, lines - 1)].data();
        l.difference[1] = difference[n].data();
        l.nextDifference = difference[std::clamp(n + 1, 0, lines - 1)].data();
        zelpipe::InterpolateBytes_C(l, &out[(2 * n + 1) * line], static_cast<int>(line), 0, static_cast<int>(line));
    }
    return out;
}

// The same frame's I420 planes: luma as is, chroma the rounded average of
// each pair of frame lines.
Bytes I420Of(const Bytes& frame, int w, int hgt)
{
    Bytes out(OutputBytes(Format::I420, w, hgt));
    uint8_t* u = out.data() + w * hgt;
    uint8_t* v = u + (w / 2) * (hgt / 2);
    for (int y = 0; y < hgt; ++y) {
        for (int x = 0; x < w; ++x) out[y * w + x] = frame[(y * w + x) * 2];
    }
    for (int c = 0; c < hgt / 2; ++c) {
        for (int p = 0; p < w / 2; ++p) {
            const uint8_t* top = &frame[(2 * c * w + 2 * p) * 2];
            const uint8_t* bottom = top + w * 2;
            u[c * (w / 2) + p] = static_cast<uint8_t>((top[1] + bottom[1] + 1) / 2);
            v[c * (w / 2) + p] = static_cast<uint8_t>((top[3] + bottom[3] + 1) / 2);
        }
    }
    return out;
}

// The same frame as a bottom-up RGB24 bitmap, each row through the C
// reference row (whose colours the colour tests hold to the formula).
Bytes Rgb24Of(const Bytes& frame, int w, int hgt)
{
    Bytes out(OutputBytes(Format::RGB24, w, hgt));
    for (int y = 0; y < hgt; ++y) {
        zelpipe::ToRgb24Row_C(&frame[static_cast<size_t>(y) * w * 2], &out[static_cast<size_t>(hgt - 1 - y) * w * 3],
                              w, nullptr);
    }
    return out;
}

Bytes UpsideDown(const Bytes& planes, int w, int hgt, Format f)
{
    Bytes out(planes.size());
    auto turn = [&](size_t offset, int rowBytes, int rows) {
        for (int r = 0; r < rows; ++r) {
            std::memcpy(&out[offset + static_cast<size_t>(r) * rowBytes],
                        &planes[offset + static_cast<size_t>(rows - 1 - r) * rowBytes], rowBytes);
        }
    };
    if (f != Format::I420) {
        turn(0, static_cast<int>(planes.size() / hgt), hgt);
    } else {
        turn(0, w, hgt);
        turn(static_cast<size_t>(w) * hgt, w / 2, hgt / 2);
        turn(static_cast<size_t>(w) * hgt + (w / 2) * (hgt / 2), w / 2, hgt / 2);
    }
    return out;
}

TEST_F(Picture, FullHeightFramesAreTheRebuiltLinesOnEveryLevel)
{
    // A still picture with a few small spots that moved, at the first and
    // last lines and pairs, and on both sides of the SIMD rows' block edges;
    // everything else is woven, so an activity row taken from the wrong line
    // or left stale shows. Each level's handle converts the sizes from the
    // widest down, and lines near the bottom move near their right ends:
    // activity a wider frame left past a narrower row's end must not count.
    std::vector<zelpipe::CpuLevel> levels = SimdLevels();
    levels.insert(levels.begin(), zelpipe::kCpuC);
    std::vector<PPL_HANDLE> handles;
    for (auto level : levels) {
        handles.push_back(zelpipe::CreateHandleForLevel(level));
        ASSERT_NE(handles.back(), nullptr);
    }
    const std::pair<int, int> sizes[] = {{720, 576}, {640, 480}, {66, 22}, {34, 10}, {18, 12}, {8, 6}};
    for (auto [w, hgt] : sizes) {
        const Bytes picture = RandomBytes(static_cast<size_t>(w) * hgt * 2, w * 3 + hgt);
        Fields f = Split(picture, picture, w, hgt);
        const int lines = hgt / 2, pairs = w / 2;
        std::vector<std::pair<int, int>> spots = {{0, 0}, {lines - 1, pairs - 1}, {4 % lines, pairs / 2},
                                                  {1, pairs - 1}, {lines - 2, 0}};
        for (int k = 0; k < 40; ++k) spots.push_back({(k * 37 + 5) % lines, (k * 29 + 31) % pairs});
        for (int k = 32; k + 1 < pairs; k += 32) spots.push_back({(k / 8) % lines, k - 1 + (k / 32) % 2});
        for (int n : {lines - 1, lines - 3}) {
            for (int k : {0, 20, 39}) {
                if (n >= 0 && k < pairs) spots.push_back({n, pairs - 1 - k});
            }
        }
        for (auto [n, p] : spots) {
            const size_t i = static_cast<size_t>(n) * w * 2 + 4 * p + (n + p) % 4;
            f.previous[i] = static_cast<uint8_t>(f.previous[i] + 40);
        }
        const Bytes frame = ExpectedFrame(f);
        for (size_t l = 0; l < levels.size(); ++l) {
            PPL_HANDLE handle = handles[l];
            for (bool flip : {false, true}) {
                ppl_set_v_mirror(handle, flip);
                for (Format format : {Format::YUY2, Format::I420, Format::RGB24}) {
                    Bytes expected = format == Format::YUY2   ? frame
                                     : format == Format::I420 ? I420Of(frame, w, hgt)
                                                              : Rgb24Of(frame, w, hgt);
                    if (flip) expected = UpsideDown(expected, w, hgt, format);
                    EXPECT_EQ(Convert(format, handle, f, w, hgt), expected)
                        << zelpipe::KernelsFor(levels[l])->name << " " << Name(format) << " " << w << "x" << hgt
                        << (flip ? " flipped" : "");
                }
            }
        }
    }
    for (PPL_HANDLE handle : handles) ppl_free(handle);
}

TEST_F(Picture, HalfHeightAndSmallerSizesUseTheFirstFieldOnly)
{
    const Geometry sizes[] = {{704, 576, 352, 288}, {704, 480, 176, 144}, {640, 480, 160, 120}, {704, 480, 352, 240}};
    for (const auto& g : sizes) {
        Fields a = RandomFields(g.sw, g.sh, g.sw + g.oh);
        Fields b = a;
        b.second = RandomBytes(b.second.size(), 1);
        b.previous = RandomBytes(b.previous.size(), 2);
        for (Format f : {Format::YUY2, Format::I420, Format::RGB24}) {
            EXPECT_EQ(Convert(f, h, a, g.ow, g.oh), Convert(f, h, b, g.ow, g.oh)) << Name(f) << " " << g.ow;
        }
    }
}

TEST_F(Picture, HalfSizeIsTheFirstFieldBoxedTwoToOne)
{
    const Fields f = RandomFields(704, 576, 31);
    const Bytes out = Convert(Format::YUY2, h, f, 352, 288);
    for (int y : {0, 100, 287}) {
        for (int p : {0, 17, 175}) {
            const uint8_t* s = &f.first[static_cast<size_t>(y) * 1408 + 8 * p];
            const uint8_t* o = &out[static_cast<size_t>(y) * 704 + 4 * p];
            EXPECT_EQ(o[0], (s[0] + s[2] + 1) / 2);
            EXPECT_EQ(o[1], (s[1] + s[5] + 1) / 2);
            EXPECT_EQ(o[2], (s[4] + s[6] + 1) / 2);
            EXPECT_EQ(o[3], (s[3] + s[7] + 1) / 2);
        }
    }
}

TEST_F(Picture, QuarterSizeAveragesFourByTwoFieldSamples)
{
    const Fields f = RandomFields(704, 576, 32);
    const Bytes out = Convert(Format::YUY2, h, f, 176, 144);
    for (int y : {0, 71, 143}) {
        for (int p : {0, 40, 87}) {
            const uint8_t* a = &f.first[static_cast<size_t>(2 * y) * 1408 + 16 * p];
            const uint8_t* b = a + 1408;
            const uint8_t* o = &out[static_cast<size_t>(y) * 352 + 4 * p];
            int y0 = 0, y1 = 0, u = 0, v = 0;
            for (const uint8_t* r : {a, b}) {
                y0 += r[0] + r[2] + r[4] + r[6];
                y1 += r[8] + r[10] + r[12] + r[14];
                u += r[1] + r[5] + r[9] + r[13];
                v += r[3] + r[7] + r[11] + r[15];
            }
            EXPECT_EQ(o[0], (y0 + 4) / 8);
            EXPECT_EQ(o[1], (u + 4) / 8);
            EXPECT_EQ(o[2], (y1 + 4) / 8);
            EXPECT_EQ(o[3], (v + 4) / 8);
        }
    }
}

TEST_F(Picture, GeneralRatioAveragesTheCoveredLines)
{
    // 480 de-interlaced lines to 288: output line 1 covers frame lines 1.67
    // to 3.33, i.e. a third of line 1, all of line 2 and a third of line 3.
    const int w = 704;
    Bytes picture(static_cast<size_t>(w) * 480 * 2);
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < w; ++x) {
            picture[(static_cast<size_t>(y) * w + x) * 2] = static_cast<uint8_t>(y * 3 % 251);
            picture[(static_cast<size_t>(y) * w + x) * 2 + 1] = 128;
        }
    }
    const Bytes out = Convert(Format::YUY2, h, Split(picture, picture, w, 480), 352, 288);
    const double want = (0.333 * 3 + 6 + 0.333 * 9) / 1.667;
    EXPECT_NEAR(out[352 * 2 + 0], want, 1.0);
}

TEST_F(Picture, Rgb24RowsAreBottomUpAndFlipTurnsThemOver)
{
    // Top half white, bottom half black.
    const int w = 640, hgt = 480;
    Bytes picture(static_cast<size_t>(w) * hgt * 2);
    for (size_t i = 0; i < picture.size(); i += 2) {
        picture[i] = (i / (w * 2)) < static_cast<size_t>(hgt / 2) ? 235 : 16;
        picture[i + 1] = 128;
    }
    const Fields f = Split(picture, picture, w, hgt);
    Bytes out = Convert(Format::RGB24, h, f, w, hgt);
    EXPECT_EQ(out.front(), 0);   // first row in memory: the bottom, black
    EXPECT_EQ(out.back(), 255);  // last row in memory: the top, white
    ppl_set_v_mirror(h, 1);
    out = Convert(Format::RGB24, h, f, w, hgt);
    EXPECT_EQ(out.front(), 255);
    EXPECT_EQ(out.back(), 0);
    // YUY2 is top-down, and upside down when flipped.
    out = Convert(Format::YUY2, h, f, w, hgt);
    EXPECT_EQ(out.front(), 16);
    EXPECT_EQ(out[out.size() - 2], 235);
}

TEST_F(Picture, MirrorAndFlipMoveEveryPixel)
{
    const int w = 352, hgt = 240;
    const Fields f = RandomFields(704, 480, 41);
    const Bytes plain = Convert(Format::RGB24, h, f, w, hgt);
    const Bytes plainI420 = Convert(Format::I420, h, f, w, hgt);
    ppl_set_h_mirror(h, 1);
    ppl_set_v_mirror(h, 1);
    const Bytes both = Convert(Format::RGB24, h, f, w, hgt);
    const Bytes bothI420 = Convert(Format::I420, h, f, w, hgt);
    for (int y = 0; y < hgt; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t a = (static_cast<size_t>(y) * w + x) * 3;
            const size_t b = (static_cast<size_t>(hgt - 1 - y) * w + (w - 1 - x)) * 3;
            ASSERT_EQ(0, std::memcmp(&plain[a], &both[b], 3)) << x << "," << y;
            ASSERT_EQ(plainI420[y * w + x], bothI420[(hgt - 1 - y) * w + (w - 1 - x)]);
        }
    }
    const size_t chroma = static_cast<size_t>(w) * hgt;
    for (int c = 0; c < hgt / 2; ++c) {
        for (int p = 0; p < w / 2; ++p) {
            ASSERT_EQ(plainI420[chroma + c * (w / 2) + p], bothI420[chroma + (hgt / 2 - 1 - c) * (w / 2) + (w / 2 - 1 - p)]);
        }
    }
}

TEST_F(Picture, MirrorOfAnOddRgb24WidthKeepsEveryPixel)
{
    const Fields f = RandomFields(640, 480, 43);
    const Bytes plain = Convert(Format::RGB24, h, f, 161, 121);
    ppl_set_h_mirror(h, 1);
    const Bytes mirrored = Convert(Format::RGB24, h, f, 161, 121);
    for (int y = 0; y < 121; ++y) {
        for (int x = 0; x < 161; ++x) {
            ASSERT_EQ(0, std::memcmp(&plain[(y * 161 + x) * 3], &mirrored[(y * 161 + 160 - x) * 3], 3)) << x;
        }
    }
}

// RGB24 applies the curve in its own row, or in the mirrored copy when
// mirrored: either way exactly once, giving the colours of the YUY2 picture.
TEST_F(Picture, Rgb24WithGammaHasTheColoursOfTheYuy2Picture)
{
    const int w = 720, hgt = 576;
    const Fields f = RandomFields(w, hgt, 53);
    for (int mirror : {0, 1}) {
        ppl_set_h_mirror(h, mirror);
        for (int g : {-20, 32}) {
            ppl_set_gamma(h, g);
            EXPECT_EQ(Convert(Format::RGB24, h, f, w, hgt), Rgb24Of(Convert(Format::YUY2, h, f, w, hgt), w, hgt))
                << "gamma " << g << (mirror ? " mirrored" : "");
        }
    }
}

TEST_F(Picture, GammaBendsLumaOnlyAndZeroChangesNothing)
{
    const int w = 720, hgt = 576;
    const Bytes picture = RandomBytes(static_cast<size_t>(w) * hgt * 2, 51);
    const Fields f = Split(picture, picture, w, hgt);
    for (int g : {-32, -7, 0, 19, 32}) {
        ppl_set_gamma(h, g);
        const Bytes out = Convert(Format::YUY2, h, f, w, hgt);
        for (size_t i = 0; i < out.size(); i += 97) {
            const int want = (i & 1) ? picture[i] : zelpipe::GammaMap(zelpipe::kGammaCurves[g + 32], picture[i]);
            ASSERT_EQ(out[i], want) << "gamma " << g << " byte " << i;
        }
    }
}

}  // namespace
