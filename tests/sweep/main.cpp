// fault_sweep: runs the capture session once per fault and prints, per
// family, the runs made and the runs each judge failed. Exits 1 when any run
// failed a judge, 2 on a usage error.
//
//   fault_sweep [--sample M] [--seed S] [--family NAME]... [--at N] [--verbose]
//
// --sample M keeps at most M evenly spaced runs of each family (from an
// offset the seed draws per family); without it the fault goes everywhere.
// --at N runs only the n-th fault of the numbered families (to look at one).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/sweep/sweep.h"

namespace {

int Usage(const char* message)
{
    std::fprintf(stderr, "fault_sweep: %s\nusage: fault_sweep [--sample M] [--seed S] [--family NAME]... [--at N] [--verbose]\n",
                 message);
    return 2;
}

bool ParseCount(const char* text, uint64_t* out)
{
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-') return false;
    *out = value;
    return true;
}

void Show(const char* what, const std::vector<std::string>& lines)
{
    for (const auto& line : lines) std::printf("    %s: %s\n", what, line.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t sample = 0, seed = 1, at = 0;
    std::vector<std::string> only;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sample" || arg == "--seed") {
            uint64_t value = 0;
            if (i + 1 >= argc || !ParseCount(argv[i + 1], &value) || (arg == "--sample" && value == 0)) {
                return Usage((arg + " needs a count (1, 2, ...)").c_str());
            }
            (arg == "--sample" ? sample : seed) = value;
            ++i;
        } else if (arg == "--at") {
            if (i + 1 >= argc || !ParseCount(argv[i + 1], &at) || at == 0) return Usage("--at needs a count (1, 2, ...)");
            ++i;
        } else if (arg == "--family") {
            if (i + 1 >= argc) return Usage("--family needs a name");
            only.push_back(argv[++i]);
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }

    const auto started = std::chrono::steady_clock::now();
    sweep::Sweeper sweeper;
    const sweep::Verdict& clean = sweeper.Clean();
    if (!clean.Sound() || !clean.allSucceeded || clean.frames == 0) {
        std::printf("the clean run is not sound (%zu frames):\n", clean.frames);
        Show("violation", clean.violations);
        Show("leak", clean.leaks);
        return 1;
    }

    std::printf("clean run: %zu frames, %llu pool allocations, %llu data packets\n", clean.frames,
                static_cast<unsigned long long>(clean.poolAllocations), static_cast<unsigned long long>(clean.dataPackets));
    for (const auto& [routine, calls] : clean.calls) {
        std::printf("  %s: %llu calls\n", routine.c_str(), static_cast<unsigned long long>(calls));
    }
    std::printf("%-38s %6s %10s %6s %9s %6s %6s %8s\n", "fault family", "runs", "violations", "leaks", "unwritten",
                "picture", "silent", "registry");
    size_t totalRuns = 0, totalFailed = 0;
    for (const auto& family : sweeper.Families(sample, seed)) {
        if (!only.empty() && std::find(only.begin(), only.end(), family.name) == only.end()) continue;
        size_t violations = 0, leaks = 0, unwritten = 0, wrong = 0, silent = 0, registry = 0;
        for (const auto& fault : family.faults) {
            if (at != 0 && fault.n != at) continue;
            const sweep::Verdict v = sweeper.Run(fault);
            violations += !v.violations.empty();
            leaks += !v.leaks.empty();
            unwritten += v.unwrittenFrames != 0;
            wrong += v.wrongPictures != 0;
            silent += v.silent;
            registry += !v.registryChanges.empty();
            if (!v.Sound()) {
                ++totalFailed;
                if (verbose) {
                    std::printf("  %s:\n", fault.Describe().c_str());
                    Show("violation", v.violations);
                    Show("leak", v.leaks);
                    Show("registry", v.registryChanges);
                    Show("failed control request", v.failedRequests);
                    if (v.unwrittenFrames) std::printf("    %zu unwritten frame(s)\n", v.unwrittenFrames);
                    if (v.wrongPictures) std::printf("    %zu frame(s) without the board's picture\n", v.wrongPictures);
                    if (v.silent) std::printf("    every step succeeded and no frame came\n");
                }
            }
        }
        const size_t runs = at == 0 ? family.faults.size()
                                    : static_cast<size_t>(std::count_if(family.faults.begin(), family.faults.end(),
                                                                        [at](const auto& f) { return f.n == at; }));
        totalRuns += runs;
        std::printf("%-38s %6zu %10zu %6zu %9zu %6zu %6zu %8zu\n", family.name.c_str(), runs,
                    violations, leaks, unwritten, wrong, silent, registry);
        std::fflush(stdout);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%zu runs, %zu failed, %.1f s\n", totalRuns, totalFailed, seconds);
    return totalFailed == 0 ? 0 : 1;
}
