// One run of the program against the device: the stored settings loaded,
// the simulated board built from the command line's options, the driver
// started on it through the application API, the USB trace recorded; and at
// the end the device stopped, the trace finished and the settings saved.
#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "host/app.h"
#include "sim/board.h"
#include "tools/cli.h"
#include "tools/properties.h"
#include "tools/state.h"
#include "tools/usb_pcap.h"

struct _DEVICE_CONTEXT;

namespace kvcap {

// Set by SIGINT / SIGTERM; a long operation checks it and ends cleanly.
extern volatile std::sig_atomic_t g_interrupted;
// Installs the handler: the first signal asks for a clean end, a second one
// removes the temporary files and ends the program at once.
void InstallInterruptHandler();

class PatternSource;

class Session {
public:
    // Null with *error set (one line) when the settings file cannot be used,
    // the board options do not make a board, or the device does not start.
    static std::unique_ptr<Session> Open(const Invocation& invocation, std::string* error);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    sim::Board& Board() { return *board_; }
    kv::app::Filter& Filter() { return *filter_; }
    const RegistryLocation& Registry() const { return registry_; }
    bool FirstRun() const { return firstRun_; }
    // Whether the run saves its setting changes at the end (capture, set,
    // snapshot); the others only look.
    bool Saves() const { return saves_; }

    // The driver's view of the device: decoder type and address, mode.
    long DecoderType() const;
    unsigned DecoderAddress() const;
    bool FullMode() const;

    // The standard in force: what the driver holds, else the stored one,
    // else NTSC-M (the driver's first-use default).
    uint32_t CurrentStandard();
    // Sets it through the decoder set (or the vendor standard index where
    // the decoder has no decoder set) and lets the patterns follow it.
    NTSTATUS SetStandard(uint32_t ksStandard);
    // The stored value of "Settings\<name>", if any.
    std::optional<uint32_t> StoredSetting(const std::string& name) const;

    // One property request through the stream class; the answer lands in
    // request.data. *returned gets the bytes the driver reported.
    NTSTATUS Get(PropertyRequest& request, uint32_t* returned);
    NTSTATUS Set(PropertyRequest& request);
    // What the stream class answers for the item from the driver's tables
    // (KSPROPERTY_TYPE_BASICSUPPORT): access flags, ranges, default.
    NTSTATUS Support(PropertySet set, uint32_t id, ControlDescription* description);

    // Starts the stream briefly (one frame) so the driver loads and applies
    // its stored settings, as it does at every capture start.
    NTSTATUS Settle(std::string* error);

    // The formats of the pin usable with a standard (by the driver's
    // standard masks; all of them when none names the standard's lines).
    std::vector<kv::app::FormatInfo> FormatsFor(uint32_t ksStandard) const;

    // Moves the board's trace records into the pcap file and forgets them.
    void DrainTrace();
    // Frees the debug output collected so far (echoed already when verbose).
    void TrimDebugOutput();

    // Stops the device, finishes the trace and saves the settings the run
    // changed (see SaveRegistryChanges). The first
    // failure is reported; everything is attempted.
    bool Close(std::string* error);

private:
    Session() = default;

    Invocation invocation_;
    RegistryLocation registry_;
    bool firstRun_ = false;
    bool saves_ = false;
    std::string before_;  // the settings as loaded, as export text
    std::unique_ptr<sim::Board> board_;
    std::unique_ptr<kv::app::Filter> filter_;
    std::unique_ptr<UsbPcapWriter> pcap_;
    std::string traceError_;
    std::vector<std::shared_ptr<PatternSource>> patterns_;
    bool started_ = false;
    bool closed_ = false;
};

// KS standard to the driver's standard index (1 NTSC, 2 PAL, 3 SECAM, 4 PAL-M, 5 PAL-N).
uint32_t StandardIndexFor(uint32_t ksStandard);

}  // namespace kvcap
