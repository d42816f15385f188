// The class library's control side, driven through the stream class
// emulation and the scripted USB device by a small fake camera minidriver
// whose callbacks record what they are given.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/kernel.h"
#include "host/streamclass.h"
#include "host/usbport.h"
#include "platform/usbcamdi.h"
#include "tests/support/kernel_test.h"
#include "tests/support/usb_double.h"

namespace sc = kv::streamclass;

namespace {

constexpr ULONG kContextSize = 648;

// One YUY2 320 x 240 range, and the format that matches it.
KS_DATARANGE_VIDEO MakeRange()
{
    KS_DATARANGE_VIDEO r{};
    r.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    r.DataRange.SampleSize = 153600;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    r.DataRange.SubFormat = MEDIASUBTYPE_YUY2;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    r.VideoInfoHeader.bmiHeader = {40, 320, 240, 1, 16, 0x32595559, 153600, 0, 0, 0, 0};
    return r;
}
const KS_DATARANGE_VIDEO kRange = MakeRange();
PKSDATAFORMAT kFormats[] = {const_cast<PKSDATAFORMAT>(&kRange.DataRange)};

KS_DATAFORMAT_VIDEOINFOHEADER MakeFormat(LONG width = 320)
{
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    f.DataFormat = kRange.DataRange;
    f.DataFormat.FormatSize = sizeof(f);
    f.VideoInfoHeader = kRange.VideoInfoHeader;
    f.VideoInfoHeader.bmiHeader.biWidth = width;
    return f;
}

struct FakeCamera {
    std::vector<std::string> calls;
    bool registerV2 = true;
    bool completeTwice = false;
    NTSTATUS initializeStatus = STATUS_SUCCESS;
    std::function<void(PVOID)> duringInitialize;
    PDEVICE_OBJECT busSeen = nullptr;
    PVOID contextSeen = nullptr;
    bool contextZeroed = false;
    ULONG descriptorLengthAtInit = 0;
    // What the configure routine was given.
    std::vector<uint8_t> interfaceCopy;
    USHORT configTotalLength = 0;
    USHORT vendorId = 0;
    ULONG pipeConfigListSize = 0;
    // Stream hooks.
    std::vector<ULONG> controlHook, dataHook;
    bool hookCompletesGetFormat = false;
};
FakeCamera* g_cam = nullptr;

NTSTATUS NTAPI CamInitialize(PDEVICE_OBJECT bus, PVOID context)
{
    g_cam->calls.push_back("CamInitialize");
    g_cam->busSeen = bus;
    g_cam->contextSeen = context;
    const auto* bytes = static_cast<const uint8_t*>(context);
    g_cam->contextZeroed = std::all_of(bytes, bytes + kContextSize, [](uint8_t b) { return b == 0; });
    g_cam->descriptorLengthAtInit = USBCAMD_DescriptorLength(context);
    if (g_cam->duringInitialize) g_cam->duringInitialize(context);
    return g_cam->initializeStatus;
}

NTSTATUS NTAPI CamUnInitialize(PDEVICE_OBJECT, PVOID)
{
    g_cam->calls.push_back("CamUnInitialize");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamConfigureEx(PDEVICE_OBJECT, PVOID, PUSBD_INTERFACE_INFORMATION interface,
                              PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG listSize,
                              PUSBCAMD_Pipe_Config_Descriptor pipeConfig, PUSB_DEVICE_DESCRIPTOR device)
{
    if (interface == nullptr) {
        g_cam->calls.push_back("CamConfigureEx(none)");
        return STATUS_SUCCESS;
    }
    g_cam->calls.push_back("CamConfigureEx");
    // What a camera does: note its transfer sizes, then keep a copy.
    if (interface->NumberOfPipes > 1) interface->Pipes[1].MaximumTransferSize = 0xC0000;
    const auto* raw = reinterpret_cast<const uint8_t*>(interface);
    g_cam->interfaceCopy.assign(raw, raw + interface->Length);
    g_cam->configTotalLength = configuration->wTotalLength;
    g_cam->vendorId = device->idVendor;
    g_cam->pipeConfigListSize = listSize;
    for (ULONG i = 0; i < listSize; ++i) {
        pipeConfig[i] = i == 1 ? USBCAMD_Pipe_Config_Descriptor{USBCAMD_VIDEO_STREAM, USBCAMD_DATA_PIPE}
                               : USBCAMD_Pipe_Config_Descriptor{0, USBCAMD_DONT_CARE_PIPE};
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamConfigure(PDEVICE_OBJECT, PVOID, PUSBD_INTERFACE_INFORMATION interface,
                            PUSB_CONFIGURATION_DESCRIPTOR, PLONG dataPipe, PLONG syncPipe)
{
    g_cam->calls.push_back(interface != nullptr ? "CamConfigure" : "CamConfigure(none)");
    *dataPipe = 1;
    *syncPipe = -1;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamSaveState(PDEVICE_OBJECT, PVOID)
{
    g_cam->calls.push_back("CamSaveState");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamRestoreState(PDEVICE_OBJECT, PVOID)
{
    g_cam->calls.push_back("CamRestoreState");
    return STATUS_SUCCESS;
}

const USBCAMD_DEVICE_DATA2 kV2 = {0, CamInitialize, CamUnInitialize, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   CamConfigureEx, CamSaveState, CamRestoreState, nullptr, nullptr};
const USBCAMD_DEVICE_DATA kV1 = {0, CamInitialize, CamUnInitialize, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 CamConfigure, CamSaveState, CamRestoreState, nullptr, nullptr};

VOID NTAPI ControlHook(PVOID srbPointer, PVOID, PBOOLEAN completed)
{
    auto* srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(srbPointer);
    g_cam->controlHook.push_back(srb->Command);
    if (g_cam->hookCompletesGetFormat && srb->Command == SRB_GET_DATA_FORMAT) {
        *completed = TRUE;
        srb->Status = STATUS_NOT_IMPLEMENTED;
        StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
        return;
    }
    *completed = FALSE;
}

VOID NTAPI DataHook(PVOID srbPointer, PVOID, PBOOLEAN)
{
    g_cam->dataHook.push_back(static_cast<PHW_STREAM_REQUEST_BLOCK>(srbPointer)->Command);
}

VOID NTAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK srb)
{
    PVOID context = USBCAMD_AdapterReceivePacket(srb, nullptr, nullptr, FALSE);
    switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE:
        if (g_cam->registerV2) {
            EXPECT_EQ(USBCAMD_InitializeNewInterface(context, const_cast<USBCAMD_DEVICE_DATA2*>(&kV2),
                                                     USBCAMD_VERSION_200, 0x0C),
                      ULONG(USBCAMD_VERSION_200));
        }
        break;
    case SRB_GET_STREAM_INFO: {
        HW_STREAM_DESCRIPTOR* d = srb->CommandData.StreamBuffer;
        d->StreamHeader.NumberOfStreams = 1;
        d->StreamInfo.NumberOfPossibleInstances = 1;
        d->StreamInfo.DataFlow = KSPIN_DATAFLOW_OUT;
        d->StreamInfo.NumberOfFormatArrayEntries = 1;
        d->StreamInfo.StreamFormatsArray = kFormats;
        break;
    }
    case SRB_OPEN_STREAM:
        srb->StreamObject->ReceiveDataPacket =
            reinterpret_cast<PHW_RECEIVE_STREAM_DATA_SRB>(reinterpret_cast<void (*)()>(&DataHook));
        srb->StreamObject->ReceiveControlPacket =
            reinterpret_cast<PHW_RECEIVE_STREAM_CONTROL_SRB>(reinterpret_cast<void (*)()>(&ControlHook));
        break;
    default:
        break;
    }
    USBCAMD_AdapterReceivePacket(srb, const_cast<USBCAMD_DEVICE_DATA*>(&kV1), nullptr, TRUE);
    if (g_cam->completeTwice) StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

NTSTATUS NTAPI CameraEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    return (NTSTATUS)USBCAMD_DriverEntry(driver, path, kContextSize, 12, AdapterReceivePacket);
}

class ClassLibraryTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sc::Reset();
        g_cam = &cam;
        port = kv::usbport::Port::Attach(usb, usb.PortOptions());
        driver = sc::Driver::Load(CameraEntry);
        ASSERT_EQ(driver->EntryStatus(), STATUS_SUCCESS);
        device = sc::Device::Add(*driver, port->Pdo());
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override
    {
        device.reset();
        driver.reset();
        port.reset();
        g_cam = nullptr;
        KernelTest::TearDown();
    }

    PVOID Context(PDEVICE_OBJECT* busDevice = nullptr)
    {
        HW_STREAM_REQUEST_BLOCK srb{};
        srb.HwDeviceExtension = device->HwDeviceExtension();
        if (busDevice == nullptr) return USBCAMD_AdapterReceivePacket(&srb, nullptr, nullptr, FALSE);
        return USBCAMD_AdapterReceivePacket(&srb, nullptr, busDevice, FALSE);
    }
    sc::Stream* StartAndOpen()
    {
        EXPECT_EQ(device->Start(), STATUS_SUCCESS);
        const auto format = MakeFormat();
        sc::Stream* stream = nullptr;
        EXPECT_TRUE(device->OpenStream(0, &format, sizeof(format), &stream).ok());
        return stream;
    }
    // The camera's interface copy, for alternate setting selection.
    std::vector<uint8_t> InterfaceWith(UCHAR alternate)
    {
        auto copy = cam.interfaceCopy;
        reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(copy.data())->AlternateSetting = alternate;
        return copy;
    }
    static PUSBD_INTERFACE_INFORMATION Info(std::vector<uint8_t>& bytes)
    {
        return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes.data());
    }

    FakeCamera cam;
    kvtest::UsbDouble usb;
    std::unique_ptr<kv::usbport::Port> port;
    std::unique_ptr<sc::Driver> driver;
    std::unique_ptr<sc::Device> device;
};

TEST_F(ClassLibraryTest, DeviceStartReadsTheDeviceAndHandsItToTheCamera)
{
    EXPECT_EQ(USBCAMD_DescriptorLength(Context()), 0u);
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(cam.calls, (std::vector<std::string>{"CamInitialize", "CamConfigureEx"}));
    EXPECT_EQ(cam.busSeen, port->Pdo());
    EXPECT_EQ(cam.contextSeen, Context());
    EXPECT_TRUE(cam.contextZeroed);
    // The context is the last kContextSize bytes of the extension, 16-byte aligned.
    const auto offset = static_cast<uint8_t*>(Context()) - static_cast<uint8_t*>(device->HwDeviceExtension());
    EXPECT_EQ(offset + kContextSize, device->HwDeviceExtensionSize());
    EXPECT_EQ(offset % 16, 0);
    PDEVICE_OBJECT bus = nullptr;
    EXPECT_EQ(Context(&bus), cam.contextSeen);
    EXPECT_EQ(bus, port->Pdo());

    // Descriptors, then the configuration, on the default pipe.
    const auto& log = usb.Log();
    ASSERT_GE(log.size(), 4u);
    const USB_DEFAULT_PIPE_SETUP_PACKET expected[] = {
        {0x80, 6, 0x0100, 0, 18}, {0x80, 6, 0x0200, 0, 9}, {0x80, 6, 0x0200, 0, 231}, {0x00, 9, 1, 0, 0}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(std::memcmp(&log[i].setup, &expected[i], sizeof(expected[i])), 0) << "transfer " << i;
    }
    EXPECT_EQ(usb.Configuration(), UCHAR(1));
    EXPECT_EQ(cam.descriptorLengthAtInit, 231u);
    EXPECT_EQ(cam.configTotalLength, 231);
    EXPECT_EQ(cam.vendorId, 0x1234);

    // The interface as the USB stack describes alternate setting 0, one entry per pipe.
    ASSERT_EQ(cam.interfaceCopy.size(), GET_USBD_INTERFACE_SIZE(4));
    const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(cam.interfaceCopy.data());
    EXPECT_EQ(info->NumberOfPipes, 4u);
    EXPECT_EQ(info->AlternateSetting, 0);
    EXPECT_EQ(info->Class, 0xFF);
    EXPECT_EQ(info->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(info->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(info->Pipes[1].EndpointAddress, 0x82);
    EXPECT_EQ(info->Pipes[1].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(info->Pipes[1].MaximumPacketSize, 0);
    EXPECT_EQ(info->Pipes[3].EndpointAddress, 0x04);
    EXPECT_NE(info->Pipes[1].PipeHandle, info->Pipes[2].PipeHandle);
    EXPECT_EQ(cam.pipeConfigListSize, 4u);
}

TEST_F(ClassLibraryTest, StartAndStopLeaveNothingBehind)
{
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_GT(kv::kernel::pool::OutstandingCount(KV_POOL_TAG('U', 'c', 'a', 'm')), 0u);
    EXPECT_TRUE(device->Uninitialize().ok());
    EXPECT_EQ(cam.calls, (std::vector<std::string>{"CamInitialize", "CamConfigureEx", "CamConfigureEx(none)",
                                                   "CamUnInitialize"}));
    EXPECT_EQ(kv::kernel::pool::OutstandingCount(), 0u) << kv::kernel::pool::LeakReport();
    EXPECT_EQ(USBCAMD_DescriptorLength(Context()), 0u);

    // And the device starts again.
    cam.calls.clear();
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(cam.calls, (std::vector<std::string>{"CamInitialize", "CamConfigureEx"}));
}

TEST_F(ClassLibraryTest, FailedStartsReportTheirStatusAndReleaseEverything)
{
    // The camera refuses: it is uninitialised at once, since no stop follows a failed start.
    cam.initializeStatus = STATUS_IO_DEVICE_ERROR;
    EXPECT_EQ(device->InitializeDevice().status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(cam.calls, (std::vector<std::string>{"CamInitialize", "CamUnInitialize"}));
    EXPECT_EQ(kv::kernel::pool::OutstandingCount(), 0u);

    // The device stalls its first descriptor request.
    cam = FakeCamera{};
    usb.FailTransferNumber(usb.Log().size());
    EXPECT_EQ(device->InitializeDevice().status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(cam.calls.empty());

    // A configuration whose interface descriptor claims one byte.
    auto saved = usb.ConfigurationDescriptor();
    usb.ConfigurationDescriptor()[9] = 1;
    EXPECT_EQ(device->InitializeDevice().status, STATUS_DEVICE_DATA_ERROR);
    // An interface with fewer endpoints than it announces.
    usb.ConfigurationDescriptor() = saved;
    usb.ConfigurationDescriptor()[9 + 4] = 5;
    EXPECT_EQ(device->InitializeDevice().status, STATUS_DEVICE_DATA_ERROR);
    usb.ConfigurationDescriptor() = saved;

    // Pool exhausted for the configuration descriptor.
    kv::kernel::pool::FailNth(1);
    EXPECT_EQ(device->InitializeDevice().status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(cam.calls.empty());
    EXPECT_EQ(kv::kernel::pool::OutstandingCount(), 0u);

    // An unplugged device.
    usb.Unplug();
    EXPECT_EQ(device->InitializeDevice().status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(ClassLibraryTest, DescriptorLengthIsTheConfigurationTotal)
{
    // Two settings (83 bytes) and a 16-byte class descriptor: 99, a low-bandwidth length.
    auto config = kvtest::UsbDouble::DefaultConfiguration(2);
    config.insert(config.end(), {16, 0x24, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    config[2] = static_cast<uint8_t>(config.size());
    usb.ConfigurationDescriptor() = config;
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(cam.descriptorLengthAtInit, 99u);
    EXPECT_EQ(USBCAMD_DescriptorLength(Context()), 99u);
}

TEST_F(ClassLibraryTest, VendorCommandsReachTheDeviceWithTheirSetupBytes)
{
    UCHAR during = 0;
    usb.registers[0x203] = 0xBA;
    cam.duringInitialize = [&](PVOID context) {
        ULONG length = 1;
        EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0x00, 0, 0x0203, &during, &length, TRUE, nullptr, nullptr),
                  STATUS_SUCCESS);
    };
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(during, 0xBA);
    PVOID context = Context();
    usb.ClearLog();

    EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0x01, 0x5A, 0x0110, nullptr, nullptr, FALSE, nullptr, nullptr),
              STATUS_SUCCESS);
    UCHAR value = 0;
    ULONG length = 1;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0x00, 0, 0x0110, &value, &length, TRUE, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(length, 1u);
    ASSERT_EQ(usb.Log().size(), 2u);
    const USB_DEFAULT_PIPE_SETUP_PACKET write = {0x40, 0x01, 0x5A, 0x0110, 0};
    const USB_DEFAULT_PIPE_SETUP_PACKET read = {0xC0, 0x00, 0, 0x0110, 1};
    EXPECT_EQ(std::memcmp(&usb.Log()[0].setup, &write, sizeof(write)), 0);
    EXPECT_EQ(std::memcmp(&usb.Log()[1].setup, &read, sizeof(read)), 0);

    // Failures are failures, and the length says nothing moved.
    usb.FailRegister(0x0110);
    length = 1;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0x00, 0, 0x0110, &value, &length, TRUE, nullptr, nullptr),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(length, 0u);

    // Bad arguments never reach the device.
    const size_t before = usb.Log().size();
    EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0, 0, 0, nullptr, &length, TRUE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    length = 0;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0, 0, 0, &value, &length, TRUE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    length = 4;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 1, 0, 0, nullptr, &length, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(USBCAMD_ControlVendorCommand(&value, 1, 0, 0, nullptr, nullptr, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usb.Log().size(), before);

    // A completion routine is told the outcome.
    static NTSTATUS reported;
    reported = STATUS_PENDING;
    auto complete = [](PVOID, PVOID commandContext, NTSTATUS status) -> NTSTATUS {
        reported = status;
        EXPECT_EQ(commandContext, reinterpret_cast<PVOID>(0x77));
        return status;
    };
    EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0x01, 1, 0x0111, nullptr, nullptr, FALSE, complete,
                                           reinterpret_cast<PVOID>(0x77)),
              STATUS_SUCCESS);
    EXPECT_EQ(reported, STATUS_SUCCESS);

    // Above PASSIVE_LEVEL nothing waits: a write goes down with a request of
    // its own and the routine hears how it ended; a read, with nowhere to
    // land once the caller has moved on, is refused.
    reported = STATUS_PENDING;
    {
        kv::kernel::IrqlScope raised;
        EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0x01, 7, 0x0111, nullptr, nullptr, FALSE, complete,
                                               reinterpret_cast<PVOID>(0x77)),
                  STATUS_SUCCESS);
        UCHAR byte = 0;
        ULONG one = 1;
        EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0x00, 0, 0x0111, &byte, &one, TRUE, nullptr, nullptr),
                  STATUS_INVALID_DEVICE_STATE);
    }
    EXPECT_EQ(reported, STATUS_SUCCESS);
    EXPECT_EQ(usb.registerWrites.back(), (std::pair<uint16_t, uint8_t>{0x0111, 7}));

    usb.Unplug();
    EXPECT_EQ(USBCAMD_ControlVendorCommand(context, 0x01, 1, 0x0111, nullptr, nullptr, FALSE, nullptr, nullptr),
              STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(ClassLibraryTest, AlternateSettingsFillThePipesWithinTheBandwidth)
{
    sc::Stream* stream = StartAndOpen();
    ASSERT_NE(stream, nullptr);
    PVOID context = Context();

    auto three = InterfaceWith(3);
    ASSERT_EQ(USBCAMD_SelectAlternateInterface(context, Info(three)), STATUS_SUCCESS);
    EXPECT_EQ(usb.AlternateSetting(), 3);
    const USBD_PIPE_INFORMATION& pipe = Info(three)->Pipes[1];
    EXPECT_EQ(pipe.MaximumPacketSize, 1024);
    EXPECT_EQ(pipe.EndpointAddress, 0x82);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(pipe.Interval, 1);
    EXPECT_NE(pipe.PipeHandle, nullptr);
    EXPECT_EQ(pipe.MaximumTransferSize, 0xC0000u) << "the camera's transfer size is kept";
    EXPECT_EQ(Info(three)->NumberOfPipes, 4u);

    // High bandwidth: three 1024-byte transactions per microframe.
    auto five = InterfaceWith(5);
    ASSERT_EQ(USBCAMD_SelectAlternateInterface(context, Info(five)), STATUS_SUCCESS);
    EXPECT_EQ(Info(five)->Pipes[1].MaximumPacketSize, 3072);

    // Beyond the host controller's budget: refused, the setting stays.
    port->SetBandwidthBudget(2048);
    auto again = InterfaceWith(5);
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(context, Info(again)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(usb.AlternateSetting(), 5);
    auto four = InterfaceWith(4);
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(context, Info(four)), STATUS_SUCCESS);
    EXPECT_EQ(Info(four)->Pipes[1].MaximumPacketSize, 2048);

    // Records that do not describe a setting of the device.
    auto unknown = InterfaceWith(9);
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(context, Info(unknown)), STATUS_INVALID_PARAMETER);
    auto otherInterface = InterfaceWith(1);
    Info(otherInterface)->InterfaceNumber = 1;
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(context, Info(otherInterface)), STATUS_INVALID_PARAMETER);
    auto short_ = InterfaceWith(1);
    Info(short_)->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(context, Info(short_)), STATUS_INVALID_PARAMETER);
    auto pipes = InterfaceWith(1);
    Info(pipes)->NumberOfPipes = 2;
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(context, Info(pipes)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(context, nullptr), STATUS_INVALID_PARAMETER);

    // Not under a running stream.
    ASSERT_TRUE(stream->SetState(KSSTATE_RUN).ok());
    auto one = InterfaceWith(1);
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(context, Info(one)), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(usb.AlternateSetting(), 4);
    stream->SetState(KSSTATE_STOP);
}

TEST_F(ClassLibraryTest, StreamHooksComeFirstAndTheirCompletedFlagIsHonoured)
{
    sc::Stream* stream = StartAndOpen();
    ASSERT_NE(stream, nullptr);

    // Not completed by the hook: the library answers.
    EXPECT_TRUE(stream->SetState(KSSTATE_PAUSE).ok());
    KSSTATE state = KSSTATE_STOP;
    EXPECT_TRUE(stream->GetState(&state).ok());
    EXPECT_EQ(state, KSSTATE_PAUSE);
    std::vector<uint8_t> format;
    sc::Result r = stream->GetFormat(0, &format);
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.actualBytes, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    EXPECT_EQ(cam.controlHook,
              (std::vector<ULONG>{SRB_SET_STREAM_STATE, SRB_GET_STREAM_STATE, SRB_GET_DATA_FORMAT}));

    // Completed by the hook: the library leaves it (a second completion would be a violation).
    cam.hookCompletesGetFormat = true;
    EXPECT_EQ(stream->GetFormat(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), &format).status, STATUS_NOT_IMPLEMENTED);

    // Format defaults: the stream's own ranges decide.
    const auto offered = MakeFormat();
    const auto other = MakeFormat(352);
    EXPECT_EQ(stream->ProposeFormat(&offered, sizeof(offered)).status, STATUS_SUCCESS);
    EXPECT_EQ(stream->ProposeFormat(&other, sizeof(other)).status, STATUS_NO_MATCH);

    // Reads: the data hook first, then queued while paused and ended at stop.
    auto read = stream->Read(153600);
    EXPECT_FALSE(read->Completed());
    EXPECT_EQ(cam.dataHook, std::vector<ULONG>{SRB_READ_DATA});
    auto cancelled = stream->Read(153600);
    stream->Cancel(*cancelled);
    EXPECT_EQ(cancelled->result().status, STATUS_CANCELLED);
    EXPECT_TRUE(stream->SetState(KSSTATE_STOP).ok());
    EXPECT_TRUE(read->Completed());
    EXPECT_EQ(read->result().status, STATUS_CANCELLED);
    EXPECT_EQ(stream->Read(153600)->result().status, STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(stream->Close().ok());
}

TEST_F(ClassLibraryTest, StreamPropertiesAreTheLibrarysOwnAndCheckedFirst)
{
    sc::Stream* stream = StartAndOpen();
    ASSERT_NE(stream, nullptr);

    auto framing = sc::PropertyRequest::Make(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
                                             sizeof(KSALLOCATOR_FRAMING));
    sc::Result r = stream->GetProperty(framing);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.actualBytes, sizeof(KSALLOCATOR_FRAMING));
    const auto f = framing.DataAs<KSALLOCATOR_FRAMING>();
    EXPECT_EQ(f.FrameSize, 153600u);
    EXPECT_EQ(f.Frames, 2u);
    EXPECT_EQ(f.PoolType, NonPagedPool);

    auto dropped = sc::PropertyRequest::Record(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                                               KSPROPERTY_DROPPEDFRAMES_CURRENT_S{});
    r = stream->GetProperty(dropped);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.actualBytes, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S));
    EXPECT_EQ(dropped.DataAs<KSPROPERTY_DROPPEDFRAMES_CURRENT_S>().DropCount, 0);
    EXPECT_EQ(dropped.DataAs<KSPROPERTY_DROPPEDFRAMES_CURRENT_S>().AverageFrameSize, 153600u);
    const size_t hooked = cam.controlHook.size();

    // Refused before the camera sees them: short buffers, sets and directions not announced.
    auto shortFraming = sc::PropertyRequest::Make(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, 23);
    EXPECT_EQ(stream->GetProperty(shortFraming).status, STATUS_BUFFER_TOO_SMALL);
    auto shortDropped = sc::PropertyRequest::Make(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 48);
    EXPECT_EQ(stream->GetProperty(shortDropped).status, STATUS_BUFFER_TOO_SMALL);
    auto setFraming = sc::PropertyRequest::Make(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, 24);
    EXPECT_EQ(stream->SetProperty(setFraming).status, STATUS_INVALID_DEVICE_REQUEST);
    auto procamp = sc::PropertyRequest::Make(PROPSETID_VIDCAP_VIDEOPROCAMP, 0, 40, 40);
    EXPECT_EQ(stream->GetProperty(procamp).status, STATUS_NOT_FOUND);
    EXPECT_EQ(cam.controlHook.size(), hooked);
}

TEST_F(ClassLibraryTest, UsbcamdInterfaceIsAnsweredOnTheClassDevice)
{
    sc::Stream* stream = StartAndOpen();
    ASSERT_NE(stream, nullptr);
    USBCAMD_INTERFACE usbcamd{};
    ASSERT_EQ(device->QueryInterface(GUID_USBCAMD_INTERFACE, sizeof(usbcamd), USBCAMD_VERSION_200, &usbcamd),
              STATUS_SUCCESS);
    EXPECT_EQ(usbcamd.Interface.Size, sizeof(USBCAMD_INTERFACE));
    EXPECT_EQ(usbcamd.Interface.Version, USBCAMD_VERSION_200);
    EXPECT_EQ(usbcamd.Interface.Context, Context());
    ASSERT_NE(usbcamd.USBCAMD_SetIsoPipeState, nullptr);
    ASSERT_NE(usbcamd.USBCAMD_SetVideoFormat, nullptr);
    EXPECT_EQ(usbcamd.USBCAMD_SetIsoPipeState(Context(), USBCAMD_STOP_STREAM), STATUS_SUCCESS);
    EXPECT_EQ(usbcamd.USBCAMD_SetIsoPipeState(Context(), 7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usbcamd.USBCAMD_BulkReadWrite(Context(), 9, nullptr, 0, nullptr, nullptr), STATUS_INVALID_PARAMETER);

    // SetVideoFormat takes an offered format while the stream is stopped.
    auto format = MakeFormat();
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.StreamObject = stream->Object();
    srb.CommandData.OpenFormat = &format.DataFormat;
    srb.Status = STATUS_SUCCESS;
    EXPECT_EQ(usbcamd.USBCAMD_SetVideoFormat(Context(), &srb), TRUE);
    ASSERT_TRUE(stream->SetState(KSSTATE_RUN).ok());
    EXPECT_EQ(usbcamd.USBCAMD_SetVideoFormat(Context(), &srb), FALSE);
    EXPECT_EQ(srb.Status, STATUS_INVALID_DEVICE_STATE);
    stream->SetState(KSSTATE_STOP);
    auto other = MakeFormat(176);
    srb.CommandData.OpenFormat = &other.DataFormat;
    EXPECT_EQ(usbcamd.USBCAMD_SetVideoFormat(Context(), &srb), FALSE);
    EXPECT_EQ(srb.Status, STATUS_NO_MATCH);
    usbcamd.Interface.InterfaceDereference(usbcamd.Interface.Context);

    // Other interfaces are not the library's: the IRP goes down and nobody answers.
    USBCAMD_INTERFACE old{};
    EXPECT_EQ(device->QueryInterface(GUID_USBCAMD_INTERFACE, sizeof(old), 0x100, &old), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(old.USBCAMD_SetIsoPipeState, nullptr);
}

TEST_F(ClassLibraryTest, VersionOneCamerasAreConfiguredWithCamConfigure)
{
    cam.registerV2 = false;
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    device->Uninitialize();
    EXPECT_EQ(cam.calls, (std::vector<std::string>{"CamInitialize", "CamConfigure", "CamConfigure(none)",
                                                   "CamUnInitialize"}));
}

TEST_F(ClassLibraryTest, PowerChangesSaveAndRestoreTheCamera)
{
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    cam.calls.clear();
    EXPECT_TRUE(device->ChangePowerState(PowerDeviceD3).ok());
    EXPECT_TRUE(device->ChangePowerState(PowerDeviceD2).ok());
    EXPECT_TRUE(device->ChangePowerState(PowerDeviceD0).ok());
    EXPECT_TRUE(device->ChangePowerState(PowerDeviceMaximum).ok());
    EXPECT_EQ(cam.calls, (std::vector<std::string>{"CamSaveState", "CamRestoreState"}));
}

TEST_F(ClassLibraryTest, AdapterRequestsTheLibraryDoesNotKnow)
{
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(device->SendAdapterRequest(static_cast<SRB_COMMAND>(0x1234)).status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(device->SendAdapterRequest(SRB_GET_DEVICE_PROPERTY).status, STATUS_NOT_IMPLEMENTED);
    EXPECT_TRUE(device->SurpriseRemoval().ok());
    EXPECT_TRUE(device->PagingOutDriver().ok());

    // A minidriver that completes what it handed over completes it twice.
    cam.completeTwice = true;
    device->PagingOutDriver();
    cam.completeTwice = false;
    ExpectViolation("completed twice");
}

TEST_F(ClassLibraryTest, RegistryValuesAreReadByName)
{
    const std::string path = "\\REGISTRY\\MACHINE\\SOFTWARE\\KvTest";
    kv::kernel::registry::SetDword(path, "Gain", 42);
    kv::kernel::OwnedUnicodeString name(std::u16string_view(u"\\REGISTRY\\MACHINE\\SOFTWARE\\KvTest"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);

    WCHAR gain[] = u"Gain";
    ULONG value = 0;
    EXPECT_EQ(USBCAMD_GetRegistryKeyValue(key, gain, sizeof(gain), &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);
    USHORT small = 0;
    EXPECT_EQ(USBCAMD_GetRegistryKeyValue(key, gain, sizeof(gain), &small, sizeof(small)), STATUS_BUFFER_TOO_SMALL);
    WCHAR missing[] = u"Missing";
    EXPECT_EQ(USBCAMD_GetRegistryKeyValue(key, missing, sizeof(missing), &value, sizeof(value)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // A name without its terminator is read only as far as its stated length.
    WCHAR unterminated[] = {u'G', u'a', u'i', u'n'};
    EXPECT_EQ(USBCAMD_GetRegistryKeyValue(key, unterminated, sizeof(unterminated), &value, sizeof(value)),
              STATUS_SUCCESS);
    EXPECT_EQ(USBCAMD_GetRegistryKeyValue(key, gain, 0, &value, sizeof(value)), STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

}  // namespace
