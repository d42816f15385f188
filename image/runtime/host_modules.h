// The emulation's routines as the kernel images import them: one table per
// module (ntoskrnl.exe, HAL.dll, stream.sys, USBD.SYS), made from the same
// module-definition files the images were linked against. Each entry is
// checked when this file compiles: a stdcall routine must be stdcall with the
// argument bytes its decoration names, a fastcall one fastcall with them, a
// cdecl one cdecl, so a mismatch cannot reach a running image.
#pragma once

#include "image/loader/loader.h"

#include <map>
#include <string>

namespace kv::image {

std::map<std::string, std::map<std::string, HostRoutine>> HostModules();

}  // namespace kv::image
