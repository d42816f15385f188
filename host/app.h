// The application side: the calls a capture application makes, mapped onto
// the stream class emulation. A Filter is the video capture filter of one
// device (the driver loaded, the USB port attached, the device started); its
// Pin is the capture pin opened with one format.
//
//     sim::Board board;
//     auto filter = kv::app::Filter::Open(board);
//     filter->SetVideoStandard(KS_AnalogVideo_PAL_B);
//     auto formats = filter->Formats();               // the pin's ranges
//     auto format = filter->Intersect(formats[7]);    // concrete, with the frame rate
//     kv::app::Pin& pin = filter->OpenPin(format);
//     pin.Run();
//     kv::app::Frame frame;
//     while (pin.ReadFrame(&frame) == STATUS_SUCCESS) { ... }
//     pin.Stop();
//
// Reading pumps the emulated clock (host/scheduler.h) until a frame arrives
// or a limit of emulated time has passed; with wall-clock pacing the clock
// never runs ahead of real time, so frames arrive at the video rate. The pin
// keeps several read requests queued, as a capture graph does, so that a
// frame is not dropped for want of a buffer while the application handles
// the one before.
//
// Failures come back as NTSTATUS values (and a message where one helps);
// nothing here throws for a status the driver returns. Open throws
// kv::app::Error when the filter cannot be built at all.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "classlib/usbcamd_stats.h"
#include "host/streamclass.h"
#include "host/usbport.h"
#include "platform/ksmedia.h"

namespace sim {
class Board;
}

namespace kv::app {

class Error : public std::runtime_error {
public:
    Error(const std::string& what, NTSTATUS status) : std::runtime_error(what), status_(status) {}
    NTSTATUS Status() const { return status_; }

private:
    NTSTATUS status_;
};

// "0xC000000D" and a name where the status is a common one.
std::string StatusText(NTSTATUS status);

// Output fourcc codes as the formats carry them in biCompression.
constexpr ULONG kFourccYuy2 = 0x32595559;
constexpr ULONG kFourccI420 = 0x30323449;
constexpr ULONG kFourccRgb24 = 0;  // BI_RGB

// One range the pin offers (a KS_DATARANGE_VIDEO).
struct FormatInfo {
    ULONG index = 0;  // position in the pin's list
    KS_DATARANGE_VIDEO range{};
    std::string subtype;  // "YUY2", "I420", "RGB24" or the GUID
    ULONG fourcc = 0;
    LONG width = 0;
    LONG height = 0;
    ULONG imageSize = 0;
    LONGLONG frameInterval = 0;  // 100 ns units, as the range offers it
    ULONG videoStandards = 0;    // KS_AnalogVideoStandard bits it is offered for

    bool OfferedFor(ULONG standard) const { return (videoStandards & standard) != 0; }
    std::string Describe() const;  // "YUY2 720x576 25.00 fps"
};

// A concrete format (KS_DATAFORMAT_VIDEOINFOHEADER and whatever follows it).
struct Format {
    std::vector<uint8_t> bytes;

    const KS_DATAFORMAT_VIDEOINFOHEADER* Header() const;  // null when too short
    LONG Width() const;
    LONG Height() const;
    ULONG Fourcc() const;
    ULONG ImageSize() const;
    LONGLONG AvgTimePerFrame() const;
};

struct Frame {
    std::vector<uint8_t> data;      // DataUsed bytes
    LONGLONG presentationTime = 0;  // 100 ns units from the stream's start
    LONGLONG duration = 0;
    LONGLONG pictureNumber = 0;
    LONGLONG dropCount = 0;
    ULONG optionsFlags = 0;
};

struct DroppedFrames {
    LONGLONG pictureNumber = 0;
    LONGLONG dropCount = 0;
    ULONG averageFrameSize = 0;
};

// The minidriver's entry point that Filter::Open loads: the driver built
// into the program unless another is set (the i386 build sets the entry of
// the loaded KV3300.SYS image, and has no built-in driver).
void SetDriverEntry(PDRIVER_INITIALIZE entry);

struct FilterOptions {
    std::string instanceId = "USB\\VID_1234&PID_5678\\5&1a2b3c&0&1";
    kv::streamclass::DeviceOptions device;
    // Pace the emulated clock to the wall clock (frames at the video rate).
    bool pacedToWallClock = false;
    // Told every URB submission and completion at the USB port, from the
    // first request of the device start on (usbmon's view of the bus).
    std::function<void(const kv::usbport::UrbEvent&)> usbEvents;
    bool usbEventData = false;  // the events carry the bytes that crossed
};

class Filter;

class Pin {
public:
    ~Pin();
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

    // State changes in the order a graph makes them (STOP, ACQUIRE, PAUSE,
    // RUN and back); the first refusal is returned.
    NTSTATUS Run();
    NTSTATUS Pause();
    NTSTATUS Stop();
    KSSTATE State();

    // The next frame: queues read requests up to the depth, then pumps the
    // emulated clock until the oldest completes or `limit` (100 ns units of
    // emulated time) has passed. STATUS_SUCCESS with the frame; STATUS_TIMEOUT
    // when none came; otherwise the request's status (STATUS_CANCELLED after a
    // stop, STATUS_DEVICE_NOT_CONNECTED after an unplug, ...).
    NTSTATUS ReadFrame(Frame* frame, LONGLONG limit = 10'000'000);
    // Read requests kept queued (1..16, 3 at first).
    void SetReadDepth(ULONG depth);
    ULONG ReadDepth() const { return depth_; }
    size_t ReadsInFlight() const { return inFlight_.size(); }

    // Stream properties: the standard dropped-frames record, the allocator
    // framing and the class library's frame statistics (drop reasons).
    NTSTATUS GetDroppedFrames(DroppedFrames* dropped);
    NTSTATUS GetAllocatorFraming(KSALLOCATOR_FRAMING* framing);
    NTSTATUS GetStatistics(USBCAMD_STREAM_STATISTICS* statistics);

    // SRB_CLOSE_STREAM; the filter forgets the pin (this object dies).
    NTSTATUS Close();

    const Format& CurrentFormat() const { return format_; }
    ULONG FrameSize() const { return frameSize_; }
    kv::streamclass::Stream& Stream() { return *stream_; }

private:
    friend class Filter;
    Pin(Filter& filter, kv::streamclass::Stream* stream, Format format);
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS TopUp();
    void DropFinished();

    Filter& filter_;
    kv::streamclass::Stream* stream_;
    Format format_;
    ULONG frameSize_ = 0;
    ULONG depth_ = 3;
    std::vector<std::shared_ptr<kv::streamclass::ReadRequest>> inFlight_;
};

class Filter {
public:
    // Loads the driver, attaches a USB port for the device and starts it
    // (initialize, stream information, initialization complete). The board
    // (or whatever stands behind `usb`) must outlive the filter. Throws
    // kv::app::Error when the device does not start.
    static std::unique_ptr<Filter> Open(sim::Board& board, const FilterOptions& options = {});
    static std::unique_ptr<Filter> Open(kv::usbport::UsbFunction& usb, uint32_t bandwidthBudget,
                                        const FilterOptions& options = {});
    // Closes the pin and stops the device.
    ~Filter();
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    // The capture pin's ranges, in the driver's order.
    std::vector<FormatInfo> Formats() const;
    // The driver's data intersection for one range: the concrete format with
    // the frame rate of the current standard. Also tells the class library
    // its frame interval, as the intersection does.
    NTSTATUS Intersect(const FormatInfo& range, Format* format);

    // SRB_OPEN_STREAM with `format`. Null (and *status set) when refused.
    Pin* OpenPin(const Format& format, NTSTATUS* status = nullptr);
    Pin* CurrentPin() { return pin_.get(); }

    // Device properties, checked by the stream class against the advertised sets.
    kv::streamclass::Result GetProperty(kv::streamclass::PropertyRequest& request);
    kv::streamclass::Result SetProperty(kv::streamclass::PropertyRequest& request);

    // The analog standard (a KS_AnalogVideo_* value). It is set through the
    // standard decoder property and also stored as the driver's standard
    // index through its vendor set, because the driver reloads the stored
    // index whenever a capture starts.
    NTSTATUS SetVideoStandard(ULONG standard);
    NTSTATUS GetVideoStandard(ULONG* standard);
    // The vendor set's 4-byte forms (ids 53-68), e.g. 65 the standard index,
    // 67 the input, 53 mirror, 54 flip.
    NTSTATUS SetVendorValue(ULONG id, ULONG value);
    NTSTATUS GetVendorValue(ULONG id, ULONG* value);

    kv::streamclass::Device& Device() { return *device_; }
    kv::usbport::Port& UsbPort() { return *port_; }
    PDEVICE_OBJECT PhysicalDeviceObject() const;
    // The device's driver key (\REGISTRY\MACHINE\...\{class}\NNNN); its
    // "Settings" subkey holds the stored settings.
    std::string DriverKeyPath() const;

private:
    friend class Pin;
    Filter() = default;
    void ForgetPin();

    std::unique_ptr<kv::usbport::Port> port_;
    std::unique_ptr<kv::streamclass::Driver> driver_;
    std::unique_ptr<kv::streamclass::Device> device_;
    std::unique_ptr<Pin> pin_;
};

}  // namespace kv::app
