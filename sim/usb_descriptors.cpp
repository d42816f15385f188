// The board's descriptors.
//
// Device: USB 2.0, class in the interface, 64-byte control endpoint, vendor
// 0xFEED, product 0x3300, release 1.00, strings 1 (manufacturer), 2 (product),
// 3 (serial), one configuration.
//
// Configuration 1: bus powered, 500 mA, one vendor-class interface (0) whose
// alternate settings all carry the same endpoints in the same order, so the
// pipe numbers never change; only the video endpoint's size does:
//
//   pipe 0  0x81 interrupt IN, 4 bytes, every 16 ms (status; never sends)
//   pipe 1  0x82 isochronous IN, every microframe: the video
//   pipe 2  0x83 bulk IN, 512 bytes (unused)
//   pipe 3  0x04 bulk OUT, 512 bytes (normal board only; unused)
//
// Video endpoint per alternate setting (wMaxPacketSize: bits 0-10 the size,
// bits 11-12 the extra transactions per microframe):
//
//   | alt | normal board                | low-bandwidth variant |
//   |-----|-----------------------------|-----------------------|
//   |  0  | 0                           | 0                     |
//   |  1  | 0x0200:  1 x  512 =  512    | 0x0080: 128           |
//   |  2  | 0x0400:  1 x 1024 = 1024    | 0x0100: 256           |
//   |  3  | 0x0C00:  2 x 1024 = 2048    |  -                    |
//   |  4  | 0x1384:  3 x  900 = 2700    |  -                    |
//   |  5  | 0x1400:  3 x 1024 = 3072    |  -                    |
//
// What fits (a field goes out as one packet per microframe from its start and
// must be through before the next field starts, 133 or 134 microframes apart
// at 59.94 fields/s, 160 at 50): alternate settings 4 and 5 carry every
// full-size window (720 x 288 lines per field at 50 fields/s needs about
// 2,600 bytes per microframe); setting 3 carries the 640-pixel 625-line
// window but not the 525-line ones; settings 1 and 2 carry the 162 x 44
// preview fields of the low-bandwidth mode (about 110 bytes per microframe)
// and cut larger fields short.
//
// Totals: the normal configuration is 9 + 6 x (9 + 4 x 7) = 231 bytes; the
// low-bandwidth one 9 + 3 x (9 + 3 x 7) = 99 bytes. A low-bandwidth board made
// with a larger total (195, say) carries vendor-specific descriptors (type
// 0x41, board data, zeros) after the configuration descriptor to make it up.
#include "sim/usb_descriptors.h"

namespace sim {

namespace {

constexpr uint16_t kNormalVideoSizes[] = {0x0000, 0x0200, 0x0400, 0x0C00, 0x1384, 0x1400};
constexpr uint16_t kLowVideoSizes[] = {0x0000, 0x0080, 0x0100};
constexpr uint8_t kVendorDescriptorType = 0x41;

void Put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void Endpoint(std::vector<uint8_t>& v, uint8_t address, uint8_t attributes, uint16_t size,
              uint8_t interval)
{
    v.insert(v.end(), {7, 0x05, address, attributes});
    Put16(v, size);
    v.push_back(interval);
}

uint32_t HighSpeedBytes(uint16_t wMaxPacketSize)
{
    return static_cast<uint32_t>(wMaxPacketSize & 0x7FF) * (((wMaxPacketSize >> 11) & 3) + 1);
}

}  // namespace

uint32_t UsbLayout::VideoBytesPerMicroframe(uint8_t alt) const
{
    return alt < videoMaxPacket.size() ? HighSpeedBytes(videoMaxPacket[alt]) : 0;
}

bool BuildUsbLayout(bool lowBandwidth, uint16_t lowBandwidthTotal, UsbLayout& out,
                    std::string* error)
{
    out = UsbLayout{};
    auto& d = out.deviceDescriptor;
    d.insert(d.end(), {18, 0x01});
    Put16(d, 0x0200);
    d.insert(d.end(), {0x00, 0x00, 0x00, 64});
    Put16(d, kVendorId);
    Put16(d, kProductId);
    Put16(d, 0x0100);
    d.insert(d.end(), {1, 2, 3, 1});

    out.strings = {u"KV", lowBandwidth ? u"KV3300 USB Video Capture (low bandwidth)"
                                       : u"KV3300 USB 2.0 Video Capture",
                   u"SIM0001"};

    const uint16_t* sizes = lowBandwidth ? kLowVideoSizes : kNormalVideoSizes;
    size_t alts = lowBandwidth ? std::size(kLowVideoSizes) : std::size(kNormalVideoSizes);
    uint8_t endpoints = lowBandwidth ? 3 : 4;

    auto& c = out.configuration;
    c.insert(c.end(), {9, 0x02, 0, 0, 1, kConfigurationValue, 0, 0x80, 250});
    if (lowBandwidth) {
        size_t natural = 9 + alts * (9 + endpoints * 7);
        if (lowBandwidthTotal < natural || lowBandwidthTotal == natural + 1) {
            if (error)
                *error = "low-bandwidth descriptor length must be 99 or at least 101";
            return false;
        }
        size_t pad = lowBandwidthTotal - natural;
        while (pad > 0) {
            size_t len = pad > 255 ? (pad - 255 == 1 ? 254 : 255) : pad;
            c.push_back(static_cast<uint8_t>(len));
            c.push_back(kVendorDescriptorType);
            c.insert(c.end(), len - 2, 0);
            pad -= len;
        }
    }
    for (size_t alt = 0; alt < alts; ++alt) {
        c.insert(c.end(), {9, 0x04, kVideoInterface, static_cast<uint8_t>(alt), endpoints, 0xFF,
                           0x00, 0x00, 0});
        Endpoint(c, 0x81, 0x03, 4, 8);
        Endpoint(c, kVideoEndpoint, 0x01, sizes[alt], 1);
        Endpoint(c, 0x83, 0x02, 512, 0);
        if (endpoints == 4)
            Endpoint(c, 0x04, 0x02, 512, 0);
        out.videoMaxPacket.push_back(sizes[alt]);
        out.isoBytesPerMicroframe.push_back(HighSpeedBytes(sizes[alt]));
    }
    c[2] = static_cast<uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return true;
}

}  // namespace sim
