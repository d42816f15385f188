#include "tools/usb_pcap.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/usb.h"

namespace kvcap {

namespace {

constexpr int32_t kInProgress = -EINPROGRESS;  // a submitted URB
constexpr int32_t kIsoNotDone = -EXDEV;        // a packet not yet transferred
constexpr uint32_t kUrbDirIn = 0x0200;         // URB_DIR_IN among the transfer flags
constexpr uint32_t kSnapLength = 0x00040000;

enum XferType : uint8_t { kIso = 0, kInterrupt = 1, kControl = 2, kBulk = 3 };

void Le16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Le32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Le64(std::vector<uint8_t>& out, uint64_t v)
{
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Header {
    uint64_t id = 0;
    char type = 'S';
    uint8_t xferType = kControl;
    uint8_t endpoint = 0;
    bool setupPresent = false;
    std::array<uint8_t, 8> setup{};
    int32_t status = 0;
    uint32_t urbLength = 0;
    uint32_t ndesc = 0;
    int32_t isoErrors = 0;
    uint32_t startFrame = 0;
    int32_t interval = 0;
    uint32_t flags = 0;
};

// One pcap record: record header, usbmon header, descriptors, data. The time
// is in microseconds from the start of the file.
void EmitAt(std::vector<uint8_t>& out, const Header& h, uint64_t microseconds, const UsbPcapOptions& o,
            const std::vector<uint8_t>& descriptors, const uint8_t* data, size_t dataLength, uint8_t busNumber,
            uint8_t deviceNumber)
{
    const uint64_t micro = static_cast<uint64_t>(o.startMicroseconds) + microseconds;
    const int64_t seconds = o.startSeconds + static_cast<int64_t>(micro / 1'000'000);
    const auto useconds = static_cast<int32_t>(micro % 1'000'000);
    const auto captured = static_cast<uint32_t>(descriptors.size() + dataLength);

    // pcap record header
    Le32(out, static_cast<uint32_t>(seconds));
    Le32(out, static_cast<uint32_t>(useconds));
    Le32(out, static_cast<uint32_t>(kUsbmonHeaderSize) + captured);
    Le32(out, static_cast<uint32_t>(kUsbmonHeaderSize) + captured);

    // usbmon header (struct usbmon_packet with the mmapped tail)
    Le64(out, h.id);
    out.push_back(static_cast<uint8_t>(h.type));
    out.push_back(h.xferType);
    out.push_back(h.endpoint);
    out.push_back(deviceNumber);
    Le16(out, busNumber);
    out.push_back(h.setupPresent ? 0 : static_cast<uint8_t>('-'));
    // Data flag: 0 when data follows; otherwise why not ('<' an IN submission,
    // '>' an OUT completion, '=' nothing to carry).
    uint8_t dataFlag = 0;
    if (dataLength == 0) {
        const bool in = (h.endpoint & 0x80) != 0;
        dataFlag = h.type == 'S' ? (in ? '<' : '=') : (in ? '=' : '>');
    }
    out.push_back(dataFlag);
    Le64(out, static_cast<uint64_t>(seconds));
    Le32(out, static_cast<uint32_t>(useconds));
    Le32(out, static_cast<uint32_t>(h.status));
    Le32(out, h.urbLength);
    Le32(out, captured);
    if (h.xferType == kIso) {
        Le32(out, static_cast<uint32_t>(h.isoErrors));
        Le32(out, h.ndesc);
    } else {
        out.insert(out.end(), h.setup.begin(), h.setup.end());
    }
    Le32(out, static_cast<uint32_t>(h.interval));
    Le32(out, h.startFrame);
    Le32(out, h.flags);
    Le32(out, h.ndesc);

    out.insert(out.end(), descriptors.begin(), descriptors.end());
    if (dataLength) out.insert(out.end(), data, data + dataLength);
}

void Emit(std::vector<uint8_t>& out, const Header& h, uint64_t microframe, const UsbPcapOptions& o,
          const std::vector<uint8_t>& descriptors, const uint8_t* data, size_t dataLength, uint8_t busNumber,
          uint8_t deviceNumber)
{
    EmitAt(out, h, microframe * 125, o, descriptors, data, dataLength, busNumber, deviceNumber);
}

void AddIsoDescriptor(std::vector<uint8_t>& d, int32_t status, uint32_t offset, uint32_t length)
{
    Le32(d, static_cast<uint32_t>(status));
    Le32(d, offset);  // within the data that follows
    Le32(d, length);
    Le32(d, 0);
}

std::vector<uint8_t> IsoDescriptor(int32_t status, uint32_t length)
{
    std::vector<uint8_t> d;
    AddIsoDescriptor(d, status, 0, length);
    return d;
}

}  // namespace

int32_t LinuxUrbStatus(int32_t ntStatus, int32_t usbdStatus)
{
    const auto usbd = static_cast<USBD_STATUS>(usbdStatus);
    if (ntStatus >= 0 && (usbd & 0xC0000000u) != 0xC0000000u) return 0;
    switch (usbd) {
    case USBD_STATUS_STALL_PID: return -EPIPE;
    case USBD_STATUS_CRC:
    case USBD_STATUS_BTSTUFF: return -EILSEQ;
    case USBD_STATUS_DEV_NOT_RESPONDING: return -EPROTO;
    case USBD_STATUS_DEVICE_GONE: return -ENODEV;
    case USBD_STATUS_CANCELED: return -ENOENT;  // killed, as usbmon shows an unlinked URB
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_BUFFER_OVERRUN: return -EOVERFLOW;
    default: return ntStatus < 0 || (usbd & 0xC0000000u) == 0xC0000000u ? -EIO : 0;
    }
}

std::vector<uint8_t> PcapFileHeader()
{
    std::vector<uint8_t> h;
    Le32(h, 0xA1B2C3D4u);  // microsecond timestamps, written little-endian
    Le16(h, 2);
    Le16(h, 4);
    Le32(h, 0);  // GMT
    Le32(h, 0);  // accuracy
    Le32(h, kSnapLength);
    Le32(h, kLinkTypeUsbLinuxMmapped);
    return h;
}

std::vector<uint8_t> PcapRecordsFor(const sim::TraceRecord& rec, const UsbPcapOptions& o)
{
    std::vector<uint8_t> out;
    Header h;
    // Kernel-looking URB tags; the two halves of one transfer share theirs.
    h.id = 0xFFFF'8880'0000'0000ull + rec.sequence * 0x100;
    const std::vector<uint8_t> none;
    if (rec.kind == sim::TraceRecord::Kind::Control) {
        const bool in = (rec.setup[0] & 0x80) != 0;
        const uint16_t wLength = static_cast<uint16_t>(rec.setup[6] | rec.setup[7] << 8);
        h.xferType = kControl;
        h.endpoint = in ? 0x80 : 0x00;
        h.flags = in ? kUrbDirIn : 0;
        h.type = 'S';
        h.setupPresent = true;
        h.setup = rec.setup;
        h.status = kInProgress;
        h.urbLength = wLength;
        const size_t outData = in ? 0 : std::min<size_t>(rec.data.size(), wLength);
        Emit(out, h, rec.microframe, o, none, rec.data.data(), outData, o.busNumber, o.deviceNumber);

        h.type = 'C';
        h.setupPresent = false;
        h.setup = {};
        h.status = LinuxUrbStatus(rec.status, rec.usbdStatus);
        h.urbLength = static_cast<uint32_t>(rec.data.size());
        const size_t inData = in ? std::min<size_t>(rec.data.size(), wLength) : 0;
        Emit(out, h, rec.microframe, o, none, rec.data.data(), inData, o.busNumber, o.deviceNumber);
        return out;
    }

    h.xferType = kIso;
    h.endpoint = static_cast<uint8_t>(rec.endpoint | 0x80);
    h.flags = kUrbDirIn | 0x0002;  // URB_ISO_ASAP
    h.ndesc = 1;
    h.interval = 1;
    h.startFrame = static_cast<uint32_t>(rec.microframe / 8);
    h.type = 'S';
    h.status = kInProgress;
    h.urbLength = rec.length;
    Emit(out, h, rec.microframe, o, IsoDescriptor(kIsoNotDone, rec.length), nullptr, 0, o.busNumber,
         o.deviceNumber);

    h.type = 'C';
    const int32_t packetStatus = LinuxUrbStatus(0, rec.usbdStatus);
    h.status = 0;  // an isochronous URB completes; its packets carry the errors
    h.isoErrors = packetStatus != 0 ? 1 : 0;
    h.urbLength = rec.length;
    const size_t data = std::min<size_t>(rec.data.size(), rec.length);
    Emit(out, h, rec.microframe, o, IsoDescriptor(packetStatus, rec.length), rec.data.data(), data, o.busNumber,
         o.deviceNumber);
    return out;
}

std::vector<uint8_t> PcapRecordFor(const kv::usbport::UrbEvent& e, const UsbPcapOptions& o)
{
    std::vector<uint8_t> out;
    const bool iso = e.function == URB_FUNCTION_ISOCH_TRANSFER;
    if (!iso && !e.hasSetup) return out;
    const bool submit = e.kind == kv::usbport::UrbEvent::Kind::Submit;
    Header h;
    h.id = 0xFFFF'8880'0000'0000ull + e.id * 0x100;
    h.type = submit ? 'S' : 'C';
    h.endpoint = e.endpoint;
    const bool in = (e.endpoint & 0x80) != 0;
    const uint64_t microseconds = static_cast<uint64_t>(e.time > 0 ? e.time : 0) / 10;
    const uint8_t* data = e.data.empty() ? nullptr : e.data.data();
    if (!iso) {
        h.xferType = kControl;
        h.flags = in ? kUrbDirIn : 0;
        h.setupPresent = submit;
        if (submit) h.setup = e.setup;
        h.status = submit ? kInProgress : LinuxUrbStatus(e.status, e.usbdStatus);
        h.urbLength = e.length;
        const size_t bytes = (submit != in) ? std::min<size_t>(e.data.size(), e.length) : 0;
        EmitAt(out, h, microseconds, o, {}, data, bytes, o.busNumber, o.deviceNumber);
        return out;
    }
    h.xferType = kIso;
    h.flags = (in ? kUrbDirIn : 0) | 0x0002;  // URB_ISO_ASAP
    h.ndesc = static_cast<uint32_t>(e.packets.size());
    h.interval = 1;
    h.startFrame = e.startFrame;
    h.urbLength = e.length;
    std::vector<uint8_t> descriptors;
    if (submit) {
        h.status = kInProgress;
        for (size_t i = 0; i < e.packets.size(); ++i) {
            const uint32_t offset = e.packets[i].Offset;
            const uint32_t end = i + 1 < e.packets.size() ? e.packets[i + 1].Offset : e.length;
            AddIsoDescriptor(descriptors, kIsoNotDone, offset, end > offset ? end - offset : 0);
        }
        EmitAt(out, h, microseconds, o, descriptors, nullptr, 0, o.busNumber, o.deviceNumber);
        return out;
    }
    // The packets' bytes follow back to back; each descriptor points at its own.
    int32_t errors = 0;
    uint32_t at = 0;
    for (const auto& p : e.packets) {
        const int32_t status = LinuxUrbStatus(0, p.Status);
        if (status != 0) ++errors;
        AddIsoDescriptor(descriptors, status, at, p.Length);
        at += p.Length;
    }
    h.status = LinuxUrbStatus(e.status, e.usbdStatus);
    h.isoErrors = errors;
    EmitAt(out, h, microseconds, o, descriptors, data, std::min<size_t>(e.data.size(), at), o.busNumber,
           o.deviceNumber);
    return out;
}

std::unique_ptr<UsbPcapWriter> UsbPcapWriter::Create(const std::string& path, const UsbPcapOptions& options,
                                                     std::string* error)
{
    if (path == "-") {
        if (error) *error = "the USB trace goes to a file, not to standard output";
        return nullptr;
    }
    std::unique_ptr<UsbPcapWriter> w(new UsbPcapWriter);
    w->file_ = AtomicFile::Create(path, error);
    if (!w->file_) return nullptr;
    w->options_ = options;
    const auto header = PcapFileHeader();
    if (!w->file_->Write(header.data(), header.size(), error)) return nullptr;
    return w;
}

bool UsbPcapWriter::Add(const sim::TraceRecord& record, std::string* error)
{
    const auto bytes = PcapRecordsFor(record, options_);
    if (!file_->Write(bytes.data(), bytes.size(), error)) return false;
    ++transfers_;
    return true;
}

bool UsbPcapWriter::Add(const kv::usbport::UrbEvent& event, std::string* error)
{
    const auto bytes = PcapRecordFor(event, options_);
    if (bytes.empty()) return true;
    if (!file_->Write(bytes.data(), bytes.size(), error)) return false;
    if (event.kind == kv::usbport::UrbEvent::Kind::Complete) ++transfers_;
    return true;
}

bool UsbPcapWriter::Finish(std::string* error) { return file_->Commit(error); }
void UsbPcapWriter::Abandon() { file_->Abandon(); }

}  // namespace kvcap
