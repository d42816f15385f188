// Every format the pin offers, under every standard it is offered for,
// captured from the simulated board through the whole stack: frames of the
// right length, in order, showing the board's picture where it belongs.
#include "tests/e2e/e2e_fixture.h"

#include <cstring>

#include "host/kernel.h"

namespace e2e {
namespace {

constexpr int kFrames = 4;

// One standard per driver standard index; a format runs under those its
// range lists.
constexpr ULONG kStandards[] = {kNtsc, kPalM, kPal, kSecam, kPalN};

// Luma may be shaped by the picture controls' defaults (gamma); chroma
// passes through. RGB24 is compared after converting back.
constexpr double kLumaTolerance = 16;
constexpr double kChromaTolerance = 10;

struct Capture {
    app::Format format;
    std::vector<app::Frame> frames;
    app::DroppedFrames dropped;
    USBCAMD_STREAM_STATISTICS statistics{};
};

class FormatsTest : public EndToEndTest {
protected:
    // Opens the pin with the intersected format, runs it for kFrames frames
    // and closes it again.
    Capture CaptureFrames(const app::FormatInfo& range, int count = kFrames)
    {
        Capture c;
        EXPECT_EQ(filter_->Intersect(range, &c.format), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        app::Pin* pin = filter_->OpenPin(c.format, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (pin == nullptr) return c;
        EXPECT_EQ(pin->Run(), STATUS_SUCCESS);
        for (int i = 0; i < count; ++i) {
            app::Frame frame;
            const NTSTATUS read = pin->ReadFrame(&frame);
            EXPECT_EQ(read, STATUS_SUCCESS) << "frame " << i << ": " << app::StatusText(read);
            if (read != STATUS_SUCCESS) break;
            c.frames.push_back(std::move(frame));
        }
        EXPECT_EQ(pin->GetDroppedFrames(&c.dropped), STATUS_SUCCESS);
        EXPECT_EQ(pin->GetStatistics(&c.statistics), STATUS_SUCCESS);
        EXPECT_EQ(pin->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
        return c;
    }

    // Bars in place: each visible bar near the pattern's colour, and each
    // darker than the one to its left (to its right when mirrored).
    void ExpectBars(const std::vector<uint8_t>& frame, const Geometry& g, bool mirrored = false)
    {
        double previous = 1000;
        int seen = 0;
        const double chroma = kChromaTolerance + (g.fourcc == app::kFourccRgb24 ? 4 : 0);
        for (int bar = 0; bar < 8; ++bar) {
            Yuv got;
            if (!BarSample(frame, g, bar, mirrored, &got)) continue;
            const sim::Yuv want = sim::kColourBars[bar];
            EXPECT_NEAR(got.y, want.y, kLumaTolerance) << "bar " << bar;
            EXPECT_NEAR(got.u, want.u, chroma) << "bar " << bar;
            EXPECT_NEAR(got.v, want.v, chroma) << "bar " << bar;
            EXPECT_LT(got.y, previous) << "bar " << bar << " is not darker than the one before it";
            previous = got.y;
            ++seen;
        }
        EXPECT_GE(seen, 6);
    }

    // The first two pixels of every row of a 720-wide frame are black.
    void ExpectBlackLeftEdge(const std::vector<uint8_t>& f, const Geometry& g)
    {
        const size_t w = static_cast<size_t>(g.width), h = static_cast<size_t>(g.height);
        for (size_t row = 0; row < h; ++row) {
            if (g.fourcc == app::kFourccYuy2) {
                const uint8_t* p = f.data() + row * w * 2;
                ASSERT_TRUE(p[0] == 16 && p[1] == 128 && p[2] == 16 && p[3] == 128) << "row " << row;
            } else if (g.fourcc == app::kFourccRgb24) {
                const uint8_t* p = f.data() + row * w * 3;
                ASSERT_TRUE(std::all_of(p, p + 6, [](uint8_t b) { return b == 0; })) << "row " << row;
            } else {
                ASSERT_TRUE(f[row * w] == 16 && f[row * w + 1] == 16) << "row " << row;
            }
        }
        // The edge only: the third pixel of the white bar's rows is picture.
        EXPECT_GT(PixelAt(f, g, 3, g.height / 2).y, 100);
    }

    // 284-line fields are padded to 288 black lines: the frame's bottom rows
    // are black across, the rows above them still picture.
    void ExpectPaddedBottom(const std::vector<uint8_t>& f, const Geometry& g)
    {
        const int padRows = g.height * 8 / 576;  // 8 of 576 frame lines
        for (int row = g.height - padRows + 1; row < g.height; ++row) {
            const Yuv mean = MeanOver(f, g, 2, g.width, row, row + 1);
            EXPECT_LT(mean.y, 20) << "row " << row << " of " << g.height;
        }
        const Yuv above = MeanOver(f, g, 2, g.width / 8, g.height - padRows - 3, g.height - padRows - 2);
        EXPECT_GT(above.y, 100) << "the white bar does not reach the padding";
    }

    void CheckCapture(const app::FormatInfo& range, ULONG standard, bool lowBandwidth)
    {
        SCOPED_TRACE(StandardName(standard) + " " + range.Describe());
        const Capture c = CaptureFrames(range);
        ASSERT_EQ(c.frames.size(), static_cast<size_t>(kFrames));
        const LineSystem system = SystemOf(standard);
        const Geometry g = GeometryOf(c.format, system, lowBandwidth);
        const LONGLONG period = system == LineSystem::L525 ? 333667 : 400000;
        EXPECT_EQ(c.format.AvgTimePerFrame(), period) << "the rate of the line system in force";

        uint16_t counter = 0;
        for (int i = 0; i < kFrames; ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            const app::Frame& frame = c.frames[i];
            ASSERT_EQ(frame.data.size(), c.format.ImageSize());
            EXPECT_EQ(frame.pictureNumber, i + 1);
            EXPECT_EQ(frame.dropCount, 0);
            if (i > 0) {
                EXPECT_NEAR(frame.presentationTime - c.frames[i - 1].presentationTime, period, 1250);
            }
            // The first frame after a start is woven with whatever field the
            // ring held from before; from the second on the marks must read.
            if (i == 0) continue;
            const sim::FieldMarks marks = sim::DecodeFieldMarks(ImageOf(frame.data, g), g.layout);
            ASSERT_TRUE(marks.valid);
            EXPECT_EQ(marks.sourceId, kSourceId);
            if (i > 1) {
                EXPECT_EQ(marks.counter, static_cast<uint16_t>(counter + 1)) << "frames out of order or lost";
            }
            counter = marks.counter;
            const bool fullHeight = !lowBandwidth && g.layout.sourceLines == g.height;
            if (fullHeight) {
                EXPECT_EQ(marks.parity, sim::FieldParity::Woven) << "field 1 must be on the even rows";
            } else {
                EXPECT_EQ(marks.parity, sim::FieldParity::First);
            }
        }
        const std::vector<uint8_t>& last = c.frames.back().data;
        ExpectBars(last, g);
        if (g.width == 720) ExpectBlackLeftEdge(last, g);
        if (!lowBandwidth && g.layout.window.vEndLine - g.layout.window.vStartLine == 284 && g.height >= 288) {
            ExpectPaddedBottom(last, g);
        }
        EXPECT_EQ(c.dropped.dropCount, 0);
        EXPECT_EQ(c.dropped.pictureNumber, kFrames);
        EXPECT_EQ(c.dropped.averageFrameSize, c.format.ImageSize());
        EXPECT_EQ(c.statistics.FramesDelivered, kFrames);
    }
};

class EveryFullModeFormat : public FormatsTest, public ::testing::WithParamInterface<int> {};

TEST_P(EveryFullModeFormat, DeliversTheBoardsPictureUnderEachStandardItIsOfferedFor)
{
    const ULONG index = static_cast<ULONG>(GetParam());
    int captured = 0;
    for (LineSystem system : {LineSystem::L525, LineSystem::L625}) {
        app::Filter& filter = OpenFilter(system);
        const auto formats = filter.Formats();
        ASSERT_EQ(formats.size(), 22u);
        const app::FormatInfo& range = formats[index];
        for (ULONG standard : kStandards) {
            if (SystemOf(standard) != system || !range.OfferedFor(standard)) continue;
            ASSERT_EQ(filter.SetVideoStandard(standard), STATUS_SUCCESS);
            CheckCapture(range, standard, false);
            ++captured;
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GE(captured, 2);
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryFullModeFormat, ::testing::Range(0, 22));

TEST_F(FormatsTest, LowBandwidthFormatsDeliverTheFirstFieldAt160x120)
{
    for (ULONG standard : {kNtsc, kPal}) {
        app::Filter& filter = OpenFilter(SystemOf(standard), true);
        const auto formats = filter.Formats();
        ASSERT_EQ(formats.size(), 3u);
        ASSERT_EQ(filter.SetVideoStandard(standard), STATUS_SUCCESS);
        for (const auto& range : formats) {
            EXPECT_EQ(range.width, 160);
            CheckCapture(range, standard, true);
            if (HasFatalFailure()) return;
        }
    }
}

// Mirror and flip as stored settings: the driver reads them at every
// capture start.
TEST_F(FormatsTest, MirrorAndFlipFromTheRegistryTakeEffect)
{
    struct Case {
        bool lowBandwidth;
        int formatIndex;
    };
    // Full mode: YUY2 720 x 480, I420 320 x 240, RGB24 640 x 480; low
    // bandwidth: I420 and RGB24 (its YUY2 converter ignores both switches).
    const Case cases[] = {{false, 6}, {false, 8}, {false, 19}, {true, 0}, {true, 1}};
    for (const Case& k : cases) {
        app::Filter& filter = OpenFilter(LineSystem::L525, k.lowBandwidth);
        const std::string settings = filter.DriverKeyPath() + "\\Settings";
        const auto formats = filter.Formats();
        const app::FormatInfo& range = formats[static_cast<size_t>(k.formatIndex)];
        SCOPED_TRACE(range.Describe() + (k.lowBandwidth ? " low bandwidth" : ""));

        kv::kernel::registry::SetDword(settings, "Mirror", 1);
        kv::kernel::registry::SetDword(settings, "Flip", 0);
        Capture mirrored = CaptureFrames(range, 2);
        ASSERT_EQ(mirrored.frames.size(), 2u);
        const Geometry g = GeometryOf(mirrored.format, LineSystem::L525, k.lowBandwidth);
        const auto& m = mirrored.frames[1].data;
        EXPECT_FALSE(sim::DecodeFieldMarks(ImageOf(m, g), g.layout).valid)
            << "a mirrored frame reads as it is";
        const auto unmirrored = Mirrored(m, g);
        const sim::FieldMarks marks = sim::DecodeFieldMarks(ImageOf(unmirrored, g), g.layout);
        EXPECT_TRUE(marks.valid);
        EXPECT_EQ(marks.sourceId, kSourceId);
        ExpectBars(m, g, true);

        kv::kernel::registry::SetDword(settings, "Mirror", 0);
        kv::kernel::registry::SetDword(settings, "Flip", 1);
        Capture flipped = CaptureFrames(range, 2);
        ASSERT_EQ(flipped.frames.size(), 2u);
        const auto& f = flipped.frames[1].data;
        EXPECT_FALSE(sim::DecodeFieldMarks(ImageOf(f, g), g.layout).valid) << "a flipped frame reads as it is";
        const sim::FieldMarks upright = sim::DecodeFieldMarks(ImageOf(Flipped(f, g), g), g.layout);
        EXPECT_TRUE(upright.valid);
        EXPECT_EQ(upright.sourceId, kSourceId);

        // Both off again: the picture as the board draws it.
        kv::kernel::registry::SetDword(settings, "Flip", 0);
        Capture plain = CaptureFrames(range, 2);
        ASSERT_EQ(plain.frames.size(), 2u);
        EXPECT_TRUE(sim::DecodeFieldMarks(ImageOf(plain.frames[1].data, g), g.layout).valid);
        ExpectBars(plain.frames[1].data, g);
    }
}

}  // namespace
}  // namespace e2e
