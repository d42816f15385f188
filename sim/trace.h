// A record of the board's USB traffic: every control transfer and every
// isochronous packet, with the bus time (microframe) it happened at. Rich
// enough for a USB capture file: setup bytes, data in either direction,
// statuses, packet lengths.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

struct TraceOptions {
    bool control = false;       // record control transfers
    bool isochronous = false;   // record isochronous packets
    bool isoData = false;       // ...with their bytes (otherwise lengths only)
    size_t maxRecords = 1u << 20;  // further records are counted, not kept
};

struct TraceRecord {
    enum class Kind { Control, Isochronous };
    Kind kind = Kind::Control;
    uint64_t sequence = 0;     // order among all records, from 0
    uint64_t microframe = 0;   // bus time
    // Control: the SETUP bytes as sent; data is what crossed in the data
    // stage (either direction). status/usbdStatus are what the host got.
    std::array<uint8_t, 8> setup{};
    // Isochronous: endpoint address; length as reported in the packet
    // descriptor; data when isoData is on.
    uint8_t endpoint = 0;
    uint32_t length = 0;
    std::vector<uint8_t> data;
    int32_t status = 0;        // NTSTATUS (control) or 0 (isochronous)
    int32_t usbdStatus = 0;    // USBD_STATUS of the transfer or packet
    bool injectedFault = false;
};

class Trace {
public:
    void SetOptions(const TraceOptions& o) { options_ = o; }
    const TraceOptions& Options() const { return options_; }
    bool WantsControl() const { return options_.control; }
    bool WantsIso() const { return options_.isochronous; }
    // Keeps rec (its sequence is assigned here) unless the limit is reached.
    void Add(TraceRecord rec);
    const std::vector<TraceRecord>& Records() const { return records_; }
    uint64_t Dropped() const { return dropped_; }
    void Clear()
    {
        records_.clear();
        dropped_ = 0;
    }

private:
    TraceOptions options_;
    std::vector<TraceRecord> records_;
    uint64_t next_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace sim
