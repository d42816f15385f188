// The bit-driven bus through the bridge's pins: a master that does nothing
// but write and read bridge registers (0x000 bit 7 the clock, 0x001 bit 0 the
// data line, 0x003 bit 0 its direction) reads and writes the slaves.
#include "tests/sim/board_test_util.h"

using sim::Board;

namespace {

// The master side, one register access per line change or sample.
class PinMaster {
public:
    explicit PinMaster(Board& b) : b_(b) {}

    void Drive(int line, int level)
    {
        if (line == 0) {
            b_.WriteRegister(0x003, 0x01);
            b_.WriteRegister(0x001, static_cast<uint16_t>(level & 1));
        } else {
            b_.WriteRegister(0x000, static_cast<uint16_t>((level & 1) << 7));
        }
    }
    int Sample(int line)
    {
        if (line == 0) {
            b_.WriteRegister(0x003, 0x00);
            return b_.ReadRegister(0x001).value_or(0) & 1;
        }
        return (b_.ReadRegister(0x000).value_or(0) >> 7) & 1;
    }
    void WaitHigh(int line)
    {
        if (!Sample(line))
            Sample(line);
    }
    void Release()
    {
        Drive(1, 1);
        WaitHigh(1);
        Drive(0, 1);
        WaitHigh(0);
    }
    void Start()
    {
        Drive(0, 1);
        WaitHigh(0);
        Drive(1, 1);
        WaitHigh(1);
        Drive(0, 0);
        Drive(1, 0);
    }
    void Stop()
    {
        Drive(1, 0);
        Drive(0, 0);
        Drive(1, 1);
        WaitHigh(1);
        Drive(0, 1);
        WaitHigh(0);
    }
    int ReadAck()
    {
        Drive(1, 0);
        Drive(0, 1);
        WaitHigh(0);
        Drive(1, 1);
        WaitHigh(1);
        int a = Sample(0);
        Drive(1, 0);
        return a;
    }
    int WriteByte(uint8_t v)
    {
        for (int i = 7; i >= 0; --i) {
            int bit = (v >> i) & 1;
            Drive(1, 0);
            Drive(0, bit);
            if (bit)
                WaitHigh(0);
            Drive(1, 1);
            WaitHigh(1);
        }
        return ReadAck();
    }
    uint8_t ReadByte(int ackLevel)
    {
        Drive(1, 0);
        Drive(0, 1);
        WaitHigh(0);
        int out = 0;
        for (int i = 0; i < 8; ++i) {
            Drive(1, 0);
            Drive(1, 0);
            Drive(1, 1);
            WaitHigh(1);
            out = out * 2 + Sample(0);
        }
        Drive(1, 0);
        Drive(0, ackLevel);
        if (ackLevel)
            WaitHigh(0);
        Drive(1, 1);
        WaitHigh(1);
        Drive(1, 0);
        return static_cast<uint8_t>(out);
    }

    // Device-level operations with a one-byte sub-address; the acknowledge
    // bits of every byte the master sent are collected in acks.
    void Write(uint8_t address, uint8_t sub, const std::vector<uint8_t>& data)
    {
        Release();
        Start();
        acks.push_back(WriteByte(address));
        acks.push_back(WriteByte(sub));
        for (uint8_t d : data)
            acks.push_back(WriteByte(d));
        Stop();
    }
    std::vector<uint8_t> Read(uint8_t address, uint8_t sub, size_t count)
    {
        Release();
        Start();
        acks.push_back(WriteByte(address));
        acks.push_back(WriteByte(sub));
        Start();
        acks.push_back(WriteByte(static_cast<uint8_t>(address | 1)));
        std::vector<uint8_t> out;
        for (size_t i = 0; i < count; ++i)
            out.push_back(ReadByte(i + 1 == count ? 1 : 0));
        Stop();
        return out;
    }

    std::vector<int> acks;

private:
    Board& b_;
};

}  // namespace

TEST(BitBusThroughPins, EepromWriteAndSequentialRead)
{
    Board b;
    PinMaster m(b);
    m.Write(sim::kBitBusEepromAddress, 0x10, {0x5A});
    EXPECT_EQ(b.Eeprom()->Peek(0x10), 0x5A);
    m.Write(sim::kBitBusEepromAddress, 0x20, {1, 2, 3, 4, 5});
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(b.Eeprom()->Peek(0x20 + i), i + 1);
    for (int a : m.acks)
        EXPECT_EQ(a, 0) << "every byte acknowledged (line pulled low)";

    m.acks.clear();
    EXPECT_EQ(m.Read(sim::kBitBusEepromAddress, 0x10, 1), (std::vector<uint8_t>{0x5A}));
    EXPECT_EQ(m.Read(sim::kBitBusEepromAddress, 0x1F, 4), (std::vector<uint8_t>{0xFF, 1, 2, 3}));
    for (int a : m.acks)
        EXPECT_EQ(a, 0);
    // After the operations the clock stands high and the data line is released.
    EXPECT_EQ(b.ReadRegister(0x000), 0x80);
    EXPECT_TRUE(b.GetBitBus()->Sda());
}

TEST(BitBusThroughPins, Word16DeviceAndAbsentAddress)
{
    Board b;
    PinMaster m(b);
    EXPECT_EQ(m.Read(sim::kBitBusWord16Address, sim::BitBusWord16Device::kIdRegister, 2),
              (std::vector<uint8_t>{0x57, 0x16}));
    m.Write(sim::kBitBusWord16Address, 0x05, {0x12, 0x34});
    EXPECT_EQ(b.Word16Device()->Register(0x05), 0x1234);

    // Nobody answers at 0xB0: no acknowledge, and reads see the released line.
    m.acks.clear();
    EXPECT_EQ(m.Read(0xB0, 0x00, 1), (std::vector<uint8_t>{0xFF}));
    EXPECT_EQ(m.acks, (std::vector<int>{1, 1, 1}));
}

TEST(BitBusThroughPins, BridgeRegisterTrafficOutsideTheBusLeavesSlavesIdle)
{
    Board b;
    // Start-up tables and capture stop write these registers whole; the bus
    // must survive them and work afterwards.
    b.WriteRegister(0x000, 0x28);
    b.WriteRegister(0x003, 0x01);
    b.WriteRegister(0x001, 0x00);
    b.WriteRegister(0x000, 0x08);
    PinMaster m(b);
    m.Write(sim::kBitBusEepromAddress, 0x00, {0x77});
    EXPECT_EQ(m.Read(sim::kBitBusEepromAddress, 0x00, 1), (std::vector<uint8_t>{0x77}));
}
