#include "tools/y4m_writer.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace kvcap {

namespace {

constexpr int kMaxDimension = 16384;

uint8_t Clamp(int value)
{
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

const char* ChromaTag(PixelFormat pixels)
{
    switch (pixels) {
    case PixelFormat::Yuy2: return "422";
    case PixelFormat::I420: return "420jpeg";
    case PixelFormat::Rgb24: return "444";
    }
    return "420jpeg";
}

}  // namespace

void RateOfInterval(int64_t interval, uint32_t* numerator, uint32_t* denominator)
{
    // The rounded intervals of the broadcast rates, 100 ns units.
    if (interval == 333667 || interval == 333666) {
        *numerator = 30000;
        *denominator = 1001;
        return;
    }
    if (interval == 417083 || interval == 417084) {
        *numerator = 24000;
        *denominator = 1001;
        return;
    }
    if (interval <= 0 || interval > 0xFFFFFFFFLL) {
        *numerator = 0;
        *denominator = 1;
        return;
    }
    const int64_t divisor = std::gcd<int64_t>(10'000'000, interval);
    *numerator = static_cast<uint32_t>(10'000'000 / divisor);
    *denominator = static_cast<uint32_t>(interval / divisor);
}

size_t CapturedFrameBytes(const Y4mFormat& f)
{
    if (f.width <= 0 || f.height <= 0 || f.width > kMaxDimension || f.height > kMaxDimension) return 0;
    const size_t pixels = static_cast<size_t>(f.width) * static_cast<size_t>(f.height);
    switch (f.pixels) {
    case PixelFormat::Yuy2: return pixels * 2;
    case PixelFormat::I420: return pixels * 3 / 2;
    case PixelFormat::Rgb24: return pixels * 3;
    }
    return 0;
}

std::string Y4mWriter::Header(const Y4mFormat& f)
{
    return "YUV4MPEG2 W" + std::to_string(f.width) + " H" + std::to_string(f.height) + " F" +
           std::to_string(f.rateNumerator) + ":" + std::to_string(f.rateDenominator) + " Ip A0:0 C" +
           ChromaTag(f.pixels) + " XCOLORRANGE=LIMITED\n";
}

Y4mWriter::Y4mWriter(std::ostream& out, const Y4mFormat& format) : out_(out), format_(format)
{
    if (CapturedFrameBytes(format) == 0 || format.width % 2 != 0 || format.height % 2 != 0 ||
        format.rateNumerator == 0 || format.rateDenominator == 0) {
        throw std::invalid_argument("Y4mWriter: unusable frame format");
    }
    out_ << Header(format);
}

bool Y4mWriter::WriteFrame(const uint8_t* data, size_t size)
{
    const size_t w = static_cast<size_t>(format_.width), h = static_cast<size_t>(format_.height);
    if (data == nullptr || size != CapturedFrameBytes(format_)) return false;
    out_ << "FRAME\n";
    switch (format_.pixels) {
    case PixelFormat::I420:
        // Already the planes Y4M wants.
        out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        break;
    case PixelFormat::Yuy2: {
        planes_.resize(w * h * 2);
        uint8_t* y = planes_.data();
        uint8_t* u = y + w * h;
        uint8_t* v = u + w * h / 2;
        for (size_t row = 0; row < h; ++row) {
            const uint8_t* in = data + row * w * 2;
            for (size_t pair = 0; pair < w / 2; ++pair) {
                y[row * w + 2 * pair] = in[4 * pair];
                u[row * w / 2 + pair] = in[4 * pair + 1];
                y[row * w + 2 * pair + 1] = in[4 * pair + 2];
                v[row * w / 2 + pair] = in[4 * pair + 3];
            }
        }
        out_.write(reinterpret_cast<const char*>(planes_.data()), static_cast<std::streamsize>(planes_.size()));
        break;
    }
    case PixelFormat::Rgb24: {
        planes_.resize(w * h * 3);
        uint8_t* y = planes_.data();
        uint8_t* u = y + w * h;
        uint8_t* v = u + w * h;
        for (size_t row = 0; row < h; ++row) {
            // Bitmaps store the bottom row first.
            const uint8_t* in = data + (h - 1 - row) * w * 3;
            for (size_t x = 0; x < w; ++x) {
                const int b = in[3 * x], g = in[3 * x + 1], r = in[3 * x + 2];
                // BT.601, limited range, 8-bit fixed point.
                y[row * w + x] = Clamp(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
                u[row * w + x] = Clamp(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
                v[row * w + x] = Clamp(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
            }
        }
        out_.write(reinterpret_cast<const char*>(planes_.data()), static_cast<std::streamsize>(planes_.size()));
        break;
    }
    }
    if (!out_) return false;
    ++frames_;
    return true;
}

}  // namespace kvcap
