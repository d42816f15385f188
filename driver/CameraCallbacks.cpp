// The camera callback tables the class library calls back through, and the
// callbacks that have nothing to do on this device.
#include "capture/Capture.h"
#include "driver/Driver.h"

// Nothing to save or restore around power changes: the power handlers of
// the adapter keep the bridge state themselves.
NTSTATUS NTAPI CamSaveState(PDEVICE_OBJECT BusDeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    UNREFERENCED_PARAMETER(Context);
    return STATUS_SUCCESS;
}

namespace {

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

const USBCAMD_DEVICE_DATA2 CameraCallbacksV2 = {
    0,                   // Sig
    &CamInitialize,      // CamInitialize
    &CamUnInitialize,    // CamUnInitialize
    &CamProcessUSBPacketEx, // CamProcessUSBPacketEx
    &CamNewVideoFrameEx, // CamNewVideoFrameEx
    &CamProcessRawVideoFrameEx, // CamProcessRawVideoFrameEx
    &CamStartCaptureEx,  // CamStartCaptureEx
    &CamStopCaptureEx,   // CamStopCaptureEx
    &CamConfigureEx,     // CamConfigureEx
    &CamSaveState,       // CamSaveState
    &CamSaveState,       // CamRestoreState: the same routine
    &CamAllocateBandwidthEx, // CamAllocateBandwidthEx
    &CamFreeBandwidthEx, // CamFreeBandwidthEx
};

const USBCAMD_DEVICE_DATA CameraCallbacksV1 = {
    0,                 // Sig
    &CamInitialize,    // CamInitialize
    &CamUnInitialize,  // CamUnInitialize
    &CamProcessUSBPacket, // CamProcessUSBPacket: forwards to the version-2 packet routine
    &CamNewVideoFrame, // CamNewVideoFrame
    nullptr,           // CamProcessRawVideoFrame: none in this driver
    &CamStartCapture,  // CamStartCapture
    &CamStopCapture,   // CamStopCapture
    &CamConfigure,     // CamConfigure
    &CamSaveState,     // CamSaveState
    &CamSaveState,     // CamRestoreState
    &CamAllocateBandwidth, // CamAllocateBandwidth
    &CamFreeBandwidth, // CamFreeBandwidth
};
