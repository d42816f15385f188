// The device property sets and the routing of property requests by set.
//
// The stream class checks every request against these tables (set, id,
// direction, MinProperty, MinData) before the driver sees it, and answers
// range and default queries from the value records, so the tables are what
// an application learns about the controls.
#include "props/Properties.h"

#include "props/PropertyRequest.h"

namespace {

// ------------------------------------------ video processing amplifier ---

// One picture control: its range (stepping 1) and its default, as a
// KSPROPERTY_VALUES record with a range list and a default-value list. The
// default list holds one value and counts one: whoever reads the members
// trusts MembersCount.
#define PICTURE_CONTROL_VALUES(name, minimum, maximum, defaultValue)                                 \
    const KSPROPERTY_STEPPING_LONG name##Range = {1, 0, {{minimum, maximum}}};                      \
    const LONG name##Default = defaultValue;                                                          \
    const KSPROPERTY_MEMBERSLIST name##Members[2] = {                                                 \
        {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &name##Range},            \
        {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &name##Default}, \
    };                                                                                                \
    const KSPROPERTY_VALUES name##Values = {{{{KSPROPTYPESETID_General, VT_I4, 0}}}, 2, name##Members};

// Ranges and defaults are the values the picture controls accept and the
// ones a capture start applies when nothing is stored. Gamma defaults to
// 25, what the device runs with before anyone chose; sharpness to 3, the
// value the type 110 decoder is set to at every capture start.
PICTURE_CONTROL_VALUES(Brightness, 0, 255, 128)
PICTURE_CONTROL_VALUES(Saturation, 0, 511, 256)
PICTURE_CONTROL_VALUES(Hue, 0, 360, 180)
PICTURE_CONTROL_VALUES(Contrast, 0, 127, 64)
PICTURE_CONTROL_VALUES(Gamma, 0, 64, 25)
PICTURE_CONTROL_VALUES(Sharpness, 0, 16, 3)

#define PROCAMP_ITEM(id, values)                                                                         \
    {.PropertyId = id, .GetSupported = TRUE, .MinProperty = sizeof(KSPROPERTY_VIDEOPROCAMP_S),            \
     .MinData = sizeof(KSPROPERTY_VIDEOPROCAMP_S), .SetSupported = TRUE, .Values = &values##Values,       \
     .RelationsCount = 0, .Relations = nullptr, .SupportHandler = nullptr, .SerializedSize = sizeof(ULONG)}

// Gamma acts on every decoder (it is the pipeline's). Sharpness reaches the
// hardware only on decoder type 110, which is the one that gets the short
// table; elsewhere it would be a control that does nothing, and so would
// white balance everywhere, so neither is offered there.
const KSPROPERTY_ITEM ProcAmpItemsFull[] = {
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, Brightness),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, Saturation),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_HUE, Hue),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, Contrast),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_GAMMA, Gamma),
};

const KSPROPERTY_ITEM ProcAmpItemsShort[] = {
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, Brightness),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, Saturation),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_HUE, Hue),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, Contrast),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_GAMMA, Gamma),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, Sharpness),
};

// The low-bandwidth converters take no gamma: on such a device the control
// would be listed and do nothing.
const KSPROPERTY_ITEM ProcAmpItemsFullSmall[] = {
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, Brightness),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, Saturation),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_HUE, Hue),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, Contrast),
};

const KSPROPERTY_ITEM ProcAmpItemsShortSmall[] = {
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, Brightness),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, Saturation),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_HUE, Hue),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, Contrast),
    PROCAMP_ITEM(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, Sharpness),
};

// ---------------------------------------------------------- video decoder ---

#define DECODER_ITEM(id, get, set, size)                                                                  \
    {.PropertyId = id, .GetSupported = get, .MinProperty = size, .MinData = size, .SetSupported = set,    \
     .Values = nullptr, .RelationsCount = 0, .Relations = nullptr, .SupportHandler = nullptr,             \
     .SerializedSize = 0}

const KSPROPERTY_ITEM DecoderItems[] = {
    DECODER_ITEM(KSPROPERTY_VIDEODECODER_CAPS, TRUE, FALSE, sizeof(KSPROPERTY_VIDEODECODER_CAPS_S)),
    DECODER_ITEM(KSPROPERTY_VIDEODECODER_STANDARD, TRUE, TRUE, sizeof(KSPROPERTY_VIDEODECODER_S)),
    DECODER_ITEM(KSPROPERTY_VIDEODECODER_STATUS, TRUE, FALSE, sizeof(KSPROPERTY_VIDEODECODER_STATUS_S)),
};

#define ITEM_COUNT(items) ((ULONG)(sizeof(items) / sizeof((items)[0])))

}  // namespace

// The video control set is routed below but advertised in neither table:
// its answers describe a trigger stream this device does not have, a mode
// set that changes nothing and frame rates of bandwidth rows rather than of
// the pin's formats, so an application told about it would offer controls
// that do nothing.
const KSPROPERTY_SET DevicePropertySetsFull[DEVICE_PROPERTY_SETS_FULL] = {
    {&PROPSETID_PRIVATE_CONTROL, VENDOR_PROPERTY_ITEMS, VendorPropertyItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, ITEM_COUNT(ProcAmpItemsFull), ProcAmpItemsFull, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEODECODER, ITEM_COUNT(DecoderItems), DecoderItems, 0, nullptr},
};

const KSPROPERTY_SET DevicePropertySetsShort[DEVICE_PROPERTY_SETS_SHORT] = {
    {&PROPSETID_PRIVATE_CONTROL, VENDOR_PROPERTY_ITEMS, VendorPropertyItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, ITEM_COUNT(ProcAmpItemsShort), ProcAmpItemsShort, 0, nullptr},
};

namespace {

const KSPROPERTY_SET DevicePropertySetsFullSmall[DEVICE_PROPERTY_SETS_FULL] = {
    {&PROPSETID_PRIVATE_CONTROL, VENDOR_PROPERTY_ITEMS, VendorPropertyItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, ITEM_COUNT(ProcAmpItemsFullSmall), ProcAmpItemsFullSmall, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEODECODER, ITEM_COUNT(DecoderItems), DecoderItems, 0, nullptr},
};

const KSPROPERTY_SET DevicePropertySetsShortSmall[DEVICE_PROPERTY_SETS_SHORT] = {
    {&PROPSETID_PRIVATE_CONTROL, VENDOR_PROPERTY_ITEMS, VendorPropertyItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, ITEM_COUNT(ProcAmpItemsShortSmall), ProcAmpItemsShortSmall, 0, nullptr},
};

}  // namespace

const KSPROPERTY_SET* GetDevicePropertySets(const DeviceContext* Context, PULONG Count)
{
    // A device started in the low-bandwidth mode lists no gamma.
    const bool small = Context->detectedDecoderType != DECODER_TYPE_NONE && Context->highBandwidth == 0;
    if (Context->decoderType >= DECODER_TYPE_4A && Context->decoderType <= DECODER_TYPE_5150) {
        *Count = DEVICE_PROPERTY_SETS_FULL;
        return small ? DevicePropertySetsFullSmall : DevicePropertySetsFull;
    }
    *Count = DEVICE_PROPERTY_SETS_SHORT;
    return small ? DevicePropertySetsShortSmall : DevicePropertySetsShort;
}

NTSTATUS AdapterPropertyDispatch(BOOLEAN Get, DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (!PropertyRequestIsWhole(Srb)) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = PropertyDescriptor(Srb);

    GUID set;
    memcpy(&set, descriptor->Property, sizeof(set));
    if (IsEqualGUIDBytes(set, PROPSETID_VIDCAP_VIDEOPROCAMP)) {
        return Get ? AdapterGetVideoProcAmpProperty(Context, Srb) : AdapterSetVideoProcAmpProperty(Context, Srb);
    }
    if (IsEqualGUIDBytes(set, PROPSETID_PRIVATE_CONTROL)) {
        return Get ? GetVendorProperty(Context, Srb) : SetVendorProperty(Context, Srb);
    }
    if (IsEqualGUIDBytes(set, PROPSETID_VIDCAP_VIDEOCONTROL)) {
        return Get ? AdapterGetVideoControlProperty(Context, Srb) : AdapterSetVideoControlProperty(Context, Srb);
    }
    if (IsEqualGUIDBytes(set, PROPSETID_VIDCAP_VIDEODECODER)) {
        return Get ? AdapterGetAnalogVideoDecoderProperty(Context, Srb)
                   : AdapterSetAnalogVideoDecoderProperty(Context, Srb);
    }
    return FinishProperty(Srb, STATUS_NOT_SUPPORTED, 0);
}
