// The emulated USB host controller with its root hub port: the physical
// device object below a USB client driver's device object.
//
// A client sends URBs down its stack in IRP_MJ_INTERNAL_DEVICE_CONTROL /
// IOCTL_INTERNAL_USB_SUBMIT_URB requests. The port checks each URB as a host
// controller does (pipe handle, direction, buffer size, packet count, the
// isochronous bandwidth an alternate setting needs against the budget) and
// carries it out against the device at the end of its cable, which sees
// only bus traffic: setup packets with their data stages, and isochronous
// IN transactions microframe by microframe.
//
// Control requests complete before IoCallDriver returns and take bus time on
// the emulated clock. Isochronous requests are scheduled on the pipe's
// microframes (ASAP: right behind the pipe's last request) and pend; each
// completes at DISPATCH_LEVEL from the port's timer when the emulated clock
// reaches the end of its last microframe, with every packet's Length and
// Status as the device gave them. ABORT_PIPE completes what is pending on
// the pipe with STATUS_CANCELLED / USBD_STATUS_CANCELED; after the device is
// unplugged everything completes with STATUS_DEVICE_NOT_CONNECTED /
// USBD_STATUS_DEVICE_GONE.
//
// The kernel emulation's named failure "UsbSubmitUrb" fails the next URB
// (of any function) with STATUS_UNSUCCESSFUL / USBD_STATUS_DEV_NOT_RESPONDING
// before it reaches the device.
//
// Misuse is recorded as a violation (host/kernel.h): a URB at a level its
// function does not allow, an IRP or its URB or buffer freed while pending,
// a request after the device was removed, IRPs still pending when the port
// goes away.
//
//     sim::Board board;
//     auto port = kv::usbport::Port::Attach(board);
//     auto device = kv::streamclass::Device::Add(*driver, port->Pdo());
//
// Destroy the port after the devices above it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/usb.h"
#include "platform/wdm.h"

namespace kv::usbport {

// The USB device at the end of the cable, as the wire reaches it.
class UsbFunction {
public:
    virtual ~UsbFunction() = default;
    // One control transfer on endpoint 0: SETUP, the data stage (*length
    // bytes offered or wanted; on return the bytes moved) and the status
    // stage. A stall gives STATUS_UNSUCCESSFUL with USBD_STATUS_STALL_PID;
    // an unplugged device STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE.
    virtual NTSTATUS ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET* setup, uint8_t* buffer, ULONG* length,
                                     USBD_STATUS* usbdStatus) = 0;
    // IN transactions on an isochronous endpoint for packetCount microframes
    // from the device's present bus time on: packet i lands at
    // buffer + packets[i].Offset, with its Length and Status. The device's
    // bus time moves on by packetCount.
    virtual NTSTATUS IsochronousIn(uint8_t endpoint, ULONG packetCount, USBD_ISO_PACKET_DESCRIPTOR* packets,
                                   uint8_t* buffer, ULONG bufferLength) = 0;
    virtual uint64_t CurrentMicroframe() const = 0;
    // Microframes pass with no transaction for the device.
    virtual void AdvanceMicroframes(uint64_t count) = 0;
    virtual bool Unplugged() const = 0;
};

// One URB as the port saw it: its submission and, with the same id, its
// completion, the way usbmon reports transfers.
struct UrbEvent {
    enum class Kind : char { Submit = 'S', Complete = 'C' };
    Kind kind = Kind::Submit;
    uint64_t id = 0;
    LONGLONG time = 0;  // emulated clock, 100 ns units
    USHORT function = 0;
    uint8_t endpoint = 0;      // with the direction bit; 0x00 / 0x80 for the default pipe
    uint8_t transferType = 2;  // usbmon numbering: 0 isochronous, 1 interrupt, 2 control, 3 bulk
    bool hasSetup = false;
    std::array<uint8_t, 8> setup{};
    NTSTATUS status = STATUS_PENDING;  // of the IRP (completion)
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    uint32_t length = 0;  // bytes asked for (submission) or moved (completion)
    uint32_t startFrame = 0;
    uint32_t errorCount = 0;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
    std::vector<uint8_t> data;  // OUT data at submission, IN data at completion
    KIRQL irql = PASSIVE_LEVEL;  // the level the request was submitted or completed at
};

struct PortOptions {
    std::string instanceId = "USB\\VID_1234&PID_5678\\5&1a2b3c&0&1";
    // Bytes per microframe the host grants to the isochronous endpoints of
    // the interface settings in use; a setting needing more is refused.
    uint32_t bandwidthBudget = 0xFFFFFFFFu;
    // Bus time of one control transfer (setup, data and status stages), in
    // microframes.
    uint32_t controlMicroframes = 3;
};

// Injected isochronous request failures, off by default: the n-th request
// completed from now (1 = the next) fails as a whole, every packet marked
// not accessed.
struct IsoUrbFault {
    uint64_t nth = 0;
    USBD_STATUS usbdStatus = USBD_STATUS_ISOCH_REQUEST_FAILED;
};

class Port {
public:
    static std::unique_ptr<Port> Attach(UsbFunction& device, const PortOptions& options = {});
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    const std::string& InstanceId() const { return options_.instanceId; }

    // Requests pending now (all pipes).
    size_t PendingRequests() const;
    // Most isochronous requests that were pending at once on one pipe.
    size_t PeakPending() const;

    // The URB log. Recording is on by default; data bytes are kept only when
    // asked for (isochronous data is large).
    void SetRecording(bool events, bool data = false);
    std::vector<UrbEvent> Events() const;
    void ClearEvents();
    // Called for every event as it happens (the capture tool's trace).
    void SetEventSink(std::function<void(const UrbEvent&)> sink);

    void InjectIsoUrbFault(const IsoUrbFault& fault);
    // The budget for the settings selected from now on.
    void SetBandwidthBudget(uint32_t bytesPerMicroframe);

private:
    struct Pipe;
    struct Pending;
    struct Impl;
    explicit Port(UsbFunction& device, const PortOptions& options);
    NTSTATUS Dispatch(PIRP irp);
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb, uint64_t id);
    NTSTATUS SelectInterface(PIRP irp, PURB urb, uint64_t id);
    NTSTATUS SubmitIsochronous(PIRP irp, PURB urb, uint64_t id, UrbEvent submit);
    // Completes a request that does not pend, with its completion record
    // (`head` gives the endpoint and setup the submission named).
    NTSTATUS FinishNow(PIRP irp, PURB urb, USBD_STATUS usbd, uint64_t id, uint32_t length, const uint8_t* data,
                       const UrbEvent* head = nullptr);
    void Arm();
    void Service();
    bool StillOwned(const Pending& p);
    bool Transfer(const Pending& p);
    void FinishIsochronous(const Pending& p, USBD_STATUS usbd, uint32_t bytes);
    void CompleteAll(Pipe* pipe, USBD_STATUS usbd);
    std::unique_ptr<Impl> impl_;
    PortOptions options_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace kv::usbport
