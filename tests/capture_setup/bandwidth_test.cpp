// Configuration, bandwidth allocation, start, stop and free on the simulated
// board, called the way the class library's stream state machine calls them.
#include <algorithm>
#include <memory>

#include "tests/capture_setup/setup_fixture.h"

using namespace setuptest;

namespace {

class ConfigureTest : public SetupTest {
protected:
    // An interface description with room for `room` pipes whose Length
    // claims `lengthPipes` of them and whose NumberOfPipes says `pipes`.
    struct Interface {
        std::vector<uint64_t> storage;
        PUSBD_INTERFACE_INFORMATION info;
        Interface(ULONG room, ULONG lengthPipes, ULONG pipes)
            : storage(GET_USBD_INTERFACE_SIZE(room) / 8 + 1, 0),
              info(reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(storage.data()))
        {
            info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(lengthPipes);
            info->AlternateSetting = 3;
            info->NumberOfPipes = pipes;
            for (ULONG i = 0; i < room; ++i) {
                info->Pipes[i].MaximumTransferSize = 0x1111 * (i + 1);
                info->Pipes[i].MaximumPacketSize = (USHORT)(512 * (i + 1));
            }
        }
    };
};

class BandwidthTest : public SetupTest {
protected:
    static sim::BoardConfig Budget(uint32_t bytesPerMicroframe, bool lowBandwidth = false)
    {
        sim::BoardConfig config = Traced();
        config.bandwidthBudget = bytesPerMicroframe;
        config.lowBandwidth = lowBandwidth;
        return config;
    }

    // The index in the trace of the scaler write that allocation makes.
    static size_t IndexOfLast(const std::vector<BridgeAccess>& accesses, uint16_t reg)
    {
        for (size_t i = accesses.size(); i-- > 0;) {
            if (accesses[i].write && accesses[i].reg == reg) return i;
        }
        return accesses.size();
    }

    std::vector<int> WindowRegisters() const
    {
        std::vector<int> window;
        for (uint16_t r = 0x110; r <= 0x117; ++r) window.push_back(board_->BridgeRegister(r));
        return window;
    }
};

class StopTest : public SetupTest {
public:
    struct Step {
        uint16_t reg;
        uint16_t read;
        uint16_t written;
    };

protected:
    // The read-modify-write pairs of the stop, from the trace.
    std::vector<Step> StopSteps()
    {
        std::vector<Step> steps;
        const std::vector<BridgeAccess> accesses = BridgeAccesses();
        for (size_t i = 0; i + 1 < accesses.size(); i += 2) {
            const BridgeAccess& read = accesses[i];
            const BridgeAccess& write = accesses[i + 1];
            EXPECT_FALSE(read.write);
            EXPECT_TRUE(write.write);
            EXPECT_EQ(read.reg, write.reg);
            steps.push_back({read.reg, (uint16_t)(read.failed ? REGISTER_READ_FAILED : read.value), write.value});
        }
        EXPECT_EQ(accesses.size() % 2, 0u);
        return steps;
    }

    static std::vector<Step> Expected(std::vector<uint16_t> reads)
    {
        return {
            {0x002, reads[0], (uint16_t)(reads[0] | 0x80)},
            {0x003, reads[1], (uint16_t)(reads[1] | 0x01)},
            {0x000, reads[2], (uint16_t)((reads[2] & 0x5F) | 0x20)},
            {0x001, reads[3], (uint16_t)(reads[3] & 0xFE)},
            {0x000, reads[4], (uint16_t)(reads[4] & 0xDF)},
        };
    }
};

void ExpectSteps(const std::vector<StopTest::Step>& actual, const std::vector<StopTest::Step>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(actual[i].reg, expected[i].reg);
        EXPECT_EQ(actual[i].read, expected[i].read);
        EXPECT_EQ(actual[i].written, expected[i].written);
    }
}

}  // namespace

// ------------------------------------------------------------ configure ---

TEST_F(ConfigureTest, DeviceStartConfiguresFromTheBoardsDescriptors)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    EXPECT_EQ(ctx->signature, 0x45544E49u);
    EXPECT_EQ(std::memcmp(&ctx->signature, "INTE", 4), 0);
    EXPECT_EQ(ctx->streamCount, 1u);
    const sim::UsbLayout& usb = Board().Usb();
    EXPECT_EQ(std::memcmp(&ctx->deviceDescriptor, usb.deviceDescriptor.data(), 18), 0);
    EXPECT_EQ(std::memcmp(&ctx->configDescriptorHeader, usb.configuration.data(), 9), 0);
    for (UCHAR b : ctx->descriptorTail) EXPECT_EQ(b, 0);

    PUSBD_INTERFACE_INFORMATION info = ctx->interfaceInfo;
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->AlternateSetting, 0);
    ASSERT_EQ(info->NumberOfPipes, 4u);
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 1024u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 786432u);
}

TEST_F(ConfigureTest, EditsOnlyPipesTheDescriptionHolds)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();

    struct Case {
        ULONG lengthPipes, pipes;
        ULONG pipe0, pipe1;  // transfer sizes afterwards
    } cases[] = {
        {4, 4, 1024, 786432},
        {1, 4, 1024, 0x2222},  // Length says one pipe whatever NumberOfPipes says
        {4, 1, 1024, 0x2222},  // one pipe: pipe 1 is not edited
        {4, 0, 0x1111, 0x2222},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lengthPipes * 10 + c.pipes);
        Interface in(4, c.lengthPipes, c.pipes);
        LONG data = 7, sync = 7;
        ASSERT_EQ(CamConfigure(nullptr, ctx, in.info, nullptr, &data, &sync), STATUS_SUCCESS);
        EXPECT_EQ(data, 1);
        EXPECT_EQ(sync, -1);
        EXPECT_EQ(in.info->AlternateSetting, 0);
        EXPECT_EQ(in.info->Pipes[0].MaximumTransferSize, c.pipe0);
        EXPECT_EQ(in.info->Pipes[1].MaximumTransferSize, c.pipe1);
        ASSERT_NE(ctx->interfaceInfo, nullptr);
        EXPECT_EQ(std::memcmp(ctx->interfaceInfo, in.info, in.info->Length), 0);
        EXPECT_EQ(pool::Outstanding().back().bytes, in.info->Length);
        // Each configure replaces the copy of the one before.
        EXPECT_EQ(pool::OutstandingCount(kDriverTag), FIELD_RING_SLOTS + 1u);
    }
}

TEST_F(ConfigureTest, RefusesHostileDescriptionsAndUndoes)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();

    Interface shortOne(1, 1, 1);
    shortOne.info->Length = (USHORT)offsetof(USBD_INTERFACE_INFORMATION, Pipes) - 1;
    LONG data = 7, sync = 7;
    EXPECT_EQ(CamConfigure(nullptr, ctx, shortOne.info, nullptr, &data, &sync), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ctx->interfaceInfo, nullptr);
    EXPECT_EQ(pool::OutstandingCount(kDriverTag), (size_t)FIELD_RING_SLOTS);

    // Out of memory: the pipe indexes are set all the same.
    Interface in(4, 4, 4);
    pool::FailTag(kDriverTag);
    EXPECT_EQ(CamConfigure(nullptr, ctx, in.info, nullptr, &data, &sync), STATUS_INSUFFICIENT_RESOURCES);
    pool::ClearFaults();
    EXPECT_EQ(data, 1);
    EXPECT_EQ(sync, -1);
    EXPECT_EQ(ctx->interfaceInfo, nullptr);

    ASSERT_EQ(CamConfigure(nullptr, ctx, in.info, nullptr, &data, &sync), STATUS_SUCCESS);
    ctx->signature = 0;
    EXPECT_EQ(CamConfigure(nullptr, ctx, nullptr, nullptr, &data, &sync), STATUS_SUCCESS);
    EXPECT_EQ(ctx->interfaceInfo, nullptr);
    EXPECT_EQ(ctx->signature, DEVICE_CONTEXT_SIGNATURE);
    EXPECT_EQ(pool::OutstandingCount(kDriverTag), (size_t)FIELD_RING_SLOTS);
}

TEST_F(ConfigureTest, PipeConfigurationTable)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    Interface in(4, 4, 4);
    USBCAMD_Pipe_Config_Descriptor config[6];
    std::memset(config, 0x5A, sizeof(config));
    ctx->streamCount = 0;
    ASSERT_EQ(CamConfigureEx(nullptr, ctx, in.info, nullptr, 6, config, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ctx->streamCount, 1u);
    const USBCAMD_Pipe_Config_Descriptor expected[6] = {
        {0, USBCAMD_DONT_CARE_PIPE}, {USBCAMD_VIDEO_STREAM, USBCAMD_DATA_PIPE}, {0, USBCAMD_DONT_CARE_PIPE},
        {0, 0},                      {0, USBCAMD_DONT_CARE_PIPE},               {0, USBCAMD_DONT_CARE_PIPE},
    };
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(config[i].StreamAssociation, expected[i].StreamAssociation);
        EXPECT_EQ(config[i].PipeConfigFlags, expected[i].PipeConfigFlags);
    }

    // Only as many entries as asked for are written; descriptors are copied
    // only when given.
    std::memset(config, 0x5A, sizeof(config));
    const USB_DEVICE_DESCRIPTOR device = ctx->deviceDescriptor;
    ASSERT_EQ(CamConfigureEx(nullptr, ctx, in.info, nullptr, 2, config, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(config[2].StreamAssociation, 0x5A);
    EXPECT_EQ(std::memcmp(&ctx->deviceDescriptor, &device, sizeof(device)), 0);

    // Undoing leaves the table alone.
    std::memset(config, 0x5A, sizeof(config));
    EXPECT_EQ(CamConfigureEx(nullptr, ctx, nullptr, nullptr, 6, config, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(config[0].StreamAssociation, 0x5A);
    EXPECT_EQ(ctx->interfaceInfo, nullptr);
}

// ------------------------------------------------------------ bandwidth ---

TEST_F(BandwidthTest, FullSizeFrameWithKilobytePackets)
{
    // Alternate setting 2 is the one with 1,024-byte packets: a budget that
    // refuses settings 5 to 3 leaves it.
    ASSERT_EQ(StartDevice(Budget(1024)), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ULONG raw = 0xDEAD;
    ASSERT_EQ(Allocate(720, 576, &raw), STATUS_SUCCESS);
    EXPECT_EQ(ctx->frameDataSize, 829440u);
    EXPECT_EQ(ctx->interfaceInfo->Pipes[1].MaximumPacketSize, 1024);
    EXPECT_EQ(raw, 830464u);
    EXPECT_EQ(ctx->alternateSettingIndex, 2u);
    EXPECT_EQ(ctx->bandwidthReduced, 1);
    EXPECT_EQ(Board().AlternateSetting(), 2);
    EXPECT_EQ(ctx->frameWidth, 720);
    EXPECT_EQ(ctx->frameHeight, 576);
}

TEST_F(BandwidthTest, FullModeStartsAtRowFive)
{
    // The class library reports the bytes per microframe of the high-speed
    // endpoint as its packet size: 3 x 1,024 in alternate setting 5.
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ULONG raw = 0;
    ASSERT_EQ(Allocate(720, 576, &raw), STATUS_SUCCESS);
    EXPECT_EQ(ctx->alternateSettingIndex, 5u);
    EXPECT_EQ(ctx->bandwidthReduced, 0);
    EXPECT_EQ(ctx->interfaceInfo->Pipes[1].MaximumPacketSize, 3072);
    EXPECT_EQ(raw, 271u * 3072u);
    EXPECT_EQ(raw % 3072, 0u);
    EXPECT_GE(raw, 829440u + 6u);
}

TEST_F(BandwidthTest, RowsFiveAndFourRefused)
{
    ASSERT_EQ(StartDevice(Budget(2048)), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    EXPECT_EQ(ctx->alternateSettingIndex, 3u);
    EXPECT_EQ(ctx->interfaceInfo->AlternateSetting, 3);
    EXPECT_EQ(Board().AlternateSetting(), 3);
    EXPECT_EQ(ctx->bandwidthReduced, 1);
    EXPECT_EQ(AlternateSettingTable[ctx->alternateSettingIndex].frameInterval, 500000u);
}

TEST_F(BandwidthTest, PayloadByWidth)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    struct Case {
        LONG width, height;
        ULONG payload;
    } cases[] = {
        {720, 576, 829440}, {720, 480, 829440}, {704, 576, 829440}, {352, 288, 811008}, {352, 240, 811008},
        {176, 144, 811008}, {640, 480, 614400}, {320, 240, 614400}, {160, 120, 614400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        ULONG raw = 0;
        ASSERT_EQ(Allocate(c.width, c.height, &raw), STATUS_SUCCESS);
        EXPECT_EQ(ctx->frameDataSize, c.payload);
        EXPECT_EQ(raw, (c.payload + 6 + 3071) / 3072 * 3072);
        EXPECT_EQ(ctx->frameWidth, c.width);
        EXPECT_EQ(ctx->frameHeight, c.height);
        ASSERT_EQ(CamFreeBandwidthEx(nullptr, ctx, 0), STATUS_SUCCESS);
    }
}

TEST_F(BandwidthTest, LowBandwidthTriesRowTwoThenOne)
{
    struct Case {
        uint32_t budget;
        NTSTATUS status;
        ULONG row;
        UCHAR reduced;
    } cases[] = {
        {0xFFFFFFFF, STATUS_SUCCESS, 2, 0},  // 256-byte packets
        {128, STATUS_SUCCESS, 1, 1},         // row 2 refused
        {127, STATUS_INSUFFICIENT_RESOURCES, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.budget);
        ASSERT_EQ(StartDevice(Budget(c.budget, true)), STATUS_SUCCESS);
        DeviceContext* ctx = Ctx();
        ASSERT_EQ(ctx->highBandwidth, 0);
        for (LONG width : {160, 320, 720}) {
            ULONG raw = 0xDEAD;
            ASSERT_EQ(Allocate(width, width * 3 / 4, &raw), c.status);
            EXPECT_EQ(ctx->frameDataSize, 28512u);
            EXPECT_EQ(ctx->bandwidthReduced, c.reduced);
            if (c.status == STATUS_SUCCESS) {
                EXPECT_EQ(ctx->alternateSettingIndex, c.row);
                EXPECT_EQ(Board().AlternateSetting(), c.row);
                const ULONG packet = c.row == 2 ? 256 : 128;
                EXPECT_EQ(raw, (28512u + 6 + packet - 1) / packet * packet);
            } else {
                EXPECT_EQ(raw, 0u);
            }
        }
        Discard();
    }
}

TEST_F(BandwidthTest, LowBandwidthModeNeverTriesRowsAboveTwo)
{
    // On a board that has every setting, the low-bandwidth mode still starts
    // at row 2.
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ctx->highBandwidth = 0;
    ASSERT_EQ(Allocate(160, 120), STATUS_SUCCESS);
    EXPECT_EQ(ctx->alternateSettingIndex, 2u);
    EXPECT_EQ(ctx->bandwidthReduced, 0);
    EXPECT_EQ(Board().AlternateSetting(), 2);
}

TEST_F(BandwidthTest, EveryRowRefused)
{
    ASSERT_EQ(StartDevice(Budget(0)), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    Board().ClearTrace();
    ctx->frameWidth = 11;
    ULONG raw = 0xDEAD;
    EXPECT_EQ(Allocate(720, 576, &raw), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(raw, 0u);
    EXPECT_NE(ctx->pipelineHandle, nullptr);
    EXPECT_EQ(ctx->frameDataSize, 829440u);
    EXPECT_EQ(ctx->bandwidthReduced, 1);
    EXPECT_EQ(ctx->frameWidth, 11) << "nothing past the rows is done";
    EXPECT_TRUE(BridgeAccesses().empty());
    EXPECT_FALSE(reg::KeyExists(SettingsKey()));
    EXPECT_EQ(Board().AlternateSetting(), 0);
}

TEST_F(BandwidthTest, RegistersWrittenForEachWidth)
{
    struct Case {
        bool lowBandwidth;
        LONG width;
        std::vector<std::pair<uint16_t, uint16_t>> writes;  // 0x104.. and 0x110.. in order
        USHORT saved[3];
    } cases[] = {
        {false, 352, {{0x104, 0}, {0x105, 0}, {0x106, 0}, {0x110, 0x01}, {0x111, 0x00}, {0x112, 0x03},
                      {0x113, 0x00}, {0x114, 0x81}, {0x115, 0x05}, {0x116, 0xF3}, {0x117, 0x00}}, {0, 0, 0}},
        {false, 176, {{0x104, 0}, {0x105, 0}, {0x106, 0}, {0x110, 0x01}, {0x111, 0x00}, {0x112, 0x03},
                      {0x113, 0x00}, {0x114, 0x81}, {0x115, 0x05}, {0x116, 0xF3}, {0x117, 0x00}}, {0, 0, 0}},
        {false, 720, {{0x106, 0}}, {0, 0, 0}},
        {false, 640, {{0x106, 0}}, {0, 0, 0}},
        {false, 320, {{0x106, 0}}, {0, 0, 0}},
        {false, 160, {{0x106, 0}}, {0, 0, 0}},
        {true, 160, {{0x104, 3}, {0x105, 5}, {0x106, 0x1F}}, {3, 5, 0x1F}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width + (c.lowBandwidth ? 10000 : 0));
        sim::BoardConfig config = Traced();
        config.lowBandwidth = c.lowBandwidth;
        ASSERT_EQ(StartDevice(config), STATUS_SUCCESS);
        DeviceContext* ctx = Ctx();
        for (USHORT& saved : ctx->savedScalerRegs) saved = 0x77;
        Board().ClearTrace();
        ASSERT_EQ(Allocate(c.width, c.width * 3 / 4), STATUS_SUCCESS);

        // The scaler writes are this step's alone; the window writes follow
        // them directly.
        const std::vector<BridgeAccess> accesses = BridgeAccesses();
        size_t first = accesses.size();
        for (size_t i = 0; i < accesses.size(); ++i) {
            if (accesses[i].write && accesses[i].reg >= 0x104 && accesses[i].reg <= 0x106) {
                first = i;
                break;
            }
        }
        ASSERT_LT(first, accesses.size());
        for (size_t i = 0; i < c.writes.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_LT(first + i, accesses.size());
            EXPECT_TRUE(accesses[first + i].write);
            EXPECT_EQ(accesses[first + i].reg, c.writes[i].first);
            EXPECT_EQ(accesses[first + i].value, c.writes[i].second);
        }
        ASSERT_LT(first + c.writes.size(), accesses.size());
        const uint16_t next = accesses[first + c.writes.size()].reg;
        EXPECT_FALSE(next >= 0x104 && next <= 0x106);
        EXPECT_FALSE(next >= 0x110 && next <= 0x117);
        EXPECT_EQ(IndexOfLast(accesses, 0x106), first + (c.writes.size() > 3 ? 2 : c.writes.size() - 1));

        for (int i = 0; i < 3; ++i) EXPECT_EQ(ctx->savedScalerRegs[i], c.saved[i]);
        EXPECT_EQ(Board().GetBridge().PreviewScaler(), c.lowBandwidth);
        Discard();
    }
}

TEST_F(BandwidthTest, PipelineSurvivesFreeAndReallocation)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    const PPL_HANDLE handle = ctx->pipelineHandle;
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(CamFreeBandwidthEx(nullptr, ctx, 0), STATUS_SUCCESS);
    EXPECT_EQ(Board().AlternateSetting(), 0);
    EXPECT_EQ(ctx->interfaceInfo->AlternateSetting, 0);
    EXPECT_EQ(ctx->alternateSettingIndex, 5u) << "kept after the free";
    EXPECT_EQ(ctx->frameDataSize, 614400u);
    ASSERT_EQ(Allocate(320, 240), STATUS_SUCCESS);
    EXPECT_EQ(ctx->pipelineHandle, handle);
    EXPECT_EQ(pool::OutstandingCount(zelpipe::kPipelinePoolTag), 1u);
}

TEST_F(BandwidthTest, NoPipelineNoFullModeCapture)
{
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    Board().ClearTrace();
    pool::FailTag(zelpipe::kPipelinePoolTag);
    ULONG raw = 0xDEAD;
    EXPECT_EQ(Allocate(720, 576, &raw), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(raw, 0u);
    EXPECT_EQ(ctx->pipelineHandle, nullptr);
    EXPECT_TRUE(BridgeAccesses().empty());
    EXPECT_EQ(Board().AlternateSetting(), 0);

    // Memory back: the next start of the stream gets its pipeline.
    pool::ClearFaults();
    EXPECT_EQ(Allocate(720, 576, &raw), STATUS_SUCCESS);
    EXPECT_NE(ctx->pipelineHandle, nullptr);
    EXPECT_EQ(raw, 271u * 3072u);
}

TEST_F(BandwidthTest, LowBandwidthRunsWithoutPipeline)
{
    // The small converters do not need the pipeline.
    sim::BoardConfig config;
    config.lowBandwidth = true;
    ASSERT_EQ(StartDevice(config), STATUS_SUCCESS);
    pool::FailTag(zelpipe::kPipelinePoolTag);
    EXPECT_EQ(Allocate(160, 120), STATUS_SUCCESS);
    pool::ClearFaults();
    EXPECT_EQ(Ctx()->pipelineHandle, nullptr);
    EXPECT_EQ(Ctx()->alternateSettingIndex, 2u);
}

TEST_F(BandwidthTest, OtherStreamsChangeNothing)
{
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    Board().ClearTrace();
    ctx->frameTimingEnabled = 1;
    ULONG raw = 0x12345678;
    EXPECT_EQ(Allocate(720, 576, &raw, 1), STATUS_SUCCESS);
    EXPECT_EQ(raw, 0x12345678u);
    EXPECT_EQ(ctx->pipelineHandle, nullptr);
    EXPECT_EQ(ctx->frameDataSize, 0u);
    EXPECT_EQ(CamStartCaptureEx(nullptr, ctx, 1), STATUS_SUCCESS);
    EXPECT_EQ(ctx->frameTimingEnabled, 1u);
    EXPECT_EQ(CamStopCaptureEx(nullptr, ctx, 1), STATUS_SUCCESS);
    EXPECT_EQ(CamFreeBandwidthEx(nullptr, ctx, 1), STATUS_SUCCESS);
    EXPECT_EQ(CamStopCaptureEx(nullptr, ctx, 7), STATUS_SUCCESS);
    EXPECT_TRUE(Board().GetTrace().Records().empty());
    EXPECT_FALSE(reg::KeyExists(SettingsKey())) << "no save for another stream";
    EXPECT_EQ(Board().AlternateSetting(), 0);
}

TEST_F(BandwidthTest, VersionOneEntriesAreTheStreamZeroCalls)
{
    ASSERT_EQ(StartDevice(Budget(2048)), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat(352, 288);
    ULONG raw = 0;
    ASSERT_EQ(CameraCallbacksV1.CamAllocateBandwidth(nullptr, ctx, &raw, &format), STATUS_SUCCESS);
    EXPECT_EQ(ctx->alternateSettingIndex, 3u);
    EXPECT_EQ(raw, (811008u + 6 + 2047) / 2048 * 2048);
    ctx->frameTimingEnabled = 1;
    EXPECT_EQ(CameraCallbacksV1.CamStartCapture(nullptr, ctx), STATUS_SUCCESS);
    EXPECT_EQ(ctx->frameTimingEnabled, 0u);
    EXPECT_EQ(CameraCallbacksV1.CamStopCapture(nullptr, ctx), (NTSTATUS)1);
    EXPECT_EQ(reg::ValueNames(SettingsKey()).size(), (size_t)SETTINGS_COUNT);
    EXPECT_EQ(CameraCallbacksV1.CamFreeBandwidth(nullptr, ctx), STATUS_SUCCESS);
    EXPECT_EQ(Board().AlternateSetting(), 0);
    EXPECT_EQ(CameraCallbacksV1.CamProcessRawVideoFrame, nullptr);

    // Arguments the library never passes are refused, not followed.
    EXPECT_EQ(CamAllocateBandwidth(nullptr, ctx, nullptr, &format), STATUS_INVALID_PARAMETER);
    raw = 5;
    EXPECT_EQ(CamAllocateBandwidth(nullptr, ctx, &raw, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(raw, 0u);
}

TEST_F(BandwidthTest, StartCaptureOnlyTurnsTheTimingOff)
{
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    ASSERT_EQ(Board().WriteRegister(0x100, 0x73), STATUS_SUCCESS);
    Board().ClearTrace();
    ctx->frameTimingEnabled = 1;
    EXPECT_EQ(CamStartCaptureEx(nullptr, ctx, 0), STATUS_SUCCESS);
    EXPECT_EQ(ctx->frameTimingEnabled, 0u);
    EXPECT_TRUE(Board().GetTrace().Records().empty());
    EXPECT_EQ(Board().BridgeRegister(0x100), 0x73);
}

// ----------------------------------------------------------------- stop ---

TEST_F(StopTest, QuiescesTheBridgeFromWhatItReads)
{
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    for (auto [r, v] : {std::pair<uint16_t, uint16_t>{0x000, 0xFF}, {0x001, 0x55}, {0x002, 0x11}, {0x003, 0x40}}) {
        ASSERT_EQ(Board().WriteRegister(r, v), STATUS_SUCCESS);
    }
    Board().ClearTrace();
    EXPECT_EQ(CamStopCaptureEx(nullptr, ctx, 0), (NTSTATUS)1);
    const std::vector<Step> steps = StopSteps();
    ASSERT_EQ(steps.size(), 5u);
    // Register 0x000 reads back the clock line in bit 7, whatever was written.
    // Registers 0x000 and 0x001 read back bus line levels in bits 7 and 0,
    // so their reads are taken from the trace.
    ExpectSteps(steps, Expected({0x11, 0x40, steps[2].read, steps[3].read, steps[4].read}));
    EXPECT_EQ(steps[2].read & 0x7F, 0x7F);
    EXPECT_EQ(Board().BridgeRegister(0x002), 0x91);
    EXPECT_EQ(Board().BridgeRegister(0x003), 0x41);
    EXPECT_EQ(Board().BridgeRegister(0x000) & 0x7F, steps[4].written & 0x7F);
    EXPECT_EQ(Board().BridgeRegister(0x000) & 0x20, 0) << "bit 5 ends cleared";
}

// A read that failed gives no register value: the register is left as it
// is rather than written with bits built from 0xFF00.
TEST_F(StopTest, RegistersWhoseReadFailedAreNotWritten)
{
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);

    // Every transfer fails: five reads, no write.
    Board().ClearTrace();
    sim::ControlFaults all;
    all.random = sim::FaultKnob::Random(1.0);
    Board().SetControlFaults(all);
    EXPECT_EQ(CamStopCaptureEx(nullptr, ctx, 0), (NTSTATUS)1) << "the settings were still saved";
    std::vector<uint16_t> reads;
    for (const BridgeAccess& a : BridgeAccesses()) {
        EXPECT_FALSE(a.write) << "register 0x" << std::hex << a.reg;
        reads.push_back(a.reg);
    }
    EXPECT_EQ(reads, (std::vector<uint16_t>{0x002, 0x003, 0x000, 0x001, 0x000}));

    // Only the read of register 0x003 fails: it keeps its bits, the others
    // are quiesced as usual.
    Board().SetControlFaults({});
    ASSERT_EQ(Board().WriteRegister(0x003, 0x40), STATUS_SUCCESS);
    sim::ControlFaults one;
    one.nth = sim::FaultKnob::Once(3);
    Board().SetControlFaults(one);
    Board().ClearTrace();
    EXPECT_EQ(CamStopCaptureEx(nullptr, ctx, 0), (NTSTATUS)1);
    const std::vector<BridgeAccess> accesses = BridgeAccesses();
    ASSERT_EQ(accesses.size(), 9u);
    EXPECT_TRUE(accesses[2].failed);
    EXPECT_EQ(accesses[3].reg, 0x000) << "no write of register 0x003";
    EXPECT_EQ(Board().BridgeRegister(0x003), 0x40);
    EXPECT_EQ(Board().BridgeRegister(0x002) & 0x80, 0x80);
}

TEST_F(StopTest, SavesAllSettingsAndReportsARegistryFailure)
{
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    ASSERT_TRUE(reg::DeleteKey(SettingsKey()));
    ctx->brightness = 99;
    EXPECT_EQ(CamStopCaptureEx(nullptr, ctx, 0), (NTSTATUS)1);
    EXPECT_EQ(reg::ValueNames(SettingsKey()).size(), (size_t)SETTINGS_COUNT);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "Brightness"), 99u);

    // The driver key cannot be opened: the stop reports it, and the bridge
    // is quiesced all the same.
    Board().ClearTrace();
    ctx->brightness = 7;
    kv::kernel::InjectFailure("IoOpenDeviceRegistryKey", STATUS_ACCESS_DENIED);
    EXPECT_EQ(CamStopCaptureEx(nullptr, ctx, 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reg::GetDword(SettingsKey(), "Brightness"), 99u);
    EXPECT_EQ(StopSteps().size(), 5u);
}

// ---------------------------------------------------------- whole cycle ---

TEST_F(BandwidthTest, CompleteCycleLeavesNoPoolAllocationBehind)
{
    const size_t before = pool::OutstandingCount();
    for (bool lowBandwidth : {false, true}) {
        SCOPED_TRACE(lowBandwidth);
        sim::BoardConfig config;
        config.lowBandwidth = lowBandwidth;
        ASSERT_EQ(StartDevice(config), STATUS_SUCCESS);
        DeviceContext* ctx = Ctx();
        for (int run = 0; run < 2; ++run) {
            ULONG raw = 0;
            ASSERT_EQ(Allocate(lowBandwidth ? 160 : 720, lowBandwidth ? 120 : 576, &raw), STATUS_SUCCESS);
            ASSERT_EQ(CamStartCaptureEx(nullptr, ctx, 0), STATUS_SUCCESS);
            ASSERT_EQ(CamStopCaptureEx(nullptr, ctx, 0), (NTSTATUS)1);
            ASSERT_EQ(CamFreeBandwidthEx(nullptr, ctx, 0), STATUS_SUCCESS);
        }
        ASSERT_TRUE(Device().Uninitialize().ok());
        EXPECT_EQ(pool::OutstandingCount(kDriverTag), 0u) << pool::LeakReport();
        EXPECT_EQ(pool::OutstandingCount(zelpipe::kPipelinePoolTag), 0u);
        EXPECT_EQ(ctx->pipelineHandle, nullptr);
        EXPECT_EQ(ctx->interfaceInfo, nullptr);
        for (PUCHAR slot : ctx->fieldRing) EXPECT_EQ(slot, nullptr);
        device_.reset();
        driver_.reset();
        port_.reset();
        board_.reset();
        EXPECT_EQ(pool::OutstandingCount(), before) << pool::LeakReport();
        Discard();
    }
}

// ------------------------------------------------- failed writes at start ---

namespace {

enum class Failing { Once, Always };

struct StartWriteCase {
    const char* what;
    uint16_t reg;      // the bridge register whose write fails
    Failing failing;
    NTSTATUS expected;
};

}  // namespace

// A start whose decoder input, standard, window or scaler write is lost
// would stream black with every status a success: one lost write is made
// good by a second try, a write that keeps failing fails the start with its
// status and gives the bandwidth back.
TEST_F(BandwidthTest, WritesThatMakeThePictureAreCheckedAtStart)
{
    const StartWriteCase cases[] = {
        {"decoder input select", 0x205, Failing::Once, STATUS_SUCCESS},
        {"I2C command", 0x200, Failing::Once, STATUS_SUCCESS},
        {"capture window", 0x116, Failing::Once, STATUS_SUCCESS},
        {"scaler", 0x106, Failing::Once, STATUS_SUCCESS},
        {"decoder input select", 0x205, Failing::Always, STATUS_UNSUCCESSFUL},
        {"capture window", 0x116, Failing::Always, STATUS_UNSUCCESSFUL},
        {"scaler", 0x106, Failing::Always, STATUS_UNSUCCESSFUL},
    };
    const sim::BoardConfig config = Traced();
    for (const StartWriteCase& c : cases) {
        SCOPED_TRACE(c.what);
        SCOPED_TRACE(c.failing == Failing::Once ? "once" : "always");
        // Where the last write of that register falls in a clean start: the
        // last input select is the one the stream runs with.
        ASSERT_EQ(StartDevice(config), STATUS_SUCCESS);
        reg::SetDword(SettingsKey(), "InputChannel", 1);
        const auto& before = Board().GetTrace().Records();
        const uint64_t base = before.empty() ? 0 : before.back().sequence + 1;
        ASSERT_EQ(Allocate(720, 480), STATUS_SUCCESS);
        const std::vector<BridgeAccess> clean = BridgeAccesses();
        const std::vector<int> cleanWindow = WindowRegisters();
        const uint64_t nth = clean[IndexOfLast(clean, c.reg)].number - base;
        Discard();

        ASSERT_EQ(StartDevice(config), STATUS_SUCCESS);
        reg::SetDword(SettingsKey(), "InputChannel", 1);
        sim::ControlFaults faults;
        if (c.failing == Failing::Once) {
            faults.nth = sim::FaultKnob::Once(nth);
        } else {
            faults.everyRegister = c.reg;
        }
        Board().SetControlFaults(faults);
        ULONG raw = 0xDEAD;
        EXPECT_EQ(Allocate(720, 480, &raw), c.expected);
        Board().SetControlFaults({});
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(DecoderAt(0xBA).Peek(0x00), 0x01) << "input 1 selected";
            EXPECT_EQ(WindowRegisters(), cleanWindow);
            EXPECT_EQ(Board().BridgeRegister(0x106), 0);
            EXPECT_NE(Board().AlternateSetting(), 0);
        } else {
            EXPECT_EQ(raw, 0u);
            EXPECT_EQ(Board().AlternateSetting(), 0) << "bandwidth given back";
        }
        Discard();
    }
}

// An unplugged device refuses every alternate setting; that is no shortage
// of bandwidth, and the start says so.
TEST_F(BandwidthTest, UnpluggedDeviceFailsTheStartAsNotConnected)
{
    for (bool lowBandwidth : {false, true}) {
        SCOPED_TRACE(lowBandwidth ? "low bandwidth" : "full");
        ASSERT_EQ(StartDevice(Budget(0xFFFFFFFFu, lowBandwidth)), STATUS_SUCCESS);
        Board().Unplug();
        Board().ClearTrace();
        ULONG raw = 0xDEAD;
        EXPECT_EQ(Allocate(160, 120, &raw), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(raw, 0u);
        EXPECT_TRUE(BridgeAccesses().empty()) << "nothing programmed";
        EXPECT_FALSE(reg::KeyExists(SettingsKey()));
        Discard();
    }
}
