// Bringing the stored settings to the hardware: the decoder's picture
// registers (encodings differ by decoder type), the standard and input, and
// gamma, mirror and flip in the image pipeline.
#include <string.h>

#include "driver/Driver.h"
#include "hw/Hardware.h"
#include "settings/Settings.h"

const LONG DefaultsSequence[DEFAULTS_SEQUENCE_LENGTH] = {58, 39, 114, 301};

namespace {

// Driver-wide, shared by every device.
USHORT SequencePosition = 0;

// Decoder picture registers.
#define REG88_BRIGHTNESS 0x10
#define REG88_CONTRAST 0x11
#define REG88_SHARPNESS 0x12
#define REG88_SATURATION 0x13
#define REG88_SATURATION_2 0x14
#define REG88_HUE 0x15
#define REG4A_BRIGHTNESS 0x0A
#define REG4A_CONTRAST 0x0B
#define REG4A_SATURATION 0x0C
#define REG4A_HUE 0x0D
#define REG5150_BRIGHTNESS 0x09
#define REG5150_SATURATION 0x0A
#define REG5150_HUE 0x0B
#define REG5150_CONTRAST 0x0C

#define GAMMA_WHEN_UNSET 25

bool InRange(LONG v, LONG low, LONG high)
{
    return v >= low && v <= high;
}

VOID WriteDecoder(DeviceContext* Context, USHORT Register, ULONG Value)
{
    I2cWriteAt(Context, Context->decoderI2cAddress, Register, (USHORT)(Value & 0xFFFF));
}

VOID ApplyBrightness(DeviceContext* Context, LONG v)
{
    switch (Context->decoderType) {
    case DECODER_TYPE_88:
        if (!InRange(v, 0, 255)) return;
        Context->brightness = v;
        WriteDecoder(Context, REG88_BRIGHTNESS, v <= 126 ? (ULONG)(v + 128) : v <= 254 ? (ULONG)(v - 127) : 127u);
        break;
    case DECODER_TYPE_4A:
        Context->brightness = InRange(v, 0, 255) ? v : 128;
        WriteDecoder(Context, REG4A_BRIGHTNESS, (ULONG)v & 0xFF);
        break;
    case DECODER_TYPE_5150:
        Context->brightness = v;
        I2cWrite(Context, REG5150_BRIGHTNESS, (USHORT)((ULONG)v & 0xFF));
        break;
    default:
        break;
    }
}

VOID ApplyContrast(DeviceContext* Context, LONG v)
{
    switch (Context->decoderType) {
    case DECODER_TYPE_88:
        if (!InRange(v, 0, 127)) return;
        Context->contrast = v;
        WriteDecoder(Context, REG88_CONTRAST, ((ULONG)v & 0x7F) * 2);
        break;
    case DECODER_TYPE_4A:
        Context->contrast = InRange(v, 0, 127) ? v : 64;
        WriteDecoder(Context, REG4A_CONTRAST, (ULONG)v & 0x7F);
        break;
    case DECODER_TYPE_5150:
        if (InRange(v, 0, 127)) {
            Context->contrast = v;
            I2cWrite(Context, REG5150_CONTRAST, (USHORT)(((ULONG)v & 0x7F) * 2));
        } else {
            Context->contrast = 64;
            I2cWrite(Context, REG5150_CONTRAST, (USHORT)((ULONG)v & 0x7F));
        }
        break;
    default:
        break;
    }
}

VOID ApplySaturation(DeviceContext* Context, LONG v)
{
    const ULONG quarter = (ULONG)(v >> 2) & 0x7F;  // arithmetic shift
    switch (Context->decoderType) {
    case DECODER_TYPE_88: {
        if (!InRange(v, 0, 511)) return;
        Context->saturation = v;
        const ULONG s = v == 0 ? 0u : ((ULONG)((v >> 1) - 1)) & 0xFF;
        WriteDecoder(Context, REG88_SATURATION, s);
        WriteDecoder(Context, REG88_SATURATION_2, s >= 37 ? s - 37 : 0);
        break;
    }
    case DECODER_TYPE_4A:
        Context->saturation = InRange(v, 0, 511) ? v : 256;
        WriteDecoder(Context, REG4A_SATURATION, quarter);
        break;
    case DECODER_TYPE_5150:
        if (InRange(v, 0, 511)) {
            Context->saturation = v;
            I2cWrite(Context, REG5150_SATURATION, (USHORT)(quarter * 2));
        } else {
            Context->saturation = 256;
            I2cWrite(Context, REG5150_SATURATION, (USHORT)quarter);
        }
        break;
    default:
        break;
    }
}

// 180 is no hue shift and maps to 0; 0..179 map to 128..255, 180..360 to 0..127.
ULONG HueRegisterValue(LONG v)
{
    const ULONG t = (ULONG)v & 0x1FF;
    if (t >= 180) {
        return (t - 180) * 127 / 180;
    }
    return 255 - (180 - t) * 127 / 180;
}

VOID ApplyHue(DeviceContext* Context, LONG v)
{
    Context->hue = InRange(v, 0, 360) ? v : 180;
    const ULONG h = HueRegisterValue(v);
    switch (Context->decoderType) {
    case DECODER_TYPE_88:
        WriteDecoder(Context, REG88_HUE, h);
        break;
    case DECODER_TYPE_4A:
        WriteDecoder(Context, REG4A_HUE, h);
        break;
    case DECODER_TYPE_5150:
        I2cWrite(Context, REG5150_HUE, 0);
        I2cWrite(Context, REG5150_HUE, (USHORT)h);
        break;
    default:
        break;
    }
}

VOID ApplySharpness(DeviceContext* Context, LONG v)
{
    if (Context->decoderType == DECODER_TYPE_88) {
        if (!InRange(v, 0, 16)) return;
        Context->sharpness = v;
        ModifyDecoderRegister(Context, Context->decoderI2cAddress, REG88_SHARPNESS, 0xF0, (USHORT)(v & 0x0F));
    } else {
        Context->sharpness = InRange(v, 0, 7) ? v : 3;
    }
}

VOID ApplyGamma(DeviceContext* Context, LONG v)
{
    if (!InRange(v, 0, 64)) return;
    Context->gamma = v;
    ppl_set_gamma(Context->pipelineHandle, v - 32);
}

VOID RestoreFactoryPicture(DeviceContext* Context)
{
    switch (Context->decoderType) {
    case DECODER_TYPE_88: {
        Context->contrast = 48;
        Context->saturation = 254;
        Context->brightness = 127;
        Context->sharpness = 3;
        Context->hue = 180;
        WriteDecoder(Context, REG88_BRIGHTNESS, 0);
        WriteDecoder(Context, REG88_CONTRAST, 96);
        ModifyDecoderRegister(Context, Context->decoderI2cAddress, REG88_SHARPNESS, 0xF0, 3);
        WriteDecoder(Context, REG88_SATURATION, 127);
        WriteDecoder(Context, REG88_SATURATION_2, 90);
        WriteDecoder(Context, REG88_HUE, 0);
        break;
    }
    case DECODER_TYPE_4A:
        // The contrast the register value 71 stands for (v & 0x7F), inside
        // the advertised 0..127.
        Context->contrast = 71;
        Context->saturation = 256;
        Context->brightness = 128;
        Context->hue = 180;
        WriteDecoder(Context, REG4A_BRIGHTNESS, 128);
        WriteDecoder(Context, REG4A_CONTRAST, 71);
        WriteDecoder(Context, REG4A_SATURATION, 64);
        WriteDecoder(Context, REG4A_HUE, 0);
        break;
    case DECODER_TYPE_5150:
        Context->hue = 0;
        Context->brightness = 128;
        // The decoder's own contrast register value 0x80 is contrast 64
        // ((v & 0x7F) x 2), the advertised default; 128 lies outside 0..127.
        Context->contrast = 64;
        Context->saturation = 128;
        break;
    default:
        break;
    }
}

// A request built the way the VIDEOPROCAMP set handler receives one.
struct PictureRequest {
    HW_STREAM_REQUEST_BLOCK srb;
    STREAM_PROPERTY_DESCRIPTOR descriptor;
    KSPROPERTY_VIDEOPROCAMP_S data;
};

VOID PrepareRequest(PictureRequest* Request)
{
    memset(Request, 0, sizeof(*Request));
    Request->data.Property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
    Request->data.Property.Flags = KSPROPERTY_TYPE_SET;
    Request->descriptor.Property = &Request->data.Property;
    Request->descriptor.PropertyInfo = &Request->data;
    Request->descriptor.PropertyInputSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
    Request->descriptor.PropertyOutputSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
    Request->srb.Command = SRB_SET_DEVICE_PROPERTY;
    Request->srb.CommandData.PropertyInfo = &Request->descriptor;
}

VOID ApplyLoaded(DeviceContext* Context, PictureRequest* Request, LONG Code, ULONG PropertyId, LONG Value)
{
    Request->data.Property.Id = PropertyId;
    Request->data.Value = Value;
    ApplyPictureControl(Code, Context, &Request->srb);
}

}  // namespace

USHORT DefaultsSequencePosition(VOID)
{
    return SequencePosition;
}

NTSTATUS ApplyPictureControl(LONG ControlCode, DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
    if (descriptor == nullptr || descriptor->PropertyInfo == nullptr ||
        descriptor->PropertyOutputSize < sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
        return STATUS_SUCCESS;
    }
    const LONG v = static_cast<const KSPROPERTY_VIDEOPROCAMP_S*>(descriptor->PropertyInfo)->Value;

    SelectI2cDevice(Context, DECODER_ADDRESS_5150);

    if (SequencePosition < DEFAULTS_SEQUENCE_LENGTH &&
        (v == DefaultsSequence[SequencePosition] ||
         (SequencePosition == 2 && v == DEFAULTS_SEQUENCE_THIRD_ALTERNATE))) {
        ++SequencePosition;
    } else {
        SequencePosition = 0;
    }

    switch (ControlCode) {
    case CONTROL_BRIGHTNESS:
        ApplyBrightness(Context, v);
        break;
    case CONTROL_SHARPNESS:
        ApplySharpness(Context, v);
        break;
    case CONTROL_CONTRAST:
        ApplyContrast(Context, v);
        break;
    case CONTROL_SATURATION:
        ApplySaturation(Context, v);
        break;
    case CONTROL_HUE:
        ApplyHue(Context, v);
        break;
    case CONTROL_GAMMA:
        ApplyGamma(Context, v);
        break;
    case CONTROL_WHITE_BALANCE:
        if (InRange(v, 0, 256)) Context->whiteBalance = v;
        break;
    default:
        break;
    }

    if (SequencePosition == DEFAULTS_SEQUENCE_LENGTH) {
        RestoreFactoryPicture(Context);
        SequencePosition = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS LoadAndApplySettings(DeviceContext* Context)
{
    LONG* const fields[SETTINGS_COUNT] = {
        &Context->brightness, &Context->contrast,  &Context->saturation,    &Context->hue,
        &Context->gamma,      &Context->sharpness, &Context->whiteBalance,  &Context->mirror,
        &Context->flip,       &Context->aeOn,      &Context->aeLevel,       &Context->whitePoint,
        &Context->quality,    &Context->lowLight,  &Context->highLight,     &Context->lightFlicker,
        &Context->standardIndex, &Context->inputConf, &Context->inputChannel, &Context->qltSpdMode,
        &Context->videoStandard,
    };
    for (LONG* field : fields) {
        *field = -1;
    }
    LoadSettings(Context);

    PictureRequest request;
    PrepareRequest(&request);

    // A decoder left on the wrong standard or input streams black for ever
    // with every status a success: one failed write is tried again, a
    // second failure fails the capture start.
    if (!InRange(Context->standardIndex, STANDARD_INDEX_NTSC, STANDARD_INDEX_PAL_N)) {
        Context->standardIndex = STANDARD_INDEX_NTSC;
    }
    NTSTATUS status = SetVideoStandard(Context, Context->standardIndex);
    if (!NT_SUCCESS(status)) {
        status = SetVideoStandard(Context, Context->standardIndex);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    if (!InRange(Context->inputChannel, 0, 2)) {
        Context->inputChannel = 2;
    }
    status = SelectVideoInput(Context, Context->inputChannel);
    if (!NT_SUCCESS(status)) {
        status = SelectVideoInput(Context, Context->inputChannel);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    if (Context->detectedDecoderType != 0) {
        Context->inputConf = 1;
    }

    if (Context->decoderType == DECODER_TYPE_88) {
        // The user's stored values; the load gave this decoder its own
        // neutral values (48, 254, 180, 3, 127) where nothing was stored.
        ApplyLoaded(Context, &request, CONTROL_CONTRAST, KSPROPERTY_VIDEOPROCAMP_CONTRAST, Context->contrast);
        ApplyLoaded(Context, &request, CONTROL_SATURATION, KSPROPERTY_VIDEOPROCAMP_SATURATION, Context->saturation);
        ApplyLoaded(Context, &request, CONTROL_HUE, KSPROPERTY_VIDEOPROCAMP_HUE, Context->hue);
        ApplyLoaded(Context, &request, CONTROL_SHARPNESS, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, Context->sharpness);
        ApplyLoaded(Context, &request, CONTROL_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, Context->brightness);
    } else if (Context->decoderType == DECODER_TYPE_4A || Context->decoderType == DECODER_TYPE_5150) {
        ApplyLoaded(Context, &request, CONTROL_CONTRAST, KSPROPERTY_VIDEOPROCAMP_CONTRAST, Context->contrast);
        ApplyLoaded(Context, &request, CONTROL_SATURATION, KSPROPERTY_VIDEOPROCAMP_SATURATION, Context->saturation);
        ApplyLoaded(Context, &request, CONTROL_HUE, KSPROPERTY_VIDEOPROCAMP_HUE, Context->hue);
        ApplyLoaded(Context, &request, CONTROL_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, Context->brightness);
    }

    const LONG gamma = InRange(Context->gamma, 0, 64) ? Context->gamma : GAMMA_WHEN_UNSET;
    ApplyLoaded(Context, &request, CONTROL_GAMMA, KSPROPERTY_VIDEOPROCAMP_GAMMA, gamma);

    if (Context->mirror != 0 && Context->mirror != 1) {
        Context->mirror = 0;
    }
    ppl_set_h_mirror(Context->pipelineHandle, (UCHAR)Context->mirror);
    if (Context->flip != 0 && Context->flip != 1) {
        Context->flip = 0;
    }
    ppl_set_v_mirror(Context->pipelineHandle, (UCHAR)Context->flip);
    return STATUS_SUCCESS;
}
