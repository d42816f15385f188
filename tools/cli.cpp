#include "tools/cli.h"

#include <functional>

namespace kvcap {

namespace {

constexpr unsigned kFormats = 1u << 0;
constexpr unsigned kInfo = 1u << 1;
constexpr unsigned kCapture = 1u << 2;
constexpr unsigned kGet = 1u << 3;
constexpr unsigned kSet = 1u << 4;
constexpr unsigned kSnapshot = 1u << 5;
constexpr unsigned kControls = 1u << 6;
constexpr unsigned kDevice = kFormats | kInfo | kCapture | kGet | kSet | kSnapshot | kControls;

unsigned ScopeOf(Command c)
{
    switch (c) {
    case Command::Formats: return kFormats;
    case Command::Info: return kInfo;
    case Command::Capture: return kCapture;
    case Command::Get: return kGet;
    case Command::Set: return kSet;
    case Command::Snapshot: return kSnapshot;
    case Command::Controls: return kControls;
    default: return 0;
    }
}

using Apply = std::function<std::optional<std::string>(Invocation&, std::string_view)>;

struct OptionSpec {
    std::string_view longName;
    char shortName;
    std::string_view valueName;  // empty: a switch
    bool valueOptional;          // --low-bandwidth[=LEN]
    unsigned scope;
    std::string_view help;
    Apply apply;
};

std::string Quote(std::string_view s) { return "'" + std::string(s) + "'"; }

std::optional<std::string> ParseFault(Invocation& inv, std::string_view text)
{
    const size_t eq = text.find('=');
    const std::string name = ToLower(text.substr(0, eq));
    bool known = false;
    for (const auto& n : FaultNames()) known = known || n == name;
    std::string names;
    for (const auto& n : FaultNames()) names += (names.empty() ? "" : ", ") + n;
    if (!known) return "unknown fault " + Quote(name) + " (" + names + ")";
    if (eq == std::string_view::npos) return "fault " + Quote(name) + " needs =N (the N-th event fails) or =P (a probability such as 0.01 or 1%)";
    const std::string_view when = text.substr(eq + 1);
    FaultSpec f;
    f.name = name;
    if (when.find('.') != std::string_view::npos || when.find('%') != std::string_view::npos) {
        std::string_view number = when;
        double scale = 1;
        if (!number.empty() && number.back() == '%') {
            number.remove_suffix(1);
            scale = 0.01;
        }
        double p = -1;
        try {
            size_t used = 0;
            const std::string s(number);
            p = std::stod(s, &used) * scale;
            if (used != s.size()) p = -1;
        } catch (...) {
            p = -1;
        }
        if (!(p > 0 && p <= 1)) return "fault " + Quote(name) + ": " + Quote(when) + " is not a probability in (0, 1]";
        f.knob = sim::FaultKnob::Random(p);
    } else {
        const auto n = ParseUnsigned(when, UINT32_MAX);
        if (!n || *n == 0) return "fault " + Quote(name) + ": " + Quote(when) + " is not an event count (1, 2, ...) or a probability";
        f.knob = sim::FaultKnob::Once(*n);
    }
    inv.board.faults.push_back(f);
    return std::nullopt;
}

std::optional<std::string> ParseSource(Invocation& inv, std::string_view text)
{
    SourceSpec s;
    if (text.size() >= 2 && text[1] == ':' && text[0] >= '0' && text[0] <= '9') {
        if (text[0] > '2') return "source input " + std::string(1, text[0]) + " does not exist (inputs 0..2)";
        s.input = text[0] - '0';
        text.remove_prefix(2);
    }
    const std::string key = ToLower(text);
    if (text.empty()) return std::string("empty source (pattern, pattern-525, pattern-625, snow, none or FILE.y4m)");
    if (key == "pattern" || key == "bars") s.kind = SourceSpec::Kind::Pattern;
    else if (key == "pattern-525") s.kind = SourceSpec::Kind::Pattern525;
    else if (key == "pattern-625") s.kind = SourceSpec::Kind::Pattern625;
    else if (key == "snow" || key == "noise") s.kind = SourceSpec::Kind::Snow;
    else if (key == "none") s.kind = SourceSpec::Kind::None;
    else {
        s.kind = SourceSpec::Kind::File;
        s.path = std::string(text);
    }
    inv.board.sources.push_back(s);
    return std::nullopt;
}

const std::vector<OptionSpec>& Options()
{
    static const std::vector<OptionSpec> options = {
        // ---- stored settings and the run ----
        {"registry", 0, "FILE", false, kDevice, "stored settings file (default: $KVCAP_REGISTRY, else $XDG_STATE_HOME/kvcap/registry.reg)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             if (v.empty()) return std::string("--registry needs a file name");
             inv.registry = std::string(v);
             return std::nullopt;
         }},
        {"usb-trace", 0, "FILE.pcap", false, kDevice, "write every USB transfer of the run to a pcap file (Wireshark, tshark)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             if (v.empty()) return std::string("--usb-trace needs a file name");
             inv.usbTrace = std::string(v);
             return std::nullopt;
         }},
        {"images", 0, "DIR", false, kDevice, "run the driver from the kernel images in DIR (the i386 build of kvcap)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             if (v.empty()) return std::string("--images needs a directory");
             inv.images = std::string(v);
             return std::nullopt;
         }},
        {"realtime", 0, "", false, kDevice, "pace the emulated clock to the wall clock (default: as fast as possible)",
         [](Invocation& inv, std::string_view) -> std::optional<std::string> {
             inv.realtime = true;
             return std::nullopt;
         }},
        {"verbose", 'v', "", false, kDevice, "echo the driver's debug output to stderr, one line each with the emulated time",
         [](Invocation& inv, std::string_view) -> std::optional<std::string> {
             inv.verbose = true;
             return std::nullopt;
         }},
        {"json", 0, "", false, kFormats | kInfo | kCapture | kGet | kControls, "answer as one JSON document (the capture summary on stdout, or stderr with -o -)",
         [](Invocation& inv, std::string_view) -> std::optional<std::string> {
             inv.json = true;
             return std::nullopt;
         }},
        // ---- the simulated board ----
        {"decoder", 0, "TYPE", false, kDevice, "decoder on the board: 5150 (also 113, the default), 110, 111 or none",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const std::string t = ToLower(v);
             if (t == "5150" || t == "113") inv.board.decoder = sim::DecoderKind::Type113;
             else if (t == "110") inv.board.decoder = sim::DecoderKind::Type110;
             else if (t == "111") inv.board.decoder = sim::DecoderKind::Type111;
             else if (t == "none") inv.board.decoder = sim::DecoderKind::None;
             else return "unknown decoder " + Quote(v) + " (5150, 113, 110, 111 or none)";
             return std::nullopt;
         }},
        {"low-bandwidth", 0, "LEN", true, kDevice, "the low-bandwidth board variant (descriptor length 99, 195 or above 100)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             inv.board.lowBandwidth = true;
             if (v.empty()) return std::nullopt;
             const auto n = ParseUnsigned(v, 0xFFFF);
             if (!n || *n < 99 || *n == 100)
                 return "--low-bandwidth: descriptor length " + Quote(v) + " is not 99, 195 or above 100";
             inv.board.lowBandwidthDescriptorLength = static_cast<uint16_t>(*n);
             return std::nullopt;
         }},
        {"source", 0, "[N:]SOURCE", false, kDevice, "picture on input N (or the input in use): pattern, pattern-525, pattern-625, snow, none or FILE.y4m",
         ParseSource},
        {"fault", 0, "NAME=WHEN", false, kDevice, "inject a fault: NAME one of packet-error, odd-length, lost-packet, truncated-field, corrupt-byte, unplug, control; WHEN the N-th event or a probability (0.01, 1%)",
         ParseFault},
        {"bandwidth", 0, "BYTES", false, kDevice, "isochronous bandwidth the host grants, bytes per microframe",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto n = ParseUnsigned(v, 0xFFFFFFFFu);
             if (!n) return "--bandwidth: " + Quote(v) + " is not a byte count";
             inv.board.bandwidthBudget = static_cast<uint32_t>(*n);
             return std::nullopt;
         }},
        {"seed", 0, "N", false, kDevice, "seed of the board's random faults and snow (default 1)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto n = ParseUnsigned(v, UINT64_MAX);
             if (!n) return "--seed: " + Quote(v) + " is not a number";
             inv.board.seed = *n;
             return std::nullopt;
         }},
        // ---- what to capture ----
        {"standard", 0, "STD", false, kFormats | kInfo | kCapture | kSnapshot, "video standard: PAL, NTSC, SECAM, PAL-M, PAL-N, NTSC-J, ... (default: the stored one)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto s = ParseStandard(v);
             if (!s) return "unknown standard " + Quote(v) + " (" + StandardNames() + ")";
             inv.standard = *s;
             return std::nullopt;
         }},
        {"input", 'i', "N", false, kInfo | kCapture | kSnapshot, "video input 0..2 (default: the stored one)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto n = ParseUnsigned(v, 2);
             if (!n) return "--input: " + Quote(v) + " is not an input (0, 1 or 2)";
             inv.input = static_cast<int>(*n);
             return std::nullopt;
         }},
        {"frequency", 0, "FREQ", false, kInfo | kCapture | kSnapshot, "tune the tuner first (input 0): Hz, or with a unit (55.25MHz)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto f = ParseFrequency(v);
             if (!f || *f == 0) return "--frequency: " + Quote(v) + " is not a frequency (e.g. 55.25MHz or 55250000)";
             if (auto why = CheckTunerFrequency(*f)) return "--frequency: " + *why;
             inv.frequency = *f;
             return std::nullopt;
         }},
        {"tuner-mode", 0, "N", false, kCapture | kSet | kSnapshot, "tuner mode 0..3 for a frequency (default 0)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto n = ParseUnsigned(v, 3);
             if (!n) return "--tuner-mode: " + Quote(v) + " is not a tuner mode (0..3)";
             inv.tunerMode = static_cast<uint32_t>(*n);
             return std::nullopt;
         }},
        {"output", 'o', "FILE", false, kCapture, "output file: .y4m, .png (name%04d.png for one file per frame) or .raw; - for standard output",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             if (v.empty()) return std::string("--output needs a file name");
             inv.output = std::string(v);
             return std::nullopt;
         }},
        {"container", 'c', "TYPE", false, kCapture, "file type when the name does not tell: y4m, png or raw",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto c = ParseContainer(v);
             if (!c) return "unknown file type " + Quote(v) + " (y4m, png or raw)";
             inv.container = *c;
             return std::nullopt;
         }},
        {"format", 'f', "FOURCC", false, kCapture, "pixel format: YUY2 (default), I420 or RGB24",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto f = ParseFourcc(v);
             if (!f) return "unknown format " + Quote(v) + " (YUY2, I420 or RGB24)";
             inv.fourcc = *f;
             return std::nullopt;
         }},
        {"size", 's', "WxH", false, kCapture, "frame size, e.g. 720x576 (default: the largest offered)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto s = ParseFrameSize(v);
             if (!s) return "bad size " + Quote(v) + " (WIDTHxHEIGHT, e.g. 720x576)";
             inv.size = *s;
             return std::nullopt;
         }},
        {"frames", 'n', "N", false, kCapture | kSnapshot, "number of frames (capture default 100, 1 for a single PNG)",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto n = ParseUnsigned(v, 100'000'000);
             if (!n || *n == 0) return "--frames: " + Quote(v) + " is not a frame count (1 or more)";
             inv.frames = *n;
             return std::nullopt;
         }},
        {"duration", 't', "TIME", false, kCapture, "capture this long in emulated time: 10, 2.5s, 500ms, 00:01:00",
         [](Invocation& inv, std::string_view v) -> std::optional<std::string> {
             const auto d = ParseDuration(v);
             if (!d) return "--duration: " + Quote(v) + " is not a duration (10, 2.5s, 500ms, 00:01:00)";
             inv.duration = *d;
             return std::nullopt;
         }},
        {"no-progress", 0, "", false, kCapture, "no progress line",
         [](Invocation& inv, std::string_view) -> std::optional<std::string> {
             inv.progress = false;
             return std::nullopt;
         }},
        {"discard", 0, "", false, kCapture, "convert and count the frames but keep none (for measuring)",
         [](Invocation& inv, std::string_view) -> std::optional<std::string> {
             inv.discard = true;
             return std::nullopt;
         }},
        {"fill", 0, "", false, kCapture, "constant frame rate: repeat the last frame for each one the device dropped (default for Y4M)",
         [](Invocation& inv, std::string_view) -> std::optional<std::string> {
             inv.fill = true;
             return std::nullopt;
         }},
        {"no-fill", 0, "", false, kCapture, "keep only the frames delivered, even where the device dropped some",
         [](Invocation& inv, std::string_view) -> std::optional<std::string> {
             inv.fill = false;
             return std::nullopt;
         }},
    };
    return options;
}

struct CommandInfo {
    Command command;
    std::string_view name;
    std::string_view alias;
    std::string_view synopsis;
    std::string_view summary;
};

constexpr CommandInfo kCommands[] = {
    {Command::Formats, "formats", "list-formats", "kvcap formats [OPTIONS]", "list the capture formats offered for the standard, with frame rates"},
    {Command::Info, "info", "", "kvcap info [OPTIONS]", "show the decoder type and address, operating mode, standard, input, signal lock and the settings file"},
    {Command::Capture, "capture", "", "kvcap capture [OPTIONS] -o FILE", "capture frames to a Y4M file, PNG stills or raw frames"},
    {Command::Get, "get", "", "kvcap get [OPTIONS] [NAME...]", "show properties (all readable ones when none is named)"},
    {Command::Set, "set", "", "kvcap set [OPTIONS] NAME=VALUE...", "change properties; the driver stores them for the next run"},
    {Command::Controls, "controls", "list-ctrls", "kvcap controls [OPTIONS]", "list every control with its range, default and value, the inputs and the standards"},
    {Command::Snapshot, "snapshot", "", "kvcap snapshot [OPTIONS]", "press the snapshot button during a short capture and show the stored flag"},
};

const CommandInfo* FindCommand(std::string_view name)
{
    for (const auto& c : kCommands)
        if (c.name == name || (!c.alias.empty() && c.alias == name)) return &c;
    return nullptr;
}

const CommandInfo& InfoOf(Command c)
{
    for (const auto& i : kCommands)
        if (i.command == c) return i;
    return kCommands[0];
}

constexpr size_t kWidth = 80;
constexpr size_t kHelpColumn = 28;

// Words of `text` in lines of at most kWidth columns, the first one after
// `left` (padded to `indent`), the others indented by `indent`.
std::string Wrap(std::string left, std::string_view text, size_t indent)
{
    std::string out;
    if (!left.empty() && left.size() + 1 > indent) {
        out += left + "\n";
        left.clear();
    }
    std::string line = left;
    line.append(indent - line.size(), ' ');
    bool empty = true;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t space = text.find(' ', pos);
        const std::string_view word = text.substr(pos, space == std::string_view::npos ? std::string_view::npos : space - pos);
        pos = space == std::string_view::npos ? text.size() : space + 1;
        if (word.empty()) continue;
        if (!empty && line.size() + 1 + word.size() > kWidth) {
            out += line + "\n";
            line.assign(indent, ' ');
            empty = true;
        }
        if (!empty) line += ' ';
        line += word;
        empty = false;
    }
    return out + line + "\n";
}

std::string OptionLine(const OptionSpec& o)
{
    std::string left = "  ";
    left += o.shortName ? std::string("-") + o.shortName + ", " : "    ";
    left += "--" + std::string(o.longName);
    if (!o.valueName.empty()) left += o.valueOptional ? "[=" + std::string(o.valueName) + "]" : " " + std::string(o.valueName);
    return Wrap(left, o.help, kHelpColumn);
}

// The option a long name means: itself, or the one option it is a prefix
// of, as getopt_long reads it. *ambiguous lists the candidates when there
// are several.
const OptionSpec* FindLong(std::string_view name, std::string* ambiguous)
{
    const OptionSpec* found = nullptr;
    std::string candidates;
    int count = 0;
    for (const auto& o : Options()) {
        if (o.longName == name) return &o;
        if (!name.empty() && o.longName.substr(0, name.size()) == name) {
            found = &o;
            candidates += (count++ ? ", --" : "--") + std::string(o.longName);
        }
    }
    if (count > 1) {
        *ambiguous = candidates;
        return nullptr;
    }
    return found;
}

const OptionSpec* FindShort(char c)
{
    for (const auto& o : Options())
        if (o.shortName == c) return &o;
    return nullptr;
}

}  // namespace

const std::vector<std::string>& FaultNames()
{
    static const std::vector<std::string> names = {"packet-error", "odd-length",   "lost-packet", "truncated-field",
                                                   "corrupt-byte", "unplug",       "control"};
    return names;
}

std::string_view CommandName(Command command)
{
    switch (command) {
    case Command::Help: return "help";
    case Command::Version: return "version";
    default: return InfoOf(command).name;
    }
}

std::string VersionText() { return "kvcap 1.0 (capture from the simulated USB 2.0 analog video capture board)\n"; }

std::string UsageText()
{
    std::string s = "Usage: kvcap COMMAND [OPTIONS]\n" +
                    Wrap("", "Capture video from the USB analog capture device (the driver running on the emulated platform with the simulated board).", 0) +
                    "\nCommands:\n";
    for (const auto& c : kCommands) s += Wrap("  " + std::string(c.name), c.summary, 12);
    s += Wrap("  help", "this text, or 'kvcap help COMMAND' for one command", 12);
    s += "\nExamples:\n"
         "  kvcap capture -f YUY2 -s 720x576 --standard PAL -n 250 -o capture.y4m\n"
         "  kvcap capture -f I420 -s 640x480 --standard NTSC -t 5 -o - | ffplay -\n"
         "  kvcap capture -n 10 -o still%03d.png\n"
         "  kvcap set brightness=140 mirror=on      (kept for the next run)\n"
         "  kvcap controls --json | jq '.controls[].name'\n"
         "  kvcap capture --usb-trace start.pcap -n 5 -o short.y4m\n\n" +
         Wrap("", "Settings persist in $XDG_STATE_HOME/kvcap/registry.reg (or ~/.local/state/kvcap/registry.reg); --registry FILE or KVCAP_REGISTRY chooses another file. Exit status: 0 done, 1 the device, a file or the settings failed, 2 the command line was wrong.", 0);
    return s;
}

std::string CommandHelp(Command command)
{
    if (command == Command::Help || command == Command::Version) return UsageText();
    const CommandInfo& info = InfoOf(command);
    std::string s = "Usage: " + std::string(info.synopsis) + "\n" + Wrap("", std::string(info.summary) + ".", 0);
    switch (command) {
    case Command::Capture:
        s += "\n" + Wrap("", "The emulated clock runs as fast as it can unless --realtime is given. Ctrl-C ends the capture with a complete file; a second Ctrl-C ends it at once and leaves no file. Y4M keeps YUY2 as 4:2:2 and I420 as 4:2:0, progressive, at a constant frame rate (a frame the device dropped is filled with the one before it unless --no-fill is given); raw files get a NAME.json beside them that states the format. A FIFO, a device or a symbolic link given to -o is written into, never replaced.", 0);
        break;
    case Command::Get:
    case Command::Set: {
        s += "\nProperties:\n";
        for (const auto& p : NamedProperties()) s += Wrap("  " + std::string(p.name), p.help, 18);
        s += Wrap("  register:REG", "a bridge register (0x000..0xFFFF), byte values", 18);
        s += Wrap("  vendor:ID[:INST]", "the vendor property set by id (0..72), with an instance where the id needs one", 18);
        break;
    }
    case Command::Snapshot:
        s += "\n" + Wrap("", "The driver notices the button while frames are converted, so a few frames are captured around the press; it then raises the stored \"SnapShot\" flag, which this command shows.", 0);
        break;
    default: break;
    }
    s += "\nOptions:\n";
    const unsigned scope = ScopeOf(command);
    for (const auto& o : Options())
        if (o.scope & scope) s += OptionLine(o);
    s += Wrap("  -h, --help", "this help", kHelpColumn);
    return s;
}

ParseResult ParseCommandLine(const std::vector<std::string>& args)
{
    ParseResult result;
    Invocation& inv = result.invocation;
    auto fail = [&](std::string message) {
        result.ok = false;
        result.error = std::move(message);
        return result;
    };

    // Global switches before any command.
    size_t i = 0;
    if (args.empty()) return fail("no command given (formats, info, controls, capture, get, set, snapshot; see kvcap --help)");
    const std::string& first = args[0];
    if (first == "-h" || first == "--help") {
        inv.command = Command::Help;
        result.ok = true;
        return result;
    }
    if (first == "--version" || first == "-V") {
        inv.command = Command::Version;
        result.ok = true;
        return result;
    }
    if (first == "help") {
        inv.command = Command::Help;
        if (args.size() > 2) return fail("help: one command at most");
        if (args.size() == 2) {
            const CommandInfo* c = FindCommand(args[1]);
            if (!c) return fail("help: unknown command " + Quote(args[1]));
            inv.helpTopic = c->command;
        }
        result.ok = true;
        return result;
    }
    if (!first.empty() && first[0] == '-') return fail("options come after the command: kvcap COMMAND [OPTIONS] (see kvcap --help)");
    const CommandInfo* cmd = FindCommand(first);
    if (!cmd) return fail("unknown command " + Quote(first) + " (formats, info, controls, capture, get, set, snapshot; see kvcap --help)");
    inv.command = cmd->command;
    const std::string prefix = std::string(cmd->name) + ": ";
    const std::string seeHelp = " (see kvcap " + std::string(cmd->name) + " --help)";
    const unsigned scope = ScopeOf(inv.command);
    std::vector<std::string> positional;
    bool optionsDone = false;

    for (i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsDone || a.empty() || a[0] != '-' || a == "-") {
            positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsDone = true;
            continue;
        }
        auto help = [&] {
            inv.helpTopic = inv.command;
            inv.command = Command::Help;
            result.ok = true;
            return result;
        };
        auto apply = [&](const OptionSpec& option, const std::string& shown, std::optional<std::string> value) -> std::optional<std::string> {
            if (!(option.scope & scope)) return prefix + "option " + Quote(shown) + " does not apply to " + std::string(cmd->name) + seeHelp;
            if (option.valueName.empty()) {
                if (value) return prefix + "option " + Quote(shown) + " takes no value";
            } else if (!value && !option.valueOptional) {
                if (i + 1 >= args.size()) return prefix + "option " + Quote(shown) + " needs a value (" + std::string(option.valueName) + ")";
                value = args[++i];
            }
            if (auto err = option.apply(inv, value.value_or(""))) return prefix + *err;
            return std::nullopt;
        };
        if (a.rfind("--", 0) == 0) {
            const size_t eq = a.find('=');
            const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const std::string shown = "--" + name;
            std::string others;
            if (!name.empty() && name.size() <= 4 && std::string_view("help").substr(0, name.size()) == name &&
                !FindLong(name, &others) && others.empty()) {
                if (eq != std::string::npos) return fail(prefix + "option '--help' takes no value");
                return help();
            }
            std::string ambiguous;
            const OptionSpec* option = FindLong(name, &ambiguous);
            if (!ambiguous.empty()) return fail(prefix + "option " + Quote(shown) + " is ambiguous (" + ambiguous + ")" + seeHelp);
            if (!option) return fail(prefix + "unknown option " + Quote(shown) + seeHelp);
            std::optional<std::string> value;
            if (eq != std::string::npos) value = a.substr(eq + 1);
            if (auto err = apply(*option, "--" + std::string(option->longName), value)) return fail(*err);
            continue;
        }
        // Short options, bundled as getopt reads them: switches one after
        // another, and the first one that takes a value takes the rest.
        for (size_t k = 1; k < a.size(); ++k) {
            const std::string shown = std::string("-") + a[k];
            if (a[k] == 'h') return help();
            const OptionSpec* option = FindShort(a[k]);
            if (!option) return fail(prefix + "unknown option " + Quote(shown) + seeHelp);
            std::optional<std::string> value;
            const bool takesValue = !option->valueName.empty();
            if (takesValue && k + 1 < a.size()) value = a.substr(k + 1);
            if (auto err = apply(*option, shown, value)) return fail(*err);
            if (takesValue) break;
        }
    }

    switch (inv.command) {
    case Command::Get:
        for (const auto& p : positional) {
            std::string err;
            auto ref = ParsePropertyName(p, &err);
            if (!ref) return fail(prefix + err);
            if (ref->named && !ref->named->canGet) return fail(prefix + std::string(ref->named->name) + ": cannot be read back (set only)");
            inv.names.push_back(*ref);
        }
        break;
    case Command::Set:
        if (positional.empty()) return fail(prefix + "nothing to set (NAME=VALUE ...)" + seeHelp);
        for (const auto& p : positional) {
            std::string err;
            auto a = ParseAssignment(p, &err);
            if (!a) return fail(prefix + err);
            inv.assignments.push_back(*a);
        }
        break;
    default:
        if (!positional.empty()) return fail(prefix + "unexpected argument " + Quote(positional.front()) + seeHelp);
        break;
    }

    if (inv.command == Command::Capture) {
        if (inv.discard) {
            if (!inv.output.empty()) return fail(prefix + "--discard keeps no file; leave out -o " + Quote(inv.output));
            inv.output = "/dev/null";
            if (!inv.container) inv.container = Container::Y4m;
        }
        if (inv.output.empty()) return fail(prefix + "no output file (-o FILE, or -o - for standard output, or --discard)");
        if (!inv.container) {
            if (inv.output == "-") inv.container = Container::Y4m;
            else inv.container = ContainerFromName(inv.output);
            if (!inv.container)
                return fail(prefix + "cannot tell the file type of " + Quote(inv.output) + " (name it .y4m, .png or .raw, or give --container)");
        }
        if (*inv.container == Container::Png) {
            bool numbered = false;
            std::string err;
            if (!CheckFramePattern(inv.output, &numbered, &err)) return fail(prefix + err);
            if (inv.output == "-") return fail(prefix + "PNG stills go to files, not to standard output (use -c y4m for a stream)");
            if (!numbered) {
                // NAME.png becomes NAME%04d.png; a name without an extension
                // gets one.
                const size_t dot = inv.output.rfind('.');
                const size_t slash = inv.output.rfind('/');
                const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
                const std::string suggestion = hasExtension ? inv.output.substr(0, dot) + "%04d" + inv.output.substr(dot)
                                                            : inv.output + "%04d.png";
                if (inv.frames && *inv.frames > 1)
                    return fail(prefix + Quote(inv.output) + " holds one frame; name the files with a pattern such as " + suggestion + " for " + std::to_string(*inv.frames));
                if (inv.duration && !inv.frames)
                    return fail(prefix + "a single PNG holds one frame; use a pattern such as " + suggestion + " with --duration");
                inv.frames = 1;
            }
        }
        if (!inv.frames && !inv.duration) inv.frames = 100;
    }
    result.ok = true;
    return result;
}

}  // namespace kvcap
