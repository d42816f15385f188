// The kvcap program as a person runs it: files that ffprobe plays, a USB
// trace that tshark decodes, settings that survive to the next run, and one
// clear line with a non-zero exit for everything that is wrong.
#include <cctype>
#include <cerrno>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/tools/temp_dir.h"

namespace {

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

bool HaveProgram(const char* name)
{
    const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

std::string ShellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Kvcap : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.Path().empty());
        registry_ = dir_.File("state/registry.reg");
    }

    // Runs kvcap with the arguments (split at spaces) in the scratch
    // directory, the settings file in it.
    Outcome Run(const std::string& args, const std::string& extraEnv = "")
    {
        const std::string out = dir_.File(".stdout"), err = dir_.File(".stderr");
        const std::string cmd = "cd " + ShellQuote(dir_.Path()) + " && env -u XDG_STATE_HOME KVCAP_REGISTRY=" +
                                ShellQuote(registry_) + " " + extraEnv + " " + KVCAP_BINARY + " " + args + " >" +
                                ShellQuote(out) + " 2>" + ShellQuote(err) + " </dev/null";
        const int status = std::system(cmd.c_str());
        Outcome o;
        o.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        o.out = ReadText(out);
        o.err = ReadText(err);
        std::remove(out.c_str());
        std::remove(err.c_str());
        return o;
    }

    // Output of a shell command (stdout), for ffprobe and tshark.
    std::string Shell(const std::string& cmd, int* exit = nullptr)
    {
        const std::string out = dir_.File(".shell");
        const int status = std::system(("cd " + ShellQuote(dir_.Path()) + " && " + cmd + " >" + ShellQuote(out) + " 2>&1").c_str());
        if (exit) *exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::string text = ReadText(out);
        std::remove(out.c_str());
        return text;
    }

    std::vector<std::string> Files()
    {
        std::vector<std::string> out;
        for (const auto& e : dir_.Entries())
            if (e != "state") out.push_back(e);
        return out;
    }

    TempDir dir_;
    std::string registry_;
};

// Frames in a Y4M file, checking that every frame is whole.
int CountY4mFrames(const std::string& path, size_t frameBytes)
{
    const std::string text = ReadText(path);
    const size_t eol = text.find('\n');
    if (text.rfind("YUV4MPEG2 ", 0) != 0 || eol == std::string::npos) return -1;
    size_t pos = eol + 1;
    int frames = 0;
    while (pos < text.size()) {
        if (text.compare(pos, 6, "FRAME\n") != 0 || pos + 6 + frameBytes > text.size()) return -1;
        pos += 6 + frameBytes;
        ++frames;
    }
    return frames;
}

std::string ProbeStream(const std::string& file)
{
    return "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
           "stream=codec_name,pix_fmt,width,height,r_frame_rate,nb_read_frames -of default=noprint_wrappers=1 " +
           file;
}

}  // namespace

// ------------------------------------------------------------ main job ----

TEST_F(Kvcap, EveryFormatCapturesToAY4mThatFfprobePlays)
{
    if (!HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe (Debian package ffmpeg) is not installed";
    Outcome o = Run("capture -f YUY2 -s 720x576 --standard PAL -n 12 -o pal.y4m --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(Files(), std::vector<std::string>{"pal.y4m"});
    std::string probe = Shell(ProbeStream("pal.y4m"));
    for (const char* line : {"codec_name=rawvideo", "width=720", "height=576", "pix_fmt=yuv422p", "r_frame_rate=25/1",
                             "nb_read_frames=12"})
        EXPECT_NE(probe.find(line), std::string::npos) << line << "\n" << probe;
    EXPECT_NE(o.err.find("kvcap: wrote pal.y4m: Y4M 4:2:2 progressive, YUY2 720x576 at 25 fps, 12 frames"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("frames delivered 12, dropped 0"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("ms per frame"), std::string::npos) << o.err;

    o = Run("capture -f I420 -s 640x480 --standard NTSC -n 15 -o ntsc.y4m --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    probe = Shell(ProbeStream("ntsc.y4m"));
    for (const char* line : {"width=640", "height=480", "pix_fmt=yuv420p", "r_frame_rate=30000/1001", "nb_read_frames=15"})
        EXPECT_NE(probe.find(line), std::string::npos) << line << "\n" << probe;

    o = Run("capture -f RGB24 -s 352x288 --standard SECAM -n 3 -o secam.y4m --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    probe = Shell(ProbeStream("secam.y4m"));
    for (const char* line : {"width=352", "height=288", "pix_fmt=yuv444p", "r_frame_rate=25/1", "nb_read_frames=3"})
        EXPECT_NE(probe.find(line), std::string::npos) << line << "\n" << probe;
}

TEST_F(Kvcap, MainJobScriptArgumentsMakeAPlayableFile)
{
    // The same invocation scripts/capture makes, without the build around it.
    const Outcome o = Run("capture --standard PAL -f YUY2 -s 720x576 -t 2 -o capture.y4m --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(CountY4mFrames(dir_.File("capture.y4m"), 720 * 576 * 2), 50);
}

TEST_F(Kvcap, StillsRawAndStandardOutput)
{
    Outcome o = Run("capture --standard PAL -s 352x288 -n 3 -o still%02d.png --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(Files(), (std::vector<std::string>{"still01.png", "still02.png", "still03.png"}));
    if (HaveProgram("ffprobe")) {
        const std::string probe = Shell(ProbeStream("still03.png"));
        EXPECT_NE(probe.find("codec_name=png"), std::string::npos) << probe;
        EXPECT_NE(probe.find("width=352"), std::string::npos) << probe;
        EXPECT_NE(probe.find("height=288"), std::string::npos) << probe;
        EXPECT_NE(probe.find("nb_read_frames=1"), std::string::npos) << probe;
    }

    o = Run("capture -f RGB24 -s 320x240 --standard NTSC -n 4 -o frames.raw --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(ReadBytes(dir_.File("frames.raw")).size(), 4u * 320 * 240 * 3);
    const std::string json = ReadText(dir_.File("frames.raw.json"));
    EXPECT_NE(json.find("\"fourcc\": \"RGB24\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"frames\": 4"), std::string::npos) << json;
    if (HaveProgram("ffprobe")) {
        const std::string probe = Shell("ffprobe -v error -f rawvideo -pixel_format bgr24 -video_size 320x240 "
                                        "-framerate 30000/1001 -count_frames -show_entries stream=nb_read_frames "
                                        "-of default=noprint_wrappers=1 frames.raw");
        EXPECT_NE(probe.find("nb_read_frames=4"), std::string::npos) << probe;
    }

    // A Y4M stream on standard output, for a pipe into a player.
    o = Run("capture -f I420 -s 160x120 --standard NTSC -n 2 -o - --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(o.out.rfind("YUV4MPEG2 W160 H120 F30000:1001 Ip A10:11 C420mpeg2 XCOLORRANGE=LIMITED\n", 0), 0u);
    EXPECT_EQ(o.out.size(), std::string("YUV4MPEG2 W160 H120 F30000:1001 Ip A10:11 C420mpeg2 XCOLORRANGE=LIMITED\n").size() + 2 * (6 + 28800));
}

// ------------------------------------------------------------ USB trace ----

TEST_F(Kvcap, UsbTraceDecodesInTsharkWithTheDriversRegisterWrites)
{
    if (!HaveProgram("tshark")) GTEST_SKIP() << "tshark (Debian package tshark) is not installed";
    const Outcome o = Run("capture --standard PAL -f YUY2 -s 720x576 -n 2 -o short.y4m --usb-trace start.pcap --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;

    int exit = -1;
    const std::string all = Shell("tshark -r start.pcap 2>&1", &exit);
    EXPECT_EQ(exit, 0) << all;
    EXPECT_EQ(all.find("Malformed"), std::string::npos);
    EXPECT_NE(all.find("GET DESCRIPTOR Request DEVICE"), std::string::npos);  // the device start is in it

    // Vendor writes (request 1: value to register) as tshark reads them.
    const std::string writes = Shell("tshark -r start.pcap -Y 'usb.bmRequestType == 0x40 && usb.urb_type == 83' "
                                     "-T fields -e usb.setup.bRequest -e usb.setup.wIndex -e usb.setup.wValue");
    std::vector<std::pair<unsigned, unsigned>> registerValues;
    std::istringstream lines(writes);
    for (std::string line; std::getline(lines, line);) {
        unsigned request = 0, index = 0, value = 0;
        if (std::sscanf(line.c_str(), "%u %u 0x%x", &request, &index, &value) == 3 && request == 1)
            registerValues.push_back({index, value});
    }
    ASSERT_FALSE(registerValues.empty()) << writes;
    auto wrote = [&](unsigned reg, unsigned value) {
        return std::find(registerValues.begin(), registerValues.end(), std::make_pair(reg, value)) != registerValues.end();
    };
    // The decoder's I2C address, and the capture window of a 720 x 576
    // PAL frame: bytes 0..1440 of lines 1..285 of each field.
    EXPECT_TRUE(wrote(0x203, 0xBA));
    EXPECT_TRUE(wrote(0x110, 0x00) && wrote(0x111, 0x00));
    EXPECT_TRUE(wrote(0x112, 0x01) && wrote(0x113, 0x00));
    EXPECT_TRUE(wrote(0x114, 0xA0) && wrote(0x115, 0x05));
    EXPECT_TRUE(wrote(0x116, 0x1D) && wrote(0x117, 0x01));

    // Isochronous transfers go down with one descriptor per packet and come
    // back with each packet's status and length, the data behind them.
    const std::string submitted = Shell("tshark -r start.pcap -Y 'usb.transfer_type == 0 && usb.urb_type == 83' "
                                        "-T fields -e usb.iso.numdesc");
    size_t submissions = 0;
    std::istringstream submitLines(submitted);
    for (std::string line; std::getline(submitLines, line);) {
        // The header names the count twice ("8,8").
        if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;
        ++submissions;
        EXPECT_EQ(std::stoul(line.substr(0, line.find(','))) % 8, 0u) << "whole frames of a high-speed endpoint";
    }
    EXPECT_GT(submissions, 10u);
    const std::string iso = Shell("tshark -r start.pcap -Y 'usb.transfer_type == 0 && usb.urb_type == 67' "
                                  "-T fields -e usb.iso.iso_status -e usb.iso.iso_len");
    size_t packets = 0, withData = 0, cancelled = 0;
    std::istringstream isoLines(iso);
    for (std::string line; std::getline(isoLines, line);) {
        // One transfer a line: its packets' statuses, a tab, their lengths.
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::istringstream statuses(line.substr(0, tab)), lengths(line.substr(tab + 1));
        for (std::string status, length; std::getline(statuses, status, ',') && std::getline(lengths, length, ',');) {
            ++packets;
            // Only the transfers in flight when the capture stopped are cut short.
            const int code = std::stoi(status);
            EXPECT_TRUE(code == 0 || code == -ENOENT) << code;
            if (code != 0) ++cancelled;
            if (std::stoul(length) != 0) ++withData;
        }
    }
    EXPECT_GT(packets, 300u);
    EXPECT_GT(withData, 200u);
    EXPECT_LE(cancelled, 3u * 8u);
}

// ------------------------------------------------------- stored settings ----

TEST_F(Kvcap, SettingsSetInOneRunAreFoundInTheNext)
{
    Outcome o = Run("set brightness=140 mirror=on standard=PAL input=1 contrast=70");
    ASSERT_EQ(o.exit, 0) << o.err;
    o = Run("get brightness contrast mirror standard input");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(o.out, "brightness: 140\ncontrast: 70\nmirror: on\nstandard: PAL-B\ninput: 1\n");

    // The file is the Registry Editor's format; a person can edit it.
    std::string text = ReadText(registry_);
    const std::string stored = "\"Brightness\"=dword:0000008c";
    ASSERT_NE(text.find(stored), std::string::npos) << text;
    EXPECT_NE(text.find("\"VideoStandard\"=dword:00000010"), std::string::npos) << text;
    text.replace(text.find(stored), stored.size(), "\"Brightness\"=dword:00000064");
    WriteText(registry_, text);
    o = Run("get brightness");
    EXPECT_EQ(o.out, "brightness: 100\n");

    // A capture without --standard uses the stored one.
    o = Run("capture -n 2 -o after.y4m --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_NE(o.err.find("YUY2 720x576 at 25 fps"), std::string::npos) << o.err;

    // --registry wins over the environment.
    o = Run("set brightness=10 --registry other.reg");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_NE(ReadText(dir_.File("other.reg")).find("\"Brightness\"=dword:0000000a"), std::string::npos);
    EXPECT_EQ(Run("get brightness").out, "brightness: 100\n");
}

TEST_F(Kvcap, MalformedSettingsFileIsReportedAndLeftUntouched)
{
    std::filesystem::create_directories(dir_.File("state"));
    const std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"A\"=dword:12345678901\n";
    WriteText(registry_, text);
    for (const char* args : {"capture -n 1 -o x.y4m", "get brightness", "info"}) {
        SCOPED_TRACE(args);
        const Outcome o = Run(args);
        EXPECT_EQ(o.exit, 1);
        EXPECT_TRUE(std::regex_match(o.err, std::regex("kvcap: registry file " + registry_ + ": line 4: [^\n]+\n"))) << o.err;
        EXPECT_EQ(ReadText(registry_), text);
        EXPECT_TRUE(Files().empty());
    }
}

TEST_F(Kvcap, VendorPropertiesById)
{
    // The value-record form (id 12) and the 4-byte form (id 57) of the same
    // stored value, and the name for it.
    Outcome o = Run("set vendor:12=200");
    ASSERT_EQ(o.exit, 0) << o.err;
    o = Run("get vendor:12 vendor:57 ae-level");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(o.out, "vendor:12: 200 (0xC8)\nvendor:57: 200 (0xC8)\nae-level: 200\n");
    EXPECT_NE(ReadText(registry_).find("\"AELevel\"=dword:000000c8"), std::string::npos);

    // The device descriptor as the driver keeps it: 18 bytes, USB 2.0.
    o = Run("get vendor:42");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(o.out.rfind("vendor:42: 12 01 00 02 ", 0), 0u) << o.out;
    EXPECT_EQ(o.out.size(), std::string("vendor:42: ").size() + 18 * 3);
}

// ---------------------------------------------------------- other commands ----

TEST_F(Kvcap, InfoFormatsAndSnapshot)
{
    Outcome o = Run("info --decoder 111 --input 1");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_NE(o.out.find("Decoder:         type 111 at I2C address 0x4A"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Input:           1"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Operating mode:  full"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Signal:          locked, 525 lines"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Stored settings: " + registry_ + " (from KVCAP_REGISTRY"), std::string::npos) << o.out;

    o = Run("info --low-bandwidth --decoder 110 --standard PAL");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_NE(o.out.find("Decoder:         type 110 at I2C address 0x88"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Operating mode:  low bandwidth"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Standard:        PAL-B"), std::string::npos) << o.out;

    o = Run("formats --standard NTSC");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_NE(o.out.find("Capture formats for NTSC-M (525 lines), full mode:"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  6      YUY2    720x480    29.97 fps  691200"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("720x576"), std::string::npos) << o.out;
    o = Run("formats --standard SECAM");
    EXPECT_NE(o.out.find("  21     RGB24   720x576    25 fps     1244160"), std::string::npos) << o.out;

    o = Run("snapshot");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_NE(o.out.find("the driver raised the flag"), std::string::npos) << o.out;
    EXPECT_NE(ReadText(registry_).find("\"SnapShot\"=dword:00000001"), std::string::npos);
    o = Run("info");
    EXPECT_NE(o.out.find("Snapshot flag:   raised"), std::string::npos) << o.out;
}

TEST_F(Kvcap, HelpAndVersionGoToStandardOutput)
{
    Outcome o = Run("--help");
    EXPECT_EQ(o.exit, 0);
    EXPECT_NE(o.out.find("Usage: kvcap COMMAND"), std::string::npos);
    o = Run("capture --help");
    EXPECT_EQ(o.exit, 0);
    EXPECT_NE(o.out.find("-o, --output FILE"), std::string::npos);
    EXPECT_TRUE(o.err.empty());
    EXPECT_EQ(Run("--version").exit, 0);
}

// ----------------------------------------------------------------- errors ----

TEST_F(Kvcap, BadInvocationsAndFailuresGiveOneLineAndNoFile)
{
    struct Case {
        const char* args;
        int exit;
        const char* err;  // the whole of stderr
    };
    const Case cases[] = {
        {"", 2, "kvcap: no command given (formats, info, capture, get, set, snapshot; see kvcap --help)\n"},
        {"capture -f MJPG -o a.y4m", 2, "kvcap: capture: unknown format 'MJPG' (YUY2, I420 or RGB24)\n"},
        {"capture -s 800x600 --standard PAL -o a.y4m", 2,
         "kvcap: capture: YUY2 800x600 is not offered for PAL-B (625 lines; offered: 176x144, 352x288, 640x480, 720x576)\n"},
        {"capture -f I420 -s 720x576 --standard PAL -o a.y4m", 2,
         "kvcap: capture: I420 720x576 is not offered for PAL-B (625 lines; offered: 176x144, 352x288, 640x480)\n"},
        {"capture -s 720x576 --standard NTSC -o a.y4m", 2,
         "kvcap: capture: YUY2 720x576 is not offered for NTSC-M (525 lines; offered: 160x120, 320x240, 352x240, 640x480, 720x480)\n"},
        {"capture -s 320x240 --low-bandwidth -o a.y4m", 2,
         "kvcap: capture: YUY2 320x240 is not offered for NTSC-M (525 lines; offered: 160x120)\n"},
        {"capture -n 2 -o nodir/a.y4m", 1, nullptr},
        {"capture -n 2 -o a.y4m --source missing.y4m", 1, nullptr},
        {"capture -n 50 -o a.y4m --fault unplug=3000 --no-progress", 1,
         "kvcap: capture: the device stopped delivering frames: STATUS_DEVICE_NOT_CONNECTED (0xC000009D); no file written\n"},
        {"capture -n 2 -o a.y4m --bandwidth 100", 1,
         "kvcap: capture: the stream did not start: STATUS_INSUFFICIENT_RESOURCES (0xC000009A) (too little USB bandwidth for this format?)\n"},
        {"set brightness=256", 2, "kvcap: set: brightness: 256 is out of range 0..255\n"},
        {"set vendor:12=256", 1, "kvcap: set vendor:12: the device refused it: STATUS_INVALID_PARAMETER (0xC000000D)\n"},
        {"get vendor:5", 1, nullptr},
        {"get vendor:1", 1, "kvcap: get vendor:1: needs an instance (vendor:1:INSTANCE)\n"},
        {"set vendor:30=1", 1, "kvcap: set vendor:30: takes a block list or caller memory, which kvcap does not issue\n"},
        {"capture -n 2 -o a.y4m --usb-trace nodir/t.pcap", 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        for (const auto& f : Files()) std::filesystem::remove_all(dir_.File(f));
        const Outcome o = Run(c.args);
        EXPECT_EQ(o.exit, c.exit) << o.err;
        if (c.err) {
            EXPECT_EQ(o.err, c.err);
        } else {
            // One line, starting with the program's name.
            EXPECT_EQ(o.err.rfind("kvcap: ", 0), 0u) << o.err;
            EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        }
        EXPECT_TRUE(Files().empty()) << Files().front();
    }
}

TEST_F(Kvcap, InterruptEndsTheCaptureWithACompleteFile)
{
    const std::string out = dir_.File("long.y4m");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        chdir(dir_.Path().c_str());
        setenv("KVCAP_REGISTRY", registry_.c_str(), 1);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDERR_FILENO);
        execl(KVCAP_BINARY, KVCAP_BINARY, "capture", "--realtime", "-s", "160x120", "-n", "100000", "-o", out.c_str(),
              "--no-progress", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait for frames to arrive (the temporary file grows), then Ctrl-C.
    bool growing = false;
    for (int i = 0; i < 200 && !growing; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const auto& e : dir_.Entries())
            if (e.rfind("long.y4m.part-", 0) == 0 && std::filesystem::file_size(dir_.File(e)) > 200000) growing = true;
    }
    EXPECT_TRUE(growing);
    EXPECT_FALSE(std::filesystem::exists(out));  // not complete yet
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Files(), std::vector<std::string>{"long.y4m"});
    EXPECT_GT(CountY4mFrames(out, 160 * 120 * 2), 5);
}
