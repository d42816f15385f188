// The driver's whole path for one 720 x 576 frame: the packet routine on
// every isochronous packet, the raw frame assembled from the bytes it names,
// then the field ring and the conversion into each output format. Reported
// beside a plain copy of the raw frame measured in the same run; the goal is
// a path of at most three copies' time.
//
// The packets are the board's own: a device is started on the simulated
// board and a PAL 720 x 576 stream prepared through the application side,
// which leaves the driver's record set up as a capture run has it; one
// frame's packets are then taken from the board and replayed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cstring>
#include <memory>
#include <vector>

#include "capture/Capture.h"
#include "host/app.h"
#include "host/kernel.h"
#include "sim/board.h"

namespace {

constexpr ULONG kFourccYuy2 = 0x32595559;
constexpr ULONG kFourccI420 = 0x30323449;
constexpr ULONG kFourccRgb24 = 0;
constexpr UCHAR kVideoEndpoint = 0x82;

struct Packet {
    std::vector<uint8_t> bytes;
};

// The capture pin of a started device, opened for 720 x 576 YUY2 under PAL.
kv::app::Pin* OpenPal720(kv::app::Filter& filter)
{
    filter.SetVideoStandard(KS_AnalogVideo_PAL_B);
    kv::app::FormatInfo range;
    for (const auto& f : filter.Formats()) {
        if (f.fourcc == kFourccYuy2 && f.width == 720 && f.height == 576) range = f;
    }
    kv::app::Format format;
    filter.Intersect(range, &format);
    return filter.OpenPin(format);
}

// A started device with a prepared 720 x 576 PAL stream, and one frame's
// packets from its board (the frame's first header packet to the next one).
struct Setup {
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<kv::app::Filter> filter;
    DeviceContext* context = nullptr;
    std::vector<Packet> frame;  // ends with the next frame's header packet
    ULONG rawFrameLength = 0;

    Setup()
    {
        kv::kernel::Reset();
        kv::streamclass::Reset();
        sim::BoardConfig config;
        config.inputs[2] = sim::MakeTestPattern(sim::LineSystem::L625, {});
        board = std::make_unique<sim::Board>(config);
        filter = kv::app::Filter::Open(*board);
        kv::app::Pin* pin = OpenPal720(*filter);
        pin->Pause();  // bandwidth allocated: alternate setting, window, pipeline, settings
        HW_STREAM_REQUEST_BLOCK srb{};
        srb.HwDeviceExtension = filter->Device().HwDeviceExtension();
        context = static_cast<DeviceContext*>(USBCAMD_AdapterReceivePacket(&srb, nullptr, nullptr, FALSE));
        rawFrameLength = context->frameDataSize + RAW_FRAME_HEADER_BYTES;
        TakeFrame();
    }

    // Reads packets until one whole frame lies between two frame starts.
    void TakeFrame()
    {
        const ULONG slot = 3 * 1024;
        std::vector<uint8_t> buffer(slot);
        std::vector<Packet> packets;
        int starts = 0;
        for (int i = 0; i < 4000 && starts < 2; ++i) {
            USBD_ISO_PACKET_DESCRIPTOR d{};
            if (board->IsochronousIn(kVideoEndpoint, 1, &d, buffer.data(), slot) != STATUS_SUCCESS) break;
            if (d.Length == 0) continue;
            const bool header = !(buffer[0] == 0xFF && buffer[1] == 0xFF);
            const bool frameStart = header && (buffer[1] & 0x40) != 0;
            if (frameStart) ++starts;
            if (starts == 0) continue;
            packets.push_back({std::vector<uint8_t>(buffer.begin(), buffer.begin() + d.Length)});
        }
        frame = std::move(packets);
    }
};

Setup& TheSetup()
{
    static Setup setup;
    return setup;
}

// The packet routine and the assembly of one raw frame, as the class
// library's engine does them. Returns the bytes assembled.
ULONG AssembleFrame(Setup& s, uint8_t* raw)
{
    ULONG length = 0;
    ULONG assembled = 0;
    for (const Packet& p : s.frame) {
        USBD_ISO_PACKET_DESCRIPTOR d{};
        d.Length = static_cast<ULONG>(p.bytes.size());
        BOOLEAN complete = FALSE;
        ULONG flags = 0, offset = 0;
        const ULONG count = CamProcessUSBPacketEx(nullptr, s.context, nullptr, nullptr, nullptr, &d,
                                                  const_cast<uint8_t*>(p.bytes.data()), &complete, &flags, &offset);
        if (complete) {
            assembled = length;
            length = 0;
        }
        if (count != 0 && offset <= d.Length && count <= d.Length - offset && count <= s.rawFrameLength - length) {
            std::memcpy(raw + length, p.bytes.data() + offset, count);
            length += count;
        }
    }
    return assembled;
}

// Processor time of this thread: the machine is shared, and time spent
// waiting for a processor is nobody's cost.
double ThreadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Time of one copy of the raw frame, the median of a few hundred.
double MemcpySeconds(size_t bytes)
{
    std::vector<uint8_t> from(bytes, 0x5A), to(bytes);
    std::vector<double> times;
    for (int i = 0; i < 301; ++i) {
        const double t0 = ThreadSeconds();
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
        times.push_back(ThreadSeconds() - t0);
    }
    std::nth_element(times.begin(), times.begin() + 150, times.end());
    return times[150];
}

void BM_MemcpyRawFrame(benchmark::State& state)
{
    Setup& s = TheSetup();
    std::vector<uint8_t> from(s.rawFrameLength, 0x5A), to(s.rawFrameLength);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * s.rawFrameLength);
}

// Gamma as the driver's settings left it (the stored value, or the default
// when none is stored), or neutral, which spares the pipeline its luma pass:
// the path's cost with the picture as a user would have it, and without.
struct GammaChoice {
    GammaChoice(Setup& s, bool neutral) : s(s)
    {
        if (neutral) ppl_set_gamma(s.context->pipelineHandle, 0);
    }
    ~GammaChoice() { ppl_set_gamma(s.context->pipelineHandle, s.context->gamma - 32); }
    Setup& s;
};

void DriverPath(benchmark::State& state, ULONG fourcc, ULONG outputBytes)
{
    Setup& s = TheSetup();
    s.context->outputFourcc = fourcc;
    const GammaChoice gamma(s, state.range(0) != 0);
    std::vector<uint8_t> raw(s.rawFrameLength), output(outputBytes);
    const ULONG assembled = AssembleFrame(s, raw.data());
    // 284-line fields in a 625-line standard, or whole 288-line ones.
    if (assembled != 817926 && assembled != 829446) {
        state.SkipWithError("the board's packets did not make one 720 x 576 frame");
        return;
    }
    const double copy = MemcpySeconds(assembled);
    const double t0 = ThreadSeconds();
    for (auto _ : state) {
        const ULONG length = AssembleFrame(s, raw.data());
        ConvertRawFrame(s.context, raw.data() + RAW_FRAME_HEADER_BYTES, s.rawFrameLength - RAW_FRAME_HEADER_BYTES,
                        length - RAW_FRAME_HEADER_BYTES, output.data(), outputBytes, fourcc);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    const double perFrame = (ThreadSeconds() - t0) / static_cast<double>(state.iterations());
    state.counters["x_memcpy"] = perFrame / copy;
    state.counters["memcpy_us"] = copy * 1e6;
    state.counters["packets"] = static_cast<double>(s.frame.size());
    state.counters["raw_bytes"] = assembled;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * assembled);
}

// The parts alone: the packet routine with the assembly, the field ring
// with the conversion, and the pipeline's call.
void BM_PacketsAndAssembly720x576(benchmark::State& state)
{
    Setup& s = TheSetup();
    std::vector<uint8_t> raw(s.rawFrameLength);
    const ULONG assembled = AssembleFrame(s, raw.data());
    const double copy = MemcpySeconds(assembled);
    const double t0 = ThreadSeconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize(AssembleFrame(s, raw.data()));
        benchmark::ClobberMemory();
    }
    const double perFrame = (ThreadSeconds() - t0) / static_cast<double>(state.iterations());
    state.counters["x_memcpy"] = perFrame / copy;
}

void ConversionOnly(benchmark::State& state, ULONG fourcc, ULONG outputBytes)
{
    Setup& s = TheSetup();
    s.context->outputFourcc = fourcc;
    std::vector<uint8_t> raw(s.rawFrameLength), output(outputBytes);
    const ULONG assembled = AssembleFrame(s, raw.data());
    const double copy = MemcpySeconds(assembled);
    const double t0 = ThreadSeconds();
    for (auto _ : state) {
        ConvertRawFrame(s.context, raw.data() + RAW_FRAME_HEADER_BYTES, s.rawFrameLength - RAW_FRAME_HEADER_BYTES,
                        assembled - RAW_FRAME_HEADER_BYTES, output.data(), outputBytes, fourcc);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    const double perFrame = (ThreadSeconds() - t0) / static_cast<double>(state.iterations());
    state.counters["x_memcpy"] = perFrame / copy;
}

// The pipeline's call alone, on the fields of the same frame, with the
// driver's settings: what is left of the path once the packets, the
// assembly and the ring are taken out.
void PipelineOnly(benchmark::State& state, ULONG fourcc, ULONG outputBytes)
{
    Setup& s = TheSetup();
    const GammaChoice gamma(s, state.range(0) != 0);
    std::vector<uint8_t> raw(s.rawFrameLength), output(outputBytes);
    const ULONG assembled = AssembleFrame(s, raw.data());
    constexpr size_t kField = 288 * 1440;
    std::vector<uint8_t> first(kField), second(kField), previous(kField);
    std::memcpy(first.data(), raw.data() + RAW_FRAME_HEADER_BYTES, 284 * 1440);
    std::memcpy(second.data(), raw.data() + RAW_FRAME_HEADER_BYTES + 284 * 1440, 284 * 1440);
    PadField(first.data(), 720);
    PadField(second.data(), 720);
    previous = second;
    auto convert = fourcc == kFourccYuy2   ? &IntlYUYVToYUYVMMX
                   : fourcc == kFourccI420 ? &IntlYUYVToI420MMX
                                           : &IntlYUYVToRGB24MMX;
    const double copy = MemcpySeconds(assembled);
    const double t0 = ThreadSeconds();
    for (auto _ : state) {
        convert(s.context->pipelineHandle, previous.data(), first.data(), second.data(), output.data(), 720, 576, 720,
                576);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    const double perFrame = (ThreadSeconds() - t0) / static_cast<double>(state.iterations());
    state.counters["x_memcpy"] = perFrame / copy;
}

void BM_FieldRingAndConversion720x576_YUY2(benchmark::State& state) { ConversionOnly(state, kFourccYuy2, 720 * 576 * 2); }
void BM_FieldRingAndConversion720x576_I420(benchmark::State& state) { ConversionOnly(state, kFourccI420, 720 * 576 * 3 / 2); }
void BM_FieldRingAndConversion720x576_RGB24(benchmark::State& state) { ConversionOnly(state, kFourccRgb24, 720 * 576 * 3); }

void BM_PipelineOnly720x576_YUY2(benchmark::State& state) { PipelineOnly(state, kFourccYuy2, 720 * 576 * 2); }
void BM_PipelineOnly720x576_I420(benchmark::State& state) { PipelineOnly(state, kFourccI420, 720 * 576 * 3 / 2); }
void BM_PipelineOnly720x576_RGB24(benchmark::State& state) { PipelineOnly(state, kFourccRgb24, 720 * 576 * 3); }

void BM_DriverPath720x576_YUY2(benchmark::State& state) { DriverPath(state, kFourccYuy2, 720 * 576 * 2); }
void BM_DriverPath720x576_I420(benchmark::State& state) { DriverPath(state, kFourccI420, 720 * 576 * 3 / 2); }
void BM_DriverPath720x576_RGB24(benchmark::State& state) { DriverPath(state, kFourccRgb24, 720 * 576 * 3); }

// The whole capture path as an application meets it: the class library's
// transfers on the bus, the packet routine, assembly, the raw-frame routine
// and the read completions, for one 720 x 576 YUY2 frame of a running PAL
// stream. Emulated time is pumped, never waited for.
void BM_CaptureRun720x576_YUY2(benchmark::State& state)
{
    kv::kernel::Reset();
    kv::streamclass::Reset();
    sim::BoardConfig config;
    config.inputs[2] = sim::MakeTestPattern(sim::LineSystem::L625, {});
    sim::Board board(config);
    auto filter = kv::app::Filter::Open(board);
    kv::app::Pin* pin = OpenPal720(*filter);
    if (pin == nullptr || pin->Run() != STATUS_SUCCESS) {
        state.SkipWithError("the pin did not run");
        return;
    }
    kv::app::Frame frame;
    if (pin->ReadFrame(&frame) != STATUS_SUCCESS) {
        state.SkipWithError("no first frame");
        return;
    }
    const double t0 = ThreadSeconds();
    for (auto _ : state) {
        if (pin->ReadFrame(&frame) != STATUS_SUCCESS) {
            state.SkipWithError("a frame did not come");
            break;
        }
        benchmark::DoNotOptimize(frame.data.data());
    }
    state.counters["cpu_us_per_frame"] = (ThreadSeconds() - t0) / static_cast<double>(state.iterations()) * 1e6;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    pin->Stop();
    pin->Close();
    filter.reset();
    kv::kernel::Reset();
    kv::streamclass::Reset();
}

}  // namespace

BENCHMARK(BM_CaptureRun720x576_YUY2)->Unit(benchmark::kMicrosecond)->Iterations(100);
BENCHMARK(BM_MemcpyRawFrame)->Unit(benchmark::kMicrosecond);
// Argument: 0 with the driver's gamma, 1 with neutral gamma.
BENCHMARK(BM_DriverPath720x576_YUY2)->Unit(benchmark::kMicrosecond)->ArgName("neutral_gamma")->Arg(0)->Arg(1);
BENCHMARK(BM_DriverPath720x576_I420)->Unit(benchmark::kMicrosecond)->ArgName("neutral_gamma")->Arg(0)->Arg(1);
BENCHMARK(BM_DriverPath720x576_RGB24)->Unit(benchmark::kMicrosecond)->ArgName("neutral_gamma")->Arg(0)->Arg(1);
BENCHMARK(BM_PacketsAndAssembly720x576)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FieldRingAndConversion720x576_YUY2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FieldRingAndConversion720x576_I420)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FieldRingAndConversion720x576_RGB24)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PipelineOnly720x576_YUY2)->Unit(benchmark::kMicrosecond)->ArgName("neutral_gamma")->Arg(0)->Arg(1);
BENCHMARK(BM_PipelineOnly720x576_I420)->Unit(benchmark::kMicrosecond)->ArgName("neutral_gamma")->Arg(0)->Arg(1);
BENCHMARK(BM_PipelineOnly720x576_RGB24)->Unit(benchmark::kMicrosecond)->ArgName("neutral_gamma")->Arg(0)->Arg(1);
