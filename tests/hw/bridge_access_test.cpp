// Bridge register access and the I2C master, observed at the board's control
// endpoint: the vendor requests, their cost, the address cache and the
// read-modify-write helpers.
#include "tests/hw/hw_fixture.h"

using namespace hwtest;

namespace {

// A 5150 board that takes the short table at start (quick to start), whose
// I2C status shows the result on the first poll.
sim::BoardConfig QuickBoard(unsigned busyPolls = 0)
{
    sim::BoardConfig c;
    c.decoder5150.id[3] = 0x00;
    c.bridge.statusBusyPolls = busyPolls;
    return c;
}

class BridgeAccess : public HwTest {};

TEST_F(BridgeAccess, RegisterWriteAndReadAreOneVendorRequestEach)
{
    Start(QuickBoard());
    EXPECT_EQ(WriteRegister(Ctx(), 0x110, 0x5C), STATUS_SUCCESS);
    EXPECT_EQ(ReadRegister(Ctx(), 0x110), 0x5C);

    const auto& records = Board().GetTrace().Records();
    ASSERT_EQ(records.size(), 2u);
    // Write: host-to-device vendor request 0x01, value, index, no data stage.
    EXPECT_EQ(records[0].setup, (std::array<uint8_t, 8>{0x40, 0x01, 0x5C, 0x00, 0x10, 0x01, 0x00, 0x00}));
    EXPECT_TRUE(records[0].data.empty());
    // Read: device-to-host vendor request 0x00, value 0, one byte.
    EXPECT_EQ(records[1].setup, (std::array<uint8_t, 8>{0xC0, 0x00, 0x00, 0x00, 0x10, 0x01, 0x01, 0x00}));
    EXPECT_EQ(Board().BridgeRegister(0x110), 0x5C);
}

TEST_F(BridgeAccess, FailedReadIsExactly0xFF00AndFailedWriteReportsItsStatus)
{
    Start(QuickBoard());
    Board().WriteRegister(0x001, 0xFF);  // button released, data line high
    FailRegister(0x001);
    const USHORT value = ReadRegister(Ctx(), 0x001);
    EXPECT_EQ(value, REGISTER_READ_FAILED);
    EXPECT_EQ(value & 0x02, 0);  // callers testing bits must look at the value first
    EXPECT_EQ(value & 0x80, 0);
    EXPECT_FALSE(NT_SUCCESS(WriteRegister(Ctx(), 0x001, 0x00)));
    NoFaults();
    EXPECT_EQ(ReadRegister(Ctx(), 0x001), 0xFF) << "the failed write must not have reached the bridge";
}

TEST_F(BridgeAccess, AddressCacheFollowsOnlyWritesThatWentThrough)
{
    Start(QuickBoard());
    SelectI2cDevice(Ctx(), 0x42);

    // A failed direct write of 0x203 leaves the cache at 0x42, so the next
    // access to 0x4A selects it.
    FailTransfer(1);
    EXPECT_FALSE(NT_SUCCESS(WriteRegister(Ctx(), 0x203, 0x4A)));
    NoFaults();
    Clear();
    I2cWriteAt(Ctx(), 0x4A, 0x0E, 0x01);
    EXPECT_EQ(WritesTo(0x203), std::vector<uint16_t>{0x4A});

    // A direct write that succeeds is remembered: no reselection.
    EXPECT_EQ(WriteRegister(Ctx(), 0x203, 0x86), STATUS_SUCCESS);
    Clear();
    I2cWriteAt(Ctx(), 0x86, 0x01, 0x02);
    EXPECT_TRUE(WritesTo(0x203).empty());
    EXPECT_EQ(Board().Device(0x86)->Peek(0x01), 0x02);
}

TEST_F(BridgeAccess, SelectRemembersTheAddressEvenWhenItsWriteFails)
{
    Start(QuickBoard());
    SelectI2cDevice(Ctx(), 0x86);
    FailTransfer(1);
    EXPECT_FALSE(NT_SUCCESS(SelectI2cDevice(Ctx(), 0x42)));
    NoFaults();
    Clear();
    // The cache says 0x42 although the bridge still holds 0x86: the addressed
    // form trusts the cache, the explicit form does not.
    I2cWriteAt(Ctx(), 0x42, 0x05, 0x55);
    EXPECT_TRUE(WritesTo(0x203).empty());
    EXPECT_EQ(Board().Device(0x86)->Peek(0x05), 0x55);
    I2cWriteTo(Ctx(), 0x42, 0x05, 0x66);
    EXPECT_EQ(WritesTo(0x203), std::vector<uint16_t>{0x42});
    EXPECT_EQ(Board().Device(0x42)->Peek(0x05), 0x66);
}

TEST_F(BridgeAccess, AnI2cAccessCostsFourTransfersAndOneMoreForANewAddress)
{
    Start(QuickBoard());
    SelectI2cDevice(Ctx(), 0x86);
    Clear();

    I2cWriteAt(Ctx(), 0x42, 0x10, 0x77);
    EXPECT_EQ(Accesses(), (std::vector<Access>{W(0x203, 0x42), W(0x204, 0x10), W(0x205, 0x77), W(0x200, 0x05),
                                               R(0x201, 0x01)}));
    Clear();
    I2cWriteAt(Ctx(), 0x42, 0x11, 0x78);
    EXPECT_EQ(TransferCount(), 4u);
    Clear();
    EXPECT_EQ(I2cReadAt(Ctx(), 0x42, 0x10), 0x77);
    EXPECT_EQ(Accesses(), (std::vector<Access>{W(0x208, 0x10), W(0x200, 0x20), R(0x201, 0x01), R(0x209, 0x77)}));
    Clear();
    EXPECT_EQ(I2cReadAt(Ctx(), 0x86, 0x00), 0x00);
    EXPECT_EQ(TransferCount(), 5u);
    EXPECT_EQ(Board().Device(0x42)->Peek(0x11), 0x78);

    // The explicit forms select every time.
    Clear();
    I2cWriteTo(Ctx(), 0x86, 0x01, 0x01);
    I2cWriteTo(Ctx(), 0x86, 0x02, 0x02);
    EXPECT_EQ(I2cReadFrom(Ctx(), 0x86, 0x02), 0x02);
    EXPECT_EQ(WritesTo(0x203), (std::vector<uint16_t>{0x86, 0x86, 0x86}));
}

TEST_F(BridgeAccess, PollReadsUntilTheStatusTurnsNonZero)
{
    Start(QuickBoard(3));
    SelectI2cDevice(Ctx(), 0x42);
    Clear();
    EXPECT_EQ(I2cWrite(Ctx(), 0x20, 0x01), STATUS_SUCCESS);
    EXPECT_EQ(Shapes(), (std::vector<Shape>{{true, 0x204}, {true, 0x205}, {true, 0x200}, {false, 0x201},
                                            {false, 0x201}, {false, 0x201}, {false, 0x201}}));
}

TEST_F(BridgeAccess, StuckStatusCostsExactly504TransfersPerWriteAndIsNotAnError)
{
    sim::BoardConfig c = QuickBoard();
    c.bridge.statusStuck = true;
    Start(c);
    SelectI2cDevice(Ctx(), 0x42);
    Clear();
    EXPECT_EQ(I2cWrite(Ctx(), 0x30, 0x03), STATUS_SUCCESS);
    EXPECT_EQ(TransferCount(), 504u);
    EXPECT_EQ(WritesTo(0x200), std::vector<uint16_t>{0x05});
    Clear();
    I2cWriteAt(Ctx(), 0x86, 0x30, 0x03);
    EXPECT_EQ(TransferCount(), 505u);
    Clear();
    I2cRead(Ctx(), 0x30);
    EXPECT_EQ(TransferCount(), 2u + 501u + 1u);
}

TEST_F(BridgeAccess, PollEndsAtTheFirstFailedStatusReadWithThatStatus)
{
    Start(QuickBoard(5));
    SelectI2cDevice(Ctx(), 0x42);
    Clear();
    FailTransfer(4);  // the first status read
    const NTSTATUS status = I2cWrite(Ctx(), 0x20, 0x01);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(TransferCount(), 4u);
}

TEST_F(BridgeAccess, CheckedWriteStopsAtTheFirstFailureAndLoadPairNeverRuns)
{
    Start(QuickBoard());
    SelectI2cDevice(Ctx(), 0x42);
    Clear();
    FailTransfer(2);  // the data byte
    EXPECT_FALSE(NT_SUCCESS(I2cWriteChecked(Ctx(), 0x07, 0x70)));
    EXPECT_EQ(Shapes(), (std::vector<Shape>{{true, 0x204}, {true, 0x205}}));
    EXPECT_EQ(Board().Device(0x42)->Peek(0x07), 0x00);

    NoFaults();
    Clear();
    EXPECT_EQ(I2cWriteChecked(Ctx(), 0x07, 0x70), STATUS_SUCCESS);
    EXPECT_EQ(Board().Device(0x42)->Peek(0x07), 0x70);

    Clear();
    I2cLoadPair(Ctx(), 0x08, 0x80);
    EXPECT_EQ(Accesses(), (std::vector<Access>{W(0x204, 0x08), W(0x205, 0x80)}));
    EXPECT_EQ(Board().Device(0x42)->Peek(0x08), 0x00);
}

TEST_F(BridgeAccess, Register100MergeKeepsTheTimingBits)
{
    Start(QuickBoard());
    Board().WriteRegister(0x100, 0xC5);
    Clear();
    EXPECT_EQ(UpdateRegister100(Ctx(), 0x33), STATUS_SUCCESS);
    EXPECT_EQ(Board().BridgeRegister(0x100), 0xF3);
    EXPECT_EQ(Accesses(), (std::vector<Access>{R(0x100, 0xC5), W(0x100, 0xF3)}));

    // A failed read gives no timing bits to keep: nothing is written.
    Board().WriteRegister(0x100, 0x40);
    FailTransfer(1);
    EXPECT_FALSE(NT_SUCCESS(UpdateRegister100(Ctx(), 0x33)));
    EXPECT_EQ(Board().BridgeRegister(0x100), 0x40);
}

TEST_F(BridgeAccess, PowerDownBitsOnlyForTheActiveDecoderType)
{
    Start(QuickBoard());
    Board().WriteRegister(0x000, 0x28);
    Clear();
    SetRegister0PowerDown(Ctx(), DECODER_TYPE_88);
    EXPECT_EQ(TransferCount(), 0u);
    SetRegister0PowerDown(Ctx(), Ctx()->decoderType);
    EXPECT_EQ(Board().BridgeRegister(0x000) & 0x60, 0x40);
    EXPECT_TRUE(Board().GetBridge().PoweredDown());
}

TEST_F(BridgeAccess, DelaysRunOnTheEmulatedClockWithoutWrapping)
{
    Start(QuickBoard());
    namespace clk = kv::kernel::clock;
    LONGLONG before = clk::Now();
    EXPECT_EQ(DelayMs(Ctx(), 0), STATUS_SUCCESS);
    EXPECT_EQ(clk::Now(), before);
    EXPECT_EQ(DelayMs(Ctx(), 300), STATUS_SUCCESS);
    EXPECT_EQ(clk::Now() - before, 300 * clk::kUnitsPerMillisecond);
    // Long enough that milliseconds x 10000 does not fit in 32 bits.
    before = clk::Now();
    DelayMs(Ctx(), 500000);
    EXPECT_EQ(clk::Now() - before, 500000LL * clk::kUnitsPerMillisecond);
    EXPECT_EQ(TransferCount(), 0u);
}

}  // namespace
