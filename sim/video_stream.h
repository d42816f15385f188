// The video endpoint's packet stream: fields in time, cut into isochronous
// packets at the alternate setting's size.
//
// Timing. Fields follow each other on the bus clock at the rate of the line
// system the decoder runs at: 59.94 fields/s (a field every 2002/15 =
// 133.47 microframes) for 525 lines, 50 fields/s (every 160 microframes) for
// 625 lines. Field k of the stream belongs to frame k / 2 and is the frame's
// first (top, earlier) field when k is even. A change of line system takes
// effect at the next field boundary, from which fields follow the new rate;
// when streaming starts on a line system other than the last one seen, a
// field boundary of the new system is taken to fall at that moment.
//
// Packets. One packet per microframe, at most the alternate setting's bytes
// per microframe. A field opens with a header packet (6 header bytes, then
// data); the rest of it goes in continuation packets (0xFF 0xFF, then data),
// as many bytes as fit, from the field's start on. Once a field is through,
// packets are empty (length 0) until the next field starts. A field whose
// data has not gone out by the time the next field starts is cut short: the
// rest is dropped. When streaming starts (an alternate setting with
// bandwidth is selected) the first field sent is the next one to start.
//
// Header bytes, little-endian 16-bit words:
//   word 0  bit 14: first field of a frame; bit 12: 625-line field;
//           bits 0-11: frame number mod 4096 (bit 15 is always 0, so a header
//           never starts 0xFF 0xFF)
//   word 1  lines in this field
//   word 2  bytes per line
//
// Faults (knobs of IsoFaults) act on packets that carry data, each knob
// counting those packets, except truncatedField, which counts fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/faults.h"
#include "sim/video/source.h"

namespace sim {

struct IsoFaults {
    FaultKnob packetError;     // status USBD_STATUS_CRC; the packet's data is lost
    FaultKnob oddLength;       // the packet loses its last byte
    FaultKnob lostPacket;      // length 0, success status; its data is lost
    FaultKnob truncatedField;  // the field stops after half its data
    FaultKnob corruptByte;     // one data byte after the 2 or 6 header bytes changes
    FaultKnob unplug;          // the device is unplugged at this packet
};

// What the bridge has for one field.
struct FieldContent {
    bool present = false;       // false: nothing is sent for this field
    const uint8_t* data = nullptr;
    size_t size = 0;            // lines x bytesPerLine
    uint16_t lines = 0;
    uint16_t bytesPerLine = 0;
};

class FieldProvider {
public:
    virtual ~FieldProvider() = default;
    // The line system whose timing the next field follows.
    virtual LineSystem TimingSystem() = 0;
    // The content of a field; data stays valid until the next call.
    virtual FieldContent ProduceField(const FieldId& id, LineSystem sys) = 0;
};

struct PacketResult {
    uint32_t length = 0;
    int32_t usbdStatus = 0;
    bool faulted = false;
    bool unplug = false;
};

struct StreamCounters {
    uint64_t fieldsStarted = 0;
    uint64_t fieldsCutShort = 0;   // did not fit the bandwidth
    uint64_t fieldsTruncated = 0;  // by the fault knob
    uint64_t dataPackets = 0;
};

constexpr uint32_t kTicksPerMicroframe = 15;  // field timing works in 1/15 microframe
constexpr uint32_t FieldPeriodTicks(LineSystem s) { return s == LineSystem::L525 ? 2002 : 2400; }

class VideoStream {
public:
    VideoStream(FieldProvider& provider, uint64_t seed);

    // An alternate setting with bytesPerMicroframe of bandwidth was selected
    // at microframe now (0 stops the stream).
    void Select(uint32_t bytesPerMicroframe, uint64_t now);
    bool Streaming() const { return capacity_ != 0; }
    uint32_t Capacity() const { return capacity_; }

    // The packet of microframe m (non-decreasing from call to call) into out,
    // which has room for Capacity() bytes.
    PacketResult Fill(uint64_t m, uint8_t* out);

    void SetFaults(const IsoFaults& faults);
    const StreamCounters& Counters() const { return counters_; }
    // The index of the field the stream is in at microframe m.
    uint64_t FieldIndexAt(uint64_t m) const;

private:
    void BeginField(uint64_t k, uint64_t m);

    FieldProvider& provider_;
    uint64_t seed_;
    uint32_t capacity_ = 0;
    LineSystem epochSystem_ = LineSystem::L525;
    uint64_t epochTicks_ = 0;
    uint64_t epochField_ = 0;
    bool haveField_ = false;
    uint64_t field_ = 0;
    FieldContent content_;
    LineSystem fieldSystem_ = LineSystem::L525;
    FieldId fieldId_{0, true};
    size_t sent_ = 0;
    size_t limit_ = 0;
    bool headerPending_ = false;
    bool truncated_ = false;
    StreamCounters counters_;
    FaultSchedule packetError_, oddLength_, lostPacket_, truncatedField_, corruptByte_, unplug_;
};

}  // namespace sim
