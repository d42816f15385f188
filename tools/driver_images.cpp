// The built-in driver or the loaded kernel images.
#include "tools/driver_images.h"

#include "platform/usbcamdi.h"

#if defined(KV_APP_WITHOUT_DRIVER)
#include "host/app.h"
#include "image/runtime/kernel_images.h"
#endif

namespace kvcap {

#if defined(KV_APP_WITHOUT_DRIVER)

namespace {

using AdapterReceivePacketRoutine = PVOID(NTAPI*)(PHW_STREAM_REQUEST_BLOCK, PUSBCAMD_DEVICE_DATA, PDEVICE_OBJECT*,
                                                  BOOLEAN);
std::unique_ptr<kv::image::KernelImages> gImages;
AdapterReceivePacketRoutine gAdapterReceivePacket = nullptr;

}  // namespace

bool LoadDriverImages(const std::string& directory, std::string* error)
{
    if (gImages) return true;
    if (directory.empty()) {
        if (error) *error = "this kvcap runs the driver from kernel images: name their directory with --images DIR";
        return false;
    }
    std::string message;
    gImages = kv::image::LoadKernelImages(directory, message);
    if (!gImages) {
        if (error) *error = "--images: " + message;
        return false;
    }
    kv::app::SetDriverEntry(gImages->driverEntry);
    gAdapterReceivePacket = reinterpret_cast<AdapterReceivePacketRoutine>(
        (uintptr_t)gImages->classLibrary->Export("USBCAMD_AdapterReceivePacket"));
    return true;
}

PVOID ClassLibraryAdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK srb)
{
    return gAdapterReceivePacket ? gAdapterReceivePacket(srb, nullptr, nullptr, FALSE) : nullptr;
}

#else

bool LoadDriverImages(const std::string& directory, std::string* error)
{
    if (directory.empty()) return true;
    if (error) {
        *error = "--images: this kvcap has the driver built in; the kernel images run in the i386 build "
                 "(cmake --preset i386, then build/i386/tools/kvcap)";
    }
    return false;
}

PVOID ClassLibraryAdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK srb)
{
    return USBCAMD_AdapterReceivePacket(srb, nullptr, nullptr, FALSE);
}

#endif

}  // namespace kvcap
