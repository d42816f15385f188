// Fault knobs: each is off by default, and fires either once (on the n-th
// event counted from when the knob was set) or at random with a probability
// per event, drawn from a generator seeded from the board's seed and the
// knob's own name, so that knobs never disturb each other's schedule and the
// same seed gives the same faults.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sim {

struct FaultKnob {
    enum class Mode { Off, Once, Random };
    Mode mode = Mode::Off;
    uint64_t nth = 0;          // Once: the event that fails, 1 = the next one
    double probability = 0.0;  // Random: chance per event, 0..1

    static FaultKnob Off() { return {}; }
    static FaultKnob Once(uint64_t nth) { return {Mode::Once, nth, 0.0}; }
    static FaultKnob Random(double p) { return {Mode::Random, 0, p}; }
};

// SplitMix64: small, fast, and fully determined by its seed.
class Rng {
public:
    explicit Rng(uint64_t seed = 0) : state_(seed) {}
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    uint32_t Below(uint32_t n) { return n ? static_cast<uint32_t>(Next() % n) : 0; }

private:
    uint64_t state_;
};

uint64_t SeedFor(uint64_t boardSeed, std::string_view knobName);

// A knob in use: counts its events and says when one fails.
class FaultSchedule {
public:
    FaultSchedule() = default;
    FaultSchedule(const FaultKnob& knob, uint64_t seed) : knob_(knob), rng_(seed) {}
    // One event happened; true when it is to fail.
    bool Fire();
    bool Armed() const { return knob_.mode != FaultKnob::Mode::Off; }
    Rng& Generator() { return rng_; }
    uint64_t Fired() const { return fired_; }

private:
    FaultKnob knob_;
    Rng rng_;
    uint64_t events_ = 0;
    uint64_t fired_ = 0;
};

}  // namespace sim
