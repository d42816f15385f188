// Every decoder type, every standard the driver accepts and every format the
// pin offers, through the application API: each combination is refused with
// a status, or delivers frames of the right size, field order and marks at
// the rate it announced. A few runs also go through a power cycle or share
// the driver with a second device.
//
// The normal run takes one standard of each driver standard index; with
// KV_FULL_MATRIX=1 in the environment every KS standard is tried.
#include "tests/e2e/e2e_fixture.h"

#include <cstdlib>
#include <cstring>
#include <optional>

namespace e2e {
namespace {

constexpr int kFrames = 6;

struct Board_ {
    sim::DecoderKind kind;
    int type;
};
constexpr Board_ kBoards[] = {{sim::DecoderKind::Type110, 110}, {sim::DecoderKind::Type111, 111},
                              {sim::DecoderKind::Type113, 113}};

bool FullMatrix()
{
    const char* v = std::getenv("KV_FULL_MATRIX");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// KS standards by line system; the sampled run keeps one per standard index.
std::vector<ULONG> StandardsOf(LineSystem system)
{
    if (!FullMatrix()) {
        return system == LineSystem::L525 ? std::vector<ULONG>{kNtsc, kPalM} : std::vector<ULONG>{kPal, kSecam, kPalN};
    }
    if (system == LineSystem::L525) return {KS_AnalogVideo_NTSC_M, KS_AnalogVideo_NTSC_M_J, KS_AnalogVideo_PAL_M};
    std::vector<ULONG> all = {KS_AnalogVideo_PAL_B, KS_AnalogVideo_PAL_D, KS_AnalogVideo_PAL_G, KS_AnalogVideo_PAL_H,
                              KS_AnalogVideo_PAL_I, KS_AnalogVideo_PAL_N};
    for (ULONG secam = KS_AnalogVideo_SECAM_B; secam <= KS_AnalogVideo_SECAM_L1; secam <<= 1) all.push_back(secam);
    return all;
}

// The driver's index for a KS standard, as its vendor set takes it (the type
// 110 board offers no decoder property set).
ULONG IndexOf(ULONG standard)
{
    if (standard == KS_AnalogVideo_NTSC_M || standard == KS_AnalogVideo_NTSC_M_J) return 1;
    if (standard == KS_AnalogVideo_PAL_M) return 4;
    if (standard == KS_AnalogVideo_PAL_N) return 5;
    if ((standard & KS_AnalogVideo_SECAM_Mask) != 0) return 3;
    return 2;
}

// A format built straight from a range, for opening one the intersection
// refused.
app::Format FormatFromRange(const app::FormatInfo& range)
{
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    std::memcpy(&f.DataFormat, &range.range.DataRange, sizeof(KSDATAFORMAT));
    f.DataFormat.FormatSize = sizeof(f);
    f.VideoInfoHeader = range.range.VideoInfoHeader;
    app::Format format;
    format.bytes.resize(sizeof(f));
    std::memcpy(format.bytes.data(), &f, sizeof(f));
    return format;
}

enum class Extra { None, PowerCycle, SecondDevice };

class MatrixTest : public EndToEndTest {
protected:
    app::Filter& Open(const Board_& b, LineSystem system, bool lowBandwidth)
    {
        return OpenFilter(system, lowBandwidth, [&](sim::BoardConfig& c) {
            c.decoder = b.kind;
            // Types 110 and 111 start on input 0; every input shows the pattern.
            sim::TestPatternOptions pattern;
            pattern.sourceId = kSourceId;
            for (auto& input : c.inputs) input = sim::MakeTestPattern(system, pattern);
            c.tunerInput = -1;
        });
    }

    NTSTATUS SetStandard(const Board_& b, ULONG standard)
    {
        if (b.type == 110) return filter_->SetVendorValue(65, IndexOf(standard));
        return filter_->SetVideoStandard(standard);
    }

    // Reads count frames, or stops at the first failure.
    std::vector<app::Frame> Read(app::Pin& pin, int count)
    {
        std::vector<app::Frame> frames;
        for (int i = 0; i < count; ++i) {
            app::Frame frame;
            const NTSTATUS status = pin.ReadFrame(&frame);
            EXPECT_EQ(status, STATUS_SUCCESS) << "frame " << i << ": " << app::StatusText(status);
            if (status != STATUS_SUCCESS) break;
            frames.push_back(std::move(frame));
        }
        return frames;
    }

    // The reads queued while the emulated clock ran elsewhere hold frames
    // from before the gap.
    void SkipQueued(app::Pin& pin)
    {
        const size_t queued = pin.ReadsInFlight();
        for (size_t i = 0; i < queued; ++i) {
            app::Frame skipped;
            ASSERT_EQ(pin.ReadFrame(&skipped), STATUS_SUCCESS);
        }
    }

    // Size, rate, order and field order of frames read in one go; the first
    // frame after a start or a power-up may weave in an older field.
    void CheckFrames(const std::vector<app::Frame>& frames, const app::Format& format, LineSystem system,
                     bool lowBandwidth)
    {
        ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
        const Geometry g = GeometryOf(format, system, lowBandwidth);
        const LONGLONG span = frames.back().presentationTime - frames[1].presentationTime;
        const double mean = static_cast<double>(span) / (kFrames - 2);
        EXPECT_NEAR(mean, static_cast<double>(format.AvgTimePerFrame()), format.AvgTimePerFrame() / 100.0)
            << "mean spacing of presentation times";
        uint16_t counter = 0;
        for (int i = 0; i < kFrames; ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            ASSERT_EQ(frames[i].data.size(), format.ImageSize());
            if (i == 0) continue;
            const sim::FieldMarks marks = sim::DecodeFieldMarks(ImageOf(frames[i].data, g), g.layout);
            ASSERT_TRUE(marks.valid);
            EXPECT_EQ(marks.sourceId, kSourceId);
            if (i > 1) {
                EXPECT_EQ(marks.counter, static_cast<uint16_t>(counter + 1)) << "frames lost or out of order";
            }
            counter = marks.counter;
            const bool fullHeight = !lowBandwidth && g.layout.sourceLines == g.height;
            EXPECT_EQ(marks.parity, fullHeight ? sim::FieldParity::Woven : sim::FieldParity::First);
        }
    }

    void Capture(const Board_& b, const app::FormatInfo& range, ULONG standard, LineSystem system,
                 bool lowBandwidth, Extra extra)
    {
        SCOPED_TRACE("type " + std::to_string(b.type) + ", " + StandardName(standard) + ", " + range.Describe());
        app::Format format;
        const NTSTATUS intersected = filter_->Intersect(range, &format);
        const bool fits = lowBandwidth || range.OfferedFor(system == LineSystem::L525 ? 0x203u : 0x7F5B0u);
        if (!fits) {
            EXPECT_EQ(intersected, STATUS_NO_MATCH);
            NTSTATUS opened = STATUS_SUCCESS;
            EXPECT_EQ(filter_->OpenPin(FormatFromRange(range), &opened), nullptr);
            EXPECT_EQ(opened, STATUS_INVALID_PARAMETER);
            return;
        }
        ASSERT_EQ(intersected, STATUS_SUCCESS);
        EXPECT_EQ(format.AvgTimePerFrame(), system == LineSystem::L525 ? 333667 : 400000);
        NTSTATUS opened = STATUS_UNSUCCESSFUL;
        app::Pin* pin = filter_->OpenPin(format, &opened);
        ASSERT_EQ(opened, STATUS_SUCCESS);
        ASSERT_NE(pin, nullptr);
        ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
        CheckFrames(Read(*pin, kFrames), format, system, lowBandwidth);

        std::unique_ptr<sim::Board> secondBoard;
        std::unique_ptr<app::Filter> second;
        if (extra == Extra::PowerCycle) {
            ASSERT_TRUE(filter_->Device().ChangePowerState(PowerDeviceD3).ok());
            ASSERT_TRUE(filter_->Device().ChangePowerState(PowerDeviceD0).ok());
            // Frames made while the bridge was down are dropped; the stream
            // goes on without a restart.
            SkipQueued(*pin);
            CheckFrames(Read(*pin, kFrames), format, system, lowBandwidth);
        } else if (extra == Extra::SecondDevice) {
            // A board of the other mode started beside this one.
            sim::BoardConfig config;
            config.lowBandwidth = !lowBandwidth;
            secondBoard = std::make_unique<sim::Board>(config);
            app::FilterOptions options;
            options.instanceId = "USB\\VID_1234&PID_5678\\5&1a2b3c&0&2";
            second = app::Filter::Open(*secondBoard, options);
            EXPECT_EQ(second->Formats().size(), lowBandwidth ? 22u : 3u);
            EXPECT_EQ(filter_->Formats().size(), lowBandwidth ? 3u : 22u);
            app::Format again;
            EXPECT_EQ(filter_->Intersect(range, &again), STATUS_SUCCESS) << "the other device changed this one";
            SkipQueued(*pin);
            CheckFrames(Read(*pin, kFrames), format, system, lowBandwidth);
        }
        USBCAMD_STREAM_STATISTICS statistics{};
        ASSERT_EQ(pin->GetStatistics(&statistics), STATUS_SUCCESS);
        EXPECT_EQ(statistics.DroppedTooEarly, 0) << "the library's interval and the announced rate disagree";
        EXPECT_EQ(pin->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
        second.reset();
    }

    void RunMatrix(const Board_& b, bool lowBandwidth)
    {
        int delivered = 0;
        for (LineSystem system : {LineSystem::L525, LineSystem::L625}) {
            Open(b, system, lowBandwidth);
            const auto formats = filter_->Formats();
            ASSERT_EQ(formats.size(), lowBandwidth ? 3u : 22u);
            for (ULONG standard : StandardsOf(system)) {
                ASSERT_EQ(SetStandard(b, standard), STATUS_SUCCESS) << StandardName(standard);
                bool cycled720 = false;
                for (size_t i = 0; i < formats.size(); ++i) {
                    // Under the first standard of each system: a power cycle
                    // on the first format and on the first 720-wide one that
                    // fits, a second device on the last format.
                    Extra extra = Extra::None;
                    if (standard == StandardsOf(system).front()) {
                        const bool fits = lowBandwidth || formats[i].OfferedFor(system == LineSystem::L525 ? 0x203u : 0x7F5B0u);
                        if (i == 0 || (formats[i].width == 720 && fits && !cycled720)) {
                            extra = Extra::PowerCycle;
                            cycled720 = cycled720 || formats[i].width == 720;
                        }
                        if (i + 1 == formats.size()) extra = Extra::SecondDevice;
                    }
                    Capture(b, formats[i], standard, system, lowBandwidth, extra);
                    if (HasFatalFailure()) return;
                    ++delivered;
                }
            }
        }
        EXPECT_GT(delivered, 0);
    }
};

class FullModeMatrix : public MatrixTest, public ::testing::WithParamInterface<int> {};

TEST_P(FullModeMatrix, EveryStandardAndFormatDeliversOrRefuses)
{
    RunMatrix(kBoards[GetParam()], false);
}

class LowBandwidthMatrix : public MatrixTest, public ::testing::WithParamInterface<int> {};

TEST_P(LowBandwidthMatrix, EveryStandardAndFormatDeliversOrRefuses)
{
    RunMatrix(kBoards[GetParam()], true);
}

INSTANTIATE_TEST_SUITE_P(Decoders, FullModeMatrix, ::testing::Range(0, 3));
INSTANTIATE_TEST_SUITE_P(Decoders, LowBandwidthMatrix, ::testing::Range(0, 3));

// Refused standards leave the device on the one it had.
TEST_F(MatrixTest, TwentyFiveFrameNamesOfFiveTwoFiveLineSystemsAreRefused)
{
    Open(kBoards[2], LineSystem::L525, false);
    for (ULONG standard : {(ULONG)KS_AnalogVideo_PAL_60, (ULONG)KS_AnalogVideo_NTSC_433}) {
        EXPECT_EQ(filter_->SetVideoStandard(standard), STATUS_INVALID_PARAMETER) << standard;
    }
    ULONG standard = 0;
    ASSERT_EQ(filter_->GetVideoStandard(&standard), STATUS_SUCCESS);
    EXPECT_EQ(standard, static_cast<ULONG>(KS_AnalogVideo_NTSC_M));
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

class TimingTest : public MatrixTest {
protected:
    app::Pin* RunFirstFormat()
    {
        Open(kBoards[2], LineSystem::L525, false);
        app::Format format;
        EXPECT_EQ(filter_->Intersect(filter_->Formats()[0], &format), STATUS_SUCCESS);
        app::Pin* pin = filter_->OpenPin(format);
        EXPECT_NE(pin, nullptr);
        if (pin != nullptr) {
            EXPECT_EQ(pin->Run(), STATUS_SUCCESS);
        }
        return pin;
    }
};

// Frames the board never sent count as dropped: the picture number follows
// the presentation time in frame periods.
TEST_F(TimingTest, FramesThatNeverReachedTheBusAreCountedAsDropped)
{
    app::Pin* pin = RunFirstFormat();
    ASSERT_NE(pin, nullptr);
    pin->SetReadDepth(1);
    std::vector<app::Frame> before = Read(*pin, 3);
    ASSERT_EQ(before.size(), 3u);
    // The bridge sends no fields while powered down (bit 6 of register 0x000).
    const uint8_t control = board_->BridgeRegister(0x000);
    ASSERT_EQ(board_->WriteRegister(0x000, control | 0x40), STATUS_SUCCESS);
    app::Frame none;
    EXPECT_EQ(pin->ReadFrame(&none, 10 * 333667), STATUS_TIMEOUT);
    ASSERT_EQ(board_->WriteRegister(0x000, control), STATUS_SUCCESS);
    std::vector<app::Frame> after = Read(*pin, 3);
    ASSERT_EQ(after.size(), 3u);
    const app::Frame& f = after.back();
    const LONGLONG periods = (f.presentationTime - before.front().presentationTime + 333667 / 2) / 333667;
    EXPECT_EQ(f.pictureNumber, before.front().pictureNumber + periods);
    EXPECT_GE(f.dropCount, 9);
    EXPECT_EQ(f.pictureNumber - f.dropCount, 6) << "six frames were delivered";
    app::DroppedFrames dropped;
    ASSERT_EQ(pin->GetDroppedFrames(&dropped), STATUS_SUCCESS);
    EXPECT_EQ(dropped.pictureNumber - dropped.dropCount, 6);
    EXPECT_GE(dropped.pictureNumber, f.pictureNumber);
    EXPECT_EQ(pin->Stop(), STATUS_SUCCESS);
}

// The first intersection after device start already knows the stored
// standard, and a device with nothing stored runs NTSC.
TEST_F(TimingTest, TheStoredStandardIsKnownFromDeviceStart)
{
    struct Case {
        std::optional<uint32_t> storedIndex;
        LONGLONG avgTimePerFrame;
    };
    for (const Case c : {Case{std::nullopt, 333667}, Case{4, 333667}, Case{3, 400000}}) {
        SCOPED_TRACE(c.storedIndex.value_or(0));
        Open(kBoards[2], LineSystem::L525, false);
        const std::string settings = filter_->DriverKeyPath() + "\\Settings";
        kv::kernel::registry::DeleteKey(settings);
        if (c.storedIndex) kv::kernel::registry::SetDword(settings, "InputSource", *c.storedIndex);
        filter_.reset();
        filter_ = app::Filter::Open(*board_);
        const auto formats = filter_->Formats();
        app::Format format;
        ASSERT_EQ(filter_->Intersect(formats[5], &format), STATUS_SUCCESS);  // 640 x 480, both systems
        EXPECT_EQ(format.AvgTimePerFrame(), c.avgTimePerFrame);
    }
}

// The stream clock stands still while the stream is paused.
TEST_F(TimingTest, PauseTimeDoesNotAppearInThePresentationTimes)
{
    app::Pin* pin = RunFirstFormat();
    ASSERT_NE(pin, nullptr);
    std::vector<app::Frame> before = Read(*pin, 3);
    ASSERT_EQ(before.size(), 3u);
    ASSERT_EQ(pin->Pause(), STATUS_SUCCESS);
    app::Frame none;
    pin->ReadFrame(&none, 20'000'000);  // two seconds of emulated time pass
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    std::vector<app::Frame> after = Read(*pin, 2);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_LT(after.back().presentationTime - before.back().presentationTime, 10 * 333667);
    EXPECT_EQ(pin->Stop(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace e2e
