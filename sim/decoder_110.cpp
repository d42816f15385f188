// Decoder type 110 at I2C address 0x88.
//
// Register map as the board models it (unlisted registers are plain storage
// with reset value 0x00):
//
// | reg  | reset | behaviour                                                       |
// |------|-------|-----------------------------------------------------------------|
// | 0x02 | 0x00  | input: bits 4-5 both clear = board input 0, otherwise input 1   |
// |      |       | (this decoder has two inputs)                                   |
// | 0x06 | 0x00  | input clamp control: stored, no effect                          |
// | 0x0C | 0x00  | test register: reads back what was written (the probe's)       |
// | 0x10 | 0x00  | brightness: signed byte added to luma                           |
// | 0x11 | 0x60  | contrast: gain = value / 0x60                                   |
// | 0x12 | 0x00  | sharpness (low nibble): stored, no effect on the model's pixels |
// | 0x13 | 0x7F  | saturation: gain = value / 0x7F                                 |
// | 0x14 | 0x5A  | colour-difference trim: stored, no effect                       |
// | 0x15 | 0x00  | hue: signed byte, value x 180 / 128 degrees                     |
// | 0x1F |  -    | status, read-only: bit 6 set while there is no lock             |
//
// The decoder follows the line system of its signal; it has no standard
// register. Its output counts active lines from field line 1 in the 525-line
// system (the driver's windows for it start there), 12 lines earlier than
// the raster of source.h, so the board shifts its window by 12 lines then.
#include "sim/decoder.h"

namespace sim {

namespace {
constexpr uint8_t kInput = 0x02;
constexpr uint8_t kBrightness = 0x10;
constexpr uint8_t kContrast = 0x11;
constexpr uint8_t kSaturation = 0x13;
constexpr uint8_t kColourTrim = 0x14;
constexpr uint8_t kHue = 0x15;
constexpr int kContrastUnity = 0x60;
constexpr int kSaturationUnity = 0x7F;
}  // namespace

Decoder110::Decoder110()
{
    regs_[kContrast] = kContrastUnity;
    regs_[kSaturation] = kSaturationUnity;
    regs_[kColourTrim] = 0x5A;
}

int Decoder110::SelectedInput() const
{
    return (regs_[kInput] & 0x30) ? 1 : 0;
}

StandardSetting Decoder110::Standard() const
{
    return {true, true, LineSystem::L525};
}

PictureAdjust Decoder110::Adjust() const
{
    PictureAdjust a;
    a.brightness = static_cast<int8_t>(regs_[kBrightness]);
    a.contrast = (regs_[kContrast] * 128 + kContrastUnity / 2) / kContrastUnity;
    a.saturation = (regs_[kSaturation] * 128 + kSaturationUnity / 2) / kSaturationUnity;
    a.hueDegrees = HueDegreesFromRegister(regs_[kHue]);
    return a;
}

int Decoder110::VerticalOffset(LineSystem sys) const
{
    return sys == LineSystem::L525 ? 12 : 0;
}

}  // namespace sim
