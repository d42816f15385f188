// The two-wire bus that the bridge drives bit by bit through two of its
// general-purpose pins, and the slave devices on it.
//
// Both lines are open drain: a line is high only while the master and every
// slave release it. Slaves see nothing but the line levels; each one runs the
// I2C slave protocol from them:
//   start      SDA falls while SCL is high (also a repeated start)
//   stop       SDA rises while SCL is high
//   data bit   sampled on the SCL rising edge
//   acknowledge  the addressed slave pulls SDA low from the falling edge after
//              the eighth bit to the falling edge after the ninth
//   read mode  the slave puts each data bit on SDA while SCL is low (changes
//              it on the falling edge) and reads the master's acknowledge on
//              the ninth rising edge; a not-acknowledge ends its transmission
// A call that changes both lines at once is taken as data-after-clock when
// the clock falls and data-before-clock when it rises, so it never forms a
// start or a stop by accident.
//
// Addresses are 8-bit bus addresses (7-bit address << 1, bit 0 the
// read/write bit), as the driver passes them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sim {

// Default addresses of the devices on a board's bit-driven bus.
constexpr uint8_t kBitBusEepromAddress = 0xA0;
constexpr uint8_t kBitBusWord16Address = 0x90;
constexpr size_t kBitBusEepromSize = 256;

// Byte-level view of one slave's traffic, for tests.
struct BitBusEvent {
    enum class Kind { Start, Stop, Address, Write, Read };
    Kind kind;
    uint8_t value = 0;   // address byte (with read bit), written or read byte
    bool acked = false;  // Address/Write: the slave acknowledged; Read: the master did
};

// Base of the pin-level slaves: turns line levels into start / address /
// write byte / read byte / stop, and asks the device through the hooks below.
class BitBusSlave {
public:
    explicit BitBusSlave(uint8_t address8bit);
    virtual ~BitBusSlave() = default;
    BitBusSlave(const BitBusSlave&) = delete;
    BitBusSlave& operator=(const BitBusSlave&) = delete;

    uint8_t Address() const { return address_; }
    // Called by the bus with the resolved levels after every change.
    void OnLines(bool scl, bool sda);
    // True while this slave pulls SDA low.
    bool PullsSdaLow() const { return pullSda_; }

    // Bytes this slave took part in (from its own address match to the stop).
    const std::vector<BitBusEvent>& Events() const { return events_; }
    void ClearEvents() { events_.clear(); }

protected:
    // A start or repeated start began a transaction addressed to this slave.
    virtual void OnAddressed(bool read) = 0;
    // A byte written by the master; return true to acknowledge it.
    virtual bool OnWrite(uint8_t byte) = 0;
    // The next byte to send in read mode.
    virtual uint8_t OnRead() = 0;
    // The master's acknowledge of the byte just sent (false = last byte).
    virtual void OnReadAck(bool acked) { (void)acked; }
    // The transaction ended: stop, or a repeated start (restart = true).
    virtual void OnEnd(bool restart) { (void)restart; }

private:
    friend class BitBus;
    enum class Phase { Idle, Receive, AckOut, Transmit, AckIn };
    void BeginStart();
    void EndTransaction(bool restart);
    void SetDataBit();

    uint8_t address_;
    bool scl_ = true, sda_ = true;
    bool pullSda_ = false;
    Phase phase_ = Phase::Idle;
    bool selected_ = false;  // address matched in this transaction
    bool addressPhase_ = false;
    bool readMode_ = false;
    bool nextAck_ = false;
    int bits_ = 0;
    uint8_t shift_ = 0;
    std::vector<BitBusEvent> events_;
};

// The bus: the master's two lines, the attached slaves, the resolved levels.
class BitBus {
public:
    void Attach(std::shared_ptr<BitBusSlave>);
    // Open drain: true = not pulling low.
    void SetMasterLines(bool sclReleased, bool sdaReleased);
    // Levels: AND of master and every slave.
    bool Scl() const { return scl_; }
    bool Sda() const { return sda_; }

    // Every resolved level change, in order, while tracing is on.
    struct Levels {
        bool scl, sda;
    };
    void SetTrace(bool on) { trace_ = on; }
    const std::vector<Levels>& Trace() const { return traceLog_; }
    void ClearTrace() { traceLog_.clear(); }

private:
    void Settle();
    bool SlavesReleaseSda() const;

    std::vector<std::shared_ptr<BitBusSlave>> slaves_;
    bool masterScl_ = true, masterSda_ = true;
    bool scl_ = true, sda_ = true;
    bool trace_ = false;
    std::vector<Levels> traceLog_;
};

// Serial EEPROM with 8-bit sub-addresses, up to 256 bytes (a larger size is
// cut to 256, size 0 becomes 1); erased cells read 0xFF.
//   write:  [address] [sub-address] [data...] stop. Data goes to a page
//           buffer and is programmed at the stop; within a page the address
//           wraps (kPageSize-byte pages, as small serial EEPROMs have). A
//           repeated start or a stop right after the sub-address programs
//           nothing; a transaction cut by a repeated start programs nothing.
//   read:   sequential from the address pointer, wrapping from the last byte
//           to 0; [address] [sub-address] restart [address|1] sets it first,
//           [address|1] alone reads on from where the last access ended.
// The driver's sub-address lengths: 1 is the natural form; 0 reads or writes
// at the current pointer; 2 and 3 send further sub-address bytes that this
// part, like the real one, takes as data bytes.
class BitBusEeprom : public BitBusSlave {
public:
    static constexpr size_t kPageSize = 16;
    BitBusEeprom(uint8_t address8bit, size_t size);
    size_t Size() const { return memory_.size(); }
    uint8_t Peek(size_t offset) const { return memory_[offset % memory_.size()]; }
    void Poke(size_t offset, uint8_t value) { memory_[offset % memory_.size()] = value; }
    size_t Pointer() const { return pointer_; }

protected:
    void OnAddressed(bool read) override;
    bool OnWrite(uint8_t byte) override;
    uint8_t OnRead() override;
    void OnEnd(bool restart) override;

private:
    std::vector<uint8_t> memory_;
    size_t pointer_ = 0;
    bool haveSubAddress_ = false;
    std::array<uint8_t, kPageSize> page_{};
    uint32_t pageUsed_ = 0;  // bit i: page_[i] holds a byte to program
    size_t pageBase_ = 0;
};

// Device with 256 registers of 16 bits, addressed by a one-byte register
// number, data sent most significant byte first (the order of the driver's
// two-byte operations). Register number pointer auto-increments (wrapping
// 0xFF -> 0x00) after each whole word read or written.
//   write:  [address] [register] [hi lo]... stop; a lone trailing byte is
//           dropped.
//   read:   [address] [register] restart [address|1] hi lo hi lo ...
// Register kIdRegister is read-only and holds kIdValue; all others reset to 0.
// The driver's sub-address lengths: 1 is the natural form (SoftBusRead16 and
// SoftBusWrite16 read and write one register; the one-byte operations read
// the high byte, or write a lone byte that is dropped); 0 reads at the
// current pointer, or makes the first written byte the register number; 2 and
// 3 send further bytes that the device takes as the high byte of data.
class BitBusWord16Device : public BitBusSlave {
public:
    static constexpr uint8_t kIdRegister = 0xFF;
    static constexpr uint16_t kIdValue = 0x5716;
    explicit BitBusWord16Device(uint8_t address8bit);
    uint16_t Register(uint8_t reg) const { return regs_[reg]; }
    void SetRegister(uint8_t reg, uint16_t value);
    uint8_t Pointer() const { return pointer_; }

protected:
    void OnAddressed(bool read) override;
    bool OnWrite(uint8_t byte) override;
    uint8_t OnRead() override;

private:
    std::array<uint16_t, 256> regs_{};
    uint8_t pointer_ = 0;
    bool havePointer_ = false;
    bool haveHigh_ = false;
    uint8_t high_ = 0;
    bool lowNext_ = false;  // read mode: next byte is the low byte
};

std::shared_ptr<BitBusSlave> MakeEeprom(uint8_t address8bit, size_t size);
std::shared_ptr<BitBusSlave> MakeWord16Device(uint8_t address8bit);

}  // namespace sim
