// Mapping, relocating and binding i386 kernel images.
#include "image/loader/loader.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kv::image {

namespace {

constexpr size_t kPage = 0x1000;

uint8_t* MapPages(size_t length)
{
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(__x86_64__)
    flags |= MAP_32BIT;  // images hold 32-bit addresses
#endif
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, flags, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

int Protection(uint32_t characteristics)
{
    int prot = 0;
    if (characteristics & kSectionRead) prot |= PROT_READ;
    if (characteristics & kSectionWrite) prot |= PROT_READ | PROT_WRITE;
    if (characteristics & kSectionExecute) prot |= PROT_READ | PROT_EXEC;
    return prot;
}

}  // namespace

LoadedImage::LoadedImage(std::string name, PeFile pe, uint8_t* memory, size_t length)
    : name_(std::move(name)), pe_(std::move(pe)), memory_(memory), length_(length)
{
}

LoadedImage::~LoadedImage() { munmap(memory_, length_); }

uint32_t LoadedImage::Export(const std::string& name) const
{
    for (const auto& e : pe_.exports) {
        if (e.name == name) return Base() + e.rva;
    }
    return 0;
}

void Loader::AddHostModule(const std::string& module, std::map<std::string, HostRoutine> routines)
{
    hostModules_[Lower(module)] = std::move(routines);
}

const LoadedImage* Loader::Find(const std::string& name) const
{
    for (const auto& image : images_) {
        if (Lower(image->Name()) == Lower(name)) return image.get();
    }
    return nullptr;
}

const LoadedImage* Loader::Load(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return nullptr;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t slash = path.find_last_of('/');
    return LoadBytes(slash == std::string::npos ? path : path.substr(slash + 1), std::move(bytes), error);
}

const LoadedImage* Loader::LoadBytes(const std::string& name, std::vector<uint8_t> bytes, std::string& error)
{
    auto fail = [&](const std::string& what) -> const LoadedImage* {
        error = name + ": " + what;
        return nullptr;
    };
    if (Find(name)) return fail("already loaded");
    std::string parseError;
    auto pe = ParsePe(std::move(bytes), parseError);
    if (!pe) return fail(parseError);
    if (pe->machine != kMachineI386) return fail("machine " + Hex(pe->machine) + " is not i386");
    if (pe->directories[kDirBaseReloc].size == 0) return fail("has no base relocations");

    const size_t length = (pe->sizeOfImage + kPage - 1) & ~(kPage - 1);
    uint8_t* memory = MapPages(length);
    if (!memory) return fail("no memory for " + std::to_string(length) + " bytes");
    auto image = std::make_unique<LoadedImage>(name, std::move(*pe), memory, length);
    const PeFile& file = image->File();

    std::memcpy(memory, file.bytes.data(), std::min<size_t>(file.sizeOfHeaders, file.bytes.size()));
    for (const Section& s : file.sections) {
        std::memcpy(memory + s.virtualAddress, file.bytes.data() + s.rawOffset, s.rawSize);
    }
    const uint32_t delta = image->Base() - file.imageBase;
    for (const Relocation& r : file.relocations) {
        uint32_t value;
        std::memcpy(&value, memory + r.rva, 4);
        value += delta;
        std::memcpy(memory + r.rva, &value, 4);
    }
    for (const Import& import : file.imports) {
        uint32_t address = 0;
        const std::string module = Lower(import.module);
        if (auto host = hostModules_.find(module); host != hostModules_.end()) {
            if (auto r = host->second.find(import.name); r != host->second.end()) address = r->second.address;
        } else if (const LoadedImage* provider = Find(import.module)) {
            address = provider->Export(import.name);
        } else {
            return fail("imports from " + import.module + ", which is neither loaded nor provided");
        }
        if (address == 0) return fail("imports " + import.module + "!" + import.name + ", which nothing provides");
        std::memcpy(memory + import.slotRva, &address, 4);
    }
    // Headers read-only, each section as it asks; pages two sections share
    // get both protections.
    mprotect(memory, kPage, PROT_READ);
    for (const Section& s : file.sections) {
        const uint32_t start = s.virtualAddress & ~(uint32_t)(kPage - 1);
        const uint32_t end = (uint32_t)((s.virtualAddress + std::max(s.virtualSize, s.rawSize) + kPage - 1) & ~(kPage - 1));
        int prot = Protection(s.characteristics);
        for (const Section& other : file.sections) {
            const uint32_t otherEnd = other.virtualAddress + std::max(other.virtualSize, other.rawSize);
            if (&other != &s && other.virtualAddress < end && otherEnd > start) prot |= Protection(other.characteristics);
        }
        if (end > start) mprotect(memory + start, end - start, prot);
    }
    images_.push_back(std::move(image));
    return images_.back().get();
}

}  // namespace kv::image
