// The pattern's counter, source id and field marks read back from fields,
// woven frames and scaled, colour-converted copies.
#include "sim/video/source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using sim::FieldId;
using sim::FieldParity;
using sim::LineSystem;
using sim::MarkImage;
using sim::MarkLayout;
using sim::MarkPixelFormat;
using sim::Window;

std::vector<uint8_t> Field(sim::VideoSource& src, LineSystem sys, const FieldId& id, const Window& w,
                           const sim::PictureAdjust& adj = {}) {
    std::vector<uint8_t> out(sim::WindowBytes(w));
    src.RenderField(sys, id, w, adj, out.data());
    return out;
}

// Two fields woven into a frame, field `top` on the even rows, padded with
// black lines up to padLines per field.
std::vector<uint8_t> Weave(const std::vector<uint8_t>& top, const std::vector<uint8_t>& bottom, size_t stride,
                           size_t lines, size_t padLines) {
    std::vector<uint8_t> frame(stride * padLines * 2);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = (i & 1) ? 128 : 16;
    for (size_t l = 0; l < lines; ++l) {
        std::copy_n(top.begin() + static_cast<long>(l * stride), stride, frame.begin() + static_cast<long>(2 * l * stride));
        std::copy_n(bottom.begin() + static_cast<long>(l * stride), stride,
                    frame.begin() + static_cast<long>((2 * l + 1) * stride));
    }
    return frame;
}

// Box-filtered luma of a YUYV picture at a new size.
std::vector<int> ScaleLuma(const std::vector<uint8_t>& yuyv, int sw, int sh, int dw, int dh) {
    std::vector<int> out(static_cast<size_t>(dw * dh));
    for (int y = 0; y < dh; ++y) {
        for (int x = 0; x < dw; ++x) {
            const int x0 = x * sw / dw, x1 = std::max(x0 + 1, (x + 1) * sw / dw);
            const int y0 = y * sh / dh, y1 = std::max(y0 + 1, (y + 1) * sh / dh);
            long sum = 0;
            for (int yy = y0; yy < y1; ++yy)
                for (int xx = x0; xx < x1; ++xx) sum += yuyv[static_cast<size_t>(yy * sw + xx) * 2];
            out[static_cast<size_t>(y * dw + x)] = static_cast<int>(sum / ((x1 - x0) * (y1 - y0)));
        }
    }
    return out;
}

std::vector<uint8_t> AsYuyv(const std::vector<int>& luma) {
    std::vector<uint8_t> o(luma.size() * 2);
    for (size_t i = 0; i < luma.size(); ++i) {
        o[2 * i] = static_cast<uint8_t>(luma[i]);
        o[2 * i + 1] = 128;
    }
    return o;
}
std::vector<uint8_t> AsI420(const std::vector<int>& luma) {
    std::vector<uint8_t> o(luma.size() * 3 / 2, 128);
    for (size_t i = 0; i < luma.size(); ++i) o[i] = static_cast<uint8_t>(luma[i]);
    return o;
}
// Full-range RGB, B G R order, last row first.
std::vector<uint8_t> AsRgbBottomUp(const std::vector<int>& luma, int w, int h) {
    std::vector<uint8_t> o(luma.size() * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int v = std::clamp((luma[static_cast<size_t>(y * w + x)] - 16) * 255 / 219, 0, 255);
            const size_t at = (static_cast<size_t>(h - 1 - y) * w + x) * 3;
            o[at] = o[at + 1] = o[at + 2] = static_cast<uint8_t>(v);
        }
    }
    return o;
}

MarkImage Img(MarkPixelFormat f, const std::vector<uint8_t>& d, int w, int h, bool bottomUp = false) {
    MarkImage m{f, d.data(), d.size(), w, h};
    m.bottomUp = bottomUp;
    return m;
}

struct DriverWindow {
    LineSystem sys;
    Window w;
};
const DriverWindow kWindows[] = {
    {LineSystem::L625, {0, 1, 1440, 285}},   {LineSystem::L625, {8, 1, 1416, 285}},
    {LineSystem::L625, {72, 13, 1352, 253}}, {LineSystem::L625, {72, 25, 1352, 265}},
    {LineSystem::L625, {8, 19, 1288, 259}},  {LineSystem::L525, {0, 13, 1440, 253}},
    {LineSystem::L525, {8, 13, 1416, 253}},  {LineSystem::L525, {72, 13, 1352, 253}},
};

TEST(VideoMarks, FieldsDecodeInEveryDriverWindow) {
    for (const auto& dw : kWindows) {
        sim::TestPatternOptions opt;
        opt.sourceId = 2;
        auto src = sim::MakeTestPattern(dw.sys, opt);
        const int width = (dw.w.hEndByte - dw.w.hStartByte) / 2;
        const int lines = dw.w.vEndLine - dw.w.vStartLine;
        for (bool first : {true, false}) {
            const auto f = Field(*src, dw.sys, {1234, first}, dw.w);
            const auto m = sim::DecodeFieldMarks(Img(MarkPixelFormat::YUYV, f, width, lines), {dw.sys, dw.w});
            EXPECT_TRUE(m.valid) << dw.w.hStartByte << "," << dw.w.vStartLine;
            EXPECT_EQ(m.counter, 1234);
            EXPECT_EQ(m.sourceId, 2);
            EXPECT_EQ(m.parity, first ? FieldParity::First : FieldParity::Second);
        }
    }
}

TEST(VideoMarks, WovenFramesTellTheirFieldOrder) {
    const DriverWindow dw{LineSystem::L525, {0, 13, 1440, 253}};
    auto src = sim::MakeTestPattern(dw.sys, {});
    const auto f1 = Field(*src, dw.sys, {77, true}, dw.w);
    const auto f2 = Field(*src, dw.sys, {77, false}, dw.w);
    MarkLayout layout{dw.sys, dw.w};
    layout.frame = true;
    const auto woven = Weave(f1, f2, 1440, 240, 240);
    auto m = sim::DecodeFieldMarks(Img(MarkPixelFormat::YUYV, woven, 720, 480), layout);
    EXPECT_TRUE(m.valid);
    EXPECT_EQ(m.counter, 77);
    EXPECT_EQ(m.parity, FieldParity::Woven);
    const auto swapped = Weave(f2, f1, 1440, 240, 240);
    m = sim::DecodeFieldMarks(Img(MarkPixelFormat::YUYV, swapped, 720, 480), layout);
    EXPECT_EQ(m.parity, FieldParity::WovenSwapped);
    // Field 1 doubled over both rows of each pair.
    const auto doubled = Weave(f1, f1, 1440, 240, 240);
    m = sim::DecodeFieldMarks(Img(MarkPixelFormat::YUYV, doubled, 720, 480), layout);
    EXPECT_EQ(m.parity, FieldParity::First);
}

TEST(VideoMarks, SurviveScalingTo160x120InEveryOutputFormat) {
    const struct {
        DriverWindow dw;
        size_t padLines;
    } cases[] = {
        {{LineSystem::L525, {72, 13, 1352, 253}}, 240},  // 640 x 480 source
        {{LineSystem::L625, {0, 1, 1440, 285}}, 288},    // 720 x 576, padded fields
        {{LineSystem::L625, {8, 1, 1416, 285}}, 288},    // 704 x 576, padded fields
    };
    for (const auto& c : cases) {
        auto src = sim::MakeTestPattern(c.dw.sys, {});
        const int sw = (c.dw.w.hEndByte - c.dw.w.hStartByte) / 2;
        const size_t lines = static_cast<size_t>(c.dw.w.vEndLine - c.dw.w.vStartLine);
        const uint64_t frameNo = 65536 + 4321;  // the counter keeps 16 bits
        const auto woven = Weave(Field(*src, c.dw.sys, {frameNo, true}, c.dw.w),
                                 Field(*src, c.dw.sys, {frameNo, false}, c.dw.w), static_cast<size_t>(sw) * 2,
                                 lines, c.padLines);
        const int sh = static_cast<int>(2 * c.padLines);
        MarkLayout layout{c.dw.sys, c.dw.w};
        layout.frame = true;
        layout.sourceLines = sh;
        const auto small = ScaleLuma(woven, sw, sh, 160, 120);
        const auto yuyv = AsYuyv(small);
        const auto i420 = AsI420(small);
        const auto rgb = AsRgbBottomUp(small, 160, 120);
        for (const MarkImage& img : {Img(MarkPixelFormat::YUYV, yuyv, 160, 120), Img(MarkPixelFormat::I420, i420, 160, 120),
                                     Img(MarkPixelFormat::RGB24, rgb, 160, 120, true)}) {
            const auto m = sim::DecodeFieldMarks(img, layout);
            EXPECT_TRUE(m.valid) << static_cast<int>(img.format) << " window " << c.dw.w.hStartByte;
            EXPECT_EQ(m.counter, 4321);
            EXPECT_EQ(m.parity, FieldParity::Blended);
        }
        // Read upside down, the RGB copy gives nothing sensible.
        const auto wrong = sim::DecodeFieldMarks(Img(MarkPixelFormat::RGB24, rgb, 160, 120, false), layout);
        EXPECT_FALSE(wrong.valid && wrong.counter == 4321);
    }
}

TEST(VideoMarks, ReadUnderPictureAdjustAndCarryStationChannel) {
    const DriverWindow dw{LineSystem::L625, {0, 1, 1440, 285}};
    auto station = sim::MakeStationSource(37, dw.sys);
    sim::PictureAdjust dull;
    dull.contrast = 40;
    dull.brightness = 30;
    dull.saturation = 300;
    const auto f = Field(*station, dw.sys, {0xFFFF, false}, dw.w, dull);
    const auto m = sim::DecodeFieldMarks(Img(MarkPixelFormat::YUYV, f, 720, 284), {dw.sys, dw.w});
    EXPECT_TRUE(m.valid);
    EXPECT_EQ(m.counter, 0xFFFF);
    EXPECT_EQ(m.sourceId, 37);
    EXPECT_EQ(m.parity, FieldParity::Second);
}

TEST(VideoMarks, UnreadableOrHostileImagesAreRejectedSafely) {
    const DriverWindow dw{LineSystem::L625, {0, 1, 1440, 285}};
    auto src = sim::MakeTestPattern(dw.sys, {});
    const auto f = Field(*src, dw.sys, {9, true}, dw.w);
    const MarkLayout layout{dw.sys, dw.w};
    // Buffer shorter than the stated size.
    MarkImage shortImg = Img(MarkPixelFormat::YUYV, f, 720, 284);
    shortImg.size = f.size() - 1;
    EXPECT_FALSE(sim::DecodeFieldMarks(shortImg, layout).valid);
    // Stride smaller than a row, null data, silly sizes.
    MarkImage badStride = Img(MarkPixelFormat::YUYV, f, 720, 284);
    badStride.stride = 100;
    EXPECT_FALSE(sim::DecodeFieldMarks(badStride, layout).valid);
    EXPECT_FALSE(sim::DecodeFieldMarks({MarkPixelFormat::YUYV, nullptr, 0, 720, 284}, layout).valid);
    EXPECT_FALSE(sim::DecodeFieldMarks({MarkPixelFormat::I420, f.data(), f.size(), -5, 10}, layout).valid);
    // A window that cuts into the marks, or an inverted one.
    const Window cut{0, 50, 1440, 285};
    const auto fc = Field(*src, dw.sys, {9, true}, cut);
    EXPECT_FALSE(sim::DecodeFieldMarks(Img(MarkPixelFormat::YUYV, fc, 720, 235), {dw.sys, cut}).valid);
    EXPECT_FALSE(sim::DecodeFieldMarks(Img(MarkPixelFormat::YUYV, f, 720, 284), {dw.sys, {10, 1, 0, 285}}).valid);
    // No marks at all.
    sim::TestPatternOptions bare;
    bare.marks = false;
    auto plain = sim::MakeTestPattern(dw.sys, bare);
    const auto fp = Field(*plain, dw.sys, {9, true}, dw.w);
    EXPECT_FALSE(sim::DecodeFieldMarks(Img(MarkPixelFormat::YUYV, fp, 720, 284), layout).valid);
}

}  // namespace
