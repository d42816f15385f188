// The three images, loaded once per test program (as the system loads a
// driver once), for suites that call into them.
#pragma once

#include "image/runtime/kernel_images.h"

#include <gtest/gtest.h>

inline kv::image::KernelImages& LoadedImages()
{
    static std::unique_ptr<kv::image::KernelImages> images = [] {
        std::string error;
        auto loaded = kv::image::LoadKernelImages(KV_IMAGE_DIR, error);
        if (!loaded) ADD_FAILURE() << error;
        return loaded;
    }();
    if (!images) throw std::runtime_error("the kernel images did not load");
    return *images;
}

// A routine of an image by export name, or by its own symbol name.
template <typename Routine>
Routine ImageRoutine(const kv::image::LoadedImage& image, const std::string& name)
{
    uint32_t address = image.Export(name);
    if (address == 0) {
        const uint32_t rva = kv::image::SymbolRva(image.File(), name);
        if (rva != 0) address = image.Base() + rva;
    }
    if (address == 0) throw std::runtime_error(image.Name() + " has no " + name);
    return reinterpret_cast<Routine>((uintptr_t)address);
}
