// Where kvcap's driver comes from: the one built into the program, or, in
// the i386 build, the kernel images (KV3300.SYS, KvCamd20.SYS, ZELPIPE.SYS)
// loaded from the directory --images names.
#pragma once

#include <string>

#include "platform/strmini.h"

namespace kvcap {

// Loads the images of `directory` once per run (an empty name: the built-in
// driver). False with a message when this build cannot run that driver or
// the images do not load.
bool LoadDriverImages(const std::string& directory, std::string* error);

// The class library's USBCAMD_AdapterReceivePacket, built in or loaded.
PVOID ClassLibraryAdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK srb);

}  // namespace kvcap
