// The three kernel images loaded into this (i386) process the way the system
// loads them: the export drivers first, each initialised through its
// DllInitialize, then the minidriver bound to them, ready for the stream
// class to call its DriverEntry.
#pragma once

#include "image/loader/loader.h"
#include "platform/wdm.h"

#include <memory>
#include <string>

namespace kv::image {

struct KernelImages {
    Loader loader;
    const LoadedImage* pipeline = nullptr;      // ZELPIPE.SYS
    const LoadedImage* classLibrary = nullptr;  // KvCamd20.SYS
    const LoadedImage* driver = nullptr;        // KV3300.SYS
    PDRIVER_INITIALIZE driverEntry = nullptr;
};

// Null with `error` set when an image is missing, damaged or unresolved, or
// a library's initialisation fails.
std::unique_ptr<KernelImages> LoadKernelImages(const std::string& directory, std::string& error);

}  // namespace kv::image
