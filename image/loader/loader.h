// Loads i386 kernel images into the calling process: maps each image at a
// 32-bit address, applies its base relocations, binds every import to a
// routine of a host module (the emulation's ntoskrnl.exe, HAL.dll,
// stream.sys, USBD.SYS) or to an export of an image loaded before it, and
// gives each section its page protection. Loading refuses a damaged image
// with a message naming the image and the fault.
//
// On an i386 process the mapped code can be called; on x86-64 the images are
// mapped below 2 GiB so that relocation and binding can still be checked.
#pragma once

#include "image/pe/pe_file.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kv::image {

// A routine a host module provides, by its plain (export) name.
struct HostRoutine {
    uint32_t address = 0;
};

class LoadedImage {
public:
    LoadedImage(std::string name, PeFile pe, uint8_t* memory, size_t length);
    ~LoadedImage();
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    const std::string& Name() const { return name_; }
    const PeFile& File() const { return pe_; }
    uint32_t Base() const { return (uint32_t)(uintptr_t)memory_; }
    uint8_t* Memory() const { return memory_; }
    uint32_t EntryPoint() const { return Base() + pe_.entryPoint; }
    // The address of an export, or 0.
    uint32_t Export(const std::string& name) const;

private:
    std::string name_;
    PeFile pe_;
    uint8_t* memory_;
    size_t length_;
};

class Loader {
public:
    // Routines of a module that is not an image (module names compare
    // without regard to case, as the kernel's loader compares them).
    void AddHostModule(const std::string& module, std::map<std::string, HostRoutine> routines);
    // Maps and binds the image file at `path`; null with `error` set when it
    // is damaged or imports something nothing provides.
    const LoadedImage* Load(const std::string& path, std::string& error);
    const LoadedImage* LoadBytes(const std::string& name, std::vector<uint8_t> bytes, std::string& error);
    const LoadedImage* Find(const std::string& name) const;

private:
    std::map<std::string, std::map<std::string, HostRoutine>> hostModules_;  // by lower-case name
    std::vector<std::unique_ptr<LoadedImage>> images_;
};

}  // namespace kv::image
