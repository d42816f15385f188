// A PE32 (i386) image file read into records: headers, sections, data
// directories, imports by name, exports and base relocations. Every offset
// and count in the file is checked before it is followed, so a truncated or
// damaged file gives a message naming what is wrong, never a bad read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv::image {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint32_t kSectionUninitialized = 0x00000080;

enum DirectoryIndex { kDirExport = 0, kDirImport = 1, kDirBaseReloc = 5, kDirTls = 9, kDirCount = 16 };

// IMAGE_REL_BASED_ABSOLUTE (padding) and IMAGE_REL_BASED_HIGHLOW.
constexpr int kRelocAbsolute = 0;
constexpr int kRelocHighLow = 3;

struct Section {
    std::string name;
    uint32_t virtualAddress = 0, virtualSize = 0;
    uint32_t rawOffset = 0, rawSize = 0;
    uint32_t characteristics = 0;
};

struct Directory {
    uint32_t rva = 0, size = 0;
};

struct Import {
    std::string module;
    std::string name;
    uint32_t slotRva = 0;  // the address-table entry the loader fills
};

struct Export {
    std::string name;
    uint32_t rva = 0;
};

struct Relocation {
    uint32_t rva = 0;
    int type = 0;
};

struct PeFile {
    std::vector<uint8_t> bytes;
    uint16_t machine = 0, characteristics = 0, magic = 0, subsystem = 0, dllCharacteristics = 0;
    uint32_t imageBase = 0, sizeOfImage = 0, sizeOfHeaders = 0, entryPoint = 0;
    uint32_t symbolTable = 0, symbolCount = 0;  // file offset and count, or 0
    std::vector<Section> sections;
    Directory directories[kDirCount];
    std::vector<Import> imports;
    std::vector<Export> exports;
    std::vector<Relocation> relocations;

    // The section holding `rva`, or null.
    const Section* SectionAt(uint32_t rva) const;
};

// The RVA of a symbol of the image's own symbol table (kept by the build
// for diagnosis and tests), or 0 when the image has none by that name.
uint32_t SymbolRva(const PeFile& pe, const std::string& name);

// Module names compare without case, as the loader of a real system does.
std::string Lower(std::string s);
// A number as the messages show it: 0x1A2B.
std::string Hex(uint32_t v);

// Reads a PE32 file; on failure the message says what is wrong ("truncated:
// ...", "relocation block at RVA 0x... runs past its directory", ...).
std::optional<PeFile> ParsePe(std::vector<uint8_t> bytes, std::string& error);
std::optional<PeFile> ReadPe(const std::string& path, std::string& error);

}  // namespace kv::image
