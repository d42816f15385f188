// What the device-level fuzz targets share: reading a structured input, the
// board configurations an input can choose, and the checks every input must
// pass (no violation, nothing left allocated, open or pending once the device
// is gone). A failed check prints what it saw and aborts, which libFuzzer
// reports as a crash with the input that caused it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/DeviceContext.h"
#include "host/app.h"
#include "host/kernel.h"
#include "host/streamclass.h"
#include "host/usermem.h"
#include "sim/board.h"

namespace fuzz {

// Reads fields from the front of the input; past its end every read yields
// zeros, so any input decodes to something.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    // `n` bytes; what the input lacks stays zero.
    std::vector<uint8_t> Bytes(size_t n)
    {
        std::vector<uint8_t> out(n);
        const size_t take = size_ - pos_ < n ? size_ - pos_ : n;
        if (take) std::memcpy(out.data(), data_ + pos_, take);
        pos_ += take;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void Check(bool ok, const char* what)
{
    if (!ok) Fail(what);
}

// The board an input asks for with one byte: the decoder (bits 0-1) and
// the low-bandwidth mode (bit 2).
inline sim::BoardConfig BoardFor(uint8_t choice)
{
    static const sim::DecoderKind decoders[] = {sim::DecoderKind::Type113, sim::DecoderKind::Type110,
                                                sim::DecoderKind::Type111, sim::DecoderKind::None};
    sim::BoardConfig config;
    config.decoder = decoders[choice & 3];
    config.lowBandwidth = (choice & 4) != 0;
    return config;
}

// What the emulation holds at one moment: a device at rest holds the same
// before and after any request.
struct Holdings {
    size_t poolCount = 0, poolBytes = 0, handles = 0, irps = 0, requests = 0;

    static Holdings Now()
    {
        namespace k = kv::kernel;
        return {k::pool::OutstandingCount(), k::pool::OutstandingBytes(), k::registry::OpenHandles().size(),
                k::io::OutstandingIrps().size(), kv::streamclass::OutstandingRequests()};
    }
    bool operator==(const Holdings&) const = default;
};

// Nothing the driver did would be refused by the platform.
inline void CheckNoViolation()
{
    const auto violations = kv::kernel::Violations();
    if (violations.empty()) return;
    for (const auto& v : violations) std::fprintf(stderr, "violation: %s\n", v.c_str());
    Fail("the driver did something the platform refuses");
}

inline void CheckSame(const Holdings& before, const Holdings& after, const char* what)
{
    CheckNoViolation();
    if (before == after) return;
    std::fprintf(stderr, "pool %zu -> %zu allocations, %zu -> %zu bytes; registry handles %zu -> %zu; IRPs %zu -> %zu; "
                 "requests %zu -> %zu\n%s",
                 before.poolCount, after.poolCount, before.poolBytes, after.poolBytes, before.handles, after.handles,
                 before.irps, after.irps, before.requests, after.requests, kv::kernel::pool::LeakReport().c_str());
    Fail(what);
}

// A started device on a board, kept from input to input: starting one costs
// far more than any request (the decoder's start-up goes over the emulated
// bus), so each board an input can choose is started once. Every so many
// inputs, and when the run ends, all of them are removed, and then nothing
// may be left: no pool allocation, handle, IRP or request.
struct Rig {
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<kv::app::Filter> filter;
    DeviceContext* context = nullptr;
    Holdings atInput;
};

constexpr uint32_t kInputsPerRenewal = 500;

// One per board choice; never destroyed, since the emulation they run on is
// process-wide state whose destruction order at exit is not theirs.
inline std::array<Rig*, 8>& Rigs()
{
    static std::array<Rig*, 8> rigs{};
    return rigs;
}

inline void RemoveRigs()
{
    for (Rig* rig : Rigs()) {
        if (rig == nullptr) continue;
        rig->filter.reset();
        rig->board.reset();
        rig->context = nullptr;
    }
    CheckSame(Holdings{}, Holdings::Now(), "the devices' removal left something behind");
}

// The device for a board choice (see BoardFor), ready for an input; null
// when that device does not start.
inline Rig* BeginInput(uint8_t choice)
{
    static bool reset = false;
    static uint32_t inputs = 0;
    if (!reset) {
        kv::kernel::Reset();
        kv::streamclass::Reset();
        reset = true;
        std::atexit(RemoveRigs);
    }
    kv::usermem::Reset();
    if (++inputs % kInputsPerRenewal == 0) RemoveRigs();
    Rig*& rig = Rigs()[choice & 7];
    if (rig == nullptr) rig = new Rig;
    if (!rig->filter) {
        rig->board = std::make_unique<sim::Board>(BoardFor(choice));
        try {
            // Each board is a device of its own, on its own port.
            kv::app::FilterOptions options;
            const std::string n = std::to_string((choice & 7) + 1);
            options.instanceId = "USB\\VID_1234&PID_5678\\5&1a2b3c&0&" + n;
            options.device.linkBody =
                "USB#VID_1234&PID_5678#5&1a2b3c&0&" + n + "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
            rig->filter = kv::app::Filter::Open(*rig->board, options);
        } catch (const kv::app::Error&) {
            rig->board.reset();
            CheckNoViolation();
            return nullptr;
        }
        HW_STREAM_REQUEST_BLOCK probe{};
        probe.HwDeviceExtension = rig->filter->Device().HwDeviceExtension();
        rig->context = static_cast<DeviceContext*>(USBCAMD_AdapterReceivePacket(&probe, nullptr, nullptr, FALSE));
        Check(rig->context != nullptr, "no device record for a started device");
    }
    CheckNoViolation();
    rig->atInput = Holdings::Now();
    return rig;
}

// After an input, with its pin closed: no request, IRP or registry handle
// is left. Pool memory may stay (a device keeps what its first capture
// allocated); what the device never gives back shows when it is removed.
inline void EndInput(Rig& rig)
{
    kv::usermem::Reset();
    Holdings now = Holdings::Now();
    now.poolCount = rig.atInput.poolCount;
    now.poolBytes = rig.atInput.poolBytes;
    CheckSame(rig.atInput, now, "a request left something behind");
}

}  // namespace fuzz
