// The board's main I2C bus, the one the bridge's I2C master drives.
//
// Devices are modelled at transaction level: start with an address byte,
// bytes written with an acknowledge each, bytes read with the master's
// acknowledge, stop. A device attached at an 8-bit address answers both its
// write form (bit 0 clear) and its read form (bit 0 set); an address without
// a device never acknowledges.
//
// RegisterFileDevice is the common shape of the devices here: 256 one-byte
// registers, a sub-address pointer that the first byte of a write sets and
// that every byte written or read moves on by one (wrapping at 0xFF), and an
// optional record of every transaction for tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace sim {

class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // A start (or repeated start) addressed to this device; address8 carries
    // the read/write bit. Returns the acknowledge.
    virtual bool Start(uint8_t address8) = 0;
    virtual bool WriteByte(uint8_t value) = 0;
    // masterAck: the master acknowledges (wants another byte) or not (last).
    virtual uint8_t ReadByte(bool masterAck) = 0;
    virtual void Stop() = 0;
};

// One transaction as a device saw it: the address byte, then the bytes that
// crossed the bus (written by the master, or read from the device).
struct I2cTransaction {
    uint8_t address8 = 0;
    bool read = false;
    std::vector<uint8_t> bytes;
    bool operator==(const I2cTransaction&) const = default;
};

class I2cBus {
public:
    // Attaches dev at an 8-bit address (bit 0 ignored). One device may be
    // attached at several addresses; a later Attach at the same address
    // replaces the earlier one.
    void Attach(uint8_t address8, std::shared_ptr<I2cDevice> dev);

    // Transaction primitives as the bridge's master issues them. Start selects
    // the device for the following bytes; false when nothing answered (the
    // following WriteByte calls then return false and ReadByte returns 0xFF,
    // the level of the released data line).
    bool Start(uint8_t address8);
    bool WriteByte(uint8_t value);
    uint8_t ReadByte(bool masterAck);
    void Stop();

    bool Present(uint8_t address8) const;

private:
    std::map<uint8_t, std::shared_ptr<I2cDevice>> devices_;
    I2cDevice* current_ = nullptr;
};

class RegisterFileDevice : public I2cDevice {
public:
    bool Start(uint8_t address8) override;
    bool WriteByte(uint8_t value) override;
    uint8_t ReadByte(bool masterAck) override;
    void Stop() override;

    // Register contents as the device holds them (what a bus read would return
    // for plain registers; status registers may compute their value on read).
    uint8_t Peek(uint8_t reg) const { return regs_[reg]; }
    // Test access that bypasses the bus and the device's write behaviour.
    void Poke(uint8_t reg, uint8_t value) { regs_[reg] = value; }
    const std::array<uint8_t, 256>& Registers() const { return regs_; }

    // Transactions seen since the last ClearTraffic, when recording is on.
    void SetRecording(bool on) { recording_ = on; }
    const std::vector<I2cTransaction>& Traffic() const { return traffic_; }
    void ClearTraffic() { traffic_.clear(); }
    // Every register write that reached the device, in order, as (reg, value).
    const std::vector<std::pair<uint8_t, uint8_t>>& WriteLog() const { return writeLog_; }
    void ClearWriteLog() { writeLog_.clear(); }

protected:
    RegisterFileDevice() { regs_.fill(0); }
    // A byte written by the master into register reg. The default stores it
    // unless the register is read-only.
    virtual void OnWrite(uint8_t reg, uint8_t value);
    // The byte a bus read of reg returns. The default returns the stored value.
    virtual uint8_t OnRead(uint8_t reg) { return regs_[reg]; }
    void MarkReadOnly(uint8_t reg) { readOnly_[reg] = true; }

    std::array<uint8_t, 256> regs_;

private:
    std::array<bool, 256> readOnly_{};
    uint8_t pointer_ = 0;
    bool expectSubAddress_ = false;
    bool active_ = false;
    bool recording_ = true;
    std::vector<I2cTransaction> traffic_;
    std::vector<std::pair<uint8_t, uint8_t>> writeLog_;
};

// A device with no behaviour beyond its register file: the fixed-address
// devices the driver reaches at 0x42, 0x86 and 0xB6.
class PlainRegisterDevice final : public RegisterFileDevice {
public:
    PlainRegisterDevice() = default;
};

}  // namespace sim
