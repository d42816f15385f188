// The simulated board producing video: packets through IsochronousIn, as the
// class library's transfer path would read them, with the moving test
// pattern (box, counter, digits) so every field is new. "fps" is frames of
// video produced per second of processor time; real time is 25 or 29.97.
#include <benchmark/benchmark.h>

#include <vector>

#include "sim/board.h"

namespace {

struct Setup {
    sim::LineSystem sys;
    uint8_t standard;  // 5150 register 0x28
    sim::Window window;
    bool adjusted;     // non-neutral picture registers
    bool snow;         // the tuner input, tuned nowhere
};

void WriteReg(sim::Board& b, uint16_t reg, uint16_t value)
{
    b.WriteRegister(reg, value);
}

void DecoderWrite(sim::Board& b, uint8_t reg, uint8_t value)
{
    WriteReg(b, 0x203, 0xBA);
    WriteReg(b, 0x204, reg);
    WriteReg(b, 0x205, value);
    WriteReg(b, 0x200, 0x05);
    for (int i = 0; i < 10 && b.ReadRegister(0x201).value_or(1) == 0; ++i) {
    }
}

void Produce(benchmark::State& state, const Setup& s)
{
    sim::BoardConfig c;
    c.inputs[2] = sim::MakeTestPattern(s.sys, {});
    sim::Board b(c);
    DecoderWrite(b, 0x28, s.standard);
    if (s.snow)
        DecoderWrite(b, 0x00, 0x02);
    if (s.adjusted) {
        DecoderWrite(b, 0x09, 0x90);  // brightness
        DecoderWrite(b, 0x0C, 0x70);  // contrast
        DecoderWrite(b, 0x0B, 0x10);  // hue
    }
    const int v[4] = {s.window.hStartByte, s.window.vStartLine, s.window.hEndByte, s.window.vEndLine};
    for (int i = 0; i < 4; ++i) {
        WriteReg(b, static_cast<uint16_t>(0x110 + 2 * i), static_cast<uint16_t>(v[i] & 0xFF));
        WriteReg(b, static_cast<uint16_t>(0x111 + 2 * i), static_cast<uint16_t>(v[i] >> 8));
    }
    USB_DEFAULT_PIPE_SETUP_PACKET setConfig{0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0};
    ULONG zero = 0;
    USBD_STATUS u = 0;
    b.ControlTransfer(&setConfig, nullptr, &zero, &u);
    b.SelectAlternateSetting(0, 5, &u);

    // One transfer of 64 microframes at a time, as a host queues them.
    constexpr ULONG kPackets = 64;
    const ULONG cap = b.Usb().VideoBytesPerMicroframe(5);
    std::vector<uint8_t> buffer(static_cast<size_t>(cap) * kPackets);
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets(kPackets);
    for (ULONG i = 0; i < kPackets; ++i)
        packets[i].Offset = i * cap;

    uint64_t bytes = 0;
    const uint64_t fieldsBefore = b.VideoCounters().fieldsStarted;
    for (auto _ : state) {
        b.IsochronousIn(0x82, kPackets, packets.data(), buffer.data(), static_cast<ULONG>(buffer.size()));
        for (const auto& p : packets)
            bytes += p.Length;
        benchmark::DoNotOptimize(buffer.data());
    }
    const double frames = static_cast<double>(b.VideoCounters().fieldsStarted - fieldsBefore) / 2.0;
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["cut"] = static_cast<double>(b.VideoCounters().fieldsCutShort);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_Pal720x576(benchmark::State& state)
{
    Produce(state, {sim::LineSystem::L625, 0x04, {0, 1, 1440, 289}, false, false});
}
void BM_Pal720x576Adjusted(benchmark::State& state)
{
    Produce(state, {sim::LineSystem::L625, 0x04, {0, 1, 1440, 289}, true, false});
}
void BM_Ntsc720x480(benchmark::State& state)
{
    Produce(state, {sim::LineSystem::L525, 0x02, {0, 13, 1440, 253}, false, false});
}
void BM_Snow720x576(benchmark::State& state)
{
    Produce(state, {sim::LineSystem::L625, 0x04, {0, 1, 1440, 289}, false, true});
}

}  // namespace

BENCHMARK(BM_Pal720x576);
BENCHMARK(BM_Pal720x576Adjusted);
BENCHMARK(BM_Ntsc720x480);
BENCHMARK(BM_Snow720x576);
