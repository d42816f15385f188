// Soak: a long capture through the whole stack under seeded packet loss and
// corruption. Every delivered frame is checked against a fault-free
// reference of the same picture: its marks read back (the board's frame
// counter, the woven field parity), frames arrive in the board's order, and
// every byte outside the counter's band matches the reference. Frames the
// faults touched are either dropped and counted or, for a corrupted payload
// byte the driver cannot see, delivered with that small local damage only.
// Process memory (RSS), pool allocations, handles and pending requests are
// sampled at the start, the middle and the end and must stay flat.
//
//   soak [--frames N] [--seed S] [--loss P] [--corrupt P] [--truncate P]
//
// Prints the figures; exits 1 when a check fails, 2 on a bad command line.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/app.h"
#include "host/kernel.h"
#include "host/streamclass.h"
#include "host/usermem.h"
#include "sim/board.h"

namespace {

constexpr LONGLONG kSecond = 10'000'000;
constexpr uint16_t kSourceId = 0x1A5;
// A corrupted payload byte reaches a few output bytes through the scaler;
// more than this many differing bytes is damage the driver should not pass.
constexpr size_t kCorruptionBytes = 64;

struct Options {
    uint64_t frames = 100'000;
    uint64_t seed = 1;
    double loss = 0.0001;      // per data packet, each of error, lost and odd length
    double corrupt = 0.0002;   // per data packet
    double truncate = 0.005;   // per field
};

bool ParseNumber(const char* text, double* value)
{
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && *value >= 0;
}

bool Parse(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        double value = 0;
        if (i + 1 >= argc || !ParseNumber(argv[i + 1], &value)) return false;
        ++i;
        if (arg == "--frames" && value >= 1) o->frames = static_cast<uint64_t>(value);
        else if (arg == "--seed") o->seed = static_cast<uint64_t>(value);
        else if (arg == "--loss" && value <= 1) o->loss = value;
        else if (arg == "--corrupt" && value <= 1) o->corrupt = value;
        else if (arg == "--truncate" && value <= 1) o->truncate = value;
        else return false;
    }
    return true;
}

// A still picture whose only change from frame to frame is the counter.
sim::BoardConfig BoardConfig()
{
    sim::BoardConfig config;
    sim::TestPatternOptions pattern;
    pattern.sourceId = kSourceId;
    pattern.objectSpeed = 0;
    pattern.digits = false;
    config.inputs[2] = sim::MakeTestPattern(sim::LineSystem::L525, pattern);
    return config;
}

struct Memory {
    size_t rssKiB = 0;
    size_t poolCount = 0;
    size_t poolBytes = 0;
    size_t handles = 0;
    size_t irps = 0;
    size_t requests = 0;
    size_t regions = 0;
    size_t debugBytes = 0;
};

Memory Sample()
{
    Memory m;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        unsigned long size = 0, resident = 0;
        if (std::fscanf(f, "%lu %lu", &size, &resident) == 2) {
            m.rssKiB = resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
        }
        std::fclose(f);
    }
    namespace k = kv::kernel;
    m.poolCount = k::pool::OutstandingCount();
    m.poolBytes = k::pool::OutstandingBytes();
    m.handles = k::registry::OpenHandles().size();
    m.irps = k::io::OutstandingIrps().size();
    m.requests = kv::streamclass::OutstandingRequests();
    m.regions = kv::usermem::RegionCount();
    m.debugBytes = k::debug::Text().size();
    return m;
}

void Print(const char* when, const Memory& m)
{
    std::printf("  %-6s RSS %7zu KiB  pool %4zu allocations %9zu bytes  registry handles %zu  IRPs %zu  "
                "requests %zu  debug output %zu bytes\n",
                when, m.rssKiB, m.poolCount, m.poolBytes, m.handles, m.irps, m.requests, m.debugBytes);
}

// One capture: the board, the started device and the pin running YUY2
// 320 x 240 under NTSC, with the layout the marks reader needs.
struct Capture {
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<kv::app::Filter> filter;
    kv::app::Pin* pin = nullptr;
    kv::app::Format format;
    sim::MarkLayout layout{};

    explicit Capture(const sim::BoardConfig& config)
    {
        board = std::make_unique<sim::Board>(config);
        filter = kv::app::Filter::Open(*board);
        filter->SetVideoStandard(KS_AnalogVideo_NTSC_M);
        filter->SetVendorValue(67, 2);  // the input with the pattern
        for (const auto& range : filter->Formats()) {
            if (range.fourcc == kv::app::kFourccYuy2 && range.width == 320 && range.height == 240) {
                filter->Intersect(range, &format);
            }
        }
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        pin = filter->OpenPin(format, &status);
        if (pin == nullptr || pin->Run() != STATUS_SUCCESS) {
            throw kv::app::Error("the pin did not run: " + kv::app::StatusText(status), status);
        }
        sim::Window w = board->GetBridge().CaptureWindow();
        const int offset = board->GetDecoder() != nullptr ? board->GetDecoder()->VerticalOffset(sim::LineSystem::L525) : 0;
        w.vStartLine += offset;
        w.vEndLine += offset;
        w = sim::ClampToRaster(sim::LineSystem::L525, w);
        layout.sys = sim::LineSystem::L525;
        layout.window = w;
        layout.sourceWidthPixels = (w.hEndByte - w.hStartByte) / 2;
        Frames(true);
    }

    // Whether the picture is both fields woven or one field scaled.
    void Frames(bool woven)
    {
        layout.frame = woven;
        layout.sourceLines = (woven ? 2 : 1) * (layout.window.vEndLine - layout.window.vStartLine);
    }

    sim::FieldMarks Marks(const kv::app::Frame& frame) const
    {
        const sim::MarkImage image{sim::MarkPixelFormat::YUYV, frame.data.data(), frame.data.size(), format.Width(),
                                   format.Height()};
        return sim::DecodeFieldMarks(image, layout);
    }

    void Close()
    {
        if (pin != nullptr) {
            pin->Stop();
            pin->Close();
        }
        pin = nullptr;
        filter.reset();
        board.reset();
    }
};

// The fault-free picture, and the rows (the counter's band) where frames
// differ from each other.
struct Reference {
    bool woven = true;
    sim::FieldParity parity = sim::FieldParity::Unknown;
    std::vector<uint8_t> frame;
    std::vector<bool> varies;
    size_t rowBytes = 0;
};

Reference MakeReference(const sim::BoardConfig& config)
{
    Capture capture(config);
    std::vector<kv::app::Frame> frames;
    for (int i = 0; i < 12; ++i) {
        kv::app::Frame frame;
        if (capture.pin->ReadFrame(&frame, kSecond) != STATUS_SUCCESS) {
            throw kv::app::Error("the reference capture delivered no frame", STATUS_UNSUCCESSFUL);
        }
        // The first frame is woven with a field from before the start.
        if (i > 0) frames.push_back(std::move(frame));
    }
    Reference r;
    // The format's picture is woven from both fields or made from one: the
    // marks read under one of the two layouts.
    for (bool woven : {true, false}) {
        capture.Frames(woven);
        const sim::FieldMarks marks = capture.Marks(frames[0]);
        if (marks.valid && marks.sourceId == kSourceId) {
            r.woven = woven;
            r.parity = marks.parity;
            break;
        }
    }
    if (r.parity == sim::FieldParity::Unknown) {
        throw kv::app::Error("the reference frames' marks do not read", STATUS_UNSUCCESSFUL);
    }
    r.rowBytes = static_cast<size_t>(capture.format.Width()) * 2;
    const size_t rows = frames[0].data.size() / r.rowBytes;
    r.frame = frames[0].data;
    r.varies.assign(rows, false);
    for (const auto& f : frames) {
        for (size_t row = 0; row < rows; ++row) {
            if (std::memcmp(f.data.data() + row * r.rowBytes, r.frame.data() + row * r.rowBytes, r.rowBytes) != 0) {
                r.varies[row] = true;
            }
        }
    }
    capture.Close();
    return r;
}

// Bytes of the frame that differ from the reference outside the varying rows.
size_t Differences(const Reference& r, const std::vector<uint8_t>& frame)
{
    if (frame.size() != r.frame.size()) return frame.size() + r.frame.size();
    size_t count = 0;
    for (size_t row = 0; row < r.varies.size(); ++row) {
        if (r.varies[row]) continue;
        const uint8_t* a = frame.data() + row * r.rowBytes;
        const uint8_t* b = r.frame.data() + row * r.rowBytes;
        for (size_t i = 0; i < r.rowBytes; ++i) count += a[i] != b[i];
    }
    return count;
}

struct Tally {
    uint64_t delivered = 0;
    uint64_t dropped = 0;
    uint64_t touched = 0;   // a corrupted payload byte, within its bounds
    uint64_t damaged = 0;   // more than that: the driver passed a bad frame
    uint64_t unreadable = 0;
    uint64_t disordered = 0;
    uint64_t failures = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!Parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: soak [--frames N] [--seed S] [--loss P] [--corrupt P] [--truncate P]\n");
        return 2;
    }
    kv::kernel::Reset();
    kv::streamclass::Reset();
    kv::usermem::Reset();

    Tally t;
    Memory start, middle, end, after;
    std::vector<std::string> problems;
    try {
        const sim::BoardConfig clean = BoardConfig();
        const Reference reference = MakeReference(clean);
        const size_t varying = static_cast<size_t>(std::count(reference.varies.begin(), reference.varies.end(), true));
        if (varying == 0 || varying > reference.varies.size() / 4) {
            problems.push_back("the reference frames differ in " + std::to_string(varying) + " rows");
        }

        std::printf("soak: YUY2 320x240 NTSC (%s), seed %llu, per data packet %g error, %g lost, %g odd length, "
                    "%g corrupted byte; per field %g truncated\n",
                    reference.woven ? "two fields woven" : "one field scaled",
                    static_cast<unsigned long long>(o.seed), o.loss, o.loss, o.loss, o.corrupt, o.truncate);
        sim::BoardConfig faulty = clean;
        faulty.seed = o.seed;
        if (o.loss > 0) {
            faulty.isoFaults.packetError = sim::FaultKnob::Random(o.loss);
            faulty.isoFaults.lostPacket = sim::FaultKnob::Random(o.loss);
            faulty.isoFaults.oddLength = sim::FaultKnob::Random(o.loss);
        }
        if (o.corrupt > 0) faulty.isoFaults.corruptByte = sim::FaultKnob::Random(o.corrupt);
        if (o.truncate > 0) faulty.isoFaults.truncatedField = sim::FaultKnob::Random(o.truncate);
        Capture capture(faulty);
        capture.Frames(reference.woven);

        const uint64_t warmUp = std::min<uint64_t>(100, o.frames / 10);
        int previousCounter = -1;
        kv::app::Frame previous;
        for (uint64_t i = 0; i < o.frames; ++i) {
            if (i == warmUp) start = Sample();
            if (i == o.frames / 2) middle = Sample();
            kv::app::Frame frame;
            const NTSTATUS status = capture.pin->ReadFrame(&frame, kSecond);
            if (status != STATUS_SUCCESS) {
                problems.push_back("read " + std::to_string(i) + ": " + kv::app::StatusText(status));
                break;
            }
            ++t.delivered;
            if (i > 0 && frame.pictureNumber - previous.pictureNumber - 1 != frame.dropCount - previous.dropCount) {
                ++t.failures;  // the picture numbers skip what the drop count does not explain
            }
            if (i > 0 && frame.presentationTime <= previous.presentationTime) ++t.disordered;
            if (i == 0) {
                previous = std::move(frame);
                continue;  // woven with a field from before the start
            }
            const sim::FieldMarks marks = capture.Marks(frame);
            if (!marks.valid || marks.sourceId != kSourceId || marks.parity != reference.parity) {
                ++t.unreadable;
            } else {
                // The counter runs modulo 65536: the next frame is ahead by
                // less than half of that.
                if (previousCounter >= 0) {
                    const uint16_t ahead = static_cast<uint16_t>(marks.counter - previousCounter);
                    if (ahead == 0 || ahead >= 0x8000) ++t.disordered;
                }
                previousCounter = marks.counter;
            }
            const size_t differing = Differences(reference, frame.data);
            if (differing > kCorruptionBytes || (differing > 0 && o.corrupt == 0)) {
                ++t.damaged;
            } else if (differing > 0) {
                ++t.touched;
            }
            previous = std::move(frame);
        }
        end = Sample();
        USBCAMD_STREAM_STATISTICS s{};
        capture.pin->GetStatistics(&s);
        t.dropped = static_cast<uint64_t>(s.DropCount);
        std::printf("soak: %" PRIu64 " frames delivered, %" PRIu64 " dropped (by the packet checks %lld, no "
                    "request %lld, other %lld), %" PRIu64 " data packets, %" PRIu64 " fields truncated\n",
                    t.delivered, t.dropped, static_cast<long long>(s.DroppedByCamera),
                    static_cast<long long>(s.DroppedNoRequest),
                    static_cast<long long>(s.DropCount - s.DroppedByCamera - s.DroppedNoRequest),
                    capture.board->VideoCounters().dataPackets, capture.board->VideoCounters().fieldsTruncated);
        capture.Close();
        after = Sample();
    } catch (const std::exception& e) {
        problems.push_back(e.what());
    }

    std::printf("soak: %" PRIu64 " frames with a corrupted byte (at most %zu bytes differ), %" PRIu64
                " damaged, %" PRIu64 " with unreadable marks, %" PRIu64 " out of order, %" PRIu64
                " with picture numbers the drop count does not explain\n",
                t.touched, kCorruptionBytes, t.damaged, t.unreadable, t.disordered, t.failures);
    std::printf("soak: memory\n");
    Print("start", start);
    Print("middle", middle);
    Print("end", end);
    Print("closed", after);

    if (t.damaged) problems.push_back(std::to_string(t.damaged) + " damaged frames delivered");
    if (t.unreadable) problems.push_back(std::to_string(t.unreadable) + " frames whose marks do not read");
    if (t.disordered) problems.push_back(std::to_string(t.disordered) + " frames out of order");
    if (t.failures) problems.push_back(std::to_string(t.failures) + " frames with unexplained picture numbers");
    // Flat: nothing the stack holds grows with the frames captured. RSS may
    // settle a little as the allocator warms; a leak of a frame per thousand
    // frames would be megabytes here.
    if (end.poolCount > start.poolCount || end.poolBytes > start.poolBytes) {
        problems.push_back("pool allocations grew during the capture");
    }
    if (end.handles > start.handles || end.irps > start.irps || end.requests > start.requests) {
        problems.push_back("handles, IRPs or requests grew during the capture");
    }
    if (end.rssKiB > start.rssKiB + 8192 || end.rssKiB > middle.rssKiB + 4096) {
        problems.push_back("process memory grew during the capture");
    }
    if (after.poolCount != 0 || after.handles != 0 || after.irps != 0 || after.requests != 0) {
        problems.push_back("allocations, handles, IRPs or requests left after the device went away");
    }
    for (const auto& v : kv::kernel::Violations()) problems.push_back("violation: " + v);
    for (const auto& p : problems) std::printf("soak: FAILED: %s\n", p.c_str());
    if (problems.empty()) std::printf("soak: passed\n");
    return problems.empty() ? 0 : 1;
}
