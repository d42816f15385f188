// Writes captured frames as a YUV4MPEG2 stream, which common players and
// ffmpeg read directly.
//
// YUY2 frames become planar 4:2:2 ("C422"), I420 frames 4:2:0 with centred
// chroma ("C420jpeg": each chroma sample of the pipeline averages a 2 x 2
// block), RGB24 frames (bottom-up BGR bitmaps) 4:4:4 ("C444") converted to
// BT.601 limited-range Y'CbCr. The frames are progressive ("Ip"): the driver
// de-interlaces what it delivers.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kvcap {

enum class PixelFormat { Yuy2, I420, Rgb24 };

struct Y4mFormat {
    PixelFormat pixels = PixelFormat::I420;
    int width = 0;
    int height = 0;
    // Frame rate as a fraction (30000:1001, 25:1, ...).
    uint32_t rateNumerator = 0;
    uint32_t rateDenominator = 1;
};

// The frame rate of a frame interval in 100 ns units: the exact NTSC and
// film rates where the interval is theirs, else 10,000,000 : interval reduced.
void RateOfInterval(int64_t interval, uint32_t* numerator, uint32_t* denominator);

// Bytes a captured frame of the format holds (0 for a size that cannot be).
size_t CapturedFrameBytes(const Y4mFormat& format);

class Y4mWriter {
public:
    // Writes the stream header. The format must have positive, even width
    // and height and a positive rate.
    Y4mWriter(std::ostream& out, const Y4mFormat& format);

    // Writes one frame given as the driver delivered it. False when the
    // frame has the wrong size (nothing is written) or the stream failed.
    bool WriteFrame(const uint8_t* data, size_t size);
    size_t FramesWritten() const { return frames_; }

    static std::string Header(const Y4mFormat& format);

private:
    std::ostream& out_;
    Y4mFormat format_;
    std::vector<uint8_t> planes_;
    size_t frames_ = 0;
};

}  // namespace kvcap
