// The board's USB identity: device and configuration descriptors, strings,
// and the per-alternate-setting bandwidth of the video endpoint. The layout
// and the packet sizes are documented at the top of usb_descriptors.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr uint8_t kVideoEndpoint = 0x82;
constexpr uint8_t kVideoInterface = 0;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint16_t kVendorId = 0xFEED;
constexpr uint16_t kProductId = 0x3300;
constexpr uint16_t kLanguageId = 0x0409;  // English (United States)

struct UsbLayout {
    std::vector<uint8_t> deviceDescriptor;  // 18 bytes
    std::vector<uint8_t> configuration;     // the whole configuration, wTotalLength bytes
    std::vector<std::u16string> strings;    // index 1.. (index 0 is the language list)
    // Bytes per microframe of every isochronous endpoint of each alternate
    // setting, added up: what the host's bandwidth budget is checked against.
    std::vector<uint32_t> isoBytesPerMicroframe;
    // wMaxPacketSize of the video endpoint in each alternate setting.
    std::vector<uint16_t> videoMaxPacket;
    uint8_t AlternateSettings() const { return static_cast<uint8_t>(videoMaxPacket.size()); }
    uint32_t VideoBytesPerMicroframe(uint8_t alt) const;
};

// The normal board, or the low-bandwidth variant whose configuration totals
// lowBandwidthTotal bytes (99 by nature; larger totals are reached with a
// vendor-specific descriptor). Returns false with *error set when the total
// cannot be built (below 99, or exactly one byte more than a valid length).
bool BuildUsbLayout(bool lowBandwidth, uint16_t lowBandwidthTotal, UsbLayout& out,
                    std::string* error);

}  // namespace sim
