// The standard property sets: video processing amplifier (picture
// controls), video decoder (standard, capabilities, lock) and video control
// (trigger and frame-rate answers; routed, not advertised).
#include "props/Properties.h"

#include "capture/Capture.h"
#include "hw/Hardware.h"
#include "props/PropertyRequest.h"
#include "settings/Settings.h"

namespace {

#define DECODER_STATUS_REGISTER 0x1F
#define DECODER_STATUS_UNLOCKED 0x40  // set while the decoder has no lock

#define LINES_525 525
#define LINES_625 625

// The trigger bits the video control set reports and accepts.
#define VIDEO_CONTROL_TRIGGER_FLAGS (KS_VideoControlFlag_Trigger | KS_VideoControlFlag_ExternalTriggerEnable)
// The still stream those answers are about.
#define VIDEO_CONTROL_TRIGGER_STREAM 1
// The fastest frame interval any bandwidth row gives.
#define FASTEST_FRAME_INTERVAL 333333

// A picture control of the amplifier set: its control code and its save
// selector.
typedef struct _PictureControl {
    LONG controlCode;
    LONG saveSelector;
    LONG minimum, maximum;  // the advertised range
} PictureControl;

BOOLEAN PictureControlOf(ULONG PropertyId, PictureControl* Control)
{
    switch (PropertyId) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS:
        *Control = {CONTROL_BRIGHTNESS, SAVE_BRIGHTNESS, 0, 255};
        return TRUE;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST:
        *Control = {CONTROL_CONTRAST, SAVE_CONTRAST, 0, 127};
        return TRUE;
    case KSPROPERTY_VIDEOPROCAMP_HUE:
        *Control = {CONTROL_HUE, SAVE_HUE, 0, 360};
        return TRUE;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION:
        *Control = {CONTROL_SATURATION, SAVE_SATURATION, 0, 511};
        return TRUE;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS:
        *Control = {CONTROL_SHARPNESS, SAVE_SHARPNESS, 0, 16};
        return TRUE;
    case KSPROPERTY_VIDEOPROCAMP_GAMMA:
        *Control = {CONTROL_GAMMA, SAVE_GAMMA, 0, 64};
        return TRUE;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
        *Control = {CONTROL_WHITE_BALANCE, SAVE_WHITE_BALANCE, 0, 256};
        return TRUE;
    default:
        return FALSE;
    }
}

// The working copy of a picture control, as the last load or set left it.
LONG ReadPictureValue(const DeviceContext* Context, LONG ControlCode)
{
    switch (ControlCode) {
    case CONTROL_BRIGHTNESS:
        return Context->brightness;
    case CONTROL_CONTRAST:
        return Context->contrast;
    case CONTROL_HUE:
        return Context->hue;
    case CONTROL_SATURATION:
        return Context->saturation;
    case CONTROL_SHARPNESS:
        return Context->sharpness;
    case CONTROL_GAMMA:
        return Context->gamma;
    case CONTROL_WHITE_BALANCE:
        return Context->whiteBalance;
    default:
        return 0;
    }
}

inline VOID StoreLonglong(PUCHAR Buffer, ULONG Offset, LONGLONG Value)
{
    memcpy(Buffer + Offset, &Value, sizeof(Value));
}

// Answers "how big" for the video control items: an empty buffer learns the
// size; a short one gets ShortStatus.
NTSTATUS VideoControlSize(const STREAM_PROPERTY_DESCRIPTOR* Descriptor, ULONG Needed, NTSTATUS ShortStatus,
                          PULONG Bytes)
{
    if (Descriptor->PropertyOutputSize == 0) {
        *Bytes = Needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    *Bytes = 0;
    return Descriptor->PropertyOutputSize < Needed ? ShortStatus : STATUS_SUCCESS;
}

}  // namespace

LONG StandardIndexFromAnalogVideoStandard(ULONG Standard)
{
    switch (Standard) {
    case KS_AnalogVideo_NTSC_M:
    case KS_AnalogVideo_NTSC_M_J:
        return STANDARD_INDEX_NTSC;
    case KS_AnalogVideo_PAL_M:
        return STANDARD_INDEX_PAL_M;
    case KS_AnalogVideo_PAL_N:
        return STANDARD_INDEX_PAL_N;
    default:
        break;
    }
    // One SECAM bit alone; a combination is no standard the decoder knows.
    if ((Standard & KS_AnalogVideo_SECAM_Mask) == Standard && Standard != 0 && (Standard & (Standard - 1)) == 0) {
        return STANDARD_INDEX_SECAM;
    }
    return STANDARD_INDEX_PAL;
}

ULONG DecoderSignalLocked(DeviceContext* Context)
{
    const USHORT status = I2cReadAt(Context, Context->decoderI2cAddress, DECODER_STATUS_REGISTER);
    // A decoder that did not answer has no lock to report.
    if (status == REGISTER_READ_FAILED) {
        return 0;
    }
    return (status & DECODER_STATUS_UNLOCKED) == 0 ? 1 : 0;
}

// ------------------------------------------ video processing amplifier ---

NTSTATUS AdapterGetVideoProcAmpProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (!PropertyRequestIsWhole(Srb)) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = PropertyDescriptor(Srb);
    PictureControl control;
    if (!PictureControlOf(PropertyIdOf(descriptor), &control)) {
        return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
    }
    PUCHAR data = DataBuffer(descriptor, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
    if (data == nullptr) {
        ULONG bytes;
        NTSTATUS status = DataTooSmall(TRUE, descriptor, sizeof(KSPROPERTY_VIDEOPROCAMP_S), &bytes);
        return FinishProperty(Srb, status, bytes);
    }
    // The working copy, not the hardware: the decoder registers are not read
    // back. Only the low 16 bits travel, as the value always has.
    const ULONG value = (ULONG)ReadPictureValue(Context, control.controlCode) & 0xFFFFu;
    StoreUlong(data, offsetof(KSPROPERTY_VIDEOPROCAMP_S, Value), value);
    StoreUlong(data, offsetof(KSPROPERTY_VIDEOPROCAMP_S, Flags), KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    StoreUlong(data, offsetof(KSPROPERTY_VIDEOPROCAMP_S, Capabilities), KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    return FinishProperty(Srb, STATUS_SUCCESS, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
}

NTSTATUS AdapterSetVideoProcAmpProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (!PropertyRequestIsWhole(Srb)) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = PropertyDescriptor(Srb);
    PictureControl control;
    if (!PictureControlOf(PropertyIdOf(descriptor), &control)) {
        return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
    }
    if (DataBuffer(descriptor, sizeof(KSPROPERTY_VIDEOPROCAMP_S)) == nullptr) {
        return FinishProperty(Srb, STATUS_BUFFER_TOO_SMALL, 0);
    }
    // A value outside the advertised range is refused: stored and sent on, it
    // would reach the decoder wrapped into another value.
    const LONG value = (LONG)LoadUlong(DataBuffer(descriptor, sizeof(KSPROPERTY_VIDEOPROCAMP_S)),
                                       offsetof(KSPROPERTY_VIDEOPROCAMP_S, Value));
    if (value < control.minimum || value > control.maximum) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    NTSTATUS status = ApplyPictureControl(control.controlCode, Context, Srb);
    if (NT_SUCCESS(status)) {
        SaveSettings(Context, control.saveSelector);
    }
    return FinishProperty(Srb, status, status == STATUS_SUCCESS ? sizeof(KSPROPERTY_VIDEOPROCAMP_S) : 0);
}

// ---------------------------------------------------------- video decoder ---

NTSTATUS AdapterGetAnalogVideoDecoderProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (!PropertyRequestIsWhole(Srb)) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    DbgPrint("AdapterGetAnalogVideoDecoderProperty\n");
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = PropertyDescriptor(Srb);
    ULONG bytes = 0;
    PUCHAR data;

    switch (PropertyIdOf(descriptor)) {
    case KSPROPERTY_VIDEODECODER_CAPS:
        DbgPrint("KSPROPERTY_VIDEODECODER_CAPS\n");
        data = DataBuffer(descriptor, sizeof(KSPROPERTY_VIDEODECODER_CAPS_S));
        if (data == nullptr) {
            NTSTATUS status = DataTooSmall(TRUE, descriptor, sizeof(KSPROPERTY_VIDEODECODER_CAPS_S), &bytes);
            return FinishProperty(Srb, status, bytes);
        }
        StoreUlong(data, offsetof(KSPROPERTY_VIDEODECODER_CAPS_S, StandardsSupported), DECODER_STANDARDS_SUPPORTED);
        StoreUlong(data, offsetof(KSPROPERTY_VIDEODECODER_CAPS_S, Capabilities), DECODER_CAPABILITIES);
        StoreUlong(data, offsetof(KSPROPERTY_VIDEODECODER_CAPS_S, SettlingTime), DECODER_SETTLING_TIME_MS);
        StoreUlong(data, offsetof(KSPROPERTY_VIDEODECODER_CAPS_S, HSyncPerVSync), DECODER_HSYNC_PER_VSYNC);
        return FinishProperty(Srb, STATUS_SUCCESS, sizeof(KSPROPERTY_VIDEODECODER_CAPS_S));

    case KSPROPERTY_VIDEODECODER_STANDARD:
        data = DataBuffer(descriptor, sizeof(KSPROPERTY_VIDEODECODER_S));
        if (data == nullptr) {
            NTSTATUS status = DataTooSmall(TRUE, descriptor, sizeof(KSPROPERTY_VIDEODECODER_S), &bytes);
            return FinishProperty(Srb, status, bytes);
        }
        StoreUlong(data, offsetof(KSPROPERTY_VIDEODECODER_S, Value), (ULONG)Context->videoStandard);
        return FinishProperty(Srb, STATUS_SUCCESS, sizeof(KSPROPERTY_VIDEODECODER_S));

    case KSPROPERTY_VIDEODECODER_STATUS: {
        DbgPrint("KSPROPERTY_VIDEODECODER_STATUS\n");
        data = DataBuffer(descriptor, sizeof(KSPROPERTY_VIDEODECODER_STATUS_S));
        if (data == nullptr) {
            NTSTATUS status = DataTooSmall(TRUE, descriptor, sizeof(KSPROPERTY_VIDEODECODER_STATUS_S), &bytes);
            return FinishProperty(Srb, status, bytes);
        }
        // The line count of the standard in force (PAL-M runs 525 lines).
        const ULONG lines = StandardIs525Lines(Context->standardIndex) ? LINES_525 : LINES_625;
        StoreUlong(data, offsetof(KSPROPERTY_VIDEODECODER_STATUS_S, NumberOfLines), lines);
        StoreUlong(data, offsetof(KSPROPERTY_VIDEODECODER_STATUS_S, SignalLocked), DecoderSignalLocked(Context));
        return FinishProperty(Srb, STATUS_SUCCESS, sizeof(KSPROPERTY_VIDEODECODER_STATUS_S));
    }

    default:
        return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
    }
}

NTSTATUS AdapterSetAnalogVideoDecoderProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (!PropertyRequestIsWhole(Srb)) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    DbgPrint("KSPROPERTY_VIDEODECODER_STANDARD\n");
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = PropertyDescriptor(Srb);
    if (PropertyIdOf(descriptor) != KSPROPERTY_VIDEODECODER_STANDARD) {
        return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
    }
    PUCHAR data = DataBuffer(descriptor, sizeof(KSPROPERTY_VIDEODECODER_S));
    if (data == nullptr) {
        return FinishProperty(Srb, STATUS_BUFFER_TOO_SMALL, 0);
    }
    // An unlisted value runs as PAL and the KS value is kept as given, so that
    // a get returns what was set. PAL-60 and NTSC-4.43 are 525-line systems
    // the decoder cannot run: as PAL they would be captured at 25 frames.
    const ULONG standard = LoadUlong(data, offsetof(KSPROPERTY_VIDEODECODER_S, Value));
    if ((standard & (KS_AnalogVideo_NTSC_433 | KS_AnalogVideo_PAL_60)) != 0) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    Context->standardIndex = StandardIndexFromAnalogVideoStandard(standard);
    Context->videoStandard = (LONG)standard;
    SetVideoStandard(Context, Context->standardIndex);
    // The index is saved now too, with "VideoStandard": every capture start
    // reloads it from the registry, so a standard chosen before the stream
    // runs would otherwise be undone by the start itself.
    SaveSettings(Context, SAVE_INPUT_SOURCE);
    // A set answers nothing back.
    return FinishProperty(Srb, STATUS_SUCCESS, Srb->ActualBytesTransferred);
}

// ---------------------------------------------------------- video control ---

NTSTATUS AdapterGetVideoControlProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (!PropertyRequestIsWhole(Srb)) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = PropertyDescriptor(Srb);
    ULONG bytes = 0;
    NTSTATUS status;
    PUCHAR data;

    switch (PropertyIdOf(descriptor)) {
    case KSPROPERTY_VIDEOCONTROL_CAPS:
        data = DataBuffer(descriptor, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S));
        if (data == nullptr) {
            status = DataTooSmall(TRUE, descriptor, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S), &bytes);
            return FinishProperty(Srb, status, bytes);
        }
        if (LoadUlong(data, offsetof(KSPROPERTY_VIDEOCONTROL_CAPS_S, StreamIndex)) != VIDEO_CONTROL_TRIGGER_STREAM) {
            return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
        }
        StoreUlong(data, offsetof(KSPROPERTY_VIDEOCONTROL_CAPS_S, VideoControlCaps), VIDEO_CONTROL_TRIGGER_FLAGS);
        return FinishProperty(Srb, STATUS_SUCCESS, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S));

    case KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE: {
        status = VideoControlSize(descriptor, sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S),
                                  STATUS_NOT_SUPPORTED, &bytes);
        if (status != STATUS_SUCCESS) {
            return FinishProperty(Srb, status, bytes);
        }
        data = static_cast<PUCHAR>(descriptor->PropertyInfo);
        if (LoadUlong(data, offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, StreamIndex)) ==
                VIDEO_CONTROL_TRIGGER_STREAM ||
            Context->streamOpened != 1) {
            return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
        }
        const ULONG row = Context->alternateSettingIndex <= ALTERNATE_SETTING_ROWS ? Context->alternateSettingIndex : 0;
        const LONGLONG actual = AlternateSettingTable[row].frameInterval;
        StoreLonglong(data, offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentActualFrameRate), actual);
        StoreLonglong(data, offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentMaxAvailableFrameRate),
                      Context->bandwidthReduced ? actual : FASTEST_FRAME_INTERVAL);
        return FinishProperty(Srb, STATUS_SUCCESS, sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S));
    }

    case KSPROPERTY_VIDEOCONTROL_FRAME_RATES: {
        const ULONG needed = sizeof(KSMULTIPLE_ITEM) + ALTERNATE_SETTING_ROWS * sizeof(LONGLONG);
        status = VideoControlSize(descriptor, needed, STATUS_BUFFER_TOO_SMALL, &bytes);
        if (status != STATUS_SUCCESS) {
            return FinishProperty(Srb, status, bytes);
        }
        data = static_cast<PUCHAR>(descriptor->PropertyInfo);
        // Size covers the header and the intervals, as a counted list does.
        const KSMULTIPLE_ITEM header = {needed, ALTERNATE_SETTING_ROWS};
        memcpy(data, &header, sizeof(header));
        for (ULONG row = 1; row <= ALTERNATE_SETTING_ROWS; ++row) {
            StoreLonglong(data, sizeof(KSMULTIPLE_ITEM) + (row - 1) * sizeof(LONGLONG),
                          AlternateSettingTable[row].frameInterval);
        }
        return FinishProperty(Srb, STATUS_SUCCESS, needed);
    }

    case KSPROPERTY_VIDEOCONTROL_MODE:
        status = VideoControlSize(descriptor, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S), STATUS_NOT_SUPPORTED, &bytes);
        if (status != STATUS_SUCCESS) {
            return FinishProperty(Srb, status, bytes);
        }
        data = static_cast<PUCHAR>(descriptor->PropertyInfo);
        StoreUlong(data, offsetof(KSPROPERTY_VIDEOCONTROL_MODE_S, Mode), VIDEO_CONTROL_TRIGGER_FLAGS);
        return FinishProperty(Srb, STATUS_SUCCESS, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S));

    default:
        return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
    }
}

NTSTATUS AdapterSetVideoControlProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (!PropertyRequestIsWhole(Srb)) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    UNREFERENCED_PARAMETER(Context);
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = PropertyDescriptor(Srb);
    if (PropertyIdOf(descriptor) != KSPROPERTY_VIDEOCONTROL_MODE) {
        return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
    }
    PUCHAR data = DataBuffer(descriptor, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S));
    if (data == nullptr) {
        return FinishProperty(Srb, STATUS_BUFFER_TOO_SMALL, 0);
    }
    // The trigger mode is accepted and changes nothing; any other mode is
    // refused rather than left with whatever status the request came in with.
    const ULONG stream = LoadUlong(data, offsetof(KSPROPERTY_VIDEOCONTROL_MODE_S, StreamIndex));
    const ULONG mode = LoadUlong(data, offsetof(KSPROPERTY_VIDEOCONTROL_MODE_S, Mode));
    if (stream == VIDEO_CONTROL_TRIGGER_STREAM && (mode & VIDEO_CONTROL_TRIGGER_FLAGS) != 0) {
        return FinishProperty(Srb, STATUS_SUCCESS, 0);
    }
    return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
}
