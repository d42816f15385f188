// The capture pin: its two descriptions (full mode, 22 formats; low-bandwidth
// mode, three 160 x 120 formats), the format check used at stream open and at
// format changes, and the data intersection that fixes the frame rate.
#include "driver/Driver.h"
#include "hw/Hardware.h"

#include <string.h>

namespace {

#define FOURCC_YUY2 0x32595559u
#define FOURCC_I420 0x30323449u
#define FOURCC_RGB24 0u  // BI_RGB

#define INTERVAL_2997 333667   // 100 ns units, 29.97 frames per second
#define INTERVAL_25 400000     // 25 frames per second
#define INTERVAL_10 1000000    // 10 frames per second ("WFrameRate" = 1, 525 lines)
#define INTERVAL_8_33 1200000  // every third frame of 25 ("WFrameRate" = 1, 625 lines)

// KS_AnalogVideoStandard masks.
#define STANDARDS_525 0x203u    // NTSC_M | NTSC_M_J | PAL_M
#define STANDARDS_625 0x7F5B0u  // PAL_B/D/H/I/N, SECAM_B/D/G/H/K/K1/L
#define STANDARDS_ALL 0x7F7B3u  // both line systems (640 x 480 only)

// Values handed to USBCAMD_SetFrameInterval.
#define LIBRARY_INTERVAL_2997 320
#define LIBRARY_INTERVAL_25 390
// The reduced rate takes every third frame; the spacing allowed is a little
// under three frames so that packet timing never pushes one to the fourth.
#define LIBRARY_INTERVAL_10 990
#define LIBRARY_INTERVAL_8_33 1190

constexpr KS_DATARANGE_VIDEO VideoRange(const GUID& subType, ULONG fourcc, USHORT bitCount, LONG width,
                                        LONG height, LONGLONG interval, ULONG standards, LONG minBitsPerSecond,
                                        LONG maxBitsPerSecond, ULONG bitRate)
{
    const ULONG sizeImage = (ULONG)width * (ULONG)height * bitCount / 8;
    KS_DATARANGE_VIDEO r{};
    r.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    r.DataRange.Flags = 0;
    r.DataRange.SampleSize = sizeImage;
    r.DataRange.Reserved = 0;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    r.DataRange.SubFormat = subType;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    r.bFixedSizeSamples = TRUE;
    r.bTemporalCompression = TRUE;
    r.StreamDescriptionFlags = KS_VIDEOSTREAM_CAPTURE;
    r.MemoryAllocationFlags = 0;

    KS_VIDEO_STREAM_CONFIG_CAPS& caps = r.ConfigCaps;
    caps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    caps.VideoStandard = standards;
    caps.InputSize = {width, height};
    caps.MinCroppingSize = {width, height};
    caps.MaxCroppingSize = {width, height};
    caps.CropGranularityX = 1;
    caps.CropGranularityY = 1;
    caps.CropAlignX = 1;
    caps.CropAlignY = 1;
    caps.MinOutputSize = {width, height};
    caps.MaxOutputSize = {width, height};
    caps.OutputGranularityX = 1;
    caps.OutputGranularityY = 1;
    caps.StretchTapsX = 0;
    caps.StretchTapsY = 0;
    caps.ShrinkTapsX = 0;
    caps.ShrinkTapsY = 0;
    caps.MinFrameInterval = interval;
    caps.MaxFrameInterval = interval;
    caps.MinBitsPerSecond = minBitsPerSecond;
    caps.MaxBitsPerSecond = maxBitsPerSecond;

    KS_VIDEOINFOHEADER& vih = r.VideoInfoHeader;
    vih.dwBitRate = bitRate;
    vih.dwBitErrorRate = 0;
    vih.AvgTimePerFrame = interval;
    vih.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = bitCount;
    vih.bmiHeader.biCompression = fourcc;
    vih.bmiHeader.biSizeImage = sizeImage;
    return r;
}

#define YUY2 MEDIASUBTYPE_YUY2, FOURCC_YUY2, 16
#define I420 MEDIASUBTYPE_I420, FOURCC_I420, 12
#define RGB24 MEDIASUBTYPE_RGB24, FOURCC_RGB24, 24

// The full format list, in the order the pin reports it.
constexpr KS_DATARANGE_VIDEO FullRanges[] = {
    //         subtype  width height  interval       standards      min bps    max bps    dwBitRate
    VideoRange(YUY2,    320,  240,    INTERVAL_2997, STANDARDS_525, 36787200,  36787200,  36787200),   // 0
    VideoRange(YUY2,    352,  240,    INTERVAL_2997, STANDARDS_525, 40465920,  40465920,  40465920),   // 1
    VideoRange(YUY2,    352,  288,    INTERVAL_25,   STANDARDS_625, 40550400,  40550400,  48559104),   // 2
    VideoRange(YUY2,    160,  120,    INTERVAL_2997, STANDARDS_525, 9196800,   9196800,   9196800),    // 3
    VideoRange(YUY2,    176,  144,    INTERVAL_25,   STANDARDS_625, 10137600,  10137600,  12139776),   // 4
    VideoRange(YUY2,    640,  480,    INTERVAL_2997, STANDARDS_ALL, 147148800, 147148800, 147148800),  // 5
    VideoRange(YUY2,    720,  480,    INTERVAL_2997, STANDARDS_525, 165542400, 165542400, 165542400),  // 6
    VideoRange(YUY2,    720,  576,    INTERVAL_25,   STANDARDS_625, 165888000, 165888000, 198650880),  // 7
    VideoRange(I420,    320,  240,    INTERVAL_2997, STANDARDS_525, 27571200,  27571200,  27571200),   // 8
    VideoRange(I420,    352,  240,    INTERVAL_2997, STANDARDS_525, 30328320,  30328320,  30328320),   // 9
    VideoRange(I420,    352,  288,    INTERVAL_25,   STANDARDS_625, 30412800,  30412800,  36393984),   // 10
    VideoRange(I420,    160,  120,    INTERVAL_2997, STANDARDS_525, 6892800,   6892800,   6892800),    // 11
    VideoRange(I420,    176,  144,    INTERVAL_25,   STANDARDS_625, 7603200,   7603200,   9098496),    // 12
    VideoRange(I420,    640,  480,    INTERVAL_2997, STANDARDS_ALL, 110284800, 110284800, 110284800),  // 13
    VideoRange(RGB24,   320,  240,    INTERVAL_2997, STANDARDS_525, 55219200,  55219200,  55219200),   // 14
    VideoRange(RGB24,   352,  240,    INTERVAL_2997, STANDARDS_525, 22725120,  60741120,  60741120),   // 15
    VideoRange(RGB24,   352,  288,    INTERVAL_25,   STANDARDS_625, 60825600,  60825600,  72889344),   // 16
    VideoRange(RGB24,   160,  120,    INTERVAL_2997, STANDARDS_525, 13804800,  13804800,  13804800),   // 17
    VideoRange(RGB24,   176,  144,    INTERVAL_25,   STANDARDS_625, 15206400,  15206400,  18222336),   // 18
    VideoRange(RGB24,   640,  480,    INTERVAL_2997, STANDARDS_ALL, 220876800, 220876800, 220876800),  // 19
    VideoRange(RGB24,   720,  480,    INTERVAL_2997, STANDARDS_525, 248486400, 248486400, 248486400),  // 20
    VideoRange(RGB24,   720,  576,    INTERVAL_25,   STANDARDS_625, 248832000, 248832000, 298183680),  // 21
};
static_assert(ARRAYSIZE(FullRanges) == 22, "the full description offers 22 formats");

#undef YUY2
#undef I420
#undef RGB24

#define RANGE(i) const_cast<PKSDATAFORMAT>(&FullRanges[i].DataRange)

// StreamFormatsArray holds pointers to the ranges above.
PKSDATAFORMAT const FullFormats[] = {
    RANGE(0),  RANGE(1),  RANGE(2),  RANGE(3),  RANGE(4),  RANGE(5),  RANGE(6),  RANGE(7),
    RANGE(8),  RANGE(9),  RANGE(10), RANGE(11), RANGE(12), RANGE(13), RANGE(14), RANGE(15),
    RANGE(16), RANGE(17), RANGE(18), RANGE(19), RANGE(20), RANGE(21),
};

// Low-bandwidth mode: I420, RGB24 and YUY2 at 160 x 120, the same records as
// entries 11, 17 and 3 of the full list.
PKSDATAFORMAT const LowBandwidthFormats[] = {RANGE(11), RANGE(17), RANGE(3)};

#undef RANGE

// Stream properties the class library answers for the pin. Stream class
// minidrivers mark a supported direction with a non-null handler slot; the
// library serves the request itself.
#define SUPPORTED ((PFNKSHANDLER)(ULONG_PTR)TRUE)
#define UNSUPPORTED ((PFNKSHANDLER) nullptr)

const KSPROPERTY_ITEM ConnectionItems[] = {
    {
        KSPROPERTY_CONNECTION_ALLOCATORFRAMING,  // PropertyId
        {SUPPORTED},                             // get
        sizeof(KSPROPERTY),                      // MinProperty: 24
        sizeof(KSALLOCATOR_FRAMING),             // MinData: 24
        {UNSUPPORTED},                           // set
        nullptr, 0, nullptr, nullptr, 0,
    },
};

const KSPROPERTY_ITEM DroppedFramesItems[] = {
    {
        KSPROPERTY_DROPPEDFRAMES_CURRENT,
        {SUPPORTED},
        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),  // 48
        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),  // 48
        {UNSUPPORTED},
        nullptr, 0, nullptr, nullptr, 0,
    },
};

#undef SUPPORTED
#undef UNSUPPORTED

const KSPROPERTY_SET StreamPropertySets[] = {
    {&KSPROPSETID_Connection, ARRAYSIZE(ConnectionItems), ConnectionItems, 0, nullptr},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, ARRAYSIZE(DroppedFramesItems), DroppedFramesItems, 0, nullptr},
};

constexpr HW_STREAM_INFORMATION StreamDescription(PKSDATAFORMAT const* formats, ULONG count)
{
    HW_STREAM_INFORMATION info{};
    info.NumberOfPossibleInstances = 1;
    info.DataFlow = KSPIN_DATAFLOW_OUT;
    info.DataAccessible = TRUE;
    info.NumberOfFormatArrayEntries = count;
    info.StreamFormatsArray = const_cast<PKSDATAFORMAT*>(formats);
    info.NumStreamPropArrayEntries = ARRAYSIZE(StreamPropertySets);
    info.StreamPropertiesArray = const_cast<PKSPROPERTY_SET>(StreamPropertySets);
    info.NumStreamEventArrayEntries = 0;
    info.StreamEventsArray = nullptr;
    info.Category = const_cast<GUID*>(&PINNAME_VIDEO_CAPTURE);
    info.Name = const_cast<GUID*>(&PINNAME_VIDEO_CAPTURE);
    info.MediumsCount = 0;
    info.Mediums = nullptr;
    info.BridgeStream = FALSE;
    return info;
}

// Driver-wide: the description of the device initialised last.
const HW_STREAM_INFORMATION* CurrentDescription = &FullStreamDescription;

bool SameGuid(const GUID& a, const GUID& b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

const KS_DATARANGE_VIDEO* RangeAt(const HW_STREAM_INFORMATION* info, ULONG index)
{
    return reinterpret_cast<const KS_DATARANGE_VIDEO*>(info->StreamFormatsArray[index]);
}

}  // namespace

const HW_STREAM_INFORMATION FullStreamDescription = StreamDescription(FullFormats, ARRAYSIZE(FullFormats));
const HW_STREAM_INFORMATION LowBandwidthStreamDescription =
    StreamDescription(LowBandwidthFormats, ARRAYSIZE(LowBandwidthFormats));

const HW_STREAM_INFORMATION* CurrentStreamDescription(VOID)
{
    return CurrentDescription;
}

VOID SelectStreamDescription(BOOLEAN LowBandwidth)
{
    CurrentDescription = LowBandwidth ? &LowBandwidthStreamDescription : &FullStreamDescription;
}

const HW_STREAM_INFORMATION* StreamDescriptionOf(const DeviceContext* Context)
{
    // Each started device keeps the description of its own mode; a second
    // board of the other mode must not change what the first one accepts.
    if (Context == nullptr || Context->detectedDecoderType == DECODER_TYPE_NONE) {
        return CurrentDescription;
    }
    return Context->highBandwidth != 0 ? &FullStreamDescription : &LowBandwidthStreamDescription;
}

BOOLEAN LineSystemIs525(LONG StandardIndex)
{
    // Indices outside 1..5 run as NTSC: the next capture start clamps them to 1.
    if (StandardIndex < STANDARD_INDEX_NTSC || StandardIndex > STANDARD_INDEX_PAL_N) return TRUE;
    return StandardIs525Lines(StandardIndex);
}

namespace {

// Whether a range's sizes belong to the line system the device runs: a
// 576-line format under NTSC, or a 480-line one under PAL, would be accepted
// and then deliver nothing or a cut picture.
bool RangeFitsStandard(const DeviceContext* Context, const KS_DATARANGE_VIDEO* Range)
{
    // The low-bandwidth converters make their 160 x 120 picture from a field
    // of either line system.
    if (Context == nullptr || StreamDescriptionOf(Context) == &LowBandwidthStreamDescription) {
        return true;
    }
    const ULONG inForce = LineSystemIs525(Context->standardIndex) ? STANDARDS_525 : STANDARDS_625;
    return (Range->ConfigCaps.VideoStandard & inForce) != 0;
}

BOOLEAN FormatOffered(const DeviceContext* Context, const KSDATAFORMAT* Format, ULONG StreamNumber)
{
    if (StreamNumber != 0 || Format == nullptr) {
        return FALSE;
    }
    // The format record comes from the application: never read bitmap header
    // fields that its stated size does not cover.
    if (Format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        return FALSE;
    }
    const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format);
    const KS_BITMAPINFOHEADER& bmi = video->VideoInfoHeader.bmiHeader;

    const HW_STREAM_INFORMATION* info = StreamDescriptionOf(Context);
    for (ULONG i = 0; i < info->NumberOfFormatArrayEntries; ++i) {
        const KS_DATARANGE_VIDEO* range = RangeAt(info, i);
        const KS_BITMAPINFOHEADER& offered = range->VideoInfoHeader.bmiHeader;
        if (SameGuid(Format->MajorFormat, range->DataRange.MajorFormat) &&
            SameGuid(Format->SubFormat, range->DataRange.SubFormat) &&
            SameGuid(Format->Specifier, range->DataRange.Specifier) && bmi.biWidth == offered.biWidth &&
            bmi.biHeight == offered.biHeight && bmi.biSizeImage == offered.biSizeImage &&
            bmi.biCompression == offered.biCompression) {
            return RangeFitsStandard(Context, range) ? TRUE : FALSE;
        }
    }
    return FALSE;
}

}  // namespace

BOOLEAN FormatIsOffered(const KSDATAFORMAT* Format, ULONG StreamNumber)
{
    return FormatOffered(nullptr, Format, StreamNumber);
}

BOOLEAN FormatIsOffered(const DeviceContext* Context, const KSDATAFORMAT* Format, ULONG StreamNumber)
{
    return FormatOffered(Context, Format, StreamNumber);
}

NTSTATUS ReadFrameRateOverride(PCWSTR KeyPath, PCWSTR ValueName, PULONG Value)
{
    ULONG result = 0;
    ULONG defaultValue = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    memset(table, 0, sizeof(table));
    // The type check keeps a value of another type (a string, say) from being
    // written into the 32-bit result as if it were a counted string.
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(ValueName);
    table[0].EntryContext = &result;
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    table[0].DefaultData = &defaultValue;
    table[0].DefaultLength = sizeof(defaultValue);

    NTSTATUS status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, KeyPath, table, nullptr, nullptr);
    *Value = NT_SUCCESS(status) ? result : 0;
    return status;
}

namespace {

// Whether the application's range is one the pin reported: the header GUIDs
// and size, the stream flags, the whole capabilities block bytewise, the
// picture size and its compression (the converter is chosen by it, so another
// one would deliver frames labelled as what they are not). The bitmap header size must be the plain 40 bytes, because the
// format built below is sized from it and filled at fixed offsets.
bool RangeMatches(const KS_DATARANGE_VIDEO* caller, const KS_DATARANGE_VIDEO* offered)
{
    return caller->DataRange.FormatSize == offered->DataRange.FormatSize &&
           SameGuid(caller->DataRange.MajorFormat, offered->DataRange.MajorFormat) &&
           SameGuid(caller->DataRange.SubFormat, offered->DataRange.SubFormat) &&
           SameGuid(caller->DataRange.Specifier, offered->DataRange.Specifier) &&
           caller->bFixedSizeSamples == offered->bFixedSizeSamples &&
           caller->bTemporalCompression == offered->bTemporalCompression &&
           caller->StreamDescriptionFlags == offered->StreamDescriptionFlags &&
           caller->MemoryAllocationFlags == offered->MemoryAllocationFlags &&
           memcmp(&caller->ConfigCaps, &offered->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) == 0 &&
           caller->VideoInfoHeader.bmiHeader.biWidth == offered->VideoInfoHeader.bmiHeader.biWidth &&
           caller->VideoInfoHeader.bmiHeader.biHeight == offered->VideoInfoHeader.bmiHeader.biHeight &&
           caller->VideoInfoHeader.bmiHeader.biCompression == offered->VideoInfoHeader.bmiHeader.biCompression &&
           caller->VideoInfoHeader.bmiHeader.biSize == sizeof(KS_BITMAPINFOHEADER);
}

}  // namespace

NTSTATUS AdapterDataIntersection(PHW_STREAM_REQUEST_BLOCK Srb)
{
    auto* context = static_cast<DeviceContext*>(USBCAMD_AdapterReceivePacket(Srb, nullptr, nullptr, FALSE));
    PSTREAM_DATA_INTERSECT_INFO intersect = Srb->CommandData.IntersectInfo;
    if (intersect == nullptr || intersect->DataRange == nullptr) {
        return STATUS_NO_MATCH;
    }
    // Only stream 0 exists, so only its list can match.
    if (intersect->StreamNumber != 0 || intersect->DataRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
        return STATUS_NO_MATCH;
    }
    const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(intersect->DataRange);

    const HW_STREAM_INFORMATION* info = StreamDescriptionOf(context);
    const KS_DATARANGE_VIDEO* matched = nullptr;
    for (ULONG i = 0; i < info->NumberOfFormatArrayEntries && matched == nullptr; ++i) {
        if (RangeMatches(caller, RangeAt(info, i))) {
            matched = RangeAt(info, i);
        }
    }
    if (matched == nullptr || !RangeFitsStandard(context, matched)) {
        return STATUS_NO_MATCH;
    }

    // The frame rate follows the line system in force (PAL-M runs 525-line
    // timing), or the registry override. The library's interval is the least
    // spacing it lets frames through at, so it must match the announced rate.
    // All arithmetic is unsigned 32-bit.
    const ULONG sizeImage = caller->VideoInfoHeader.bmiHeader.biSizeImage;
    ULONG frameRateOverride = 0;
    ReadFrameRateOverride(KV3300_KEY_PATH, u"WFrameRate", &frameRateOverride);
    LONGLONG avgTimePerFrame;
    ULONG bitRate;
    ULONG libraryInterval;
    const bool lines525 = LineSystemIs525(context->standardIndex);
    if (frameRateOverride == 1 && lines525) {
        // Every third 29.97 frame.
        avgTimePerFrame = INTERVAL_10;
        bitRate = sizeImage * 80u;
        libraryInterval = LIBRARY_INTERVAL_10;
    } else if (frameRateOverride == 1) {
        // Every third 25 frame: 8.33 per second.
        avgTimePerFrame = INTERVAL_8_33;
        bitRate = sizeImage * 200u / 3u;
        libraryInterval = LIBRARY_INTERVAL_8_33;
    } else if (lines525) {
        avgTimePerFrame = INTERVAL_2997;
        bitRate = (sizeImage * 8u / 100u) * 2997u;
        libraryInterval = LIBRARY_INTERVAL_2997;
    } else {
        avgTimePerFrame = INTERVAL_25;
        bitRate = sizeImage * 200u;
        libraryInterval = LIBRARY_INTERVAL_25;
    }
    // Set before the buffer checks: a size query also fixes the interval.
    USBCAMD_SetFrameInterval(context, libraryInterval);

    const ULONG biSize = caller->VideoInfoHeader.bmiHeader.biSize;
    const ULONG neededSize = biSize + sizeof(KSDATAFORMAT) + FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
    if (intersect->SizeOfDataFormatBuffer == 0) {
        Srb->ActualBytesTransferred = neededSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (intersect->SizeOfDataFormatBuffer < neededSize || intersect->DataFormatBuffer == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    // Built from the caller's range, not from the driver's own copy.
    auto* format = static_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(intersect->DataFormatBuffer);
    memcpy(&format->DataFormat, &caller->DataRange, sizeof(KSDATAFORMAT));
    format->DataFormat.FormatSize = neededSize;
    memcpy(&format->VideoInfoHeader, &caller->VideoInfoHeader, biSize + FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader));
    format->VideoInfoHeader.AvgTimePerFrame = avgTimePerFrame;
    format->VideoInfoHeader.dwBitRate = bitRate;

    // Whole 32-bit words per row times the row count.
    KS_BITMAPINFOHEADER& bmi = format->VideoInfoHeader.bmiHeader;
    const ULONG rowBytes = ((ULONG)bmi.biWidth * bmi.biBitCount + 31u) / 32u * 4u;
    const ULONG rows = bmi.biHeight < 0 ? 0u - (ULONG)bmi.biHeight : (ULONG)bmi.biHeight;
    bmi.biSizeImage = rowBytes * rows;
    format->DataFormat.SampleSize = bmi.biSizeImage;

    Srb->ActualBytesTransferred = neededSize;
    return STATUS_SUCCESS;
}
