// Snow: what a decoder shows on a channel without a station. Every active
// line comes from its own generator seeded by a hash of (seed, frame, field,
// line), so lines and fields are independent noise, and a field is the same
// whatever window crops it and whenever it is painted.
#include "sim/video/raster_internal.h"

#include <vector>

namespace sim {

namespace {

uint64_t SplitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class NoiseSource final : public VideoSource {
public:
    explicit NoiseSource(uint64_t seed) : seed_(seed), line_(kActiveBytesPerLine) {}

    LineSystem NativeSystem() const override { return LineSystem::L625; }
    bool HasSignal() const override { return false; }

    void RenderField(LineSystem sys, const FieldId& id, const Window& w, const PictureAdjust& adj,
                     uint8_t* out) override {
        const video_detail::Adjuster adjuster(adj);
        uint64_t fieldState = seed_ ^ (id.frameNumber * 2 + (id.firstField ? 0 : 1)) * 0xD1B54A32D192ED03ull;
        const uint64_t fieldKey = SplitMix(fieldState);
        video_detail::RenderWindow(sys, w, out, [&](int a) -> const uint8_t* {
            // The line's generator starts at a hash of (field, line): starts a
            // multiple of the generator's own increment apart would give each
            // line its neighbour's sequence shifted by a pixel pair.
            uint64_t lineKey = fieldKey ^ (static_cast<uint64_t>(a) + 1) * 0xD6E8FEB86659FD93ull;
            uint64_t state = SplitMix(lineKey);
            for (size_t i = 0; i < line_.size(); i += 4) {
                const uint64_t r = SplitMix(state);
                // Luma spread over the whole legal range, chroma weak around grey.
                line_[i] = static_cast<uint8_t>(16 + (((r & 0xFF) * 220) >> 8));
                line_[i + 1] = static_cast<uint8_t>(112 + ((r >> 8) & 0x1F));
                line_[i + 2] = static_cast<uint8_t>(16 + ((((r >> 16) & 0xFF) * 220) >> 8));
                line_[i + 3] = static_cast<uint8_t>(112 + ((r >> 24) & 0x1F));
            }
            adjuster.Apply(line_.data(), line_.size());
            return line_.data();
        });
    }

private:
    uint64_t seed_;
    std::vector<uint8_t> line_;
};

}  // namespace

std::unique_ptr<VideoSource> MakeNoiseSource(uint64_t seed) { return std::make_unique<NoiseSource>(seed); }

}  // namespace sim
