// The capture tool: its arguments, the Y4M it writes, and a capture through
// the whole stack into a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/streamclass.h"
#include "tests/support/kernel_test.h"
#include "tools/capture.h"
#include "tools/y4m_writer.h"

namespace {

using kvcap::CaptureOptions;

struct Parsed {
    bool ok;
    bool help;
    std::string error;
    CaptureOptions options;
};

Parsed Parse(std::vector<std::string> args)
{
    Parsed p;
    p.ok = kvcap::ParseCaptureArguments(args, &p.options, &p.error, &p.help);
    return p;
}

TEST(KvcapArguments, TakesEveryOptionInBothSpellings)
{
    const Parsed p = Parse({"--format", "yuy2", "--size=720x576", "--standard", "PAL", "--frames=7", "--output",
                            "out.y4m", "--source=in.y4m", "--realtime", "--low-bandwidth"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.format, "YUY2");
    EXPECT_EQ(p.options.width, 720);
    EXPECT_EQ(p.options.height, 576);
    EXPECT_EQ(p.options.standard, "pal");
    EXPECT_EQ(p.options.frames, 7u);
    EXPECT_EQ(p.options.output, "out.y4m");
    EXPECT_EQ(p.options.source, "in.y4m");
    EXPECT_TRUE(p.options.realtime);
    EXPECT_TRUE(p.options.lowBandwidth);
    EXPECT_TRUE(Parse({"--help"}).help);
    EXPECT_TRUE(Parse({}).ok);
}

TEST(KvcapArguments, RefusesWhatItCannotUseWithAMessage)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--format", "MJPG"},   {"--size", "640"},          {"--size", "0x480"},    {"--size", "640x-1"},
        {"--size", "99999x4"},  {"--size", "640x480x2"},    {"--frames", "0"},      {"--frames", "12abc"},
        {"--frames", "-3"},     {"--frames", "99999999999"}, {"--standard", "pal-x"}, {"--output"},
        {"--output="},          {"--realtime=yes"},         {"--colour"},           {"capture"}};
    for (const auto& args : bad) {
        const Parsed p = Parse(args);
        EXPECT_FALSE(p.ok) << args[0];
        EXPECT_FALSE(p.error.empty()) << args[0];
    }
}

TEST(KvcapY4m, HeaderCarriesSizeRateAndChromaLayout)
{
    kvcap::Y4mFormat f{kvcap::PixelFormat::Yuy2, 720, 480, 0, 1};
    kvcap::RateOfInterval(333667, &f.rateNumerator, &f.rateDenominator);
    EXPECT_EQ(kvcap::Y4mWriter::Header(f), "YUV4MPEG2 W720 H480 F30000:1001 Ip A0:0 C422 XCOLORRANGE=LIMITED\n");
    kvcap::RateOfInterval(400000, &f.rateNumerator, &f.rateDenominator);
    EXPECT_EQ(f.rateNumerator, 25u);
    EXPECT_EQ(f.rateDenominator, 1u);
    kvcap::RateOfInterval(1000000, &f.rateNumerator, &f.rateDenominator);
    EXPECT_EQ(f.rateNumerator, 10u);
    f.pixels = kvcap::PixelFormat::I420;
    EXPECT_NE(kvcap::Y4mWriter::Header(f).find(" C420jpeg "), std::string::npos);
    f.pixels = kvcap::PixelFormat::Rgb24;
    EXPECT_NE(kvcap::Y4mWriter::Header(f).find(" C444 "), std::string::npos);
    std::ostringstream sink;
    EXPECT_THROW(kvcap::Y4mWriter(sink, {kvcap::PixelFormat::I420, 3, 2, 25, 1}), std::invalid_argument);
    EXPECT_THROW(kvcap::Y4mWriter(sink, {kvcap::PixelFormat::I420, 4, 2, 0, 1}), std::invalid_argument);
}

TEST(KvcapY4m, FramesBecomePlanesAndWrongSizesAreRefused)
{
    std::ostringstream out;
    kvcap::Y4mWriter yuy2(out, {kvcap::PixelFormat::Yuy2, 4, 2, 25, 1});
    const uint8_t packed[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_FALSE(yuy2.WriteFrame(packed, 15));
    ASSERT_TRUE(yuy2.WriteFrame(packed, 16));
    const std::string header = kvcap::Y4mWriter::Header({kvcap::PixelFormat::Yuy2, 4, 2, 25, 1});
    EXPECT_EQ(out.str().substr(header.size()),
              std::string("FRAME\n") + std::string("\x01\x03\x05\x07\x09\x0B\x0D\x0F"  // Y
                                                   "\x02\x06\x0A\x0E"                  // U
                                                   "\x04\x08\x0C\x10",                 // V
                                                   16));

    // RGB24: the bitmap's bottom row is the picture's last; white, black, red.
    std::ostringstream rgbOut;
    kvcap::Y4mWriter rgb(rgbOut, {kvcap::PixelFormat::Rgb24, 2, 2, 25, 1});
    const uint8_t bgr[12] = {0, 0, 255, 0, 0, 0,          // bottom row: red, black
                             255, 255, 255, 255, 255, 255};  // top row: white, white
    ASSERT_TRUE(rgb.WriteFrame(bgr, 12));
    const std::string planes = rgbOut.str().substr(rgbOut.str().size() - 12);
    const auto at = [&](size_t i) { return static_cast<int>(static_cast<uint8_t>(planes[i])); };
    EXPECT_EQ(at(0), 235);  // white, top left
    EXPECT_NEAR(at(2), 81, 1);  // red, bottom left
    EXPECT_EQ(at(3), 16);   // black
    EXPECT_EQ(at(4 + 0), 128);
    EXPECT_EQ(at(8 + 2), 240);  // red's V
    EXPECT_EQ(rgb.FramesWritten(), 1u);
}

class KvcapCapture : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        output_ = (std::filesystem::temp_directory_path() /
                   ("kvcap_test_" + std::to_string(::getpid()) + ".y4m")).string();
    }
    void TearDown() override
    {
        std::filesystem::remove(output_);
        kv::streamclass::Reset();
        KernelTest::TearDown();
    }
    std::string output_;
};

TEST_F(KvcapCapture, WritesTheFramesItReportsToAPlayableFile)
{
    CaptureOptions options;
    options.format = "YUY2";
    options.width = 352;
    options.height = 288;
    options.standard = "pal";
    options.frames = 5;
    options.output = output_;
    std::ostringstream out, err;
    ASSERT_EQ(kvcap::RunCapture(options, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("captured 5 frames of YUY2 352x288 at 25.00 fps"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("dropped 0 frames"), std::string::npos);

    std::ifstream file(output_, std::ios::binary);
    std::string header;
    std::getline(file, header);
    EXPECT_EQ(header, "YUV4MPEG2 W352 H288 F25:1 Ip A0:0 C422 XCOLORRANGE=LIMITED");
    const size_t frameBytes = 352 * 288 * 2;
    std::string rest((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(rest.size(), 5 * (6 + frameBytes));
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(rest.substr(i * (6 + frameBytes), 6), "FRAME\n");
}

TEST_F(KvcapCapture, ASizeThePinDoesNotOfferIsRefusedWithTheList)
{
    CaptureOptions options;
    options.width = 720;
    options.height = 576;  // I420 is not offered at 720 x 576
    options.standard = "pal";
    options.output = output_;
    std::ostringstream out, err;
    EXPECT_EQ(kvcap::RunCapture(options, out, err), 1);
    EXPECT_NE(err.str().find("offers no I420 720x576 under pal"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("I420 352x288"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(output_));
}

TEST_F(KvcapCapture, UnusableFilesAreReported)
{
    CaptureOptions options;
    options.frames = 1;
    options.output = "/nonexistent-directory/capture.y4m";
    std::ostringstream out, err;
    EXPECT_EQ(kvcap::RunCapture(options, out, err), 1);
    EXPECT_NE(err.str().find("cannot write"), std::string::npos);

    options.output = output_;
    options.source = "/nonexistent-directory/source.y4m";
    EXPECT_EQ(kvcap::RunCapture(options, out, err), 1);
    EXPECT_NE(err.str().find("cannot use"), std::string::npos);
}

}  // namespace
