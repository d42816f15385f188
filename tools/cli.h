// The command line: subcommands in the manner of v4l2-ctl and ffmpeg.
//
//   kvcap formats   [options]            the pin's formats for the standard
//   kvcap info      [options]            decoder, mode, standard, input, lock
//   kvcap capture   [options] -o FILE    frames to Y4M, PNG or raw
//   kvcap get       [options] [NAME...]  properties (all when none named)
//   kvcap set       [options] NAME=VALUE...
//   kvcap controls  [options]            every control with its range
//   kvcap snapshot  [options]            press the snapshot button
//   kvcap help [COMMAND], kvcap COMMAND --help, kvcap --version
//
// Parsing never touches the device: it checks spelling, syntax and ranges
// that need no device, and anything wrong gives one line for stderr and
// exit status 2. What needs the device (is this size offered for this
// standard?) is checked when the command runs. Options are read as
// getopt_long reads them: a long option may be shortened to any unique
// prefix, short switches may be bundled (-vn5), and "--" ends the options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/decoder.h"
#include "sim/faults.h"
#include "tools/formats.h"
#include "tools/properties.h"
#include "tools/writers.h"

namespace kvcap {

enum class Command { Help, Version, Formats, Info, Capture, Get, Set, Controls, Snapshot };

// A picture source for one input (or, with input -1, for the input the run
// uses): the test pattern (in the line system of the standard, or forced),
// snow without signal, no signal at all, or a Y4M file.
struct SourceSpec {
    enum class Kind { Pattern, Pattern525, Pattern625, Snow, None, File };
    int input = -1;
    Kind kind = Kind::Pattern;
    std::string path;
};

// Fault knobs by name: packet-error, odd-length, lost-packet,
// truncated-field, corrupt-byte, unplug (isochronous), control (control
// transfers).
struct FaultSpec {
    std::string name;
    sim::FaultKnob knob;
};
const std::vector<std::string>& FaultNames();

struct BoardOptions {
    sim::DecoderKind decoder = sim::DecoderKind::Type113;
    bool lowBandwidth = false;
    uint16_t lowBandwidthDescriptorLength = 99;
    std::vector<SourceSpec> sources;
    std::vector<FaultSpec> faults;
    std::optional<uint32_t> bandwidthBudget;  // bytes per microframe
    uint64_t seed = 1;
};

struct Invocation {
    Command command = Command::Help;
    std::optional<Command> helpTopic;  // help for one command

    // Every device command.
    std::string registry;   // --registry
    std::string usbTrace;   // --usb-trace FILE.pcap
    bool realtime = false;  // pace the emulated clock to the wall clock
    bool verbose = false;   // echo the driver's debug output
    bool json = false;      // answers as one JSON document on stdout
    std::string images;     // --images DIR: run the kernel images there
    BoardOptions board;

    // Selection (formats, info, capture, snapshot).
    std::optional<uint32_t> standard;
    std::optional<int> input;
    std::optional<uint32_t> frequency;
    uint32_t tunerMode = 0;

    // capture
    std::string output;
    std::optional<Container> container;
    std::optional<Fourcc> fourcc;
    std::optional<FrameSize> size;
    std::optional<uint64_t> frames;
    std::optional<double> duration;
    bool progress = true;
    bool discard = false;       // --discard: frames converted and counted, not kept
    std::optional<bool> fill;   // repeat frames for dropped ones (default: Y4M only)

    // get / set
    std::vector<PropertyRef> names;
    std::vector<PropertyAssignment> assignments;
};

struct ParseResult {
    bool ok = false;
    Invocation invocation;
    std::string error;  // one line, without "kvcap: "
};

ParseResult ParseCommandLine(const std::vector<std::string>& args);  // without argv[0]

std::string UsageText();                 // kvcap --help
std::string CommandHelp(Command command);
std::string_view CommandName(Command command);
std::string VersionText();

}  // namespace kvcap
