// The capture tool's commands: arguments, and capture from a simulated board
// through the whole driver stack into a Y4M file.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/ntdef.h"

namespace kvcap {

struct CaptureOptions {
    std::string format = "I420";  // YUY2, I420 or RGB24
    int width = 640;
    int height = 480;
    std::string standard = "ntsc";
    uint32_t frames = 100;
    std::string output = "capture.y4m";
    std::string source;     // a Y4M file the board shows instead of its test pattern
    bool realtime = false;  // pace the emulated clock to the wall clock
    bool lowBandwidth = false;  // a board in the low-bandwidth mode (160 x 120 only)
};

// The KS_AnalogVideo_* value of a standard name ("ntsc", "pal", "secam-l",
// ...); nothing for a name it does not know.
std::optional<ULONG> StandardByName(const std::string& name);
std::vector<std::string> StandardNames();

// Parses the arguments after "capture". False with a message for anything it
// does not accept; *help is set when help was asked for.
bool ParseCaptureArguments(const std::vector<std::string>& args, CaptureOptions* options, std::string* error,
                           bool* help);
std::string CaptureUsage();

// Runs the capture; progress and the summary go to `out`, problems to `err`.
// Returns the process exit code: 0 done, 1 the capture failed.
int RunCapture(const CaptureOptions& options, std::ostream& out, std::ostream& err);

// Lists the formats the pin offers under a standard. Exit code as above.
int ListFormats(const CaptureOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kvcap
