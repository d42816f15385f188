// The stream class emulation driven with a bare minidriver (no class
// library): request blocks as built, completion rules, property checks,
// streams and reads, the class device object's PnP path, filter
// registrations, the capture interface links, and the USB port glue.
#include "host/streamclass.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <vector>

#include "host/kernel.h"
#include "host/scheduler.h"
#include "host/usbport.h"
#include "tests/support/kernel_test.h"
#include "tests/support/usb_double.h"

namespace sc = kv::streamclass;

namespace {

// {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}
constexpr GUID kSetA = DEFINE_GUID_VALUE(0x0F1E2D3C, 0x4B5A, 0x6978, 0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0);
// {1F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}
constexpr GUID kSetB = DEFINE_GUID_VALUE(0x1F1E2D3C, 0x4B5A, 0x6978, 0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0);

const LONG kDefault = 7;
const KSPROPERTY_STEPPING_LONG kRange = {1, 0, {{-10, 10}}};
const KSPROPERTY_MEMBERSLIST kMembers[] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kRange},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kDefault},
};
const KSPROPERTY_VALUES kValues = {{{KSPROPTYPESETID_General, VT_I4, 0}}, 2, kMembers};

const KSPROPERTY_ITEM kItemsA[] = {
    {.PropertyId = 1, .GetSupported = TRUE, .MinProperty = 24, .MinData = 4, .SetSupported = TRUE},
    {.PropertyId = 2, .GetSupported = TRUE, .MinProperty = 32, .MinData = 8, .SetSupported = FALSE, .Values = &kValues},
};
const KSPROPERTY_ITEM kItemsB[] = {
    {.PropertyId = 0, .GetSupported = FALSE, .MinProperty = 24, .MinData = 4, .SetSupported = TRUE},
};
const KSPROPERTY_SET kSets[] = {
    {&kSetA, 2, kItemsA, 0, nullptr},
    {&kSetB, 1, kItemsB, 0, nullptr},
};

// The bare minidriver: default answers, overridable per test.
struct RawDriver {
    std::function<bool(PHW_STREAM_REQUEST_BLOCK)> adapter;  // true: handled
    std::function<void(PHW_STREAM_REQUEST_BLOCK)> control;
    std::function<void(PHW_STREAM_REQUEST_BLOCK)> data;
    std::vector<HW_STREAM_REQUEST_BLOCK> seen;  // copies as they arrived
    std::vector<STREAM_PROPERTY_DESCRIPTOR> properties;
    std::vector<PHW_STREAM_REQUEST_BLOCK> queued;  // data requests held
    ULONG streams = 1;
    bool zeroedExtension = true;
};
RawDriver* g_raw = nullptr;

void CompleteDevice(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status)
{
    srb->Status = status;
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

void CompleteStream(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status)
{
    srb->Status = status;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

VOID STREAMAPI RawControl(PHW_STREAM_REQUEST_BLOCK srb)
{
    g_raw->seen.push_back(*srb);
    if (g_raw->control) return g_raw->control(srb);
    if (srb->Command == SRB_GET_STREAM_STATE) srb->CommandData.StreamState = KSSTATE_PAUSE;
    CompleteStream(srb, STATUS_SUCCESS);
}

VOID STREAMAPI RawData(PHW_STREAM_REQUEST_BLOCK srb)
{
    g_raw->seen.push_back(*srb);
    if (g_raw->data) return g_raw->data(srb);
    g_raw->queued.push_back(srb);
}

VOID STREAMAPI RawAdapter(PHW_STREAM_REQUEST_BLOCK srb)
{
    g_raw->seen.push_back(*srb);
    if (g_raw->adapter && g_raw->adapter(srb)) return;
    switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE: {
        const auto* bytes = static_cast<const uint8_t*>(srb->HwDeviceExtension);
        for (ULONG i = 0; i < 100; ++i) g_raw->zeroedExtension = g_raw->zeroedExtension && bytes[i] == 0;
        srb->CommandData.ConfigInfo->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + 2 * sizeof(HW_STREAM_INFORMATION);
        return CompleteDevice(srb, STATUS_SUCCESS);
    }
    case SRB_GET_STREAM_INFO: {
        HW_STREAM_DESCRIPTOR* d = srb->CommandData.StreamBuffer;
        d->StreamHeader.NumberOfStreams = g_raw->streams;
        d->StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
        d->StreamHeader.NumDevPropArrayEntries = 2;
        d->StreamHeader.DevicePropertiesArray = const_cast<PKSPROPERTY_SET>(kSets);
        HW_STREAM_INFORMATION* info = &d->StreamInfo;
        for (ULONG i = 0; i < std::min<ULONG>(g_raw->streams, 2); ++i) {
            info[i].NumberOfPossibleInstances = 1;
            info[i].DataFlow = KSPIN_DATAFLOW_OUT;
            info[i].NumStreamPropArrayEntries = 1;
            info[i].StreamPropertiesArray = const_cast<PKSPROPERTY_SET>(&kSets[1]);
        }
        return CompleteDevice(srb, STATUS_SUCCESS);
    }
    case SRB_OPEN_STREAM:
        srb->StreamObject->ReceiveControlPacket = RawControl;
        srb->StreamObject->ReceiveDataPacket = RawData;
        return CompleteDevice(srb, STATUS_SUCCESS);
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY: {
        STREAM_PROPERTY_DESCRIPTOR* p = srb->CommandData.PropertyInfo;
        g_raw->properties.push_back(*p);
        std::memset(p->PropertyInfo, 0x5A, p->PropertyOutputSize);
        srb->ActualBytesTransferred = p->PropertyOutputSize;
        return CompleteDevice(srb, STATUS_SUCCESS);
    }
    case SRB_UNKNOWN_DEVICE_COMMAND:
        return CompleteDevice(srb, STATUS_NOT_SUPPORTED);
    default:
        return CompleteDevice(srb, STATUS_SUCCESS);
    }
}

VOID STREAMAPI RawCancel(PHW_STREAM_REQUEST_BLOCK srb)
{
    auto& q = g_raw->queued;
    auto it = std::find(q.begin(), q.end(), srb);
    if (it == q.end()) return;
    q.erase(it);
    CompleteStream(srb, STATUS_CANCELLED);
}

NTSTATUS NTAPI RawEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    HW_INITIALIZATION_DATA init{};
    init.SizeOfThisPacket = sizeof(init);
    init.StreamClassVersion = STREAM_CLASS_VERSION_20;
    init.HwReceivePacket = RawAdapter;
    init.HwCancelPacket = RawCancel;
    init.DeviceExtensionSize = 200;
    init.PerRequestExtensionSize = 24;
    init.PerStreamExtensionSize = 160;
    return StreamClassRegisterAdapter(driver, path, &init);
}

class StreamClassTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sc::Reset();
        g_raw = &raw;
        port = kv::usbport::Port::Attach(usb, usb.PortOptions());
        driver = sc::Driver::Load(RawEntry);
        ASSERT_EQ(driver->EntryStatus(), STATUS_SUCCESS);
        device = sc::Device::Add(*driver, port->Pdo());
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override
    {
        device.reset();
        driver.reset();
        port.reset();
        g_raw = nullptr;
        KernelTest::TearDown();
    }
    std::vector<ULONG> Commands() const
    {
        std::vector<ULONG> c;
        for (const auto& s : raw.seen) c.push_back(s.Command);
        return c;
    }
    sc::Stream* OpenStream()
    {
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        format.DataFormat.FormatSize = sizeof(format);
        sc::Stream* stream = nullptr;
        EXPECT_TRUE(device->OpenStream(0, &format, sizeof(format), &stream).ok());
        return stream;
    }

    RawDriver raw;
    kvtest::UsbDouble usb;
    std::unique_ptr<kv::usbport::Port> port;
    std::unique_ptr<sc::Driver> driver;
    std::unique_ptr<sc::Device> device;
};

TEST_F(StreamClassTest, StartSendsTheThreeRequestsBuiltAsTheStreamClassBuildsThem)
{
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Commands(), (std::vector<ULONG>{SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO, SRB_INITIALIZATION_COMPLETE}));
    for (const auto& srb : raw.seen) {
        EXPECT_EQ(srb.SizeOfThisPacket, sizeof(HW_STREAM_REQUEST_BLOCK));
        EXPECT_EQ(srb.Status, STATUS_PENDING);
        EXPECT_EQ(srb.HwDeviceExtension, device->HwDeviceExtension());
        EXPECT_NE(srb.SRBExtension, nullptr);
        EXPECT_EQ(srb.Flags, 0u);
        EXPECT_EQ(srb.StreamObject, nullptr);
    }
    EXPECT_TRUE(raw.zeroedExtension);
    const PORT_CONFIGURATION_INFORMATION& config = device->ConfigInfo();
    EXPECT_EQ(config.ClassDeviceObject, device->ClassDeviceObject());
    EXPECT_EQ(config.PhysicalDeviceObject, port->Pdo());
    EXPECT_EQ(config.RealPhysicalDeviceObject, port->Pdo());
    EXPECT_EQ(config.HwDeviceExtension, device->HwDeviceExtension());
    EXPECT_EQ(device->ClassDeviceObject()->DriverObject, driver->Object());

    // The stream information buffer was sized from what the minidriver asked for.
    EXPECT_EQ(raw.seen[1].NumberOfBytesToTransfer, sizeof(HW_STREAM_HEADER) + 2 * sizeof(HW_STREAM_INFORMATION));
    ASSERT_TRUE(device->Description().has_value());
    EXPECT_EQ(device->Description()->streams.size(), 1u);
    EXPECT_EQ(device->Description()->header.NumDevPropArrayEntries, 2u);
}

TEST_F(StreamClassTest, MoreStreamsThanTheBufferHoldsIsAViolation)
{
    raw.streams = 3;
    ASSERT_TRUE(device->InitializeDevice().ok());
    raw.adapter = [](PHW_STREAM_REQUEST_BLOCK srb) {
        if (srb->Command != SRB_GET_STREAM_INFO) return false;
        srb->CommandData.StreamBuffer->StreamHeader.NumberOfStreams = 3;
        srb->CommandData.StreamBuffer->StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
        CompleteDevice(srb, STATUS_SUCCESS);
        return true;
    };
    EXPECT_TRUE(device->GetStreamInfo().ok());
    ExpectViolation("3 streams reported, the buffer holds 2");
    EXPECT_EQ(device->Description()->streams.size(), 2u);
}

TEST_F(StreamClassTest, CompletionRulesAreEnforced)
{
    // Twice.
    raw.adapter = [](PHW_STREAM_REQUEST_BLOCK srb) {
        CompleteDevice(srb, STATUS_SUCCESS);
        CompleteDevice(srb, STATUS_SUCCESS);
        return true;
    };
    sc::Result r = device->PagingOutDriver();
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ExpectViolation("SRB_PAGING_OUT_DRIVER (0x10B)");

    // Never.
    raw.adapter = [](PHW_STREAM_REQUEST_BLOCK) { return true; };
    r = device->PagingOutDriver();
    EXPECT_FALSE(r.completed);
    ExpectViolation("was not completed");

    // After the sender was done, and a request that never existed.
    PHW_STREAM_REQUEST_BLOCK kept = nullptr;
    raw.adapter = [&](PHW_STREAM_REQUEST_BLOCK srb) {
        CompleteDevice(srb, STATUS_SUCCESS);
        kept = srb;
        return true;
    };
    device->PagingOutDriver();
    StreamClassDeviceNotification(DeviceRequestComplete, device->HwDeviceExtension(), kept);
    ExpectViolation("had already ended");
    HW_STREAM_REQUEST_BLOCK stranger{};
    StreamClassDeviceNotification(DeviceRequestComplete, device->HwDeviceExtension(), &stranger);
    ExpectViolation("never sent");

    // A device request completed through the stream notification, and with STATUS_PENDING.
    raw.adapter = [](PHW_STREAM_REQUEST_BLOCK srb) {
        StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
        return true;
    };
    device->PagingOutDriver();
    ExpectViolation("completed as a stream request");
    ExpectViolation("completed with STATUS_PENDING");
}

TEST_F(StreamClassTest, AdapterRequestsGoOneAtATimeAtPassiveLevel)
{
    raw.adapter = [&](PHW_STREAM_REQUEST_BLOCK srb) {
        if (srb->Command != SRB_PAGING_OUT_DRIVER) return false;
        const sc::Result nested = device->InitializationComplete();
        EXPECT_FALSE(nested.delivered);
        CompleteDevice(srb, STATUS_SUCCESS);
        return true;
    };
    device->PagingOutDriver();
    ExpectViolation("SRB_INITIALIZATION_COMPLETE sent while another adapter request is in progress");

    {
        kv::kernel::IrqlScope raised;
        EXPECT_FALSE(device->PagingOutDriver().delivered);
    }
    ExpectViolation("SRB_PAGING_OUT_DRIVER");
}

TEST_F(StreamClassTest, DevicePropertiesAreCheckedAgainstTheReportedSetsFirst)
{
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    struct Case {
        const char* what;
        sc::PropertyRequest request;
        bool set;
        NTSTATUS status;
    };
    // {2F1E...}: a set the minidriver never reported.
    constexpr GUID unknown = DEFINE_GUID_VALUE(0x2F1E2D3C, 0x4B5A, 0x6978, 0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0);
    std::vector<Case> cases = {
        {"unknown set", sc::PropertyRequest::Make(unknown, 1, 4), false, STATUS_NOT_FOUND},
        {"unknown id", sc::PropertyRequest::Make(kSetA, 9, 4), false, STATUS_NOT_FOUND},
        {"get not announced", sc::PropertyRequest::Make(kSetB, 0, 4), false, STATUS_INVALID_DEVICE_REQUEST},
        {"set not announced", sc::PropertyRequest::Make(kSetA, 2, 8, 32), true, STATUS_INVALID_DEVICE_REQUEST},
        {"property below MinProperty", sc::PropertyRequest::Make(kSetA, 2, 8, 31), false, STATUS_BUFFER_TOO_SMALL},
        {"data below MinData", sc::PropertyRequest::Make(kSetA, 2, 7, 32), false, STATUS_BUFFER_TOO_SMALL},
        {"set with no data", sc::PropertyRequest::Make(kSetA, 1, 0), true, STATUS_BUFFER_TOO_SMALL},
        {"no KSPROPERTY header", sc::PropertyRequest::Make(kSetA, 1, 4, 23), false, STATUS_BUFFER_TOO_SMALL},
    };
    for (auto& c : cases) {
        const sc::Result r = c.set ? device->SetProperty(c.request) : device->GetProperty(c.request);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_FALSE(r.delivered) << c.what;
    }
    auto sizeQuery = sc::PropertyRequest::Make(kSetA, 2, 0, 32);
    const sc::Result size = device->GetProperty(sizeQuery);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size.actualBytes, 8u);
    EXPECT_TRUE(raw.properties.empty()) << "a refused request reached the minidriver";

    auto good = sc::PropertyRequest::Make(kSetB, 0, 6, 28);
    const sc::Result r = device->SetProperty(good);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.actualBytes, 6u);
    ASSERT_EQ(raw.properties.size(), 1u);
    EXPECT_EQ(raw.properties[0].PropertySetID, 1u);
    EXPECT_EQ(raw.properties[0].PropertyInputSize, 28u);
    EXPECT_EQ(raw.properties[0].PropertyOutputSize, 6u);
    EXPECT_EQ(raw.seen.back().Command, SRB_SET_DEVICE_PROPERTY);
    EXPECT_EQ(good.data, std::vector<uint8_t>(6, 0x5A));
}

TEST_F(StreamClassTest, SupportQueriesAreAnsweredFromTheTables)
{
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    auto support = sc::PropertyRequest::Make(kSetA, 0, 0);
    support.flags = KSPROPERTY_TYPE_SETSUPPORT;
    EXPECT_EQ(device->GetProperty(support).status, STATUS_SUCCESS);

    const ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + 2 * sizeof(KSPROPERTY_MEMBERSHEADER) +
                       sizeof(KSPROPERTY_STEPPING_LONG) + sizeof(LONG);
    auto basic = sc::PropertyRequest::Make(kSetA, 2, 0);
    basic.flags = KSPROPERTY_TYPE_BASICSUPPORT;
    sc::Result r = device->GetProperty(basic);
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.actualBytes, full);

    basic.data.assign(4, 0);
    EXPECT_TRUE(device->GetProperty(basic).ok());
    EXPECT_EQ(basic.DataAs<ULONG>(), ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET));

    basic.data.assign(full, 0);
    r = device->GetProperty(basic);
    EXPECT_EQ(r.actualBytes, full);
    const auto description = basic.DataAs<KSPROPERTY_DESCRIPTION>();
    EXPECT_EQ(description.DescriptionSize, full);
    EXPECT_EQ(description.MembersListCount, 2u);
    EXPECT_EQ(description.PropTypeSet.Id, ULONG(VT_I4));
    KSPROPERTY_STEPPING_LONG range;
    std::memcpy(&range, basic.data.data() + sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER),
                sizeof(range));
    EXPECT_EQ(range.Bounds.SignedMinimum, -10);
    EXPECT_EQ(range.Bounds.SignedMaximum, 10);
    EXPECT_TRUE(raw.properties.empty());
}

TEST_F(StreamClassTest, StreamsCarryTheirObjectAndRouteRequestsToItsRoutines)
{
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof(format);
    EXPECT_EQ(device->OpenStream(1, &format, sizeof(format), nullptr).status, STATUS_INVALID_PARAMETER);
    format.DataFormat.FormatSize = sizeof(format) + 1;
    EXPECT_EQ(device->OpenStream(0, &format, sizeof(format), nullptr).status, STATUS_INVALID_PARAMETER);

    sc::Stream* stream = OpenStream();
    ASSERT_NE(stream, nullptr);
    const HW_STREAM_REQUEST_BLOCK& open = raw.seen.back();
    EXPECT_EQ(open.Command, SRB_OPEN_STREAM);
    EXPECT_EQ(open.StreamObject, stream->Object());
    EXPECT_EQ(stream->Object()->StreamNumber, 0u);
    EXPECT_EQ(stream->Object()->HwDeviceExtension, device->HwDeviceExtension());
    EXPECT_NE(stream->Object()->HwStreamExtension, nullptr);
    // One instance only.
    format.DataFormat.FormatSize = sizeof(format);
    EXPECT_EQ(device->OpenStream(0, &format, sizeof(format), nullptr).status, STATUS_INVALID_DEVICE_REQUEST);

    KSSTATE state = KSSTATE_STOP;
    EXPECT_TRUE(stream->GetState(&state).ok());
    EXPECT_EQ(state, KSSTATE_PAUSE);
    EXPECT_EQ(raw.seen.back().Flags, ULONG(SRB_HW_FLAGS_STREAM_REQUEST));
    EXPECT_EQ(raw.seen.back().StreamObject, stream->Object());

    // Stream properties are checked against the stream's own sets.
    auto p = sc::PropertyRequest::Make(kSetA, 1, 4);
    EXPECT_EQ(stream->GetProperty(p).status, STATUS_NOT_FOUND);

    // A read stays pending until the minidriver completes it; cancel goes through HwCancelPacket.
    auto read = stream->Read(1000, 2);
    EXPECT_FALSE(read->Completed());
    EXPECT_EQ(raw.seen.back().Flags, ULONG(SRB_HW_FLAGS_STREAM_REQUEST | SRB_HW_FLAGS_DATA_TRANSFER));
    EXPECT_EQ(raw.seen.back().NumberOfBuffers, 2u);
    EXPECT_EQ(read->Header(1).FrameExtent, 1000u);
    EXPECT_EQ(read->FrameInfo(1).ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
    EXPECT_EQ(stream->PendingReads(), 1u);
    stream->Cancel(*read);
    EXPECT_TRUE(read->Completed());
    EXPECT_EQ(read->result().status, STATUS_CANCELLED);

    // Closing with a read still held by the minidriver is a violation.
    auto held = stream->Read(16);
    EXPECT_TRUE(stream->Close().ok());
    ExpectViolation("still pending after its stream closed");
    CompleteStream(raw.queued.front(), STATUS_CANCELLED);
    EXPECT_EQ(raw.seen.back().Command, SRB_CLOSE_STREAM);
}

VOID NTAPI NeverRuns(PKDPC, PVOID context, PVOID, PVOID)
{
    ++*static_cast<int*>(context);
}

TEST_F(StreamClassTest, DeferredWorkLeftInAnExtensionAtStopOrRemovalIsAViolation)
{
    // A timer with its DPC, placed in the stream's or the device's extension
    // and left armed when the minidriver should have quiesced.
    struct Deferred {
        KTIMER timer;
        KDPC dpc;
    };
    static_assert(sizeof(Deferred) <= 160);
    struct Case {
        const char* name;
        bool inStream;
        bool timer;  // else the DPC alone, queued
        const char* violation;
    };
    const Case cases[] = {
        {"stream timer", true, true, "still pending at stream stop"},
        {"stream DPC", true, false, "still pending at stream stop"},
        {"device timer", false, true, "still pending at device removal"},
        {"device DPC", false, false, "still pending at device removal"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!device) device = sc::Device::Add(*driver, port->Pdo());
        ASSERT_EQ(device->Start(), STATUS_SUCCESS);
        sc::Stream* stream = OpenStream();
        ASSERT_NE(stream, nullptr);
        void* where = c.inStream ? stream->Object()->HwStreamExtension : device->HwDeviceExtension();
        auto* d = new (where) Deferred;
        int runs = 0;
        KeInitializeTimer(&d->timer);
        KeInitializeDpc(&d->dpc, NeverRuns, &runs);
        if (c.timer) {
            LARGE_INTEGER due;
            due.QuadPart = -10'000'000;
            KeSetTimer(&d->timer, due, &d->dpc);
        } else {
            KeInsertQueueDpc(&d->dpc, nullptr, nullptr);
        }
        ASSERT_TRUE(stream->SetState(KSSTATE_STOP).ok());
        if (c.inStream) {
            ExpectViolation(c.violation);
            KeCancelTimer(&d->timer);
            KeRemoveQueueDpc(&d->dpc);
        } else {
            EXPECT_TRUE(kv::kernel::Violations().empty()) << "a device's own timer may outlive a stream";
            device.reset();
            ExpectViolation(c.violation);
            // Its memory went with the device: the timer never fires.
            kv::kernel::clock::PumpMs(2000);
            EXPECT_EQ(runs, 0);
        }
        EXPECT_TRUE(kv::kernel::scheduler::Pending().empty());
        device.reset();
    }
}

TEST_F(StreamClassTest, PnpRequestsReachTheMinidriverAndGoDownWhenItDeclines)
{
    // The minidriver declines, so the query reaches the USB port below,
    // which knows no such interface and leaves the status as it came.
    constexpr GUID kUnknown = DEFINE_GUID_VALUE(0x1D6F3A10, 0x2B4C, 0x4E5D, 0x8F, 0x60, 0x71, 0x82, 0x93, 0xA4, 0xB5, 0xC6);
    INTERFACE bus{};
    EXPECT_EQ(device->QueryInterface(kUnknown, sizeof(bus), 1, &bus), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(raw.seen.size(), 1u);
    EXPECT_EQ(raw.seen[0].Command, SRB_UNKNOWN_DEVICE_COMMAND);
    EXPECT_NE(raw.seen[0].Irp, nullptr);

    // The minidriver answers, and its status ends the IRP.
    raw.adapter = [](PHW_STREAM_REQUEST_BLOCK srb) {
        if (srb->Command != SRB_UNKNOWN_DEVICE_COMMAND) return false;
        CompleteDevice(srb, STATUS_ACCESS_DENIED);
        return true;
    };
    EXPECT_EQ(device->QueryInterface(kUnknown, sizeof(bus), 1, &bus), STATUS_ACCESS_DENIED);
}

TEST_F(StreamClassTest, FilterRegistrationsAreRecordedAndCanFail)
{
    BOOL directions[2] = {TRUE, FALSE};
    KSPIN_MEDIUM mediums[2] = {};
    mediums[1].Id = 5;
    EXPECT_EQ(StreamClassRegisterFilterWithNoKSPins(port->Pdo(), &KSCATEGORY_TVTUNER, 2, directions, mediums, nullptr),
              STATUS_SUCCESS);
    kv::kernel::InjectFailure("StreamClassRegisterFilterWithNoKSPins", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(StreamClassRegisterFilterWithNoKSPins(port->Pdo(), &KSCATEGORY_TVTUNER, 2, directions, mediums, nullptr),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(StreamClassRegisterFilterWithNoKSPins(port->Pdo(), &KSCATEGORY_TVTUNER, 2, nullptr, mediums, nullptr),
              STATUS_INVALID_PARAMETER);

    const auto filters = sc::FilterRegistrations();
    ASSERT_EQ(filters.size(), 3u);
    EXPECT_EQ(filters[0].device, port->Pdo());
    EXPECT_TRUE(IsEqualGUIDBytes(filters[0].category, KSCATEGORY_TVTUNER));
    EXPECT_EQ(filters[0].pinDirections, (std::vector<BOOL>{TRUE, FALSE}));
    EXPECT_EQ(filters[0].mediums[1].Id, 5u);
    EXPECT_FALSE(filters[0].categoriesGiven);
    EXPECT_EQ(filters[1].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(filters[2].status, STATUS_INVALID_PARAMETER);
}

TEST_F(StreamClassTest, CaptureInterfaceLinksInEitherNamespaceOrNone)
{
    auto links = kv::kernel::interfaces::Links(KSCATEGORY_CAPTURE, port->Pdo());
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].rfind("\\??\\USB#", 0), 0u);
    device.reset();

    kvtest::UsbDouble other;
    auto secondPort = kv::usbport::Port::Attach(other, other.PortOptions("USB\\VID_1234&PID_5678\\7"));
    sc::DeviceOptions dos;
    dos.linkNamespace = sc::LinkNamespace::DosDevices;
    dos.linkBody = "kv-capture";
    auto second = sc::Device::Add(*driver, secondPort->Pdo(), dos);
    EXPECT_EQ(kv::kernel::interfaces::Links(KSCATEGORY_CAPTURE, secondPort->Pdo()),
              std::vector<std::string>{"\\DosDevices\\kv-capture"});
    second.reset();

    kvtest::UsbDouble third;
    auto thirdPort = kv::usbport::Port::Attach(third, third.PortOptions("USB\\VID_1234&PID_5678\\8"));
    sc::DeviceOptions none;
    none.linkNamespace = sc::LinkNamespace::None;
    auto quiet = sc::Device::Add(*driver, thirdPort->Pdo(), none);
    EXPECT_TRUE(kv::kernel::interfaces::Links(KSCATEGORY_CAPTURE, thirdPort->Pdo()).empty());
}

TEST_F(StreamClassTest, RegistrationIsCheckedAndCanFail)
{
    HW_INITIALIZATION_DATA init{};
    init.SizeOfThisPacket = sizeof(init);
    EXPECT_EQ(StreamClassRegisterAdapter(driver->Object(), nullptr, &init), STATUS_INVALID_PARAMETER);
    kv::kernel::InjectFailure("StreamClassRegisterAdapter", STATUS_INSUFFICIENT_RESOURCES);
    auto failing = sc::Driver::Load(RawEntry, "kvother");
    EXPECT_EQ(failing->EntryStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(failing->Registered());
    EXPECT_EQ(sc::Device::Add(*failing, port->Pdo()), nullptr);
    EXPECT_EQ(driver->Registration().PerStreamExtensionSize, 160u);
}

}  // namespace
