// The class library's stream states and isochronous engine, driven by a
// small fake camera over a USB device whose isochronous packets the test
// scripts. The camera's packet format: byte 0 says what the packet is
// ('S' frame start, 'D' data, 'X' drop the frame, 'B' a count beyond the
// packet), the rest is payload.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "classlib/usbcamd_stats.h"
#include "host/kernel.h"
#include "host/scheduler.h"
#include "host/streamclass.h"
#include "classlib/usbcamd_internal.h"
#include "host/usbport.h"
#include "platform/usbcamdi.h"
#include "tests/support/kernel_test.h"
#include "tests/support/usb_double.h"

namespace sc = kv::streamclass;
namespace k = kv::kernel;

namespace {

constexpr ULONG kContextSize = 64;
constexpr ULONG kFrameContextSize = 12;
constexpr LONGLONG kMicroframe = 1250;
constexpr LONGLONG kMs = 10000;
constexpr UCHAR kAlternate = 1;     // 256 bytes per microframe on the double
constexpr ULONG kSlot = 256;
constexpr ULONG kFrameBytes = 4096;  // raw frame length the camera asks for
constexpr ULONG kImage = 1000;       // the format's frame size

KS_DATARANGE_VIDEO MakeRange()
{
    KS_DATARANGE_VIDEO r{};
    r.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    r.DataRange.SampleSize = kImage;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    r.DataRange.SubFormat = MEDIASUBTYPE_YUY2;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    r.VideoInfoHeader.AvgTimePerFrame = 20000;
    r.VideoInfoHeader.bmiHeader = {40, 25, 20, 1, 16, 0x32595559, kImage, 0, 0, 0, 0};
    return r;
}
const KS_DATARANGE_VIDEO kRange = MakeRange();
PKSDATAFORMAT kFormats[] = {const_cast<PKSDATAFORMAT>(&kRange.DataRange)};

KS_DATAFORMAT_VIDEOINFOHEADER MakeFormat()
{
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    f.DataFormat = kRange.DataRange;
    f.DataFormat.FormatSize = sizeof(f);
    f.VideoInfoHeader = kRange.VideoInfoHeader;
    return f;
}

// What the camera was given and how it answers.
struct Camera {
    std::vector<std::string> calls;
    std::vector<uint8_t> interfaceCopy;
    NTSTATUS allocateStatus = STATUS_SUCCESS;
    NTSTATUS expectSelectStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
    ULONG rawFrameLength = kFrameBytes;
    ULONG lowerFrameLengthTo = 0;  // CamNewVideoFrameEx lowers the frame to this
    bool convertNothing = false;
    // Seen by the routines.
    std::vector<KIRQL> packetIrqls, rawIrqls;
    std::vector<std::vector<uint8_t>> rawFrames;
    std::vector<ULONG> rawPackets, rawLengths;
    int newFrames = 0;
    bool version1 = false;
};
Camera* g_cam = nullptr;

ULONG NTAPI PacketEx(PDEVICE_OBJECT, PVOID, PVOID frameContext, PUSBD_ISO_PACKET_DESCRIPTOR, PVOID,
                     PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data, PBOOLEAN frameComplete, PULONG flags,
                     PULONG offset)
{
    g_cam->packetIrqls.push_back(KeGetCurrentIrql());
    EXPECT_TRUE(frameContext == nullptr || std::memcmp(frameContext, "\0\0\0\0", 4) == 0 ||
                static_cast<uint8_t*>(frameContext)[0] == 'F');
    if (packet->Status < 0 || packet->Length == 0) return 0;
    const auto* bytes = static_cast<const uint8_t*>(data);
    *offset = 1;
    switch (bytes[0]) {
    case 'S':
        *frameComplete = TRUE;
        return packet->Length - 1;
    case 'X':
        *flags = USBCAMD_PROCESSPACKETEX_DropFrame;
        *offset = 0;
        return 0;
    case 'B':
        return packet->Length;  // one byte more than the packet holds behind the offset
    default:
        return packet->Length - 1;
    }
}

ULONG NTAPI PacketV1(PDEVICE_OBJECT bus, PVOID context, PVOID frameContext, PUSBD_ISO_PACKET_DESCRIPTOR sync,
                     PVOID syncBuffer, PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data, PBOOLEAN frameComplete,
                     PBOOLEAN still)
{
    *still = FALSE;
    ULONG flags = 0, offset = 0;
    // Version 1 has no offset: the whole packet goes in, marker byte included.
    const ULONG count = PacketEx(bus, context, frameContext, sync, syncBuffer, packet, data, frameComplete, &flags,
                                 &offset);
    return count == 0 ? 0 : count + offset;
}

VOID NTAPI NewFrameEx(PVOID, PVOID frameContext, ULONG streamNumber, PULONG frameLength)
{
    EXPECT_EQ(streamNumber, 0u);
    EXPECT_EQ(*frameLength, g_cam->rawFrameLength);
    ++g_cam->newFrames;
    if (frameContext != nullptr) static_cast<uint8_t*>(frameContext)[0] = 'F';
    if (g_cam->lowerFrameLengthTo != 0) *frameLength = g_cam->lowerFrameLengthTo;
}

NTSTATUS NTAPI RawFrameEx(PDEVICE_OBJECT, PVOID, PVOID frameContext, PVOID frameBuffer, ULONG frameLength,
                          PVOID rawFrame, ULONG rawFrameLength, ULONG packets, PULONG bytesReturned, ULONG actual,
                          ULONG streamNumber)
{
    g_cam->rawIrqls.push_back(KeGetCurrentIrql());
    EXPECT_EQ(rawFrameLength, g_cam->rawFrameLength);
    EXPECT_EQ(streamNumber, 0u);
    EXPECT_NE(frameContext, nullptr);
    EXPECT_GE(frameLength, kImage);
    const auto* raw = static_cast<const uint8_t*>(rawFrame);
    g_cam->rawFrames.emplace_back(raw, raw + actual);
    g_cam->rawPackets.push_back(packets);
    g_cam->rawLengths.push_back(actual);
    *bytesReturned = 0;
    if (g_cam->convertNothing) return STATUS_SUCCESS;
    const ULONG bytes = actual < frameLength ? actual : frameLength;
    std::memcpy(frameBuffer, rawFrame, bytes);
    *bytesReturned = bytes;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Initialize(PDEVICE_OBJECT, PVOID) { return STATUS_SUCCESS; }

NTSTATUS NTAPI ConfigureEx(PDEVICE_OBJECT, PVOID, PUSBD_INTERFACE_INFORMATION interface,
                           PUSB_CONFIGURATION_DESCRIPTOR, ULONG listSize, PUSBCAMD_Pipe_Config_Descriptor pipeConfig,
                           PUSB_DEVICE_DESCRIPTOR)
{
    if (interface == nullptr) return STATUS_SUCCESS;
    const auto* raw = reinterpret_cast<const uint8_t*>(interface);
    g_cam->interfaceCopy.assign(raw, raw + interface->Length);
    for (ULONG i = 0; i < listSize; ++i) {
        pipeConfig[i] = i == 1 ? USBCAMD_Pipe_Config_Descriptor{USBCAMD_VIDEO_STREAM, USBCAMD_DATA_PIPE}
                               : USBCAMD_Pipe_Config_Descriptor{0, USBCAMD_DONT_CARE_PIPE};
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Configure(PDEVICE_OBJECT bus, PVOID context, PUSBD_INTERFACE_INFORMATION interface,
                         PUSB_CONFIGURATION_DESCRIPTOR configuration, PLONG dataPipe, PLONG syncPipe)
{
    *dataPipe = 1;
    *syncPipe = -1;
    USBCAMD_Pipe_Config_Descriptor pipes[4];
    return ConfigureEx(bus, context, interface, configuration, 4, pipes, nullptr);
}

NTSTATUS SelectAlternate(PVOID context, UCHAR alternate)
{
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(g_cam->interfaceCopy.data());
    info->AlternateSetting = alternate;
    return USBCAMD_SelectAlternateInterface(context, info);
}

NTSTATUS NTAPI AllocateEx(PDEVICE_OBJECT, PVOID context, PULONG rawFrameLength, PVOID format, ULONG streamNumber)
{
    g_cam->calls.push_back("Allocate");
    EXPECT_EQ(streamNumber, 0u);
    EXPECT_EQ(static_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.bmiHeader.biWidth, 25);
    if (!NT_SUCCESS(g_cam->allocateStatus)) return g_cam->allocateStatus;
    const NTSTATUS selected = SelectAlternate(context, kAlternate);
    EXPECT_EQ(selected, g_cam->expectSelectStatus);
    if (!NT_SUCCESS(selected)) return selected;
    *rawFrameLength = g_cam->rawFrameLength;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FreeEx(PDEVICE_OBJECT, PVOID context, ULONG)
{
    g_cam->calls.push_back("Free");
    return SelectAlternate(context, 0);
}

NTSTATUS NTAPI StartEx(PDEVICE_OBJECT, PVOID, ULONG)
{
    g_cam->calls.push_back("Start");
    return g_cam->startStatus;
}

NTSTATUS NTAPI StopEx(PDEVICE_OBJECT, PVOID, ULONG)
{
    g_cam->calls.push_back("Stop");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Allocate(PDEVICE_OBJECT bus, PVOID context, PULONG rawFrameLength, PVOID format)
{
    return AllocateEx(bus, context, rawFrameLength, format, 0);
}
NTSTATUS NTAPI Free(PDEVICE_OBJECT bus, PVOID context) { return FreeEx(bus, context, 0); }
NTSTATUS NTAPI Start(PDEVICE_OBJECT bus, PVOID context) { return StartEx(bus, context, 0); }
NTSTATUS NTAPI Stop(PDEVICE_OBJECT bus, PVOID context) { return StopEx(bus, context, 0); }
NTSTATUS NTAPI State(PDEVICE_OBJECT, PVOID) { return STATUS_SUCCESS; }

const USBCAMD_DEVICE_DATA2 kV2 = {0,       Initialize, Initialize, PacketEx, NewFrameEx, RawFrameEx, StartEx,
                                   StopEx,  ConfigureEx, State,     State,    AllocateEx, FreeEx};
// Version 1: no raw-frame routine, so the library hands over the raw bytes.
const USBCAMD_DEVICE_DATA kV1 = {0,    Initialize, Initialize, PacketV1, nullptr,  nullptr, Start,
                                 Stop, Configure,  State,      State,    Allocate, Free};

VOID NTAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK srb)
{
    PVOID context = USBCAMD_AdapterReceivePacket(srb, nullptr, nullptr, FALSE);
    if (srb->Command == SRB_INITIALIZE_DEVICE && !g_cam->version1) {
        USBCAMD_InitializeNewInterface(context, const_cast<USBCAMD_DEVICE_DATA2*>(&kV2), USBCAMD_VERSION_200, 0);
    } else if (srb->Command == SRB_GET_STREAM_INFO) {
        HW_STREAM_DESCRIPTOR* d = srb->CommandData.StreamBuffer;
        d->StreamHeader.NumberOfStreams = 1;
        d->StreamInfo.NumberOfPossibleInstances = 1;
        d->StreamInfo.DataFlow = KSPIN_DATAFLOW_OUT;
        d->StreamInfo.NumberOfFormatArrayEntries = 1;
        d->StreamInfo.StreamFormatsArray = kFormats;
    }
    USBCAMD_AdapterReceivePacket(srb, const_cast<USBCAMD_DEVICE_DATA*>(&kV1), nullptr, TRUE);
}

NTSTATUS NTAPI CameraEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    return (NTSTATUS)USBCAMD_DriverEntry(driver, path, kContextSize, kFrameContextSize, AdapterReceivePacket);
}

// The USB device: the scripted double for descriptors and settings, and
// isochronous packets from `packet` (microframe, packet bytes) instead of its
// empty ones.
struct ScriptedUsb : kv::usbport::UsbFunction {
    kvtest::UsbDouble usb;
    std::function<std::vector<uint8_t>(uint64_t microframe)> packet;
    std::function<void(uint64_t, USBD_ISO_PACKET_DESCRIPTOR&)> adjust;
    ULONGLONG microframe = 0;
    bool unplugged = false;

    NTSTATUS ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET* s, uint8_t* b, ULONG* l, USBD_STATUS* u) override
    {
        return unplugged ? (*u = USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED) : usb.ControlTransfer(s, b, l, u);
    }
    NTSTATUS IsochronousIn(uint8_t e, ULONG n, USBD_ISO_PACKET_DESCRIPTOR* p, uint8_t* b, ULONG l) override
    {
        return Iso(e, n, p, b, l);
    }
    uint64_t CurrentMicroframe() const override { return microframe; }
    void AdvanceMicroframes(uint64_t count) override { microframe += count; }
    bool Unplugged() const override { return unplugged; }

    NTSTATUS Iso(UCHAR endpoint, ULONG count, PUSBD_ISO_PACKET_DESCRIPTOR packets, PUCHAR buffer, ULONG size)
    {
        EXPECT_EQ(endpoint, kvtest::UsbDouble::kIsoEndpoint);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        if (unplugged) return STATUS_DEVICE_NOT_CONNECTED;
        for (ULONG i = 0; i < count; ++i) {
            EXPECT_LE(packets[i].Offset + kSlot, size);
            std::vector<uint8_t> bytes = packet ? packet(microframe) : std::vector<uint8_t>{};
            bytes.resize(std::min<size_t>(bytes.size(), kSlot));
            if (!bytes.empty()) std::memcpy(buffer + packets[i].Offset, bytes.data(), bytes.size());
            packets[i].Length = static_cast<ULONG>(bytes.size());
            packets[i].Status = USBD_STATUS_SUCCESS;
            if (adjust) adjust(microframe, packets[i]);
            ++microframe;
        }
        return STATUS_SUCCESS;
    }

};

// A packet of the camera's format: marker, then `bytes` payload bytes that
// name the microframe they came in (its low byte).
std::vector<uint8_t> Packet(char marker, ULONGLONG microframe, size_t bytes)
{
    std::vector<uint8_t> p(1 + bytes, static_cast<uint8_t>(microframe));
    p[0] = static_cast<uint8_t>(marker);
    return p;
}

// Frames of `period` microframes: a start packet and `dataPackets` data
// packets of 100 bytes, then empty packets.
std::function<std::vector<uint8_t>(uint64_t)> Frames(ULONGLONG period, ULONGLONG dataPackets)
{
    return [=](ULONGLONG m) {
        const ULONGLONG at = m % period;
        if (at == 0) return Packet('S', m, 100);
        if (at <= dataPackets) return Packet('D', m, 100);
        return std::vector<uint8_t>{};
    };
}

class EngineTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sc::Reset();
        g_cam = &cam;
    }

    void TearDown() override
    {
        device.reset();
        driver.reset();
        port.reset();
        EXPECT_TRUE(k::scheduler::Pending().empty());
        g_cam = nullptr;
        KernelTest::TearDown();
    }

    sc::Stream* Open()
    {
        port = kv::usbport::Port::Attach(usb, usb.usb.PortOptions());
        driver = sc::Driver::Load(CameraEntry);
        device = sc::Device::Add(*driver, port->Pdo());
        EXPECT_EQ(device->Start(), STATUS_SUCCESS);
        const auto format = MakeFormat();
        sc::Stream* stream = nullptr;
        EXPECT_TRUE(device->OpenStream(0, &format, sizeof(format), &stream).ok());
        return stream;
    }

    PVOID Context()
    {
        HW_STREAM_REQUEST_BLOCK srb{};
        srb.HwDeviceExtension = device->HwDeviceExtension();
        return USBCAMD_AdapterReceivePacket(&srb, nullptr, nullptr, FALSE);
    }

    static bool Run(sc::Stream* s)
    {
        return s->SetState(KSSTATE_ACQUIRE).ok() && s->SetState(KSSTATE_PAUSE).ok() && s->SetState(KSSTATE_RUN).ok();
    }

    static USBCAMD_STREAM_STATISTICS Statistics(sc::Stream* s)
    {
        auto r = sc::PropertyRequest::Make(PROPSETID_USBCAMD_STATISTICS, KSPROPERTY_USBCAMD_STATISTICS,
                                           sizeof(USBCAMD_STREAM_STATISTICS));
        EXPECT_TRUE(s->GetProperty(r).ok());
        return r.DataAs<USBCAMD_STREAM_STATISTICS>();
    }

    std::vector<std::shared_ptr<sc::ReadRequest>> Reads(sc::Stream* s, int count, ULONG size = kImage * 4)
    {
        std::vector<std::shared_ptr<sc::ReadRequest>> reads;
        for (int i = 0; i < count; ++i) reads.push_back(s->Read(size));
        return reads;
    }

    Camera cam;
    ScriptedUsb usb;
    std::unique_ptr<kv::usbport::Port> port;
    std::unique_ptr<sc::Driver> driver;
    std::unique_ptr<sc::Device> device;
};

}  // namespace

TEST_F(EngineTest, StatesAllocateStartStopAndFreeInTurn)
{
    sc::Stream* s = Open();
    const size_t before = k::pool::OutstandingCount();
    ASSERT_TRUE(s->SetState(KSSTATE_ACQUIRE).ok());
    EXPECT_EQ(usb.usb.AlternateSetting(), kAlternate);
    EXPECT_GT(k::pool::OutstandingCount(), before);
    ASSERT_TRUE(s->SetState(KSSTATE_PAUSE).ok());
    ASSERT_TRUE(s->SetState(KSSTATE_RUN).ok());
    EXPECT_EQ(k::scheduler::SetTimerCount(), 1u);
    ASSERT_TRUE(s->SetState(KSSTATE_PAUSE).ok());
    EXPECT_EQ(k::scheduler::SetTimerCount(), 0u);
    ASSERT_TRUE(s->SetState(KSSTATE_RUN).ok());
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());  // straight from RUN
    EXPECT_EQ(cam.calls, (std::vector<std::string>{"Allocate", "Start", "Stop", "Start", "Stop", "Free"}));
    EXPECT_EQ(usb.usb.AlternateSetting(), 0);
    KSSTATE state = KSSTATE_RUN;
    EXPECT_TRUE(s->GetState(&state).ok());
    EXPECT_EQ(state, KSSTATE_STOP);
    EXPECT_EQ(k::pool::OutstandingCount(), before) << "buffers still held:\n" << k::pool::LeakReport();
}

TEST_F(EngineTest, RefusedStartsLeaveTheStreamWhereItWasAndHoldNothing)
{
    sc::Stream* s = Open();
    const size_t before = k::pool::OutstandingCount();
    cam.allocateStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(s->SetState(KSSTATE_PAUSE).status, STATUS_INSUFFICIENT_RESOURCES);
    cam.allocateStatus = STATUS_SUCCESS;
    cam.rawFrameLength = 0;  // a camera that names no raw frame cannot stream
    EXPECT_EQ(s->SetState(KSSTATE_PAUSE).status, STATUS_INSUFFICIENT_RESOURCES);
    cam.rawFrameLength = kFrameBytes;
    k::pool::FailTag(KV_POOL_TAG('U', 'c', 'a', 'm'));  // no room for the raw frames
    EXPECT_EQ(s->SetState(KSSTATE_PAUSE).status, STATUS_INSUFFICIENT_RESOURCES);
    k::pool::ClearFaults();
    EXPECT_EQ(k::pool::OutstandingCount(), before);
    EXPECT_EQ(cam.calls, (std::vector<std::string>{"Allocate", "Allocate", "Free", "Allocate", "Free"}));
    EXPECT_EQ(usb.usb.AlternateSetting(), 0);

    ASSERT_TRUE(s->SetState(KSSTATE_PAUSE).ok());
    cam.startStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(s->SetState(KSSTATE_RUN).status, STATUS_UNSUCCESSFUL);
    KSSTATE state = KSSTATE_STOP;
    s->GetState(&state);
    EXPECT_EQ(state, KSSTATE_PAUSE);
    EXPECT_EQ(k::scheduler::SetTimerCount(), 0u);
    EXPECT_TRUE(s->SetState(KSSTATE_STOP).ok());
}

TEST_F(EngineTest, FramesAreAssembledFromThePacketsAndDeliveredWithTimeAndNumber)
{
    usb.packet = Frames(16, 5);  // a frame every 2 ms: start + 5 data packets
    sc::Stream* s = Open();
    // The stream starts in the middle of a frame: its tail is no frame's.
    usb.microframe = 5;
    ASSERT_TRUE(Run(s));
    auto reads = Reads(s, 3);
    k::clock::RunUntil([&] { return reads[2]->Completed(); }, 20 * kMs);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        ASSERT_TRUE(reads[i]->Completed());
        ASSERT_EQ(reads[i]->result().status, STATUS_SUCCESS);
        // Six packets of payload behind each marker byte.
        EXPECT_EQ(reads[i]->result().actualBytes, 600u);
        const KSSTREAM_HEADER& h = reads[i]->Header(0);
        EXPECT_EQ(h.DataUsed, 600u);
        // The frame's first packet is microframe 16 (i + 1) of the device,
        // 11 + 16 i microframes into the run.
        EXPECT_EQ(h.PresentationTime.Time, (11 + 16 * i) * kMicroframe);
        EXPECT_EQ(h.Duration, 20000);
        EXPECT_TRUE(h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
        EXPECT_EQ(reads[i]->FrameInfo(0).PictureNumber, i + 1);
        EXPECT_EQ(reads[i]->FrameInfo(0).DropCount, 0);
        const uint8_t* data = reads[i]->Data(0);
        for (int p = 0; p < 6; ++p) {
            EXPECT_EQ(data[p * 100], static_cast<uint8_t>(16 * (i + 1) + p)) << "packet " << p;
            EXPECT_EQ(data[p * 100 + 99], static_cast<uint8_t>(16 * (i + 1) + p)) << "packet " << p;
        }
        EXPECT_EQ(cam.rawPackets[i], 16u);  // the empty ones count as packets of the frame
    }
    EXPECT_TRUE(std::all_of(cam.packetIrqls.begin(), cam.packetIrqls.end(), [](KIRQL l) { return l == DISPATCH_LEVEL; }));
    EXPECT_TRUE(std::all_of(cam.rawIrqls.begin(), cam.rawIrqls.end(), [](KIRQL l) { return l == PASSIVE_LEVEL; }));
    EXPECT_GE(cam.newFrames, 3);
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
}

TEST_F(EngineTest, EachDropReasonIsCountedAndTheReadWaitsForAGoodFrame)
{
    // Frames every 16 microframes; which frame does what is chosen by its number.
    std::map<uint64_t, char> fault;  // frame number -> what goes wrong
    usb.packet = [&](ULONGLONG m) {
        const ULONGLONG frame = m / 16, at = m % 16;
        const char what = fault.count(frame) ? fault[frame] : ' ';
        if (at == 0) return Packet('S', m, 100);
        if (at == 3 && what == 'X') return Packet('X', m, 0);
        if (at == 3 && what == 'B') return Packet('B', m, 100);
        if (at == 3 && what == 'O') return Packet('D', m, 200);  // becomes too long below
        if (at <= 5) return Packet('D', m, 100);
        if (what == 'O' && at <= 15) return Packet('D', m, 250);
        return std::vector<uint8_t>{};
    };
    fault = {{2, 'X'}, {4, 'B'}, {6, 'O'}};
    cam.rawFrameLength = 2048;  // frame 6 brings 3200 bytes
    sc::Stream* s = Open();
    ASSERT_TRUE(Run(s));
    auto reads = Reads(s, 5);
    // Frames 0 to 7 complete (frame 8's start packet is microframe 144).
    k::clock::Pump(16 * 9 * kMicroframe);
    const auto st = Statistics(s);
    EXPECT_EQ(st.DroppedByCamera, 2);  // the flag, and a count beyond its packet
    EXPECT_EQ(st.DroppedOverflow, 1);
    EXPECT_EQ(st.DropCount, 3);
    EXPECT_EQ(st.FramesDelivered, 5);
    EXPECT_EQ(st.PictureNumber, 8);
    // Picture numbers skip the dropped frames; DropCount says how many so far.
    std::vector<int64_t> numbers, drops;
    for (auto& r : reads) {
        ASSERT_TRUE(r->Completed());
        numbers.push_back(r->FrameInfo(0).PictureNumber);
        drops.push_back(r->FrameInfo(0).DropCount);
    }
    EXPECT_EQ(numbers, (std::vector<int64_t>{1, 2, 4, 6, 8}));
    EXPECT_EQ(drops, (std::vector<int64_t>{0, 0, 1, 2, 3}));

    // No read waiting: counted, not held.
    k::clock::Pump(16 * 3 * kMicroframe);
    EXPECT_EQ(Statistics(s).DroppedNoRequest, 3);

    // A conversion that yields nothing: dropped, and the read stays for the next frame.
    cam.convertNothing = true;
    auto waiting = s->Read(kImage * 4);
    k::clock::Pump(16 * 2 * kMicroframe);
    EXPECT_FALSE(waiting->Completed());
    EXPECT_EQ(Statistics(s).DroppedConversion, 2);
    cam.convertNothing = false;
    k::clock::Pump(16 * kMicroframe);
    EXPECT_TRUE(waiting->Completed());

    // The dropped-frames property tells the same totals.
    auto dropped = sc::PropertyRequest::Record(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                                               KSPROPERTY_DROPPEDFRAMES_CURRENT_S{});
    ASSERT_TRUE(s->GetProperty(dropped).ok());
    const auto record = dropped.DataAs<KSPROPERTY_DROPPEDFRAMES_CURRENT_S>();
    const auto totals = Statistics(s);
    EXPECT_EQ(record.PictureNumber, totals.PictureNumber);
    EXPECT_EQ(record.DropCount, totals.DropCount);
    EXPECT_EQ(record.AverageFrameSize, 600u);
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
    // Leaving STOP starts the counts afresh.
    ASSERT_TRUE(s->SetState(KSSTATE_PAUSE).ok());
    EXPECT_EQ(Statistics(s).PictureNumber, 0);
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
}

TEST_F(EngineTest, TheCameraMayShortenAFrameButNeverOverrunTheBuffer)
{
    usb.packet = Frames(48, 40);  // 41 x 100 bytes: more than the 4096-byte raw frame
    sc::Stream* s = Open();
    ASSERT_TRUE(Run(s));
    auto reads = Reads(s, 1);
    k::clock::Pump(48 * 4 * kMicroframe);
    EXPECT_FALSE(reads[0]->Completed());
    EXPECT_GE(Statistics(s).DroppedOverflow, 2);

    ASSERT_TRUE(s->SetState(KSSTATE_PAUSE).ok());
    usb.packet = Frames(48, 9);  // 1000 bytes
    cam.lowerFrameLengthTo = 900;
    ASSERT_TRUE(s->SetState(KSSTATE_RUN).ok());
    k::clock::Pump(48 * 3 * kMicroframe);
    EXPECT_FALSE(reads[0]->Completed());
    cam.lowerFrameLengthTo = 1000;
    k::clock::Pump(48 * 2 * kMicroframe);
    ASSERT_TRUE(reads[0]->Completed());
    EXPECT_EQ(reads[0]->result().actualBytes, 1000u);
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
}

TEST_F(EngineTest, FramesSoonerThanTheFrameIntervalAreDroppedAsTooEarly)
{
    usb.packet = Frames(16, 2);  // every 2.0 ms
    sc::Stream* s = Open();
    USBCAMD_SetFrameInterval(Context(), 30);  // at least 3.0 ms apart
    ASSERT_TRUE(Run(s));
    auto reads = Reads(s, 4);
    k::clock::RunUntil([&] { return reads[3]->Completed(); }, 50 * kMs);
    ASSERT_TRUE(reads[3]->Completed());
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(reads[i]->Header(0).PresentationTime.Time - reads[i - 1]->Header(0).PresentationTime.Time, 4 * kMs);
    }
    const auto st = Statistics(s);
    EXPECT_EQ(st.DroppedTooEarly, 3);
    EXPECT_EQ(st.FrameInterval, 30u);
    // 2.0 ms is allowed at 20.
    USBCAMD_SetFrameInterval(Context(), 20);
    auto more = Reads(s, 2);
    k::clock::Pump(5 * kMs);
    EXPECT_EQ(more[1]->Header(0).PresentationTime.Time - more[0]->Header(0).PresentationTime.Time, 2 * kMs);
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
}

TEST_F(EngineTest, FramesFasterThanConversionFindNoBufferAndAreCountedBusy)
{
    usb.packet = Frames(2, 1);  // four frames per tick, two raw frame buffers
    sc::Stream* s = Open();
    ASSERT_TRUE(Run(s));
    auto reads = Reads(s, 8);
    k::clock::Pump(4 * kMs);
    const auto st = Statistics(s);
    EXPECT_GT(st.DroppedBusy, 0);
    EXPECT_GT(st.FramesDelivered, 0);
    EXPECT_EQ(st.PictureNumber, st.FramesDelivered + st.DropCount);
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
}

TEST_F(EngineTest, BadPacketsFromTheBusAreCountedNotFollowed)
{
    usb.packet = Frames(16, 3);
    // Every 7th packet claims more than its slot; every 5th carries an
    // error; every 3rd moves its offset far outside the transfer buffer.
    usb.adjust = [](uint64_t m, USBD_ISO_PACKET_DESCRIPTOR& p) {
        if (m % 7 == 3) p.Length = kSlot + 100;
        if (m % 5 == 4) p.Status = USBD_STATUS_CRC;
        if (m % 3 == 1) p.Offset = 0xFFFFFF00u;
    };
    sc::Stream* s = Open();
    ASSERT_TRUE(Run(s));
    auto read = s->Read(kImage * 4);
    k::clock::Pump(5 * kMs);
    const auto st = Statistics(s);
    EXPECT_EQ(st.PacketsReceived, 40);
    // Frame 0: microframes 0 to 2, each from its own slot whatever its offset
    // said (1 moved it); 3 babbled and 4 failed, so they bring nothing.
    ASSERT_TRUE(read->Completed());
    EXPECT_EQ(read->Header(0).DataUsed, 300u);
    EXPECT_EQ(read->Data(0)[0], 0);
    EXPECT_EQ(read->Data(0)[100], 1);
    EXPECT_EQ(read->Data(0)[299], 2);
    EXPECT_EQ(st.PacketErrors, 8 + 6 - 1);  // m = 4, 9, ... and 3, 10, ...; 24 is both
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
}

TEST_F(EngineTest, ReadsAreCheckedQueuedCancelledAndEndedAtStopAndClose)
{
    usb.packet = Frames(16, 5);
    sc::Stream* s = Open();
    // Outside RUN and PAUSE a read is refused; a buffer short of a frame always.
    EXPECT_EQ(s->Read(kImage)->result().status, STATUS_DEVICE_NOT_READY);
    ASSERT_TRUE(s->SetState(KSSTATE_PAUSE).ok());
    EXPECT_EQ(s->Read(kImage - 1)->result().status, STATUS_BUFFER_TOO_SMALL);
    auto noHeader = s->SendData(SRB_READ_DATA, [](HW_STREAM_REQUEST_BLOCK& srb) { srb.NumberOfBuffers = 1; });
    EXPECT_EQ(noHeader->result().status, STATUS_INVALID_PARAMETER);
    KSSTREAM_HEADER tiny{};
    tiny.Size = 8;
    auto shortHeader = s->SendData(SRB_READ_DATA, [&](HW_STREAM_REQUEST_BLOCK& srb) {
        srb.NumberOfBuffers = 1;
        srb.CommandData.DataBufferArray = &tiny;
    });
    EXPECT_EQ(shortHeader->result().status, STATUS_INVALID_PARAMETER);

    auto reads = Reads(s, 4);
    s->Cancel(*reads[1]);
    EXPECT_EQ(reads[1]->result().status, STATUS_CANCELLED);
    ASSERT_TRUE(s->SetState(KSSTATE_RUN).ok());
    k::clock::Pump(40 * kMicroframe);
    EXPECT_TRUE(reads[0]->Completed());
    EXPECT_TRUE(reads[2]->Completed());
    EXPECT_FALSE(reads[3]->Completed());
    EXPECT_EQ(reads[2]->FrameInfo(0).PictureNumber, 2);
    ASSERT_TRUE(s->SetState(KSSTATE_PAUSE).ok());
    EXPECT_FALSE(reads[3]->Completed()) << "a pause keeps the reads";
    ASSERT_TRUE(s->SetState(KSSTATE_RUN).ok());
    auto atClose = s->Read(kImage);
    EXPECT_TRUE(s->Close().ok());  // closing a running stream stops it
    EXPECT_EQ(atClose->result().status, STATUS_CANCELLED);
    EXPECT_EQ(cam.calls.back(), "Free");
}

TEST_F(EngineTest, AnUnpluggedDeviceEndsTheRunAndItsReads)
{
    usb.packet = Frames(16, 5);
    sc::Stream* s = Open();
    ASSERT_TRUE(Run(s));
    auto reads = Reads(s, 3);
    k::clock::RunUntil([&] { return reads[0]->Completed(); }, 10 * kMs);
    ASSERT_EQ(reads[0]->result().status, STATUS_SUCCESS);
    usb.unplugged = true;
    k::clock::Pump(2 * kMs);
    EXPECT_EQ(reads[1]->result().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(reads[2]->result().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(k::scheduler::SetTimerCount(), 0u);
    EXPECT_EQ(s->Read(kImage)->result().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Statistics(s).TransferStatus, STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
    EXPECT_EQ(cam.calls, (std::vector<std::string>{"Allocate", "Start", "Stop", "Free"}));
    // A new run cannot select its bandwidth on a device that is gone, and
    // the stream closes as cleanly.
    auto again = Reads(s, 1);
    EXPECT_EQ(again[0]->result().status, STATUS_DEVICE_NOT_READY);
    cam.expectSelectStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(s->SetState(KSSTATE_ACQUIRE).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(port->PendingRequests(), 0u);
    EXPECT_TRUE(s->Close().ok());
}

TEST_F(EngineTest, VersionOneCamerasGetTheRawBytes)
{
    cam.version1 = true;
    usb.packet = Frames(16, 2);
    sc::Stream* s = Open();
    ASSERT_TRUE(Run(s));
    auto reads = Reads(s, 2);
    k::clock::RunUntil([&] { return reads[1]->Completed(); }, 10 * kMs);
    ASSERT_EQ(reads[1]->result().status, STATUS_SUCCESS);
    // Three whole packets, marker bytes included: the library's plain copy.
    EXPECT_EQ(reads[1]->Header(0).DataUsed, 303u);
    EXPECT_EQ(reads[1]->Data(0)[0], 'S');
    EXPECT_EQ(reads[1]->Data(0)[101], 'D');
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
}

TEST_F(EngineTest, TheStatisticsSetIsAddedToTheCamerasStreamProperties)
{
    sc::Stream* s = Open();
    const auto& info = device->Description()->streams[0];
    ASSERT_EQ(info.NumStreamPropArrayEntries, 3u);
    EXPECT_TRUE(IsEqualGUIDBytes(*info.StreamPropertiesArray[2].Set, PROPSETID_USBCAMD_STATISTICS));
    auto tooSmall = sc::PropertyRequest::Make(PROPSETID_USBCAMD_STATISTICS, KSPROPERTY_USBCAMD_STATISTICS,
                                              sizeof(USBCAMD_STREAM_STATISTICS) - 1);
    EXPECT_EQ(s->GetProperty(tooSmall).status, STATUS_BUFFER_TOO_SMALL);
    auto set = sc::PropertyRequest::Make(PROPSETID_USBCAMD_STATISTICS, KSPROPERTY_USBCAMD_STATISTICS,
                                         sizeof(USBCAMD_STREAM_STATISTICS));
    EXPECT_EQ(s->SetProperty(set).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Statistics(s).PictureNumber, 0);
}

// ------------------------------------------------------------ the USB stack ---

std::vector<USHORT> Submitted(const std::vector<kv::usbport::UrbEvent>& events)
{
    std::vector<USHORT> functions;
    for (const auto& e : events) {
        if (e.kind == kv::usbport::UrbEvent::Kind::Submit) functions.push_back(e.function);
    }
    return functions;
}

TEST_F(EngineTest, DeviceStartAndACaptureRunSendTheirUrbsInOrder)
{
    usb.packet = Frames(16, 5);
    sc::Stream* s = Open();
    EXPECT_EQ(Submitted(port->Events()),
              (std::vector<USHORT>{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                   URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_SELECT_CONFIGURATION}));
    port->ClearEvents();

    ASSERT_TRUE(Run(s));
    auto reads = Reads(s, 2);
    k::clock::RunUntil([&] { return reads[1]->Completed(); }, 20 * kMs);
    ASSERT_EQ(reads[1]->result().status, STATUS_SUCCESS);
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());

    const auto events = port->Events();
    const auto functions = Submitted(events);
    // The setting with bandwidth, three transfers down before any comes back,
    // each sent again as it completes; the pipe aborted at stop; setting 0.
    ASSERT_GE(functions.size(), 7u);
    EXPECT_EQ(functions[0], URB_FUNCTION_SELECT_INTERFACE);
    EXPECT_EQ(std::vector<USHORT>(functions.begin() + 1, functions.begin() + 4),
              std::vector<USHORT>(3, URB_FUNCTION_ISOCH_TRANSFER));
    EXPECT_EQ(events[1].kind, kv::usbport::UrbEvent::Kind::Complete);  // the selection's answer
    EXPECT_EQ(events[4].kind, kv::usbport::UrbEvent::Kind::Submit);
    EXPECT_EQ(functions[functions.size() - 2], URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(functions.back(), URB_FUNCTION_SELECT_INTERFACE);
    EXPECT_EQ(port->PeakPending(), static_cast<size_t>(USBCAMD_TRANSFERS_IN_FLIGHT));

    size_t cancelled = 0, completed = 0;
    for (const auto& e : events) {
        if (e.function != URB_FUNCTION_ISOCH_TRANSFER || e.kind != kv::usbport::UrbEvent::Kind::Complete) continue;
        ++completed;
        EXPECT_EQ(e.irql, DISPATCH_LEVEL) << "isochronous completions run at DISPATCH_LEVEL";
        EXPECT_EQ(e.packets.size(), static_cast<size_t>(USBCAMD_PACKETS_PER_TRANSFER));
        if (e.usbdStatus == USBD_STATUS_CANCELED) ++cancelled;
    }
    EXPECT_EQ(completed, static_cast<size_t>(std::count(functions.begin(), functions.end(), URB_FUNCTION_ISOCH_TRANSFER)));
    EXPECT_EQ(cancelled, static_cast<size_t>(USBCAMD_TRANSFERS_IN_FLIGHT)) << "stop cancels what is in flight";
    EXPECT_EQ(port->PendingRequests(), 0u);
    EXPECT_EQ(k::io::OutstandingIrpCount(), 0u) << "the transfers' IRPs are freed with the buffers";
    EXPECT_EQ(usb.usb.AlternateSetting(), 0);
}

TEST_F(EngineTest, AFailedTransferIsCountedAndThePipeResetBeforeTheRunGoesOn)
{
    usb.packet = Frames(16, 5);
    // Erroring packets on the way are counted and carry nothing.
    usb.adjust = [](uint64_t m, USBD_ISO_PACKET_DESCRIPTOR& p) {
        if (m % 11 == 7) p.Status = USBD_STATUS_CRC;
    };
    sc::Stream* s = Open();
    ASSERT_TRUE(Run(s));
    port->ClearEvents();
    port->InjectIsoUrbFault({2, USBD_STATUS_ISOCH_REQUEST_FAILED});
    auto reads = Reads(s, 3);
    k::clock::RunUntil([&] { return reads[2]->Completed(); }, 40 * kMs);
    for (auto& r : reads) EXPECT_EQ(r->result().status, STATUS_SUCCESS);

    const auto st = Statistics(s);
    EXPECT_EQ(st.TransferErrors, 1);
    EXPECT_GT(st.PacketErrors, 0);
    EXPECT_EQ(st.TransferStatus, STATUS_SUCCESS);
    EXPECT_EQ(st.PictureNumber, st.FramesDelivered + st.DropCount);
    const auto functions = Submitted(port->Events());
    const auto abort = std::find(functions.begin(), functions.end(), URB_FUNCTION_ABORT_PIPE);
    ASSERT_NE(abort, functions.end());
    ASSERT_LT(abort + 1, functions.end());
    EXPECT_EQ(abort[1], URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(std::count(abort + 2, functions.end(), URB_FUNCTION_ISOCH_TRANSFER) >= USBCAMD_TRANSFERS_IN_FLIGHT, true)
        << "every transfer goes down again after the reset";
    ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
    EXPECT_EQ(k::io::OutstandingIrpCount(), 0u);
}

TEST_F(EngineTest, AStopWhoseFirstAbortCannotBeSentStillEndsEveryTransfer)
{
    usb.packet = Frames(16, 5);
    struct Case {
        const char* routine;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"IoAllocateIrp", STATUS_INSUFFICIENT_RESOURCES},
        {"UsbSubmitUrb", STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.routine);
        sc::Stream* s = Open();
        ASSERT_TRUE(Run(s));
        auto first = Reads(s, 1);
        k::clock::RunUntil([&] { return first[0]->Completed(); }, 10 * kMs);
        ASSERT_EQ(port->PendingRequests(), static_cast<size_t>(USBCAMD_TRANSFERS_IN_FLIGHT));
        k::InjectFailure(c.routine, c.status);
        ASSERT_TRUE(s->SetState(KSSTATE_STOP).ok());
        EXPECT_EQ(port->PendingRequests(), 0u);
        EXPECT_TRUE(s->Close().ok());
        k::ClearInjectedFailures();
        device.reset();
        driver.reset();
        port.reset();
    }
}

TEST_F(EngineTest, AnUnplugWithTransfersInFlightCompletesThemAllAndTheDeviceHearsNothingMore)
{
    usb.packet = Frames(16, 5);
    sc::Stream* s = Open();
    ASSERT_TRUE(Run(s));
    auto first = Reads(s, 1);
    k::clock::RunUntil([&] { return first[0]->Completed(); }, 10 * kMs);
    auto waiting = Reads(s, 2);
    ASSERT_EQ(port->PendingRequests(), static_cast<size_t>(USBCAMD_TRANSFERS_IN_FLIGHT));

    usb.unplugged = true;
    const size_t controlBefore = usb.usb.Log().size();
    const auto microframe = usb.microframe;
    k::clock::Pump(2 * kMs);
    for (auto& r : waiting) EXPECT_EQ(r->result().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(port->PendingRequests(), 0u);
    size_t gone = 0;
    for (const auto& e : port->Events()) {
        if (e.kind == kv::usbport::UrbEvent::Kind::Complete && e.usbdStatus == USBD_STATUS_DEVICE_GONE) ++gone;
    }
    EXPECT_GE(gone, static_cast<size_t>(USBCAMD_TRANSFERS_IN_FLIGHT));

    EXPECT_TRUE(s->Close().ok());
    EXPECT_EQ(usb.usb.Log().size(), controlBefore) << "no request reaches a device that is gone";
    EXPECT_EQ(usb.microframe, microframe);
    EXPECT_EQ(k::io::OutstandingIrpCount(), 0u);
}
