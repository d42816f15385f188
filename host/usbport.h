// The USB port as the emulation's bus driver: a physical device object for a
// USB device reached through a USBBUS_DEVICE_INTERFACE (the simulated board,
// or a test double).
//
// The physical device object answers IRP_MN_QUERY_INTERFACE for
// GUID_USBBUS_DEVICE_INTERFACE with the port's copy of the interface and
// completes every other IRP with its current status, as a bus driver does.
// The copy it hands out checks the caller's IRQL: control transfers and
// alternate-setting changes block, so a call above PASSIVE_LEVEL is recorded
// as a violation (and still carried out); isochronous transfers may be made
// from the packet path.
//
//     kvtest::UsbDouble usb;
//     auto port = kv::usbport::Port::Attach(usb.Interface());
//     auto device = kv::streamclass::Device::Add(*driver, port->Pdo());
//
// Destroy the port after the devices above it: a port destroyed while its
// interface is still referenced records a violation.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/usbbus.h"
#include "platform/wdm.h"

namespace kv::usbport {

inline constexpr GUID kUsbBusInterfaceGuid = GUID_USBBUS_DEVICE_INTERFACE_VALUE;

class Port {
public:
    // Creates the physical device object for `device` (copied; its Context
    // must outlive the port). `instanceId` names the device instance, which
    // decides its registry keys. Throws std::invalid_argument for an
    // interface without its routines.
    static std::unique_ptr<Port> Attach(const USBBUS_DEVICE_INTERFACE& device,
                                        std::string_view instanceId = "USB\\VID_1234&PID_5678\\5&1a2b3c&0&1");
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    const std::string& InstanceId() const { return instanceId_; }
    // References the port's interface copies hold now.
    int References() const { return references_; }

private:
    Port() = default;
    static Port* Self(PVOID context) { return static_cast<Port*>(context); }

    USBBUS_DEVICE_INTERFACE device_{};
    USBBUS_DEVICE_INTERFACE offered_{};
    PDEVICE_OBJECT pdo_ = nullptr;
    std::string instanceId_;
    int references_ = 0;
};

}  // namespace kv::usbport
