// Checks the three kernel images a build produced: the kind of image, the
// entry point, relocations, section permissions, no thread-local storage,
// what each imports and exports, and that floating-point and vector
// instructions appear only in the pipeline's SIMD functions (which run
// with the register state saved).
//
// Usage: kv_image_check IMAGEDIR IMPLEMENTED [OBJDUMP NM]
//   IMAGEDIR     the output directory of scripts/build-images
//   IMPLEMENTED  the routine names the kernel emulation provides, one a line
// Prints one line per fault and exits 1 when there is any.
#include "image/pe/pe_file.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using kv::image::Hex;
using kv::image::Lower;
using kv::image::PeFile;

struct ImageRule {
    const char* file;
    std::vector<std::string> modules;  // modules it may import from
    std::vector<std::string> exports;  // exactly these, by name
};

const std::vector<std::string> kClassLibraryCalls = {
    "USBCAMD_DriverEntry",         "USBCAMD_AdapterReceivePacket",     "USBCAMD_InitializeNewInterface",
    "USBCAMD_ControlVendorCommand", "USBCAMD_SelectAlternateInterface", "USBCAMD_GetRegistryKeyValue",
    "USBCAMD_SetFrameInterval",    "USBCAMD_DescriptorLength",         "DllInitialize",
    "DllUnload"};
const std::vector<std::string> kPipelineCalls = {
    "ppl_init",          "ppl_free",          "ppl_set_sensor_type", "ppl_set_h_mirror",
    "ppl_set_v_mirror",  "ppl_set_gamma",     "IntlYUYVToYUYVMMX",   "IntlYUYVToI420MMX",
    "IntlYUYVToRGB24MMX", "DllInitialize",    "DllUnload"};

const ImageRule kImages[] = {
    {"KV3300.SYS", {"ntoskrnl.exe", "HAL.dll", "stream.sys", "KvCamd20.SYS", "ZELPIPE.SYS"}, {}},
    {"KvCamd20.SYS", {"ntoskrnl.exe", "HAL.dll", "stream.sys", "USBD.SYS"}, kClassLibraryCalls},
    {"ZELPIPE.SYS", {"ntoskrnl.exe", "HAL.dll"}, kPipelineCalls},
};
// The object files whose functions may use vector registers.
const char* const kSimdObjects[] = {"ZELPIPE.SYS/rows_sse2.o", "ZELPIPE.SYS/rows_avx2.o", "ZELPIPE.SYS/rows_avx512.o"};

std::vector<std::string> Run(const std::string& command)
{
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return lines;
    std::string line;
    for (int c; (c = std::fgetc(pipe)) != EOF;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back((char)c);
        }
    }
    pclose(pipe);
    return lines;
}

class Checker {
public:
    Checker(std::string dir, std::set<std::string> implemented, std::string objdump, std::string nm)
        : dir_(std::move(dir)), implemented_(std::move(implemented)), objdump_(std::move(objdump)), nm_(std::move(nm))
    {
    }

    int Check()
    {
        for (const ImageRule& rule : kImages) {
            std::string error;
            auto pe = kv::image::ReadPe(dir_ + "/" + rule.file, error);
            if (!pe) {
                Fault(rule.file, error);
                continue;
            }
            images_[Lower(rule.file)] = std::move(*pe);
        }
        for (const ImageRule& rule : kImages) {
            auto it = images_.find(Lower(rule.file));
            if (it == images_.end()) continue;
            CheckHeaders(rule, it->second);
            CheckImports(rule, it->second);
            CheckExports(rule, it->second);
            CheckInstructions(rule, it->second);
        }
        if (faults_ == 0) std::cout << "kv_image_check: the three images pass\n";
        return faults_ == 0 ? 0 : 1;
    }

private:
    void Fault(const std::string& image, const std::string& what)
    {
        std::cout << image << ": " << what << "\n";
        ++faults_;
    }

    void CheckHeaders(const ImageRule& rule, const PeFile& pe)
    {
        if (pe.machine != kv::image::kMachineI386) Fault(rule.file, "machine " + Hex(pe.machine) + ", not i386");
        if (pe.subsystem != kv::image::kSubsystemNative) Fault(rule.file, "subsystem " + std::to_string(pe.subsystem) + ", not native");
        const auto* entry = pe.SectionAt(pe.entryPoint);
        if (pe.entryPoint == 0 || !entry || !(entry->characteristics & kv::image::kSectionExecute)) {
            Fault(rule.file, "entry point " + Hex(pe.entryPoint) + " is not in code");
        } else if (SymbolAddress(rule.file, "_DriverEntry@8") != pe.imageBase + pe.entryPoint) {
            Fault(rule.file, "entry point " + Hex(pe.entryPoint) + " is not DriverEntry");
        }
        if (pe.relocations.empty()) Fault(rule.file, "no base relocations: the image could load only at its base");
        for (const auto& s : pe.sections) {
            if ((s.characteristics & kv::image::kSectionWrite) && (s.characteristics & kv::image::kSectionExecute)) {
                Fault(rule.file, "section " + s.name + " is both writable and executable");
            }
        }
        if (pe.directories[kv::image::kDirTls].rva != 0) Fault(rule.file, "has thread-local storage");
    }

    void CheckImports(const ImageRule& rule, const PeFile& pe)
    {
        for (const auto& import : pe.imports) {
            const std::string module = Lower(import.module);
            bool allowed = false;
            for (const auto& m : rule.modules) allowed = allowed || Lower(m) == module;
            if (!allowed) {
                Fault(rule.file, "imports " + import.name + " from " + import.module + ", which it may not use");
                continue;
            }
            auto provider = images_.find(module);
            if (provider != images_.end()) {
                bool found = false;
                for (const auto& e : provider->second.exports) found = found || e.name == import.name;
                if (!found) Fault(rule.file, "imports " + import.module + "!" + import.name + ", which it does not export");
            } else if (!implemented_.count(import.name)) {
                Fault(rule.file, "imports " + import.module + "!" + import.name + ", which the emulation does not provide");
            }
        }
    }

    void CheckExports(const ImageRule& rule, const PeFile& pe)
    {
        std::set<std::string> want(rule.exports.begin(), rule.exports.end()), have;
        for (const auto& e : pe.exports) have.insert(e.name);
        for (const auto& name : want) {
            if (!have.count(name)) Fault(rule.file, "does not export " + name);
        }
        for (const auto& name : have) {
            if (!want.count(name)) Fault(rule.file, "exports " + name + ", which is not one of its calls");
        }
    }

    // x87 (st registers, f-mnemonics), MMX (mm), SSE/AVX (xmm, ymm, zmm),
    // AVX-512 opmasks (k), and the state instructions themselves.
    static bool UsesVectorState(const std::string& mnemonic, const std::string& operands)
    {
        for (const char* reg : {"%xmm", "%ymm", "%zmm", "%mm", "%st", "%k"}) {
            if (operands.find(reg) != std::string::npos) return true;
        }
        for (const char* prefix : {"f", "emms", "ldmxcsr", "stmxcsr", "xsave", "xrstor", "vzero"}) {
            if (mnemonic.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }

    void CheckInstructions(const ImageRule& rule, const PeFile&)
    {
        const std::set<std::string> allowed = SimdFunctions();
        std::string current;
        std::set<std::string> reported;
        for (const auto& line : Run(objdump_ + " -d --no-show-raw-insn '" + dir_ + "/" + rule.file + "'")) {
            // "00011000 <_DriverEntry@8>:" starts a function; "   11003:\tmov    %esp,%ebp" is an instruction.
            if (line.size() > 3 && line.compare(line.size() - 2, 2, ">:") == 0 && line.find(" <") != std::string::npos) {
                const size_t open = line.find(" <") + 2;
                current = line.substr(open, line.size() - 2 - open);
                continue;
            }
            const size_t tab = line.find(":\t");
            if (tab == std::string::npos || line.empty() || line[0] != ' ') continue;
            const std::string text = line.substr(tab + 2);
            const size_t space = text.find_first_of(" \t");
            const std::string mnemonic = text.substr(0, space);
            const std::string operands = space == std::string::npos ? "" : text.substr(space);
            if (!UsesVectorState(mnemonic, operands) || allowed.count(current) || reported.count(current)) continue;
            reported.insert(current);
            Fault(rule.file, "floating-point or vector instruction in " + current + ": " + text);
        }
    }

    std::set<std::string> SimdFunctions()
    {
        std::set<std::string> names;
        for (const char* object : kSimdObjects) {
            for (const auto& line : Run(nm_ + " --defined-only '" + dir_ + "/obj/" + object + "'")) {
                char type;
                char name[1024];
                if (std::sscanf(line.c_str(), "%*x %c %1023s", &type, name) == 2 && std::tolower(type) == 't') {
                    names.insert(name);
                }
            }
        }
        return names;
    }

    uint32_t SymbolAddress(const std::string& image, const std::string& symbol)
    {
        for (const auto& line : Run(nm_ + " '" + dir_ + "/" + image + "'")) {
            unsigned address;
            char type;
            char name[1024];
            if (std::sscanf(line.c_str(), "%x %c %1023s", &address, &type, name) == 3 && symbol == name) {
                return address;
            }
        }
        return 0;
    }

    std::string dir_;
    std::set<std::string> implemented_;
    std::string objdump_, nm_;
    std::map<std::string, PeFile> images_;  // by lower-case file name
    int faults_ = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 5) {
        std::cerr << "usage: kv_image_check IMAGEDIR IMPLEMENTED [OBJDUMP NM]\n";
        return 2;
    }
    std::ifstream list(argv[2]);
    if (!list) {
        std::cerr << "kv_image_check: cannot read " << argv[2] << "\n";
        return 2;
    }
    std::set<std::string> implemented;
    for (std::string name; std::getline(list, name);) {
        if (!name.empty()) implemented.insert(name);
    }
    Checker checker(argv[1], std::move(implemented), argc == 5 ? argv[3] : "i686-w64-mingw32-objdump",
                    argc == 5 ? argv[4] : "i686-w64-mingw32-nm");
    return checker.Check();
}
