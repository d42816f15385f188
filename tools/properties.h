// Device properties by the names a person uses, and the property requests
// (set GUID, id, instance bytes after the 24-byte KSPROPERTY header, data
// buffer) that read or change them.
//
//   brightness 0..255, contrast 0..127, hue 0..360, saturation 0..511
//                      the video processing amplifier set
//   standard           the video decoder set (a name such as PAL-B or NTSC)
//   signal             lock state and line count, read only
//   input 0..2, mirror, flip, standard-index 1..5, ae-on, ae-level 0..255,
//   frame-timing, and the read-only stored values (white-point, quality,
//   low-light, light-flicker, high-light, input-conf, qlt-spd-mode)
//                      the vendor set, in its 4-byte forms
//   frequency          the tuner (vendor id 40), set only, with a tuner mode
//   register:REG       a bridge register (vendor ids 1 and 2)
//   vendor:ID[:INST]   any vendor id 0..72, with its data layout
//
// Values outside a property's advertised range are refused here, before
// the driver sees them: the driver itself passes them to the hardware and
// stores them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ntdef.h"

namespace kvcap {

enum class PropertySet { ProcAmp, Decoder, Vendor };

// How a vendor id lays out its buffers (from the driver's vendor table).
enum class VendorLayout {
    NotOffered,      // the direction is not announced; sent as a 4-byte form
    Data4,           // value in data[0]
    Data4Instance,   // instance chooses (register, address); value in data[0]
    ValueRecord,     // 56-byte record, value at byte 24
    InstanceValue,   // set: the value travels in the instance
    RegisterRecord,  // 40/56-byte record: value at 24, register at 28
    TunerRecord,     // 56-byte record: frequency at 24, mode at 28
    Descriptor,      // get: raw bytes (18 device descriptor, 9 configuration)
    Unsupported,     // block lists and caller-memory requests: not issued
};
VendorLayout VendorGetLayout(uint32_t id);
VendorLayout VendorSetLayout(uint32_t id);

enum class ValueKind { Integer, Switch, Standard, Frequency, Signal, Raw };

// The tuner module's bands: low VHF from 40 MHz to UHF up to 900 MHz.
constexpr uint32_t kTunerMinimumHz = 40'000'000;
constexpr uint32_t kTunerMaximumHz = 900'000'000;
// Nullopt when the tuner can tune to `hz`, else why not.
std::optional<std::string> CheckTunerFrequency(uint32_t hz);

// What the driver's tables say about one property item.
struct ControlDescription {
    bool canGet = false;
    bool canSet = false;
    std::optional<int64_t> minimum, maximum, step, defaultValue;
};
// Reads a KSPROPERTY_DESCRIPTION with its member lists (ranges, default).
ControlDescription ParseControlDescription(const std::vector<uint8_t>& data, uint32_t returned);

struct NamedProperty {
    std::string_view name;
    PropertySet set;
    uint32_t getId;  // item id for a get (vendor: the get id)
    uint32_t setId;  // item id for a set
    bool canGet;
    bool canSet;
    ValueKind kind;
    int64_t minimum;
    int64_t maximum;
    std::string_view help;
};
const std::vector<NamedProperty>& NamedProperties();

// A property picked by name, or a vendor id / bridge register.
struct PropertyRef {
    const NamedProperty* named = nullptr;  // null for vendor:ID and register:REG
    bool vendorById = false;
    uint32_t vendorId = 0;
    bool bridgeRegister = false;
    std::optional<uint32_t> instance;  // vendor:ID:INST, register:REG
    std::string Label() const;         // as typed, normalised
};
std::optional<PropertyRef> ParsePropertyName(std::string_view text, std::string* error);

struct PropertyAssignment {
    PropertyRef ref;
    uint32_t value = 0;
};
// "NAME=VALUE", with the value checked against the property's kind and range.
std::optional<PropertyAssignment> ParseAssignment(std::string_view text, std::string* error);

struct PropertyRequest {
    PropertySet set = PropertySet::Vendor;
    uint32_t id = 0;
    bool write = false;
    std::vector<uint8_t> instance;  // bytes after the KSPROPERTY header
    std::vector<uint8_t> data;      // the data buffer (its size is the output size)
};
// The request for reading / writing; nullopt with *error for directions the
// property does not have or layouts the tool does not issue.
std::optional<PropertyRequest> BuildGet(const PropertyRef& ref, std::string* error);
std::optional<PropertyRequest> BuildSet(const PropertyAssignment& a, uint32_t tunerMode, std::string* error);

// The answer in words: "128", "PAL-B", "on", "locked, 625 lines",
// "register 0x203 = 0x4A", hex bytes for descriptors.
std::string DescribeValue(const PropertyRef& ref, const std::vector<uint8_t>& data, uint32_t returned);
// The number a get returned (value of the 4-byte form, byte 24 of records),
// nullopt when the answer is too short.
std::optional<uint32_t> ExtractValue(const PropertyRef& ref, const std::vector<uint8_t>& data, uint32_t returned);

}  // namespace kvcap
