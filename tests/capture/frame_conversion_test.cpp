// The raw-frame callback: geometry per width and standard, the field ring and
// its counter, padding and the black left edge, output lengths per fourcc,
// and raw frames or output buffers that do not fit; by hand and with frames
// that came from the board through the packet routine.
#include "tests/capture/capture_fixture.h"

using namespace captest;

namespace {

constexpr uint8_t kUntouched = 0xEE;

// A raw frame: 6 header bytes, then two fields of flat luma. The chroma
// bytes follow a pattern of their own per field, so a field in the ring can
// be told apart from the other one even when their luma is the same.
std::vector<uint8_t> RawFrame(size_t lines, size_t lineBytes, uint8_t luma1, uint8_t luma2)
{
    const size_t field = lines * lineBytes;
    std::vector<uint8_t> raw(6 + 2 * field);
    raw[0] = 0x01;
    raw[1] = 0x40;
    for (size_t i = 0; i < field; ++i) {
        const bool chroma = (i & 1) != 0;
        raw[6 + i] = chroma ? static_cast<uint8_t>(100 + (i / 2) % 37) : luma1;
        raw[6 + field + i] = chroma ? static_cast<uint8_t>(120 + (i / 2) % 29) : luma2;
    }
    return raw;
}

// Lines per field and bytes per line the board sends for a full-mode format.
struct Geometry {
    size_t lines, lineBytes;
};
Geometry GeometryFor(LONG width, LONG height, LONG standard)
{
    const bool lines625 = standard == STANDARD_INDEX_PAL || standard == STANDARD_INDEX_SECAM ||
                          standard == STANDARD_INDEX_PAL_N;
    switch (width) {
    case 720:
        return {height == 576 && lines625 ? 284u : 240u, 1440};
    case 352:
        return {height == 288 && lines625 ? 284u : 240u, 1408};
    case 176:
        return {standard == STANDARD_INDEX_NTSC || standard == STANDARD_INDEX_PAL_M ? 240u : 284u, 1408};
    default:
        return {240, 1280};
    }
}

bool AllUntouched(const std::vector<uint8_t>& v)
{
    return std::all_of(v.begin(), v.end(), [](uint8_t b) { return b == kUntouched; });
}

class RawFrameConversionTest : public CaptureTest {
protected:
    // A started device with its pipeline, then the format and standard set
    // the way stream open and the settings would leave them.
    void Use(LONG width, LONG height, ULONG fourcc, LONG standardIndex, USHORT highBandwidth = 1)
    {
        if (!device_) {
            StartCapture(PatternBoard(sim::LineSystem::L525), 720, 480, kYuy2, STANDARD_INDEX_NTSC);
        }
        DeviceContext* c = Ctx();
        c->frameWidth = width_ = width;
        c->frameHeight = height_ = height;
        c->outputFourcc = fourcc_ = fourcc;
        c->standardIndex = standardIndex;
        c->highBandwidth = highBandwidth;
    }

    Converted DeliverRaw(const std::vector<uint8_t>& raw, size_t outputSize)
    {
        return Deliver(raw.data(), static_cast<ULONG>(raw.size()), static_cast<ULONG>(raw.size()), outputSize);
    }
    Converted DeliverRaw(const std::vector<uint8_t>& raw) { return DeliverRaw(raw, OutputSize(fourcc_, width_, height_)); }

    PUCHAR Slot(ULONG counter) { return Ctx()->fieldRing[counter % FIELD_RING_SLOTS]; }

    // Luma of output row r, pixel x, for YUY2.
    uint8_t Luma(const Converted& c, LONG r, LONG x) const { return c.output[(static_cast<size_t>(r) * width_ + x) * 2]; }
};

}  // namespace

TEST_F(RawFrameConversionTest, GeometryPerWidthAndStandard)
{
    struct Case {
        LONG width, height, standard;
        USHORT highBandwidth;
        size_t lines, lineBytes;
        bool padded;
        bool converts;
    };
    const Case cases[] = {
        {720, 576, STANDARD_INDEX_PAL, 1, 284, 1440, true, true},
        {720, 576, STANDARD_INDEX_SECAM, 1, 284, 1440, true, true},
        {720, 480, STANDARD_INDEX_NTSC, 1, 240, 1440, false, true},
        {720, 480, STANDARD_INDEX_PAL, 1, 240, 1440, false, true},
        {640, 480, STANDARD_INDEX_PAL, 1, 240, 1280, false, true},
        {352, 288, STANDARD_INDEX_PAL_N, 1, 284, 1408, true, true},
        {352, 288, STANDARD_INDEX_NTSC, 1, 240, 1408, false, true},
        {352, 240, STANDARD_INDEX_PAL, 1, 240, 1408, false, true},
        {320, 240, STANDARD_INDEX_PAL, 1, 240, 1280, false, true},
        {176, 144, STANDARD_INDEX_PAL, 1, 284, 1408, true, true},
        {176, 144, STANDARD_INDEX_NTSC, 1, 240, 1408, false, true},
        {176, 144, STANDARD_INDEX_PAL_M, 1, 240, 1408, false, true},
        {176, 120, STANDARD_INDEX_PAL, 1, 284, 1408, false, true},
        {160, 120, STANDARD_INDEX_PAL, 1, 240, 1280, false, true},
        {160, 120, STANDARD_INDEX_NTSC, 0, 44, 324, false, true},
        // The pipeline does not scale up: 576 lines out of 480 would leave
        // the buffer as it was, so nothing is stored or reported.
        {720, 576, STANDARD_INDEX_NTSC, 1, 240, 1440, false, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.width << " x " << k.height << ", standard " << k.standard << ", mode "
                                        << k.highBandwidth);
        Use(k.width, k.height, kYuy2, k.standard, k.highBandwidth);
        const std::vector<uint8_t> raw = RawFrame(k.lines, k.lineBytes, 100, 100);
        // Twice, so that the second frame's previous field equals its second
        // field and the picture comes out exactly woven.
        DeliverRaw(raw);
        const ULONG before = Ctx()->fieldCounter;
        memset(Slot(before), 0x33, FIELD_BUFFER_BYTES);
        memset(Slot(before + 1), 0x33, FIELD_BUFFER_BYTES);
        const Converted c = DeliverRaw(raw);
        if (!k.converts) {
            EXPECT_EQ(c.bytes, 0u);
            EXPECT_EQ(Ctx()->fieldCounter, before);
            EXPECT_TRUE(AllUntouched(c.output));
            continue;
        }
        ASSERT_EQ(c.bytes, static_cast<ULONG>(k.width * k.height * 2));
        EXPECT_EQ(Ctx()->fieldCounter, before + 2);

        // The fields in their slots, cut at the stored line count.
        const size_t field = k.lines * k.lineBytes;
        EXPECT_EQ(memcmp(Slot(before), raw.data() + 6, field), 0);
        EXPECT_EQ(memcmp(Slot(before + 1), raw.data() + 6 + field, field), 0);
        for (ULONG f = 0; f < 2; ++f) {
            const PUCHAR slot = Slot(before + f);
            if (k.padded) {
                for (size_t i = 0; i < 4 * k.lineBytes; ++i) {
                    ASSERT_EQ(slot[field + i], (i & 1) ? 128 : 16) << "padding byte " << i;
                }
                EXPECT_EQ(slot[field + 4 * k.lineBytes], 0x33);
            } else {
                EXPECT_EQ(slot[field], 0x33);
            }
        }

        // The picture: flat luma, black bottom rows for padded fields, the
        // black left edge at width 720.
        const LONG blackRows = k.padded ? k.height / 72 : 0;
        const LONG firstColumn = k.width == 720 ? 2 : 0;
        int wrong = 0;
        for (LONG r = 0; r < k.height; ++r) {
            const uint8_t want = r >= k.height - blackRows ? 16 : 100;
            for (LONG x = firstColumn; x < k.width; ++x) wrong += Luma(c, r, x) != want;
            if (k.width == 720) wrong += Luma(c, r, 0) != 16 || Luma(c, r, 1) != 16;
        }
        EXPECT_EQ(wrong, 0);
    }
}

TEST_F(RawFrameConversionTest, OutputLengthsAndLeftEdgePerFourcc)
{
    struct Case {
        LONG width, height;
        ULONG fourcc;
        LONG standard;
        ULONG bytes;
    };
    const Case cases[] = {
        {720, 576, kYuy2, STANDARD_INDEX_PAL, 829440}, {720, 480, kRgb24, STANDARD_INDEX_NTSC, 1036800},
        {352, 288, kI420, STANDARD_INDEX_PAL, 152064}, {640, 480, kI420, STANDARD_INDEX_NTSC, 460800},
        {320, 240, kRgb24, STANDARD_INDEX_NTSC, 230400}, {176, 144, kI420, STANDARD_INDEX_SECAM, 38016},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.width << " x " << k.height << " fourcc " << k.fourcc);
        Use(k.width, k.height, k.fourcc, k.standard);
        const Geometry g = GeometryFor(k.width, k.height, k.standard);
        const Converted c = DeliverRaw(RawFrame(g.lines, g.lineBytes, 100, 100));
        EXPECT_EQ(c.bytes, k.bytes);
        EXPECT_FALSE(AllUntouched(c.output));
        if (k.width == 720) {
            for (LONG r = 0; r < k.height; ++r) {
                const uint8_t* row = c.output.data() + r * (k.fourcc == kYuy2 ? 1440 : 2160);
                if (k.fourcc == kYuy2) {
                    ASSERT_TRUE(row[0] == 16 && row[1] == 128 && row[2] == 16 && row[3] == 128) << "row " << r;
                } else {
                    ASSERT_TRUE(std::all_of(row, row + 6, [](uint8_t b) { return b == 0; })) << "row " << r;
                }
            }
        }
    }
}

TEST_F(RawFrameConversionTest, WholeFieldsOf288LinesAreSplitWhereTheSecondBegins)
{
    const struct {
        LONG width, height;
        size_t lineBytes;
    } cases[] = {{720, 576, 1440}, {352, 288, 1408}, {176, 144, 1408}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.width);
        Use(k.width, k.height, kYuy2, STANDARD_INDEX_PAL);
        const std::vector<uint8_t> raw = RawFrame(288, k.lineBytes, 100, 100);
        const size_t kept = 284 * k.lineBytes;
        ULONG before = Ctx()->fieldCounter;
        Converted c = DeliverRaw(raw);
        EXPECT_EQ(c.bytes, static_cast<ULONG>(k.width * k.height * 2));
        EXPECT_EQ(memcmp(Slot(before), raw.data() + 6, kept), 0);
        EXPECT_EQ(memcmp(Slot(before + 1), raw.data() + 6 + 288 * k.lineBytes, kept), 0);

        // 284-line fields in a buffer with room for more split at 284 lines.
        std::vector<uint8_t> buffer = RawFrame(284, k.lineBytes, 100, 100);
        const ULONG actual = static_cast<ULONG>(buffer.size());
        buffer.resize(6 + 2 * 288 * k.lineBytes, 0x01);
        before = Ctx()->fieldCounter;
        c = Deliver(buffer.data(), static_cast<ULONG>(buffer.size()), actual, OutputSize(kYuy2, k.width, k.height));
        EXPECT_EQ(memcmp(Slot(before + 1), buffer.data() + 6 + kept, kept), 0);
    }
}

TEST_F(RawFrameConversionTest, LowBandwidthFormatsUseTheFirstFieldOnly)
{
    const struct {
        ULONG fourcc;
        ULONG bytes;
    } cases[] = {{kYuy2, 38400}, {kI420, 28800}, {kRgb24, 57600}};
    std::vector<uint8_t> raw = RawFrame(44, 324, 100, 100);
    // The second field is not looked at: make it something else entirely.
    std::fill(raw.begin() + 6 + 44 * 324, raw.end(), 0x01);
    for (const auto& c : cases) {
        Use(160, 120, c.fourcc, STANDARD_INDEX_NTSC, 0);
        const Converted got = DeliverRaw(raw);
        ASSERT_EQ(got.bytes, c.bytes);
        if (c.fourcc == kI420) {
            EXPECT_TRUE(std::all_of(got.output.begin(), got.output.begin() + 19200, [](uint8_t b) { return b == 100; }));
        }
    }
}

TEST_F(RawFrameConversionTest, I420AndRgb24WithAnEmptyRawFrame)
{
    Use(352, 288, kI420, STANDARD_INDEX_PAL);
    std::vector<uint8_t> raw = RawFrame(284, 1408, 90, 90);
    ULONG before = Ctx()->fieldCounter;
    for (ULONG actual : {0u, 6u}) {
        // No conversion, but I420 still reports its full length.
        Converted c = Deliver(raw.data(), static_cast<ULONG>(raw.size()), actual, 152064);
        EXPECT_EQ(c.bytes, 152064u);
        EXPECT_TRUE(AllUntouched(c.output));
        EXPECT_EQ(Ctx()->fieldCounter, before);
        // ... only when the output buffer holds it.
        c = Deliver(raw.data(), static_cast<ULONG>(raw.size()), actual, 152063);
        EXPECT_EQ(c.bytes, 0u);
    }

    Use(320, 240, kRgb24, STANDARD_INDEX_NTSC);
    raw = RawFrame(240, 1280, 90, 90);
    tablesPending = TRUE;
    memset(redFromV, 0, sizeof(redFromV));
    Converted c = Deliver(raw.data(), static_cast<ULONG>(raw.size()), 6, 230400);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_TRUE(AllUntouched(c.output));
    EXPECT_TRUE(tablesPending);
    EXPECT_EQ(redFromV[255], 0);
    // The first RGB24 frame with data builds the colour tables.
    c = Deliver(raw.data(), static_cast<ULONG>(raw.size()), 7, 230400);
    EXPECT_EQ(c.bytes, 230400u);
    EXPECT_FALSE(tablesPending);
    EXPECT_EQ(redFromV[255], 89850 * 127);

    // YUY2 converts whatever the raw buffer holds, even for an empty frame.
    Use(320, 240, kYuy2, STANDARD_INDEX_NTSC);
    before = Ctx()->fieldCounter;
    c = Deliver(raw.data(), static_cast<ULONG>(raw.size()), 0, 153600);
    EXPECT_EQ(c.bytes, 153600u);
    EXPECT_EQ(Ctx()->fieldCounter, (before + 2) & 0xFFFF);
}

TEST_F(RawFrameConversionTest, BuffersShorterThanTheGeometryAreNeitherReadNorWritten)
{
    Use(720, 576, kYuy2, STANDARD_INDEX_PAL);
    const std::vector<uint8_t> whole = RawFrame(284, 1440, 100, 100);
    const ULONG before = Ctx()->fieldCounter;

    // A raw frame one byte short of two fields, in a buffer of exactly that
    // size, whatever length the packets claimed.
    std::vector<uint8_t> cut(whole.begin(), whole.end() - 1);
    Converted c = Deliver(cut.data(), static_cast<ULONG>(cut.size()), static_cast<ULONG>(whole.size()), 829440);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_TRUE(AllUntouched(c.output));

    // Raw buffers that do not even hold the header, or none at all.
    std::vector<uint8_t> tiny(whole.begin(), whole.begin() + 4);
    c = Deliver(tiny.data(), static_cast<ULONG>(tiny.size()), 817926, 829440);
    EXPECT_EQ(c.bytes, 0u);
    c = Deliver(nullptr, 0, 0, 829440);
    EXPECT_EQ(c.bytes, 0u);
    c = Deliver(nullptr, 817926, 817926, 829440);
    EXPECT_EQ(c.bytes, 0u);

    // An output buffer one byte short of the format.
    c = DeliverRaw(whole, 829439);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_TRUE(AllUntouched(c.output));
    c = DeliverRaw(whole, 0);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_EQ(Ctx()->fieldCounter, before);

    // Low-bandwidth frames are small; a full-size format on them is too.
    Use(720, 480, kYuy2, STANDARD_INDEX_NTSC, 0);
    const std::vector<uint8_t> small = RawFrame(44, 324, 100, 100);
    c = DeliverRaw(small);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_TRUE(AllUntouched(c.output));
    EXPECT_EQ(Ctx()->fieldCounter, before);

    // And exactly-sized buffers convert.
    Use(720, 576, kYuy2, STANDARD_INDEX_PAL);
    c = DeliverRaw(whole);
    EXPECT_EQ(c.bytes, 829440u);
}

TEST_F(RawFrameConversionTest, UnknownWidthFourccOrMissingRingConvertNothing)
{
    Use(500, 400, kYuy2, STANDARD_INDEX_NTSC);
    const std::vector<uint8_t> raw = RawFrame(240, 1440, 100, 100);
    const ULONG before = Ctx()->fieldCounter;
    Converted c = DeliverRaw(raw, 400000);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_TRUE(AllUntouched(c.output));

    Use(720, 480, 0x47504A4D /* MJPG */, STANDARD_INDEX_NTSC);
    c = DeliverRaw(raw, 691200);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_TRUE(AllUntouched(c.output));

    Use(720, 480, kYuy2, STANDARD_INDEX_NTSC);
    PUCHAR slot = Ctx()->fieldRing[2];
    Ctx()->fieldRing[2] = nullptr;
    c = DeliverRaw(raw);
    Ctx()->fieldRing[2] = slot;
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_TRUE(AllUntouched(c.output));
    EXPECT_EQ(Ctx()->fieldCounter, before);
}

TEST_F(RawFrameConversionTest, FieldRingKeepsItsSlotSequenceAcrossTheCounterWrap)
{
    Use(720, 480, kYuy2, STANDARD_INDEX_NTSC);
    struct Step {
        uint8_t first, second;
        ULONG counterAfter;
        ULONG firstSlot;
        uint8_t oddRows;  // the second field where it matches the previous one, else the first
    };
    const Step steps[] = {
        {40, 200, 0, 2, 0},     // previous slot holds whatever it held: not checked
        {60, 200, 2, 0, 200},   // previous = the last frame's second field, equal: woven
        {90, 150, 4, 2, 90},    // differs from the previous second field: from the first field
        {110, 150, 6, 0, 150},  // equal again
    };
    Ctx()->fieldCounter = 65534;
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "frame " << int(s.first) << "/" << int(s.second));
        const Converted c = DeliverRaw(RawFrame(240, 1440, s.first, s.second));
        ASSERT_EQ(c.bytes, 691200u);
        EXPECT_EQ(Ctx()->fieldCounter, s.counterAfter);
        EXPECT_EQ(Ctx()->fieldRing[s.firstSlot][0], s.first);
        EXPECT_EQ(Ctx()->fieldRing[s.firstSlot + 1][0], s.second);
        EXPECT_EQ(Luma(c, 100, 300), s.first);
        if (s.oddRows != 0) {
            EXPECT_EQ(Luma(c, 101, 300), s.oddRows);
        }
    }

    // A counter at 65,535 stores into slot 3, wraps to 0 and stores into slot 0.
    Ctx()->fieldCounter = 65535;
    DeliverRaw(RawFrame(240, 1440, 70, 80));
    EXPECT_EQ(Ctx()->fieldCounter, 1u);
    EXPECT_EQ(Ctx()->fieldRing[3][0], 70);
    EXPECT_EQ(Ctx()->fieldRing[0][0], 80);
}

TEST_F(RawFrameConversionTest, TheFirstFrameOfARunNeverTakesAnEarlierRunsFieldAsItsPrevious)
{
    // A still picture of thin lines: bright on every even row, dark on every
    // odd one. Against the ring's stale contents (zeros, then an earlier
    // run's grey) the odd rows would be taken for moving comb teeth; the
    // first frame after each start comes back exactly as it arrived.
    Use(720, 480, kYuy2, STANDARD_INDEX_NTSC);
    for (uint8_t stale : {uint8_t{0}, uint8_t{128}}) {
        for (ULONG i = 0; i < FIELD_RING_SLOTS; ++i) memset(Ctx()->fieldRing[i], stale, FIELD_BUFFER_BYTES);
        ASSERT_EQ(CamStartCapture(nullptr, Ctx()), STATUS_SUCCESS);
        const Converted c = DeliverRaw(RawFrame(240, 1440, 200, 50));
        for (LONG row : {10L, 11L, 101L, 478L, 479L}) {
            EXPECT_EQ(Luma(c, row, 300), row % 2 ? 50 : 200) << "stale " << int(stale) << " row " << row;
        }
    }
}

TEST(FrameEdges, PadFieldBlackensLines284To287Only)
{
    for (ULONG width : {720u, 704u}) {
        const size_t line = width * 2;
        std::vector<uint8_t> field(288 * line + 8, 0x55);
        PadField(field.data(), width);
        for (size_t i = 0; i < field.size(); ++i) {
            const bool padded = i >= 284 * line && i < 288 * line;
            const uint8_t want = padded ? ((i & 1) ? 128 : 16) : 0x55;
            ASSERT_EQ(field[i], want) << "width " << width << " byte " << i;
        }
    }
}

TEST(FrameEdges, BlackenLeftEdgeTouchesOnlyTheFirstPixelsOfEachRow)
{
    constexpr ULONG kRows = 6;
    auto run = [](ULONG fourcc, size_t size) {
        std::vector<uint8_t> frame(size, 0x55);
        BlackenLeftEdge(fourcc, frame.data(), kRows);
        return frame;
    };

    auto yuy2 = run(kYuy2, 1440 * kRows);
    auto rgb = run(kRgb24, 2160 * kRows);
    auto i420 = run(kI420, 1080 * kRows);
    auto other = run(0x47504A4D, 1440 * kRows);
    for (size_t i = 0; i < yuy2.size(); ++i) {
        const size_t x = i % 1440;
        ASSERT_EQ(yuy2[i], x < 4 ? ((x & 1) ? 128 : 16) : 0x55) << i;
    }
    for (size_t i = 0; i < rgb.size(); ++i) {
        ASSERT_EQ(rgb[i], i % 2160 < 6 ? 0 : 0x55) << i;
    }
    for (size_t i = 0; i < i420.size(); ++i) {
        uint8_t want = 0x55;
        if (i < 720 * kRows) {
            want = i % 720 < 2 ? 16 : 0x55;
        } else {
            // Both chroma planes together: kRows rows of 360 bytes.
            want = (i - 720 * kRows) % 360 == 0 ? 128 : 0x55;
        }
        ASSERT_EQ(i420[i], want) << i;
    }
    EXPECT_TRUE(std::all_of(other.begin(), other.end(), [](uint8_t b) { return b == 0x55; }));
}

// ------------------------------------------------------ from the board ----

namespace {
class BoardFramesTest : public CaptureTest {};
}  // namespace

TEST_F(BoardFramesTest, Yuy2At720x576PalFromTheBoard)
{
    StartCapture(PatternBoard(sim::LineSystem::L625), 720, 576, kYuy2, STANDARD_INDEX_PAL);
    const std::vector<Converted> frames = CaptureFrames(4);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(lastRaw_.size(), 817926u);
    std::vector<uint16_t> counters;
    for (const Converted& f : frames) {
        // The first frame after the start has no real previous field; the
        // de-interlacer then makes it from the first field alone.
        const bool settled = &f != &frames.front();
        ASSERT_EQ(f.bytes, 829440u);
        for (LONG r = 0; r < 576; ++r) {
            const uint8_t* row = f.output.data() + r * 1440;
            ASSERT_TRUE(row[0] == 16 && row[1] == 128 && row[2] == 16 && row[3] == 128) << "row " << r;
            if (r >= 568) {
                // The four padded lines of each field.
                ASSERT_TRUE(std::all_of(row, row + 1440, [&, i = 0](uint8_t b) mutable {
                    return b == ((i++ & 1) ? 128 : 16);
                })) << "row " << r;
            }
        }
        const sim::FieldMarks marks = Marks(f, sim::LineSystem::L625, {0, 1, 1440, 285}, 720, 576);
        ASSERT_TRUE(marks.valid);
        if (settled) {
            // Woven: the second field's last line, right above the padding,
            // shows the picture (the white bar) as it is.
            EXPECT_GT(f.output[567 * 1440 + 2 * 45], 150);
            EXPECT_EQ(marks.parity, sim::FieldParity::Woven);
        }
        counters.push_back(marks.counter);
    }
    for (size_t i = 1; i < counters.size(); ++i) EXPECT_EQ(counters[i], counters[i - 1] + 1);
    StopCapture();
}

TEST_F(BoardFramesTest, FieldsOf288LinesFromTheBoardKeepTheirOrder)
{
    StartCapture(PatternBoard(sim::LineSystem::L625), 720, 576, kYuy2, STANDARD_INDEX_PAL);
    Board().WriteRegister(0x116, 289 & 0xFF);
    Board().WriteRegister(0x117, 289 >> 8);
    const std::vector<Converted> frames = CaptureFrames(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(lastRaw_.size(), 829446u);
    for (size_t i = 1; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].bytes, 829440u);
        const sim::FieldMarks marks = Marks(frames[i], sim::LineSystem::L625, {0, 1, 1440, 285}, 720, 576);
        ASSERT_TRUE(marks.valid);
        EXPECT_EQ(marks.parity, sim::FieldParity::Woven);
    }
    // The second field went into the ring from where it starts in the raw frame.
    const PUCHAR second = Ctx()->fieldRing[(Ctx()->fieldCounter + 3) % FIELD_RING_SLOTS];
    EXPECT_EQ(memcmp(second, lastRaw_.data() + 6 + 288 * 1440, 284 * 1440), 0);
    StopCapture();
}

TEST_F(BoardFramesTest, I420At352x288PalFromTheBoard)
{
    StartCapture(PatternBoard(sim::LineSystem::L625), 352, 288, kI420, STANDARD_INDEX_PAL);
    const std::vector<Converted> frames = CaptureFrames(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(lastRaw_.size(), 799750u);
    for (const Converted& f : frames) {
        ASSERT_EQ(f.bytes, 152064u);
        // Rows 284..287 come from the padded lines: black, neutral chroma.
        for (size_t i = 284 * 352; i < 288 * 352; ++i) ASSERT_EQ(f.output[i], 16) << i;
        for (size_t plane : {101376u, 101376u + 25344u}) {
            for (size_t i = plane + 142 * 176; i < plane + 144 * 176; ++i) ASSERT_EQ(f.output[i], 128) << i;
        }
        const sim::FieldMarks marks = Marks(f, sim::LineSystem::L625, {8, 1, 1416, 285}, 704, 576);
        EXPECT_TRUE(marks.valid);
    }
    StopCapture();
}

TEST_F(BoardFramesTest, Yuy2At176x144UnderNtscFromTheBoard)
{
    StartCapture(PatternBoard(sim::LineSystem::L525), 176, 144, kYuy2, STANDARD_INDEX_NTSC);
    const std::vector<Converted> frames = CaptureFrames(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(lastRaw_.size(), 675846u);
    std::vector<uint16_t> counters;
    for (const Converted& f : frames) {
        ASSERT_EQ(f.bytes, 176u * 144 * 2);
        // No padding: the bottom row shows the picture (the bars).
        EXPECT_GT(f.output[143 * 352 + 2 * 10], 100);
        const sim::FieldMarks marks = Marks(f, sim::LineSystem::L525, {8, 13, 1416, 253}, 704, 480);
        ASSERT_TRUE(marks.valid);
        counters.push_back(marks.counter);
    }
    for (size_t i = 1; i < counters.size(); ++i) EXPECT_EQ(counters[i], counters[i - 1] + 1);
    StopCapture();
}

TEST_F(BoardFramesTest, LowBandwidthYuy2IsTheFirstFieldWithRowsTripled)
{
    StartCapture(PatternBoard(sim::LineSystem::L525, true), 160, 120, kYuy2, STANDARD_INDEX_NTSC);
    ASSERT_EQ(Ctx()->highBandwidth, 0);
    const std::vector<Converted> frames = CaptureFrames(2);
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_EQ(lastRaw_.size(), 28518u);
    const Converted& f = frames.back();
    ASSERT_EQ(f.bytes, 38400u);
    for (size_t r = 0; r < 120; ++r) {
        ASSERT_EQ(memcmp(f.output.data() + r * 320, lastRaw_.data() + 6 + (r / 3) * 324, 320), 0) << "row " << r;
    }
    StopCapture();
}
