// Helpers for the pipeline suites: guarded buffers that catch writes outside
// their window, field sets cut from progressive pictures, and output sizes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "pipeline/pipeline_internal.h"
#include "platform/zelpipe.h"

namespace pipeline_test {

using Bytes = std::vector<uint8_t>;

// A window of `size` bytes starting `misalign` bytes past a 64-byte boundary,
// with guard bytes on both sides holding a sentinel.
class Guarded {
public:
    static constexpr size_t kGuard = 96;

    Guarded(size_t size, size_t misalign, uint8_t sentinel) : size_(size), misalign_(misalign), sentinel_(sentinel)
    {
        storage_.assign(size + 2 * kGuard + 128, sentinel);
        const auto base = reinterpret_cast<uintptr_t>(storage_.data()) + kGuard;
        offset_ = ((base + 63) & ~uintptr_t{63}) + misalign - reinterpret_cast<uintptr_t>(storage_.data());
    }

    uint8_t* data() { return storage_.data() + offset_; }
    const uint8_t* data() const { return storage_.data() + offset_; }
    size_t size() const { return size_; }
    Bytes Contents() const { return Bytes(data(), data() + size_); }
    void Fill(const Bytes& bytes) { std::memcpy(data(), bytes.data(), std::min(bytes.size(), size_)); }

    // True when nothing outside the window changed.
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < storage_.size(); ++i) {
            if (i >= offset_ && i < offset_ + size_) continue;
            if (storage_[i] != sentinel_) return false;
        }
        return true;
    }

private:
    size_t size_, misalign_;
    uint8_t sentinel_;
    size_t offset_ = 0;
    Bytes storage_;
};

inline Bytes RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Three fields of a frame (lines of width * 2 bytes, height / 2 lines each).
// A difference row as the rebuilding rows read it: zero bytes on either
// side, `fill` (the row's own bytes) in between.
struct DifferenceRow {
    Bytes buffer;
    ULONGLONG moved = ~0ull;
    explicit DifferenceRow(size_t bytes, uint8_t fill = 0) : buffer(bytes + 2 * zelpipe::kActivityReach, 0)
    {
        std::fill_n(buffer.begin() + zelpipe::kActivityReach, bytes, fill);
    }
    uint8_t* data() { return buffer.data() + zelpipe::kActivityReach; }
};

// The direction search's four work rows, padded as a handle pads them and
// holding what an earlier line could have left (a diagonal that won
// everywhere), which a row must never take for its own.
struct LumaRows {
    Bytes buffer[zelpipe::kLumaWorkRows];
    // Every row starts out stale; the direction row may hold a real
    // direction's code, as a run earlier on the line or an earlier line
    // leaves it.
    explicit LumaRows(uint8_t staleDirection = 0xA5)
    {
        for (Bytes& b : buffer) b.assign(zelpipe::LumaRowBytes(), 0xA5);
        buffer[3].assign(zelpipe::LumaRowBytes(), staleDirection);
    }
    void Attach(zelpipe::FieldLines& l)
    {
        UCHAR** rows[zelpipe::kLumaWorkRows] = {&l.lumaAbove, &l.lumaBelow, &l.diagonal, &l.direction,
                                                 &l.diagonalWon};
        for (int i = 0; i < zelpipe::kLumaWorkRows; ++i) *rows[i] = buffer[i].data() + zelpipe::kLumaRowPadding;
    }
};

struct Fields {
    int width = 0, height = 0;
    Bytes previous, first, second;
    size_t FieldBytes() const { return static_cast<size_t>(width) * height; }
};

// Splits a progressive YUYV picture into its top (first) and bottom (second)
// field; `previous` is the bottom field of `before`.
inline Fields Split(const Bytes& picture, const Bytes& before, int width, int height)
{
    Fields f;
    f.width = width;
    f.height = height;
    const size_t line = static_cast<size_t>(width) * 2;
    for (int y = 0; y < height; ++y) {
        const uint8_t* src = picture.data() + y * line;
        Bytes& dst = (y & 1) ? f.second : f.first;
        dst.insert(dst.end(), src, src + line);
        if (y & 1) f.previous.insert(f.previous.end(), before.data() + y * line, before.data() + (y + 1) * line);
    }
    return f;
}

// Random fields where the second field agrees with the previous one in some
// pixel pairs and not in others, so that both sides of the de-interlacer run.
inline Fields RandomFields(int width, int height, uint32_t seed)
{
    Fields f;
    f.width = width;
    f.height = height;
    const size_t n = f.FieldBytes();
    f.first = RandomBytes(n, seed);
    f.second = RandomBytes(n, seed + 1);
    f.previous = f.second;
    std::mt19937 rng(seed + 2);
    for (size_t p = 0; p + 4 <= n; p += 4) {
        const int kind = static_cast<int>(rng() % 4);
        for (int b = 0; b < 4; ++b) {
            int v = f.previous[p + b];
            if (kind == 1) v += static_cast<int>(rng() % 25) - 12;  // within the threshold
            if (kind == 2) v += static_cast<int>(rng() % 61) - 30;  // mostly beyond it
            if (kind == 3) v = static_cast<int>(rng() & 0xFF);
            f.previous[p + b] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    }
    return f;
}

enum class Format { YUY2, I420, RGB24 };

inline const char* Name(Format f) { return f == Format::YUY2 ? "YUY2" : f == Format::I420 ? "I420" : "RGB24"; }

inline size_t OutputBytes(Format f, int w, int h)
{
    switch (f) {
    case Format::YUY2: return static_cast<size_t>(w) * h * 2;
    case Format::I420: return static_cast<size_t>(w) * h + 2 * static_cast<size_t>(w / 2) * (h / 2);
    case Format::RGB24: return static_cast<size_t>(w) * h * 3;
    }
    return 0;
}

inline void ConvertInto(Format f, PPL_HANDLE h, const uint8_t* prev, const uint8_t* first, const uint8_t* second,
                uint8_t* out, long sw, long sh, long ow, long oh)
{
    switch (f) {
    case Format::YUY2: IntlYUYVToYUYVMMX(h, prev, first, second, out, sw, sh, ow, oh); break;
    case Format::I420: IntlYUYVToI420MMX(h, prev, first, second, out, sw, sh, ow, oh); break;
    case Format::RGB24: IntlYUYVToRGB24MMX(h, prev, first, second, out, sw, sh, ow, oh); break;
    }
}

inline void ConvertInto(Format f, PPL_HANDLE h, const Fields& in, uint8_t* out, int ow, int oh)
{
    ConvertInto(f, h, in.previous.data(), in.first.data(), in.second.data(), out, in.width, in.height, ow, oh);
}

inline Bytes Convert(Format f, PPL_HANDLE h, const Fields& in, int ow, int oh)
{
    Bytes out(OutputBytes(f, ow, oh), 0x5A);
    ConvertInto(f, h, in, out.data(), ow, oh);
    return out;
}

// The SIMD levels this CPU runs (the C level is the reference).
inline std::vector<zelpipe::CpuLevel> SimdLevels()
{
    std::vector<zelpipe::CpuLevel> levels;
    for (auto l : {zelpipe::kCpuSse2, zelpipe::kCpuAvx2, zelpipe::kCpuAvx512}) {
        if (zelpipe::KernelsFor(l)) levels.push_back(l);
    }
    return levels;
}

}  // namespace pipeline_test
