// Shared pieces of the picture sources: window cropping over the raster and
// a prepared picture adjustment.
#pragma once

#include "sim/video/source.h"

#include <array>
#include <cstdint>
#include <functional>

namespace sim::video_detail {

// A PictureAdjust prepared once: luma table and fixed-point chroma matrix.
class Adjuster {
public:
    Adjuster() = default;
    explicit Adjuster(const PictureAdjust& adj);
    bool Identity() const { return identity_; }
    void Apply(uint8_t* yuyv, size_t bytes) const;
    // One pixel pair's chroma.
    void Chroma(uint8_t& u, uint8_t& v) const;
    uint8_t Luma(uint8_t y) const { return lut_[y]; }

private:
    bool identity_ = true;
    std::array<uint8_t, 256> lut_{};
    int64_t cu_ = 4096 * 128, su_ = 0;  // cos * saturation, sin * saturation (Q12 * 1/128)
};

bool SameAdjust(const PictureAdjust& a, const PictureAdjust& b);

// Yields the active-picture line (kActiveBytesPerLine bytes) for active line
// index a (0-based from ActiveFirstLine), valid until the next call.
using ActiveLineFn = std::function<const uint8_t*(int a)>;

// Fills out with the window's bytes: active lines from `line`, blanking
// everywhere else. Writes exactly WindowBytes(w) bytes.
void RenderWindow(LineSystem sys, const Window& w, uint8_t* out, const ActiveLineFn& line);

// Blanking black for raster byte positions [from, to) into dst.
void FillBlank(uint8_t* dst, int64_t from, int64_t to);

// Triangle wave position in 0..range for a step count t (any integer).
int64_t Bounce(int64_t speed, uint64_t t, int64_t range);

}  // namespace sim::video_detail
