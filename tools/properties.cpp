#include "tools/properties.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/ks.h"
#include "tools/formats.h"

namespace kvcap {

namespace {

constexpr uint32_t kFlagsManual = 2;  // KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL
constexpr uint32_t kVendorIdCount = 73;  // ids 0..72

const std::vector<NamedProperty> kNamed = {
    {"brightness", PropertySet::ProcAmp, 0, 0, true, true, ValueKind::Integer, 0, 255, "picture brightness, default 128"},
    {"contrast", PropertySet::ProcAmp, 1, 1, true, true, ValueKind::Integer, 0, 127, "picture contrast, default 64"},
    {"hue", PropertySet::ProcAmp, 2, 2, true, true, ValueKind::Integer, 0, 360, "hue in degrees, default 180"},
    {"saturation", PropertySet::ProcAmp, 3, 3, true, true, ValueKind::Integer, 0, 511, "colour saturation, default 256"},
    {"sharpness", PropertySet::ProcAmp, 4, 4, true, true, ValueKind::Integer, 0, 16, "sharpness, default 3 (decoder type 110 only)"},
    {"gamma", PropertySet::ProcAmp, 5, 5, true, true, ValueKind::Integer, 0, 64, "gamma, default 25"},
    {"white-balance", PropertySet::ProcAmp, 7, 7, true, true, ValueKind::Integer, 0, 0x7FFFFFFF, "white balance, where the driver offers it"},
    {"standard", PropertySet::Decoder, 1, 1, true, true, ValueKind::Standard, 0, 0, "video standard (PAL, NTSC, SECAM, PAL-M, ...)"},
    {"signal", PropertySet::Decoder, 2, 2, true, false, ValueKind::Signal, 0, 0, "signal lock and line count (read only)"},
    {"input", PropertySet::Vendor, 67, 67, true, true, ValueKind::Integer, 0, 2, "video input 0..2"},
    {"mirror", PropertySet::Vendor, 53, 53, true, true, ValueKind::Switch, 0, 1, "left-right mirror (on/off)"},
    {"flip", PropertySet::Vendor, 54, 54, true, true, ValueKind::Switch, 0, 1, "upside-down flip (on/off)"},
    {"frequency", PropertySet::Vendor, 40, 40, true, true, ValueKind::Frequency, 0, 0, "tuner frequency (e.g. 55.25MHz, 40..900 MHz), kept for the next run"},
    {"standard-index", PropertySet::Vendor, 65, 65, true, true, ValueKind::Integer, 1, 5, "1 NTSC, 2 PAL, 3 SECAM, 4 PAL-M, 5 PAL-N"},
    {"ae-on", PropertySet::Vendor, 55, 55, true, true, ValueKind::Switch, 0, 1, "stored exposure switch (on/off)"},
    {"ae-level", PropertySet::Vendor, 57, 57, true, true, ValueKind::Integer, 0, 255, "stored exposure level"},
    {"frame-timing", PropertySet::Vendor, 63, 63, true, true, ValueKind::Switch, 0, 1, "frame timing switch (on/off)"},
    {"white-point", PropertySet::Vendor, 58, 58, true, false, ValueKind::Integer, 0, 0, "stored white point (read only)"},
    {"quality", PropertySet::Vendor, 59, 59, true, false, ValueKind::Integer, 0, 0, "stored quality (read only)"},
    {"low-light", PropertySet::Vendor, 60, 60, true, false, ValueKind::Integer, 0, 0, "stored low-light value (read only)"},
    {"light-flicker", PropertySet::Vendor, 61, 61, true, false, ValueKind::Integer, 0, 0, "stored flicker value (read only)"},
    {"high-light", PropertySet::Vendor, 70, 70, true, false, ValueKind::Integer, 0, 0, "stored high-light value (read only)"},
    {"input-conf", PropertySet::Vendor, 66, 66, true, false, ValueKind::Integer, 0, 0, "input configuration (read only)"},
    {"qlt-spd-mode", PropertySet::Vendor, 68, 68, true, false, ValueKind::Integer, 0, 0, "stored quality/speed mode (read only)"},
};

void Put32(std::vector<uint8_t>& buffer, size_t offset, uint32_t value)
{
    if (buffer.size() < offset + 4) buffer.resize(offset + 4);
    std::memcpy(buffer.data() + offset, &value, 4);
}

std::optional<uint32_t> Get32(const std::vector<uint8_t>& buffer, size_t offset, uint32_t returned)
{
    if (buffer.size() < offset + 4 || returned < offset + 4) return std::nullopt;
    uint32_t v;
    std::memcpy(&v, buffer.data() + offset, 4);
    return v;
}

// MinProperty of the vendor table, for the size of the property buffer.
uint32_t VendorMinProperty(uint32_t id)
{
    switch (id) {
    case 0:
    case 40: return 56;
    case 17:
    case 18:
    case 19:
    case 20: return 40;
    default: return 4;
    }
}

// Any 32-bit pattern: unsigned up to 0xFFFFFFFF, or a negative 32-bit value.
std::optional<uint32_t> ParseWord(std::string_view text)
{
    if (auto v = ParseSigned(text, INT32_MIN, UINT32_MAX)) return static_cast<uint32_t>(*v);
    return std::nullopt;
}

}  // namespace

VendorLayout VendorGetLayout(uint32_t id)
{
    switch (id) {
    case 1: case 3: case 36: case 38: case 46: case 48:
        return VendorLayout::Data4Instance;
    case 6: case 28: case 31: case 34: case 44: case 45:
    case 53: case 54: case 55: case 56: case 57: case 58: case 59: case 60: case 61: case 62: case 63:
    case 65: case 66: case 67: case 68: case 70:
        return VendorLayout::Data4;
    case 0: case 8: case 9: case 10: case 11: case 12: case 13: case 14: case 15: case 16:
    case 21: case 22: case 24: case 25: case 26: case 27: case 69:
        return VendorLayout::ValueRecord;
    case 17: case 18: case 19: case 20:
        return VendorLayout::RegisterRecord;
    case 42: case 43:
        return VendorLayout::Descriptor;
    case 71:
        return VendorLayout::Unsupported;
    default:
        return VendorLayout::NotOffered;
    }
}

VendorLayout VendorSetLayout(uint32_t id)
{
    switch (id) {
    case 2: case 4: case 29: case 32: case 35: case 37: case 39: case 47: case 49:
        return VendorLayout::Data4Instance;
    case 5: case 30: case 33: case 50: case 51: case 72:
        return VendorLayout::Unsupported;
    case 7: case 52:
        return VendorLayout::Data4;
    case 8: case 9: case 10: case 11: case 12: case 13: case 14: case 15: case 16:
    case 22: case 24: case 25: case 26: case 27: case 69:
        return VendorLayout::ValueRecord;
    case 17: case 18: case 19: case 20:
        return VendorLayout::RegisterRecord;
    case 40:
        return VendorLayout::TunerRecord;
    case 41: case 45: case 53: case 54: case 55: case 56: case 57: case 58: case 59: case 60:
    case 61: case 62: case 63: case 65: case 66: case 67: case 68: case 70:
        return VendorLayout::InstanceValue;
    default:
        return VendorLayout::NotOffered;
    }
}

const std::vector<NamedProperty>& NamedProperties() { return kNamed; }

std::string PropertyRef::Label() const
{
    if (named) return std::string(named->name);
    if (bridgeRegister) return "register:" + Hex(instance.value_or(0));
    std::string s = "vendor:" + std::to_string(vendorId);
    if (instance) s += ":" + Hex(*instance);
    return s;
}

std::optional<PropertyRef> ParsePropertyName(std::string_view text, std::string* error)
{
    PropertyRef ref;
    const std::string lower = ToLower(text);
    if (lower.rfind("vendor:", 0) == 0) {
        std::string_view rest = std::string_view(text).substr(7);
        const size_t colon = rest.find(':');
        const auto id = ParseUnsigned(rest.substr(0, colon), 0xFFFFFFFFu);
        if (!id || *id >= kVendorIdCount) {
            if (error) *error = "bad vendor property '" + std::string(text) + "' (vendor ids are 0..72: vendor:ID or vendor:ID:INSTANCE)";
            return std::nullopt;
        }
        ref.vendorById = true;
        ref.vendorId = static_cast<uint32_t>(*id);
        if (colon != std::string_view::npos) {
            const auto inst = ParseWord(rest.substr(colon + 1));
            if (!inst) {
                if (error) *error = "bad instance in '" + std::string(text) + "' (a 32-bit number)";
                return std::nullopt;
            }
            ref.instance = *inst;
        }
        return ref;
    }
    if (lower.rfind("register:", 0) == 0) {
        const auto reg = ParseUnsigned(std::string_view(text).substr(9), 0xFFFF);
        if (!reg) {
            if (error) *error = "bad register '" + std::string(text) + "' (register:0x000..0xFFFF)";
            return std::nullopt;
        }
        ref.bridgeRegister = true;
        ref.instance = static_cast<uint32_t>(*reg);
        return ref;
    }
    for (const auto& p : kNamed) {
        if (p.name == lower) {
            ref.named = &p;
            return ref;
        }
    }
    if (error) {
        std::string names;
        for (const auto& p : kNamed) names += (names.empty() ? "" : ", ") + std::string(p.name);
        *error = "unknown property '" + std::string(text) + "' (known: " + names + ", register:REG, vendor:ID)";
    }
    return std::nullopt;
}

std::optional<PropertyAssignment> ParseAssignment(std::string_view text, std::string* error)
{
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        if (error) *error = "expected NAME=VALUE, got '" + std::string(text) + "'";
        return std::nullopt;
    }
    auto ref = ParsePropertyName(text.substr(0, eq), error);
    if (!ref) return std::nullopt;
    const std::string_view valueText = text.substr(eq + 1);
    PropertyAssignment a;
    a.ref = *ref;
    const std::string label = ref->Label();
    auto bad = [&](const std::string& what) {
        if (error) *error = label + ": " + what;
        return std::nullopt;
    };
    if (valueText.empty()) return bad("no value given");
    if (ref->bridgeRegister) {
        const auto v = ParseUnsigned(valueText, 0xFF);
        if (!v) return bad("'" + std::string(valueText) + "' is not a register byte (0..255 or 0x00..0xFF)");
        a.value = static_cast<uint32_t>(*v);
        return a;
    }
    if (ref->vendorById) {
        const auto v = ParseWord(valueText);
        if (!v) return bad("'" + std::string(valueText) + "' is not a 32-bit number");
        a.value = *v;
        return a;
    }
    const NamedProperty& p = *ref->named;
    if (!p.canSet) return bad("read-only property");
    switch (p.kind) {
    case ValueKind::Integer: {
        const auto v = ParseSigned(valueText, INT64_MIN / 2, INT64_MAX / 2);
        if (!v) return bad("'" + std::string(valueText) + "' is not a number");
        if (*v < p.minimum || *v > p.maximum)
            return bad(std::to_string(*v) + " is out of range " + std::to_string(p.minimum) + ".." +
                       std::to_string(p.maximum));
        a.value = static_cast<uint32_t>(*v);
        return a;
    }
    case ValueKind::Switch: {
        const auto v = ParseSwitch(valueText);
        if (!v) return bad("'" + std::string(valueText) + "' is not on or off");
        a.value = *v ? 1 : 0;
        return a;
    }
    case ValueKind::Standard: {
        const auto v = ParseStandard(valueText);
        if (!v) return bad("unknown standard '" + std::string(valueText) + "' (" + StandardNames() + ")");
        a.value = *v;
        return a;
    }
    case ValueKind::Frequency: {
        const auto v = ParseFrequency(valueText);
        if (!v || *v == 0) return bad("'" + std::string(valueText) + "' is not a frequency (e.g. 55.25MHz or 55250000)");
        if (auto why = CheckTunerFrequency(*v)) return bad(*why);
        a.value = *v;
        return a;
    }
    case ValueKind::Signal:
    case ValueKind::Raw: break;
    }
    return bad("cannot be set");
}

namespace {

PropertyRequest VendorRequest(uint32_t id, bool write, VendorLayout layout, uint32_t instance, uint32_t value,
                              uint32_t extra)
{
    PropertyRequest r;
    r.set = PropertySet::Vendor;
    r.id = id;
    r.write = write;
    r.instance.assign(VendorMinProperty(id) > 24 ? VendorMinProperty(id) - 24 : 4, 0);
    Put32(r.instance, 0, instance);
    switch (layout) {
    case VendorLayout::ValueRecord:
        r.data.assign(56, 0);
        if (write) Put32(r.data, 24, value);
        break;
    case VendorLayout::RegisterRecord:
        r.data.assign(write ? 40 : 56, 0);
        Put32(r.data, 24, value);
        Put32(r.data, 28, instance);
        // The property buffer carries the same record.
        Put32(r.instance, 0, value);
        Put32(r.instance, 4, instance);
        break;
    case VendorLayout::TunerRecord:
        r.data.assign(56, 0);
        Put32(r.data, 24, value);
        Put32(r.data, 28, extra);
        Put32(r.instance, 0, value);
        Put32(r.instance, 4, extra);
        break;
    case VendorLayout::Descriptor:
        r.data.assign(id == 42 ? 18 : 9, 0);
        break;
    case VendorLayout::InstanceValue:
        Put32(r.instance, 0, value);
        r.data.assign(4, 0);
        Put32(r.data, 0, value);
        break;
    default:
        r.data.assign(4, 0);
        if (write) Put32(r.data, 0, value);
        break;
    }
    return r;
}

}  // namespace

std::optional<PropertyRequest> BuildGet(const PropertyRef& ref, std::string* error)
{
    if (ref.bridgeRegister) return VendorRequest(1, false, VendorLayout::Data4Instance, *ref.instance, 0, 0);
    if (ref.vendorById) {
        const VendorLayout layout = VendorGetLayout(ref.vendorId);
        if (layout == VendorLayout::Unsupported) {
            if (error) *error = ref.Label() + ": reads through caller memory, which kvcap does not issue";
            return std::nullopt;
        }
        if (layout == VendorLayout::Data4Instance && !ref.instance) {
            if (error) *error = ref.Label() + ": needs an instance (vendor:" + std::to_string(ref.vendorId) + ":INSTANCE)";
            return std::nullopt;
        }
        return VendorRequest(ref.vendorId, false, layout, ref.instance.value_or(0), 0, 0);
    }
    const NamedProperty& p = *ref.named;
    if (!p.canGet) {
        if (error) *error = std::string(p.name) + ": cannot be read back (set only)";
        return std::nullopt;
    }
    PropertyRequest r;
    r.set = p.set;
    r.id = p.getId;
    switch (p.set) {
    case PropertySet::ProcAmp:
        r.instance.assign(16, 0);
        r.data.assign(40, 0);
        return r;
    case PropertySet::Decoder:
        r.instance.assign(8, 0);
        r.data.assign(32, 0);
        return r;
    case PropertySet::Vendor:
        return VendorRequest(p.getId, false, VendorGetLayout(p.getId), 0, 0, 0);
    }
    return std::nullopt;
}

std::optional<PropertyRequest> BuildSet(const PropertyAssignment& a, uint32_t tunerMode, std::string* error)
{
    const PropertyRef& ref = a.ref;
    if (ref.bridgeRegister) return VendorRequest(2, true, VendorLayout::Data4Instance, *ref.instance, a.value, 0);
    if (ref.vendorById) {
        const VendorLayout layout = VendorSetLayout(ref.vendorId);
        if (layout == VendorLayout::Unsupported) {
            if (error) *error = ref.Label() + ": takes a block list or caller memory, which kvcap does not issue";
            return std::nullopt;
        }
        if ((layout == VendorLayout::Data4Instance || layout == VendorLayout::RegisterRecord) && !ref.instance) {
            if (error) *error = ref.Label() + ": needs an instance (vendor:" + std::to_string(ref.vendorId) + ":INSTANCE=VALUE)";
            return std::nullopt;
        }
        return VendorRequest(ref.vendorId, true, layout, ref.instance.value_or(0), a.value,
                             layout == VendorLayout::TunerRecord ? ref.instance.value_or(tunerMode) : 0);
    }
    const NamedProperty& p = *ref.named;
    if (!p.canSet) {
        if (error) *error = std::string(p.name) + ": read-only property";
        return std::nullopt;
    }
    PropertyRequest r;
    r.set = p.set;
    r.id = p.setId;
    r.write = true;
    switch (p.set) {
    case PropertySet::ProcAmp:
        r.instance.assign(16, 0);
        Put32(r.instance, 0, a.value);
        Put32(r.instance, 4, kFlagsManual);
        r.data.assign(40, 0);
        Put32(r.data, 24, a.value);
        Put32(r.data, 28, kFlagsManual);
        return r;
    case PropertySet::Decoder:
        r.instance.assign(8, 0);
        Put32(r.instance, 0, a.value);
        r.data.assign(32, 0);
        Put32(r.data, 24, a.value);
        return r;
    case PropertySet::Vendor:
        if (p.kind == ValueKind::Frequency && tunerMode > 3) {
            if (error) *error = "frequency: tuner mode " + std::to_string(tunerMode) + " is out of range 0..3";
            return std::nullopt;
        }
        return VendorRequest(p.setId, true, VendorSetLayout(p.setId), 0, a.value, tunerMode);
    }
    return std::nullopt;
}

std::optional<uint32_t> ExtractValue(const PropertyRef& ref, const std::vector<uint8_t>& data, uint32_t returned)
{
    if (ref.bridgeRegister) return Get32(data, 0, returned);
    VendorLayout layout;
    if (ref.vendorById) {
        layout = VendorGetLayout(ref.vendorId);
    } else if (ref.named->set == PropertySet::Vendor) {
        layout = VendorGetLayout(ref.named->getId);
    } else {
        return Get32(data, 24, returned);
    }
    switch (layout) {
    case VendorLayout::ValueRecord:
    case VendorLayout::RegisterRecord: return Get32(data, 24, returned);
    case VendorLayout::Descriptor: return std::nullopt;
    default: return Get32(data, 0, returned);
    }
}

std::string DescribeValue(const PropertyRef& ref, const std::vector<uint8_t>& data, uint32_t returned)
{
    if (ref.vendorById && VendorGetLayout(ref.vendorId) == VendorLayout::Descriptor) {
        std::string out;
        const size_t n = std::min<size_t>(returned, data.size());
        for (size_t i = 0; i < n; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%02X", data[i]);
            out += (i ? " " : "") + std::string(b);
        }
        return out.empty() ? "(no data)" : out;
    }
    if (ref.vendorById && VendorGetLayout(ref.vendorId) == VendorLayout::RegisterRecord) {
        const auto v = Get32(data, 24, returned);
        const auto r = Get32(data, 28, returned);
        if (!v || !r) return "(no data)";
        return "register " + Hex(*r & 0xFFFF) + " = " + Hex(*v & 0xFFFF);
    }
    const auto value = ExtractValue(ref, data, returned);
    if (ref.named && ref.named->kind == ValueKind::Signal) {
        const auto lines = Get32(data, 24, returned);
        const auto locked = Get32(data, 28, returned);
        if (!lines || !locked) return "(no data)";
        return std::string(*locked ? "locked" : "no signal") + ", " + std::to_string(*lines) + " lines";
    }
    if (!value) return "(no data)";
    if (ref.bridgeRegister) return Hex(*value & 0xFF, 2);
    if (ref.vendorById) return std::to_string(*value) + " (" + Hex(*value) + ")";
    // A stored setting that nothing has set yet reads -1.
    const bool unset = *value == 0xFFFFFFFFu;
    switch (ref.named->kind) {
    case ValueKind::Switch:
        if (*value <= 1) return *value ? "on" : "off";
        return unset ? "unset" : std::to_string(static_cast<int32_t>(*value));
    case ValueKind::Standard: return StandardName(*value);
    case ValueKind::Integer:
        if (unset) return "unset";
        if (ref.named->set == PropertySet::Vendor) return std::to_string(static_cast<int32_t>(*value));
        return std::to_string(*value);
    default: return std::to_string(*value);
    }
}

std::optional<std::string> CheckTunerFrequency(uint32_t hz)
{
    if (hz >= kTunerMinimumHz && hz <= kTunerMaximumHz) return std::nullopt;
    return FormatFrequency(hz) + " is outside the tuner's range " + FormatFrequency(kTunerMinimumHz) + " .. " +
           FormatFrequency(kTunerMaximumHz);
}

ControlDescription ParseControlDescription(const std::vector<uint8_t>& data, uint32_t returned)
{
    ControlDescription d;
    const size_t size = std::min<size_t>(data.size(), returned);
    if (size < sizeof(ULONG)) return d;
    KSPROPERTY_DESCRIPTION description{};
    std::memcpy(&description, data.data(), std::min(size, sizeof description));
    d.canGet = (description.AccessFlags & KSPROPERTY_TYPE_GET) != 0;
    d.canSet = (description.AccessFlags & KSPROPERTY_TYPE_SET) != 0;
    if (size < sizeof description) return d;
    size_t at = sizeof description;
    for (ULONG i = 0; i < description.MembersListCount && at + sizeof(KSPROPERTY_MEMBERSHEADER) <= size; ++i) {
        KSPROPERTY_MEMBERSHEADER h{};
        std::memcpy(&h, data.data() + at, sizeof h);
        at += sizeof h;
        const uint64_t bytes = uint64_t(h.MembersSize) * h.MembersCount;
        if (bytes > size - at) break;  // a list longer than the answer: stop reading
        if (h.MembersFlags == KSPROPERTY_MEMBER_RANGES && h.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG) &&
            h.MembersCount >= 1) {
            KSPROPERTY_STEPPING_LONG range{};
            std::memcpy(&range, data.data() + at, sizeof range);
            d.step = range.SteppingDelta;
            d.minimum = range.Bounds.SignedMinimum;
            d.maximum = range.Bounds.SignedMaximum;
        } else if (h.MembersFlags == KSPROPERTY_MEMBER_VALUES && (h.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) &&
                   h.MembersSize >= sizeof(LONG) && h.MembersCount >= 1) {
            LONG value = 0;
            std::memcpy(&value, data.data() + at, sizeof value);
            d.defaultValue = value;
        }
        at += static_cast<size_t>(bytes);
    }
    return d;
}

}  // namespace kvcap
