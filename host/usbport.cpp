// The USB port glue: a physical device object handing out the bus interface.
#include "host/usbport.h"

#include <stdexcept>

#include "host/kernel.h"

namespace kv::usbport {

std::unique_ptr<Port> Port::Attach(const USBBUS_DEVICE_INTERFACE& device, std::string_view instanceId)
{
    if (device.ControlTransfer == nullptr || device.SelectAlternateSetting == nullptr ||
        device.IsochronousIn == nullptr || device.GetCurrentMicroframe == nullptr) {
        throw std::invalid_argument("Port::Attach: the USB device interface lacks routines");
    }
    std::unique_ptr<Port> port(new Port);
    port->device_ = device;
    port->instanceId_ = std::string(instanceId);

    USBBUS_DEVICE_INTERFACE& offered = port->offered_;
    offered.Size = sizeof(offered);
    offered.Version = USBBUS_DEVICE_INTERFACE_VERSION;
    offered.Context = port.get();
    offered.InterfaceReference = [](PVOID c) NTAPI {
        Port* self = Self(c);
        ++self->references_;
        if (self->device_.InterfaceReference != nullptr) self->device_.InterfaceReference(self->device_.Context);
    };
    offered.InterfaceDereference = [](PVOID c) NTAPI {
        Port* self = Self(c);
        if (self->references_ == 0) {
            kv::kernel::RecordViolation("USB bus interface dereferenced more often than referenced");
            return;
        }
        --self->references_;
        if (self->device_.InterfaceDereference != nullptr) self->device_.InterfaceDereference(self->device_.Context);
    };
    offered.ControlTransfer = [](PVOID c, const USB_DEFAULT_PIPE_SETUP_PACKET* setup, PUCHAR buffer, PULONG length,
                                 USBD_STATUS* usbdStatus) NTAPI {
        kv::kernel::CheckPassive("USB control transfer");
        Port* self = Self(c);
        return self->device_.ControlTransfer(self->device_.Context, setup, buffer, length, usbdStatus);
    };
    offered.SelectAlternateSetting = [](PVOID c, UCHAR interfaceNumber, UCHAR alternate, USBD_STATUS* usbdStatus) NTAPI {
        kv::kernel::CheckPassive("USB alternate setting selection");
        Port* self = Self(c);
        return self->device_.SelectAlternateSetting(self->device_.Context, interfaceNumber, alternate, usbdStatus);
    };
    offered.IsochronousIn = [](PVOID c, UCHAR endpoint, ULONG count, PUSBD_ISO_PACKET_DESCRIPTOR packets,
                               PUCHAR buffer, ULONG length) NTAPI {
        Port* self = Self(c);
        return self->device_.IsochronousIn(self->device_.Context, endpoint, count, packets, buffer, length);
    };
    offered.GetCurrentMicroframe = [](PVOID c) NTAPI -> ULONGLONG {
        Port* self = Self(c);
        return self->device_.GetCurrentMicroframe(self->device_.Context);
    };

    Port* raw = port.get();
    port->pdo_ = kv::kernel::io::CreatePhysicalDevice(port->instanceId_, [raw](PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS status;
        if (kv::kernel::io::AnswerQueryInterface(irp, kUsbBusInterfaceGuid, &raw->offered_, sizeof(raw->offered_),
                                                 &status)) {
            return status;
        }
        return kv::kernel::io::CompleteWithCurrentStatus(irp);
    });
    if (port->pdo_ == nullptr) throw std::runtime_error("Port::Attach: no physical device object");
    return port;
}

Port::~Port()
{
    if (references_ != 0) {
        kv::kernel::RecordViolation("USB device " + instanceId_ + " removed while its bus interface is referenced " +
                                    std::to_string(references_) + " time(s)");
    }
    if (pdo_ != nullptr && kv::kernel::io::IsLiveDevice(pdo_)) kv::kernel::io::DeleteDevice(pdo_);
}

}  // namespace kv::usbport
