// The packet routine: header and continuation packets, frame starts and the
// frame flag, the size check per width, bad packets, the counters across
// capture runs and the version-1 entry; by hand and on the board's stream.
#include <map>

#include "tests/capture/capture_fixture.h"
#include "tests/support/kernel_test.h"

using namespace captest;

namespace {

class PacketParserTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        context_ = std::make_unique<DeviceContext>();
        memset(context_.get(), 0, sizeof(DeviceContext));
    }
    DeviceContext* Ctx() { return context_.get(); }
    std::unique_ptr<DeviceContext> context_;
};

// A byte that tells where in which field it sits, so a gathered raw frame
// can be checked byte for byte.
uint8_t FieldByte(int field, size_t i) { return static_cast<uint8_t>((i * 7 + field * 101 + (i >> 9)) & 0x7F); }

// The packets of one field of `bytes` data bytes: a header packet, then
// continuation packets, `perPacket` data bytes each.
std::vector<std::vector<uint8_t>> FieldPackets(bool frameFlag, int field, size_t bytes, size_t perPacket = 3066)
{
    std::vector<std::vector<uint8_t>> out;
    size_t sent = 0;
    while (sent < bytes || out.empty()) {
        const size_t n = std::min(perPacket, bytes - sent);
        std::vector<uint8_t> p = out.empty() ? HeaderPacket(frameFlag, n) : ContinuationPacket(n);
        const size_t header = out.empty() ? 6 : 2;
        for (size_t i = 0; i < n; ++i) {
            p[header + i] = FieldByte(field, sent + i);
        }
        out.push_back(std::move(p));
        sent += n;
    }
    return out;
}

}  // namespace

// Only the totals of the format's own line system pass: a frame of the
// other system would be converted cut short or stretched.
TEST_F(PacketParserTest, FrameSizeCheckFollowsTheFormatAndLineSystem)
{
    constexpr LONG kNtsc = STANDARD_INDEX_NTSC, kPal = STANDARD_INDEX_PAL, kPalM = STANDARD_INDEX_PAL_M;
    struct Case {
        LONG standard;
        LONG width, height;
        ULONG frameDataSize;
        ULONG total;
        bool accepted;
    };
    const Case cases[] = {
        {kNtsc, 720, 480, PAYLOAD_720, 691206, true},   {kNtsc, 720, 480, PAYLOAD_720, 829446, false},
        {kPal, 720, 576, PAYLOAD_720, 829446, true},    {kPal, 720, 576, PAYLOAD_720, 817926, true},
        {kPal, 720, 576, PAYLOAD_720, 691206, false},   {kPal, 720, 576, PAYLOAD_720, 829440, false},
        {kPal, 720, 480, PAYLOAD_720, 691206, true},    {kPalM, 720, 576, PAYLOAD_720, 817926, false},
        {kNtsc, 352, 240, PAYLOAD_704, 675846, true},   {kNtsc, 352, 240, PAYLOAD_704, 811014, false},
        {kPal, 352, 288, PAYLOAD_704, 811014, true},    {kPal, 352, 288, PAYLOAD_704, 799750, true},
        {kPal, 352, 288, PAYLOAD_704, 675846, false},   {kPal, 176, 144, PAYLOAD_704, 799750, true},
        {kNtsc, 176, 144, PAYLOAD_704, 675846, true},   {kNtsc, 176, 144, PAYLOAD_704, 799750, false},
        {kPal, 352, 288, PAYLOAD_704, 811008, false},   {kPal, 640, 480, PAYLOAD_640, 614406, true},
        {kNtsc, 640, 480, PAYLOAD_640, 614400, false},  {kNtsc, 320, 240, PAYLOAD_640, 614406, true},
        {kNtsc, 160, 120, PAYLOAD_LOW_BANDWIDTH, 28518, true}, {kNtsc, 160, 120, PAYLOAD_LOW_BANDWIDTH, 28512, false},
        {kNtsc, 500, 10, 1000, 1006, true},             {kNtsc, 640, 480, PAYLOAD_640, 0, false},
    };
    for (const Case& c : cases) {
        Ctx()->standardIndex = c.standard;
        Ctx()->frameWidth = c.width;
        Ctx()->frameHeight = c.height;
        Ctx()->frameDataSize = c.frameDataSize;
        Ctx()->frameByteCount = c.total;
        Ctx()->fieldHeaderCount = 0;
        const PacketAnswer a = FeedPacket(Ctx(), HeaderPacket(true, 10));
        SCOPED_TRACE(testing::Message() << "standard " << c.standard << ", " << c.width << "x" << c.height << ", "
                                        << c.total << " bytes");
        EXPECT_TRUE(a.frameStart());
        EXPECT_EQ(a.dropped(), !c.accepted);
        // The whole header packet opens the next raw frame.
        EXPECT_EQ(a.offset, 0u);
        EXPECT_EQ(a.count, 16u);
        EXPECT_EQ(Ctx()->frameByteCount, 16u);
    }
}

TEST_F(PacketParserTest, GathersHeaderFieldOneAndFieldTwoAndChecksTheTotal)
{
    Ctx()->frameWidth = 720;
    Ctx()->frameHeight = 576;
    Ctx()->standardIndex = STANDARD_INDEX_PAL;
    Ctx()->frameDataSize = PAYLOAD_720;
    std::vector<std::pair<std::vector<uint8_t>, ULONG>> frames;
    FrameAssembler assembler(830464, [&](const std::vector<uint8_t>& buffer, ULONG actual) {
        frames.emplace_back(std::vector<uint8_t>(buffer.begin(), buffer.begin() + actual), actual);
    });
    auto send = [&](const std::vector<std::vector<uint8_t>>& packets) {
        for (const auto& p : packets) assembler.Feed(Ctx(), p.data(), static_cast<ULONG>(p.size()), 0);
    };
    constexpr size_t kField288 = 288 * 1440;

    // Frame 1: two 288-line fields, 829,446 bytes with the header.
    send(FieldPackets(true, 1, kField288));
    send(FieldPackets(false, 2, kField288));
    // Frame 2: the same, but one continuation packet lost 6 bytes: 829,440.
    auto shortField = FieldPackets(true, 1, kField288);
    shortField[5].resize(shortField[5].size() - 6);
    send(shortField);
    send(FieldPackets(false, 2, kField288));
    // Frame 3 whole again, closed by the next frame's header.
    send(FieldPackets(true, 1, kField288));
    send(FieldPackets(false, 2, kField288));
    send(FieldPackets(true, 1, 100));

    // What came before the first frame start (nothing) is dropped, then
    // frames 1 and 3 arrive and frame 2 is dropped.
    EXPECT_EQ(assembler.Dropped(), 2u);
    ASSERT_EQ(frames.size(), 2u);
    const std::vector<uint8_t> header = HeaderPacket(true, 0);
    for (const auto& [raw, actual] : frames) {
        ASSERT_EQ(actual, 829446u);
        EXPECT_TRUE(std::equal(header.begin(), header.end(), raw.begin()));
        size_t mismatches = 0;
        for (size_t i = 0; i < kField288; ++i) {
            mismatches += raw[6 + i] != FieldByte(1, i);
            mismatches += raw[6 + kField288 + i] != FieldByte(2, i);
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

TEST_F(PacketParserTest, HeadersWithTheFlagClearCutAFrameAtEverySecondHeader)
{
    Ctx()->frameWidth = 640;
    Ctx()->frameDataSize = PAYLOAD_640;
    std::vector<int> starts;
    for (int h = 1; h <= 7; ++h) {
        const auto header = HeaderPacket(false, 100);
        const PacketAnswer a = FeedPacket(Ctx(), header);
        if (a.frameStart()) {
            starts.push_back(h);
            EXPECT_EQ(a.offset, 0u);
            EXPECT_EQ(a.count, 106u);
            EXPECT_EQ(Ctx()->fieldHeaderCount, 0u);
        } else {
            // Taken as the second field: its header is skipped.
            EXPECT_EQ(a.frameComplete, kUnwritten);
            EXPECT_EQ(a.offset, 6u);
            EXPECT_EQ(a.count, 100u);
            EXPECT_EQ(Ctx()->fieldHeaderCount, 1u);
        }
        FeedPacket(Ctx(), ContinuationPacket(50));
    }
    EXPECT_EQ(starts, (std::vector<int>{2, 4, 6}));
}

TEST_F(PacketParserTest, FlaggedHeaderRightAfterAFrameStartStartsAgain)
{
    Ctx()->frameWidth = 720;
    Ctx()->frameHeight = 576;
    Ctx()->standardIndex = STANDARD_INDEX_PAL;
    Ctx()->frameDataSize = PAYLOAD_720;
    Ctx()->frameByteCount = 817926;  // a whole frame in progress
    PacketAnswer a = FeedPacket(Ctx(), HeaderPacket(true, 500));
    EXPECT_TRUE(a.frameStart());
    EXPECT_FALSE(a.dropped());

    // The one-packet frame before it fails the size check.
    a = FeedPacket(Ctx(), HeaderPacket(true, 700));
    EXPECT_TRUE(a.frameStart());
    EXPECT_TRUE(a.dropped());
    EXPECT_EQ(a.count, 706u);
    EXPECT_EQ(Ctx()->frameByteCount, 706u);

    // A flagged header also ends a first field without a second one.
    FeedPacket(Ctx(), ContinuationPacket(1000));
    a = FeedPacket(Ctx(), HeaderPacket(true, 10));
    EXPECT_TRUE(a.frameStart());
    EXPECT_TRUE(a.dropped());
}

TEST_F(PacketParserTest, ContinuationMarkWinsEvenRightAfterAnErrorPacket)
{
    Ctx()->frameWidth = 720;
    Ctx()->frameByteCount = 1000;
    Ctx()->fieldHeaderCount = 1;
    // An error packet, whatever its bytes say, contributes nothing.
    PacketAnswer a = FeedPacket(Ctx(), HeaderPacket(true, 100), USBD_STATUS_CRC);
    EXPECT_TRUE(a.dropped());
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.offset, 0u);
    EXPECT_EQ(a.frameComplete, kUnwritten);

    // The next packet starts 0xFF 0xFF: a continuation, not a header.
    auto packet = ContinuationPacket(300);
    packet[2] = 0x12;  // data that would read as a header word
    packet[3] = 0x40;
    a = FeedPacket(Ctx(), packet);
    EXPECT_FALSE(a.dropped());
    EXPECT_EQ(a.frameComplete, kUnwritten);
    EXPECT_EQ(a.offset, 2u);
    EXPECT_EQ(a.count, 300u);
    EXPECT_EQ(Ctx()->frameByteCount, 1300u);
    EXPECT_EQ(Ctx()->fieldHeaderCount, 1u);
}

TEST_F(PacketParserTest, TwoByteContinuationCarriesNothing)
{
    Ctx()->frameByteCount = 4242;
    Ctx()->fieldHeaderCount = 1;
    const PacketAnswer a = FeedPacket(Ctx(), ContinuationPacket(0));
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.offset, 2u);
    EXPECT_EQ(a.flag, 0u);
    EXPECT_EQ(a.frameComplete, kUnwritten);
    EXPECT_EQ(Ctx()->frameByteCount, 4242u);
    EXPECT_EQ(Ctx()->fieldHeaderCount, 1u);
}

TEST_F(PacketParserTest, ShortHeaderPackets)
{
    Ctx()->frameWidth = 720;
    Ctx()->frameHeight = 576;
    Ctx()->standardIndex = STANDARD_INDEX_PAL;
    Ctx()->frameDataSize = PAYLOAD_720;
    for (ULONG length : {2u, 4u}) {
        SCOPED_TRACE(length);
        // As a second-field start: no data, the offset stays inside the
        // packet and the count is 0, never length - 6.
        FeedPacket(Ctx(), HeaderPacket(true, 400));
        const auto header = HeaderPacket(false, 0);
        PacketAnswer a = FeedPacket(Ctx(), header.data(), length);
        EXPECT_EQ(a.count, 0u);
        EXPECT_EQ(a.offset, length);
        EXPECT_EQ(a.frameComplete, kUnwritten);
        EXPECT_EQ(Ctx()->fieldHeaderCount, 1u);
        EXPECT_EQ(Ctx()->frameByteCount, 406u);

        // As a frame start: the whole packet opens the new frame; the one
        // just closed is short and dropped.
        const auto flagged = HeaderPacket(true, 0);
        a = FeedPacket(Ctx(), flagged.data(), length);
        EXPECT_TRUE(a.frameStart());
        EXPECT_TRUE(a.dropped());
        EXPECT_EQ(a.offset, 0u);
        EXPECT_EQ(a.count, length);
        EXPECT_EQ(Ctx()->frameByteCount, length);
    }
}

TEST_F(PacketParserTest, ErrorOddAndEmptyPacketsLeaveTheCountersAlone)
{
    Ctx()->frameWidth = 720;
    Ctx()->frameByteCount = 123456;
    Ctx()->fieldHeaderCount = 1;
    const auto header = HeaderPacket(true, 101);  // 107 bytes: odd
    const struct {
        const char* what;
        ULONG length;
        USBD_STATUS status;
        bool drop;
    } cases[] = {
        {"error status", 100, USBD_STATUS_DEV_NOT_RESPONDING, true},
        {"error status, empty", 0, USBD_STATUS_CRC, true},
        {"odd length", 107, USBD_STATUS_SUCCESS, true},
        {"one byte", 1, USBD_STATUS_SUCCESS, true},
        {"empty", 0, USBD_STATUS_SUCCESS, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const PacketAnswer a = FeedPacket(Ctx(), header.data(), c.length, c.status);
        EXPECT_EQ(a.count, 0u);
        EXPECT_EQ(a.offset, 0u);
        EXPECT_EQ(a.dropped(), c.drop);
        EXPECT_EQ(a.frameComplete, kUnwritten);
        EXPECT_EQ(Ctx()->frameByteCount, 123456u);
        EXPECT_EQ(Ctx()->fieldHeaderCount, 1u);
    }
}

TEST_F(PacketParserTest, PacketWithoutBufferCountsAsContinuation)
{
    Ctx()->frameByteCount = 10;
    const PacketAnswer a = FeedPacket(Ctx(), nullptr, 64);
    EXPECT_EQ(a.offset, 2u);
    EXPECT_EQ(a.count, 62u);
    EXPECT_EQ(a.frameComplete, kUnwritten);
    EXPECT_EQ(Ctx()->frameByteCount, 72u);
}

TEST_F(PacketParserTest, VersionOneEntryGivesTheSameCountsAndFrameStarts)
{
    DeviceContext twin{};
    Ctx()->frameWidth = twin.frameWidth = 640;
    Ctx()->frameDataSize = twin.frameDataSize = PAYLOAD_640;
    std::vector<std::pair<std::vector<uint8_t>, USBD_STATUS>> packets = {
        {HeaderPacket(false, 40), 0},  {ContinuationPacket(30), 0},   {HeaderPacket(false, 8), 0},
        {ContinuationPacket(0), 0},    {HeaderPacket(true, 12), 0},   {HeaderPacket(true, 3), 0},
        {ContinuationPacket(20), USBD_STATUS_CRC}, {std::vector<uint8_t>{}, 0}, {HeaderPacket(false, 2), 0},
    };
    for (size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [bytes, status] = packets[i];
        const PacketAnswer ex = FeedPacket(Ctx(), bytes, status);

        USBD_ISO_PACKET_DESCRIPTOR d{0, static_cast<ULONG>(bytes.size()), status};
        BOOLEAN frameComplete = kUnwritten;
        BOOLEAN still = TRUE;
        ULONG count = 0;
        {
            kv::kernel::IrqlScope raised;
            count = CamProcessUSBPacket(nullptr, &twin, nullptr, nullptr, nullptr, &d,
                                        const_cast<uint8_t*>(bytes.data()), &frameComplete, &still);
        }
        EXPECT_EQ(count, ex.count);
        EXPECT_EQ(frameComplete, ex.frameComplete);
        EXPECT_EQ(still, FALSE);
        EXPECT_EQ(twin.frameByteCount, Ctx()->frameByteCount);
        EXPECT_EQ(twin.fieldHeaderCount, Ctx()->fieldHeaderCount);
    }
}

// ------------------------------------------------------- board streams ----

namespace {

class BoardStreamTest : public CaptureTest {
protected:
    // An assembler for the whole test that records the size of every raw
    // frame it hands on and the frame number the board put in its header.
    void MakeAssembler()
    {
        assembler_ = std::make_unique<FrameAssembler>(rawFrameLength_, [this](const std::vector<uint8_t>& raw,
                                                                              ULONG actual) {
            totals_.push_back(actual);
            numbers_.push_back(static_cast<uint16_t>((raw[0] | (raw[1] << 8)) & 0x0FFF));
        });
    }
    std::unique_ptr<FrameAssembler> assembler_;
    std::vector<ULONG> totals_;
    std::vector<uint16_t> numbers_;  // 12-bit frame numbers
};

}  // namespace

TEST_F(BoardStreamTest, FieldsOf288LinesMakeAcceptedFramesAndSixMissingBytesDropOne)
{
    StartCapture(PatternBoard(sim::LineSystem::L625), 720, 576, kYuy2, STANDARD_INDEX_PAL);
    // Open the window to all 288 active lines: 829,446-byte frames.
    Board().WriteRegister(0x116, 289 & 0xFF);
    Board().WriteRegister(0x117, 289 >> 8);
    MakeAssembler();
    Pump(*assembler_, 3);
    // What came before the first frame start fails the size check.
    EXPECT_EQ(assembler_->Dropped(), 1u);

    // One continuation packet in the middle of the next frame loses 6 bytes.
    bool cut = false;
    size_t continuations = 0;
    Pump(*assembler_, 5, 6000, [&](uint64_t, std::vector<uint8_t>& bytes, USBD_STATUS&) {
        if (bytes.size() > 8 && bytes[0] == 0xFF && bytes[1] == 0xFF && ++continuations == 200) {
            bytes.resize(bytes.size() - 6);
            cut = true;
        }
    });
    ASSERT_TRUE(cut);
    EXPECT_EQ(assembler_->Dropped(), 2u);
    ASSERT_EQ(totals_.size(), 5u);
    for (ULONG t : totals_) EXPECT_EQ(t, 829446u);
    int missing = 0;
    for (size_t i = 1; i < numbers_.size(); ++i) missing += ((numbers_[i] - numbers_[i - 1]) & 0x0FFF) - 1;
    EXPECT_EQ(missing, 1);
}

TEST_F(BoardStreamTest, FlagClearedInEveryHeaderStillCutsFramesOfTwoFields)
{
    StartCapture(PatternBoard(sim::LineSystem::L525), 720, 480, kYuy2, STANDARD_INDEX_NTSC);
    int headers = 0;
    std::vector<int> startsAtHeader;
    MakeAssembler();
    Pump(
        *assembler_, 4, 6000,
        [&](uint64_t, std::vector<uint8_t>& bytes, USBD_STATUS&) {
            if (bytes.size() >= 6 && !(bytes[0] == 0xFF && bytes[1] == 0xFF)) {
                bytes[1] &= static_cast<uint8_t>(~0x40);
                ++headers;
            }
        },
        [&](const std::vector<uint8_t>&, USBD_STATUS, const PacketAnswer& a) {
            if (a.frameStart()) startsAtHeader.push_back(headers);
        });
    ASSERT_EQ(totals_.size(), 4u);
    for (ULONG t : totals_) EXPECT_EQ(t, 691206u);
    ASSERT_GE(startsAtHeader.size(), 5u);
    for (size_t i = 1; i < startsAtHeader.size(); ++i) {
        EXPECT_EQ(startsAtHeader[i] - startsAtHeader[i - 1], 2);
    }
}

TEST_F(BoardStreamTest, ErrorAndOddPacketsDropOnlyTheirFrame)
{
    StartCapture(PatternBoard(sim::LineSystem::L525), 720, 480, kYuy2, STANDARD_INDEX_NTSC);
    sim::IsoFaults faults;
    faults.packetError = sim::FaultKnob::Once(1200);
    faults.oddLength = sim::FaultKnob::Once(1700);
    Board().SetIsoFaults(faults);
    MakeAssembler();
    int errors = 0, odd = 0, afterError = 0;
    bool previousWasError = false;
    Pump(*assembler_, 8, 8000, {}, [&](const std::vector<uint8_t>& bytes, USBD_STATUS status, const PacketAnswer& a) {
        if (status >= 0 && bytes.empty()) {
            return;  // between fields
        }
        if (status < 0) {
            ++errors;
            EXPECT_TRUE(a.dropped());
            EXPECT_EQ(a.count, 0u);
        } else if (bytes.size() & 1) {
            ++odd;
            EXPECT_TRUE(a.dropped());
            EXPECT_EQ(a.count, 0u);
        } else if (previousWasError && bytes.size() >= 2) {
            // The packet after the error continues the field.
            ++afterError;
            EXPECT_EQ(a.offset, 2u);
            EXPECT_FALSE(a.dropped());
        }
        previousWasError = status < 0;
    });
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(odd, 1);
    EXPECT_EQ(afterError, 1);
    ASSERT_EQ(totals_.size(), 8u);
    int missing = 0;
    for (size_t i = 1; i < numbers_.size(); ++i) {
        const int step = (numbers_[i] - numbers_[i - 1]) & 0x0FFF;
        EXPECT_GE(step, 1);
        missing += step - 1;
        EXPECT_EQ(totals_[i], 691206u);
    }
    EXPECT_EQ(missing, 2);
}

TEST_F(BoardStreamTest, CountersSurviveStartAndStopAndTheLeftoverFrameIsDropped)
{
    StartCapture(PatternBoard(sim::LineSystem::L525), 720, 480, kYuy2, STANDARD_INDEX_NTSC);
    MakeAssembler();
    Pump(*assembler_, 2);
    // Stop in the middle of a frame.
    Pump(*assembler_, 3, 100);
    const ULONG bytes = Ctx()->frameByteCount;
    const ULONG headers = Ctx()->fieldHeaderCount;
    ASSERT_GT(bytes, 0u);
    StopCapture();
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat(720, 480, kYuy2);
    ASSERT_EQ(CamAllocateBandwidthEx(nullptr, Ctx(), &rawFrameLength_, &format, 0), STATUS_SUCCESS);
    ASSERT_EQ(CamStartCaptureEx(nullptr, Ctx(), 0), STATUS_SUCCESS);
    EXPECT_EQ(Ctx()->frameByteCount, bytes);
    EXPECT_EQ(Ctx()->fieldHeaderCount, headers);

    // The leftover closes with the first frame start of the new run and
    // fails the size check; whole frames follow.
    totals_.clear();
    MakeAssembler();
    Pump(*assembler_, 2);
    // (A run that resumes with a second field drops that one as well.)
    EXPECT_GE(assembler_->Dropped(), 1u);
    EXPECT_LE(assembler_->Dropped(), 2u);
    ASSERT_EQ(totals_.size(), 2u);
    EXPECT_EQ(totals_[0], 691206u);
    EXPECT_EQ(totals_[1], 691206u);
    StopCapture();
}
