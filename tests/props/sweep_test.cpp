// Every property id in both directions with buffers of awkward sizes and
// contents: through the stream class, as applications reach the driver, and
// straight into the dispatcher, as a request that slipped past the tables
// would. Each answer must be a defined status with a size that fits, and no
// byte outside the buffers may be touched; the buffers are exactly sized heap
// blocks, so AddressSanitizer builds catch any overrun.
#include "tests/props/props_fixture.h"

#include <algorithm>
#include <memory>

using namespace propstest;

namespace {

constexpr size_t kDataSizes[] = {0, 3, 4, 40, 56};
constexpr size_t kPropertySizes[] = {0, 3, 4, sizeof(KSPROPERTY), sizeof(KSPROPERTY) + 4, 40, 56};
constexpr uint8_t kFills[] = {0x00, 0x01, 0xFF};

bool Defined(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS:
    case STATUS_BUFFER_OVERFLOW:
    case STATUS_NOT_SUPPORTED:
    case STATUS_INVALID_PARAMETER:
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_NOT_FOUND:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_ACCESS_VIOLATION:
    // A register outside the bridge's map stalls its transfer; the hardware
    // ids pass that on.
    case STATUS_UNSUCCESSFUL:
    case STATUS_IO_DEVICE_ERROR:
        return true;
    default:
        return false;
    }
}

class SweepTest : public PropsTest, public ::testing::WithParamInterface<ULONG> {
protected:
    // One request straight to the dispatcher with buffers of exactly the
    // given sizes, filled with `fill` behind the header.
    void Direct(const GUID& set, ULONG id, bool get, size_t propertySize, size_t dataSize, uint8_t fill)
    {
        SCOPED_TRACE(::testing::Message() << (get ? "get" : "set") << " id " << id << " property " << propertySize
                                          << " data " << dataSize << " fill " << int(fill));
        auto property = std::make_unique<uint8_t[]>(propertySize);
        auto data = std::make_unique<uint8_t[]>(dataSize);
        std::memset(property.get(), fill, propertySize);
        std::memset(data.get(), fill, dataSize);
        KSPROPERTY header{};
        header.Set = set;
        header.Id = id;
        header.Flags = get ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
        std::memcpy(property.get(), &header, std::min(propertySize, sizeof(header)));

        STREAM_PROPERTY_DESCRIPTOR descriptor{};
        descriptor.Property = reinterpret_cast<PKSPROPERTY>(property.get());
        descriptor.PropertyInfo = data.get();
        descriptor.PropertyInputSize = static_cast<ULONG>(propertySize);
        descriptor.PropertyOutputSize = static_cast<ULONG>(dataSize);
        HW_STREAM_REQUEST_BLOCK srb{};
        srb.Command = get ? SRB_GET_DEVICE_PROPERTY : SRB_SET_DEVICE_PROPERTY;
        srb.Status = STATUS_PENDING;
        srb.HwDeviceExtension = Device().HwDeviceExtension();
        srb.CommandData.PropertyInfo = &descriptor;

        const NTSTATUS status = AdapterPropertyDispatch(get, Context(), &srb);
        EXPECT_EQ(srb.Status, status);
        EXPECT_TRUE(Defined(status)) << std::hex << status;
        if (status == STATUS_BUFFER_OVERFLOW) {
            EXPECT_GT(srb.ActualBytesTransferred, 0u);
        } else if (NT_SUCCESS(status)) {
            EXPECT_LE(srb.ActualBytesTransferred, dataSize);
        } else {
            EXPECT_EQ(srb.ActualBytesTransferred, 0u);
        }
        if (propertySize < sizeof(KSPROPERTY)) {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
        }
        // The property buffer is the caller's: never written.
        for (size_t i = sizeof(KSPROPERTY); i < propertySize; ++i) ASSERT_EQ(property[i], fill) << i;
    }
};

}  // namespace

TEST_P(SweepTest, VendorIdThroughTheStreamClass)
{
    Start();
    const ULONG id = GetParam();
    for (bool get : {true, false}) {
        for (size_t propertySize : kPropertySizes) {
            for (size_t dataSize : kDataSizes) {
                for (uint8_t fill : kFills) {
                    SCOPED_TRACE(::testing::Message() << (get ? "get" : "set") << " property " << propertySize
                                                      << " data " << dataSize << " fill " << int(fill));
                    auto r = sc::PropertyRequest::Make(PROPSETID_PRIVATE_CONTROL, id, dataSize, propertySize);
                    std::fill(r.property.begin(), r.property.end(), fill);
                    std::fill(r.data.begin(), r.data.end(), fill);
                    const sc::Result result = get ? Get(r) : Set(r);
                    EXPECT_TRUE(Defined(result.status)) << std::hex << result.status;
                    if (result.delivered) {
                        EXPECT_TRUE(result.completed);
                    }
                    if (result.status == STATUS_SUCCESS) {
                        EXPECT_LE(result.actualBytes, dataSize);
                    }
                    if (!NT_SUCCESS(result.status) && result.status != STATUS_BUFFER_OVERFLOW) {
                        EXPECT_EQ(result.actualBytes, 0u);
                    }
                }
            }
        }
    }
    // The device still answers afterwards.
    auto six = Vendor(6, 4);
    EXPECT_EQ(Get(six).status, STATUS_SUCCESS);
}

TEST_P(SweepTest, VendorIdStraightIntoTheDispatcher)
{
    Start();
    for (bool get : {true, false}) {
        for (size_t propertySize : kPropertySizes) {
            for (size_t dataSize : kDataSizes) {
                for (uint8_t fill : kFills) Direct(PROPSETID_PRIVATE_CONTROL, GetParam(), get, propertySize, dataSize, fill);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryId, SweepTest, ::testing::Range<ULONG>(0, 81));

TEST_F(PropsTest, StandardSetIdsStraightIntoTheDispatcher)
{
    Start();
    const GUID* sets[] = {&PROPSETID_VIDCAP_VIDEOPROCAMP, &PROPSETID_VIDCAP_VIDEODECODER, &PROPSETID_VIDCAP_VIDEOCONTROL};
    const size_t sizes[] = {0, 3, 4, 24, 31, 32, 39, 40, 47, 48, 55, 56};
    for (const GUID* set : sets) {
        for (ULONG id = 0; id <= 10; ++id) {
            for (bool get : {true, false}) {
                for (size_t propertySize : {size_t(0), sizeof(KSPROPERTY), size_t(40)}) {
                    for (size_t dataSize : sizes) {
                        SCOPED_TRACE(::testing::Message() << (get ? "get" : "set") << " id " << id << " property "
                                                          << propertySize << " data " << dataSize);
                        auto property = std::make_unique<uint8_t[]>(propertySize);
                        auto data = std::make_unique<uint8_t[]>(dataSize);
                        std::memset(data.get(), 0x01, dataSize);
                        KSPROPERTY header{};
                        header.Set = *set;
                        header.Id = id;
                        std::memcpy(property.get(), &header, std::min(propertySize, sizeof(header)));
                        STREAM_PROPERTY_DESCRIPTOR descriptor{};
                        descriptor.Property = reinterpret_cast<PKSPROPERTY>(property.get());
                        descriptor.PropertyInfo = data.get();
                        descriptor.PropertyInputSize = static_cast<ULONG>(propertySize);
                        descriptor.PropertyOutputSize = static_cast<ULONG>(dataSize);
                        HW_STREAM_REQUEST_BLOCK srb{};
                        srb.Status = STATUS_PENDING;
                        srb.HwDeviceExtension = Device().HwDeviceExtension();
                        srb.CommandData.PropertyInfo = &descriptor;
                        const NTSTATUS status = AdapterPropertyDispatch(get, Context(), &srb);
                        EXPECT_TRUE(Defined(status)) << std::hex << status;
                        EXPECT_NE(srb.Status, STATUS_PENDING);
                        if (NT_SUCCESS(status)) {
                            EXPECT_LE(srb.ActualBytesTransferred, dataSize);
                        }
                    }
                }
            }
        }
    }
}
