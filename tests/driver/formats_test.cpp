// The pin's format lists, the format check and the data intersection, sent
// as request blocks through the stream class emulation.
#include <gtest/gtest.h>

#include "tests/driver/driver_test_util.h"
#include "tests/support/system_fixture.h"

using namespace drivertest;
namespace reg = kv::kernel::registry;
namespace sc = kv::streamclass;

namespace {

constexpr const char* kKv3300 = "\\REGISTRY\\MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\KV3300";

class FormatsTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    }

    struct Intersection {
        sc::Result result;
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        ULONG libraryInterval = 0;
    };

    Intersection Intersect(const KS_DATARANGE_VIDEO& range, ULONG bufferSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
    {
        Intersection out;
        std::vector<uint8_t> buffer;
        USBCAMD_SetFrameInterval(Context(), 0);
        out.result = Device().DataIntersection(0, &range, sizeof(range), bufferSize, &buffer);
        if (!buffer.empty()) {
            std::memcpy(&out.format, buffer.data(), std::min(buffer.size(), sizeof(out.format)));
        }
        // The call returns the interval in force before it.
        out.libraryInterval = USBCAMD_SetFrameInterval(Context(), 0);
        return out;
    }
};

}  // namespace

TEST(FormatTables, FullListReadsLikeItsTable)
{
    struct Row {
        ULONG fourcc;
        LONG width, height;
        ULONG sizeImage;
        LONGLONG interval;
        ULONG standards;
        LONG minBps, maxBps;
        ULONG bitRate;
    } rows[] = {
        {kYuy2, 320, 240, 153600, 333667, 0x203, 36787200, 36787200, 36787200},
        {kYuy2, 352, 288, 202752, 400000, 0x7F5B0, 40550400, 40550400, 48559104},
        {kYuy2, 640, 480, 614400, 333667, 0x7F7B3, 147148800, 147148800, 147148800},
        {kYuy2, 720, 576, 829440, 400000, 0x7F5B0, 165888000, 165888000, 198650880},
        {kI420, 160, 120, 28800, 333667, 0x203, 6892800, 6892800, 6892800},
        {kRgb24, 352, 240, 253440, 333667, 0x203, 22725120, 60741120, 60741120},
        {kRgb24, 720, 576, 1244160, 400000, 0x7F5B0, 248832000, 248832000, 298183680},
    };
    ASSERT_EQ(FullStreamDescription.NumberOfFormatArrayEntries, 22u);
    for (const Row& row : rows) {
        const ULONG index = FullIndex(row.fourcc, row.width, row.height);
        ASSERT_NE(index, ~0u);
        const KS_DATARANGE_VIDEO& r = FullRange(index);
        EXPECT_EQ(r.DataRange.FormatSize, 296u);
        EXPECT_EQ(r.DataRange.SampleSize, row.sizeImage);
        EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, row.sizeImage);
        EXPECT_EQ(r.VideoInfoHeader.AvgTimePerFrame, row.interval);
        EXPECT_EQ(r.ConfigCaps.MinFrameInterval, row.interval);
        EXPECT_EQ(r.ConfigCaps.VideoStandard, row.standards);
        EXPECT_EQ(r.ConfigCaps.MinBitsPerSecond, row.minBps);
        EXPECT_EQ(r.ConfigCaps.MaxBitsPerSecond, row.maxBps);
        EXPECT_EQ(r.VideoInfoHeader.dwBitRate, row.bitRate);
        const auto* bytes = reinterpret_cast<const uint8_t*>(&r.ConfigCaps);
        EXPECT_EQ(bytes[100] | bytes[101] | bytes[102] | bytes[103], 0) << "padding before MinFrameInterval";
    }
    EXPECT_EQ(FullIndex(kI420, 720, 576), ~0u);
    EXPECT_EQ(FullIndex(kI420, 720, 480), ~0u);
    ASSERT_EQ(LowBandwidthStreamDescription.NumberOfFormatArrayEntries, 3u);
    EXPECT_EQ(LowBandwidthStreamDescription.StreamFormatsArray[0], FullStreamDescription.StreamFormatsArray[11]);
    EXPECT_EQ(LowBandwidthStreamDescription.StreamFormatsArray[1], FullStreamDescription.StreamFormatsArray[17]);
    EXPECT_EQ(LowBandwidthStreamDescription.StreamFormatsArray[2], FullStreamDescription.StreamFormatsArray[3]);
}

TEST(FormatTables, FormatCheckComparesGuidsSizesAndCompression)
{
    SelectStreamDescription(FALSE);
    KS_DATAFORMAT_VIDEOINFOHEADER format = FormatFor(FullRange(0));
    EXPECT_TRUE(FormatIsOffered(&format.DataFormat, 0));
    EXPECT_FALSE(FormatIsOffered(&format.DataFormat, 1)) << "only stream 0 exists";
    format.VideoInfoHeader.bmiHeader.biBitCount = 7;
    format.VideoInfoHeader.AvgTimePerFrame = 1;
    EXPECT_TRUE(FormatIsOffered(&format.DataFormat, 0)) << "bit count and interval are not compared";
    format.VideoInfoHeader.bmiHeader.biCompression = kI420;
    EXPECT_FALSE(FormatIsOffered(&format.DataFormat, 0)) << "YUY2 subtype labelled I420";
    format.VideoInfoHeader.bmiHeader.biCompression = kYuy2;
    format.VideoInfoHeader.bmiHeader.biSizeImage += 1;
    EXPECT_FALSE(FormatIsOffered(&format.DataFormat, 0));
    EXPECT_FALSE(FormatIsOffered(nullptr, 0));
}

TEST_F(FormatsTest, NtscIntersectionOfThe320x240Range)
{
    Context()->standardIndex = STANDARD_INDEX_NTSC;
    Intersection i = Intersect(FullRange(0));
    ASSERT_EQ(i.result.status, STATUS_SUCCESS);
    EXPECT_EQ(i.result.actualBytes, 152u);
    EXPECT_EQ(i.format.DataFormat.FormatSize, 152u);
    EXPECT_EQ(i.format.VideoInfoHeader.AvgTimePerFrame, 333667);
    EXPECT_EQ(i.format.VideoInfoHeader.dwBitRate, 36827136u);
    EXPECT_EQ(i.format.VideoInfoHeader.bmiHeader.biSizeImage, 153600u);
    EXPECT_EQ(i.format.DataFormat.SampleSize, 153600u);
    EXPECT_EQ(i.libraryInterval, 320u);
}

TEST_F(FormatsTest, FrameRateOverrideOfTenPerSecond)
{
    Context()->standardIndex = STANDARD_INDEX_NTSC;
    reg::SetDword(kKv3300, "WFrameRate", 1);
    Intersection i = Intersect(FullRange(0));
    ASSERT_EQ(i.result.status, STATUS_SUCCESS);
    EXPECT_EQ(i.format.VideoInfoHeader.AvgTimePerFrame, 1000000);
    EXPECT_EQ(i.format.VideoInfoHeader.dwBitRate, 12288000u);
    EXPECT_EQ(i.libraryInterval, 990u) << "the library lets every third frame through, not every one";

    // Under 625 lines every third frame is 8.33 per second, and says so.
    Context()->standardIndex = STANDARD_INDEX_PAL;
    i = Intersect(FullRange(FullIndex(kYuy2, 640, 480)));
    EXPECT_EQ(i.format.VideoInfoHeader.AvgTimePerFrame, 1200000);
    EXPECT_EQ(i.format.VideoInfoHeader.dwBitRate, 614400u * 200 / 3);
    EXPECT_EQ(i.libraryInterval, 1190u);
    Context()->standardIndex = STANDARD_INDEX_NTSC;

    // Read again at every intersection.
    reg::SetDword(kKv3300, "WFrameRate", 0);
    EXPECT_EQ(Intersect(FullRange(0)).format.VideoInfoHeader.AvgTimePerFrame, 333667);
}

TEST_F(FormatsTest, OverrideOfAnotherTypeIsIgnored)
{
    Context()->standardIndex = STANDARD_INDEX_NTSC;
    reg::SetString(kKv3300, "WFrameRate", "1");
    Intersection i = Intersect(FullRange(0));
    ASSERT_EQ(i.result.status, STATUS_SUCCESS);
    EXPECT_EQ(i.format.VideoInfoHeader.AvgTimePerFrame, 333667);
}

// The rate announced and the interval the library paces by follow the line
// system in force: PAL-M is a 525-line standard, and an index outside 1..5
// runs as NTSC once capture starts.
TEST_F(FormatsTest, FrameRateFollowsTheLineSystemInForce)
{
    struct Case {
        LONG index;
        LONGLONG avgTimePerFrame;
        ULONG bitRate, libraryInterval;
    };
    const ULONG size = 614400;  // YUY2 640 x 480, offered under both systems
    const Case cases[] = {
        {2, 400000, size * 200, 390},    {3, 400000, size * 200, 390},    {5, 400000, size * 200, 390},
        {4, 333667, size * 8 / 100 * 2997, 320}, {0, 333667, size * 8 / 100 * 2997, 320},
        {9, 333667, size * 8 / 100 * 2997, 320},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        Context()->standardIndex = c.index;
        Intersection i = Intersect(FullRange(FullIndex(kYuy2, 640, 480)));
        ASSERT_EQ(i.result.status, STATUS_SUCCESS);
        EXPECT_EQ(i.format.VideoInfoHeader.AvgTimePerFrame, c.avgTimePerFrame);
        EXPECT_EQ(i.format.VideoInfoHeader.dwBitRate, c.bitRate);
        EXPECT_EQ(i.libraryInterval, c.libraryInterval);
    }
}

// A size of the other line system would be accepted and then deliver
// nothing: intersection, open, proposal and format change refuse it.
TEST_F(FormatsTest, SizesOfTheOtherLineSystemAreRefused)
{
    const KS_DATARANGE_VIDEO ntsc = FullRange(FullIndex(kYuy2, 720, 480));
    const KS_DATARANGE_VIDEO pal = FullRange(FullIndex(kRgb24, 352, 288));
    for (LONG index : {1, 4}) {
        Context()->standardIndex = index;
        EXPECT_EQ(Intersect(pal).result.status, STATUS_NO_MATCH) << index;
        EXPECT_EQ(Intersect(ntsc).result.status, STATUS_SUCCESS) << index;
    }
    Context()->standardIndex = STANDARD_INDEX_SECAM;
    EXPECT_EQ(Intersect(ntsc).result.status, STATUS_NO_MATCH);
    EXPECT_EQ(Intersect(pal).result.status, STATUS_SUCCESS);
}

TEST_F(FormatsTest, I420At160x120RoundsRowsToWords)
{
    Intersection i = Intersect(FullRange(FullIndex(kI420, 160, 120)));
    ASSERT_EQ(i.result.status, STATUS_SUCCESS);
    EXPECT_EQ(i.format.VideoInfoHeader.bmiHeader.biSizeImage, 28800u);
}

TEST_F(FormatsTest, BufferSizeAnswers)
{
    Context()->standardIndex = STANDARD_INDEX_PAL;
    Intersection query = Intersect(FullRange(FullIndex(kYuy2, 640, 480)), 0);
    EXPECT_EQ(query.result.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.result.actualBytes, 152u);
    EXPECT_EQ(query.libraryInterval, 390u) << "a size query also sets the interval";

    Intersection small = Intersect(FullRange(FullIndex(kYuy2, 640, 480)), 151);
    EXPECT_EQ(small.result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.result.actualBytes, 0u);
}

TEST_F(FormatsTest, RangesThePinDidNotReportDoNotMatch)
{
    struct Case {
        const char* what;
        void (*edit)(KS_DATARANGE_VIDEO&);
    } cases[] = {
        {"frame interval in the capabilities", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MinFrameInterval = 1; }},
        {"bit rate in the capabilities", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MaxBitsPerSecond += 1; }},
        {"capabilities padding", [](KS_DATARANGE_VIDEO& r) { reinterpret_cast<uint8_t*>(&r.ConfigCaps)[101] = 1; }},
        {"width", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biWidth = 321; }},
        {"subtype", [](KS_DATARANGE_VIDEO& r) { r.DataRange.SubFormat = MEDIASUBTYPE_IYUV; }},
        {"compression", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biCompression = 0x32315659; }},
        {"compression of RGB", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biCompression = 0; }},
        {"stream flags", [](KS_DATARANGE_VIDEO& r) { r.StreamDescriptionFlags = 0; }},
        {"bitmap header size", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 0; }},
        {"format size", [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 64; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KS_DATARANGE_VIDEO range = FullRange(0);
        c.edit(range);
        EXPECT_EQ(Intersect(range).result.status, STATUS_NO_MATCH);
    }
    // What does not take part in the match: the caller's own frame interval
    // and bit rate in the video header are replaced.
    KS_DATARANGE_VIDEO range = FullRange(0);
    range.VideoInfoHeader.AvgTimePerFrame = 5;
    range.VideoInfoHeader.dwBitRate = 5;
    Context()->standardIndex = STANDARD_INDEX_NTSC;
    Intersection i = Intersect(range);
    EXPECT_EQ(i.result.status, STATUS_SUCCESS);
    EXPECT_EQ(i.format.VideoInfoHeader.AvgTimePerFrame, 333667);
}

class LowBandwidthTest : public SystemTest {};

TEST_F(LowBandwidthTest, OffersThreeSmallFormatsAndRefusesOthers)
{
    for (uint16_t length : {99, 195}) {
        SCOPED_TRACE(length);
        kv::kernel::Reset();
        sc::Reset();
        sim::BoardConfig config;
        config.lowBandwidth = true;
        config.lowBandwidthDescriptorLength = length;
        ASSERT_EQ(StartDevice(config), STATUS_SUCCESS);
        EXPECT_EQ(Context()->highBandwidth, 0);
        ASSERT_TRUE(Device().Description());
        ASSERT_EQ(Device().Description()->streams.size(), 1u);
        EXPECT_EQ(Device().Description()->streams[0].NumberOfFormatArrayEntries, 3u);

        KS_DATAFORMAT_VIDEOINFOHEADER big = FormatFor(FullRange(FullIndex(kYuy2, 320, 240)));
        sc::Stream* stream = nullptr;
        EXPECT_EQ(Device().OpenStream(0, &big, sizeof(big), &stream).status, STATUS_INVALID_PARAMETER);
        KS_DATAFORMAT_VIDEOINFOHEADER small = FormatFor(FullRange(FullIndex(kRgb24, 160, 120)));
        EXPECT_TRUE(Device().OpenStream(0, &small, sizeof(small), &stream).ok());
        device_.reset();
        driver_.reset();
        port_.reset();
        board_.reset();
    }
    SelectStreamDescription(FALSE);
}
