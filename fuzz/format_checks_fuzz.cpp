// Hostile data ranges and formats against the driver's data intersection and
// format checks: the intersection (with any buffer size), opening the capture
// pin, proposing and setting a format on it and reading it back. A format
// the driver accepts may be run for a frame, so that what the checks let
// through also reaches the capture path.
//
// Input: one byte choosing the board (see fuzz::BoardFor), then operations
// until the input ends, each an opcode byte and its fields:
//   0 intersect  u8 range index, edits, u8 stream (below 4 means stream 0),
//                u16 buffer size (mod 2048)
//   1 open       u8 range index, edits, u8 bit 0 run for a frame
//   2 propose    u8 range index, edits
//   3 set        u8 range index, edits
//   4 get        u16 buffer size (mod 1024)
//   5 standard   u8 the driver's standard index (set through the vendor set)
// A range index picks one of the pin's ranges; the record edited is that
// range (intersect) or the format the driver's intersection made from it.
// Edits: u8 count (mod 8), then each u8 kind and its fields: 0 a byte
// (u16 offset, u8), 1 a 32-bit word (u16 offset, u32), 2 a new length (u16
// mod 1024), 3 FormatSize (u32). Offsets are taken modulo the record's length.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

namespace sc = kv::streamclass;

void Edit(fuzz::Reader& in, std::vector<uint8_t>& record)
{
    const int count = in.U8() % 8;
    for (int i = 0; i < count; ++i) {
        const uint8_t kind = in.U8() % 4;
        if (kind == 0) {
            const uint16_t at = in.U16();
            const uint8_t value = in.U8();
            if (!record.empty()) record[at % record.size()] = value;
        } else if (kind == 1) {
            const uint16_t at = in.U16();
            const uint32_t value = in.U32();
            if (record.size() >= 4) {
                const size_t offset = std::min<size_t>(at % record.size(), record.size() - 4);
                std::memcpy(record.data() + offset, &value, 4);
            }
        } else if (kind == 2) {
            record.resize(in.U16() % 1024);
        } else {
            const uint32_t value = in.U32();
            if (record.size() >= 4) std::memcpy(record.data(), &value, 4);
        }
    }
}

struct Session {
    kv::app::Filter& filter;
    std::vector<kv::app::FormatInfo> ranges;
    kv::app::Pin* pin = nullptr;

    std::vector<uint8_t> Range(uint8_t index) const
    {
        if (ranges.empty()) return {};
        const auto& range = ranges[index % ranges.size()].range;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&range);
        return {bytes, bytes + sizeof(range)};
    }

    std::vector<uint8_t> Format(uint8_t index)
    {
        if (ranges.empty()) return {};
        kv::app::Format format;
        filter.Intersect(ranges[index % ranges.size()], &format);
        return format.bytes;
    }

    // A pin open with an offered format, for the requests that need one.
    kv::app::Pin* AnyPin()
    {
        if (pin == nullptr && !ranges.empty()) {
            kv::app::Format format;
            if (filter.Intersect(ranges[0], &format) == STATUS_SUCCESS) pin = filter.OpenPin(format);
        }
        return pin;
    }

    void ClosePin()
    {
        if (pin != nullptr) {
            pin->Stop();
            pin->Close();
        }
        pin = nullptr;
    }
};

// The intersection's answer describes itself: what it wrote fits the buffer
// and names its own size.
void CheckIntersection(const sc::Result& r, ULONG bufferSize, const std::vector<uint8_t>& out)
{
    if (r.status == STATUS_BUFFER_OVERFLOW) {
        fuzz::Check(r.actualBytes >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), "a size query answered too small");
        return;
    }
    if (!r.ok()) return;
    fuzz::Check(r.actualBytes <= bufferSize, "an intersection larger than its buffer");
    fuzz::Check(r.actualBytes >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), "an intersection shorter than a format");
    KSDATAFORMAT header;
    std::memcpy(&header, out.data(), sizeof(header));
    fuzz::Check(header.FormatSize == r.actualBytes, "an intersection whose FormatSize is not its size");
}

void RunForAFrame(kv::app::Pin& pin)
{
    // The harness's own buffers follow the format's sizes; a size the driver
    // refuses to fill is not worth gigabytes of host memory.
    if (pin.FrameSize() == 0 || pin.FrameSize() > (4u << 20)) return;
    pin.SetReadDepth(1);
    if (pin.Run() == STATUS_SUCCESS) {
        kv::app::Frame frame;
        if (pin.ReadFrame(&frame, 2'000'000) == STATUS_SUCCESS) {
            fuzz::Check(frame.data.size() <= pin.FrameSize(), "a frame larger than its buffer");
        }
    }
    pin.Stop();
}

void OneOperation(fuzz::Reader& in, Session& s)
{
    const uint8_t opcode = in.U8() % 6;
    switch (opcode) {
    case 0: {
        std::vector<uint8_t> range = s.Range(in.U8());
        Edit(in, range);
        const uint8_t streamChoice = in.U8();
        const ULONG stream = streamChoice < 4 ? 0 : streamChoice;
        const ULONG bufferSize = in.U16() % 2048;
        std::vector<uint8_t> out;
        const sc::Result r = s.filter.Device().DataIntersection(stream, range.data(), range.size(), bufferSize, &out);
        CheckIntersection(r, bufferSize, out);
        break;
    }
    case 1: {
        std::vector<uint8_t> format = s.Format(in.U8());
        Edit(in, format);
        const bool run = in.U8() & 1;
        s.ClosePin();
        kv::app::Format hostile;
        hostile.bytes = format;
        s.pin = s.filter.OpenPin(hostile);
        if (s.pin != nullptr && run) RunForAFrame(*s.pin);
        break;
    }
    case 2:
    case 3: {
        const bool propose = opcode == 2;
        std::vector<uint8_t> format = s.Format(in.U8());
        Edit(in, format);
        kv::app::Pin* pin = s.AnyPin();
        if (pin == nullptr) break;
        if (propose) {
            pin->Stream().ProposeFormat(format.data(), format.size());
        } else {
            pin->Stream().SetFormat(format.data(), format.size());
        }
        break;
    }
    case 4: {
        const ULONG bufferSize = in.U16() % 1024;
        kv::app::Pin* pin = s.AnyPin();
        if (pin == nullptr) break;
        std::vector<uint8_t> out;
        const sc::Result r = pin->Stream().GetFormat(bufferSize, &out);
        fuzz::Check(!r.ok() || r.actualBytes <= bufferSize, "a format answer larger than its buffer");
        break;
    }
    default:
        s.filter.SetVendorValue(65, in.U8());
        break;
    }
    fuzz::CheckNoViolation();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    fuzz::Rig* rig = fuzz::BeginInput(in.U8());
    if (rig == nullptr) return 0;
    {
        Session session{*rig->filter, rig->filter->Formats()};
        while (!in.Empty()) OneOperation(in, session);
        session.ClosePin();
    }
    fuzz::EndInput(*rig);
    return 0;
}
