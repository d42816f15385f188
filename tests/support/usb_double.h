// A scripted USB device for tests of the class library and the driver, at
// the end of the emulated host controller's port.
//
// It answers the standard requests the stack sends (GET_DESCRIPTOR,
// SET_CONFIGURATION, SET_INTERFACE), keeps a map of bridge registers behind
// the vendor requests (read: 0xC0 / 0x00 / index = register, one byte; write:
// 0x40 / 0x01 / value = data, index = register), logs every control transfer
// and can be unplugged; its isochronous packets arrive empty. Failures are
// injected per transfer. The bandwidth budget is the port's (PortOptions()).
// It is not a model of the board: the simulated board in sim/ is.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/usbport.h"

namespace kvtest {

struct UsbControlRecord {
    USB_DEFAULT_PIPE_SETUP_PACKET setup{};
    std::vector<uint8_t> data;  // bytes sent (host-to-device) or returned (device-to-host)
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;

    bool IsVendorRead() const { return setup.bmRequestType == 0xC0 && setup.bRequest == 0x00; }
    bool IsVendorWrite() const { return setup.bmRequestType == 0x40 && setup.bRequest == 0x01; }
};

// Injected failure: applies to transfers the predicate accepts, `times` times.
struct UsbFailure {
    std::function<bool(const USB_DEFAULT_PIPE_SETUP_PACKET&)> match;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID;
    int times = 1;
};

class UsbDouble : public kv::usbport::UsbFunction {
public:
    // Isochronous IN packet sizes (wMaxPacketSize) of pipe 1 by alternate
    // setting: 0 at rest, then growing; settings 4 and 5 are high-bandwidth
    // (two and three transactions of 1024 bytes per microframe).
    static constexpr USHORT kIsoPacketSize[6] = {0, 256, 512, 1024, 0x0800 | 1024, 0x1000 | 1024};
    static constexpr UCHAR kIsoEndpoint = 0x82;

    UsbDouble() : device_(DefaultDeviceDescriptor()), configuration_(DefaultConfiguration()) {}

    // ------------------------------------------------------------ script ---
    static std::vector<uint8_t> DefaultDeviceDescriptor()
    {
        return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0x00, 0x00, 0x00, 64,
                0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 1, 2, 0, 1};
    }

    // One configuration, one video interface (class 0xFF), alternate settings
    // 0..5 with four endpoints each: 0x81 interrupt IN, 0x82 isochronous IN
    // (kIsoPacketSize), 0x83 bulk IN, 0x04 bulk OUT.
    static std::vector<uint8_t> DefaultConfiguration(int alternateSettings = 6)
    {
        std::vector<uint8_t> c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 250};
        for (int alt = 0; alt < alternateSettings; ++alt) {
            const uint8_t a = static_cast<uint8_t>(alt);
            const uint16_t iso = kIsoPacketSize[alt % 6];
            const uint8_t interface[] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, a, 4, 0xFF, 0x00, 0xFF, 0};
            const uint8_t endpoints[] = {
                7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 0x03, 4, 0, 8,
                7, USB_ENDPOINT_DESCRIPTOR_TYPE, kIsoEndpoint, 0x01, uint8_t(iso & 0xFF), uint8_t(iso >> 8), 1,
                7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x83, 0x02, 0x00, 0x02, 0,
                7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x04, 0x02, 0x00, 0x02, 0,
            };
            c.insert(c.end(), std::begin(interface), std::end(interface));
            c.insert(c.end(), std::begin(endpoints), std::end(endpoints));
        }
        c[2] = static_cast<uint8_t>(c.size() & 0xFF);
        c[3] = static_cast<uint8_t>(c.size() >> 8);
        return c;
    }

    std::vector<uint8_t>& DeviceDescriptor() { return device_; }
    std::vector<uint8_t>& ConfigurationDescriptor() { return configuration_; }

    // Register map behind the vendor requests; unset registers read `defaultRegister`.
    std::map<uint16_t, uint8_t> registers;
    uint8_t defaultRegister = 0x00;
    // Every register write, in order: (register, value).
    std::vector<std::pair<uint16_t, uint8_t>> registerWrites;

    // Bytes per microframe the host controller grants to the isochronous
    // endpoints of one alternate setting; larger settings are refused.
    ULONG bandwidthBudget = 3 * 1024;

    void InjectFailure(UsbFailure failure) { failures_.push_back(std::move(failure)); }
    // Fails the transfer with this 0-based position in the log.
    void FailTransferNumber(size_t index, NTSTATUS status = STATUS_UNSUCCESSFUL,
                            USBD_STATUS usbd = USBD_STATUS_STALL_PID)
    {
        const size_t target = index;
        InjectFailure({[this, target](const USB_DEFAULT_PIPE_SETUP_PACKET&) { return log_.size() == target; },
                       status, usbd, 1});
    }
    // Fails the next vendor access (read or write) to this register.
    void FailRegister(uint16_t reg, int times = 1)
    {
        InjectFailure({[reg](const USB_DEFAULT_PIPE_SETUP_PACKET& s) {
                           return (s.bmRequestType & 0x60) == BMREQUEST_VENDOR && s.wIndex == reg;
                       },
                       STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, times});
    }

    void Unplug() { unplugged_ = true; }

    // ----------------------------------------------------------- observe ---
    const std::vector<UsbControlRecord>& Log() const { return log_; }
    void ClearLog() { log_.clear(); registerWrites.clear(); }
    std::optional<UCHAR> Configuration() const { return configurationValue_; }
    UCHAR AlternateSetting() const { return alternateSetting_; }
    std::vector<UCHAR> AlternateSettingRequests() const { return alternateRequests_; }
    ULONGLONG Microframe() const { return microframe_; }

    // The port options for a port this device is plugged into.
    kv::usbport::PortOptions PortOptions(std::string instanceId = "USB\\VID_1234&PID_5678\\5&1a2b3c&0&1") const
    {
        kv::usbport::PortOptions options;
        options.instanceId = std::move(instanceId);
        options.bandwidthBudget = bandwidthBudget;
        return options;
    }

    // ------------------------------------------------------- the wire ---
    NTSTATUS ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET* setup, uint8_t* buffer, ULONG* length,
                             USBD_STATUS* usbdStatus) override
    {
        return Control(setup, buffer, length, usbdStatus);
    }
    NTSTATUS IsochronousIn(uint8_t endpoint, ULONG packetCount, USBD_ISO_PACKET_DESCRIPTOR* packets, uint8_t* buffer,
                           ULONG bufferLength) override
    {
        return Iso(endpoint, packetCount, packets, buffer, bufferLength);
    }
    uint64_t CurrentMicroframe() const override { return microframe_; }
    void AdvanceMicroframes(uint64_t count) override { microframe_ += count; }
    bool Unplugged() const override { return unplugged_; }

    // Bytes per microframe of the isochronous endpoints of one alternate
    // setting of interface 0, read from the configuration descriptor.
    ULONG IsoBytesPerMicroframe(UCHAR alternate) const
    {
        ULONG total = 0;
        ForEachEndpoint(0, alternate, [&](const uint8_t* e) {
            if ((e[3] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
                total += UsbHighSpeedBytesPerMicroframe(static_cast<USHORT>(e[4] | (e[5] << 8)));
            }
        });
        return total;
    }

private:
    // Walks the endpoints of one interface setting; false when it does not exist.
    template <typename F>
    bool ForEachEndpoint(UCHAR interface, UCHAR alternate, F f) const
    {
        bool found = false, inside = false;
        size_t at = configuration_.size() >= 9 ? 9 : configuration_.size();
        while (at + 2 <= configuration_.size()) {
            const uint8_t length = configuration_[at];
            if (length < 2 || at + length > configuration_.size()) break;
            const uint8_t* d = &configuration_[at];
            if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9) {
                inside = d[2] == interface && d[3] == alternate;
                found = found || inside;
            } else if (inside && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7) {
                f(d);
            }
            at += length;
        }
        return found;
    }

    bool TakeFailure(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, NTSTATUS* status, USBD_STATUS* usbd)
    {
        for (auto it = failures_.begin(); it != failures_.end(); ++it) {
            if (it->times > 0 && (!it->match || it->match(setup))) {
                *status = it->status;
                *usbd = it->usbdStatus;
                if (--it->times == 0) failures_.erase(it);
                return true;
            }
        }
        return false;
    }

    NTSTATUS Control(const USB_DEFAULT_PIPE_SETUP_PACKET* setup, PUCHAR buffer, PULONG length, USBD_STATUS* usbd)
    {
        USBD_STATUS ignored;
        if (!usbd) usbd = &ignored;
        if (!setup || !length || (*length && !buffer)) {
            *usbd = USBD_STATUS_ERROR;
            return STATUS_INVALID_PARAMETER;
        }
        UsbControlRecord record;
        record.setup = *setup;
        const bool in = setup->bmRequestType & BMREQUEST_DEVICE_TO_HOST;
        if (!in) record.data.assign(buffer, buffer + *length);
        auto finish = [&](NTSTATUS s, USBD_STATUS u, ULONG transferred) {
            *length = transferred;
            *usbd = u;
            if (in && NT_SUCCESS(s)) record.data.assign(buffer, buffer + transferred);
            record.status = s;
            record.usbdStatus = u;
            log_.push_back(std::move(record));
            return s;
        };
        if (unplugged_) return finish(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
        NTSTATUS status;
        USBD_STATUS u;
        if (TakeFailure(*setup, &status, &u)) return finish(status, u, 0);
        if (!in && setup->wLength != *length) return finish(STATUS_INVALID_PARAMETER, USBD_STATUS_ERROR, 0);

        auto reply = [&](const uint8_t* data, size_t size) {
            const ULONG n = static_cast<ULONG>(std::min<size_t>({size, *length, setup->wLength}));
            if (n) std::memcpy(buffer, data, n);
            return finish(STATUS_SUCCESS, USBD_STATUS_SUCCESS, n);
        };
        auto stall = [&] { return finish(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0); };

        switch (setup->bmRequestType) {
        case 0x80:
            if (setup->bRequest != USB_REQUEST_GET_DESCRIPTOR) return stall();
            if (setup->wValue == (USB_DEVICE_DESCRIPTOR_TYPE << 8)) return reply(device_.data(), device_.size());
            if (setup->wValue == (USB_CONFIGURATION_DESCRIPTOR_TYPE << 8))
                return reply(configuration_.data(), configuration_.size());
            return stall();
        case 0x00:
            if (setup->bRequest != USB_REQUEST_SET_CONFIGURATION || *length) return stall();
            configurationValue_ = static_cast<UCHAR>(setup->wValue);
            alternateSetting_ = 0;
            return finish(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
        case 0x01:
            if (setup->bRequest != USB_REQUEST_SET_INTERFACE || *length) return stall();
            alternateRequests_.push_back(static_cast<UCHAR>(setup->wValue));
            if (!ForEachEndpoint(static_cast<UCHAR>(setup->wIndex), static_cast<UCHAR>(setup->wValue),
                                 [](const uint8_t*) {})) {
                return stall();
            }
            alternateSetting_ = static_cast<UCHAR>(setup->wValue);
            return finish(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
        case 0xC0:
            if (setup->bRequest != 0x00 || *length < 1) return stall();
            {
                auto it = registers.find(setup->wIndex);
                const uint8_t value = it == registers.end() ? defaultRegister : it->second;
                return reply(&value, 1);
            }
        case 0x40:
            if (setup->bRequest != 0x01) return stall();
            registers[setup->wIndex] = static_cast<uint8_t>(setup->wValue);
            registerWrites.emplace_back(setup->wIndex, static_cast<uint8_t>(setup->wValue));
            return finish(STATUS_SUCCESS, USBD_STATUS_SUCCESS, *length);
        default:
            return stall();
        }
    }

    // Honest but empty: every packet arrives with no payload.
    NTSTATUS Iso(UCHAR endpoint, ULONG count, PUSBD_ISO_PACKET_DESCRIPTOR packets, PUCHAR buffer, ULONG size)
    {
        if (unplugged_) return STATUS_DEVICE_NOT_CONNECTED;
        ULONG perMicroframe = 0;
        ForEachEndpoint(0, alternateSetting_, [&](const uint8_t* e) {
            if (e[2] == endpoint) perMicroframe = UsbHighSpeedBytesPerMicroframe(static_cast<USHORT>(e[4] | (e[5] << 8)));
        });
        if (!perMicroframe || (count && (!packets || !buffer))) return STATUS_INVALID_PARAMETER;
        for (ULONG i = 0; i < count; ++i) {
            if (packets[i].Offset > size || size - packets[i].Offset < perMicroframe) return STATUS_INVALID_PARAMETER;
        }
        for (ULONG i = 0; i < count; ++i) {
            packets[i].Length = 0;
            packets[i].Status = USBD_STATUS_SUCCESS;
        }
        microframe_ += count;
        return STATUS_SUCCESS;
    }

    std::vector<uint8_t> device_;
    std::vector<uint8_t> configuration_;
    std::vector<UsbFailure> failures_;
    std::vector<UsbControlRecord> log_;
    std::optional<UCHAR> configurationValue_;
    UCHAR alternateSetting_ = 0;
    std::vector<UCHAR> alternateRequests_;
    bool unplugged_ = false;
    ULONGLONG microframe_ = 0;
};

}  // namespace kvtest
