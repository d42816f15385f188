// Decoder type 113, the 5150, at I2C address 0xBA.
//
// Register map as the board models it (all registers read back what was
// written unless the table says otherwise; unlisted registers are plain
// storage with reset value 0x00):
//
// | reg       | reset | behaviour                                                      |
// |-----------|-------|----------------------------------------------------------------|
// | 0x00      | 0x00  | input select: 0x02 = board input 0, 0x01 = input 1,            |
// |           |       | 0x00 = input 2, anything else = no input                       |
// | 0x03      | 0x00  | output control (0x6F / 0x2F written): stored, no effect        |
// | 0x09      | 0x80  | brightness: luma offset = value - 128                          |
// | 0x0A      | 0x80  | saturation: gain = value / 128                                 |
// | 0x0B      | 0x00  | hue: signed byte, value x 180 / 128 degrees                    |
// | 0x0C      | 0x80  | contrast: gain = value / 128                                   |
// | 0x1F      |  -    | status, read-only: bit 6 set while there is no lock            |
// | 0x21-0x24 | 0x00  | patch port key: the port is open while they hold               |
// |           |       | 0x51, 0x50, 0xFF, 0x04                                         |
// | 0x28      | 0x00  | standard: 0x00 follows the signal, 0x02 NTSC and 0x06 PAL-M    |
// |           |       | (525 lines), 0x04 PAL, 0x08 PAL-N and 0x0C SECAM (625 lines);  |
// |           |       | any other value locks to nothing                              |
// | 0x7E      |  -    | patch data port: each byte written while the port is open is   |
// |           |       | appended to the patch being loaded; reads 0x00                 |
// | 0x7F      |  -    | patch execute: ends the load and reports it; reads 0x00        |
// | 0x80-0x83 | id    | identification, read-only, chosen when the board is made       |
//
// The colour systems of one line count (NTSC and PAL-M, PAL, PAL-N and SECAM)
// are not told apart: what the board models is line count and lock.
#include <algorithm>

#include "sim/decoder.h"

namespace sim {

namespace {

constexpr uint8_t kInput = 0x00;
constexpr uint8_t kBrightness = 0x09;
constexpr uint8_t kSaturation = 0x0A;
constexpr uint8_t kHue = 0x0B;
constexpr uint8_t kContrast = 0x0C;
constexpr uint8_t kKeyFirst = 0x21;
constexpr uint8_t kKeyLast = 0x24;
constexpr uint8_t kStandard = 0x28;
constexpr uint8_t kPatchData = 0x7E;
constexpr uint8_t kPatchExecute = 0x7F;
constexpr uint8_t kIdFirst = 0x80;
constexpr std::array<uint8_t, 4> kPortKey = {0x51, 0x50, 0xFF, 0x04};
// A load longer than this is not a patch for this part; the rest is refused
// so that a runaway writer cannot grow the model without bound.
constexpr size_t kPatchCapacity = 64 * 1024;

uint32_t Crc32(const std::vector<uint8_t>& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace

Decoder5150::Decoder5150(Decoder5150Options options) : options_(std::move(options))
{
    regs_[kBrightness] = 0x80;
    regs_[kSaturation] = 0x80;
    regs_[kContrast] = 0x80;
    for (int i = 0; i < 4; ++i) {
        regs_[kIdFirst + i] = options_.id[i];
        MarkReadOnly(static_cast<uint8_t>(kIdFirst + i));
    }
    MarkReadOnly(kPatchData);
    MarkReadOnly(kPatchExecute);
}

bool Decoder5150::PortUnlocked() const
{
    for (int i = 0; i < 4; ++i)
        if (regs_[kKeyFirst + i] != kPortKey[i])
            return false;
    return true;
}

void Decoder5150::OnWrite(uint8_t reg, uint8_t value)
{
    if (reg >= kKeyFirst && reg <= kKeyLast) {
        bool wasOpen = PortUnlocked();
        regs_[reg] = value;
        if (!wasOpen && PortUnlocked()) {
            loading_.clear();
            loadOpen_ = true;
        }
        return;
    }
    if (reg == kPatchData) {
        if (!PortUnlocked() || loading_.size() >= kPatchCapacity) {
            ++patch_.bytesRejected;
            return;
        }
        if (!loadOpen_) {
            loading_.clear();
            loadOpen_ = true;
        }
        loading_.push_back(value);
        return;
    }
    if (reg == kPatchExecute) {
        if (!loadOpen_)
            return;
        loadOpen_ = false;
        patch_.completed = true;
        ++patch_.loads;
        patch_.image = std::move(loading_);
        loading_.clear();
        patch_.crc32 = Crc32(patch_.image);
        if (options_.expectedPatch)
            patch_.matchesExpected = (patch_.image == *options_.expectedPatch);
        return;
    }
    RegisterFileDevice::OnWrite(reg, value);
}

uint8_t Decoder5150::OnRead(uint8_t reg)
{
    if (reg == kPatchData || reg == kPatchExecute)
        return 0x00;
    return Decoder::OnRead(reg);
}

int Decoder5150::SelectedInput() const
{
    switch (regs_[kInput]) {
    case 0x02: return 0;
    case 0x01: return 1;
    case 0x00: return 2;
    default: return -1;
    }
}

StandardSetting Decoder5150::Standard() const
{
    switch (regs_[kStandard]) {
    case 0x00: return {true, true, LineSystem::L525};
    case 0x02:
    case 0x06: return {true, false, LineSystem::L525};
    case 0x04:
    case 0x08:
    case 0x0C: return {true, false, LineSystem::L625};
    default: return {false, false, LineSystem::L525};
    }
}

PictureAdjust Decoder5150::Adjust() const
{
    PictureAdjust a;
    a.brightness = static_cast<int>(regs_[kBrightness]) - 128;
    a.contrast = regs_[kContrast];
    a.saturation = regs_[kSaturation];
    a.hueDegrees = HueDegreesFromRegister(regs_[kHue]);
    return a;
}

}  // namespace sim
