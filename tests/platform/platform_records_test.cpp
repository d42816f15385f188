// Host-side checks of the platform declarations: GUID values against their
// registry-string form, FOURCC sub-types against the compression codes the
// formats carry, full-width request codes, the property-table support flags,
// and the variable-length records whose tails other code walks. The 64-bit
// mirror sizes are static assertions in the headers; the i386 layout is the
// i386 layout check's job.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "platform/ks.h"
#include "platform/ksmedia.h"
#include "platform/strmini.h"
#include "platform/usb.h"
#include "platform/usbcamdi.h"

namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" to the 16 bytes a GUID holds in
// memory: Data1, Data2 and Data3 little-endian, Data4 in written order.
bool ParseRegistryGuid(const std::string& text, UCHAR out[16])
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') {
        return false;
    }
    std::string hex;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        const bool dash = (i == 9 || i == 14 || i == 19 || i == 24);
        if (dash != (text[i] == '-')) {
            return false;
        }
        if (!dash) {
            if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
                return false;
            }
            hex += text[i];
        }
    }
    UCHAR written[16];
    for (int i = 0; i < 16; ++i) {
        written[i] = static_cast<UCHAR>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    static const int kMemoryOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) {
        out[i] = written[kMemoryOrder[i]];
    }
    return true;
}

struct NamedGuid {
    const char* name;
    const GUID* value;
    const char* registryForm;
};

const NamedGuid kGuids[] = {
    {"GUID_NULL", &GUID_NULL, "{00000000-0000-0000-0000-000000000000}"},
    {"KSPROPTYPESETID_General", &KSPROPTYPESETID_General, "{97E99BA0-BDEA-11CF-A5D6-28DB04C10000}"},
    {"KSPROPSETID_General", &KSPROPSETID_General, "{1464EDA5-6A8F-11D1-9AA7-00A0C9223196}"},
    {"KSPROPSETID_Connection", &KSPROPSETID_Connection, "{1D58C920-AC9B-11CF-A5D6-28DB04C10000}"},
    {"KSMEDIUMSETID_Standard", &KSMEDIUMSETID_Standard, "{4747B320-62CE-11CF-A5D6-28DB04C10000}"},
    {"KSCATEGORY_CAPTURE", &KSCATEGORY_CAPTURE, "{65E8773D-8F56-11D0-A3B9-00A0C9223196}"},
    {"KSDATAFORMAT_SPECIFIER_NONE", &KSDATAFORMAT_SPECIFIER_NONE, "{0F6417D6-C318-11D0-A43F-00A0C9223196}"},
    {"KSDATAFORMAT_TYPE_WILDCARD", &KSDATAFORMAT_TYPE_WILDCARD, "{00000000-0000-0000-0000-000000000000}"},
    {"KSDATAFORMAT_SUBTYPE_WILDCARD", &KSDATAFORMAT_SUBTYPE_WILDCARD, "{00000000-0000-0000-0000-000000000000}"},
    {"KSDATAFORMAT_SPECIFIER_WILDCARD", &KSDATAFORMAT_SPECIFIER_WILDCARD,
     "{00000000-0000-0000-0000-000000000000}"},
    {"KSDATAFORMAT_TYPE_VIDEO", &KSDATAFORMAT_TYPE_VIDEO, "{73646976-0000-0010-8000-00AA00389B71}"},
    {"KSDATAFORMAT_SPECIFIER_VIDEOINFO", &KSDATAFORMAT_SPECIFIER_VIDEOINFO,
     "{05589F80-C356-11CE-BF01-00AA0055595A}"},
    {"MEDIASUBTYPE_YUY2", &MEDIASUBTYPE_YUY2, "{32595559-0000-0010-8000-00AA00389B71}"},
    {"MEDIASUBTYPE_I420", &MEDIASUBTYPE_I420, "{30323449-0000-0010-8000-00AA00389B71}"},
    {"MEDIASUBTYPE_IYUV", &MEDIASUBTYPE_IYUV, "{56555949-0000-0010-8000-00AA00389B71}"},
    {"MEDIASUBTYPE_RGB24", &MEDIASUBTYPE_RGB24, "{E436EB7D-524F-11CE-9F53-0020AF0BA770}"},
    {"PINNAME_VIDEO_CAPTURE", &PINNAME_VIDEO_CAPTURE, "{FB6C4281-0353-11D1-905F-0000C0CC16BA}"},
    {"PINNAME_VIDEO_PREVIEW", &PINNAME_VIDEO_PREVIEW, "{FB6C4282-0353-11D1-905F-0000C0CC16BA}"},
    {"KSCATEGORY_VIDEO", &KSCATEGORY_VIDEO, "{6994AD05-93EF-11D0-A3CC-00A0C9223196}"},
    {"KSCATEGORY_TVTUNER", &KSCATEGORY_TVTUNER, "{A799A800-A46D-11D0-A18C-00A02401DCD4}"},
    {"PROPSETID_VIDCAP_VIDEOPROCAMP", &PROPSETID_VIDCAP_VIDEOPROCAMP, "{C6E13360-30AC-11D0-A18C-00A0C9118956}"},
    {"PROPSETID_VIDCAP_VIDEODECODER", &PROPSETID_VIDCAP_VIDEODECODER, "{C6E13350-30AC-11D0-A18C-00A0C9118956}"},
    {"PROPSETID_VIDCAP_VIDEOCONTROL", &PROPSETID_VIDCAP_VIDEOCONTROL, "{6A2E0670-28E4-11D0-A18C-00A0C9118956}"},
    {"PROPSETID_VIDCAP_DROPPEDFRAMES", &PROPSETID_VIDCAP_DROPPEDFRAMES, "{C6E13344-30AC-11D0-A18C-00A0C9118956}"},
    {"GUID_USBCAMD_INTERFACE", &GUID_USBCAMD_INTERFACE, "{2BCB75C0-B27F-11D1-BA41-00A0C90D2B05}"},
    {"GUID_FRAME_HOOK_INTERFACE", &GUID_FRAME_HOOK_INTERFACE, "{F2C9EB34-8292-42EA-9527-1676B88255B5}"},
};

TEST(PlatformGuids, EveryConstantHoldsTheBytesOfItsRegistryForm)
{
    for (const NamedGuid& g : kGuids) {
        UCHAR expected[16];
        ASSERT_TRUE(ParseRegistryGuid(g.registryForm, expected)) << g.name;
        EXPECT_EQ(0, std::memcmp(g.value, expected, sizeof(expected))) << g.name << " should be " << g.registryForm;
    }
}

TEST(PlatformGuids, DistinctSetsAndCategoriesNeverCompareEqual)
{
    // A copy-paste slip between two neighbouring constants (the VIDCAP sets
    // differ in one digit) would route property requests to the wrong set.
    for (size_t i = 0; i < ARRAYSIZE(kGuids); ++i) {
        for (size_t j = i + 1; j < ARRAYSIZE(kGuids); ++j) {
            const bool bothNull = IsEqualGUIDBytes(*kGuids[i].value, GUID_NULL) &&
                                  IsEqualGUIDBytes(*kGuids[j].value, GUID_NULL);
            if (!bothNull) {
                EXPECT_FALSE(IsEqualGUIDBytes(*kGuids[i].value, *kGuids[j].value))
                    << kGuids[i].name << " and " << kGuids[j].name;
            }
        }
    }
}

TEST(PlatformGuids, FourccSubtypesSpellTheCompressionCodeOfTheirFormats)
{
    struct {
        const GUID* subtype;
        const char* fourcc;
        DWORD biCompression;
    } const cases[] = {
        {&MEDIASUBTYPE_YUY2, "YUY2", 0x32595559},
        {&MEDIASUBTYPE_I420, "I420", 0x30323449},
        {&MEDIASUBTYPE_IYUV, "IYUV", 0x56555949},
        {&KSDATAFORMAT_TYPE_VIDEO, "vids", 0x73646976},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(0, std::memcmp(c.subtype, c.fourcc, 4)) << c.fourcc;
        EXPECT_EQ(c.biCompression, c.subtype->Data1) << c.fourcc;
    }
    // RGB24 is not a FOURCC sub-type: its formats say KS_BI_RGB.
    EXPECT_NE((ULONG)KS_BI_RGB, MEDIASUBTYPE_RGB24.Data1);
}

TEST(PlatformCodes, RequestCodesStatesAndStandardsHoldAnyWireValue)
{
    // Codes arrive from outside the driver; every 32-bit value must be
    // representable (the sanitizer build checks each load below).
    static_assert(std::is_same_v<std::underlying_type_t<SRB_COMMAND>, ULONG>);
    static_assert(std::is_same_v<std::underlying_type_t<KSSTATE>, ULONG>);
    static_assert(std::is_same_v<std::underlying_type_t<KS_AnalogVideoStandard>, ULONG>);

    const ULONG wireValues[] = {0, 0x0E, 0x10D, 0x10E, 0x111, 0x200, 0x7FFFFFFF, 0xFFFFFFFF};
    for (ULONG v : wireValues) {
        HW_STREAM_REQUEST_BLOCK srb{};
        srb.Command = static_cast<SRB_COMMAND>(v);
        srb.CommandData.StreamState = static_cast<KSSTATE>(v);
        volatile ULONG command = srb.Command;
        volatile ULONG state = srb.CommandData.StreamState;
        EXPECT_EQ(v, command);
        EXPECT_EQ(v, state);

        KS_AnalogVideoStandard standard = static_cast<KS_AnalogVideoStandard>(v);
        volatile ULONG standardValue = standard;
        EXPECT_EQ(v, standardValue);

        STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE device =
            static_cast<STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE>(v);
        volatile ULONG deviceValue = device;
        EXPECT_EQ(v, deviceValue);
    }
}

TEST(PlatformRecords, PropertyItemSupportFlagReadsTheSameForBothTableStyles)
{
    // The stream class reads GetSupported / SetSupported, the first byte of
    // each handler slot. Tables may be written through the BOOLEAN members or,
    // as the published macro does, by casting TRUE to the handler type.
    const KSPROPERTY_ITEM viaFlag = {.PropertyId = 1, .GetSupported = TRUE, .MinProperty = 32, .MinData = 32,
                                     .SetSupported = FALSE};
    KSPROPERTY_ITEM viaHandler{};
    viaHandler.GetPropertyHandler = reinterpret_cast<PFNKSHANDLER>(static_cast<uintptr_t>(TRUE));
    viaHandler.SetPropertyHandler = nullptr;

    EXPECT_EQ(TRUE, viaFlag.GetSupported);
    EXPECT_EQ(FALSE, viaFlag.SetSupported);
    UCHAR firstByte = 0;
    std::memcpy(&firstByte, reinterpret_cast<const UCHAR*>(&viaHandler) + offsetof(KSPROPERTY_ITEM, GetSupported), 1);
    EXPECT_EQ(TRUE, firstByte);
    std::memcpy(&firstByte, reinterpret_cast<const UCHAR*>(&viaHandler) + offsetof(KSPROPERTY_ITEM, SetSupported), 1);
    EXPECT_EQ(FALSE, firstByte);
}

TEST(PlatformRecords, VariableLengthRecordsContinueWithoutGaps)
{
    // Interface information: a buffer of GET_USBD_INTERFACE_SIZE(n) bytes holds
    // exactly n pipes, so copying Length bytes never reads past the last one.
    for (ULONG n = 1; n <= 8; ++n) {
        EXPECT_EQ(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + n * sizeof(USBD_PIPE_INFORMATION),
                  GET_USBD_INTERFACE_SIZE(n))
            << n << " pipes";
    }

    // Stream information: the header, then the array of stream records.
    EXPECT_EQ(sizeof(HW_STREAM_HEADER), offsetof(HW_STREAM_DESCRIPTOR, StreamInfo));

    // Video reads: each stream header is followed by its frame info, which
    // must land on its own alignment.
    EXPECT_EQ(0u, sizeof(KSSTREAM_HEADER) % alignof(KS_FRAME_INFO));

    // A format answer is the 64-byte header, the video-info header up to its
    // bitmap header, and the bitmap header: 152 bytes for a 40-byte biSize.
    EXPECT_EQ(48, KS_SIZE_PREHEADER);
    KS_VIDEOINFOHEADER vih{};
    vih.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    EXPECT_EQ(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), sizeof(KSDATAFORMAT) + KS_SIZE_VIDEOHEADER(&vih));
}

}  // namespace
