// Command-line parsing: what each subcommand accepts, the defaults it fills
// in, and one clear line for every kind of bad invocation.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/cli.h"

using namespace kvcap;

namespace {

std::vector<std::string> Split(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

ParseResult Parse(const std::string& line) { return ParseCommandLine(Split(line)); }

struct BadCase {
    const char* args;
    const char* message;  // the whole error line
};

// Every subcommand's refusals, with the exact line a person sees (after "kvcap: ").
const BadCase kBad[] = {
    {"", "no command given (formats, info, controls, capture, get, set, snapshot; see kvcap --help)"},
    {"record -o x.y4m", "unknown command 'record' (formats, info, controls, capture, get, set, snapshot; see kvcap --help)"},
    {"--registry r.reg capture", "options come after the command: kvcap COMMAND [OPTIONS] (see kvcap --help)"},
    {"help frobnicate", "help: unknown command 'frobnicate'"},
    {"help capture set", "help: one command at most"},
    // capture
    {"capture", "capture: no output file (-o FILE, or -o - for standard output, or --discard)"},
    {"capture -o out.avi", "capture: cannot tell the file type of 'out.avi' (name it .y4m, .png or .raw, or give --container)"},
    {"capture -o out --container mkv", "capture: unknown file type 'mkv' (y4m, png or raw)"},
    {"capture -f MJPG -o a.y4m", "capture: unknown format 'MJPG' (YUY2, I420 or RGB24)"},
    {"capture -s 720 -o a.y4m", "capture: bad size '720' (WIDTHxHEIGHT, e.g. 720x576)"},
    {"capture -s 0x576 -o a.y4m", "capture: bad size '0x576' (WIDTHxHEIGHT, e.g. 720x576)"},
    {"capture -s 720x-576 -o a.y4m", "capture: bad size '720x-576' (WIDTHxHEIGHT, e.g. 720x576)"},
    {"capture --standard PAL-Q -o a.y4m", "capture: unknown standard 'PAL-Q' (NTSC, PAL, SECAM, NTSC-M, NTSC-J, NTSC-433, PAL-B, PAL-D, PAL-G, PAL-H, PAL-I, PAL-M, PAL-N, PAL-60, SECAM-B, SECAM-D, SECAM-G, SECAM-H, SECAM-K, SECAM-K1, SECAM-L, SECAM-L1, PAL-NC)"},
    {"capture --input 3 -o a.y4m", "capture: --input: '3' is not an input (0, 1 or 2)"},
    {"capture -n 0 -o a.y4m", "capture: --frames: '0' is not a frame count (1 or more)"},
    {"capture -n -5 -o a.y4m", "capture: --frames: '-5' is not a frame count (1 or more)"},
    {"capture -n 18446744073709551617 -o a.y4m", "capture: --frames: '18446744073709551617' is not a frame count (1 or more)"},
    {"capture -t soon -o a.y4m", "capture: --duration: 'soon' is not a duration (10, 2.5s, 500ms, 00:01:00)"},
    {"capture -t 0 -o a.y4m", "capture: --duration: '0' is not a duration (10, 2.5s, 500ms, 00:01:00)"},
    {"capture --frequency 12parsecs -o a.y4m", "capture: --frequency: '12parsecs' is not a frequency (e.g. 55.25MHz or 55250000)"},
    {"capture --frequency 5GHz -o a.y4m", "capture: --frequency: '5GHz' is not a frequency (e.g. 55.25MHz or 55250000)"},
    {"capture --tuner-mode 4 -o a.y4m", "capture: --tuner-mode: '4' is not a tuner mode (0..3)"},
    {"capture -o still.png -n 5", "capture: 'still.png' holds one frame; name the files with a pattern such as still%04d.png for 5"},
    {"capture -o still%x.png", "capture: bad frame number pattern in 'still%x.png' (use %d or %05d, %% for a percent sign)"},
    {"capture -o a%d-%d.png", "capture: more than one frame number pattern in 'a%d-%d.png'"},
    {"capture -o a.y4m --bogus", "capture: unknown option '--bogus' (see kvcap capture --help)"},
    {"capture -o a.y4m -Z", "capture: unknown option '-Z' (see kvcap capture --help)"},
    {"capture -o a.y4m extra", "capture: unexpected argument 'extra' (see kvcap capture --help)"},
    {"capture -o", "capture: option '-o' needs a value (FILE)"},
    {"capture -o a.y4m --realtime=yes", "capture: option '--realtime' takes no value"},
    {"capture -o a.y4m --decoder 7113", "capture: unknown decoder '7113' (5150, 113, 110, 111 or none)"},
    {"capture -o a.y4m --low-bandwidth=100", "capture: --low-bandwidth: descriptor length '100' is not 99, 195 or above 100"},
    {"capture -o a.y4m --source 5:pattern", "capture: source input 5 does not exist (inputs 0..2)"},
    {"capture -o a.y4m --fault gremlins=1", "capture: unknown fault 'gremlins' (packet-error, odd-length, lost-packet, truncated-field, corrupt-byte, unplug, control)"},
    {"capture -o a.y4m --fault lost-packet", "capture: fault 'lost-packet' needs =N (the N-th event fails) or =P (a probability such as 0.01 or 1%)"},
    {"capture -o a.y4m --fault lost-packet=1.5", "capture: fault 'lost-packet': '1.5' is not a probability in (0, 1]"},
    {"capture -o a.y4m --fault lost-packet=0", "capture: fault 'lost-packet': '0' is not an event count (1, 2, ...) or a probability"},
    {"capture -o a.y4m --bandwidth lots", "capture: --bandwidth: 'lots' is not a byte count"},
    {"capture -o a.y4m --registry=", "capture: --registry needs a file name"},
    {"capture -o a.y4m --seed x", "capture: --seed: 'x' is not a number"},
    // formats / info / snapshot
    {"formats --output x.y4m", "formats: option '--output' does not apply to formats (see kvcap formats --help)"},
    {"formats PAL", "formats: unexpected argument 'PAL' (see kvcap formats --help)"},
    {"info --frames 3", "info: option '--frames' does not apply to info (see kvcap info --help)"},
    {"snapshot -o x.png", "snapshot: option '-o' does not apply to snapshot (see kvcap snapshot --help)"},
    // get / set
    {"get sharp", "get: unknown property 'sharp' (known: brightness, contrast, hue, saturation, sharpness, gamma, white-balance, standard, signal, input, mirror, flip, frequency, standard-index, ae-on, ae-level, frame-timing, white-point, quality, low-light, light-flicker, high-light, input-conf, qlt-spd-mode, register:REG, vendor:ID)"},
    {"set frequency=1GHz", "set: frequency: 1000.000 MHz is outside the tuner's range 40.000 MHz .. 900.000 MHz"},
    {"capture -c png -o -", "capture: PNG stills go to files, not to standard output (use -c y4m for a stream)"},
    {"capture -c png -n 2 -o shot", "capture: 'shot' holds one frame; name the files with a pattern such as shot%04d.png for 2"},
    {"capture --discard -o a.y4m", "capture: --discard keeps no file; leave out -o 'a.y4m'"},
    {"capture --no -o a.y4m", "capture: option '--no' is ambiguous (--no-progress, --no-fill) (see kvcap capture --help)"},
    {"capture -vx -o a.y4m", "capture: unknown option '-x' (see kvcap capture --help)"},
    {"capture -vn", "capture: option '-n' needs a value (N)"},
    {"get vendor:73", "get: bad vendor property 'vendor:73' (vendor ids are 0..72: vendor:ID or vendor:ID:INSTANCE)"},
    {"get vendor:x", "get: bad vendor property 'vendor:x' (vendor ids are 0..72: vendor:ID or vendor:ID:INSTANCE)"},
    {"get vendor:1:zz", "get: bad instance in 'vendor:1:zz' (a 32-bit number)"},
    {"get register:0x10000", "get: bad register 'register:0x10000' (register:0x000..0xFFFF)"},
    {"get --standard PAL", "get: option '--standard' does not apply to get (see kvcap get --help)"},
    {"set", "set: nothing to set (NAME=VALUE ...) (see kvcap set --help)"},
    {"set brightness", "set: expected NAME=VALUE, got 'brightness'"},
    {"set brightness=", "set: brightness: no value given"},
    {"set brightness=300", "set: brightness: 300 is out of range 0..255"},
    {"set brightness=-1", "set: brightness: -1 is out of range 0..255"},
    {"set contrast=bright", "set: contrast: 'bright' is not a number"},
    {"set hue=361", "set: hue: 361 is out of range 0..360"},
    {"set saturation=512", "set: saturation: 512 is out of range 0..511"},
    {"set input=3", "set: input: 3 is out of range 0..2"},
    {"set mirror=sideways", "set: mirror: 'sideways' is not on or off"},
    {"set standard=PAL-Z", "set: standard: unknown standard 'PAL-Z' (NTSC, PAL, SECAM, NTSC-M, NTSC-J, NTSC-433, PAL-B, PAL-D, PAL-G, PAL-H, PAL-I, PAL-M, PAL-N, PAL-60, SECAM-B, SECAM-D, SECAM-G, SECAM-H, SECAM-K, SECAM-K1, SECAM-L, SECAM-L1, PAL-NC)"},
    {"set frequency=fast", "set: frequency: 'fast' is not a frequency (e.g. 55.25MHz or 55250000)"},
    {"set signal=1", "set: signal: read-only property"},
    {"set quality=3", "set: quality: read-only property"},
    {"set standard-index=6", "set: standard-index: 6 is out of range 1..5"},
    {"set register:0x203=0x1FF", "set: register:0x203: '0x1FF' is not a register byte (0..255 or 0x00..0xFF)"},
    {"set vendor:12=0x100000000", "set: vendor:12: '0x100000000' is not a 32-bit number"},
    {"set --tuner-mode 9 frequency=55.25MHz", "set: --tuner-mode: '9' is not a tuner mode (0..3)"},
};

}  // namespace

TEST(CommandLine, BadInvocationsGiveOneClearLine)
{
    for (const auto& c : kBad) {
        SCOPED_TRACE(c.args);
        const ParseResult r = Parse(c.args);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.message);
        EXPECT_EQ(r.error.find('\n'), std::string::npos);
    }
}

TEST(CommandLine, LongPrefixesAndBundledShortOptionsAsGetoptLong)
{
    ParseResult r = Parse("capture --out=a.y4m -vn5 --no-p --stan PAL -fI420 --disc");
    EXPECT_FALSE(r.ok);  // --discard with -o
    r = Parse("capture --out=a.y4m -vn5 --no-p --stan PAL -fI420 --no-f");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.output, "a.y4m");
    EXPECT_TRUE(r.invocation.verbose);
    EXPECT_EQ(r.invocation.frames, 5u);
    EXPECT_FALSE(r.invocation.progress);
    EXPECT_EQ(r.invocation.fourcc, Fourcc::I420);
    EXPECT_EQ(r.invocation.fill, false);
    EXPECT_EQ(Parse("capture --he").invocation.command, Command::Help);
    EXPECT_EQ(Parse("info -vh").invocation.helpTopic, Command::Info);
    r = Parse("capture --discard -n 3");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.output, "/dev/null");
}

TEST(CommandLine, HelpFitsEightyColumns)
{
    std::vector<std::string> texts = {UsageText()};
    for (Command c : {Command::Formats, Command::Info, Command::Capture, Command::Get, Command::Set, Command::Controls,
                      Command::Snapshot})
        texts.push_back(CommandHelp(c));
    for (const auto& text : texts) {
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            const std::string line = text.substr(start, end - start);
            EXPECT_LE(line.size(), 80u) << line;
            start = end == std::string::npos ? text.size() : end + 1;
        }
    }
}

TEST(CommandLine, CaptureDefaultsAndSpellings)
{
    ParseResult r = Parse("capture -o out.y4m");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.command, Command::Capture);
    EXPECT_EQ(r.invocation.container, Container::Y4m);
    EXPECT_EQ(r.invocation.frames, 100u);  // a bounded default: the clock runs fast
    EXPECT_FALSE(r.invocation.fourcc);
    EXPECT_TRUE(r.invocation.progress);

    // Long options with = or a separate value, short ones attached or not,
    // options in any order, "--" ending them.
    r = Parse("capture --format=i420 -s640x480 --standard ntsc -n 30 --duration=2.5s -oframes.raw --input=2 "
              "--frequency 55.25MHz --tuner-mode 1 --realtime --no-progress --usb-trace t.pcap --registry r.reg");
    ASSERT_TRUE(r.ok) << r.error;
    const Invocation& inv = r.invocation;
    EXPECT_EQ(inv.fourcc, Fourcc::I420);
    EXPECT_EQ(inv.size, (FrameSize{640, 480}));
    EXPECT_EQ(inv.standard, 0x1u);
    EXPECT_EQ(inv.frames, 30u);
    EXPECT_DOUBLE_EQ(*inv.duration, 2.5);
    EXPECT_EQ(inv.container, Container::Raw);
    EXPECT_EQ(inv.input, 2);
    EXPECT_EQ(inv.frequency, 55'250'000u);
    EXPECT_EQ(inv.tunerMode, 1u);
    EXPECT_TRUE(inv.realtime);
    EXPECT_FALSE(inv.progress);
    EXPECT_EQ(inv.usbTrace, "t.pcap");
    EXPECT_EQ(inv.registry, "r.reg");

    // Standard output is a Y4M stream unless told otherwise; a duration
    // alone bounds the capture.
    r = Parse("capture -o - -t 00:00:02");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.container, Container::Y4m);
    EXPECT_FALSE(r.invocation.frames);
    EXPECT_DOUBLE_EQ(*r.invocation.duration, 2.0);

    // A plain PNG name is one still; a pattern takes many.
    r = Parse("capture -o still.png");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.frames, 1u);
    r = Parse("capture -o still%04d.png -n 12");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.frames, 12u);
    r = Parse("capture -o 100%%.png");
    ASSERT_TRUE(r.ok) << r.error;
}

TEST(CommandLine, BoardOptions)
{
    ParseResult r = Parse("capture -o a.y4m --decoder 110 --low-bandwidth=195 --source 1:pattern-625 --source clip.y4m "
                          "--source 2:none --fault lost-packet=1% --fault unplug=5000 --fault control=0.25 --bandwidth 1024 --seed 7");
    ASSERT_TRUE(r.ok) << r.error;
    const BoardOptions& b = r.invocation.board;
    EXPECT_EQ(b.decoder, sim::DecoderKind::Type110);
    EXPECT_TRUE(b.lowBandwidth);
    EXPECT_EQ(b.lowBandwidthDescriptorLength, 195);
    ASSERT_EQ(b.sources.size(), 3u);
    EXPECT_EQ(b.sources[0].input, 1);
    EXPECT_EQ(b.sources[0].kind, SourceSpec::Kind::Pattern625);
    EXPECT_EQ(b.sources[1].input, -1);
    EXPECT_EQ(b.sources[1].kind, SourceSpec::Kind::File);
    EXPECT_EQ(b.sources[1].path, "clip.y4m");
    EXPECT_EQ(b.sources[2].kind, SourceSpec::Kind::None);
    ASSERT_EQ(b.faults.size(), 3u);
    EXPECT_EQ(b.faults[0].knob.mode, sim::FaultKnob::Mode::Random);
    EXPECT_DOUBLE_EQ(b.faults[0].knob.probability, 0.01);
    EXPECT_EQ(b.faults[1].knob.mode, sim::FaultKnob::Mode::Once);
    EXPECT_EQ(b.faults[1].knob.nth, 5000u);
    EXPECT_DOUBLE_EQ(b.faults[2].knob.probability, 0.25);
    EXPECT_EQ(b.bandwidthBudget, 1024u);
    EXPECT_EQ(b.seed, 7u);

    r = Parse("info --low-bandwidth --decoder none");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.board.lowBandwidthDescriptorLength, 99);
    EXPECT_EQ(r.invocation.board.decoder, sim::DecoderKind::None);
}

TEST(CommandLine, HelpForEveryCommand)
{
    for (const char* line : {"--help", "-h", "help"}) {
        const ParseResult r = Parse(line);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.invocation.command, Command::Help);
        EXPECT_FALSE(r.invocation.helpTopic);
    }
    const std::pair<const char*, Command> commands[] = {
        {"formats", Command::Formats}, {"list-formats", Command::Formats}, {"info", Command::Info},
        {"capture", Command::Capture}, {"get", Command::Get},             {"set", Command::Set},
        {"snapshot", Command::Snapshot},
    };
    for (const auto& [name, command] : commands) {
        SCOPED_TRACE(name);
        // "--help" wins over anything wrong after it, as people expect.
        ParseResult r = Parse(std::string(name) + " --help --bogus");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.invocation.command, Command::Help);
        EXPECT_EQ(r.invocation.helpTopic, command);
        r = Parse(std::string("help ") + name);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.invocation.helpTopic, command);
        const std::string text = CommandHelp(command);
        EXPECT_NE(text.find("Usage: kvcap " + std::string(CommandName(command))), std::string::npos);
        EXPECT_NE(text.find("--registry FILE"), std::string::npos);
        EXPECT_NE(text.find("--usb-trace"), std::string::npos);
    }
    EXPECT_NE(CommandHelp(Command::Capture).find("-o, --output FILE"), std::string::npos);
    EXPECT_EQ(CommandHelp(Command::Formats).find("--output"), std::string::npos);
    EXPECT_NE(CommandHelp(Command::Set).find("brightness"), std::string::npos);
    EXPECT_NE(UsageText().find("snapshot"), std::string::npos);
    EXPECT_EQ(Parse("--version").invocation.command, Command::Version);
}

TEST(CommandLine, PropertiesByName)
{
    ParseResult r = Parse("get brightness STANDARD vendor:12 vendor:1:0x203 register:0x110");
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.invocation.names.size(), 5u);
    EXPECT_EQ(r.invocation.names[1].named->name, "standard");
    EXPECT_TRUE(r.invocation.names[2].vendorById);
    EXPECT_EQ(r.invocation.names[3].instance, 0x203u);
    EXPECT_TRUE(r.invocation.names[4].bridgeRegister);

    r = Parse("set brightness=140 mirror=on standard=pal_m input=1 frequency=471.25MHz vendor:53=1 vendor:2:0x203=0x4A "
              "register:0x110=0x08 vendor:12=-1");
    ASSERT_TRUE(r.ok) << r.error;
    const auto& a = r.invocation.assignments;
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(a[0].value, 140u);
    EXPECT_EQ(a[1].value, 1u);
    EXPECT_EQ(a[2].value, 0x200u);
    EXPECT_EQ(a[3].value, 1u);
    EXPECT_EQ(a[4].value, 471'250'000u);
    EXPECT_EQ(a[6].ref.instance, 0x203u);
    EXPECT_EQ(a[6].value, 0x4Au);
    EXPECT_EQ(a[7].value, 0x08u);
    EXPECT_EQ(a[8].value, 0xFFFFFFFFu);
}

TEST(ValueSyntax, NumbersFrequenciesDurationsStandards)
{
    EXPECT_EQ(ParseFrequency("55250000"), 55'250'000u);
    EXPECT_EQ(ParseFrequency("55.25MHz"), 55'250'000u);
    EXPECT_EQ(ParseFrequency("471.25 mhz"), 471'250'000u);
    EXPECT_EQ(ParseFrequency("55250kHz"), 55'250'000u);
    EXPECT_EQ(ParseFrequency("4.294967295GHz"), 4'294'967'295u);
    EXPECT_FALSE(ParseFrequency("4.3GHz"));
    EXPECT_FALSE(ParseFrequency("-5MHz"));
    EXPECT_FALSE(ParseFrequency("MHz"));
    EXPECT_FALSE(ParseFrequency("1e9Hz"));

    EXPECT_DOUBLE_EQ(*ParseDuration("10"), 10);
    EXPECT_DOUBLE_EQ(*ParseDuration("500ms"), 0.5);
    EXPECT_DOUBLE_EQ(*ParseDuration("1m"), 60);
    EXPECT_DOUBLE_EQ(*ParseDuration("01:02:03.5"), 3723.5);
    EXPECT_DOUBLE_EQ(*ParseDuration("1:30"), 90);
    EXPECT_FALSE(ParseDuration("1:60"));
    EXPECT_FALSE(ParseDuration("1:2:3:4"));
    EXPECT_FALSE(ParseDuration("-3"));
    EXPECT_FALSE(ParseDuration("25h"));  // more than a day
    EXPECT_FALSE(ParseDuration("nan"));

    EXPECT_EQ(ParseStandard("PAL"), 0x10u);
    EXPECT_EQ(ParseStandard("pal_m"), 0x200u);
    EXPECT_EQ(ParseStandard("SECAM-K1"), 0x20000u);
    EXPECT_EQ(ParseStandard("0x400"), 0x400u);
    EXPECT_EQ(StandardName(0x10), "PAL-B");
    EXPECT_EQ(StandardName(0x11), "0x11");
    EXPECT_TRUE(Is525Line(0x200));
    EXPECT_FALSE(Is525Line(0x10));

    EXPECT_EQ(ParseUnsigned("0x1F", 255), 31u);
    EXPECT_FALSE(ParseUnsigned("0x", 255));
    EXPECT_FALSE(ParseUnsigned("256", 255));
    EXPECT_FALSE(ParseUnsigned("12abc", 1000));
    EXPECT_FALSE(ParseUnsigned("+1", 10));

    uint32_t n = 0, d = 0;
    RateFromInterval(333667, &n, &d);
    EXPECT_EQ(n, 30000u);
    EXPECT_EQ(d, 1001u);
    RateFromInterval(400000, &n, &d);
    EXPECT_EQ(n, 25u);
    EXPECT_EQ(d, 1u);
    RateFromInterval(1000000, &n, &d);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(FormatClock(3723.5), "01:02:03.50");
}
