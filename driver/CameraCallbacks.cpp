// The camera callback tables the class library calls back through, and the
// callbacks that have nothing to do on this device.
#include "driver/Driver.h"

namespace {

NTSTATUS NTAPI CamSaveState(PDEVICE_OBJECT BusDeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    UNREFERENCED_PARAMETER(Context);
    return STATUS_SUCCESS;
}

VOID NTAPI CamNewVideoFrame(PVOID Context, PVOID FrameContextArgument)
{
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(FrameContextArgument);
}

VOID NTAPI CamNewVideoFrameEx(PVOID Context, PVOID FrameContextArgument, ULONG StreamNumber, PULONG FrameLength)
{
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(FrameContextArgument);
    UNREFERENCED_PARAMETER(StreamNumber);
    UNREFERENCED_PARAMETER(FrameLength);
}

}  // namespace

// Slots still null are filled as the capture path lands: initialisation and
// teardown, configuration, bandwidth, start and stop with the device start
// work; the packet and raw-frame routines with the capture data path.
const USBCAMD_DEVICE_DATA2 CameraCallbacksV2 = {
    0,                   // Sig
    nullptr,             // CamInitialize
    nullptr,             // CamUnInitialize
    nullptr,             // CamProcessUSBPacketEx
    &CamNewVideoFrameEx, // CamNewVideoFrameEx
    nullptr,             // CamProcessRawVideoFrameEx
    nullptr,             // CamStartCaptureEx
    nullptr,             // CamStopCaptureEx
    nullptr,             // CamConfigureEx
    &CamSaveState,       // CamSaveState
    &CamSaveState,       // CamRestoreState: the same routine
    nullptr,             // CamAllocateBandwidthEx
    nullptr,             // CamFreeBandwidthEx
};

const USBCAMD_DEVICE_DATA CameraCallbacksV1 = {
    0,                 // Sig
    nullptr,           // CamInitialize
    nullptr,           // CamUnInitialize
    nullptr,           // CamProcessUSBPacket: forwards to the version-2 packet routine
    &CamNewVideoFrame, // CamNewVideoFrame
    nullptr,           // CamProcessRawVideoFrame: none in this driver
    nullptr,           // CamStartCapture
    nullptr,           // CamStopCapture
    nullptr,           // CamConfigure
    &CamSaveState,     // CamSaveState
    &CamSaveState,     // CamRestoreState
    nullptr,           // CamAllocateBandwidth
    nullptr,           // CamFreeBandwidth
};
