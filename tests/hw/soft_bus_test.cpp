// The bit-driven bus against the board's EEPROM (0xA0) and 16-bit device
// (0x90): what the devices received and answered, the byte-level events they
// saw, and the line levels on the wires.
#include "tests/hw/hw_fixture.h"

#include <array>

using namespace hwtest;
using Kind = sim::BitBusEvent::Kind;

namespace {

constexpr USHORT kEeprom = 0xA0;
constexpr USHORT kWord16 = 0x90;

class SoftBus : public HwTest {
protected:
    void SetUp() override
    {
        HwTest::SetUp();
        sim::BoardConfig c;
        c.decoder5150.id[3] = 0x00;  // short table: a quick start
        Start(c);
        Board().Eeprom()->ClearEvents();
        Board().Word16Device()->ClearEvents();
    }

    sim::BitBusEeprom& Eeprom() { return *Board().Eeprom(); }
    sim::BitBusWord16Device& Word16() { return *Board().Word16Device(); }

    // Bytes of the given kinds that the slave saw, in order.
    static std::vector<std::pair<Kind, uint8_t>> Events(const sim::BitBusSlave& slave)
    {
        std::vector<std::pair<Kind, uint8_t>> out;
        for (const auto& e : slave.Events()) out.emplace_back(e.kind, e.value);
        return out;
    }

    // The lines are left idle: clock high in register 0x000 beside the
    // bridge's own bits there (0x28 after the 5150 start-up), data released.
    void ExpectIdleBus()
    {
        EXPECT_EQ(Board().BridgeRegister(0x000), 0x80 | 0x28);
        EXPECT_EQ(Board().BridgeRegister(0x003) & 0x01, 0x00);
        EXPECT_TRUE(Board().GetBitBus()->Scl());
        EXPECT_TRUE(Board().GetBitBus()->Sda());
    }
};

TEST_F(SoftBus, OneByteWriteAndReadReachTheEeprom)
{
    UCHAR byte = 0x5A;
    EXPECT_TRUE(SoftBusWrite8(Ctx(), kEeprom, 0x10, 1, &byte, 0));
    EXPECT_EQ(Eeprom().Peek(0x10), 0x5A);
    ExpectIdleBus();

    Eeprom().Poke(0x11, 0xC3);
    Eeprom().ClearEvents();
    byte = 0;
    EXPECT_TRUE(SoftBusRead8(Ctx(), kEeprom, 0x11, 1, &byte, 0));
    EXPECT_EQ(byte, 0xC3);
    EXPECT_EQ(Events(Eeprom()), (std::vector<std::pair<Kind, uint8_t>>{{Kind::Start, 0},
                                                                     {Kind::Address, 0xA0},
                                                                     {Kind::Write, 0x11},
                                                                     {Kind::Start, 0},
                                                                     {Kind::Address, 0xA1},
                                                                     {Kind::Read, 0xC3},
                                                                     {Kind::Stop, 0}}));
    // The last byte of a read is not acknowledged.
    EXPECT_FALSE(Eeprom().Events()[5].acked);
    ExpectIdleBus();
}

TEST_F(SoftBus, TwoByteOperationsSendTheHighByteFirstAndStoreLittleEndian)
{
    UCHAR out[2] = {0x34, 0x12};  // the value 0x1234
    EXPECT_TRUE(SoftBusWrite16(Ctx(), kWord16, 0x05, 1, out, 0));
    EXPECT_EQ(Word16().Register(0x05), 0x1234);

    UCHAR in[2] = {};
    EXPECT_TRUE(SoftBusRead16(Ctx(), kWord16, sim::BitBusWord16Device::kIdRegister, 1, in, 0));
    EXPECT_EQ(in[0] | (in[1] << 8), sim::BitBusWord16Device::kIdValue);

    // The first byte is acknowledged, the second ends the read.
    const auto& events = Word16().Events();
    std::vector<bool> acks;
    for (const auto& e : events)
        if (e.kind == Kind::Read) acks.push_back(e.acked);
    EXPECT_EQ(acks, (std::vector<bool>{true, false}));
    ExpectIdleBus();
}

TEST_F(SoftBus, BlocksTravelInOrderWithTheLastReadByteUnacknowledged)
{
    UCHAR data[5] = {1, 2, 3, 4, 5};
    EXPECT_TRUE(SoftBusWriteBlock(Ctx(), kEeprom, 0x20, 1, data, 5));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Eeprom().Peek(0x20 + i), i + 1);

    Eeprom().ClearEvents();
    UCHAR back[5] = {};
    EXPECT_TRUE(SoftBusReadBlock(Ctx(), kEeprom, 0x20, 1, back, 5));
    EXPECT_EQ(std::vector<UCHAR>(back, back + 5), std::vector<UCHAR>(data, data + 5));
    std::vector<bool> acks;
    for (const auto& e : Eeprom().Events())
        if (e.kind == Kind::Read) acks.push_back(e.acked);
    EXPECT_EQ(acks, (std::vector<bool>{true, true, true, true, false}));
}

TEST_F(SoftBus, BlockCountsZeroAndOne)
{
    // Count 1 reads like the one-byte operation.
    Eeprom().Poke(0x30, 0x99);
    UCHAR one = 0;
    EXPECT_TRUE(SoftBusReadBlock(Ctx(), kEeprom, 0x30, 1, &one, 1));
    EXPECT_EQ(one, 0x99);
    ASSERT_EQ(Eeprom().Events().size(), 7u);
    EXPECT_EQ(Eeprom().Events()[5].kind, Kind::Read);
    EXPECT_FALSE(Eeprom().Events()[5].acked);

    // Count 0 (and below) moves no data byte but still addresses the device
    // and ends with a stop; no data buffer is needed then.
    for (LONG count : {0, -3}) {
        Eeprom().ClearEvents();
        EXPECT_TRUE(SoftBusReadBlock(Ctx(), kEeprom, 0x30, 1, nullptr, count));
        EXPECT_EQ(Events(Eeprom()), (std::vector<std::pair<Kind, uint8_t>>{{Kind::Start, 0},
                                                                         {Kind::Address, 0xA0},
                                                                         {Kind::Write, 0x30},
                                                                         {Kind::Start, 0},
                                                                         {Kind::Address, 0xA1},
                                                                         {Kind::Stop, 0}}));
        Eeprom().ClearEvents();
        EXPECT_TRUE(SoftBusWriteBlock(Ctx(), kEeprom, 0x31, 1, nullptr, count));
        EXPECT_EQ(Events(Eeprom()), (std::vector<std::pair<Kind, uint8_t>>{
                                        {Kind::Start, 0}, {Kind::Address, 0xA0}, {Kind::Write, 0x31}, {Kind::Stop, 0}}));
    }
    EXPECT_EQ(Eeprom().Peek(0x31), 0xFF) << "nothing was programmed";
    ExpectIdleBus();
}

TEST_F(SoftBus, SubAddressLengthsZeroToThree)
{
    const auto writtenBytes = [&] {
        std::vector<uint8_t> out;
        for (const auto& e : Eeprom().Events())
            if (e.kind == Kind::Write) out.push_back(e.value);
        return out;
    };
    UCHAR byte = 0x77;
    const std::vector<std::vector<uint8_t>> expected = {
        {0x77},                    // no sub-address
        {0x34, 0x77},              // low byte
        {0x34, 0x12, 0x77},        // low, high
        {0x34, 0x12, 0x00, 0x77},  // low, high, then zeros
    };
    for (USHORT length = 0; length <= 3; ++length) {
        Eeprom().ClearEvents();
        EXPECT_TRUE(SoftBusWrite8(Ctx(), kEeprom, 0x1234, length, &byte, 0));
        EXPECT_EQ(writtenBytes(), expected[length]) << "sub-address length " << length;
    }

    // Length 0 on a read goes from the address byte straight to the repeated start.
    Eeprom().ClearEvents();
    EXPECT_TRUE(SoftBusRead8(Ctx(), kEeprom, 0x1234, 0, &byte, 0));
    EXPECT_EQ(Events(Eeprom()), (std::vector<std::pair<Kind, uint8_t>>{{Kind::Start, 0},
                                                                     {Kind::Address, 0xA0},
                                                                     {Kind::Start, 0},
                                                                     {Kind::Address, 0xA1},
                                                                     {Kind::Read, byte},
                                                                     {Kind::Stop, 0}}));
}

TEST_F(SoftBus, ByteA5PutsItsBitsOnTheDataLineAtEachClockRise)
{
    SoftBusRelease(Ctx());
    SoftBusStart(Ctx());
    Board().GetBitBus()->ClearTrace();
    Board().GetBitBus()->SetTrace(true);
    SoftBusWriteByte(Ctx(), 0xA5);
    Board().GetBitBus()->SetTrace(false);
    SoftBusStop(Ctx());

    // Data level at every rising clock edge: eight data bits, then the
    // acknowledge clock. Sent right after a start, 0xA5 is an address that no
    // device answers, so the ninth clock finds the line released.
    std::vector<int> sampled;
    bool clock = false;  // the start leaves the clock low
    for (const auto& level : Board().GetBitBus()->Trace()) {
        if (level.scl && !clock) sampled.push_back(level.sda ? 1 : 0);
        clock = level.scl;
    }
    EXPECT_EQ(sampled, (std::vector<int>{1, 0, 1, 0, 0, 1, 0, 1, 1}));
}

TEST_F(SoftBus, AbsentDeviceReadsTheReleasedLineAndAFailedSampleReadsLow)
{
    UCHAR byte = 0;
    EXPECT_TRUE(SoftBusRead8(Ctx(), 0xB0, 0x00, 1, &byte, 0));
    EXPECT_EQ(byte, 0xFF);
    EXPECT_TRUE(Eeprom().Events().empty());

    // A failed register read samples as 0: the line looks low.
    FailRegister(0x001);
    EXPECT_EQ(SoftBusSampleLine(Ctx(), SOFT_BUS_LINE_DATA), 0u);
    NoFaults();
    FailRegister(0x000);
    EXPECT_EQ(SoftBusSampleLine(Ctx(), SOFT_BUS_LINE_CLOCK), 0u);
    NoFaults();
    EXPECT_EQ(SoftBusSampleLine(Ctx(), SOFT_BUS_LINE_CLOCK), 1u);
    EXPECT_EQ(SoftBusSampleLine(Ctx(), SOFT_BUS_LINE_DATA), 1u);
}

TEST_F(SoftBus, EveryLineChangeAndSampleIsARegisterAccess)
{
    Clear();
    SoftBusDriveLine(Ctx(), SOFT_BUS_LINE_CLOCK, 0);
    SoftBusDriveLine(Ctx(), SOFT_BUS_LINE_CLOCK, 3);  // only bit 0 counts
    SoftBusDriveLine(Ctx(), SOFT_BUS_LINE_DATA, 0);
    SoftBusSampleLine(Ctx(), SOFT_BUS_LINE_DATA);
    SoftBusSampleLine(Ctx(), SOFT_BUS_LINE_CLOCK);
    SoftBusDriveLine(Ctx(), 2, 1);  // no such line
    EXPECT_EQ(SoftBusSampleLine(Ctx(), 7), 0u);
    EXPECT_EQ(Shapes(), (std::vector<Shape>{{true, 0x000}, {true, 0x000}, {true, 0x003}, {true, 0x001},
                                            {true, 0x003}, {false, 0x001}, {false, 0x000}}));
    // Registers are written whole: the clock write carries no other bits.
    EXPECT_EQ(WritesTo(0x000), (std::vector<uint16_t>{0x00, 0x80}));
    EXPECT_EQ(WritesTo(0x003), (std::vector<uint16_t>{0x01, 0x00}));
    EXPECT_EQ(WritesTo(0x001), (std::vector<uint16_t>{0x00}));
}

// Register 0x000 is the bridge's control register too: an operation reads
// it once and every clock write keeps its other bits.
TEST_F(SoftBus, ClockWritesCarryTheBridgesControlBits)
{
    for (uint8_t control : {0x28, 0x65, 0x00}) {
        SCOPED_TRACE(static_cast<int>(control));
        ASSERT_EQ(Board().WriteRegister(0x000, control), STATUS_SUCCESS);
        Clear();
        UCHAR byte = 0x5A;
        EXPECT_TRUE(SoftBusWrite8(Ctx(), kEeprom, 0x10, 1, &byte, 0));
        EXPECT_EQ(Eeprom().Peek(0x10), 0x5A);
        const std::vector<Shape> shapes = Shapes();
        ASSERT_FALSE(shapes.empty());
        EXPECT_EQ(shapes[0], (Shape{false, 0x000})) << "read once, first";
        const std::vector<uint16_t> writes = WritesTo(0x000);
        ASSERT_FALSE(writes.empty());
        for (uint16_t w : writes) EXPECT_EQ(w & 0x7F, control & 0x7F);
        EXPECT_EQ(Board().BridgeRegister(0x000), 0x80 | (control & 0x7F));
    }
}

TEST_F(SoftBus, NullDataIsRefusedWithoutTouchingTheBus)
{
    Clear();
    EXPECT_FALSE(SoftBusRead8(Ctx(), kEeprom, 0, 1, nullptr, 1));
    EXPECT_FALSE(SoftBusWrite8(Ctx(), kEeprom, 0, 1, nullptr, 1));
    EXPECT_FALSE(SoftBusRead16(Ctx(), kWord16, 0, 1, nullptr, 2));
    EXPECT_FALSE(SoftBusWrite16(Ctx(), kWord16, 0, 1, nullptr, 2));
    EXPECT_FALSE(SoftBusReadBlock(Ctx(), kEeprom, 0, 1, nullptr, 4));
    EXPECT_FALSE(SoftBusWriteBlock(Ctx(), kEeprom, 0, 1, nullptr, 4));
    EXPECT_EQ(TransferCount(), 0u);
}

}  // namespace
