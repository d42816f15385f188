// Decoder type 111 at I2C address 0x4A.
//
// Register map as the board models it (unlisted registers are plain storage
// with reset value 0x00):
//
// | reg  | reset | behaviour                                                       |
// |------|-------|-----------------------------------------------------------------|
// | 0x02 | 0x00  | input: low nibble 0 = board input 0, otherwise input 1 (this    |
// |      |       | decoder has two inputs); the high nibble is stored              |
// | 0x08 | 0x40  | sync control: bit 6 = free-running rate without a signal:       |
// |      |       | set 525 lines, clear 625 lines (a signal of either system locks)|
// | 0x09 | 0x00  | luminance control: stored, no effect                            |
// | 0x0A | 0x80  | brightness: luma offset = value - 128                           |
// | 0x0B | 0x40  | contrast: gain = value / 0x40                                   |
// | 0x0C | 0x40  | saturation: gain = value / 0x40                                 |
// | 0x0D | 0x00  | hue: signed byte, value x 180 / 128 degrees                     |
// | 0x0E | 0x00  | test register: reads back what was written (the probe's)       |
// | 0x1F |  -    | status, read-only: bit 6 set while there is no lock             |
//
// The decoder locks to a signal of either line system, as the driver never
// tells it the standard while it runs (its tables reach it only at power-up,
// and device start writes 0x08 with another decoder's value). Its output
// counts active lines like the raster of source.h (the driver's capture
// windows for it start at line 13), so the board does not shift it.
#include "sim/decoder.h"

namespace sim {

namespace {
constexpr uint8_t kInput = 0x02;
constexpr uint8_t kSyncControl = 0x08;
constexpr uint8_t kBrightness = 0x0A;
constexpr uint8_t kContrast = 0x0B;
constexpr uint8_t kSaturation = 0x0C;
constexpr uint8_t kHue = 0x0D;
}  // namespace

Decoder111::Decoder111()
{
    regs_[kSyncControl] = 0x40;
    regs_[kBrightness] = 0x80;
    regs_[kContrast] = 0x40;
    regs_[kSaturation] = 0x40;
}

int Decoder111::SelectedInput() const
{
    return (regs_[kInput] & 0x0F) ? 1 : 0;
}

StandardSetting Decoder111::Standard() const
{
    return {true, true, (regs_[kSyncControl] & 0x40) ? LineSystem::L525 : LineSystem::L625};
}

PictureAdjust Decoder111::Adjust() const
{
    PictureAdjust a;
    a.brightness = static_cast<int>(regs_[kBrightness]) - 128;
    a.contrast = regs_[kContrast] * 2;
    a.saturation = regs_[kSaturation] * 2;
    a.hueDegrees = HueDegreesFromRegister(regs_[kHue]);
    return a;
}

}  // namespace sim
