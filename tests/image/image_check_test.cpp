// The image check finds the faults it is there for: a damaged copy of the
// built images is checked and the report must name each planted fault.
#include "image/pe/pe_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

namespace fs = std::filesystem;
using kv::image::PeFile;

std::vector<uint8_t> Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Check(const fs::path& dir)
{
    const std::string command = std::string(KV_IMAGE_CHECK) + " '" + dir.string() + "' '" + KV_IMPLEMENTED + "' " +
                                KV_OBJDUMP + " " + KV_NM + " 2>&1";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        for (int c; (c = std::fgetc(pipe)) != EOF;) out.push_back((char)c);
        pclose(pipe);
    }
    return out;
}

// Offset in the file of the section header of the section named `name`.
size_t SectionHeader(const std::vector<uint8_t>& b, const std::string& name)
{
    uint32_t pe;
    std::memcpy(&pe, b.data() + 0x3C, 4);
    uint16_t count, optional;
    std::memcpy(&count, b.data() + pe + 6, 2);
    std::memcpy(&optional, b.data() + pe + 20, 2);
    const size_t table = pe + 24 + optional;
    for (size_t i = 0; i < count; ++i) {
        if (std::strncmp((const char*)b.data() + table + 40 * i, name.c_str(), 8) == 0) return table + 40 * i;
    }
    return 0;
}

TEST(ImageCheck, ReportsEachPlantedFault)
{
    const fs::path dir = fs::temp_directory_path() / ("kv_image_check_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::copy(KV_IMAGE_DIR, dir, fs::copy_options::recursive);
    ASSERT_NE(Check(dir).find("the three images pass"), std::string::npos);

    struct Plant {
        const char* image;
        std::function<void(std::vector<uint8_t>&, const PeFile&)> damage;
        const char* report;
    };
    auto importName = [](std::vector<uint8_t>& b, const PeFile& pe, const std::string& from, const char* to) {
        for (size_t i = 0; i + from.size() < b.size(); ++i) {
            if (std::memcmp(b.data() + i, from.c_str(), from.size() + 1) == 0) {
                std::memcpy(b.data() + i, to, from.size());
                return;
            }
        }
        (void)pe;
    };
    const Plant plants[] = {
        {"KV3300.SYS",
         [](auto& b, auto&) { b[SectionHeader(b, ".text") + 39] |= 0x80; },  // + MEM_WRITE
         "KV3300.SYS: section .text is both writable and executable"},
        {"KvCamd20.SYS", [&](auto& b, auto& pe) { importName(b, pe, "IoReuseIrp", "IoReuseIrx"); },
         "KvCamd20.SYS: imports ntoskrnl.exe!IoReuseIrx, which the emulation does not provide"},
        {"KV3300.SYS", [&](auto& b, auto& pe) { importName(b, pe, "HAL.dll", "HAX.dll"); },
         "KV3300.SYS: imports KeQueryPerformanceCounter from HAX.dll, which it may not use"},
        {"ZELPIPE.SYS", [&](auto& b, auto& pe) { importName(b, pe, "ppl_set_gamma", "ppl_set_gamme"); },
         "ZELPIPE.SYS: does not export ppl_set_gamma"},
    };
    // All planted at once: each fault is independent of the others.
    for (const Plant& p : plants) {
        std::string error;
        std::vector<uint8_t> bytes = Read(dir / p.image);
        const PeFile pe = *kv::image::ParsePe(bytes, error);
        p.damage(bytes, pe);
        std::ofstream(dir / p.image, std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
    }
    const std::string report = Check(dir);
    for (const Plant& p : plants) EXPECT_NE(report.find(p.report), std::string::npos) << p.report << "\n" << report;
    fs::remove_all(dir);
}

}  // namespace
