#include "sim/faults.h"

namespace sim {

uint64_t SeedFor(uint64_t boardSeed, std::string_view knobName)
{
    // FNV-1a over the name, mixed with the board's seed.
    uint64_t h = 0xCBF29CE484222325ull;
    for (char c : knobName) {
        h ^= static_cast<uint8_t>(c);
        h *= 0x100000001B3ull;
    }
    Rng mix(boardSeed ^ h);
    return mix.Next();
}

bool FaultSchedule::Fire()
{
    bool fire = false;
    switch (knob_.mode) {
    case FaultKnob::Mode::Off:
        return false;
    case FaultKnob::Mode::Once:
        fire = ++events_ == knob_.nth;
        if (fire)
            knob_.mode = FaultKnob::Mode::Off;
        break;
    case FaultKnob::Mode::Random:
        ++events_;
        fire = knob_.probability > 0.0 && rng_.Unit() < knob_.probability;
        break;
    }
    if (fire)
        ++fired_;
    return fire;
}

}  // namespace sim
