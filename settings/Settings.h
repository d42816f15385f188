// The 21 per-device settings: their persistent copy in the "Settings" subkey
// of the device's driver key, and their application to the decoder and the
// image pipeline.
#pragma once

#include "driver/DeviceContext.h"
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

#define SETTINGS_COUNT 21

// Returns 1 when the "Settings" key could be opened, 0 otherwise.
LONG LoadSettings(DeviceContext* Context);
// Returns 1 when the "Settings" key could be opened, else the failing status.
NTSTATUS SaveSettings(DeviceContext* Context, LONG Selector);

NTSTATUS CreateRegistryKeyPath(HANDLE Parent, ACCESS_MASK DesiredAccess, PCWSTR Path, PHANDLE Key);
NTSTATUS CreateRegistryKey(HANDLE Parent, ACCESS_MASK DesiredAccess, PCWSTR Path, PHANDLE Key);
NTSTATUS ReadRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, LONG* Field);
VOID WriteRegistryDword(HANDLE Key, PCWSTR ValueName, ULONG Value);
