// Output files: what a Y4M, PNG or raw file holds, and that no file appears
// under its final name before it is complete.
#include <gtest/gtest.h>

#include <zlib.h>

#include <nlohmann/json.hpp>

#include <cstring>

#include "tests/tools/temp_dir.h"
#include "tools/writers.h"

using namespace kvcap;

namespace {

VideoFormat Format(Fourcc f, int w, int h, bool pal = true)
{
    VideoFormat v;
    v.fourcc = f;
    v.size = {w, h};
    v.rateNumerator = pal ? 25 : 30000;
    v.rateDenominator = pal ? 1 : 1001;
    v.lines625 = pal;
    return v;
}

// A YUY2 frame whose bytes say where they are: Y = 16 + x, U = 100 + row, V = 200 - row.
std::vector<uint8_t> Yuy2Frame(int w, int h)
{
    std::vector<uint8_t> f(static_cast<size_t>(w) * h * 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; x += 2) {
            uint8_t* p = &f[(static_cast<size_t>(y) * w + x) * 2];
            p[0] = static_cast<uint8_t>(16 + x);
            p[1] = static_cast<uint8_t>(100 + y);
            p[2] = static_cast<uint8_t>(17 + x);
            p[3] = static_cast<uint8_t>(200 - y);
        }
    return f;
}

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// A small PNG reader for what EncodePng writes: chunk CRCs checked, IDAT
// inflated and the row filters undone. Returns top-down RGB rows.
std::vector<uint8_t> DecodePng(const std::vector<uint8_t>& png, int* width, int* height, uint32_t* across = nullptr,
                               uint32_t* down = nullptr)
{
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (png.size() < 8 || std::memcmp(png.data(), sig, 8) != 0) return {};
    size_t pos = 8;
    std::vector<uint8_t> idat;
    bool ended = false;
    while (pos + 12 <= png.size()) {
        const uint32_t len = Be32(&png[pos]);
        if (pos + 12 + len > png.size()) return {};
        const std::string type(reinterpret_cast<const char*>(&png[pos + 4]), 4);
        const uint32_t crc = Be32(&png[pos + 8 + len]);
        if (crc != crc32(crc32(0, Z_NULL, 0), &png[pos + 4], len + 4)) return {};
        const uint8_t* data = &png[pos + 8];
        if (type == "IHDR") {
            *width = static_cast<int>(Be32(data));
            *height = static_cast<int>(Be32(data + 4));
            if (data[8] != 8 || data[9] != 2) return {};
        } else if (type == "pHYs" && len == 9 && across && down) {
            *across = Be32(data);
            *down = Be32(data + 4);
        } else if (type == "IDAT") {
            idat.insert(idat.end(), data, data + len);
        } else if (type == "IEND") {
            ended = true;
        }
        pos += 12 + len;
    }
    if (!ended) return {};
    const size_t stride = static_cast<size_t>(*width) * 3;
    std::vector<uint8_t> raw((stride + 1) * *height);
    uLongf rawSize = raw.size();
    if (uncompress(raw.data(), &rawSize, idat.data(), idat.size()) != Z_OK || rawSize != raw.size()) return {};
    std::vector<uint8_t> rgb(stride * *height);
    for (int y = 0; y < *height; ++y) {
        const uint8_t* s = &raw[y * (stride + 1)];
        uint8_t* d = &rgb[y * stride];
        for (size_t i = 0; i < stride; ++i) {
            const uint8_t left = i >= 3 ? d[i - 3] : 0;
            const uint8_t up = y > 0 ? (d - stride)[i] : 0;
            switch (s[0]) {
            case 0: d[i] = s[1 + i]; break;
            case 1: d[i] = static_cast<uint8_t>(s[1 + i] + left); break;
            case 2: d[i] = static_cast<uint8_t>(s[1 + i] + up); break;
            default: return {};
            }
        }
    }
    return rgb;
}

}  // namespace

TEST(Y4m, HeaderTagsFollowFormatAndStandard)
{
    EXPECT_EQ(Y4mHeader(Format(Fourcc::YUY2, 720, 576)), "YUV4MPEG2 W720 H576 F25:1 Ip A12:11 C422 XCOLORRANGE=LIMITED\n");
    EXPECT_EQ(Y4mHeader(Format(Fourcc::I420, 640, 480, false)),
              "YUV4MPEG2 W640 H480 F30000:1001 Ip A10:11 C420mpeg2 XCOLORRANGE=LIMITED\n");
    EXPECT_EQ(Y4mHeader(Format(Fourcc::RGB24, 320, 240, false)),
              "YUV4MPEG2 W320 H240 F30000:1001 Ip A10:11 C444 XCOLORRANGE=LIMITED\n");
}

TEST(Y4m, Yuy2FramesBecomePlanar422AndFileAppearsOnlyWhenFinished)
{
    TempDir dir;
    const std::string path = dir.File("cap.y4m");
    const VideoFormat f = Format(Fourcc::YUY2, 8, 2);
    std::string error;
    auto w = OpenWriter(Container::Y4m, path, f, &error);
    ASSERT_TRUE(w) << error;
    const auto frame = Yuy2Frame(8, 2);
    ASSERT_TRUE(w->WriteFrame(frame.data(), frame.size(), &error)) << error;
    ASSERT_TRUE(w->WriteFrame(frame.data(), frame.size(), &error)) << error;
    // Not yet finished: only the temporary file exists.
    const auto before = dir.Entries();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].rfind("cap.y4m.part-", 0), 0u);
    ASSERT_TRUE(w->Finish(&error)) << error;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"cap.y4m"});
    EXPECT_EQ(w->Frames(), 2u);

    const std::string text = ReadText(path);
    const std::string header = Y4mHeader(f);
    ASSERT_EQ(text.size(), header.size() + 2 * (6 + 32));
    EXPECT_EQ(text.substr(0, header.size()), header);
    const std::string body = text.substr(header.size(), 6 + 32);
    EXPECT_EQ(body.substr(0, 6), "FRAME\n");
    const auto* p = reinterpret_cast<const uint8_t*>(body.data() + 6);
    // Y plane: 16..23 on both rows; U plane 4 per row: 100, 101; V: 200, 199.
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 8; ++x) EXPECT_EQ(p[y * 8 + x], 16 + x);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(p[16 + i], 100);
        EXPECT_EQ(p[20 + i], 101);
        EXPECT_EQ(p[24 + i], 200);
        EXPECT_EQ(p[28 + i], 199);
    }
}

TEST(Y4m, RgbFramesBecomeTopDown444)
{
    TempDir dir;
    std::string error;
    auto w = OpenWriter(Container::Y4m, dir.File("rgb.y4m"), Format(Fourcc::RGB24, 2, 2), &error);
    ASSERT_TRUE(w) << error;
    // Bottom-up BGR: the first row in memory is the picture's bottom row.
    const uint8_t frame[] = {0, 0, 0, 255, 255, 255, /* top: */ 0, 0, 255, 255, 0, 0};
    ASSERT_TRUE(w->WriteFrame(frame, sizeof frame, &error)) << error;
    ASSERT_TRUE(w->Finish(&error));
    const std::string text = ReadText(dir.File("rgb.y4m"));
    const size_t body = text.find("FRAME\n") + 6;
    ASSERT_EQ(text.size(), body + 12);
    const auto* p = reinterpret_cast<const uint8_t*>(text.data() + body);
    // Y plane: red 82, blue 41 on top; black 16, white 235 below.
    EXPECT_EQ(std::vector<uint8_t>(p, p + 4), (std::vector<uint8_t>{82, 41, 16, 235}));
    EXPECT_EQ(std::vector<uint8_t>(p + 4, p + 8), (std::vector<uint8_t>{90, 240, 128, 128}));   // U
    EXPECT_EQ(std::vector<uint8_t>(p + 8, p + 12), (std::vector<uint8_t>{240, 110, 128, 128}));  // V
}

TEST(Y4m, RefusesWrongSizedFramesAndUnwritablePlaces)
{
    TempDir dir;
    std::string error;
    auto w = OpenWriter(Container::Y4m, dir.File("a.y4m"), Format(Fourcc::I420, 16, 16), &error);
    ASSERT_TRUE(w) << error;
    std::vector<uint8_t> shortFrame(383);
    EXPECT_FALSE(w->WriteFrame(shortFrame.data(), shortFrame.size(), &error));
    EXPECT_EQ(error, "frame of 383 bytes where I420 16x16 has 384");
    w->Abandon();
    EXPECT_TRUE(dir.Entries().empty());

    EXPECT_FALSE(OpenWriter(Container::Y4m, dir.File("missing/c.y4m"), Format(Fourcc::YUY2, 16, 16), &error));
    EXPECT_NE(error.find("cannot create " + dir.File("missing/c.y4m")), std::string::npos) << error;
    EXPECT_FALSE(OpenWriter(Container::Y4m, dir.Path(), Format(Fourcc::YUY2, 16, 16), &error));
    EXPECT_NE(error.find("it is a directory"), std::string::npos) << error;
    EXPECT_TRUE(dir.Entries().empty());
}

TEST(Y4m, AbandonedWriterLeavesNothing)
{
    TempDir dir;
    std::string error;
    {
        auto w = OpenWriter(Container::Y4m, dir.File("a.y4m"), Format(Fourcc::YUY2, 8, 2), &error);
        const auto frame = Yuy2Frame(8, 2);
        ASSERT_TRUE(w->WriteFrame(frame.data(), frame.size(), &error));
        // destroyed without Finish, as after a failed capture
    }
    EXPECT_TRUE(dir.Entries().empty());
}

TEST(Png, ColoursAndOrientationOfEveryLayout)
{
    // YUY2: black, white and a saturated red pair.
    VideoFormat f = Format(Fourcc::YUY2, 6, 1);
    const uint8_t yuy2[] = {16, 128, 16, 128, 235, 128, 235, 128, 81, 90, 81, 240};
    std::vector<uint8_t> rgb(6 * 3);
    FrameToRgb(f, yuy2, rgb.data());
    EXPECT_EQ(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 6), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(rgb.begin() + 6, rgb.begin() + 9), (std::vector<uint8_t>{255, 255, 255}));
    EXPECT_GE(rgb[12], 250);  // red
    EXPECT_LE(rgb[13], 5);
    EXPECT_LE(rgb[14], 5);

    // RGB24 arrives as a bottom-up BGR bitmap; the PNG is top-down RGB.
    f = Format(Fourcc::RGB24, 2, 2);
    const uint8_t bgr[] = {1, 2, 3, 4, 5, 6, /* top row: */ 7, 8, 9, 10, 11, 12};
    std::vector<uint8_t> out(12);
    FrameToRgb(f, bgr, out.data());
    EXPECT_EQ(out, (std::vector<uint8_t>{9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}));

    // I420: each chroma sample covers a 2x2 block.
    f = Format(Fourcc::I420, 4, 2);
    const uint8_t i420[] = {235, 235, 16, 16, 235, 235, 16, 16, /*U*/ 128, 128, /*V*/ 128, 240};
    out.assign(4 * 2 * 3, 0);
    FrameToRgb(f, i420, out.data());
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out[1], 255);
    EXPECT_EQ(out[3 * 2 + 1], 0);  // black luma with red chroma: no green
    EXPECT_GT(out[3 * 2], 100);    // but red
}

TEST(Png, NumberedStillsDecodeToThePicture)
{
    TempDir dir;
    std::string error;
    const VideoFormat f = Format(Fourcc::YUY2, 16, 4);
    auto w = OpenWriter(Container::Png, dir.File("still%03d.png"), f, &error);
    ASSERT_TRUE(w) << error;
    const auto frame = Yuy2Frame(16, 4);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(w->WriteFrame(frame.data(), frame.size(), &error)) << error;
    ASSERT_TRUE(w->Finish(&error));
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"still001.png", "still002.png", "still003.png"}));

    int width = 0, height = 0;
    const auto rgb = DecodePng(ReadBytes(dir.File("still002.png")), &width, &height);
    ASSERT_EQ(width, 16);
    ASSERT_EQ(height, 4);
    std::vector<uint8_t> expected(16 * 4 * 3);
    FrameToRgb(f, frame.data(), expected.data());
    EXPECT_EQ(rgb, expected);
}

TEST(Png, PixelAspectOfTheLineSystemInPhys)
{
    TempDir dir;
    std::string error;
    for (const bool lines625 : {true, false}) {
        const VideoFormat f = Format(Fourcc::YUY2, 4, 2, lines625);
        const std::string name = dir.File(lines625 ? "pal.png" : "ntsc.png");
        auto writer = OpenWriter(Container::Png, name, f, &error);
        ASSERT_TRUE(writer) << error;
        const std::vector<uint8_t> frame(FrameBytes(f), 128);
        ASSERT_TRUE(writer->WriteFrame(frame.data(), frame.size(), &error)) << error;
        ASSERT_TRUE(writer->Finish(&error)) << error;
        int width = 0, height = 0;
        uint32_t across = 0, down = 0;
        ASSERT_FALSE(DecodePng(ReadBytes(name), &width, &height, &across, &down).empty());
        // Pixels per unit: a 12:11 pixel is 11 across and 12 down.
        EXPECT_EQ(across, 11u);
        EXPECT_EQ(down, lines625 ? 12u : 10u);
    }
}

TEST(Png, PlainNameTakesOneFrame)
{
    TempDir dir;
    std::string error;
    const VideoFormat f = Format(Fourcc::YUY2, 4, 2);
    auto w = OpenWriter(Container::Png, dir.File("one.png"), f, &error);
    const auto frame = Yuy2Frame(4, 2);
    ASSERT_TRUE(w->WriteFrame(frame.data(), frame.size(), &error));
    EXPECT_FALSE(w->WriteFrame(frame.data(), frame.size(), &error));
    EXPECT_EQ(error, dir.File("one.png") + " holds one frame; name the files with a %d pattern for more");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"one.png"});
    EXPECT_FALSE(OpenWriter(Container::Png, "-", f, &error));
}

TEST(Png, FramePatterns)
{
    bool numbered = false;
    std::string error;
    EXPECT_TRUE(CheckFramePattern("a%d.png", &numbered, &error) && numbered);
    EXPECT_TRUE(CheckFramePattern("a%05d.png", &numbered, &error) && numbered);
    EXPECT_TRUE(CheckFramePattern("100%%.png", &numbered, &error) && !numbered);
    EXPECT_FALSE(CheckFramePattern("a%s.png", &numbered, &error));
    EXPECT_FALSE(CheckFramePattern("a%0d.png", &numbered, &error));
    EXPECT_FALSE(CheckFramePattern("a%", &numbered, &error));
    EXPECT_EQ(ExpandFramePattern("f%05d.png", 42), "f00042.png");
    EXPECT_EQ(ExpandFramePattern("f%d-100%%.png", 7), "f7-100%.png");
    EXPECT_EQ(ExpandFramePattern("f%02d.png", 1234), "f1234.png");
}

TEST(Raw, FramesAndSidecarStatingTheFormat)
{
    TempDir dir;
    std::string error;
    const VideoFormat f = Format(Fourcc::RGB24, 4, 2, false);
    auto w = OpenWriter(Container::Raw, dir.File("cap.raw"), f, &error);
    ASSERT_TRUE(w) << error;
    std::vector<uint8_t> frame(24);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(w->WriteFrame(frame.data(), frame.size(), &error));
    ASSERT_TRUE(w->Finish(&error)) << error;
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"cap.raw", "cap.raw.json"}));
    const auto data = ReadBytes(dir.File("cap.raw"));
    ASSERT_EQ(data.size(), 72u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), data.begin() + 48));
    const std::string json = ReadText(dir.File("cap.raw.json"));
    for (const char* field : {"\"fourcc\": \"RGB24\"", "\"width\": 4", "\"height\": 2", "\"frameRate\": \"30000/1001\"",
                              "\"frames\": 3", "\"frameBytes\": 24", "\"rowOrder\": \"bottom-up\"",
                              "\"ffmpegPixelFormat\": \"bgr24\"", "-vf vflip"})
        EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
}

TEST(Raw, SidecarReadCommandQuotesTheNameForTheShell)
{
    TempDir dir;
    std::string error;
    const std::string name = dir.File("it's $(rm -rf x) `a`.raw");
    auto w = OpenWriter(Container::Raw, name, Format(Fourcc::YUY2, 4, 2), &error);
    ASSERT_TRUE(w) << error;
    ASSERT_TRUE(w->Finish(&error)) << error;
    const auto json = nlohmann::json::parse(ReadText(name + ".json"));
    const std::string read = json["read"];
    // The shell gives the name back as one word, unexpanded.
    const std::string out = dir.File("args");
    const std::string script = "set -- " + read + "; for a; do printf '%s\\n' \"$a\"; done > " + ShellQuote(out);
    ASSERT_EQ(std::system(("sh -c " + ShellQuote(script)).c_str()), 0);
    const std::string words = ReadText(out);
    EXPECT_NE(words.find("\n-i\n" + name + "\n"), std::string::npos) << words;
    EXPECT_EQ(ShellQuote("plain/name-1.raw"), "plain/name-1.raw");
}

TEST(AtomicFiles, WriteFileAtomicallyReplacesWholeFiles)
{
    TempDir dir;
    std::string error;
    const std::string path = dir.File("settings.reg");
    ASSERT_TRUE(WriteFileAtomically(path, "first", &error)) << error;
    ASSERT_TRUE(WriteFileAtomically(path, "second", &error)) << error;
    EXPECT_EQ(ReadText(path), "second");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"settings.reg"});
    ASSERT_TRUE(MakeDirectories(dir.File("a/b/c"), &error)) << error;
    EXPECT_FALSE(MakeDirectories(path + "/x", &error));
}
