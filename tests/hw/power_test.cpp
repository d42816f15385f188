// Power transitions through the adapter request: the bridge state kept on
// the way down and written back on the way up, the pause on the emulated
// clock, and the decoder programmed again.
#include "tests/hw/hw_fixture.h"

using namespace hwtest;
using sim::DecoderKind;

namespace {

class Power : public HwTest {
protected:
    void SetScaler(uint8_t a, uint8_t b, uint8_t c)
    {
        Board().WriteRegister(0x104, a);
        Board().WriteRegister(0x105, b);
        Board().WriteRegister(0x106, c);
    }
    std::vector<int> Scaler()
    {
        return {Board().BridgeRegister(0x104), Board().BridgeRegister(0x105), Board().BridgeRegister(0x106)};
    }
};

TEST_F(Power, DownKeepsTheScalerPausesAndQuiescesTheBridge)
{
    sim::BoardConfig c;
    c.decoder5150.id[3] = 0x00;
    Start(c);
    SetScaler(0x03, 0x05, 0x1F);
    Board().WriteRegister(0x000, 0x28);
    Board().WriteRegister(0x116, 0xFD);
    Clear();
    const LONGLONG delayed = kv::kernel::clock::TotalDelayed();

    EXPECT_TRUE(Dev().ChangePowerState(PowerDeviceD3).ok());
    EXPECT_EQ(kv::kernel::clock::TotalDelayed() - delayed, 300 * kv::kernel::clock::kUnitsPerMillisecond);
    EXPECT_EQ(Accesses(), (std::vector<Access>{R(0x104, 0x03), R(0x105, 0x05), R(0x106, 0x1F), W(0x100, 0x21),
                                               W(0x116, 0x00), W(0x117, 0x00), W(0x018, 0x00), R(0x000, 0x28),
                                               W(0x000, 0x48)}));
    EXPECT_TRUE(Board().GetBridge().PoweredDown());
}

TEST_F(Power, UpProgramsTheDecoderAgainAndRestoresTheScaler)
{
    sim::BoardConfig c;
    c.decoder5150.id = {0x51, 0x50, 0x03, 0x00};  // re-initialisation takes the patch
    Start(c);
    Ctx()->standardIndex = 1;
    Ctx()->inputChannel = 1;
    Ctx()->frameWidth = 720;
    Ctx()->frameHeight = 480;
    SetScaler(0x03, 0x05, 0x1F);
    ASSERT_TRUE(Dev().ChangePowerState(PowerDeviceD3).ok());

    // The board forgot everything while it was off.
    SetScaler(0, 0, 0);
    for (uint16_t r = 0x110; r <= 0x117; ++r) Board().WriteRegister(r, 0);
    ClearDecoderWrites();
    Clear();
    EXPECT_TRUE(Dev().ChangePowerState(PowerDeviceD0).ok());

    EXPECT_FALSE(Board().GetBridge().PoweredDown());
    EXPECT_EQ(Board().BridgeRegister(0x000), 0x28);
    EXPECT_EQ(Window(), (std::vector<int>{0, 13, 1440, 253}));
    EXPECT_EQ(Board().DecoderPatch()->loads, 1u);
    EXPECT_EQ(Board().GetDecoder()->SelectedInput(), 1);
    EXPECT_EQ(Board().GetDecoder()->Peek(0x28), 0x02);
    EXPECT_EQ(kv::kernel::debug::Text(), "InitKV33005150HInitTI5150HI2C");
    // The scaler comes back after the decoder, in register order.
    EXPECT_EQ(Scaler(), (std::vector<int>{0x03, 0x05, 0x1F}));
    const std::vector<Access> all = Accesses();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(std::vector<Access>(all.end() - 3, all.end()),
              (std::vector<Access>{W(0x104, 0x03), W(0x105, 0x05), W(0x106, 0x1F)}));
    // The alternate setting the driver's interface copy names is selected again.
    ASSERT_NE(Ctx()->interfaceInfo, nullptr);
    EXPECT_EQ(Board().AlternateSetting(), Ctx()->interfaceInfo->AlternateSetting);
}

TEST_F(Power, UpWithoutDownWritesWhatBandwidthAllocationRecorded)
{
    Start(WithDecoder(DecoderKind::Type110));
    // As bandwidth allocation records them for the low-bandwidth mode.
    Ctx()->savedScalerRegs[0] = 3;
    Ctx()->savedScalerRegs[1] = 5;
    Ctx()->savedScalerRegs[2] = 0x1F;
    ASSERT_TRUE(Dev().ChangePowerState(PowerDeviceD1).ok());
    EXPECT_EQ(Ctx()->savedScalerRegs[0], 0) << "power-down keeps what the bridge holds";
    Ctx()->savedScalerRegs[0] = 3;
    Ctx()->savedScalerRegs[1] = 5;
    Ctx()->savedScalerRegs[2] = 0x1F;
    ClearDecoderWrites();
    EXPECT_TRUE(Dev().ChangePowerState(PowerDeviceD0).ok());
    EXPECT_EQ(Scaler(), (std::vector<int>{0x03, 0x05, 0x1F}));
    EXPECT_TRUE(Board().GetBridge().PreviewScaler());
    // Decoder type 110 is re-initialised with its own tables.
    EXPECT_EQ(Board().BridgeRegister(0x000), 0x20);
    EXPECT_EQ(DecoderWrites().size(), 6u);
}

TEST_F(Power, EveryLowPowerStateGoesDownAndOtherValuesDoNothing)
{
    sim::BoardConfig c;
    c.decoder5150.id[3] = 0x00;
    Start(c);
    for (DEVICE_POWER_STATE state : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
        Board().WriteRegister(0x100, 0x33);
        ASSERT_TRUE(Dev().ChangePowerState(state).ok());
        EXPECT_EQ(Board().BridgeRegister(0x100), 0x21) << state;
        ASSERT_TRUE(Dev().ChangePowerState(PowerDeviceD0).ok());
    }
    Clear();
    for (DEVICE_POWER_STATE state : {PowerDeviceUnspecified, PowerDeviceMaximum}) {
        EXPECT_TRUE(Dev().ChangePowerState(state).ok());
    }
    EXPECT_EQ(TransferCount(), 0u);
}

// Reads that fail on the way down build nothing: the saved scaler values
// stay as they were and register 0x000 keeps its bits.
TEST_F(Power, FailedReadsOnTheWayDownWriteNothingBuiltFromThem)
{
    sim::BoardConfig c;
    c.decoder5150.id[3] = 0x00;
    Start(c);
    Ctx()->savedScalerRegs[0] = 3;
    Ctx()->savedScalerRegs[1] = 5;
    Ctx()->savedScalerRegs[2] = 0x1F;
    Board().WriteRegister(0x000, 0x28);
    sim::ControlFaults faults;
    faults.everyRegister = 0x105;
    Board().SetControlFaults(faults);
    ASSERT_TRUE(Dev().ChangePowerState(PowerDeviceD3).ok());
    EXPECT_EQ(Ctx()->savedScalerRegs[1], 5) << "0xFF00 is no register value to restore";
    Board().SetControlFaults({});
    Board().WriteRegister(0x000, 0x28);
    faults.everyRegister = 0x000;
    Board().SetControlFaults(faults);
    ASSERT_TRUE(Dev().ChangePowerState(PowerDeviceD3).ok());
    Board().SetControlFaults({});
    EXPECT_EQ(Board().BridgeRegister(0x000), 0x28);
}

}  // namespace
