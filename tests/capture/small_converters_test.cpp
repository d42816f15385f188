// The low-bandwidth converters: the first 162 x 44 field to 160 x 120 YUY2,
// I420 and bottom-up RGB24, with mirror and flip, and the colour tables.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "capture/Capture.h"

namespace {

constexpr size_t kYuy2Bytes = 38400;
constexpr size_t kI420Bytes = 28800;
constexpr size_t kRgbBytes = 57600;
constexpr size_t kUPlane = 19200;
constexpr size_t kVPlane = 24000;

struct Field {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(SMALL_FIELD_BYTES, 0);
    void Pair(size_t line, size_t pair, uint8_t y0, uint8_t u, uint8_t y1, uint8_t v)
    {
        uint8_t* p = bytes.data() + line * SMALL_FIELD_LINE_BYTES + pair * 4;
        p[0] = y0;
        p[1] = u;
        p[2] = y1;
        p[3] = v;
    }
    void Fill(uint8_t y, uint8_t u, uint8_t v)
    {
        for (size_t l = 0; l < SMALL_FIELD_LINES; ++l)
            for (size_t p = 0; p < SMALL_FIELD_WIDTH / 2; ++p) Pair(l, p, y, u, y, v);
    }
};

enum class Kind { Yuy2, I420, Rgb24 };

std::vector<uint8_t> Convert(Kind kind, const Field& field, bool mirror = false, bool flip = false)
{
    DeviceContext context{};
    context.mirror = mirror ? 1 : 0;
    context.flip = flip ? 1 : 0;
    // Exactly the output size, so that a write past it is caught.
    std::vector<uint8_t> out(kind == Kind::Yuy2 ? kYuy2Bytes : kind == Kind::I420 ? kI420Bytes : kRgbBytes, 0xEE);
    switch (kind) {
    case Kind::Yuy2:
        SmallYuy2Converter(&context, field.bytes.data(), out.data());
        break;
    case Kind::I420:
        SmallI420Converter(&context, field.bytes.data(), out.data());
        break;
    case Kind::Rgb24:
        SmallRgb24Converter(&context, field.bytes.data(), out.data());
        break;
    }
    return out;
}

class SmallConverters : public ::testing::Test {
protected:
    void SetUp() override { BuildColourTables(); }
};

}  // namespace

TEST_F(SmallConverters, ColourTablesRoundDownAndClamp)
{
    EXPECT_EQ(blueFromU[0], 113508 * -128);
    EXPECT_EQ(greenFromU[255], 22020 * 127);
    EXPECT_EQ(greenFromV[128], 0);
    EXPECT_EQ(redFromV[255], 89850 * 127);

    struct Case {
        uint8_t y, u, v;
        std::array<uint8_t, 3> bgr;
    };
    const Case cases[] = {
        {255, 128, 128, {255, 255, 255}},  // white
        {0, 128, 128, {0, 0, 0}},          // black
        {255, 255, 128, {255, 212, 255}},  // blue clamped from 474
        {0, 255, 255, {220, 0, 174}},      // green clamped from below zero
        {16, 128, 129, {16, 15, 17}},      // 16.5, 15.8 and 17.9 rounded down
    };
    for (const Case& c : cases) {
        Field field;
        field.Fill(c.y, c.u, c.v);
        const std::vector<uint8_t> out = Convert(Kind::Rgb24, field);
        for (size_t i = 0; i < out.size(); i += 3) {
            ASSERT_EQ(out[i], c.bgr[0]) << "Y " << int(c.y) << " U " << int(c.u) << " V " << int(c.v);
            ASSERT_EQ(out[i + 1], c.bgr[1]);
            ASSERT_EQ(out[i + 2], c.bgr[2]);
        }
    }
}

TEST_F(SmallConverters, MirrorTakesEachRowFromPair79Backwards)
{
    // Every pair different, and the same field mirrored by hand.
    Field field, byHand;
    for (size_t l = 0; l < SMALL_FIELD_LINES; ++l) {
        for (size_t p = 0; p < 80; ++p) {
            const uint8_t y0 = static_cast<uint8_t>(20 + p + l), y1 = static_cast<uint8_t>(120 + p);
            const uint8_t u = static_cast<uint8_t>(60 + p), v = static_cast<uint8_t>(200 - p - l);
            field.Pair(l, p, y0, u, y1, v);
            byHand.Pair(l, 79 - p, y1, u, y0, v);
        }
    }
    const std::vector<uint8_t> i420 = Convert(Kind::I420, field, true);
    // The first output pixel is the second luma sample of source pair 79.
    EXPECT_EQ(i420[0], 120 + 79);
    EXPECT_EQ(i420[1], 20 + 79);
    EXPECT_EQ(i420[kUPlane], 60 + 79);
    EXPECT_EQ(i420, Convert(Kind::I420, byHand, false));
    EXPECT_EQ(Convert(Kind::Rgb24, field, true), Convert(Kind::Rgb24, byHand, false));
    EXPECT_EQ(Convert(Kind::I420, field, true, true), Convert(Kind::I420, byHand, false, true));
    // YUY2 copies the lines as they are.
    EXPECT_EQ(Convert(Kind::Yuy2, field, true, true), Convert(Kind::Yuy2, field));
}

TEST_F(SmallConverters, FlipAndTheBottomUpRgbRows)
{
    // Grey lines, each its own level: RGB equals luma.
    Field field;
    for (size_t l = 0; l < SMALL_FIELD_LINES; ++l)
        for (size_t p = 0; p < SMALL_FIELD_WIDTH / 2; ++p) {
            const uint8_t y = static_cast<uint8_t>(10 + 5 * l);
            field.Pair(l, p, y, 128, y, 128);
        }
    auto level = [](size_t line) { return static_cast<uint8_t>(10 + 5 * line); };

    for (bool flip : {false, true}) {
        const std::vector<uint8_t> rgb = Convert(Kind::Rgb24, field, false, flip);
        const std::vector<uint8_t> i420 = Convert(Kind::I420, field, false, flip);
        for (size_t row = 0; row < 120; ++row) {
            const size_t r = row / 3;
            // In memory the RGB rows run bottom up: unflipped, the last row
            // shows source line 0.
            const uint8_t rgbWant = level(flip ? r : 39 - r);
            const uint8_t lumaWant = level(flip ? 39 - r : r);
            for (size_t x = 0; x < 160; ++x) {
                ASSERT_EQ(rgb[row * 480 + 3 * x], rgbWant) << "flip " << flip << " row " << row;
                ASSERT_EQ(i420[row * 160 + x], lumaWant) << "flip " << flip << " row " << row;
            }
        }
        EXPECT_EQ(Convert(Kind::Yuy2, field, false, flip), Convert(Kind::Yuy2, field));
    }
}

TEST_F(SmallConverters, LinesBeyond39AndPixelsBeyond159NeverReachTheOutput)
{
    Field field, other;
    for (size_t l = 0; l < SMALL_FIELD_LINES; ++l)
        for (size_t p = 0; p < SMALL_FIELD_WIDTH / 2; ++p) {
            const bool used = l < 40 && p < 80;
            const uint8_t y = static_cast<uint8_t>(30 + (l * 3 + p) % 150);
            field.Pair(l, p, y, static_cast<uint8_t>(90 + l), y, static_cast<uint8_t>(170 - p));
            if (used) {
                other.Pair(l, p, y, static_cast<uint8_t>(90 + l), y, static_cast<uint8_t>(170 - p));
            } else {
                other.Pair(l, p, 250, 7, 251, 249);
            }
        }
    for (Kind kind : {Kind::Yuy2, Kind::I420, Kind::Rgb24})
        for (bool mirror : {false, true})
            for (bool flip : {false, true}) {
                EXPECT_EQ(Convert(kind, field, mirror, flip), Convert(kind, other, mirror, flip))
                    << "kind " << int(kind) << " mirror " << mirror << " flip " << flip;
            }
}

TEST_F(SmallConverters, I420ChromaRowsZeroTo59AreEachFilled)
{
    Field field;
    for (size_t l = 0; l < SMALL_FIELD_LINES; ++l)
        for (size_t p = 0; p < SMALL_FIELD_WIDTH / 2; ++p)
            field.Pair(l, p, 50, static_cast<uint8_t>(l + 1), 50, static_cast<uint8_t>(101 + l));
    for (bool flip : {false, true}) {
        const std::vector<uint8_t> out = Convert(Kind::I420, field, false, flip);
        EXPECT_EQ(std::count(out.begin(), out.end(), 0xEE), 0);
        for (size_t row = 0; row < 60; ++row) {
            // Groups alternate one and two chroma rows: row k is group (2k + 1) / 3.
            const size_t group = (2 * row + 1) / 3;
            const size_t line = flip ? 39 - group : group;
            for (size_t x = 0; x < 80; ++x) {
                ASSERT_EQ(out[kUPlane + row * 80 + x], line + 1) << "flip " << flip << " row " << row;
                ASSERT_EQ(out[kVPlane + row * 80 + x], 101 + line) << "flip " << flip << " row " << row;
            }
        }
    }
}

TEST_F(SmallConverters, Yuy2RowsAreThreeCopiesOfEachSourceLine)
{
    Field field;
    for (size_t i = 0; i < field.bytes.size(); ++i) field.bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    const std::vector<uint8_t> out = Convert(Kind::Yuy2, field);
    for (size_t row = 0; row < 120; ++row) {
        ASSERT_EQ(memcmp(out.data() + row * 320, field.bytes.data() + (row / 3) * SMALL_FIELD_LINE_BYTES, 320), 0)
            << "row " << row;
    }
    const std::vector<uint8_t> rgb = Convert(Kind::Rgb24, field);
    for (size_t row = 0; row < 120; row += 3) {
        EXPECT_EQ(memcmp(rgb.data() + row * 480, rgb.data() + (row + 1) * 480, 480), 0);
        EXPECT_EQ(memcmp(rgb.data() + row * 480, rgb.data() + (row + 2) * 480, 480), 0);
    }
}
