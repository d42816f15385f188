// Faults on the bus, from the board's knobs, seen through the whole stack:
// whatever the packets suffer, a delivered frame is whole and in order, the
// frames that could not be delivered are counted and reported, and an
// unplugged device ends the stream cleanly.
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr LONGLONG kSecond = 10'000'000;

class FaultsTest : public EndToEndTest {
protected:
    // NTSC, YUY2 640 x 480: 200 packets a frame at alternate setting 5.
    app::Pin& RunPin(const std::function<void(sim::BoardConfig&)>& adjust = {}, ULONG readDepth = 3)
    {
        const int formatIndex = 5;
        app::Filter& filter = OpenFilter(LineSystem::L525, false, adjust);
        EXPECT_EQ(filter.SetVideoStandard(kNtsc), STATUS_SUCCESS);
        const auto formats = filter.Formats();
        EXPECT_EQ(filter.Intersect(formats.at(static_cast<size_t>(formatIndex)), &format_), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        app::Pin* pin = filter.OpenPin(format_, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_NE(pin, nullptr);
        pin->SetReadDepth(readDepth);
        EXPECT_EQ(pin->Run(), STATUS_SUCCESS);
        return *pin;
    }

    // Reads until `wanted` frames came or two seconds of emulated time passed.
    std::vector<app::Frame> ReadFrames(app::Pin& pin, size_t wanted)
    {
        std::vector<app::Frame> frames;
        const LONGLONG deadline = kv::kernel::clock::Now() + 2 * kSecond;
        while (frames.size() < wanted && kv::kernel::clock::Now() < deadline) {
            app::Frame frame;
            const NTSTATUS status = pin.ReadFrame(&frame, kSecond);
            if (status != STATUS_SUCCESS) {
                ADD_FAILURE() << "read: " << app::StatusText(status);
                break;
            }
            frames.push_back(std::move(frame));
        }
        return frames;
    }

    // Every delivered frame is whole and shows the board's picture; frames
    // come in the board's order, and the picture numbers skip exactly the
    // frames counted as dropped in between.
    void ExpectWholeFramesInOrder(const std::vector<app::Frame>& frames)
    {
        const Geometry g = GeometryOf(format_, LineSystem::L525, false);
        int previousCounter = -1;
        for (size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            const app::Frame& f = frames[i];
            ASSERT_EQ(f.data.size(), format_.ImageSize());
            if (i > 0) {
                EXPECT_EQ(f.pictureNumber - frames[i - 1].pictureNumber - 1, f.dropCount - frames[i - 1].dropCount);
                EXPECT_GT(f.presentationTime, frames[i - 1].presentationTime);
            }
            if (i == 0) continue;  // woven with a field from before the start
            const sim::FieldMarks marks = sim::DecodeFieldMarks(ImageOf(f.data, g), g.layout);
            ASSERT_TRUE(marks.valid);
            EXPECT_EQ(marks.parity, sim::FieldParity::Woven);
            if (previousCounter >= 0) {
                EXPECT_GT(marks.counter, previousCounter);
            }
            previousCounter = marks.counter;
        }
    }

    // The dropped-frames property and the library's statistics agree, and
    // the reasons add up.
    USBCAMD_STREAM_STATISTICS ExpectConsistentCounts(app::Pin& pin)
    {
        app::DroppedFrames dropped;
        USBCAMD_STREAM_STATISTICS s{};
        EXPECT_EQ(pin.GetDroppedFrames(&dropped), STATUS_SUCCESS);
        EXPECT_EQ(pin.GetStatistics(&s), STATUS_SUCCESS);
        EXPECT_EQ(dropped.dropCount, s.DropCount);
        EXPECT_EQ(dropped.pictureNumber, s.PictureNumber);
        EXPECT_EQ(s.PictureNumber, s.FramesDelivered + s.DropCount);
        EXPECT_EQ(s.DropCount, s.DroppedNoRequest + s.DroppedByCamera + s.DroppedOverflow + s.DroppedTooEarly +
                                   s.DroppedConversion + s.DroppedBusy);
        return s;
    }

    app::Format format_;
};

struct PacketFault {
    const char* name;
    sim::FaultKnob sim::IsoFaults::*knob;
    double probability;
};

class PacketFaults : public FaultsTest, public ::testing::WithParamInterface<PacketFault> {};

TEST_P(PacketFaults, DamagedFramesAreDroppedAndCountedWholeOnesDelivered)
{
    const PacketFault fault = GetParam();
    app::Pin& pin = RunPin([&](sim::BoardConfig& config) {
        config.seed = 7;
        config.isoFaults.*fault.knob = sim::FaultKnob::Random(fault.probability);
    });
    const auto frames = ReadFrames(pin, 12);
    ASSERT_EQ(frames.size(), 12u);
    ExpectWholeFramesInOrder(frames);
    const USBCAMD_STREAM_STATISTICS s = ExpectConsistentCounts(pin);
    // The packet routine's checks caught the damage: nothing else dropped.
    EXPECT_GT(s.DroppedByCamera, 0);
    EXPECT_EQ(s.DropCount, s.DroppedByCamera);
    EXPECT_GE(frames.back().dropCount, 1);
    EXPECT_EQ(pin.Stop(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Board, PacketFaults,
    ::testing::Values(PacketFault{"LostPackets", &sim::IsoFaults::lostPacket, 0.002},
                      PacketFault{"ErrorPackets", &sim::IsoFaults::packetError, 0.002},
                      PacketFault{"OddLengthPackets", &sim::IsoFaults::oddLength, 0.002},
                      PacketFault{"TruncatedFields", &sim::IsoFaults::truncatedField, 0.15}),
    [](const auto& info) { return std::string(info.param.name); });

// A changed payload byte cannot be told from picture: the frame keeps its
// size and order, and the damage stays where it fell.
TEST_F(FaultsTest, CorruptedPayloadBytesStayLocal)
{
    app::Pin& pin = RunPin([](sim::BoardConfig& config) { config.isoFaults.corruptByte = sim::FaultKnob::Random(0.05); });
    const auto frames = ReadFrames(pin, 8);
    ASSERT_EQ(frames.size(), 8u);
    ExpectWholeFramesInOrder(frames);
    const USBCAMD_STREAM_STATISTICS s = ExpectConsistentCounts(pin);
    EXPECT_EQ(s.DropCount, 0);
    EXPECT_GT(board_->VideoCounters().dataPackets, 0u);
}

TEST_F(FaultsTest, FramesWithoutAWaitingReadAreCountedAsDropped)
{
    app::Pin& pin = RunPin({}, 1);
    app::Frame frame;
    ASSERT_EQ(pin.ReadFrame(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.dropCount, 0);
    // The application stalls for a quarter of a second with one read queued:
    // it takes the next frame, the others find no buffer.
    kv::kernel::clock::Pump(kSecond / 4);
    const USBCAMD_STREAM_STATISTICS s = ExpectConsistentCounts(pin);
    EXPECT_GE(s.DroppedNoRequest, 5);
    EXPECT_EQ(s.DropCount, s.DroppedNoRequest);
    ASSERT_EQ(pin.ReadFrame(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.dropCount, 0);
    // The frame after the stall tells how many went by.
    ASSERT_EQ(pin.ReadFrame(&frame), STATUS_SUCCESS);
    EXPECT_GE(frame.dropCount, 5);
    EXPECT_EQ(frame.pictureNumber, 3 + frame.dropCount);
}

TEST_F(FaultsTest, UnplugMidStreamEndsTheReadsAndTheStreamStopsCleanly)
{
    // About three frames into the stream.
    app::Pin& pin = RunPin([](sim::BoardConfig& config) { config.isoFaults.unplug = sim::FaultKnob::Once(600); });
    std::vector<app::Frame> frames;
    NTSTATUS status = STATUS_SUCCESS;
    while (status == STATUS_SUCCESS && frames.size() < 20) {
        app::Frame frame;
        status = pin.ReadFrame(&frame, kSecond);
        if (status == STATUS_SUCCESS) frames.push_back(std::move(frame));
    }
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_GE(frames.size(), 1u);
    EXPECT_LE(frames.size(), 3u);
    ExpectWholeFramesInOrder(frames);
    // Nothing waits any more, and later reads are refused at once.
    EXPECT_EQ(pin.Stream().PendingReads(), 0u);
    app::Frame late;
    EXPECT_EQ(pin.ReadFrame(&late, kSecond), STATUS_DEVICE_NOT_CONNECTED);
    USBCAMD_STREAM_STATISTICS s = ExpectConsistentCounts(pin);
    EXPECT_EQ(s.TransferStatus, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(kv::kernel::scheduler::SetTimerCount(), 0u) << "the transfers' timer still runs";

    EXPECT_EQ(pin.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin.State(), KSSTATE_STOP);
    EXPECT_EQ(pin.Close(), STATUS_SUCCESS);
    filter_.reset();  // device stop against a device that is gone
    EXPECT_EQ(kv::kernel::pool::OutstandingCount(), 0u) << kv::kernel::pool::LeakReport();
}

TEST_F(FaultsTest, UnplugWhilePausedLetsTheNextRunFailAndStillStopsCleanly)
{
    app::Pin& pin = RunPin();
    app::Frame frame;
    ASSERT_EQ(pin.ReadFrame(&frame), STATUS_SUCCESS);
    ASSERT_EQ(pin.Pause(), STATUS_SUCCESS);
    board_->Unplug();
    // Starting again succeeds as far as the camera can tell; the transfers
    // then find the device gone.
    pin.Run();
    EXPECT_EQ(pin.ReadFrame(&frame, kSecond), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pin.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin.Close(), STATUS_SUCCESS);
    filter_.reset();
    EXPECT_EQ(kv::kernel::pool::OutstandingCount(), 0u) << kv::kernel::pool::LeakReport();
}

TEST_F(FaultsTest, RunAfterAnUnplugWhileStoppedReportsTheDeviceGone)
{
    app::Pin& pin = RunPin();
    app::Frame frame;
    ASSERT_EQ(pin.ReadFrame(&frame), STATUS_SUCCESS);
    ASSERT_EQ(pin.Stop(), STATUS_SUCCESS);
    board_->Unplug();
    EXPECT_EQ(pin.Run(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pin.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin.Close(), STATUS_SUCCESS);
    filter_.reset();
    EXPECT_EQ(kv::kernel::pool::OutstandingCount(), 0u) << kv::kernel::pool::LeakReport();
}

TEST_F(FaultsTest, StopAndCloseWithReadsQueuedCancelThemAndLeakNothing)
{
    app::Pin& pin = RunPin({}, 5);
    app::Frame frame;
    ASSERT_EQ(pin.ReadFrame(&frame), STATUS_SUCCESS);
    EXPECT_EQ(pin.ReadsInFlight(), 5u);
    auto extra = pin.Stream().Read(format_.ImageSize());
    ASSERT_EQ(pin.Pause(), STATUS_SUCCESS);
    EXPECT_FALSE(extra->Completed()) << "a pause keeps the reads";
    ASSERT_EQ(pin.Stop(), STATUS_SUCCESS);
    ASSERT_TRUE(extra->Completed());
    EXPECT_EQ(extra->result().status, STATUS_CANCELLED);
    EXPECT_EQ(pin.Stream().PendingReads(), 0u);

    // Running again starts afresh: picture numbers count from 1.
    ASSERT_EQ(pin.Run(), STATUS_SUCCESS);
    ASSERT_EQ(pin.ReadFrame(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.pictureNumber, 1);
    EXPECT_EQ(pin.Close(), STATUS_SUCCESS);
    filter_.reset();
    EXPECT_EQ(kv::kernel::pool::OutstandingCount(), 0u) << kv::kernel::pool::LeakReport();
}

}  // namespace
}  // namespace e2e
