// The USB bridge's register file: control and pin registers, the scaler and
// capture window that shape the video, and the I2C master that reaches the
// devices on the board's main I2C bus. The register map with reset values,
// writable bits and side effects is the table at the top of bridge.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/bitbus/bitbus.h"
#include "sim/i2c.h"
#include "sim/video/source.h"

namespace sim {

// The bridge decodes register numbers 0x000..0x3FF; a vendor request for a
// number above that is refused (the control endpoint stalls).
constexpr uint16_t kBridgeRegisterCount = 0x400;

// Values of the I2C master status register 0x201.
constexpr uint8_t kI2cStatusBusy = 0x00;
constexpr uint8_t kI2cStatusAcknowledged = 0x01;
constexpr uint8_t kI2cStatusNoAcknowledge = 0x02;

// Commands written to 0x200.
constexpr uint8_t kI2cCommandBlockOpen = 0x00;
constexpr uint8_t kI2cCommandWrite = 0x05;
constexpr uint8_t kI2cCommandBlockRun = 0x06;
constexpr uint8_t kI2cCommandRead = 0x20;

// Pairs the block mode buffers; further pairs are dropped and counted.
constexpr size_t kI2cBlockCapacity = 64;

struct BridgeOptions {
    // Reads of 0x201 that return 0 after each command before the result shows.
    unsigned statusBusyPolls = 1;
    // A faulty board whose status register never leaves 0.
    bool statusStuck = false;
};

// A register access the bridge has no register for (the number lies inside
// 0x000..0x3FF but nothing is there): it reads 0 and ignores writes.
struct UnmappedAccess {
    uint16_t reg;
    bool write;
    uint16_t value;
    bool operator==(const UnmappedAccess&) const = default;
};

class Bridge {
public:
    // pins may be null (a board without the bit-driven bus).
    Bridge(I2cBus& bus, BitBus* pins, BridgeOptions options = {});

    // One register write or read as the vendor requests perform them. Both
    // return false for a register number the bridge does not decode.
    bool Write(uint16_t reg, uint16_t value);
    bool Read(uint16_t reg, uint8_t& value);

    // The value a read would return now, without a read's side effects.
    uint8_t Peek(uint16_t reg) const;

    void SetButtonPressed(bool pressed) { buttonPressed_ = pressed; }
    bool ButtonPressed() const { return buttonPressed_; }

    // Video shaping, read by the board at every field start.
    Window CaptureWindow() const;
    bool PreviewScaler() const;   // 0x104-0x106 hold 3, 5, 0x1F
    bool PoweredDown() const;     // 0x000 bit 6

    const std::vector<UnmappedAccess>& UnmappedAccesses() const { return unmapped_; }
    void ClearUnmappedAccesses() { unmapped_.clear(); }
    // I2C transactions the master has put on the bus (block pairs count one
    // each), and block pairs dropped for lack of room.
    uint64_t I2cTransactionCount() const { return i2cTransactions_; }
    uint64_t BlockPairsDropped() const { return blockDropped_; }

private:
    void RunCommand(uint8_t command);
    bool WriteTransaction(uint8_t address8, uint8_t sub, uint8_t data);
    void Finish(bool acknowledged);
    void UpdatePins();
    void RecordUnmapped(uint16_t reg, bool write, uint16_t value);

    I2cBus& bus_;
    BitBus* pins_;
    BridgeOptions options_;
    uint8_t regs_[kBridgeRegisterCount];
    bool buttonPressed_ = false;
    unsigned busyRemaining_ = 0;
    bool readSubFresh_ = false;  // 0x208 written since the last read command
    bool blockOpen_ = false;
    std::vector<std::pair<uint8_t, uint8_t>> block_;
    uint64_t blockDropped_ = 0;
    uint64_t i2cTransactions_ = 0;
    std::vector<UnmappedAccess> unmapped_;
};

}  // namespace sim
