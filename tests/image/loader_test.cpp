// Loading the built kernel images: relocation and binding land where the
// file says, and damaged images are refused with a message naming the fault.
#include "image/loader/loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <fstream>
#include <iterator>

namespace {

using kv::image::HostRoutine;
using kv::image::Loader;
using kv::image::PeFile;

std::vector<uint8_t> ReadImage(const std::string& name)
{
    std::ifstream in(std::string(KV_IMAGE_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const char* const kHostModules[] = {"ntoskrnl.exe", "HAL.dll", "stream.sys", "USBD.SYS"};

// Every host routine the three images import, at made-up distinct addresses.
void AddHostModules(Loader& loader, const char* missing = nullptr)
{
    std::map<std::string, std::map<std::string, HostRoutine>> modules;
    uint32_t next = 0x7000'0000;
    for (const char* image : {"KV3300.SYS", "KvCamd20.SYS", "ZELPIPE.SYS"}) {
        std::string error;
        auto pe = kv::image::ParsePe(ReadImage(image), error);
        ASSERT_TRUE(pe) << error;
        for (const auto& i : pe->imports) {
            if (i.name != (missing ? missing : "")) modules[i.module][i.name] = HostRoutine{next += 16};
        }
    }
    for (const char* m : kHostModules) loader.AddHostModule(m, modules[m]);
}

class ImageLoader : public ::testing::Test {};

TEST_F(ImageLoader, RelocatesAndBindsTheDriverToTheLibrariesLoadedBeforeIt)
{
    Loader loader;
    AddHostModules(loader);
    std::string error;
    const auto* pipe = loader.LoadBytes("ZELPIPE.SYS", ReadImage("ZELPIPE.SYS"), error);
    ASSERT_TRUE(pipe) << error;
    const auto* camd = loader.LoadBytes("KvCamd20.SYS", ReadImage("KvCamd20.SYS"), error);
    ASSERT_TRUE(camd) << error;
    const auto* driver = loader.LoadBytes("KV3300.SYS", ReadImage("KV3300.SYS"), error);
    ASSERT_TRUE(driver) << error;

    for (const auto* image : {pipe, camd, driver}) {
        const PeFile& pe = image->File();
        ASSERT_NE(image->Base(), pe.imageBase) << "mapped at its preferred base: relocation goes unchecked";
        // Every relocated word moved by exactly the distance the image moved.
        for (const auto& r : pe.relocations) {
            const auto* s = pe.SectionAt(r.rva);
            if (!s || r.rva - s->virtualAddress + 4 > s->rawSize) continue;
            uint32_t inFile, mapped;
            std::memcpy(&inFile, pe.bytes.data() + s->rawOffset + (r.rva - s->virtualAddress), 4);
            std::memcpy(&mapped, image->Memory() + r.rva, 4);
            ASSERT_EQ(mapped, inFile + (image->Base() - pe.imageBase)) << image->Name() << " RVA " << r.rva;
        }
    }
    // The driver's calls into the libraries land on their exports.
    for (const auto& i : driver->File().imports) {
        uint32_t slot;
        std::memcpy(&slot, driver->Memory() + i.slotRva, 4);
        if (i.module == "ZELPIPE.SYS") {
            EXPECT_EQ(slot, pipe->Export(i.name)) << i.name;
        } else if (i.module == "KvCamd20.SYS") {
            EXPECT_EQ(slot, camd->Export(i.name)) << i.name;
        }
        EXPECT_NE(slot, 0u) << i.module << "!" << i.name;
    }
    EXPECT_EQ(driver->EntryPoint() - driver->Base(), driver->File().entryPoint);
}

// The file offset of an RVA in a parsed image.
size_t FileOffset(const PeFile& pe, uint32_t rva)
{
    const auto* s = pe.SectionAt(rva);
    return s->rawOffset + (rva - s->virtualAddress);
}

TEST_F(ImageLoader, RefusesDamagedImagesSayingWhatIsWrong)
{
    std::string error;
    const std::vector<uint8_t> good = ReadImage("ZELPIPE.SYS");
    const PeFile pe = *kv::image::ParsePe(good, error);
    const size_t relocations = FileOffset(pe, pe.directories[kv::image::kDirBaseReloc].rva);
    const size_t imports = FileOffset(pe, pe.directories[kv::image::kDirImport].rva);

    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        const char* missing;  // a host routine left out
        const char* message;
    };
    const Case cases[] = {
        {"truncated", [](auto& b) { b.resize(b.size() / 2); }, nullptr, "truncated"},
        {"headers only", [](auto& b) { b.resize(0x200); }, nullptr, "truncated"},
        {"no MZ", [](auto& b) { b[0] = 'X'; }, nullptr, "no MZ signature"},
        {"relocation block too long", [&](auto& b) { b[relocations + 5] = 0x7F; }, nullptr, "runs past its directory"},
        {"relocation of a 64-bit kind", [&](auto& b) { b[relocations + 9] = 0xA0; }, nullptr, "not an i386 kind"},
        {"import name outside the file", [&](auto& b) { b[imports + 15] = 0x7F; }, nullptr, "is not inside the file"},
        {"unresolved import", [](auto&) {}, "ExAllocatePoolWithTag", "ntoskrnl.exe!ExAllocatePoolWithTag, which nothing provides"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = good;
        c.damage(bytes);
        Loader loader;
        AddHostModules(loader, c.missing);
        error.clear();
        EXPECT_EQ(loader.LoadBytes("ZELPIPE.SYS", std::move(bytes), error), nullptr) << c.name;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(error.rfind("ZELPIPE.SYS: ", 0), 0u) << c.name << ": " << error;
    }
}

TEST_F(ImageLoader, RefusesADriverWhoseLibraryIsNotLoaded)
{
    Loader loader;
    AddHostModules(loader);
    std::string error;
    EXPECT_EQ(loader.LoadBytes("KV3300.SYS", ReadImage("KV3300.SYS"), error), nullptr);
    EXPECT_NE(error.find("neither loaded nor provided"), std::string::npos) << error;
}

}  // namespace
