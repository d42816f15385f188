#include "sim/tuner.h"

namespace sim {

namespace {

constexpr uint32_t kStepHz = 62'500;

struct BandRange {
    uint8_t bit;
    uint32_t lowHz, highHz;
};
constexpr BandRange kBands[] = {
    {0x01, 40'000'000, 180'000'000},   // low VHF
    {0x02, 110'000'000, 480'000'000},  // high VHF
    {0x08, 350'000'000, 900'000'000},  // UHF
};

// Bytes of one transaction kept at most: the longest meaningful write is two
// pairs; a hostile stream beyond that only needs the count of pairs to stay
// aligned.
constexpr size_t kMaxBytes = 64;

}  // namespace

std::vector<Station> DefaultChannelMap()
{
    return {
        {55'250'000, 2, LineSystem::L525},
        {67'250'000, 4, LineSystem::L525},
        {175'250'000, 7, LineSystem::L525},
        {471'250'000, 21, LineSystem::L625},
        {503'250'000, 25, LineSystem::L625},
    };
}

Tuner::Tuner(std::vector<Station> channelMap, uint32_t ifHz)
    : map_(std::move(channelMap)), ifHz_(ifHz)
{
}

bool Tuner::Start(uint8_t address8)
{
    writing_ = (address8 & 1) == 0;
    bytes_.clear();
    if (writing_)
        lastAddress_ = address8;
    return true;
}

bool Tuner::WriteByte(uint8_t value)
{
    if (!writing_)
        return false;
    bytes_.push_back(value);
    if (bytes_.size() % 2 == 0) {
        TakePair(bytes_[bytes_.size() - 2], bytes_.back());
        if (bytes_.size() >= kMaxBytes)
            bytes_.clear();
    }
    return true;
}

void Tuner::TakePair(uint8_t first, uint8_t second)
{
    if (first & 0x80) {
        control_ = first;
        band_ = second;
    } else {
        divider_ = static_cast<uint16_t>(((first & 0x7F) << 8) | second);
    }
}

uint8_t Tuner::ReadByte(bool /*masterAck*/)
{
    if (writing_)
        return 0xFF;
    uint8_t status = 0;
    if (powerOn_)
        status |= 0x80;
    powerOn_ = false;
    if (PllLocked())
        status |= 0x40;
    if (ReceivedStation())
        status |= 0x02;
    return status;
}

void Tuner::Stop()
{
    writing_ = false;
    bytes_.clear();
}

uint32_t Tuner::TunedFrequencyHz() const
{
    uint64_t lo = static_cast<uint64_t>(divider_) * kStepHz;
    if (divider_ == 0 || lo <= ifHz_)
        return 0;
    return static_cast<uint32_t>(lo - ifHz_);
}

bool Tuner::PllLocked() const
{
    uint32_t f = TunedFrequencyHz();
    if (f == 0)
        return false;
    const BandRange* chosen = nullptr;
    for (const auto& b : kBands) {
        if (band_ & b.bit) {
            if (chosen)
                return false;
            chosen = &b;
        }
    }
    return chosen && f >= chosen->lowHz && f <= chosen->highHz;
}

std::optional<Station> Tuner::ReceivedStation() const
{
    if (!PllLocked())
        return std::nullopt;
    uint32_t f = TunedFrequencyHz();
    for (const auto& s : map_) {
        uint32_t d = f > s.frequencyHz ? f - s.frequencyHz : s.frequencyHz - f;
        if (d <= kStationToleranceHz)
            return s;
    }
    return std::nullopt;
}

}  // namespace sim
