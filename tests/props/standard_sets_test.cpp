// The advertised property sets and the standard sets, through the stream
// class emulation on the simulated board: which sets each decoder offers,
// what an application learns from their value records, the picture
// controls, the video standard with its lock status, and the video control
// handlers that no table advertises.
#include "tests/props/props_fixture.h"

#include <algorithm>

#include "capture/Capture.h"
#include "settings/Settings.h"

using namespace propstest;

namespace {

using DecoderKind = sim::DecoderKind;

class StandardSetsTest : public PropsTest {
protected:
    sc::Result SetStandard(ULONG standard)
    {
        KSPROPERTY_VIDEODECODER_S record{};
        record.Value = standard;
        auto r = sc::PropertyRequest::Record(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, record);
        return Set(r);
    }

    KSPROPERTY_VIDEODECODER_STATUS_S DecoderStatus()
    {
        auto r = sc::PropertyRequest::Make(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS,
                                           sizeof(KSPROPERTY_VIDEODECODER_STATUS_S),
                                           sizeof(KSPROPERTY_VIDEODECODER_STATUS_S));
        const sc::Result result = Get(r);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.actualBytes, sizeof(KSPROPERTY_VIDEODECODER_STATUS_S));
        return r.DataAs<KSPROPERTY_VIDEODECODER_STATUS_S>();
    }

    sc::Result ProcAmp(bool set, ULONG id, LONG value, KSPROPERTY_VIDEOPROCAMP_S* answer = nullptr)
    {
        KSPROPERTY_VIDEOPROCAMP_S record{};
        record.Value = value;
        auto r = sc::PropertyRequest::Record(PROPSETID_VIDCAP_VIDEOPROCAMP, id, record);
        const sc::Result result = set ? Set(r) : Get(r);
        if (answer) *answer = r.DataAs<KSPROPERTY_VIDEOPROCAMP_S>();
        return result;
    }

    // The answer to KSPROPERTY_TYPE_BASICSUPPORT for a picture control.
    struct Support {
        sc::Result result;
        KSPROPERTY_DESCRIPTION description;
        KSPROPERTY_MEMBERSHEADER rangeHeader;
        KSPROPERTY_STEPPING_LONG range;
        KSPROPERTY_MEMBERSHEADER defaultHeader;
        LONG defaultValue;
    };
    Support BasicSupport(ULONG id)
    {
        auto r = sc::PropertyRequest::Make(PROPSETID_VIDCAP_VIDEOPROCAMP, id, 256, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
        r.flags = KSPROPERTY_TYPE_BASICSUPPORT;
        Support s{};
        s.result = Get(r);
        size_t at = 0;
        auto take = [&](void* out, size_t n) {
            std::memcpy(out, r.data.data() + at, n);
            at += n;
        };
        take(&s.description, sizeof(s.description));
        take(&s.rangeHeader, sizeof(s.rangeHeader));
        take(&s.range, sizeof(s.range));
        take(&s.defaultHeader, sizeof(s.defaultHeader));
        take(&s.defaultValue, sizeof(s.defaultValue));
        return s;
    }

    // A hand-built request straight to the dispatcher, with buffers of
    // exactly the sizes named, for the sets no table advertises.
    struct Direct {
        std::vector<uint8_t> property, data;
        NTSTATUS status;
        ULONG bytes;
    };
    Direct Dispatch(bool get, const GUID& set, ULONG id, size_t dataSize, ULONG streamIndex = 0, LONG mode = 0,
                    size_t propertySize = sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S))
    {
        Direct d;
        d.property.assign(propertySize, 0);
        KSPROPERTY header{};
        header.Set = set;
        header.Id = id;
        header.Flags = get ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
        std::memcpy(d.property.data(), &header, std::min(sizeof(header), propertySize));
        d.data.assign(dataSize, 0);
        // Every video control record has the stream index right behind the
        // header; the mode record has the mode behind that.
        if (dataSize >= 28) std::memcpy(d.data.data() + 24, &streamIndex, 4);
        if (dataSize >= 32) std::memcpy(d.data.data() + 28, &mode, 4);

        auto property = std::make_unique<uint8_t[]>(propertySize);
        auto data = std::make_unique<uint8_t[]>(dataSize);
        std::memcpy(property.get(), d.property.data(), propertySize);
        if (dataSize) std::memcpy(data.get(), d.data.data(), dataSize);
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
        d.status = AdapterPropertyDispatch(get, Context(), &srb);
        EXPECT_EQ(srb.Status, d.status);
        d.bytes = srb.ActualBytesTransferred;
        if (dataSize) std::memcpy(d.data.data(), data.get(), dataSize);
        return d;
    }
};

class SetsByDecoder : public StandardSetsTest, public ::testing::WithParamInterface<DecoderKind> {};

}  // namespace

TEST_P(SetsByDecoder, DecoderTypeChoosesTheAdvertisedSets)
{
    Start(GetParam());
    const HW_STREAM_HEADER& header = Device().Description()->header;
    const bool full = GetParam() != DecoderKind::Type110;
    ASSERT_EQ(header.NumDevPropArrayEntries, full ? 3u : 2u);
    EXPECT_TRUE(IsEqualGUIDBytes(*header.DevicePropertiesArray[0].Set, PROPSETID_PRIVATE_CONTROL));
    // The vendor set offers every id up to 72 but 21, 23 and 64, each once.
    const KSPROPERTY_SET& vendor = header.DevicePropertiesArray[0];
    std::vector<ULONG> ids;
    for (ULONG i = 0; i < vendor.PropertiesCount; ++i) ids.push_back(vendor.PropertyItem[i].PropertyId);
    std::vector<ULONG> expected;
    for (ULONG id = 0; id <= 72; ++id) {
        if (id != 21 && id != 23 && id != 64) expected.push_back(id);
    }
    EXPECT_EQ(ids, expected);
    EXPECT_TRUE(IsEqualGUIDBytes(*header.DevicePropertiesArray[1].Set, PROPSETID_VIDCAP_VIDEOPROCAMP));

    auto caps = sc::PropertyRequest::Make(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS,
                                          sizeof(KSPROPERTY_VIDEODECODER_CAPS_S), sizeof(KSPROPERTY_VIDEODECODER_CAPS_S));
    const sc::Result result = Get(caps);
    if (!full) {
        EXPECT_EQ(result.status, STATUS_NOT_FOUND);
        EXPECT_FALSE(result.delivered);
        return;
    }
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.actualBytes, 40u);
    const auto answer = caps.DataAs<KSPROPERTY_VIDEODECODER_CAPS_S>();
    EXPECT_EQ(answer.StandardsSupported, 0xFF7F3u);
    EXPECT_EQ(answer.Capabilities, 7u);
    EXPECT_EQ(answer.SettlingTime, 170u);
    EXPECT_EQ(answer.HSyncPerVSync, 6u);
    EXPECT_TRUE(kv::kernel::debug::Contains("AdapterGetAnalogVideoDecoderProperty"));
    EXPECT_TRUE(kv::kernel::debug::Contains("KSPROPERTY_VIDEODECODER_CAPS"));
}

INSTANTIATE_TEST_SUITE_P(Decoders, SetsByDecoder,
                         ::testing::Values(DecoderKind::Type110, DecoderKind::Type111, DecoderKind::Type113));

TEST_F(StandardSetsTest, ValueRecordsGiveRangeAndOneDefault)
{
    Start();
    struct Expect {
        ULONG id;
        LONG minimum, maximum, defaultValue;
    } expected[] = {
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0, 255, 128}, {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 0, 127, 64},
        {KSPROPERTY_VIDEOPROCAMP_HUE, 0, 360, 180},        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, 511, 256},
        {KSPROPERTY_VIDEOPROCAMP_GAMMA, 0, 64, 25},
    };
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.id);
        const Support s = BasicSupport(e.id);
        ASSERT_EQ(s.result.status, STATUS_SUCCESS);
        EXPECT_EQ(s.description.AccessFlags, ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
        EXPECT_EQ(s.description.PropTypeSet.Id, ULONG(VT_I4));
        ASSERT_EQ(s.description.MembersListCount, 2u);
        EXPECT_EQ(s.rangeHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_RANGES));
        EXPECT_EQ(s.range.SteppingDelta, 1u);
        EXPECT_EQ(s.range.Bounds.SignedMinimum, e.minimum);
        EXPECT_EQ(s.range.Bounds.SignedMaximum, e.maximum);
        EXPECT_EQ(s.defaultHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_VALUES));
        EXPECT_EQ(s.defaultHeader.Flags, ULONG(KSPROPERTY_MEMBER_FLAG_DEFAULT));
        // One default value, counted as one: a reader taking MembersCount
        // at its word stays inside it.
        EXPECT_EQ(s.defaultHeader.MembersCount, 1u);
        EXPECT_EQ(s.defaultValue, e.defaultValue);
        // The description covers exactly what follows it.
        EXPECT_EQ(s.description.DescriptionSize, sizeof(KSPROPERTY_DESCRIPTION) + 2 * sizeof(KSPROPERTY_MEMBERSHEADER) +
                                                     sizeof(KSPROPERTY_STEPPING_LONG) + sizeof(LONG));
    }
    // Controls that would do nothing on this decoder are not offered.
    EXPECT_EQ(BasicSupport(KSPROPERTY_VIDEOPROCAMP_SHARPNESS).result.status, STATUS_NOT_FOUND);
    EXPECT_EQ(BasicSupport(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE).result.status, STATUS_NOT_FOUND);
}

TEST_F(StandardSetsTest, SharpnessIsOfferedWhereItReachesTheDecoder)
{
    Start(DecoderKind::Type110);
    const Support s = BasicSupport(KSPROPERTY_VIDEOPROCAMP_SHARPNESS);
    ASSERT_EQ(s.result.status, STATUS_SUCCESS);
    EXPECT_EQ(s.range.Bounds.SignedMaximum, 16);
    EXPECT_EQ(s.defaultValue, 3);

    sim::RegisterFileDevice* decoder = Board().Device(0x88);
    ASSERT_NE(decoder, nullptr);
    decoder->Poke(0x12, 0xA7);
    ASSERT_EQ(ProcAmp(true, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 5).status, STATUS_SUCCESS);
    EXPECT_EQ(decoder->Peek(0x12), 0xA5);  // high nibble kept
    EXPECT_EQ(Setting("Sharpness"), 5u);
    EXPECT_EQ(BasicSupport(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE).result.status, STATUS_NOT_FOUND);
}

TEST_F(StandardSetsTest, PictureGetsAnswerTheWorkingCopy)
{
    Start();
    // Nothing is loaded before the first capture start.
    for (ULONG id : {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_CONTRAST, KSPROPERTY_VIDEOPROCAMP_HUE,
                     KSPROPERTY_VIDEOPROCAMP_SATURATION, KSPROPERTY_VIDEOPROCAMP_GAMMA}) {
        KSPROPERTY_VIDEOPROCAMP_S answer{};
        const sc::Result r = ProcAmp(false, id, 77, &answer);
        ASSERT_EQ(r.status, STATUS_SUCCESS) << id;
        EXPECT_EQ(r.actualBytes, 40u);
        EXPECT_EQ(answer.Value, 0) << id;
        EXPECT_EQ(answer.Flags, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));
        EXPECT_EQ(answer.Capabilities, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));
    }
}

// A value outside the advertised range is refused; nothing is stored, saved
// or sent to the decoder.
TEST_F(StandardSetsTest, PictureValuesOutsideTheRangeAreRefused)
{
    Start();
    sim::RegisterFileDevice* decoder = Board().Device(0xBA);
    ASSERT_NE(decoder, nullptr);
    const uint8_t before = decoder->Peek(0x09);
    struct Case {
        ULONG id;
        LONG value;
    };
    for (const Case c : {Case{KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 300}, Case{KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -1},
                         Case{KSPROPERTY_VIDEOPROCAMP_CONTRAST, 128}, Case{KSPROPERTY_VIDEOPROCAMP_HUE, 361},
                         Case{KSPROPERTY_VIDEOPROCAMP_SATURATION, 512}, Case{KSPROPERTY_VIDEOPROCAMP_GAMMA, 65}}) {
        SCOPED_TRACE(testing::Message() << c.id << " = " << c.value);
        const sc::Result r = ProcAmp(true, c.id, c.value);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.actualBytes, 0u);
    }
    EXPECT_EQ(decoder->Peek(0x09), before);
    const auto names = reg::KeyExists(SettingsKey()) ? reg::ValueNames(SettingsKey()) : std::vector<std::string>{};
    EXPECT_EQ(std::count(names.begin(), names.end(), "Brightness"), 0);
    EXPECT_EQ(Context()->brightness, 0);

    // The ends of the range are taken.
    ASSERT_EQ(ProcAmp(true, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 255).status, STATUS_SUCCESS);
    EXPECT_EQ(decoder->Peek(0x09), 255);
    ASSERT_EQ(ProcAmp(true, KSPROPERTY_VIDEOPROCAMP_GAMMA, 64).status, STATUS_SUCCESS);
    EXPECT_EQ(Setting("Gamma"), 64u);
}

TEST_F(StandardSetsTest, StandardMapsToTheDriversNumbering)
{
    struct Case {
        ULONG standard;
        LONG index;
    } cases[] = {
        {KS_AnalogVideo_NTSC_M, 1},   {KS_AnalogVideo_NTSC_M_J, 1},  {KS_AnalogVideo_PAL_B, 2},
        {KS_AnalogVideo_PAL_I, 2},    {KS_AnalogVideo_PAL_M, 4},     {KS_AnalogVideo_PAL_N, 5},
        {KS_AnalogVideo_SECAM_B, 3},  {KS_AnalogVideo_SECAM_L1, 3},  {KS_AnalogVideo_NTSC_433, 2},
        {KS_AnalogVideo_PAL_60, 2},   {KS_AnalogVideo_PAL_N_COMBO, 2}, {0, 2},
        {KS_AnalogVideo_NTSC_M | KS_AnalogVideo_PAL_B, 2},
        {KS_AnalogVideo_SECAM_B | KS_AnalogVideo_SECAM_D, 2},
        {0xFFFFFFFFu, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(StandardIndexFromAnalogVideoStandard(c.standard), c.index) << c.standard;
}

TEST_F(StandardSetsTest, StandardSetSwitchesAndReportsLines)
{
    Start();
    struct Case {
        ULONG standard;
        LONG index;
        ULONG lines;
    } cases[] = {
        {KS_AnalogVideo_PAL_B, 2, 625},
        // PAL-M runs on 525-line timing and says so.
        {KS_AnalogVideo_PAL_M, 4, 525},
        {KS_AnalogVideo_NTSC_M | KS_AnalogVideo_PAL_B, 2, 625},
        {KS_AnalogVideo_NTSC_M, 1, 525},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.standard);
        kv::kernel::debug::Clear();
        ASSERT_EQ(SetStandard(c.standard).status, STATUS_SUCCESS);
        EXPECT_TRUE(kv::kernel::debug::Contains("KSPROPERTY_VIDEODECODER_STANDARD"));
        EXPECT_EQ(Context()->standardIndex, c.index);
        EXPECT_EQ(Context()->videoStandard, (LONG)c.standard);
        EXPECT_EQ(Setting("VideoStandard"), c.standard);
        // The index is stored at once, so the next capture start keeps it.
        EXPECT_EQ(Setting("InputSource"), (uint32_t)c.index);
        EXPECT_EQ(DecoderStatus().NumberOfLines, c.lines);
        EXPECT_TRUE(kv::kernel::debug::Contains("KSPROPERTY_VIDEODECODER_STATUS"));

        auto get = sc::PropertyRequest::Make(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD,
                                             sizeof(KSPROPERTY_VIDEODECODER_S), sizeof(KSPROPERTY_VIDEODECODER_S));
        ASSERT_EQ(Get(get).status, STATUS_SUCCESS);
        EXPECT_EQ(get.DataAs<KSPROPERTY_VIDEODECODER_S>().Value, c.standard);
    }
    // 525-line systems the decoder cannot run are refused, not run as PAL.
    for (ULONG refused : {(ULONG)KS_AnalogVideo_PAL_60, (ULONG)KS_AnalogVideo_NTSC_433}) {
        EXPECT_EQ(SetStandard(refused).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Context()->standardIndex, STANDARD_INDEX_NTSC);
        EXPECT_EQ(Setting("VideoStandard"), (uint32_t)KS_AnalogVideo_NTSC_M);
    }
    // The decoder runs the line system of the last standard.
    ASSERT_NE(Board().GetDecoder(), nullptr);
    EXPECT_EQ(Board().GetDecoder()->Standard().system, sim::LineSystem::L525);
    ASSERT_EQ(SetStandard(KS_AnalogVideo_SECAM_D).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().GetDecoder()->Standard().system, sim::LineSystem::L625);
}

TEST_F(StandardSetsTest, LockFollowsTheSignalTheDecoderSees)
{
    Start();
    ASSERT_EQ(SetStandard(KS_AnalogVideo_NTSC_M).status, STATUS_SUCCESS);
    // Input 2 carries a 525-line test pattern; input 0 is the tuner, tuned
    // to nothing.
    auto input2 = VendorRecord(26, 2);
    ASSERT_EQ(Set(input2).status, STATUS_SUCCESS);
    ASSERT_TRUE(Board().SignalLocked());
    EXPECT_EQ(DecoderStatus().SignalLocked, 1u);

    auto input0 = VendorRecord(26, 0);
    ASSERT_EQ(Set(input0).status, STATUS_SUCCESS);
    ASSERT_FALSE(Board().SignalLocked());
    EXPECT_EQ(DecoderStatus().SignalLocked, 0u);

    // A decoder that does not answer is not reported locked.
    ASSERT_EQ(Set(input2).status, STATUS_SUCCESS);
    sim::ControlFaults faults;
    faults.everyRegister = 0x209;
    Board().SetControlFaults(faults);
    EXPECT_EQ(DecoderStatus().SignalLocked, 0u);
    Board().SetControlFaults({});
    EXPECT_EQ(DecoderStatus().SignalLocked, 1u);
}

TEST_F(StandardSetsTest, VideoControlIsNotAdvertised)
{
    Start();
    auto r = sc::PropertyRequest::Make(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_CAPS,
                                       sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S), sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S));
    const sc::Result result = Get(r);
    EXPECT_EQ(result.status, STATUS_NOT_FOUND);
    EXPECT_FALSE(result.delivered);
}

TEST_F(StandardSetsTest, VideoControlHandlersAnswerWhenReached)
{
    Start();
    const GUID& set = PROPSETID_VIDCAP_VIDEOCONTROL;

    Direct caps = Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_CAPS, 32, 1);
    EXPECT_EQ(caps.status, STATUS_SUCCESS);
    EXPECT_EQ(caps.bytes, 32u);
    EXPECT_EQ(WordAt(caps.data, 28), 0x0Cu);
    EXPECT_EQ(Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_CAPS, 32, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_CAPS, 31, 1).status, STATUS_BUFFER_TOO_SMALL);

    Direct sizeQuery = Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 0);
    EXPECT_EQ(sizeQuery.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sizeQuery.bytes, 48u);
    EXPECT_EQ(Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 47).status, STATUS_BUFFER_TOO_SMALL);
    Direct rates = Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 48);
    ASSERT_EQ(rates.status, STATUS_SUCCESS);
    EXPECT_EQ(rates.bytes, 48u);
    // The list's Size covers its header and the five intervals.
    EXPECT_EQ(WordAt(rates.data, 0), 48u);
    EXPECT_EQ(WordAt(rates.data, 4), 5u);
    for (ULONG row = 1; row <= 5; ++row) {
        LONGLONG interval = 0;
        std::memcpy(&interval, rates.data.data() + 8 + (row - 1) * 8, 8);
        EXPECT_EQ(interval, (LONGLONG)AlternateSettingTable[row].frameInterval);
    }

    // The actual rate needs an open stream and a whole record.
    EXPECT_EQ(Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 0).bytes, 56u);
    EXPECT_EQ(Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 55).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56).status, STATUS_NOT_SUPPORTED);
    Context()->streamOpened = 1;
    Context()->alternateSettingIndex = 3;
    Direct actual = Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56);
    ASSERT_EQ(actual.status, STATUS_SUCCESS);
    LONGLONG current = 0, fastest = 0;
    std::memcpy(&current, actual.data.data() + 40, 8);
    std::memcpy(&fastest, actual.data.data() + 48, 8);
    EXPECT_EQ(current, 500000);
    EXPECT_EQ(fastest, 333333);
    EXPECT_EQ(Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, 1).status, STATUS_NOT_SUPPORTED);

    Direct mode = Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_MODE, 32);
    EXPECT_EQ(mode.status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(mode.data, 28), 0x0Cu);
    EXPECT_EQ(Dispatch(true, set, KSPROPERTY_VIDEOCONTROL_MODE, 31).status, STATUS_NOT_SUPPORTED);

    // The trigger mode is accepted; anything else is refused, never left
    // with the status the request came in with.
    EXPECT_EQ(Dispatch(false, set, KSPROPERTY_VIDEOCONTROL_MODE, 32, 1, KS_VideoControlFlag_Trigger).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Dispatch(false, set, KSPROPERTY_VIDEOCONTROL_MODE, 32, 1, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Dispatch(false, set, KSPROPERTY_VIDEOCONTROL_MODE, 32, 0, 0x0C).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Dispatch(false, set, KSPROPERTY_VIDEOCONTROL_CAPS, 32, 1).status, STATUS_NOT_SUPPORTED);
}

TEST_F(StandardSetsTest, MalformedRequestsAreRefusedBeforeAnythingIsRead)
{
    Start();
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.HwDeviceExtension = Device().HwDeviceExtension();
    EXPECT_EQ(AdapterPropertyDispatch(TRUE, Context(), &srb), STATUS_INVALID_PARAMETER);

    // A property buffer shorter than its header, or a data size without a
    // data buffer.
    auto property = std::make_unique<uint8_t[]>(sizeof(KSPROPERTY) - 1);
    std::memcpy(property.get(), &PROPSETID_VIDCAP_VIDEOPROCAMP, sizeof(GUID));
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = reinterpret_cast<PKSPROPERTY>(property.get());
    descriptor.PropertyInputSize = sizeof(KSPROPERTY) - 1;
    srb.CommandData.PropertyInfo = &descriptor;
    EXPECT_EQ(AdapterPropertyDispatch(TRUE, Context(), &srb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(srb.Status, STATUS_INVALID_PARAMETER);

    KSPROPERTY whole{};
    whole.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
    descriptor.Property = &whole;
    descriptor.PropertyInputSize = sizeof(whole);
    descriptor.PropertyOutputSize = 40;
    descriptor.PropertyInfo = nullptr;
    EXPECT_EQ(AdapterPropertyDispatch(TRUE, Context(), &srb), STATUS_INVALID_PARAMETER);

    // A set nobody routes.
    EXPECT_EQ(Dispatch(true, PROPSETID_VIDCAP_DROPPEDFRAMES, 0, 56).status, STATUS_NOT_SUPPORTED);
}

TEST_F(StandardSetsTest, StandardChosenBeforeTheStreamRunsSurvivesTheCaptureStart)
{
    Start();
    ASSERT_EQ(SetStandard(KS_AnalogVideo_PAL_B).status, STATUS_SUCCESS);
    // The capture start reloads every setting from the registry.
    const auto& range = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(FullStreamDescription.StreamFormatsArray[7]);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    std::memcpy(&format.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
    format.VideoInfoHeader = range.VideoInfoHeader;
    ULONG rawFrameLength = 0;
    ASSERT_EQ(CamAllocateBandwidthEx(nullptr, Context(), &rawFrameLength, &format, 0), STATUS_SUCCESS);
    EXPECT_EQ(Context()->standardIndex, STANDARD_INDEX_PAL);
    EXPECT_EQ(Context()->videoStandard, (LONG)KS_AnalogVideo_PAL_B);
    EXPECT_EQ(CamFreeBandwidthEx(nullptr, Context(), 0), STATUS_SUCCESS);
}

// Gamma is the pipeline's; the low-bandwidth converters never apply it, so
// such a device does not list it. Sharpness stays a type 110 control.
TEST(DevicePropertySets, GammaIsListedWhereItActs)
{
    struct Case {
        LONG type;
        USHORT highBandwidth;
        bool gamma, sharpness;
    };
    for (const Case c : {Case{110, 1, true, true}, Case{110, 0, false, true}, Case{111, 1, true, false},
                         Case{113, 1, true, false}, Case{113, 0, false, false}}) {
        SCOPED_TRACE(testing::Message() << c.type << (c.highBandwidth ? " full" : " low bandwidth"));
        DeviceContext context{};
        context.decoderType = context.detectedDecoderType = c.type;
        context.highBandwidth = c.highBandwidth;
        ULONG count = 0;
        const KSPROPERTY_SET* sets = GetDevicePropertySets(&context, &count);
        ASSERT_GE(count, 2u);
        const KSPROPERTY_SET& procAmp = sets[1];
        auto listed = [&](ULONG id) {
            for (ULONG i = 0; i < procAmp.PropertiesCount; ++i) {
                if (procAmp.PropertyItem[i].PropertyId == id) return true;
            }
            return false;
        };
        EXPECT_EQ(listed(KSPROPERTY_VIDEOPROCAMP_GAMMA), c.gamma);
        EXPECT_EQ(listed(KSPROPERTY_VIDEOPROCAMP_SHARPNESS), c.sharpness);
        EXPECT_TRUE(listed(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS));
    }
}
