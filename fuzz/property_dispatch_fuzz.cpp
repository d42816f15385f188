// Property requests as hostile applications send them, to the device and to
// the open capture pin: through the stream class's checks against the sets
// the driver advertises, straight to the driver as unchecked requests, and
// into the driver's property routing itself. Requests may carry addresses of
// the caller's memory (the software I2C transfers) and reach the bridge's I2C
// bus, the bit-driven bus and the tuner through the vendor set.
//
// Input: one byte choosing the board (see fuzz::BoardFor; bit 3 opens the
// capture pin, bit 4 also runs it for a frame), then requests until the
// input ends, each:
//   route   u8   0 device, checked; 1 device, unchecked; 2 the driver's
//                routing directly; 3 pin, checked; 4 pin, unchecked
//   flags   u8   bit 0 set (else get), bit 1 raw KSPROPERTY flags follow
//                (u32), bit 2 caller memory follows, bit 3 point the
//                caller record's data address at the data region
//   set     u8   0 vendor, 1 amplifier, 2 decoder, 3 video control,
//                4 connection, 5 dropped frames, else a GUID (16 bytes)
//   id      u8
//   sizes   u16 property buffer size (mod 512), u16 data buffer size (mod
//                1024); the property bytes past the header and then the
//                data bytes follow
//   memory  (flag bit 2) 20 bytes of request record, u16 data region size
//                (mod 65) and its bytes; the record's address becomes the
//                instance (the ULONG behind the header)
//   set id  (route 2) u8, the index of the set as the driver published it
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/Driver.h"
#include "fuzz/fuzz_support.h"
#include "props/Properties.h"

namespace {

namespace sc = kv::streamclass;

GUID SetFor(uint8_t choice, fuzz::Reader& in)
{
    switch (choice) {
    case 0: return PROPSETID_PRIVATE_CONTROL;
    case 1: return PROPSETID_VIDCAP_VIDEOPROCAMP;
    case 2: return PROPSETID_VIDCAP_VIDEODECODER;
    case 3: return PROPSETID_VIDCAP_VIDEOCONTROL;
    case 4: return KSPROPSETID_Connection;
    case 5: return PROPSETID_VIDCAP_DROPPEDFRAMES;
    default: {
        GUID g;
        const std::vector<uint8_t> bytes = in.Bytes(sizeof(GUID));
        std::memcpy(&g, bytes.data(), sizeof(GUID));
        return g;
    }
    }
}

// Caller memory regions of one input; the host bytes outlive the regions.
struct CallerMemory {
    std::vector<std::unique_ptr<std::vector<uint8_t>>> blocks;
    ULONG Map(std::vector<uint8_t> bytes)
    {
        if (bytes.empty()) bytes.resize(1);
        blocks.push_back(std::make_unique<std::vector<uint8_t>>(std::move(bytes)));
        return kv::usermem::Map(blocks.back()->data(), blocks.back()->size());
    }
};

// One request through the driver's routing with no stream class around it.
void DispatchDirectly(DeviceContext* context, bool get, std::vector<uint8_t>& property, std::vector<uint8_t>& data,
                      ULONG setIndex)
{
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = property.empty() ? nullptr : reinterpret_cast<PKSPROPERTY>(property.data());
    descriptor.PropertySetID = setIndex;
    descriptor.PropertyInfo = data.empty() ? nullptr : data.data();
    descriptor.PropertyInputSize = static_cast<ULONG>(property.size());
    descriptor.PropertyOutputSize = static_cast<ULONG>(data.size());
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = get ? SRB_GET_DEVICE_PROPERTY : SRB_SET_DEVICE_PROPERTY;
    srb.CommandData.PropertyInfo = &descriptor;
    const NTSTATUS status = AdapterPropertyDispatch(get, context, &srb);
    fuzz::Check(status == srb.Status, "the routing returned another status than it left in the request");
    fuzz::Check(!NT_SUCCESS(status) || srb.ActualBytesTransferred <= data.size(),
                "a property answer larger than its data buffer");
}

void OneRequest(fuzz::Reader& in, kv::app::Filter& filter, DeviceContext* context, sc::Stream* stream,
                CallerMemory& memory)
{
    const uint8_t route = in.U8() % 5;
    const uint8_t flags = in.U8();
    const bool get = (flags & 1) == 0;
    const ULONG rawFlags = (flags & 2) ? in.U32() : 0;
    const GUID set = SetFor(in.U8(), in);
    const ULONG id = in.U8();
    const size_t propertySize = in.U16() % 512;
    const size_t dataSize = in.U16() % 1024;

    std::vector<uint8_t> property = in.Bytes(propertySize);
    std::vector<uint8_t> data = in.Bytes(dataSize);
    if (flags & 4) {
        std::vector<uint8_t> record = in.Bytes(SOFT_I2C_REQUEST_BYTES);
        // Every bit of a software I2C transfer costs several control
        // transfers; a longer length than the region is refused by the probe.
        const ULONG regionAddress = memory.Map(in.Bytes(in.U16() % 65));
        if (flags & 8) std::memcpy(record.data() + 12, &regionAddress, sizeof(ULONG));
        const ULONG recordAddress = memory.Map(record);
        if (property.size() >= sizeof(KSPROPERTY) + sizeof(ULONG)) {
            std::memcpy(property.data() + sizeof(KSPROPERTY), &recordAddress, sizeof(ULONG));
        }
    }
    // The header says what the request is wherever the buffer holds one.
    if (property.size() >= sizeof(KSPROPERTY)) {
        KSPROPERTY header{};
        header.Set = set;
        header.Id = id;
        header.Flags = rawFlags ? rawFlags : (get ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET);
        std::memcpy(property.data(), &header, sizeof(header));
    }
    const ULONG setIndex = route == 2 ? in.U8() : 0;

    if (route == 0 || route == 3) {
        if (route == 3 && stream == nullptr) return;
        sc::PropertyRequest request;
        request.set = set;
        request.id = id;
        request.flags = rawFlags;
        request.property = property;
        request.data = data;
        sc::Result r;
        if (route == 0) {
            r = get ? filter.Device().GetProperty(request) : filter.Device().SetProperty(request);
        } else {
            r = get ? stream->GetProperty(request) : stream->SetProperty(request);
        }
        fuzz::Check(!r.ok() || r.actualBytes <= request.data.size(), "a property answer larger than its data buffer");
    } else if (route == 2) {
        DispatchDirectly(context, get, property, data, setIndex);
    } else {
        if (route == 4 && stream == nullptr) return;
        STREAM_PROPERTY_DESCRIPTOR descriptor{};
        descriptor.Property = property.empty() ? nullptr : reinterpret_cast<PKSPROPERTY>(property.data());
        descriptor.PropertyInfo = data.empty() ? nullptr : data.data();
        descriptor.PropertyInputSize = static_cast<ULONG>(property.size());
        descriptor.PropertyOutputSize = static_cast<ULONG>(data.size());
        const auto fill = [&](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.PropertyInfo = &descriptor; };
        sc::Result r;
        if (route == 1) {
            r = filter.Device().SendAdapterRequest(get ? SRB_GET_DEVICE_PROPERTY : SRB_SET_DEVICE_PROPERTY, fill);
        } else {
            r = stream->SendControl(get ? SRB_GET_STREAM_PROPERTY : SRB_SET_STREAM_PROPERTY, fill);
        }
        fuzz::Check(!r.ok() || r.actualBytes <= data.size(), "a property answer larger than its data buffer");
    }
    fuzz::CheckNoViolation();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    const uint8_t choice = in.U8();
    fuzz::Rig* rig = fuzz::BeginInput(choice);
    if (rig == nullptr) return 0;
    kv::app::Filter& filter = *rig->filter;
    {
        CallerMemory memory;
        kv::app::Pin* pin = nullptr;
        if (choice & 8) {
            const auto formats = filter.Formats();
            kv::app::Format format;
            if (!formats.empty() && filter.Intersect(formats[0], &format) == STATUS_SUCCESS) {
                pin = filter.OpenPin(format);
            }
            if (pin != nullptr && (choice & 16)) {
                kv::app::Frame frame;
                pin->SetReadDepth(1);
                pin->Run();
                pin->ReadFrame(&frame, 2'000'000);
            }
        }
        while (!in.Empty()) OneRequest(in, filter, rig->context, pin ? &pin->Stream() : nullptr, memory);
        if (pin != nullptr) {
            pin->Stop();
            pin->Close();
        }
    }
    fuzz::EndInput(*rig);
    return 0;
}
