// The analog video decoders a board can carry, one per board.
//
// Each decoder is a register file on the bridge's I2C bus (sub-address
// auto-increment, see i2c.h) whose registers the board reads back when it
// makes a field: which input is selected, which line system the decoder is
// set to, and the picture controls, turned into a PictureAdjust. Register 0x1F
// is a read-only status byte on every type: bit 6 is set while the decoder has
// no lock on a signal. The register maps and encodings are at the top of each
// decoder's file.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "sim/i2c.h"
#include "sim/video/source.h"

namespace sim {

enum class DecoderKind {
    None,
    Type110,  // at 0x88
    Type111,  // at 0x4A
    Type113,  // the 5150 at 0xBA
};

uint8_t DecoderAddress(DecoderKind kind);

// What the decoder's standard registers ask for.
struct StandardSetting {
    bool valid = true;       // false: a value the decoder does not know (no lock)
    bool automatic = true;   // true: follows the line system of the signal
    // Not automatic: the system the decoder is set to. Automatic: the rate it
    // runs at while there is no signal.
    LineSystem system = LineSystem::L525;
};

constexpr uint8_t kDecoderStatusRegister = 0x1F;
constexpr uint8_t kStatusNoLock = 0x40;

class Decoder : public RegisterFileDevice {
public:
    virtual DecoderKind Kind() const = 0;
    // Board input (0..2) the decoder's input registers select; -1 for none.
    virtual int SelectedInput() const = 0;
    virtual StandardSetting Standard() const = 0;
    virtual PictureAdjust Adjust() const = 0;
    // Field line at which this decoder's output starts the active picture,
    // relative to the raster of source.h (the board shifts the capture window
    // by this many lines).
    virtual int VerticalOffset(LineSystem) const { return 0; }

    // Whether the decoder holds a lock right now; the board answers it from
    // the selected source and the standard setting.
    void SetLockQuery(std::function<bool()> query) { lockQuery_ = std::move(query); }
    bool Locked() const { return lockQuery_ && lockQuery_(); }

protected:
    Decoder() { MarkReadOnly(kDecoderStatusRegister); }
    uint8_t OnRead(uint8_t reg) override;

private:
    std::function<bool()> lockQuery_;
};

// ---- type 113 (5150) --------------------------------------------------------

// What the decoder received through its patch port in the last load.
struct PatchReport {
    bool completed = false;        // the execute register ended a load
    size_t loads = 0;              // loads completed since the board was made
    std::vector<uint8_t> image;    // bytes of the last load, in arrival order
    uint32_t crc32 = 0;            // of image (IEEE polynomial, as zlib)
    size_t bytesRejected = 0;      // data-port writes while the port was locked
    // Set when the board was given the expected image.
    std::optional<bool> matchesExpected;
};

struct Decoder5150Options {
    // Identification registers 0x80..0x83. Device start takes the patch when
    // 0x83 reads 0x21 or 0xA8; re-initialisation when 0x82 reads 3.
    std::array<uint8_t, 4> id = {0x51, 0x50, 0x03, 0x21};
    std::optional<std::vector<uint8_t>> expectedPatch;
};

class Decoder5150 final : public Decoder {
public:
    explicit Decoder5150(Decoder5150Options options = {});
    DecoderKind Kind() const override { return DecoderKind::Type113; }
    int SelectedInput() const override;
    StandardSetting Standard() const override;
    PictureAdjust Adjust() const override;
    const PatchReport& Patch() const { return patch_; }

protected:
    void OnWrite(uint8_t reg, uint8_t value) override;
    uint8_t OnRead(uint8_t reg) override;

private:
    bool PortUnlocked() const;
    Decoder5150Options options_;
    PatchReport patch_;
    std::vector<uint8_t> loading_;
    bool loadOpen_ = false;
};

// ---- types 110 and 111 -------------------------------------------------------

class Decoder110 final : public Decoder {
public:
    Decoder110();
    DecoderKind Kind() const override { return DecoderKind::Type110; }
    int SelectedInput() const override;
    StandardSetting Standard() const override;
    PictureAdjust Adjust() const override;
    int VerticalOffset(LineSystem sys) const override;
};

class Decoder111 final : public Decoder {
public:
    Decoder111();
    DecoderKind Kind() const override { return DecoderKind::Type111; }
    int SelectedInput() const override;
    StandardSetting Standard() const override;
    PictureAdjust Adjust() const override;
};

// Hue registers hold a signed byte: +127 turns the hue by almost +180
// degrees, -128 by -180.
int HueDegreesFromRegister(uint8_t reg);

}  // namespace sim
