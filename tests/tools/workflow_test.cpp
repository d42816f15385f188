// kvcap as a v4l2-ctl user works with it: controls read as JSON, a control
// changed and seen in the next picture, a station tuned and its lock read
// back, a capture with dropped frames that still covers its time, a FIFO
// read by ffprobe; and what ships beside the program (manual page, bash
// completion, the Wireshark dissector, -v lines).
#include <nlohmann/json.hpp>

#include "tests/tools/kvcap_fixture.h"

using namespace kvcap_test;
using Json = nlohmann::json;

namespace {

// Mean luma of the YUY2 frames in a raw file.
double MeanLuma(const std::vector<uint8_t>& yuy2)
{
    double sum = 0;
    for (size_t i = 0; i < yuy2.size(); i += 2) sum += yuy2[i];
    return yuy2.empty() ? 0 : sum / static_cast<double>(yuy2.size() / 2);
}

}  // namespace

TEST_F(Kvcap, WorkflowOfAV4l2CtlUser)
{
    // 1. The controls, as JSON a JSON tool reads.
    if (HaveProgram("jq")) {
        int exit = -1;
        const std::string brightness = Shell(
            std::string("env KVCAP_REGISTRY=") + ShellQuote(registry_) + " " + KVCAP_BINARY +
                " controls --json | jq -r '.controls[] | select(.name == \"brightness\") | "
                "\"\\(.minimum) \\(.maximum) \\(.step) \\(.default)\"'",
            &exit);
        EXPECT_EQ(exit, 0);
        EXPECT_EQ(brightness, "0 255 1 128\n");
    }
    Outcome o = Run("controls --json");
    ASSERT_EQ(o.exit, 0) << o.err;
    const Json controls = Json::parse(o.out);
    std::vector<std::string> inputs;
    for (const auto& i : controls["inputs"]) inputs.push_back(i["name"]);
    EXPECT_EQ(inputs, (std::vector<std::string>{"tuner", "composite", "s-video"}));

    // 2. A control set now is in the next capture's pixels.
    ASSERT_EQ(Run("capture -i 1 -s 160x120 -n 2 -o before.raw --no-progress").exit, 0);
    o = Run("set brightness=200");
    ASSERT_EQ(o.exit, 0) << o.err;
    o = Run("get brightness --json");
    EXPECT_EQ(Json::parse(o.out)["brightness"], 200);
    ASSERT_EQ(Run("capture -i 1 -s 160x120 -n 2 -o after.raw --no-progress").exit, 0);
    EXPECT_GT(MeanLuma(ReadBytes(dir_.File("after.raw"))), MeanLuma(ReadBytes(dir_.File("before.raw"))) + 40);

    // 3. A station: tuned, kept, locked; an empty channel is not.
    o = Run("set frequency=67.25MHz");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(Run("get frequency").out, "frequency: 67.250 MHz\n");
    o = Run("info --input 0 --json");
    ASSERT_EQ(o.exit, 0) << o.err;
    Json info = Json::parse(o.out);
    EXPECT_EQ(info["frequency"], 67250000);
    EXPECT_EQ(info["signal"]["locked"], true);
    o = Run("info --frequency 100MHz --json");
    EXPECT_EQ(Json::parse(o.out)["signal"]["locked"], false);
    o = Run("capture --frequency 100MHz -s 160x120 -n 2 -o snow.y4m --no-progress");
    EXPECT_EQ(o.exit, 0) << o.err;
    EXPECT_NE(o.err.find("warning: the decoder reports no signal lock at 100.000 MHz"), std::string::npos) << o.err;
    o = Run("info --frequency 1GHz");
    EXPECT_EQ(o.exit, 2);
    EXPECT_EQ(o.err, "kvcap: info: --frequency: 1000.000 MHz is outside the tuner's range 40.000 MHz .. 900.000 MHz\n");

    // 4. Dropped frames: the file's length is the time it covers; without
    //    filling it is shorter.
    for (const bool fill : {true, false}) {
        SCOPED_TRACE(fill ? "fill" : "no fill");
        o = Run(std::string("capture -i 1 -s 160x120 -n 60 -o drops.y4m --json --fault truncated-field=0.25 --seed 5") +
                (fill ? "" : " --no-fill"));
        ASSERT_EQ(o.exit, 0) << o.err;
        const Json summary = Json::parse(o.out);
        ASSERT_GT(summary["dropped"].get<int>(), 5);
        const int frames = CountY4mFrames(dir_.File("drops.y4m"), 160 * 120 * 2);
        EXPECT_EQ(frames, summary["frames"].get<int>());
        const double length = frames * 1001.0 / 30000.0;
        const double span = summary["span"];
        if (fill) EXPECT_NEAR(length, span, 1e-4);
        else EXPECT_LT(length, span - 0.1);
    }

    // 5. A FIFO that ffprobe reads while kvcap writes it.
    if (HaveProgram("ffprobe")) {
        ASSERT_EQ(mkfifo(dir_.File("live").c_str(), 0600), 0);
        int exit = -1;
        const std::string probe = Shell("{ timeout 60 " + ProbeStream("live") + " & env KVCAP_REGISTRY=" +
                                            ShellQuote(registry_) + " timeout 60 " + KVCAP_BINARY +
                                            " capture -i 1 -s 160x120 -n 10 -c y4m -o live --no-progress 2>/dev/null; "
                                            "wait; }",
                                        &exit);
        EXPECT_NE(probe.find("nb_read_frames=10"), std::string::npos) << probe;
        EXPECT_TRUE(std::filesystem::is_fifo(dir_.File("live")));
    }
}

TEST_F(Kvcap, JsonAnswersOfFormatsAndGet)
{
    Outcome o = Run("formats --standard PAL --json");
    ASSERT_EQ(o.exit, 0) << o.err;
    const Json formats = Json::parse(o.out);
    EXPECT_EQ(formats["lines"], 625);
    ASSERT_FALSE(formats["formats"].empty());
    EXPECT_EQ(formats["formats"][0]["rate"], "25/1");
    o = Run("get mirror signal --json");
    ASSERT_EQ(o.exit, 0) << o.err;
    const Json values = Json::parse(o.out);
    EXPECT_EQ(values["mirror"], false);
    EXPECT_TRUE(values["signal"]["locked"].is_boolean());
}

TEST_F(Kvcap, VerboseShowsEachDebugMessageOnItsOwnLineWithTheEmulatedTime)
{
    const Outcome o = Run("info -v");
    ASSERT_EQ(o.exit, 0) << o.err;
    const std::regex debugLine(R"(\[ *([0-9]+)\.([0-9]{6})\] \S.*)");
    std::istringstream lines(o.err);
    double last = -1;
    int count = 0;
    bool decoderInit = false;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, debugLine)) << line;
        const double t = std::stod(m[1].str() + "." + m[2].str());
        EXPECT_GE(t, last) << line;
        last = t;
        ++count;
        decoderInit = decoderInit || line.ends_with("] InitTI5150HI2C1");
    }
    EXPECT_GT(count, 5);
    EXPECT_TRUE(decoderInit) << o.err;
}

TEST_F(Kvcap, WiresharkDissectorNamesRegisterRequestsAndI2cTransactions)
{
    if (!HaveProgram("tshark")) GTEST_SKIP() << "tshark (Debian package tshark) is not installed";
    const Outcome o = Run("set brightness=150 --usb-trace set.pcap");
    ASSERT_EQ(o.exit, 0) << o.err;
    const std::string lua = std::string("-X lua_script:") + KVCAP_SOURCE_DIR + "/tools/wireshark/kvbridge.lua";
    int exit = -1;
    const std::string i2c = Shell("tshark " + lua + " -r set.pcap -Y kvbridge.i2c -T fields -e kvbridge.i2c 2>/dev/null", &exit);
    EXPECT_EQ(exit, 0);
    // The brightness reaches the 5150 decoder's register 0x09, after its
    // chip id was read.
    EXPECT_NE(i2c.find("I2C write dev 0xBA reg 0x09 = 0x96\n"), std::string::npos) << i2c;
    EXPECT_LT(i2c.find("I2C read dev 0xBA reg 0x83 = 0x21\n"), i2c.find("I2C write dev 0xBA reg 0x09 = 0x96"));
    const std::string requests = Shell("tshark " + lua + " -r set.pcap -Y 'kvbridge.register == 0x203' 2>/dev/null");
    EXPECT_NE(requests.find("register write 0x203 (I2C address) = 0xBA"), std::string::npos) << requests;
}

TEST_F(Kvcap, InstallPutsTheManualCompletionAndDissectorInPlace)
{
    const std::string prefix = dir_.File("prefix");
    int exit = -1;
    Shell("cmake --install " + ShellQuote(KVCAP_BUILD_DIR) + " --prefix " + ShellQuote(prefix), &exit);
    ASSERT_EQ(exit, 0);
    const std::string manual = ReadText(prefix + "/share/man/man1/kvcap.1");
    ASSERT_FALSE(manual.empty());
    EXPECT_TRUE(std::filesystem::exists(prefix + "/bin/kvcap"));
    EXPECT_TRUE(std::filesystem::exists(prefix + "/share/kvcap/wireshark/kvbridge.lua"));
    // Every command and every long option its help lists is in the manual
    // (which spells '-' as '\-').
    for (const char* command : {"formats", "info", "controls", "capture", "get", "set", "snapshot"}) {
        EXPECT_NE(manual.find(std::string(".B kvcap ") + command), std::string::npos) << command;
        std::istringstream help(Run(std::string(command) + " --help").out);
        for (std::string line; std::getline(help, line);) {
            std::smatch m;
            if (!std::regex_search(line, m, std::regex(R"(^ +(?:-., )?--([a-z-]+))")) || m[1] == "help") continue;
            std::string spelled = "\\-\\-";
            for (char c : m[1].str()) spelled += c == '-' ? std::string("\\-") : std::string(1, c);
            EXPECT_NE(manual.find(spelled), std::string::npos) << command << " --" << m[1];
        }
    }
    // Completion of commands, options and property names.
    const std::string completion = prefix + "/share/bash-completion/completions/kvcap";
    const std::string complete = "PATH=" + ShellQuote(prefix + "/bin") + ":$PATH bash -c 'source " + completion +
                                 "; t() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($#-1)); _kvcap; echo \"${COMPREPLY[*]}\"; }; "
                                 "t kvcap con; t kvcap capture --no-f; t kvcap set bright; t kvcap capture -f I'";
    EXPECT_EQ(Shell(complete), "controls\n--no-fill\nbrightness=\nI420\n");
}
