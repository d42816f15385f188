// The bridge as the host sees it through vendor requests: its register file
// and its I2C master against the devices of the board's bus.
#include "tests/sim/board_test_util.h"

using namespace simtest;
using sim::Board;
using sim::BoardConfig;

namespace {

BoardConfig Quiet()
{
    BoardConfig c;
    c.defaultPatterns = false;
    return c;
}

}  // namespace

TEST(BridgeI2c, WriteAndReadReachTheAddressedDeviceRegister)
{
    Board b(Quiet());
    EXPECT_EQ(I2cWrite(b, 0xBA, 0x09, 0x55), sim::kI2cStatusAcknowledged);
    EXPECT_EQ(I2cWrite(b, 0x86, 0x10, 0xA7), sim::kI2cStatusAcknowledged);
    EXPECT_EQ(b.Device(0xBA)->Peek(0x09), 0x55);
    EXPECT_EQ(b.Device(0x86)->Peek(0x10), 0xA7);
    EXPECT_EQ(b.Device(0x42)->Peek(0x10), 0x00);  // nobody else was touched

    auto r = I2cRead(b, 0xBA, 0x09);
    EXPECT_EQ(r.status, sim::kI2cStatusAcknowledged);
    EXPECT_EQ(r.value, 0x55);

    // The device saw exactly: write [sub, data]; then write [sub], read [byte].
    const auto& t = b.Device(0x86)->Traffic();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0], (sim::I2cTransaction{0x86, false, {0x10, 0xA7}}));
    const auto& d = b.Device(0xBA)->Traffic();
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[1], (sim::I2cTransaction{0xBA, false, {0x09}}));
    EXPECT_EQ(d[2], (sim::I2cTransaction{0xBB, true, {0x55}}));
}

TEST(BridgeI2c, WriteCommandClearsTheReadBitOfTheAddress)
{
    Board b(Quiet());
    EXPECT_EQ(I2cWrite(b, 0x43, 0x05, 0x66), sim::kI2cStatusAcknowledged);
    EXPECT_EQ(b.Device(0x42)->Peek(0x05), 0x66);
}

TEST(BridgeI2c, StatusReadsBusyForTheConfiguredPollsThenAcknowledged)
{
    for (unsigned polls : {0u, 1u, 5u}) {
        BoardConfig c = Quiet();
        c.bridge.statusBusyPolls = polls;
        Board b(c);
        b.WriteRegister(0x203, 0xBA);
        b.WriteRegister(0x204, 0x09);
        b.WriteRegister(0x205, 0x01);
        b.WriteRegister(0x200, 0x05);
        for (unsigned i = 0; i < polls; ++i)
            EXPECT_EQ(b.ReadRegister(0x201), 0) << "poll " << i << " of " << polls;
        EXPECT_EQ(b.ReadRegister(0x201), sim::kI2cStatusAcknowledged);
        EXPECT_EQ(b.ReadRegister(0x201), sim::kI2cStatusAcknowledged);
    }
}

TEST(BridgeI2c, AbsentAddressIsNotAcknowledgedAndReadsTheReleasedLine)
{
    Board b(Quiet());  // a 5150 board: nothing at 0x88 or 0x4A
    EXPECT_EQ(I2cWrite(b, 0x88, 0x0C, 0x8C), sim::kI2cStatusNoAcknowledge);
    auto r = I2cRead(b, 0x88, 0x0C);
    EXPECT_EQ(r.status, sim::kI2cStatusNoAcknowledge);
    EXPECT_EQ(r.value, 0xFF);
    EXPECT_EQ(I2cRead(b, 0x4A, 0x0E).value, 0xFF);
    EXPECT_EQ(I2cRead(b, 0x00, 0x00).status, sim::kI2cStatusNoAcknowledge);

    BoardConfig none = Quiet();
    none.decoder = sim::DecoderKind::None;
    Board n(none);
    EXPECT_EQ(I2cWrite(n, 0xBA, 0x00, 0x02), sim::kI2cStatusNoAcknowledge);
    EXPECT_EQ(n.GetDecoder(), nullptr);
}

TEST(BridgeI2c, ProbeTestRegistersReadBackOnlyOnTheirOwnBoard)
{
    struct Case {
        sim::DecoderKind kind;
        uint8_t addr, reg, value;
    };
    for (Case k : {Case{sim::DecoderKind::Type110, 0x88, 0x0C, 0x8C},
                   Case{sim::DecoderKind::Type111, 0x4A, 0x0E, 0x01}}) {
        BoardConfig c = Quiet();
        c.decoder = k.kind;
        Board b(c);
        EXPECT_EQ(I2cWrite(b, k.addr, k.reg, k.value), sim::kI2cStatusAcknowledged);
        EXPECT_EQ(I2cRead(b, k.addr, k.reg).value, k.value);
        // The other decoder and the 5150 are absent on this board.
        EXPECT_EQ(I2cWrite(b, 0xBA, 0x28, 0x04), sim::kI2cStatusNoAcknowledge);
        uint8_t other = k.addr == 0x88 ? 0x4A : 0x88;
        EXPECT_EQ(I2cRead(b, other, 0x0C).status, sim::kI2cStatusNoAcknowledge);
    }
}

TEST(BridgeI2c, StuckStatusStaysZeroButTheTransactionHappens)
{
    BoardConfig c = Quiet();
    c.bridge.statusStuck = true;
    Board b(c);
    EXPECT_EQ(b.ReadRegister(0x201), 0);
    EXPECT_EQ(I2cWrite(b, 0xBA, 0x0C, 0x40), 0);  // 600 polls, all zero
    EXPECT_EQ(b.Device(0xBA)->Peek(0x0C), 0x40);
}

TEST(BridgeI2c, ReadWithOddAddressSendsTheSubAddressOnlyWhenOneWasGiven)
{
    Board b(Quiet());
    auto* dev = b.Device(0x42);
    dev->Poke(0x31, 0x5C);
    dev->Poke(0x10, 0x6D);
    ASSERT_EQ(I2cWrite(b, 0x42, 0x30, 0xAB), sim::kI2cStatusAcknowledged);  // pointer now 0x31
    dev->ClearTraffic();

    // No sub-address written since the last read: a current-address read.
    b.WriteRegister(0x203, 0x43);
    b.WriteRegister(0x200, 0x20);
    EXPECT_EQ(WaitI2c(b), sim::kI2cStatusAcknowledged);
    EXPECT_EQ(b.ReadRegister(0x209), 0x5C);
    ASSERT_EQ(dev->Traffic().size(), 1u);
    EXPECT_EQ(dev->Traffic()[0], (sim::I2cTransaction{0x43, true, {0x5C}}));

    // A sub-address written for this read is sent, as with the even address.
    dev->ClearTraffic();
    auto r = I2cRead(b, 0x43, 0x10);
    EXPECT_EQ(r.value, 0x6D);
    ASSERT_EQ(dev->Traffic().size(), 2u);
    EXPECT_EQ(dev->Traffic()[0], (sim::I2cTransaction{0x42, false, {0x10}}));
    EXPECT_EQ(dev->Traffic()[1], (sim::I2cTransaction{0x43, true, {0x6D}}));
}

TEST(BridgeI2c, BlockModeSendsEachLoadedPairAsItsOwnWrite)
{
    Board b(Quiet());
    auto* dev = b.Device(0x86);
    b.WriteRegister(0x203, 0x86);
    b.WriteRegister(0x200, 0x00);
    EXPECT_EQ(b.ReadRegister(0x201), sim::kI2cStatusAcknowledged);
    const uint8_t pairs[][2] = {{0x10, 0x01}, {0x20, 0x02}, {0x11, 0x03}};
    for (auto& p : pairs) {
        b.WriteRegister(0x204, p[0]);
        b.WriteRegister(0x205, p[1]);
    }
    EXPECT_TRUE(dev->Traffic().empty()) << "loading pairs sends nothing";
    b.WriteRegister(0x200, 0x06);
    EXPECT_EQ(WaitI2c(b), sim::kI2cStatusAcknowledged);
    ASSERT_EQ(dev->Traffic().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(dev->Traffic()[i].bytes, (std::vector<uint8_t>{pairs[i][0], pairs[i][1]}));
        EXPECT_EQ(dev->Peek(pairs[i][0]), pairs[i][1]);
    }

    // Running it again sends nothing: the buffer closed.
    dev->ClearTraffic();
    b.WriteRegister(0x200, 0x06);
    EXPECT_EQ(WaitI2c(b), sim::kI2cStatusAcknowledged);
    EXPECT_TRUE(dev->Traffic().empty());

    // A block to an absent address reports no acknowledge.
    b.WriteRegister(0x203, 0x90);
    b.WriteRegister(0x200, 0x00);
    b.WriteRegister(0x204, 0x01);
    b.WriteRegister(0x205, 0x01);
    b.WriteRegister(0x200, 0x06);
    EXPECT_EQ(WaitI2c(b), sim::kI2cStatusNoAcknowledge);
}

TEST(BridgeI2c, BlockBufferIsBoundedAndAPlainCommandAbandonsIt)
{
    Board b(Quiet());
    auto* dev = b.Device(0x42);
    b.WriteRegister(0x203, 0x42);
    b.WriteRegister(0x200, 0x00);
    for (int i = 0; i < 100; ++i) {
        b.WriteRegister(0x204, static_cast<uint16_t>(i));
        b.WriteRegister(0x205, 0xEE);
    }
    b.WriteRegister(0x200, 0x06);
    EXPECT_EQ(dev->Traffic().size(), sim::kI2cBlockCapacity);
    EXPECT_EQ(b.GetBridge().BlockPairsDropped(), 100 - sim::kI2cBlockCapacity);

    dev->ClearTraffic();
    b.WriteRegister(0x200, 0x00);
    b.WriteRegister(0x204, 0x70);
    b.WriteRegister(0x205, 0x71);
    b.WriteRegister(0x200, 0x05);  // the plain write goes out, the block is dropped
    b.WriteRegister(0x200, 0x06);
    ASSERT_EQ(dev->Traffic().size(), 1u);
    EXPECT_EQ(dev->Traffic()[0].bytes, (std::vector<uint8_t>{0x70, 0x71}));
}

TEST(BridgeRegisters, ResetValuesWritableBitsAndUnmappedAccesses)
{
    Board b(Quiet());
    EXPECT_EQ(b.ReadRegister(0x000), 0x80);  // clock line released
    EXPECT_EQ(b.ReadRegister(0x001), 0x03);  // data line high, button released
    EXPECT_EQ(b.ReadRegister(0x201), 0x01);

    // Only the low byte of the request's value lands.
    Reg(b, 0x002, 0xFF5F);
    EXPECT_EQ(b.ReadRegister(0x002), 0x5F);

    // Read-only: status, read data, the button bit.
    Reg(b, 0x201, 0x00);
    Reg(b, 0x209, 0x33);
    EXPECT_EQ(b.ReadRegister(0x201), 0x01);
    EXPECT_EQ(b.ReadRegister(0x209), 0x00);
    Reg(b, 0x001, 0xF0);  // bit 1 stays the button's, bit 0 the line level
    EXPECT_EQ(b.ReadRegister(0x001), 0xF0 | 0x03);

    // Inside the register space but not a register: reads 0, recorded.
    b.GetBridge().ClearUnmappedAccesses();
    Reg(b, 0x0AB, 0x12);
    EXPECT_EQ(b.ReadRegister(0x0AB), 0x00);
    EXPECT_EQ(b.GetBridge().UnmappedAccesses(),
              (std::vector<sim::UnmappedAccess>{{0x0AB, true, 0x12}, {0x0AB, false, 0}}));

    // Outside the register space: the request stalls.
    EXPECT_EQ(b.WriteRegister(0x400, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(b.ReadRegister(0xFFFF), std::nullopt);
}

TEST(BridgeRegisters, SnapshotButtonReadsZeroWhilePressed)
{
    Board b(Quiet());
    EXPECT_EQ(*b.ReadRegister(0x001) & 0x02, 0x02);
    b.PressButton();
    EXPECT_EQ(*b.ReadRegister(0x001) & 0x02, 0x00);
    EXPECT_EQ(*b.ReadRegister(0x001) & 0x02, 0x00);  // held: still pressed
    b.ReleaseButton();
    EXPECT_EQ(*b.ReadRegister(0x001) & 0x02, 0x02);
}

TEST(BridgeRegisters, PinsAreOpenDrainLines)
{
    Board b(Quiet());
    // Driving the data line low shows low; releasing it shows the pull-up.
    Reg(b, 0x003, 0x01);
    Reg(b, 0x001, 0x00);
    EXPECT_EQ(*b.ReadRegister(0x001) & 1, 0);
    EXPECT_FALSE(b.GetBitBus()->Sda());
    Reg(b, 0x003, 0x00);
    EXPECT_EQ(*b.ReadRegister(0x001) & 1, 1);
    // The data output latch alone does nothing while the direction is input.
    Reg(b, 0x001, 0x00);
    EXPECT_TRUE(b.GetBitBus()->Sda());
    // Clock on 0x000 bit 7.
    Reg(b, 0x000, 0x28);
    EXPECT_EQ(*b.ReadRegister(0x000), 0x28);
    EXPECT_FALSE(b.GetBitBus()->Scl());
    Reg(b, 0x000, 0x80);
    EXPECT_EQ(*b.ReadRegister(0x000), 0x80);
    EXPECT_TRUE(b.GetBitBus()->Scl());
}

TEST(BridgeRegisters, CaptureWindowAndScalerAreReadFromTheirRegisters)
{
    Board b(Quiet());
    SetWindow(b, 8, 1, 1416, 285);
    sim::Window w = b.GetBridge().CaptureWindow();
    EXPECT_EQ(w.hStartByte, 8);
    EXPECT_EQ(w.vStartLine, 1);
    EXPECT_EQ(w.hEndByte, 1416);
    EXPECT_EQ(w.vEndLine, 285);
    EXPECT_FALSE(b.GetBridge().PreviewScaler());
    Reg(b, 0x104, 3);
    Reg(b, 0x105, 5);
    Reg(b, 0x106, 0x1F);
    EXPECT_TRUE(b.GetBridge().PreviewScaler());
    Reg(b, 0x106, 0);
    EXPECT_FALSE(b.GetBridge().PreviewScaler());
}
