// The kvcap program as a person runs it: files that ffprobe plays, a USB
// trace that tshark decodes, settings that survive to the next run, and one
// clear line with a non-zero exit for everything that is wrong.
#include <cctype>
#include <cerrno>

#include "tests/tools/kvcap_fixture.h"

using namespace kvcap_test;

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

// Stored settings that nothing has set read -1: shown as unset, and null in
// JSON, never as 4294967295 or as a switch that is on.
TEST_F(Kvcap, UnsetSettingsAreShownAsUnset)
{
    const struct {
        const char* args;
        const char* out;
    } cases[] = {
        {"get ae-on ae-level quality", "ae-on: unset\nae-level: unset\nquality: unset\n"},
        {"get --json ae-on quality", "{\n  \"ae-on\": null,\n  \"quality\": null\n}\n"},
    };
    for (const auto& c : cases) {
        const Outcome o = Run(c.args);
        EXPECT_EQ(o.exit, 0) << o.err;
        EXPECT_EQ(o.out, c.out) << c.args;
    }
    ASSERT_EQ(Run("set ae-level=3").exit, 0);
    EXPECT_EQ(Run("get ae-level").out, "ae-level: 3\n");
}

// Every frame loses a packet at this rate and is dropped whole: the capture
// says so instead of blaming the signal.
TEST_F(Kvcap, HeavyPacketLossIsNamedWhenNoFrameComes)
{
    const Outcome o = Run("capture --fault lost-packet=0.05 -n 1 --discard --no-progress");
    EXPECT_NE(o.exit, 0);
    EXPECT_NE(o.err.find("dropped for missing or damaged data"), std::string::npos) << o.err;
}

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
        {"", 2, "kvcap: no command given (formats, info, controls, capture, get, set, snapshot; see kvcap --help)\n"},
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
        {"capture -n 50 -o a.y4m --fault unplug=1 --no-progress", 1,
         "kvcap: capture: the device was unplugged: STATUS_DEVICE_NOT_CONNECTED (0xC000009D); no file written\n"},
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
    const pid_t child = Spawn({"capture", "--realtime", "-s", "160x120", "-n", "100000", "-o", out, "--no-progress"});
    ASSERT_GE(child, 0);
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

// ------------------------------------------------- files and settings kept ----

TEST_F(Kvcap, SpecialFilesAreWrittenIntoNotReplaced)
{
    // A FIFO: written into while a reader drains it; it stays a FIFO.
    const std::string fifo = dir_.File("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string drained;
    std::thread reader([&] { drained = ReadText(fifo); });
    Outcome o = Run("capture -s 160x120 -n 3 -c y4m -o pipe --no-progress");
    reader.join();
    EXPECT_EQ(o.exit, 0) << o.err;
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_EQ(drained.rfind("YUV4MPEG2 W160 H120", 0), 0u);

    // A symbolic link stays a link; its target gets the frames and keeps its mode.
    WriteText(dir_.File("target.y4m"), "old");
    chmod(dir_.File("target.y4m").c_str(), 0640);
    std::filesystem::create_symlink("target.y4m", dir_.File("link.y4m"));
    o = Run("capture -s 160x120 -n 2 -o link.y4m --no-progress");
    EXPECT_EQ(o.exit, 0) << o.err;
    EXPECT_TRUE(std::filesystem::is_symlink(dir_.File("link.y4m")));
    EXPECT_EQ(CountY4mFrames(dir_.File("target.y4m"), 160 * 120 * 2), 2);
    EXPECT_EQ(std::filesystem::status(dir_.File("target.y4m")).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write | std::filesystem::perms::group_read);

    // A character device is written into: /dev/null stays what it is, and
    // --discard is the same without naming it.
    for (const char* args : {"capture -s 160x120 -n 2 -c y4m -o /dev/null --no-progress",
                             "capture -s 160x120 -n 2 -c raw -o /dev/null --no-progress",
                             "capture -s 160x120 -n 2 --discard --no-progress"}) {
        SCOPED_TRACE(args);
        o = Run(args);
        EXPECT_EQ(o.exit, 0) << o.err;
        EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
        EXPECT_FALSE(std::filesystem::exists("/dev/null.json"));
    }
    EXPECT_EQ(Files(), (std::vector<std::string>{"link.y4m", "pipe", "target.y4m"}));
}

TEST_F(Kvcap, DeviceLossKeepsTheFramesCapturedAndSaysWhy)
{
    const Outcome o = Run("capture -s 160x120 -n 500 -o lost.y4m --fault unplug=3000 --no-progress");
    EXPECT_EQ(o.exit, 1);
    EXPECT_NE(o.err.find("kvcap: capture: ended early, keeping the "), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("the device was unplugged"), std::string::npos) << o.err;
    EXPECT_EQ(Files(), std::vector<std::string>{"lost.y4m"});
    EXPECT_GT(CountY4mFrames(dir_.File("lost.y4m"), 160 * 120 * 2), 0);
}

TEST_F(Kvcap, CommandsThatOnlyLookLeaveTheSettingsFileAlone)
{
    ASSERT_EQ(Run("set brightness=90 contrast=50").exit, 0);
    const std::string before = ReadText(registry_);
    for (const char* args : {"info --decoder 110", "formats --standard SECAM", "get", "controls", "info --json",
                             "info --frequency 55.25MHz", "get --decoder 110 brightness"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(Run(args).exit, 0);
        EXPECT_EQ(ReadText(registry_), before);
    }
}

TEST_F(Kvcap, SetDuringACaptureSurvivesTheCapturesEnd)
{
    ASSERT_EQ(Run("set brightness=128").exit, 0);
    const pid_t child = Spawn({"capture", "--realtime", "-s", "160x120", "-n", "100000", "-o", "long.y4m", "--no-progress"});
    ASSERT_GE(child, 0);
    // On a loaded machine the start can take longer than any fixed pause:
    // wait for the first frames to reach the file, so the interrupt ends a
    // capture that has frames.
    bool capturing = false;
    for (int i = 0; i < 1000 && !capturing; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const auto& e : dir_.Entries()) {
            std::error_code ec;
            const auto size = std::filesystem::file_size(dir_.File(e), ec);
            capturing = capturing || (e.rfind("long.y4m.part-", 0) == 0 && !ec && size > 2 * 160 * 120 * 2);
        }
    }
    EXPECT_TRUE(capturing);
    const Outcome set = Run("set brightness=100");
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(set.exit, 0) << set.err;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Run("get brightness").out, "brightness: 100\n");
}

TEST_F(Kvcap, SecondInterruptLeavesNoTemporaryFile)
{
    const pid_t child = Spawn({"capture", "--realtime", "-s", "160x120", "-n", "100000", "-o", "long.y4m", "--no-progress"});
    ASSERT_GE(child, 0);
    bool started = false;
    for (int i = 0; i < 200 && !started; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const auto& e : dir_.Entries()) started = started || e.rfind("long.y4m.part-", 0) == 0;
    }
    EXPECT_TRUE(started);
    kill(child, SIGINT);
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    // Either the first press finished the file before the second came, or
    // the second ended the program: never a temporary file left behind.
    for (const auto& e : Files()) EXPECT_EQ(e.find(".part-"), std::string::npos) << e;
}

TEST_F(Kvcap, DroppedFramesAreFilledSoTheFileKeepsTheRate)
{
    // Every fourth field truncated: frames are dropped all along.
    Outcome o = Run("capture -s 160x120 -n 60 -o cfr.y4m --fault truncated-field=0.25 --seed 3 --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(CountY4mFrames(dir_.File("cfr.y4m"), 160 * 120 * 2), 60);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(o.err, m, std::regex("60 frames, [0-9.]+ [kM]B, ([0-9]+) repeated for dropped frames"))) << o.err;
    EXPECT_GT(std::stoi(m[1]), 0);

    o = Run("capture -s 160x120 -n 60 -o vfr.y4m --no-fill --fault truncated-field=0.25 --seed 3 --no-progress");
    ASSERT_EQ(o.exit, 0) << o.err;
    EXPECT_EQ(o.err.find("repeated"), std::string::npos) << o.err;
    EXPECT_EQ(CountY4mFrames(dir_.File("vfr.y4m"), 160 * 120 * 2), 60);
}

// Nothing on the command line ends in a crash: every subcommand over odd
// combinations gives 0, 1 or 2 and a line on stderr when not 0.
TEST_F(Kvcap, OddArgumentsNeverCrash)
{
    const char* const commands[] = {"formats", "info", "controls", "capture", "get", "set", "snapshot", "help", "bogus"};
    const char* const odd[] = {
        "",          "-",         "--",        "-o",           "-c png -o -",      "-c png -o noext",
        "-c png -o dir/",         "-o .png",   "-o %d.png",    "-o %%.png",     "-o a%5d.png",      "-n 0 -o a.y4m",
        "-n 99999999999999999999 -o a.y4m",   "-s 0x0 -o a.y4m", "-s x -o a.y4m", "--frequency 0",  "--frequency 1THz",
        "--seed -1", "--registry ''", "=",    "--=",        "-vvv",         "--json --json",  "--no-",
        "--source 9:snow",        "--fault unplug=0",         "--fault x=1",  "brightness=",   "frequency=10MHz",
        "register:0xFFFF=0x100",  "vendor:72:4294967295=1",   "-t 0 -o a.y4m", "--low-bandwidth=100",
        "--decoder none -n 1 -o a.y4m",
    };
    for (const char* command : commands) {
        for (const char* args : odd) {
            const std::string line = std::string(command) + " " + args;
            SCOPED_TRACE(line);
            for (const auto& f : Files()) std::filesystem::remove_all(dir_.File(f));
            const Outcome plain = Run(line);
            EXPECT_TRUE(plain.exit == 0 || plain.exit == 1 || plain.exit == 2) << plain.exit << " " << plain.err;
            if (plain.exit != 0) {
                EXPECT_NE(plain.err.find("kvcap: "), std::string::npos) << plain.err;
            }
        }
    }
}
