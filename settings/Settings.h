// The 21 per-device settings: their persistent copy in the "Settings" subkey
// of the device's driver key, and their application to the decoder and the
// image pipeline.
#pragma once

#include "driver/DeviceContext.h"
#include "platform/strmini.h"
#include "platform/wdm.h"

// Save selectors of the picture controls; the other rows use their vendor
// property id as selector.
#define SAVE_ALL (-1)
#define SAVE_BRIGHTNESS 76
#define SAVE_SHARPNESS 78
#define SAVE_CONTRAST 79
#define SAVE_SATURATION 83
#define SAVE_HUE 84
#define SAVE_GAMMA 85
#define SAVE_WHITE_BALANCE 88
#define SAVE_VIDEO_STANDARD_ONLY 0
#define SAVE_INPUT_SOURCE 24  // "InputSource" (the standard index), then "VideoStandard"

#define SETTINGS_COUNT 21

// Returns 1 when the "Settings" key could be opened, 0 otherwise.
LONG LoadSettings(DeviceContext* Context);
// Loads "InputSource" and "VideoStandard" alone (device start), so that the
// formats and the frame rate follow the stored standard before the first
// capture start. Returns 1 when the "Settings" key could be opened, 0 otherwise.
LONG LoadStoredStandard(DeviceContext* Context);
// Returns 1 when the "Settings" key could be opened, else the failing status.
NTSTATUS SaveSettings(DeviceContext* Context, LONG Selector);

NTSTATUS CreateRegistryKeyPath(HANDLE Parent, ACCESS_MASK DesiredAccess, PCWSTR Path, PHANDLE Key);
NTSTATUS CreateRegistryKey(HANDLE Parent, ACCESS_MASK DesiredAccess, PCWSTR Path, PHANDLE Key);
NTSTATUS ReadRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, LONG* Field);
VOID WriteRegistryDword(HANDLE Key, PCWSTR ValueName, ULONG Value);

// Picture control codes of ApplyPictureControl.
#define CONTROL_BRIGHTNESS 1
#define CONTROL_SHARPNESS 3
#define CONTROL_CONTRAST 4
#define CONTROL_SATURATION 8
#define CONTROL_HUE 9
#define CONTROL_GAMMA 10
#define CONTROL_WHITE_BALANCE 13

// The defaults sequence: four requested values in a row, on any controls,
// restore the decoder's factory picture values. The third place also takes
// DEFAULTS_SEQUENCE_THIRD_ALTERNATE.
#define DEFAULTS_SEQUENCE_LENGTH 4
#define DEFAULTS_SEQUENCE_THIRD_ALTERNATE 241
extern const LONG DefaultsSequence[DEFAULTS_SEQUENCE_LENGTH];

// Reloads the settings and applies standard, input, picture controls, gamma,
// mirror and flip. Fails with the status of a standard or input switch that
// failed twice; picture control failures are not reported.
NTSTATUS LoadAndApplySettings(DeviceContext* Context);
// Applies one picture control from a VIDEOPROCAMP request (only its Value is
// read). Always returns STATUS_SUCCESS.
NTSTATUS ApplyPictureControl(LONG ControlCode, DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
// Where the defaults sequence stands (driver-wide).
USHORT DefaultsSequencePosition(VOID);
