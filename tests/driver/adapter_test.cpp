// The adapter frame driven through the stream class emulation on the
// simulated board: device start and the published path, the interface
// queries and tuner filter at initialisation complete, stream open and the
// stream hook, and requests handed to the class library.
#include <gtest/gtest.h>

#include "host/streamclass.h"
#include "tests/driver/driver_test_util.h"
#include "tests/support/system_fixture.h"

using namespace drivertest;
namespace reg = kv::kernel::registry;
namespace sc = kv::streamclass;

namespace {

class AdapterTest : public SystemTest {
protected:
    std::optional<reg::Value> PublishedPath()
    {
        return reg::GetValue(reg::DriverKeyPath(port_->Pdo()), "CreatefileName");
    }
};

sc::DeviceOptions Link(sc::LinkNamespace ns, std::string body)
{
    sc::DeviceOptions options;
    options.linkNamespace = ns;
    options.linkBody = std::move(body);
    return options;
}

}  // namespace

TEST_F(AdapterTest, PublishesUserModePathForBothNamespaces)
{
    struct Case {
        sc::LinkNamespace ns;
        const char* body;
    } cases[] = {
        {sc::LinkNamespace::QuestionMarks, "USB#VID_1234&PID_5678#7&abc&0&2#{guid}\\global"},
        {sc::LinkNamespace::DosDevices, "USB#VID_1234&PID_5678#7&abc&0&2#{guid}\\global"},
    };
    for (const Case& c : cases) {
        kv::kernel::Reset();
        sc::Reset();
        ASSERT_EQ(StartDevice({}, Link(c.ns, c.body)), STATUS_SUCCESS);
        std::optional<reg::Value> value = PublishedPath();
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, (ULONG)REG_SZ);
        // "\\." then the link from its backslash after the namespace on; the
        // data carry no terminating null.
        EXPECT_EQ(Utf16Value(*value), u"\\\\.\\" + kv::kernel::ToUtf16(c.body));
        device_.reset();
        driver_.reset();
        port_.reset();
        board_.reset();
    }
}

TEST_F(AdapterTest, ExistingPathIsNeverRewritten)
{
    AddDevice();
    reg::SetString(reg::DriverKeyPath(port_->Pdo()), "CreatefileName", "\\\\.\\an-older-path");
    ASSERT_EQ(Device().Start(), STATUS_SUCCESS);
    EXPECT_EQ(reg::GetString(reg::DriverKeyPath(port_->Pdo()), "CreatefileName"), "\\\\.\\an-older-path");
}

TEST_F(AdapterTest, SecondStartKeepsThePathOfTheFirst)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    const std::optional<reg::Value> first = PublishedPath();
    ASSERT_TRUE(first);
    ASSERT_TRUE(Device().Uninitialize().ok());
    ASSERT_EQ(Device().Start(), STATUS_SUCCESS);
    EXPECT_EQ(PublishedPath(), first);
}

TEST_F(AdapterTest, NoCaptureInterfaceWritesNothing)
{
    ASSERT_EQ(StartDevice({}, Link(sc::LinkNamespace::None, "")), STATUS_SUCCESS);
    EXPECT_FALSE(PublishedPath());
    // The empty interface list was freed: the fixture checks the pool.
}

TEST_F(AdapterTest, NoPathIsWrittenWhenAnyStepFails)
{
    struct Case {
        const char* routine;
    } cases[] = {{"IoOpenDeviceRegistryKey"}, {"IoGetDeviceInterfaces"}, {"ZwSetValueKey"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.routine);
        kv::kernel::Reset();
        sc::Reset();
        AddDevice();
        kv::kernel::InjectFailure(c.routine, STATUS_UNSUCCESSFUL, 100);
        EXPECT_TRUE(Device().InitializeDevice().ok()) << "the library's result stands";
        kv::kernel::ClearInjectedFailures();
        EXPECT_FALSE(PublishedPath());
        device_.reset();
        driver_.reset();
        port_.reset();
        board_.reset();
    }
}

TEST_F(AdapterTest, PathBufferAllocationFailureWritesNothing)
{
    AddDevice();
    // Every "Wdm " allocation fails: the field ring first, so the start
    // fails, and the path buffer after it.
    kv::kernel::pool::FailTag(kv::kernel::pool::Tag("Wdm "));
    Device().InitializeDevice();
    kv::kernel::pool::ClearFaults();
    EXPECT_FALSE(PublishedPath());
}

TEST_F(AdapterTest, InitializationCompleteCopiesTheClassLibraryInterface)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceContext* ctx = Context();
    EXPECT_EQ(ctx->usbcamdInterface.Interface.Version, 0x200);
    EXPECT_NE(ctx->usbcamdInterface.USBCAMD_SetIsoPipeState, nullptr);
    EXPECT_NE(ctx->usbcamdInterface.USBCAMD_SetVideoFormat, nullptr);
    // Nothing is attached above the class device object: no frame hook.
    EXPECT_EQ(ctx->frameHook.Interface.Version, 0);
}

namespace {

// A frame-hook provider attached above the class device object.
struct HookProvider {
    static VOID NTAPI SetFormat(PKS_BITMAPINFOHEADER) {}
    static ULONG NTAPI WantsFrame() { return 0; }
    static VOID NTAPI Deliver(PVOID, ULONG) {}
    static VOID NTAPI Reference(PVOID) {}
    static VOID NTAPI Dereference(PVOID) {}

    static FRAME_HOOK_INTERFACE Record(bool withFirstRoutine)
    {
        FRAME_HOOK_INTERFACE hook{};
        hook.Interface.Size = sizeof(hook);
        hook.Interface.Version = FRAME_HOOK_INTERFACE_VERSION;
        hook.Interface.InterfaceReference = &Reference;
        hook.Interface.InterfaceDereference = &Dereference;
        hook.FrameHookSetFormat = withFirstRoutine ? &SetFormat : nullptr;
        hook.FrameHookWantsFrame = &WantsFrame;
        hook.FrameHookDeliverFrame = &Deliver;
        return hook;
    }
};

PDEVICE_OBJECT AttachProvider(PDEVICE_OBJECT classDevice, FRAME_HOOK_INTERFACE record)
{
    return kv::kernel::io::CreateHandlerDevice(
        [record](PDEVICE_OBJECT, PIRP irp) {
            NTSTATUS status;
            if (kv::kernel::io::AnswerQueryInterface(irp, GUID_FRAME_HOOK_INTERFACE, &record, sizeof(record),
                                                     &status)) {
                return status;
            }
            return kv::kernel::io::CompleteWithCurrentStatus(irp);
        },
        classDevice);
}

}  // namespace

TEST_F(AdapterTest, FrameHookFromTheDriverAbove)
{
    AddDevice();
    ASSERT_TRUE(Device().InitializeDevice().ok());
    ASSERT_TRUE(Device().GetStreamInfo().ok());
    PDEVICE_OBJECT provider = AttachProvider(Device().ClassDeviceObject(), HookProvider::Record(true));
    ASSERT_TRUE(Device().InitializationComplete().ok());
    EXPECT_EQ(Context()->frameHook.Interface.Version, FRAME_HOOK_INTERFACE_VERSION);
    EXPECT_EQ(Context()->frameHook.FrameHookSetFormat, &HookProvider::SetFormat);
    // The provider goes before the device it sits on.
    kv::kernel::io::DeleteDevice(provider);
    device_.reset();
}

TEST_F(AdapterTest, FrameHookWithoutItsFirstRoutineIsAbsent)
{
    AddDevice();
    ASSERT_TRUE(Device().InitializeDevice().ok());
    ASSERT_TRUE(Device().GetStreamInfo().ok());
    PDEVICE_OBJECT provider = AttachProvider(Device().ClassDeviceObject(), HookProvider::Record(false));
    ASSERT_TRUE(Device().InitializationComplete().ok());
    EXPECT_EQ(Context()->frameHook.Interface.Version, 0);
    // The provider goes before the device it sits on.
    kv::kernel::io::DeleteDevice(provider);
    device_.reset();
}

TEST_F(AdapterTest, PoolExhaustionAtInitializationComplete)
{
    AddDevice();
    ASSERT_TRUE(Device().InitializeDevice().ok());
    ASSERT_TRUE(Device().GetStreamInfo().ok());
    kv::kernel::pool::FailTag(kv::kernel::pool::Tag("Wdm "));
    sc::Result result = Device().InitializationComplete();
    kv::kernel::pool::ClearFaults();
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(sc::FilterRegistrations().empty()) << "later steps are skipped";
    EXPECT_EQ(Context()->usbcamdInterface.Interface.Version, 0);
}

TEST_F(AdapterTest, RegistersThePinlessTunerFilter)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    const auto registrations = sc::FilterRegistrations();
    ASSERT_EQ(registrations.size(), 1u);
    const sc::FilterRegistration& r = registrations[0];
    EXPECT_EQ(r.device, port_->Pdo());
    EXPECT_TRUE(IsEqualGUIDBytes(r.category, KSCATEGORY_TVTUNER));
    EXPECT_EQ(r.pinCount, 2u);
    EXPECT_EQ(r.pinDirections, (std::vector<BOOL>{TRUE, TRUE}));
    ASSERT_EQ(r.mediums.size(), 2u);
    const GUID pin0 = DEFINE_GUID_VALUE(0x970E35D3, 0xAAC9, 0x4EFB, 0xA5, 0xF7, 0x08, 0xCE, 0xBA, 0xA3, 0xB3, 0x3D);
    const GUID pin1 = DEFINE_GUID_VALUE(0x939076F7, 0x652B, 0x4680, 0xAE, 0x0A, 0x78, 0x0B, 0x3F, 0x4A, 0xB8, 0xE4);
    EXPECT_TRUE(IsEqualGUIDBytes(r.mediums[0].Set, pin0));
    EXPECT_TRUE(IsEqualGUIDBytes(r.mediums[1].Set, pin1));
    for (const KSPIN_MEDIUM& m : r.mediums) {
        EXPECT_EQ(m.Id, 0u);
        EXPECT_EQ(m.Flags, 0u);
    }
    EXPECT_FALSE(r.categoriesGiven);
    EXPECT_TRUE(kv::kernel::debug::Contains("Tuner Register Status =0x0"));
}

TEST_F(AdapterTest, TunerRegistrationFailureOnlyShowsInTheDebugLine)
{
    AddDevice();
    kv::kernel::InjectFailure("StreamClassRegisterFilterWithNoKSPins", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Device().Start(), STATUS_SUCCESS);
    EXPECT_TRUE(kv::kernel::debug::Contains("Tuner Register Status =0xC0000001"));
}

TEST_F(AdapterTest, StreamInfoBeforeConfigurationReportsNoStream)
{
    AddDevice();
    sc::Result info = Device().GetStreamInfo();
    ASSERT_TRUE(Device().Description());
    EXPECT_EQ(Device().Description()->header.NumberOfStreams, 0u);
    EXPECT_TRUE(info.completed);
}

TEST_F(AdapterTest, StreamInfoAfterStartReportsTheFullPin)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ASSERT_TRUE(Device().Description());
    const auto& description = *Device().Description();
    ASSERT_EQ(description.header.NumberOfStreams, 1u);
    ASSERT_EQ(description.streams.size(), 1u);
    EXPECT_EQ(description.streams[0].NumberOfFormatArrayEntries, 22u);
    EXPECT_EQ(description.streams[0].DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_TRUE(IsEqualGUIDBytes(*description.streams[0].Category, PINNAME_VIDEO_CAPTURE));
}

TEST_F(AdapterTest, OpenRefusesAFormatNotOffered)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    // I420 is not offered at 720 x 576: take the YUY2 range and change the subtype.
    KS_DATAFORMAT_VIDEOINFOHEADER format = FormatFor(FullRange(FullIndex(kYuy2, 720, 576)));
    format.DataFormat.SubFormat = MEDIASUBTYPE_I420;
    sc::Stream* stream = nullptr;
    sc::Result result = Device().OpenStream(0, &format, sizeof(format), &stream);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(Context()->streamOpened);
}

TEST_F(AdapterTest, OpenTakesTheFormatIntoTheContext)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER format = FormatFor(FullRange(FullIndex(kI420, 352, 288)));
    sc::Stream* stream = nullptr;
    // A 625-line size under the NTSC a fresh device starts with is refused.
    EXPECT_EQ(Device().OpenStream(0, &format, sizeof(format), &stream).status, STATUS_INVALID_PARAMETER);
    Context()->standardIndex = STANDARD_INDEX_PAL;
    ASSERT_TRUE(Device().OpenStream(0, &format, sizeof(format), &stream).ok());
    DeviceContext* ctx = Context();
    EXPECT_EQ(ctx->streamOpened, 1);
    EXPECT_EQ(ctx->frameWidth, 352);
    EXPECT_EQ(ctx->frameHeight, 288);
    EXPECT_EQ(ctx->outputFourcc, kI420);
}

// The converter follows the compression, so a format whose compression is
// not its range's would deliver frames labelled as what they are not; the
// allocator framing follows the image size, whatever SampleSize the opener
// wrote.
TEST_F(AdapterTest, CompressionIsCheckedAndFramingFollowsTheImage)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    const KS_DATAFORMAT_VIDEOINFOHEADER yuy2 = FormatFor(FullRange(FullIndex(kYuy2, 320, 240)));
    struct Case {
        const char* what;
        ULONG compression;
        ULONG sampleSize;
        NTSTATUS open;
    } cases[] = {
        {"as offered", kYuy2, 153600, STATUS_SUCCESS},
        {"huge sample size", kYuy2, 0xB1000000u, STATUS_SUCCESS},
        {"tiny sample size", kYuy2, 16, STATUS_SUCCESS},
        {"I420 compression", kI420, 153600, STATUS_INVALID_PARAMETER},
        {"RGB compression", kRgb24, 153600, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KS_DATAFORMAT_VIDEOINFOHEADER format = yuy2;
        format.VideoInfoHeader.bmiHeader.biCompression = c.compression;
        format.DataFormat.SampleSize = c.sampleSize;
        sc::Stream* stream = nullptr;
        EXPECT_EQ(Device().OpenStream(0, &format, sizeof(format), &stream).status, c.open);
        if (stream == nullptr) continue;
        auto framing = sc::PropertyRequest::Make(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
                                                 sizeof(KSALLOCATOR_FRAMING));
        ASSERT_TRUE(stream->GetProperty(framing).ok());
        EXPECT_EQ(framing.DataAs<KSALLOCATOR_FRAMING>().FrameSize, 153600u);
        // A format change is checked the same way.
        KS_DATAFORMAT_VIDEOINFOHEADER relabelled = yuy2;
        relabelled.VideoInfoHeader.bmiHeader.biCompression = kI420;
        EXPECT_FALSE(stream->SetFormat(&relabelled, sizeof(relabelled)).ok());
        EXPECT_EQ(Context()->outputFourcc, kYuy2);
        ASSERT_TRUE(stream->Close().ok());
    }
}

TEST_F(AdapterTest, OpenRefusesATruncatedFormat)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER format = FormatFor(FullRange(0));
    format.DataFormat.FormatSize = sizeof(KSDATAFORMAT);  // no video header behind it
    sc::Stream* stream = nullptr;
    EXPECT_EQ(Device().OpenStream(0, &format, sizeof(KSDATAFORMAT), &stream).status, STATUS_INVALID_PARAMETER);
}

namespace {

NTSTATUS NTAPI RefuseFormat(PVOID, PHW_STREAM_REQUEST_BLOCK)
{
    return 0;  // FALSE: the library did not take the format
}

}  // namespace

TEST_F(AdapterTest, StreamHookAnswersFormatRequests)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER yuy2 = FormatFor(FullRange(FullIndex(kYuy2, 320, 240)));
    KS_DATAFORMAT_VIDEOINFOHEADER rgb = FormatFor(FullRange(FullIndex(kRgb24, 640, 480)));
    KS_DATAFORMAT_VIDEOINFOHEADER missing = rgb;
    missing.VideoInfoHeader.bmiHeader.biWidth = 800;
    sc::Stream* stream = nullptr;
    ASSERT_TRUE(Device().OpenStream(0, &yuy2, sizeof(yuy2), &stream).ok());

    EXPECT_TRUE(stream->ProposeFormat(&rgb, sizeof(rgb)).ok());
    EXPECT_EQ(stream->ProposeFormat(&missing, sizeof(missing)).status, STATUS_NO_MATCH);
    EXPECT_EQ(stream->SetFormat(&missing, sizeof(missing)).status, STATUS_NO_MATCH);
    EXPECT_EQ(Context()->frameWidth, 320) << "a refused format changes nothing";

    // The library takes the new format: the context follows it.
    EXPECT_TRUE(stream->SetFormat(&rgb, sizeof(rgb)).ok());
    EXPECT_EQ(Context()->frameWidth, 640);
    EXPECT_EQ(Context()->frameHeight, 480);
    EXPECT_EQ(Context()->outputFourcc, kRgb24);

    std::vector<uint8_t> buffer;
    EXPECT_EQ(stream->GetFormat(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), &buffer).status, STATUS_NOT_IMPLEMENTED);
}

TEST_F(AdapterTest, SetFormatRefusedByTheLibraryIsRefused)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER yuy2 = FormatFor(FullRange(FullIndex(kYuy2, 320, 240)));
    KS_DATAFORMAT_VIDEOINFOHEADER rgb = FormatFor(FullRange(FullIndex(kRgb24, 640, 480)));
    sc::Stream* stream = nullptr;
    ASSERT_TRUE(Device().OpenStream(0, &yuy2, sizeof(yuy2), &stream).ok());
    Context()->usbcamdInterface.USBCAMD_SetVideoFormat = &RefuseFormat;
    EXPECT_EQ(stream->SetFormat(&rgb, sizeof(rgb)).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Context()->frameWidth, 320);
    EXPECT_EQ(Context()->outputFourcc, kYuy2);
}

TEST_F(AdapterTest, SetFormatBeforeInitializationCompleteNeverCallsTheLibrary)
{
    AddDevice();
    ASSERT_TRUE(Device().InitializeDevice().ok());
    ASSERT_TRUE(Device().GetStreamInfo().ok());
    KS_DATAFORMAT_VIDEOINFOHEADER yuy2 = FormatFor(FullRange(FullIndex(kYuy2, 320, 240)));
    KS_DATAFORMAT_VIDEOINFOHEADER rgb = FormatFor(FullRange(FullIndex(kRgb24, 640, 480)));
    sc::Stream* stream = nullptr;
    ASSERT_TRUE(Device().OpenStream(0, &yuy2, sizeof(yuy2), &stream).ok());
    ASSERT_EQ(Context()->usbcamdInterface.Interface.Version, 0);
    EXPECT_TRUE(stream->SetFormat(&rgb, sizeof(rgb)).ok());
    EXPECT_EQ(Context()->frameWidth, 320);
}

TEST_F(AdapterTest, CodesOutsideTheDriversRangeGoToTheLibrary)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    for (ULONG command : {0x05u, 0x0Fu, 0x10Eu, 0x111u, 0x200u}) {
        SCOPED_TRACE(command);
        sc::Result result = Device().SendAdapterRequest(static_cast<SRB_COMMAND>(command));
        EXPECT_TRUE(result.delivered);
        EXPECT_TRUE(result.completed) << "the library completes what the driver hands it";
    }
}

TEST_F(AdapterTest, StartAndStopLeaveNothingBehindAndTheRegistryFileReloads)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ASSERT_TRUE(Device().Uninitialize().ok());
    EXPECT_EQ(kv::kernel::pool::OutstandingCount(kv::kernel::pool::Tag("Wdm ")), 0u);

    const std::string text = reg::SaveToText();
    EXPECT_NE(text.find("Windows Registry Editor Version 5.00"), std::string::npos);
    EXPECT_NE(text.find("\"CreatefileName\""), std::string::npos);
    ASSERT_TRUE(reg::LoadFromText(text));
    EXPECT_EQ(reg::SaveToText(), text);
}

TEST_F(AdapterTest, PowerStatesOutsideD0ToD3DoNoHardwareWork)
{
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    sim::TraceOptions trace;
    trace.control = true;
    Board().SetTraceOptions(trace);
    for (LONG state : {0, 5, 9, -1}) {
        SCOPED_TRACE(state);
        Board().ClearTrace();
        sc::Result result = Device().ChangePowerState(static_cast<DEVICE_POWER_STATE>(state));
        EXPECT_TRUE(result.completed) << "handed to the library, which completes it";
        EXPECT_TRUE(Board().GetTrace().Records().empty()) << "no register touched";
    }
}
