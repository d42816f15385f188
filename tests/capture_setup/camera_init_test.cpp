// Device start and teardown on the simulated board: decoder detection for
// every decoder, the patch-or-short-table decision, the operating mode from
// the descriptor length, failing bridge writes, field ring allocation
// failures and reuse.
#include <algorithm>
#include <memory>

#include "tests/capture_setup/setup_fixture.h"

using namespace setuptest;

namespace {

class CameraInitTest : public SetupTest {};

sim::BoardConfig With5150Id(uint8_t reg83)
{
    sim::BoardConfig config;
    config.decoder5150.id[3] = reg83;
    return config;
}

sim::BoardConfig LowBandwidth(uint16_t descriptorLength)
{
    sim::BoardConfig config;
    config.lowBandwidth = true;
    config.lowBandwidthDescriptorLength = descriptorLength;
    return config;
}

bool ShortTableWritten(const sim::RegisterFileDevice& decoder)
{
    const std::vector<std::pair<uint8_t, uint8_t>> shortTable = {{0x08, 0x08}, {0x0F, 0x0A}, {0x30, 0x01}, {0x03, 0x6F}};
    const auto& log = decoder.WriteLog();
    return std::search(log.begin(), log.end(), shortTable.begin(), shortTable.end()) != log.end();
}

}  // namespace

TEST_F(CameraInitTest, DetectsEachDecoderWithItsAddressAndMode)
{
    struct Case {
        sim::DecoderKind kind;
        LONG type;
        USHORT address;
    } cases[] = {
        {sim::DecoderKind::Type110, DECODER_TYPE_88, DECODER_ADDRESS_88},
        {sim::DecoderKind::Type111, DECODER_TYPE_4A, DECODER_ADDRESS_4A},
        {sim::DecoderKind::Type113, DECODER_TYPE_5150, DECODER_ADDRESS_5150},
        // Nothing answers either probe: the 5150 is assumed.
        {sim::DecoderKind::None, DECODER_TYPE_5150, DECODER_ADDRESS_5150},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        ASSERT_EQ(StartDevice(WithDecoder(c.kind)), STATUS_SUCCESS);
        DeviceContext* ctx = Ctx();
        EXPECT_EQ(ctx->decoderType, c.type);
        EXPECT_EQ(ctx->detectedDecoderType, c.type);
        EXPECT_EQ(ctx->decoderI2cAddress, c.address);
        EXPECT_EQ(ctx->currentI2cAddress, c.address);
        EXPECT_EQ(Board().BridgeRegister(BRIDGE_REG_I2C_ADDRESS), c.address);
        EXPECT_EQ(ctx->highBandwidth, 1);
        EXPECT_EQ(CurrentStreamDescription(), &FullStreamDescription);
        for (PUCHAR slot : ctx->fieldRing) EXPECT_NE(slot, nullptr);
        EXPECT_EQ(pool::OutstandingCount(kDriverTag), FIELD_RING_SLOTS + 1u) << "four fields and the interface copy";
        // Nothing of the pipeline exists before the first bandwidth allocation.
        EXPECT_EQ(ctx->pipelineHandle, nullptr);
        EXPECT_EQ(pool::OutstandingCount(zelpipe::kPipelinePoolTag), 0u);

        // The start-up table of the detected type is the last one written:
        // its window's vertical end (row 20) tells the types apart.
        const std::vector<BridgeAccess> windowEnds = WritesTo(0x116);
        ASSERT_FALSE(windowEnds.empty());
        const uint16_t expectedEnd = c.type == DECODER_TYPE_88 ? 0xF1 : c.type == DECODER_TYPE_4A ? 0xF3 : 0xFD;
        EXPECT_EQ(windowEnds.back().value, expectedEnd);
        // Type 110 costs one pass before the chosen table, the others two.
        EXPECT_EQ(windowEnds.size(), c.type == DECODER_TYPE_88 ? 2u : 3u);

        device_.reset();
        EXPECT_EQ(pool::OutstandingCount(kDriverTag), 0u);
        Discard();
    }
}

TEST_F(CameraInitTest, WaitsBeforeReadingTheDecoderIdentification)
{
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    // Two 3 ms probe pauses and the 100 ms settling time.
    EXPECT_EQ(kv::kernel::clock::TotalDelayed(), (3 + 3 + 100) * kv::kernel::clock::kUnitsPerMillisecond);
}

TEST_F(CameraInitTest, Register83DecidesBetweenPatchAndShortTable)
{
    struct Case {
        uint8_t reg83;
        bool patch;
        size_t reads;
    } cases[] = {
        {0x21, true, 1},   // patch on the first read
        {0xA8, true, 2},   // patch on the second read
        {0x00, false, 2},  // short table
        {0xA9, false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reg83);
        ASSERT_EQ(StartDevice(Traced(With5150Id(c.reg83))), STATUS_SUCCESS);
        EXPECT_EQ(I2cReadsOf(0x83).size(), c.reads);
        const sim::PatchReport* patch = Board().DecoderPatch();
        ASSERT_NE(patch, nullptr);
        EXPECT_EQ(patch->loads, c.patch ? 1u : 0u);
        if (c.patch) {
            EXPECT_TRUE(patch->completed);
            ASSERT_EQ(patch->image.size(), (size_t)DECODER_PATCH_IMAGE_BYTES);
            for (size_t i = 0; i < patch->image.size(); ++i) {
                ASSERT_EQ(patch->image[i], DecoderPatchImageByte((ULONG)i)) << "image byte " << i;
            }
        }
        EXPECT_EQ(ShortTableWritten(DecoderAt(DECODER_ADDRESS_5150)), !c.patch);

        Discard();
    }
}

TEST_F(CameraInitTest, DecoderTableGoesToTheDetectedDecoder)
{
    // The 0x88 decoder reads 0 at 0x83, so it receives the short table.
    ASSERT_EQ(StartDevice(WithDecoder(sim::DecoderKind::Type110)), STATUS_SUCCESS);
    EXPECT_TRUE(ShortTableWritten(DecoderAt(DECODER_ADDRESS_88)));
    EXPECT_EQ(Board().Device(DECODER_ADDRESS_5150), nullptr);
}

TEST_F(CameraInitTest, DescriptorLengthChoosesTheOperatingMode)
{
    struct Case {
        sim::BoardConfig config;
        USHORT highBandwidth;
    } cases[] = {
        {LowBandwidth(99), 0},
        {LowBandwidth(195), 0},
        {LowBandwidth(150), 1},  // a low-bandwidth board of another length runs in full mode
        {sim::BoardConfig{}, 1},  // the normal board, 231 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config.lowBandwidth ? c.config.lowBandwidthDescriptorLength : 231);
        ASSERT_EQ(StartDevice(c.config), STATUS_SUCCESS);
        EXPECT_EQ(Ctx()->highBandwidth, c.highBandwidth);
        const HW_STREAM_INFORMATION* expected =
            c.highBandwidth ? &FullStreamDescription : &LowBandwidthStreamDescription;
        EXPECT_EQ(CurrentStreamDescription(), expected);
        // What the stream class was told at the start.
        ASSERT_TRUE(Device().Description());
        ASSERT_EQ(Device().Description()->streams.size(), 1u);
        EXPECT_EQ(Device().Description()->streams[0].NumberOfFormatArrayEntries,
                  expected->NumberOfFormatArrayEntries);

        Discard();
    }
}

TEST_F(CameraInitTest, NoDescriptorLengthMeansFullMode)
{
    // A context the class library holds no device for reports a descriptor
    // length of 0, and every vendor request fails: the start-up tables fail,
    // detection ends at the 5150, no decoder table is written, and the mode
    // is full.
    ASSERT_EQ(StartDevice(LowBandwidth(99)), STATUS_SUCCESS);
    ASSERT_EQ(CurrentStreamDescription(), &LowBandwidthStreamDescription);

    struct Orphan {
        alignas(16) UCHAR libraryRecord[USBCAMD_DEVICE_RECORD_SIZE];
        DeviceContext context;
    };
    auto orphan = std::make_unique<Orphan>();
    std::memset(orphan.get(), 0, sizeof(Orphan));
    ASSERT_EQ(USBCAMD_DescriptorLength(&orphan->context), 0u);

    const NTSTATUS status = CamInitialize(nullptr, &orphan->context);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(orphan->context.decoderType, DECODER_TYPE_5150);
    EXPECT_EQ(orphan->context.highBandwidth, 1);
    EXPECT_EQ(CurrentStreamDescription(), &FullStreamDescription);
    EXPECT_EQ(CamUnInitialize(nullptr, &orphan->context), STATUS_SUCCESS);
    for (PUCHAR slot : orphan->context.fieldRing) EXPECT_EQ(slot, nullptr);
}

TEST_F(CameraInitTest, FailedWriteInTheFirstPassMovesDetectionOn)
{
    // A 0x88 decoder answers its probe, but a write of the first pass failed:
    // the pass stops there, and detection goes on to the 0x4A probe and ends
    // at the 5150 default.
    const sim::BoardConfig board = WithDecoder(sim::DecoderKind::Type110);
    const uint64_t fifth = TransferNumberDuringStart(board, [](const BridgeAccess& a) { return a.write; }, 5);
    ASSERT_NE(fifth, 0u);

    sim::BoardConfig faulty = board;
    faulty.controlFaults.nth = sim::FaultKnob::Once(fifth);
    ASSERT_EQ(StartDevice(faulty), STATUS_SUCCESS);
    EXPECT_EQ(Ctx()->decoderType, DECODER_TYPE_5150);
    EXPECT_EQ(Ctx()->decoderI2cAddress, DECODER_ADDRESS_5150);

    // The failed pair is the last one of the first pass: the next vendor
    // request is the probe's address write.
    const std::vector<BridgeAccess> accesses = BridgeAccesses();
    auto failed = std::find_if(accesses.begin(), accesses.end(), [](const BridgeAccess& a) { return a.failed; });
    ASSERT_NE(failed, accesses.end());
    EXPECT_EQ(failed->number, fifth);
    ASSERT_NE(failed + 1, accesses.end());
    EXPECT_EQ((failed + 1)->reg, BRIDGE_REG_I2C_ADDRESS);
    EXPECT_EQ((failed + 1)->value, DECODER_ADDRESS_88);
}

TEST_F(CameraInitTest, FailedLastWriteOfTheChosenTableFailsTheStart)
{
    struct Case {
        sim::DecoderKind kind;
        LONG type;
        int lastWriteOfChosenTable;  // which write of register 0x100 it is
    } cases[] = {
        {sim::DecoderKind::Type110, DECODER_TYPE_88, 2},
        {sim::DecoderKind::Type111, DECODER_TYPE_4A, 3},
        {sim::DecoderKind::Type113, DECODER_TYPE_5150, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        sim::BoardConfig board = WithDecoder(c.kind);
        board.lowBandwidth = true;  // the mode is still chosen after the failure
        const uint64_t last = TransferNumberDuringStart(
            board, [](const BridgeAccess& a) { return a.write && a.reg == 0x100; }, c.lastWriteOfChosenTable);
        ASSERT_NE(last, 0u);

        sim::BoardConfig faulty = board;
        faulty.controlFaults.nth = sim::FaultKnob::Once(last);
        const NTSTATUS status = StartDevice(faulty);
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << "the failing write's own status";

        DeviceContext* ctx = Ctx();
        EXPECT_EQ(ctx->decoderType, c.type);
        EXPECT_EQ(ctx->decoderI2cAddress, DecoderAddress(c.kind));
        EXPECT_EQ(ctx->highBandwidth, 0);
        EXPECT_EQ(CurrentStreamDescription(), &LowBandwidthStreamDescription);
        // The identification is still read, but no decoder table follows.
        EXPECT_FALSE(I2cReadsOf(0x83).empty());
        EXPECT_FALSE(ShortTableWritten(DecoderAt((uint8_t)ctx->decoderI2cAddress)));
        if (c.kind == sim::DecoderKind::Type113) {
            EXPECT_EQ(Board().DecoderPatch()->loads, 0u);
        }
        // The class library gave back what the failed start took.
        for (PUCHAR slot : ctx->fieldRing) EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(pool::OutstandingCount(kDriverTag), 0u);

        Discard();
    }
}

TEST_F(CameraInitTest, FieldBufferAllocationFailureReleasesEarlierSlots)
{
    ASSERT_EQ(StartDevice(Traced()), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ASSERT_EQ(CamUnInitialize(nullptr, ctx), STATUS_SUCCESS);
    ASSERT_EQ(pool::OutstandingCount(kDriverTag), 0u);

    for (uint64_t failing = 1; failing <= FIELD_RING_SLOTS; ++failing) {
        SCOPED_TRACE(failing);
        Board().ClearTrace();
        ctx->streamOpened = 1;
        pool::FailNth(failing);
        EXPECT_EQ(CamInitialize(nullptr, ctx), STATUS_INSUFFICIENT_RESOURCES);
        pool::ClearFaults();
        for (PUCHAR slot : ctx->fieldRing) EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(pool::OutstandingCount(kDriverTag), 0u);
        EXPECT_EQ(ctx->streamOpened, 0);
        EXPECT_TRUE(BridgeAccesses().empty()) << "the hardware is not touched";
    }
}

TEST_F(CameraInitTest, StartFailsCleanlyWhenTheFirstFieldBufferIsRefused)
{
    AddDevice(Traced());
    pool::FailTag(kDriverTag);
    EXPECT_EQ(Device().Start(), STATUS_INSUFFICIENT_RESOURCES);
    pool::ClearFaults();
    EXPECT_EQ(pool::OutstandingCount(kDriverTag), 0u);
    EXPECT_TRUE(BridgeAccesses().empty()) << "the hardware is not touched";
}

TEST_F(CameraInitTest, SecondStartWithoutTeardownReusesTheRing)
{
    ASSERT_EQ(StartDevice(WithDecoder(sim::DecoderKind::Type110)), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    PUCHAR before[FIELD_RING_SLOTS];
    std::memcpy(before, ctx->fieldRing, sizeof(before));
    // The pipeline exists once bandwidth was allocated; a later start hands
    // it the sensor type of the decoder found.
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    ASSERT_NE(ctx->pipelineHandle, nullptr);
    EXPECT_EQ(ReadPipeline(ctx->pipelineHandle).sensorType, 0);

    const uint64_t allocations = pool::AllocationCount();
    EXPECT_EQ(CamInitialize(nullptr, ctx), STATUS_SUCCESS);
    EXPECT_EQ(pool::AllocationCount(), allocations);
    EXPECT_EQ(std::memcmp(before, ctx->fieldRing, sizeof(before)), 0);
    EXPECT_EQ(ReadPipeline(ctx->pipelineHandle).sensorType, PPL_SENSOR_TYPE_22356);

    // One slot lost in between is the only one allocated anew.
    ExFreePool(ctx->fieldRing[2]);
    ctx->fieldRing[2] = nullptr;
    EXPECT_EQ(CamInitialize(nullptr, ctx), STATUS_SUCCESS);
    EXPECT_EQ(pool::AllocationCount(), allocations + 1);
    EXPECT_EQ(ctx->fieldRing[0], before[0]);
    EXPECT_EQ(ctx->fieldRing[3], before[3]);
    EXPECT_NE(ctx->fieldRing[2], nullptr);
}

TEST_F(CameraInitTest, SensorTypeByDecoder)
{
    struct Case {
        sim::DecoderKind kind;
        LONG sensor;
    } cases[] = {
        {sim::DecoderKind::Type110, PPL_SENSOR_TYPE_22356},
        {sim::DecoderKind::Type111, PPL_SENSOR_TYPE_18512},
        {sim::DecoderKind::Type113, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sensor);
        ASSERT_EQ(StartDevice(WithDecoder(c.kind)), STATUS_SUCCESS);
        ASSERT_EQ(Allocate(320, 240), STATUS_SUCCESS);
        ASSERT_EQ(CamInitialize(nullptr, Ctx()), STATUS_SUCCESS);
        EXPECT_EQ(ReadPipeline(Ctx()->pipelineHandle).sensorType, c.sensor);

        Discard();
    }
}

TEST_F(CameraInitTest, TeardownReleasesEverythingAndClearsThePointers)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceContext* ctx = Ctx();
    ASSERT_EQ(Allocate(720, 576), STATUS_SUCCESS);
    ASSERT_NE(ctx->pipelineHandle, nullptr);
    ctx->decoderType = DECODER_TYPE_5150;

    EXPECT_EQ(CamUnInitialize(nullptr, ctx), STATUS_SUCCESS);
    EXPECT_EQ(ctx->interfaceInfo, nullptr);
    EXPECT_EQ(ctx->pipelineHandle, nullptr);
    for (PUCHAR slot : ctx->fieldRing) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(pool::OutstandingCount(kDriverTag), 0u);
    EXPECT_EQ(pool::OutstandingCount(zelpipe::kPipelinePoolTag), 0u);
    EXPECT_EQ(ctx->decoderType, DECODER_TYPE_5150) << "codes keep their values";
    // A second teardown finds nothing left to release.
    EXPECT_EQ(CamUnInitialize(nullptr, ctx), STATUS_SUCCESS);
}

TEST_F(CameraInitTest, RestartAfterTeardownDetectsAfresh)
{
    ASSERT_EQ(StartDevice(WithDecoder(sim::DecoderKind::Type111)), STATUS_SUCCESS);
    ASSERT_TRUE(Device().Uninitialize().ok());
    EXPECT_EQ(pool::OutstandingCount(kDriverTag), 0u);
    Ctx()->decoderType = 0;
    ASSERT_EQ(Device().Start(), STATUS_SUCCESS);
    EXPECT_EQ(Ctx()->decoderType, DECODER_TYPE_4A);
    for (PUCHAR slot : Ctx()->fieldRing) EXPECT_NE(slot, nullptr);
}
