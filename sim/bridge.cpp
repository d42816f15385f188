// Bridge register map as the board models it. Values are one byte; a vendor
// write carries 16 bits and the bridge keeps the low byte. Bits outside the
// writable mask keep their value on a write. Registers inside 0x000..0x3FF
// that are not listed read 0 and ignore writes, and each such access is
// recorded (UnmappedAccesses) so that tests can catch a stray register.
//
// | reg         | reset | writable | behaviour                                               |
// |-------------|-------|----------|---------------------------------------------------------|
// | 0x000       | 0x80  | 0xFF     | control. bit 7: clock output of the bit-driven bus,     |
// |             |       |          | open drain (1 releases the line); a read returns the    |
// |             |       |          | clock line's level in bit 7. bit 6: power-down, the     |
// |             |       |          | video endpoint sends nothing while it is set. bits 5    |
// |             |       |          | and 3: stored, no modelled effect.                      |
// | 0x001       | 0x01  | 0xFD     | pin data. bit 0: data output of the bit-driven bus      |
// |             |       |          | (drives only while 0x003 bit 0 is set, open drain); a   |
// |             |       |          | read returns the data line's level. bit 1: snapshot     |
// |             |       |          | button, read-only, 0 while pressed. Others stored.      |
// | 0x002       | 0x00  | 0xFF     | stored                                                  |
// | 0x003       | 0x00  | 0xFF     | pin direction: bit 0 set = the bridge drives the data   |
// |             |       |          | line with 0x001 bit 0, clear = released                 |
// | 0x00D 0x00F | 0x00  | 0xFF     | stored                                                  |
// | 0x018 0x019 | 0x00  | 0xFF     | stored                                                  |
// | 0x100       | 0x00  | 0xFF     | stored (bit 6: frame timing switch, no modelled effect) |
// | 0x104-0x106 | 0x00  | 0xFF     | scaler: 3, 5, 0x1F selects the preview field of 162 x 44|
// |             |       |          | pixels sampled from the window; other values: off       |
// | 0x110-0x117 | 0x00  | 0xFF     | capture window, 16-bit little-endian: horizontal start, |
// |             |       |          | vertical start, horizontal end, vertical end (bytes,    |
// |             |       |          | field lines); taken at each field start                 |
// | 0x200       | 0x00  | 0xFF     | I2C command, acts when written (below); reads the last  |
// | 0x201       | 0x01  | 0x00     | I2C status, read-only (below)                           |
// | 0x202       | 0x00  | 0xFF     | stored (I2C clock divider, no modelled effect)          |
// | 0x203       | 0x00  | 0xFF     | I2C device address (8-bit bus address)                  |
// | 0x204       | 0x00  | 0xFF     | write: device register; block mode: register of a pair  |
// | 0x205       | 0x00  | 0xFF     | write: data byte; block mode: each write appends the    |
// |             |       |          | pair ([0x204], value)                                   |
// | 0x208       | 0x00  | 0xFF     | read: device register                                   |
// | 0x209       | 0x00  | 0x00     | read: the byte the device returned, read-only           |
// | 0x300       | 0x00  | 0xFF     | stored                                                  |
// | 0x350-0x353 | 0x00  | 0xFF     | stored                                                  |
//
// I2C master commands (register 0x200). The transaction runs on the bus when
// the command is written; the status register then reads 0 (busy) for the
// configured number of polls and afterwards 1 when every byte was
// acknowledged or 2 when the device (or a byte) was not acknowledged. A board
// with a stuck status reads 0 for ever.
//   0x05  write:  start, [0x203] with bit 0 cleared, [0x204], [0x205], stop
//   0x20  read:   start, [0x203] with bit 0 cleared, [0x208], repeated
//                 start, address | 1, one byte not acknowledged, stop.
//                 With bit 0 of [0x203] set and 0x208 not written since the
//                 last read command, the sub-address phase is left out:
//                 start, address, one byte, stop (a current-address read, as
//                 the tuner's status byte needs).
//                 The byte goes to 0x209; 0xFF (the released line) when the
//                 device did not answer.
//   0x00  block open: empties the pair buffer and starts collecting pairs
//                 (each write of 0x205); status 1 at once, no bus traffic.
//   0x06  block run: one write transaction per collected pair, in order
//                 (start, address, register, value, stop), then the buffer
//                 closes. Status 2 if any pair was not acknowledged. Pairs
//                 beyond kI2cBlockCapacity were dropped when they arrived.
//   other values are stored in 0x200 and do nothing. A write or read command
//   issued while a block is being collected closes the block unrun.
#include "sim/bridge.h"

#include <cstring>

namespace sim {

namespace {

struct RegisterSpec {
    uint16_t reg;
    uint8_t reset;
    uint8_t writable;
};

constexpr RegisterSpec kRegisterMap[] = {
    {0x000, 0x80, 0xFF}, {0x001, 0x01, 0xFD}, {0x002, 0x00, 0xFF}, {0x003, 0x00, 0xFF},
    {0x00D, 0x00, 0xFF}, {0x00F, 0x00, 0xFF}, {0x018, 0x00, 0xFF}, {0x019, 0x00, 0xFF},
    {0x100, 0x00, 0xFF}, {0x104, 0x00, 0xFF}, {0x105, 0x00, 0xFF}, {0x106, 0x00, 0xFF},
    {0x110, 0x00, 0xFF}, {0x111, 0x00, 0xFF}, {0x112, 0x00, 0xFF}, {0x113, 0x00, 0xFF},
    {0x114, 0x00, 0xFF}, {0x115, 0x00, 0xFF}, {0x116, 0x00, 0xFF}, {0x117, 0x00, 0xFF},
    {0x200, 0x00, 0xFF}, {0x201, 0x01, 0x00}, {0x202, 0x00, 0xFF}, {0x203, 0x00, 0xFF},
    {0x204, 0x00, 0xFF}, {0x205, 0x00, 0xFF}, {0x208, 0x00, 0xFF}, {0x209, 0x00, 0x00},
    {0x300, 0x00, 0xFF}, {0x350, 0x00, 0xFF}, {0x351, 0x00, 0xFF}, {0x352, 0x00, 0xFF},
    {0x353, 0x00, 0xFF},
};

constexpr uint16_t kControl = 0x000;
constexpr uint16_t kPinData = 0x001;
constexpr uint16_t kPinDirection = 0x003;
constexpr uint16_t kScaler0 = 0x104;
constexpr uint16_t kWindow = 0x110;
constexpr uint16_t kCommand = 0x200;
constexpr uint16_t kStatus = 0x201;
constexpr uint16_t kAddress = 0x203;
constexpr uint16_t kWriteSub = 0x204;
constexpr uint16_t kWriteData = 0x205;
constexpr uint16_t kReadSub = 0x208;
constexpr uint16_t kReadData = 0x209;
constexpr size_t kUnmappedRecordLimit = 4096;

struct MapIndex {
    bool mapped[kBridgeRegisterCount] = {};
    uint8_t writable[kBridgeRegisterCount] = {};
    constexpr MapIndex()
    {
        for (const auto& r : kRegisterMap) {
            mapped[r.reg] = true;
            writable[r.reg] = r.writable;
        }
    }
};
constexpr MapIndex kIndex;

}  // namespace

Bridge::Bridge(I2cBus& bus, BitBus* pins, BridgeOptions options)
    : bus_(bus), pins_(pins), options_(options)
{
    std::memset(regs_, 0, sizeof regs_);
    for (const auto& r : kRegisterMap)
        regs_[r.reg] = r.reset;
    if (options_.statusStuck)
        regs_[kStatus] = kI2cStatusBusy;
    UpdatePins();
}

void Bridge::RecordUnmapped(uint16_t reg, bool write, uint16_t value)
{
    if (unmapped_.size() < kUnmappedRecordLimit)
        unmapped_.push_back({reg, write, value});
}

bool Bridge::Write(uint16_t reg, uint16_t value)
{
    if (reg >= kBridgeRegisterCount)
        return false;
    if (!kIndex.mapped[reg]) {
        RecordUnmapped(reg, true, value);
        return true;
    }
    uint8_t byte = static_cast<uint8_t>(value & 0xFF);
    uint8_t mask = kIndex.writable[reg];
    regs_[reg] = static_cast<uint8_t>((regs_[reg] & ~mask) | (byte & mask));

    switch (reg) {
    case kControl:
    case kPinData:
    case kPinDirection:
        UpdatePins();
        break;
    case kWriteData:
        if (blockOpen_) {
            if (block_.size() < kI2cBlockCapacity)
                block_.emplace_back(regs_[kWriteSub], byte);
            else
                ++blockDropped_;
        }
        break;
    case kReadSub:
        readSubFresh_ = true;
        break;
    case kCommand:
        RunCommand(byte);
        break;
    default:
        break;
    }
    return true;
}

bool Bridge::Read(uint16_t reg, uint8_t& value)
{
    if (reg >= kBridgeRegisterCount)
        return false;
    if (!kIndex.mapped[reg]) {
        RecordUnmapped(reg, false, 0);
        value = 0;
        return true;
    }
    value = Peek(reg);
    if (reg == kStatus && busyRemaining_ > 0)
        --busyRemaining_;
    return true;
}

uint8_t Bridge::Peek(uint16_t reg) const
{
    if (reg >= kBridgeRegisterCount || !kIndex.mapped[reg])
        return 0;
    switch (reg) {
    case kControl: {
        bool scl = pins_ ? pins_->Scl() : (regs_[kControl] & 0x80) != 0;
        return static_cast<uint8_t>((regs_[kControl] & 0x7F) | (scl ? 0x80 : 0));
    }
    case kPinData: {
        bool driveLow = (regs_[kPinDirection] & 1) && !(regs_[kPinData] & 1);
        bool sda = pins_ ? pins_->Sda() : !driveLow;
        uint8_t v = static_cast<uint8_t>(regs_[kPinData] & 0xFC);
        v |= sda ? 0x01 : 0;
        v |= buttonPressed_ ? 0 : 0x02;
        return v;
    }
    case kStatus:
        if (options_.statusStuck || busyRemaining_ > 0)
            return kI2cStatusBusy;
        return regs_[kStatus];
    default:
        return regs_[reg];
    }
}

void Bridge::UpdatePins()
{
    if (!pins_)
        return;
    bool sclReleased = (regs_[kControl] & 0x80) != 0;
    bool sdaReleased = !(regs_[kPinDirection] & 1) || (regs_[kPinData] & 1);
    pins_->SetMasterLines(sclReleased, sdaReleased);
}

bool Bridge::WriteTransaction(uint8_t address8, uint8_t sub, uint8_t data)
{
    ++i2cTransactions_;
    bool ack = bus_.Start(static_cast<uint8_t>(address8 & 0xFE));
    ack = ack && bus_.WriteByte(sub);
    ack = ack && bus_.WriteByte(data);
    bus_.Stop();
    return ack;
}

void Bridge::Finish(bool acknowledged)
{
    regs_[kStatus] = acknowledged ? kI2cStatusAcknowledged : kI2cStatusNoAcknowledge;
    busyRemaining_ = options_.statusBusyPolls;
}

void Bridge::RunCommand(uint8_t command)
{
    uint8_t address = regs_[kAddress];
    switch (command) {
    case kI2cCommandWrite:
        blockOpen_ = false;
        block_.clear();
        Finish(WriteTransaction(address, regs_[kWriteSub], regs_[kWriteData]));
        break;
    case kI2cCommandRead: {
        blockOpen_ = false;
        block_.clear();
        ++i2cTransactions_;
        bool ack;
        if ((address & 1) == 0 || readSubFresh_) {
            ack = bus_.Start(static_cast<uint8_t>(address & 0xFE)) &&
                  bus_.WriteByte(regs_[kReadSub]) &&
                  bus_.Start(static_cast<uint8_t>(address | 1));
        } else {
            ack = bus_.Start(address);
        }
        readSubFresh_ = false;
        regs_[kReadData] = ack ? bus_.ReadByte(false) : 0xFF;
        bus_.Stop();
        Finish(ack);
        break;
    }
    case kI2cCommandBlockOpen:
        blockOpen_ = true;
        block_.clear();
        regs_[kStatus] = kI2cStatusAcknowledged;
        busyRemaining_ = 0;
        break;
    case kI2cCommandBlockRun: {
        bool all = true;
        for (const auto& [sub, data] : block_)
            all = WriteTransaction(address, sub, data) && all;
        blockOpen_ = false;
        block_.clear();
        Finish(all);
        break;
    }
    default:
        break;
    }
}

Window Bridge::CaptureWindow() const
{
    auto word = [this](uint16_t at) { return regs_[at] | (regs_[at + 1] << 8); };
    return Window{word(kWindow), word(kWindow + 2), word(kWindow + 4), word(kWindow + 6)};
}

bool Bridge::PreviewScaler() const
{
    return regs_[kScaler0] == 3 && regs_[kScaler0 + 1] == 5 && regs_[kScaler0 + 2] == 0x1F;
}

bool Bridge::PoweredDown() const
{
    return (regs_[kControl] & 0x40) != 0;
}

}  // namespace sim
