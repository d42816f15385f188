// The TV tuner on the bridge's I2C bus, answering at 0xC2 and at 0xC0.
//
// A write transaction carries byte pairs: a pair whose first byte has bit 7
// clear is the divider (N bits 14-8, then N bits 7-0); a pair whose first
// byte has bit 7 set is the control byte and the band byte. A transaction may
// carry one pair or both, in either order; a trailing odd byte is ignored.
//
//   tuned frequency = N x 62,500 Hz - intermediate frequency
//
// The intermediate frequency is the tuner module's own (45.75 MHz unless the
// board is made with another), so a divider computed for another IF tunes
// elsewhere. The control byte is recorded; the step is always 62.5 kHz.
// Band byte, low nibble: bit 0 low VHF (40-180 MHz), bit 1 high VHF
// (110-480 MHz), bit 3 UHF (350-900 MHz). The PLL locks when the divider is
// non-zero, exactly one of those band bits is set and the tuned frequency
// lies in that band's range.
//
// A read returns one status byte: bit 7 power-on flag (set until the first
// read), bit 6 PLL locked, bits 2-0 = 2 when a station of the channel map
// lies within 250 kHz of the tuned frequency (and the PLL is locked), else 0.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/i2c.h"
#include "sim/video/source.h"

namespace sim {

constexpr uint8_t kTunerAddress = 0xC2;
constexpr uint8_t kTunerAltAddress = 0xC0;
constexpr uint32_t kDefaultTunerIfHz = 45'750'000;
constexpr uint32_t kStationToleranceHz = 250'000;

// A station of the channel map: a picture carrier frequency, the channel
// number the station's picture shows, and its line system.
struct Station {
    uint32_t frequencyHz;
    int channel;
    LineSystem system;
};

// The board's default channel map. Every frequency not in it is an empty
// channel: noise and no lock.
//   55.25 MHz ch 2 (525)   67.25 MHz ch 4 (525)   175.25 MHz ch 7 (525)
//   471.25 MHz ch 21 (625) 503.25 MHz ch 25 (625)
std::vector<Station> DefaultChannelMap();

class Tuner final : public I2cDevice {
public:
    Tuner(std::vector<Station> channelMap, uint32_t ifHz = kDefaultTunerIfHz);

    bool Start(uint8_t address8) override;
    bool WriteByte(uint8_t value) override;
    uint8_t ReadByte(bool masterAck) override;
    void Stop() override;

    uint16_t Divider() const { return divider_; }
    uint8_t ControlByte() const { return control_; }
    uint8_t BandByte() const { return band_; }
    // N x 62.5 kHz - IF; 0 before a divider arrived or when that is negative.
    uint32_t TunedFrequencyHz() const;
    bool PllLocked() const;
    // The station the tuner receives, when the PLL is locked on one.
    std::optional<Station> ReceivedStation() const;
    // The address byte of the last write transaction (0xC2 or 0xC0).
    uint8_t LastAddress() const { return lastAddress_; }

private:
    void TakePair(uint8_t first, uint8_t second);

    std::vector<Station> map_;
    uint32_t ifHz_;
    uint16_t divider_ = 0;
    uint8_t control_ = 0;
    uint8_t band_ = 0;
    uint8_t lastAddress_ = 0;
    bool powerOn_ = true;
    bool writing_ = false;
    std::vector<uint8_t> bytes_;
};

}  // namespace sim
