// USB traffic as a pcap file that Wireshark and tshark read: link type
// LINKTYPE_USB_LINUX_MMAPPED (220), every packet a 64-byte usbmon header,
// then (isochronous) one 16-byte descriptor per packet, then the data, as the
// Linux usbmon binary interface delivers them.
//
// The capture tool writes what the host controller's port saw: every URB's
// submission ('S') and completion ('C') with the same URB id, control
// transfers with their setup packet (data of OUT transfers on the
// submission, of IN transfers on the completion), isochronous transfers with
// one descriptor per packet (offset and length asked for on the submission;
// status and length on the completion, followed by the packets' data).
// Requests that put nothing on the bus (pipe resets, aborts, frame numbers)
// are left out, as usbmon leaves them out. Times are the emulated clock from
// the moment the file was started.
//
// A record of the board's own trace can also be written, as a submission and
// completion pair (one per isochronous packet).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/usbport.h"
#include "sim/trace.h"
#include "tools/atomic_file.h"

namespace kvcap {

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr size_t kUsbmonHeaderSize = 64;
constexpr size_t kUsbmonIsoDescriptorSize = 16;

// Linux URB status (0 or a negative errno) for a transfer's NTSTATUS and
// USBD status: stall -EPIPE, CRC -EILSEQ, no response -EPROTO, device gone
// -ENODEV, cancelled -ENOENT, other failures -EIO.
int32_t LinuxUrbStatus(int32_t ntStatus, int32_t usbdStatus);

struct UsbPcapOptions {
    uint8_t busNumber = 1;
    uint8_t deviceNumber = 2;
    int64_t startSeconds = 0;  // wall time of microframe 0
    int32_t startMicroseconds = 0;
};

// The pcap bytes of one trace record: its submission and completion.
std::vector<uint8_t> PcapRecordsFor(const sim::TraceRecord& record, const UsbPcapOptions& options);
// The pcap record of one URB event at the port; empty for a request that
// puts nothing on the bus.
std::vector<uint8_t> PcapRecordFor(const kv::usbport::UrbEvent& event, const UsbPcapOptions& options);
std::vector<uint8_t> PcapFileHeader();

class UsbPcapWriter {
public:
    static std::unique_ptr<UsbPcapWriter> Create(const std::string& path, const UsbPcapOptions& options,
                                                 std::string* error);
    bool Add(const sim::TraceRecord& record, std::string* error);
    bool Add(const kv::usbport::UrbEvent& event, std::string* error);
    bool Finish(std::string* error);
    void Abandon();
    uint64_t Transfers() const { return transfers_; }
    const std::string& Path() const { return file_->Path(); }

private:
    UsbPcapWriter() = default;
    std::unique_ptr<AtomicFile> file_;
    UsbPcapOptions options_;
    uint64_t transfers_ = 0;
};

}  // namespace kvcap
