// Reading a PE32 image with every offset checked against the file.
#include "image/pe/pe_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kv::image {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    return s;
}

std::string Hex(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

namespace {

class Reader {
public:
    Reader(const PeFile& pe, std::string& error) : pe_(pe), error_(error) {}

    bool Fail(const std::string& message)
    {
        if (error_.empty()) error_ = message;
        return false;
    }

    // Bytes [offset, offset + length) of the file.
    bool File(uint64_t offset, uint64_t length, const char* what, const uint8_t*& at)
    {
        if (offset > pe_.bytes.size() || length > pe_.bytes.size() - offset) {
            return Fail(std::string("truncated: ") + what + " at file offset " + Hex((uint32_t)offset) +
                        " runs past the end of the file (" + std::to_string(pe_.bytes.size()) + " bytes)");
        }
        at = pe_.bytes.data() + offset;
        return true;
    }

    // Bytes [rva, rva + length) of the loaded image, which must come from the
    // file (headers or one section's raw data).
    bool Image(uint32_t rva, uint32_t length, const char* what, const uint8_t*& at)
    {
        if (rva < pe_.sizeOfHeaders && (uint64_t)rva + length <= pe_.sizeOfHeaders) {
            return File(rva, length, what, at);
        }
        const Section* s = pe_.SectionAt(rva);
        if (!s || (uint64_t)(rva - s->virtualAddress) + length > s->rawSize) {
            return Fail(std::string(what) + " at RVA " + Hex(rva) + " is not inside the file's data");
        }
        return File((uint64_t)s->rawOffset + (rva - s->virtualAddress), length, what, at);
    }

    bool U16(uint32_t rva, const char* what, uint16_t& v)
    {
        const uint8_t* at;
        if (!Image(rva, 2, what, at)) return false;
        std::memcpy(&v, at, 2);
        return true;
    }

    bool U32(uint32_t rva, const char* what, uint32_t& v)
    {
        const uint8_t* at;
        if (!Image(rva, 4, what, at)) return false;
        std::memcpy(&v, at, 4);
        return true;
    }

    bool String(uint32_t rva, const char* what, std::string& text)
    {
        constexpr uint32_t kLongest = 256;
        text.clear();
        for (uint32_t i = 0; i <= kLongest; ++i) {
            const uint8_t* at;
            if (!Image(rva + i, 1, what, at)) return false;
            if (*at == 0) return !text.empty() || Fail(std::string(what) + " at RVA " + Hex(rva) + " is empty");
            if (*at < 0x20 || *at > 0x7E) return Fail(std::string(what) + " at RVA " + Hex(rva) + " is not text");
            text.push_back((char)*at);
        }
        return Fail(std::string(what) + " at RVA " + Hex(rva) + " is longer than " + std::to_string(kLongest));
    }

private:
    const PeFile& pe_;
    std::string& error_;
};

template <typename T>
T Get(const uint8_t* at)
{
    T v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

bool ReadHeaders(PeFile& pe, Reader& r)
{
    const uint8_t* at;
    if (!r.File(0, 64, "DOS header", at)) return false;
    if (at[0] != 'M' || at[1] != 'Z') return r.Fail("not a PE image: no MZ signature");
    const uint32_t peOffset = Get<uint32_t>(at + 0x3C);
    if (!r.File(peOffset, 24, "PE header", at)) return false;
    if (std::memcmp(at, "PE\0\0", 4) != 0) return r.Fail("not a PE image: no PE signature at " + Hex(peOffset));
    pe.machine = Get<uint16_t>(at + 4);
    const uint16_t sectionCount = Get<uint16_t>(at + 6);
    const uint16_t optionalSize = Get<uint16_t>(at + 20);
    pe.characteristics = Get<uint16_t>(at + 22);
    pe.symbolTable = Get<uint32_t>(at + 12);
    pe.symbolCount = Get<uint32_t>(at + 16);
    const uint64_t optional = (uint64_t)peOffset + 24;
    if (optionalSize < 96) return r.Fail("optional header of " + std::to_string(optionalSize) + " bytes is too small");
    if (!r.File(optional, optionalSize, "optional header", at)) return false;
    pe.magic = Get<uint16_t>(at);
    if (pe.magic != kMagicPe32) return r.Fail("not PE32: optional header magic " + Hex(pe.magic));
    pe.entryPoint = Get<uint32_t>(at + 16);
    pe.imageBase = Get<uint32_t>(at + 28);
    pe.sizeOfImage = Get<uint32_t>(at + 56);
    pe.sizeOfHeaders = Get<uint32_t>(at + 60);
    pe.subsystem = Get<uint16_t>(at + 68);
    pe.dllCharacteristics = Get<uint16_t>(at + 70);
    const uint32_t directoryCount = Get<uint32_t>(at + 92);
    if (directoryCount > kDirCount || 96 + 8ull * directoryCount > optionalSize) {
        return r.Fail("optional header claims " + std::to_string(directoryCount) + " data directories");
    }
    for (uint32_t i = 0; i < directoryCount; ++i) {
        pe.directories[i] = {Get<uint32_t>(at + 96 + 8 * i), Get<uint32_t>(at + 100 + 8 * i)};
    }
    if (pe.sizeOfImage == 0 || pe.sizeOfImage > (64u << 20)) return r.Fail("image size " + Hex(pe.sizeOfImage));
    if (pe.sizeOfHeaders > pe.sizeOfImage) return r.Fail("headers larger than the image");

    if (sectionCount == 0 || sectionCount > 96) return r.Fail(std::to_string(sectionCount) + " sections");
    if (!r.File(optional + optionalSize, 40ull * sectionCount, "section table", at)) return false;
    for (uint16_t i = 0; i < sectionCount; ++i, at += 40) {
        Section s;
        s.name.assign((const char*)at, strnlen((const char*)at, 8));
        s.virtualSize = Get<uint32_t>(at + 8);
        s.virtualAddress = Get<uint32_t>(at + 12);
        s.rawSize = Get<uint32_t>(at + 16);
        s.rawOffset = Get<uint32_t>(at + 20);
        s.characteristics = Get<uint32_t>(at + 36);
        if (s.characteristics & kSectionUninitialized) s.rawSize = 0;
        const uint32_t extent = std::max(s.virtualSize, s.rawSize);
        if (s.virtualAddress < pe.sizeOfHeaders || (uint64_t)s.virtualAddress + extent > pe.sizeOfImage) {
            return r.Fail("section " + s.name + " at RVA " + Hex(s.virtualAddress) + " lies outside the image");
        }
        if (s.rawSize > s.virtualSize && s.virtualSize != 0) s.rawSize = s.virtualSize;  // file padding
        const uint8_t* raw;
        if (!r.File(s.rawOffset, s.rawSize, ("section " + s.name).c_str(), raw)) return false;
        for (const Section& other : pe.sections) {
            const uint32_t otherExtent = std::max(other.virtualSize, other.rawSize);
            if (s.virtualAddress < other.virtualAddress + otherExtent &&
                other.virtualAddress < s.virtualAddress + extent) {
                return r.Fail("sections " + other.name + " and " + s.name + " overlap");
            }
        }
        pe.sections.push_back(std::move(s));
    }
    if (pe.entryPoint != 0 && !pe.SectionAt(pe.entryPoint)) return r.Fail("entry point outside every section");
    return true;
}

bool ReadImports(PeFile& pe, Reader& r)
{
    const Directory d = pe.directories[kDirImport];
    if (d.rva == 0) return true;
    for (uint32_t descriptor = d.rva;; descriptor += 20) {
        const uint8_t* at;
        if (!r.Image(descriptor, 20, "import descriptor", at)) return false;
        const uint32_t lookup = Get<uint32_t>(at), nameRva = Get<uint32_t>(at + 12), slots = Get<uint32_t>(at + 16);
        if (lookup == 0 && nameRva == 0 && slots == 0) return true;
        std::string module;
        if (!r.String(nameRva, "imported module name", module)) return false;
        const uint32_t table = lookup ? lookup : slots;
        for (uint32_t i = 0;; ++i) {
            if (i > 4096) return r.Fail("import list of " + module + " has no end");
            uint32_t entry;
            if (!r.U32(table + 4 * i, "import lookup entry", entry)) return false;
            if (entry == 0) break;
            if (entry & 0x80000000u) return r.Fail("imports " + module + " by ordinal " + std::to_string(entry & 0xFFFF));
            Import import{module, {}, slots + 4 * i};
            if (!r.String(entry + 2, "imported name", import.name)) return false;
            uint32_t slot;
            if (!r.U32(import.slotRva, "import address slot", slot)) return false;
            pe.imports.push_back(std::move(import));
        }
    }
}

bool ReadExports(PeFile& pe, Reader& r)
{
    const Directory d = pe.directories[kDirExport];
    if (d.rva == 0) return true;
    const uint8_t* at;
    if (!r.Image(d.rva, 40, "export directory", at)) return false;
    const uint32_t functionCount = Get<uint32_t>(at + 20), nameCount = Get<uint32_t>(at + 24);
    const uint32_t functions = Get<uint32_t>(at + 28), names = Get<uint32_t>(at + 32), ordinals = Get<uint32_t>(at + 36);
    if (functionCount > 4096 || nameCount > functionCount) return r.Fail("export directory counts are damaged");
    for (uint32_t i = 0; i < nameCount; ++i) {
        uint32_t nameRva, rva;
        uint16_t index;
        Export e;
        if (!r.U32(names + 4 * i, "export name entry", nameRva) || !r.String(nameRva, "export name", e.name) ||
            !r.U16(ordinals + 2 * i, "export ordinal", index)) {
            return false;
        }
        if (index >= functionCount) return r.Fail("export " + e.name + " has ordinal index " + std::to_string(index));
        if (!r.U32(functions + 4 * index, "export address", rva)) return false;
        if (!pe.SectionAt(rva)) return r.Fail("export " + e.name + " at RVA " + Hex(rva) + " lies outside every section");
        e.rva = rva;
        pe.exports.push_back(std::move(e));
    }
    return true;
}

bool ReadRelocations(PeFile& pe, Reader& r)
{
    const Directory d = pe.directories[kDirBaseReloc];
    uint64_t offset = 0;
    while (offset < d.size) {
        const uint8_t* at;
        if (d.size - offset < 8) return r.Fail("relocation block at RVA " + Hex(d.rva + (uint32_t)offset) + " is cut short");
        if (!r.Image(d.rva + (uint32_t)offset, 8, "relocation block", at)) return false;
        const uint32_t page = Get<uint32_t>(at), blockSize = Get<uint32_t>(at + 4);
        if (blockSize < 8 || blockSize % 2 || blockSize > d.size - offset) {
            return r.Fail("relocation block at RVA " + Hex(d.rva + (uint32_t)offset) + " runs past its directory");
        }
        if (!r.Image(d.rva + (uint32_t)offset, blockSize, "relocation block", at)) return false;
        for (uint32_t i = 8; i < blockSize; i += 2) {
            const uint16_t entry = Get<uint16_t>(at + i);
            const Relocation rel{page + (entry & 0xFFFu), entry >> 12};
            if (rel.type == kRelocAbsolute) continue;
            if (rel.type != kRelocHighLow) {
                return r.Fail("relocation of type " + std::to_string(rel.type) + " at RVA " + Hex(rel.rva) +
                              " is not an i386 kind");
            }
            if ((uint64_t)rel.rva + 4 > pe.sizeOfImage || rel.rva < pe.sizeOfHeaders) {
                return r.Fail("relocation at RVA " + Hex(rel.rva) + " lies outside the image");
            }
            pe.relocations.push_back(rel);
        }
        offset += blockSize;
    }
    return true;
}

}  // namespace

const Section* PeFile::SectionAt(uint32_t rva) const
{
    for (const Section& s : sections) {
        if (rva >= s.virtualAddress && rva - s.virtualAddress < std::max(s.virtualSize, s.rawSize)) return &s;
    }
    return nullptr;
}

uint32_t SymbolRva(const PeFile& pe, const std::string& name)
{
    constexpr uint64_t kSymbolSize = 18;
    const uint64_t strings = (uint64_t)pe.symbolTable + kSymbolSize * pe.symbolCount;
    if (pe.symbolTable == 0 || strings + 4 > pe.bytes.size()) return 0;
    const uint8_t* base = pe.bytes.data();
    for (uint32_t i = 0; i < pe.symbolCount; ++i) {
        const uint8_t* sym = base + pe.symbolTable + kSymbolSize * i;
        std::string symbolName;
        if (Get<uint32_t>(sym) == 0) {
            const uint64_t offset = strings + Get<uint32_t>(sym + 4);
            if (offset >= pe.bytes.size()) continue;
            symbolName.assign((const char*)base + offset, strnlen((const char*)base + offset, pe.bytes.size() - offset));
        } else {
            symbolName.assign((const char*)sym, strnlen((const char*)sym, 8));
        }
        const int16_t section = Get<int16_t>(sym + 12);
        if (symbolName == name && section > 0 && (size_t)section <= pe.sections.size()) {
            return pe.sections[section - 1].virtualAddress + Get<uint32_t>(sym + 8);
        }
        i += sym[17];  // auxiliary records
    }
    return 0;
}

std::optional<PeFile> ParsePe(std::vector<uint8_t> bytes, std::string& error)
{
    error.clear();
    PeFile pe;
    pe.bytes = std::move(bytes);
    Reader r(pe, error);
    if (!ReadHeaders(pe, r) || !ReadImports(pe, r) || !ReadExports(pe, r) || !ReadRelocations(pe, r)) {
        return std::nullopt;
    }
    return pe;
}

std::optional<PeFile> ReadPe(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto pe = ParsePe(std::move(bytes), error);
    if (!pe) error = path + ": " + error;
    return pe;
}

}  // namespace kv::image
