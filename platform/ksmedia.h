// Video records of kernel streaming: bitmap and video-info headers, video
// data ranges and formats, the frame-info extension of stream headers, the
// payload records of the video capture property sets, and their ids, flags
// and GUIDs.
//
// None of the format or property payload records carries a pointer, so they
// have the same layout on every target (the frame-info extension is the
// exception: it holds two handles).
#pragma once

#include "ks.h"
#include "ntdef.h"

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE;

// ----------------------------------------------------------- video formats ---

// biCompression values; YUV formats carry their FOURCC (little-endian ASCII).
#define KS_BI_RGB 0
#define KS_BI_RLE8 1
#define KS_BI_RLE4 2
#define KS_BI_BITFIELDS 3

typedef struct tagKS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;  // positive: bottom-up rows
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

// The colour table or bit fields that may follow bmiHeader are not part of
// this record.
typedef struct tagKS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;  // 100 ns units
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

// Bytes of a KS_VIDEOINFOHEADER in front of its bitmap header, and the size of
// a whole header for the bitmap header's own biSize.
#define KS_SIZE_PREHEADER (FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader))
#define KS_SIZE_VIDEOHEADER(pbmi) ((pbmi)->bmiHeader.biSize + KS_SIZE_PREHEADER)

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

// Note the four bytes of padding after ShrinkTapsY: MinFrameInterval is
// 8-aligned. Range comparisons that cover the whole block see them.
typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;  // KS_AnalogVideo_* bits
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    INT CropGranularityX;
    INT CropGranularityY;
    INT CropAlignX;
    INT CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    INT OutputGranularityX;
    INT OutputGranularityY;
    INT StretchTapsX;
    INT StretchTapsY;
    INT ShrinkTapsX;
    INT ShrinkTapsY;
    LONGLONG MinFrameInterval;  // 100 ns units
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

// KS_DATARANGE_VIDEO.StreamDescriptionFlags
#define KS_VIDEOSTREAM_PREVIEW 0x0001
#define KS_VIDEOSTREAM_CAPTURE 0x0002
#define KS_VIDEOSTREAM_VBI 0x0010
#define KS_VIDEOSTREAM_NABTS 0x0020
#define KS_VIDEOSTREAM_CC 0x0100
#define KS_VIDEOSTREAM_EDS 0x0200
#define KS_VIDEOSTREAM_TELETEXT 0x0400
#define KS_VIDEOSTREAM_STILL 0x1000
#define KS_VIDEOSTREAM_IS_VPE 0x8000

// KS_DATARANGE_VIDEO.MemoryAllocationFlags (0: system memory)
#define KS_VIDEO_ALLOC_VPE_SYSTEM 0x0001
#define KS_VIDEO_ALLOC_VPE_DISPLAY 0x0002
#define KS_VIDEO_ALLOC_VPE_AGP 0x0004

typedef struct tagKS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

// KS_FRAME_INFO.dwFrameFlags
#define KS_VIDEO_FLAG_FRAME 0x0000
#define KS_VIDEO_FLAG_FIELD1 0x0001
#define KS_VIDEO_FLAG_FIELD2 0x0002
#define KS_VIDEO_FLAG_I_FRAME 0x0000
#define KS_VIDEO_FLAG_P_FRAME 0x0010
#define KS_VIDEO_FLAG_B_FRAME 0x0020

// Extension behind each KSSTREAM_HEADER of a video capture read.
typedef struct tagKS_FRAME_INFO {
    ULONG ExtendedHeaderSize;  // sizeof(KS_FRAME_INFO)
    DWORD dwFrameFlags;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    HANDLE hDirectDraw;
    HANDLE hSurfaceHandle;
    RECT DirectDrawRect;
    DWORD Reserved1;
    DWORD Reserved2;
    DWORD Reserved3;
    DWORD Reserved4;
} KS_FRAME_INFO, *PKS_FRAME_INFO;

// --------------------------------------------------------- analog standards ---

typedef enum : ULONG {
    KS_AnalogVideo_None = 0x00000000,
    KS_AnalogVideo_NTSC_M = 0x00000001,
    KS_AnalogVideo_NTSC_M_J = 0x00000002,
    KS_AnalogVideo_NTSC_433 = 0x00000004,
    KS_AnalogVideo_PAL_B = 0x00000010,
    KS_AnalogVideo_PAL_D = 0x00000020,
    KS_AnalogVideo_PAL_G = 0x00000040,
    KS_AnalogVideo_PAL_H = 0x00000080,
    KS_AnalogVideo_PAL_I = 0x00000100,
    KS_AnalogVideo_PAL_M = 0x00000200,
    KS_AnalogVideo_PAL_N = 0x00000400,
    KS_AnalogVideo_PAL_60 = 0x00000800,
    KS_AnalogVideo_SECAM_B = 0x00001000,
    KS_AnalogVideo_SECAM_D = 0x00002000,
    KS_AnalogVideo_SECAM_G = 0x00004000,
    KS_AnalogVideo_SECAM_H = 0x00008000,
    KS_AnalogVideo_SECAM_K = 0x00010000,
    KS_AnalogVideo_SECAM_K1 = 0x00020000,
    KS_AnalogVideo_SECAM_L = 0x00040000,
    KS_AnalogVideo_SECAM_L1 = 0x00080000,
    KS_AnalogVideo_PAL_N_COMBO = 0x00100000,
} KS_AnalogVideoStandard;

#define KS_AnalogVideo_NTSC_Mask 0x00000007
#define KS_AnalogVideo_PAL_Mask 0x00100FF0
#define KS_AnalogVideo_SECAM_Mask 0x000FF000

// ------------------------------------------- video processing amplifier set ---

typedef enum {
    KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS = 0,
    KSPROPERTY_VIDEOPROCAMP_CONTRAST = 1,
    KSPROPERTY_VIDEOPROCAMP_HUE = 2,
    KSPROPERTY_VIDEOPROCAMP_SATURATION = 3,
    KSPROPERTY_VIDEOPROCAMP_SHARPNESS = 4,
    KSPROPERTY_VIDEOPROCAMP_GAMMA = 5,
    KSPROPERTY_VIDEOPROCAMP_COLORENABLE = 6,
    KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE = 7,
    KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION = 8,
    KSPROPERTY_VIDEOPROCAMP_GAIN = 9,
} KSPROPERTY_VIDCAP_VIDEOPROCAMP;

#define KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO 0x0001
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL 0x0002

// 36 bytes of fields, 40 with the tail padding of the 8-aligned header; the
// sizes that property tables announce are the padded ones.
typedef struct {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;         // KSPROPERTY_VIDEOPROCAMP_FLAGS_*
    ULONG Capabilities;  // KSPROPERTY_VIDEOPROCAMP_FLAGS_*
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;

// ------------------------------------------------------ video decoder set ---

typedef enum {
    KSPROPERTY_VIDEODECODER_CAPS = 0,
    KSPROPERTY_VIDEODECODER_STANDARD = 1,
    KSPROPERTY_VIDEODECODER_STATUS = 2,
    KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE = 3,
    KSPROPERTY_VIDEODECODER_VCR_TIMING = 4,
} KSPROPERTY_VIDCAP_VIDEODECODER;

typedef enum {
    KS_VIDEODECODER_FLAGS_CAN_DISABLE_OUTPUT = 0x0001,
    KS_VIDEODECODER_FLAGS_CAN_USE_VCR_LOCKING = 0x0002,
    KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED = 0x0004,
} KS_VIDEODECODER_FLAGS;

typedef struct {
    KSPROPERTY Property;
    ULONG StandardsSupported;  // KS_AnalogVideo_* bits
    ULONG Capabilities;        // KS_VIDEODECODER_FLAGS_*
    ULONG SettlingTime;        // milliseconds
    ULONG HSyncPerVSync;
} KSPROPERTY_VIDEODECODER_CAPS_S, *PKSPROPERTY_VIDEODECODER_CAPS_S;

typedef struct {
    KSPROPERTY Property;
    ULONG NumberOfLines;  // 525 or 625
    ULONG SignalLocked;   // 0 or 1
} KSPROPERTY_VIDEODECODER_STATUS_S, *PKSPROPERTY_VIDEODECODER_STATUS_S;

// 28 bytes of fields, 32 with tail padding.
typedef struct {
    KSPROPERTY Property;
    ULONG Value;  // a KS_AnalogVideo_* bit, or a BOOL-like switch
} KSPROPERTY_VIDEODECODER_S, *PKSPROPERTY_VIDEODECODER_S;

// ------------------------------------------------------ video control set ---

typedef enum {
    KSPROPERTY_VIDEOCONTROL_CAPS = 0,
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE = 1,
    KSPROPERTY_VIDEOCONTROL_FRAME_RATES = 2,
    KSPROPERTY_VIDEOCONTROL_MODE = 3,
} KSPROPERTY_VIDCAP_VIDEOCONTROL;

typedef enum {
    KS_VideoControlFlag_FlipHorizontal = 0x0001,
    KS_VideoControlFlag_FlipVertical = 0x0002,
    KS_VideoControlFlag_ExternalTriggerEnable = 0x0004,
    KS_VideoControlFlag_Trigger = 0x0008,
} KS_VideoControlFlags;

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG VideoControlCaps;  // KS_VideoControlFlag_* bits
} KSPROPERTY_VIDEOCONTROL_CAPS_S, *PKSPROPERTY_VIDEOCONTROL_CAPS_S;

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    LONG Mode;  // KS_VideoControlFlag_* bits
} KSPROPERTY_VIDEOCONTROL_MODE_S, *PKSPROPERTY_VIDEOCONTROL_MODE_S;

// Frame "rates" in this set are frame intervals in 100 ns units.
typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG RangeIndex;
    SIZE Dimensions;
    LONGLONG CurrentActualFrameRate;
    LONGLONG CurrentMaxAvailableFrameRate;
} KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, *PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S;

// The request record only; the answer is a KSMULTIPLE_ITEM followed by Count
// LONGLONG intervals.
typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG RangeIndex;
    SIZE Dimensions;
} KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S, *PKSPROPERTY_VIDEOCONTROL_FRAME_RATES_S;

// ------------------------------------------------------ dropped frames set ---

typedef enum {
    KSPROPERTY_DROPPEDFRAMES_CURRENT = 0,
} KSPROPERTY_VIDCAP_DROPPEDFRAMES;

typedef struct {
    KSPROPERTY Property;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;

// ------------------------------------------------------------------- GUIDs ---

// {73646976-0000-0010-8000-00AA00389B71} ("vids")
inline constexpr GUID KSDATAFORMAT_TYPE_VIDEO =
    DEFINE_GUID_VALUE(0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
// {05589F80-C356-11CE-BF01-00AA0055595A}
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO =
    DEFINE_GUID_VALUE(0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);

// Sub-types. The FOURCC ones are {FOURCC-0000-0010-8000-00AA00389B71}.
inline constexpr GUID MEDIASUBTYPE_YUY2 =
    DEFINE_GUID_VALUE(0x32595559, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
inline constexpr GUID MEDIASUBTYPE_I420 =
    DEFINE_GUID_VALUE(0x30323449, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
inline constexpr GUID MEDIASUBTYPE_IYUV =
    DEFINE_GUID_VALUE(0x56555949, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
// {E436EB7D-524F-11CE-9F53-0020AF0BA770}
inline constexpr GUID MEDIASUBTYPE_RGB24 =
    DEFINE_GUID_VALUE(0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);

// {FB6C4281-0353-11D1-905F-0000C0CC16BA}
inline constexpr GUID PINNAME_VIDEO_CAPTURE =
    DEFINE_GUID_VALUE(0xFB6C4281, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA);
// {FB6C4282-0353-11D1-905F-0000C0CC16BA}
inline constexpr GUID PINNAME_VIDEO_PREVIEW =
    DEFINE_GUID_VALUE(0xFB6C4282, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA);

// {6994AD05-93EF-11D0-A3CC-00A0C9223196}
inline constexpr GUID KSCATEGORY_VIDEO =
    DEFINE_GUID_VALUE(0x6994AD05, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
// {A799A800-A46D-11D0-A18C-00A02401DCD4}
inline constexpr GUID KSCATEGORY_TVTUNER =
    DEFINE_GUID_VALUE(0xA799A800, 0xA46D, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4);

// {C6E13360-30AC-11D0-A18C-00A0C9118956}
inline constexpr GUID PROPSETID_VIDCAP_VIDEOPROCAMP =
    DEFINE_GUID_VALUE(0xC6E13360, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56);
// {C6E13350-30AC-11D0-A18C-00A0C9118956}
inline constexpr GUID PROPSETID_VIDCAP_VIDEODECODER =
    DEFINE_GUID_VALUE(0xC6E13350, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56);
// {6A2E0670-28E4-11D0-A18C-00A0C9118956}
inline constexpr GUID PROPSETID_VIDCAP_VIDEOCONTROL =
    DEFINE_GUID_VALUE(0x6A2E0670, 0x28E4, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56);
// {C6E13344-30AC-11D0-A18C-00A0C9118956}
inline constexpr GUID PROPSETID_VIDCAP_DROPPEDFRAMES =
    DEFINE_GUID_VALUE(0xC6E13344, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56);

// --------------------------------------------------------- layout checks ---
// These records carry no pointer: the same sizes hold on every target.

static_assert(sizeof(RECT) == 16 && sizeof(SIZE) == 8, "RECT, SIZE");
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88 && offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48,
              "KS_VIDEOINFOHEADER");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "KS_DATAFORMAT_VIDEOINFOHEADER");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128 &&
                  offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104,
              "KS_VIDEO_STREAM_CONFIG_CAPS");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296 && offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80 &&
                  offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208,
              "KS_DATARANGE_VIDEO");
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40, "KSPROPERTY_VIDEOPROCAMP_S");
static_assert(sizeof(KSPROPERTY_VIDEODECODER_CAPS_S) == 40, "KSPROPERTY_VIDEODECODER_CAPS_S");
static_assert(sizeof(KSPROPERTY_VIDEODECODER_STATUS_S) == 32, "KSPROPERTY_VIDEODECODER_STATUS_S");
static_assert(sizeof(KSPROPERTY_VIDEODECODER_S) == 32, "KSPROPERTY_VIDEODECODER_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32, "KSPROPERTY_VIDEOCONTROL_CAPS_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32, "KSPROPERTY_VIDEOCONTROL_MODE_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56,
              "KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40, "KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S");
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48, "KSPROPERTY_DROPPEDFRAMES_CURRENT_S");

#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sizeof(KS_FRAME_INFO) == 72, "KS_FRAME_INFO (64-bit)");
#endif
