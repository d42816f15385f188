// Two boards plugged in at once, one in each mode: each device streams its
// own board's picture through its own driver key and USB port, with nothing
// crossing over, and both stop and go away cleanly.
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

class MultiDeviceTest : public EndToEndTest {};

TEST_F(MultiDeviceTest, AFullAndALowBandwidthBoardStreamAtOnceEachWithItsOwnPicture)
{
    struct Unit {
        const char* name;
        bool lowBandwidth;
        LineSystem system;
        ULONG standard;
        uint16_t sourceId;
        size_t formatIndex;
        const char* instance;
        std::unique_ptr<sim::Board> board;
        std::unique_ptr<app::Filter> filter;
        app::Format format;
        app::Pin* pin = nullptr;
        std::vector<app::Frame> frames;
    };
    Unit units[] = {
        {"full", false, LineSystem::L525, kNtsc, 0x2A5, 5, "USB\\VID_1234&PID_5678\\5&1a2b3c&0&1"},
        {"low bandwidth", true, LineSystem::L625, kPal, 0x13C, 0, "USB\\VID_1234&PID_5678\\5&1a2b3c&0&2"},
    };
    for (Unit& u : units) {
        SCOPED_TRACE(u.name);
        sim::BoardConfig config;
        config.lowBandwidth = u.lowBandwidth;
        sim::TestPatternOptions pattern;
        pattern.sourceId = u.sourceId;
        config.inputs[2] = sim::MakeTestPattern(u.system, pattern);
        u.board = std::make_unique<sim::Board>(config);
        app::FilterOptions options;
        options.instanceId = u.instance;
        options.device.linkBody = std::string(u.instance) + "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
        u.filter = app::Filter::Open(*u.board, options);
        ASSERT_EQ(u.filter->SetVideoStandard(u.standard), STATUS_SUCCESS);
        const auto formats = u.filter->Formats();
        ASSERT_GT(formats.size(), u.formatIndex);
        ASSERT_EQ(u.filter->Intersect(formats[u.formatIndex], &u.format), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        u.pin = u.filter->OpenPin(u.format, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(u.pin->Run(), STATUS_SUCCESS);
    }
    EXPECT_NE(units[0].filter->DriverKeyPath(), units[1].filter->DriverKeyPath());

    // Reads alternate, so that each device's transfers run while the other's
    // application waits.
    for (int round = 0; round < 5; ++round) {
        for (Unit& u : units) {
            app::Frame frame;
            ASSERT_EQ(u.pin->ReadFrame(&frame), STATUS_SUCCESS) << u.name << " round " << round;
            u.frames.push_back(std::move(frame));
        }
    }
    for (Unit& u : units) {
        SCOPED_TRACE(u.name);
        const Geometry g = GeometryOf(u.format, u.system, u.lowBandwidth, u.board.get());
        int previous = -1;
        for (size_t i = 0; i < u.frames.size(); ++i) {
            ASSERT_EQ(u.frames[i].data.size(), u.format.ImageSize());
            if (i == 0) continue;  // may hold a field from before the start
            const sim::FieldMarks marks = sim::DecodeFieldMarks(ImageOf(u.frames[i].data, g), g.layout);
            ASSERT_TRUE(marks.valid) << "frame " << i;
            EXPECT_EQ(marks.sourceId, u.sourceId) << "frame " << i << " shows the other board's picture";
            EXPECT_GT(static_cast<int>(marks.counter), previous) << "frame " << i;
            previous = marks.counter;
        }
        EXPECT_GT(u.board->VideoCounters().dataPackets, 0u);
    }

    // The full-mode device stops and goes first; the other keeps streaming.
    ASSERT_EQ(units[0].pin->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(units[0].pin->Close(), STATUS_SUCCESS);
    units[0].filter.reset();
    app::Frame frame;
    EXPECT_EQ(units[1].pin->ReadFrame(&frame), STATUS_SUCCESS);
    EXPECT_EQ(units[1].pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(units[1].pin->Close(), STATUS_SUCCESS);
    units[1].filter.reset();
    EXPECT_EQ(kv::kernel::io::LiveDeviceCount(), 0u);
}

}  // namespace
}  // namespace e2e
