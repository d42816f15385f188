// The kvcap program: parses the command line and runs one command against
// the device. Output for people goes to stdout (listings, values) and
// stderr (progress, summary, errors: one line each, "kvcap: ..."); captured
// video goes to files or, with "-o -", to stdout.
#pragma once

#include <string>
#include <vector>

namespace kvcap {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the device, a file or the settings failed
constexpr int kExitUsage = 2;    // the command line was wrong

int RunKvcap(const std::vector<std::string>& args);  // without argv[0]

}  // namespace kvcap
