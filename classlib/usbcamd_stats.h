// Frame statistics of a stream of the USB camera class library.
//
// The library adds one property set of its own to every stream it carries:
// PROPSETID_USBCAMD_STATISTICS, whose item KSPROPERTY_USBCAMD_STATISTICS
// (get only, a bare KSPROPERTY in, this record out) tells how many frames the
// stream completed, delivered and dropped since it last left KSSTATE_STOP,
// and why each dropped frame was dropped. KSPROPERTY_DROPPEDFRAMES_CURRENT
// reports the same totals in its standard form.
//
// Every frame the camera's packet routine completes ends in exactly one way:
// delivered, or dropped for one reason. PictureNumber counts them all, and
// at each delivered frame it is raised to the frame's presentation time in
// frame periods (AvgTimePerFrame) from the stream's first frame, so frames
// that never reached the bus count too. PictureNumber - DropCount =
// FramesDelivered; DropCount is the sum of the reasons below plus those
// unseen frames. The stream time stands still while the stream is paused.
//
// Frame interval: the value the camera gives USBCAMD_SetFrameInterval is the
// least spacing of two delivered frames, in units of 100 us (320: 32.0 ms,
// which a 29.97 frames per second source respects; 390: 39.0 ms for 25 frames
// per second). A frame that starts sooner after the last delivered one is
// dropped as too early, so a stream never delivers faster than the standard
// allows. 0 (never set) sets no limit.
#pragma once

#include "platform/ks.h"

// {5B7C8E21-9D43-4F0A-B6E2-3A1C9F8D7E64}
inline constexpr GUID PROPSETID_USBCAMD_STATISTICS =
    DEFINE_GUID_VALUE(0x5B7C8E21, 0x9D43, 0x4F0A, 0xB6, 0xE2, 0x3A, 0x1C, 0x9F, 0x8D, 0x7E, 0x64);
#define KSPROPERTY_USBCAMD_STATISTICS 0

typedef struct _USBCAMD_STREAM_STATISTICS {
    LONGLONG PictureNumber;    // frames completed and decided since the stream left STOP
    LONGLONG FramesDelivered;  // read requests completed with a frame
    LONGLONG DropCount;        // the sum of the reasons below
    LONGLONG DroppedNoRequest;   // no read request was waiting for the frame
    LONGLONG DroppedByCamera;    // the packet routine flagged it (DropFrame) or misreported its bytes
    LONGLONG DroppedOverflow;    // its bytes would not fit the raw frame buffer
    LONGLONG DroppedTooEarly;    // it started sooner than the frame interval allows
    LONGLONG DroppedConversion;  // the raw-frame routine returned no bytes, or more than the buffer holds
    LONGLONG DroppedBusy;        // every raw frame buffer was still waiting for conversion
    LONGLONG BytesDelivered;
    LONGLONG PacketsReceived;
    LONGLONG PacketErrors;     // packets that arrived with an error status
    NTSTATUS TransferStatus;   // why the transfers ended early; STATUS_SUCCESS otherwise
    ULONG FrameInterval;       // the value of USBCAMD_SetFrameInterval in force (100 us units)
    ULONG RawFrameLength;      // bytes of each raw frame buffer, from the camera's bandwidth allocation
    ULONG BytesPerPacket;      // the data pipe's bytes per microframe
    LONGLONG DroppedTransfer;  // an isochronous transfer carrying some of its packets failed as a whole
    LONGLONG TransferErrors;   // isochronous transfers that failed as a whole (the pipe was reset after each)
} USBCAMD_STREAM_STATISTICS, *PUSBCAMD_STREAM_STATISTICS;
