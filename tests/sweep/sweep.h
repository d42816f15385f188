// The fault sweep: one capture session, from loading the driver to removing
// the device, repeated with a single fault placed at every point where the
// platform or the device can fail, each run judged on what a user or the
// system would suffer.
//
//     sweep::Sweeper sweeper;                       // prepares stored settings, runs clean
//     for (const sweep::Family& family : sweeper.Families()) ...
//     sweep::Verdict v = sweeper.Run(fault);
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel.h"

namespace sweep {

// The session's steps, in order. Loading the driver and starting the device
// are one step: the application opens the filter with both.
enum class Step { Open, SetStandard, Intersect, OpenPin, Run, ReadFrames, Pause, Stop, Close, Remove, Count };
const char* StepName(Step step);

struct Fault {
    enum class Kind {
        None,
        PoolAllocation,  // the n-th pool allocation fails
        Routine,         // the n-th call of `routine` fails with `status`
        UnplugAtPacket,  // the board is unplugged at its n-th data packet
        UnplugBefore,    // the board is unplugged before `step`
    };
    Kind kind = Kind::None;
    uint64_t n = 0;
    std::string routine;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    Step step = Step::Open;

    std::string Describe() const;
};

// What went wrong in one run; every count is zero for a sound one.
struct Verdict {
    std::vector<std::string> violations;
    std::vector<std::string> leaks;
    // Frames delivered with success that no conversion wrote (a row the
    // output format cannot produce, or the wrong size), and ones that do not
    // show the board's picture (black, another input, garbled).
    size_t unwrittenFrames = 0;
    size_t wrongPictures = 0;
    // Every step reported success and not one frame came.
    bool silent = false;
    // Registry values that are neither as before the run nor as the clean
    // run leaves them.
    std::vector<std::string> registryChanges;

    // Control requests that failed on the bus (the first few), to explain
    // a failed run.
    std::vector<std::string> failedRequests;

    // For sizing the families (from the clean run).
    bool allSucceeded = true;
    size_t frames = 0;
    uint64_t poolAllocations = 0;
    uint64_t dataPackets = 0;
    std::map<std::string, uint64_t> calls;

    bool Sound() const
    {
        return violations.empty() && leaks.empty() && unwrittenFrames == 0 && wrongPictures == 0 && !silent &&
               registryChanges.empty();
    }
};

// One family of faults: the runs it takes to place its fault everywhere.
struct Family {
    std::string name;
    std::vector<Fault> faults;
};

// A registry flattened to "key" and "key\\:value" entries.
using RegistryImage = std::map<std::string, std::optional<kv::kernel::registry::Value>>;
RegistryImage TakeRegistryImage();
// Entries of `after` that match neither `before` nor `expected`, described.
std::vector<std::string> UnexpectedChanges(const RegistryImage& before, const RegistryImage& expected,
                                           const RegistryImage& after);

// The routines whose n-th call a sweep fails, with the status each fails with.
struct RoutineFault {
    const char* routine;
    NTSTATUS status;
};
extern const RoutineFault kRoutineFaults[];
extern const size_t kRoutineFaultCount;

class Sweeper {
public:
    // Builds the stored settings a user would have (another standard, picture
    // controls moved), then makes the clean run every faulted one is judged
    // against.
    Sweeper();

    const Verdict& Clean() const { return clean_; }
    // Every fault of every family; with `most` > 0 a family keeps at most
    // that many, evenly spaced from an offset drawn per family from `seed`.
    std::vector<Family> Families(uint64_t most = 0, uint64_t seed = 1) const;
    Verdict Run(const Fault& fault);

private:
    Verdict Session(const Fault& fault, RegistryImage* after);
    std::string stored_;        // the registry before each run, as text
    RegistryImage before_;
    RegistryImage reference_;   // after the clean run
    Verdict clean_;
};

}  // namespace sweep
