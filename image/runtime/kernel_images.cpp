// Loading the images in dependency order and initialising the libraries.
#include "image/runtime/kernel_images.h"

#include "image/runtime/exceptions.h"
#include "image/runtime/host_modules.h"

#include <cstdio>

namespace kv::image {

namespace {

using DllInitializeRoutine = NTSTATUS(NTAPI*)(PUNICODE_STRING RegistryPath);

bool Initialize(const LoadedImage& image, const char16_t* service, std::string& error)
{
    const uint32_t routine = image.Export("DllInitialize");
    if (routine == 0) {
        error = image.Name() + ": exports no DllInitialize";
        return false;
    }
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, (PCWSTR)service);
    const NTSTATUS status = reinterpret_cast<DllInitializeRoutine>((uintptr_t)routine)(&path);
    if (!NT_SUCCESS(status)) {
        char text[64];
        std::snprintf(text, sizeof text, "DllInitialize failed with 0x%08X", (unsigned)status);
        error = image.Name() + ": " + text;
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<KernelImages> LoadKernelImages(const std::string& directory, std::string& error)
{
    if (!EnterImageThread()) {
        error = "cannot give this thread the FS segment image code needs";
        return nullptr;
    }
    auto images = std::make_unique<KernelImages>();
    for (auto& [module, routines] : HostModules()) images->loader.AddHostModule(module, routines);
    images->pipeline = images->loader.Load(directory + "/ZELPIPE.SYS", error);
    if (!images->pipeline || !Initialize(*images->pipeline, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ZELPIPE", error)) {
        return nullptr;
    }
    images->classLibrary = images->loader.Load(directory + "/KvCamd20.SYS", error);
    if (!images->classLibrary ||
        !Initialize(*images->classLibrary, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KvCamd20", error)) {
        return nullptr;
    }
    images->driver = images->loader.Load(directory + "/KV3300.SYS", error);
    if (!images->driver) return nullptr;
    for (const LoadedImage* image : {images->pipeline, images->classLibrary, images->driver}) {
        NoteImageRange(image->Name().c_str(), image->Base(), image->File().sizeOfImage);
    }
    images->driverEntry = reinterpret_cast<PDRIVER_INITIALIZE>((uintptr_t)images->driver->EntryPoint());
    return images;
}

}  // namespace kv::image
