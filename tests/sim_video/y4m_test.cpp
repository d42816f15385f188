// YUV4MPEG2 files as a source: good files in each chroma layout, field
// split, looping, truncation and malformed input.
#include "sim/video/source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using sim::LineSystem;
using sim::Window;

class Y4mFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("kv_y4m_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& bytes) {
        const auto p = (dir_ / name).string();
        std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p;
    }

    std::filesystem::path dir_;
};

// Flat planes per frame: (y, u, v) of each frame.
std::string Flat(int w, int h, const std::string& tags, int cw, int ch,
                 const std::vector<std::array<uint8_t, 3>>& frames) {
    std::string s = "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) + tags + "\n";
    for (const auto& f : frames) {
        s += "FRAME\n";
        s += std::string(static_cast<size_t>(w * h), static_cast<char>(f[0]));
        s += std::string(static_cast<size_t>(cw * ch), static_cast<char>(f[1]));
        s += std::string(static_cast<size_t>(cw * ch), static_cast<char>(f[2]));
    }
    return s;
}

std::array<int, 4> CentrePair(sim::VideoSource& src, LineSystem sys, uint64_t frame, bool first = true) {
    const Window w{0, 100, 1440, 101};
    std::vector<uint8_t> out(sim::WindowBytes(w));
    src.RenderField(sys, {frame, first}, w, {}, out.data());
    return {out[720], out[721], out[722], out[723]};
}

TEST_F(Y4mFiles, ChromaLayoutsScaleToThePictureAndLoop) {
    const std::vector<std::array<uint8_t, 3>> frames = {{{50, 60, 70}}, {{100, 110, 120}}, {{200, 90, 80}}};
    struct Case {
        std::string tags;
        int cw, ch;
        bool mono;
    };
    const Case cases[] = {
        {" F25:1 C420jpeg", 8, 5, false}, {" F25:1", 8, 5, false},  // 4:2:0 is the default
        {" F25:1 C422", 8, 9, false},     {" F25:1 C444", 15, 9, false},
        {" F25:1 Cmono", 0, 0, true},
    };
    for (const Case& c : cases) {
        std::string err;
        auto src = sim::MakeY4mSource(Write("a.y4m", Flat(15, 9, c.tags, c.cw, c.ch, frames)), &err);
        ASSERT_TRUE(src) << c.tags << ": " << err;
        EXPECT_TRUE(src->HasSignal());
        EXPECT_EQ(src->NativeSystem(), LineSystem::L625);
        for (uint64_t n = 0; n < 5; ++n) {
            const auto& f = frames[n % 3];
            const auto p = CentrePair(*src, LineSystem::L625, n);
            EXPECT_EQ(p[0], f[0]) << c.tags << " frame " << n;
            EXPECT_EQ(p[2], f[0]);
            EXPECT_EQ(p[1], c.mono ? 128 : f[1]);
            EXPECT_EQ(p[3], c.mono ? 128 : f[2]);
        }
    }
}

TEST_F(Y4mFiles, FieldsTakeAlternateRowsOfAnInterlacedFrame) {
    // 720 x 480: one file row per raster frame row of a 525-line picture.
    std::string s = "YUV4MPEG2 W720 H480 F30000:1001 It C444\nFRAME\n";
    for (int r = 0; r < 480; ++r) s += std::string(720, static_cast<char>(r % 2 ? 200 : 30));
    s += std::string(720 * 480 * 2, static_cast<char>(128));
    auto src = sim::MakeY4mSource(Write("i.y4m", s), nullptr);
    ASSERT_TRUE(src);
    EXPECT_EQ(src->NativeSystem(), LineSystem::L525);
    const Window w{0, 13, 1440, 253};
    std::vector<uint8_t> f1(sim::WindowBytes(w)), f2(f1.size());
    src->RenderField(LineSystem::L525, {0, true}, w, {}, f1.data());
    src->RenderField(LineSystem::L525, {0, false}, w, {}, f2.data());
    for (size_t row = 0; row < 240; row += 37) {
        EXPECT_EQ(f1[row * 1440 + 10], 30);
        EXPECT_EQ(f2[row * 1440 + 10], 200);
    }
    // The picture adjustment reaches file frames as well.
    sim::PictureAdjust bright;
    bright.brightness = 10;
    src->RenderField(LineSystem::L525, {0, true}, w, bright, f1.data());
    EXPECT_EQ(f1[10], 40);
}

TEST_F(Y4mFiles, TruncatedTrailingFrameIsLeftOut) {
    std::string s = Flat(4, 4, " C420 F25:1", 2, 2, {{{10, 128, 128}}, {{20, 128, 128}}});
    const std::string whole = s;
    s += "FRAME\n" + std::string(10, 'x');  // 24 bytes needed
    auto src = sim::MakeY4mSource(Write("t.y4m", s), nullptr);
    ASSERT_TRUE(src);
    EXPECT_EQ(CentrePair(*src, LineSystem::L625, 2)[0], 10);  // loops over two frames
    // Cut inside the frame header line, too.
    auto src2 = sim::MakeY4mSource(Write("t2.y4m", whole + "FRA"), nullptr);
    ASSERT_TRUE(src2);
    EXPECT_EQ(CentrePair(*src2, LineSystem::L625, 3)[0], 20);
    // Frame headers may carry parameters.
    auto src3 = sim::MakeY4mSource(Write("t3.y4m", "YUV4MPEG2 W2 H2 Cmono\nFRAME Ip XYZ=1\n\x50\x50\x50\x50"), nullptr);
    ASSERT_TRUE(src3);
    EXPECT_EQ(CentrePair(*src3, LineSystem::L625, 0)[0], 0x50);
}

TEST_F(Y4mFiles, MalformedFilesAreRefusedWithAMessage) {
    const std::string frame = "FRAME\n" + std::string(6, 'a');  // 2 x 2, 4:2:0
    const std::pair<std::string, std::string> bad[] = {
        {"empty", ""},
        {"signature", "YUV4MPEG W2 H2\n" + frame},
        {"no width", "YUV4MPEG2 H2\n" + frame},
        {"zero width", "YUV4MPEG2 W0 H2\n" + frame},
        {"huge width", "YUV4MPEG2 W99999999999 H2\n" + frame},
        {"negative height", "YUV4MPEG2 W2 H-2\n" + frame},
        {"junk height", "YUV4MPEG2 W2 H2x\n" + frame},
        {"colour space", "YUV4MPEG2 W2 H2 C420p10\n" + frame},
        {"rate", "YUV4MPEG2 W2 H2 F25:0\n" + frame},
        {"interlace", "YUV4MPEG2 W2 H2 Iq\n" + frame},
        {"unterminated", "YUV4MPEG2 W2 H2"},
        {"long header", "YUV4MPEG2 W2 H2 X" + std::string(10000, 'z') + "\n" + frame},
        {"no frame", "YUV4MPEG2 W2 H2\n"},
        {"frame marker", "YUV4MPEG2 W2 H2\nFRAMX\n" + std::string(6, 'a')},
        {"glued marker", "YUV4MPEG2 W2 H2\nFRAMEX\n" + std::string(6, 'a')},
        {"only a partial frame", "YUV4MPEG2 W2 H2\nFRAME\nabc"},
        {"garbage after a frame", "YUV4MPEG2 W2 H2\n" + frame + "garbage\n"},
    };
    for (const auto& [what, bytes] : bad) {
        std::string err;
        EXPECT_FALSE(sim::MakeY4mSource(Write("b.y4m", bytes), &err)) << what;
        EXPECT_FALSE(err.empty()) << what;
        EXPECT_FALSE(sim::MakeY4mSource(Write("b.y4m", bytes), nullptr)) << what;
    }
    std::string err;
    EXPECT_FALSE(sim::MakeY4mSource((dir_ / "missing.y4m").string(), &err));
    EXPECT_NE(err.find("cannot open"), std::string::npos);
    EXPECT_FALSE(sim::MakeY4mSource(dir_.string(), &err));  // a directory
}

TEST_F(Y4mFiles, RandomDamageNeverCrashes) {
    const std::string good = Flat(6, 4, " C422 F30:1 It", 3, 4, {{{1, 2, 3}}, {{4, 5, 6}}});
    std::mt19937 rng(11);
    const Window w{-4, 0, 1444, 300};
    std::vector<uint8_t> out(sim::WindowBytes(w));
    for (int i = 0; i < 200; ++i) {
        std::string s = good;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rng() % s.size();
            switch (rng() % 3) {
            case 0: s[at] = static_cast<char>(rng()); break;
            case 1: s.erase(at, 1 + rng() % 8); break;
            default: s.resize(at); break;
            }
            if (s.empty()) break;
        }
        std::string err;
        auto src = sim::MakeY4mSource(Write("r.y4m", s), &err);
        if (src) {
            src->RenderField(LineSystem::L525, {static_cast<uint64_t>(i), i % 2 == 0}, w, {}, out.data());
        } else {
            EXPECT_FALSE(err.empty());
        }
    }
}

}  // namespace
