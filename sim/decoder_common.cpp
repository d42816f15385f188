#include <cmath>

#include "sim/decoder.h"

namespace sim {

uint8_t DecoderAddress(DecoderKind kind)
{
    switch (kind) {
    case DecoderKind::Type110: return 0x88;
    case DecoderKind::Type111: return 0x4A;
    case DecoderKind::Type113: return 0xBA;
    case DecoderKind::None: break;
    }
    return 0;
}

uint8_t Decoder::OnRead(uint8_t reg)
{
    if (reg == kDecoderStatusRegister)
        return Locked() ? 0x00 : kStatusNoLock;
    return regs_[reg];
}

int HueDegreesFromRegister(uint8_t reg)
{
    int h = static_cast<int8_t>(reg);
    // Round half away from zero so +127 and -128 land symmetrically.
    return static_cast<int>(std::lround(h * 180.0 / 128.0));
}

}  // namespace sim
