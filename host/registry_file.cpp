// The registry as a Registry Editor export file ("Windows Registry Editor
// Version 5.00"), so that a person can read and edit stored settings.
//
// Reading treats the file as hostile: every error names its line, and
// nothing changes unless the whole file is good.
#include "host/registry_tree.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

namespace kv::kernel {

namespace {

using detail::Key;
using detail::RegValue;

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr size_t kLargestFile = size_t{64} << 20;
constexpr size_t kWrapColumn = 77;

struct Hive {
    const char16_t* kernelName;  // child of \REGISTRY
    const char* fileName;
};
constexpr Hive kHives[] = {
    {u"MACHINE", "HKEY_LOCAL_MACHINE"},
    {u"USER", "HKEY_USERS"},
};

// ------------------------------------------------------------ writing ----

bool IsPlainText(std::u16string_view text)
{
    for (char16_t c : text) {
        if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
    }
    return true;
}

std::string Quoted(std::u16string_view text)
{
    std::string out = "\"";
    for (char c : ToUtf8(text)) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// The text of REG_SZ data that the quoted form carries exactly: even length,
// one terminating null, no other null, nothing a line cannot hold.
std::optional<std::u16string> ExactString(const std::vector<uint8_t>& data)
{
    if (data.size() < 2 || data.size() % 2 != 0) {
        return std::nullopt;
    }
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), data.size());
    if (text.back() != u'\0') {
        return std::nullopt;
    }
    text.pop_back();
    if (text.find(u'\0') != std::u16string::npos || !IsPlainText(text)) {
        return std::nullopt;
    }
    return text;
}

// For a comment beside the hex form of a string value that is not exact.
std::optional<std::u16string> ReadableString(const std::vector<uint8_t>& data)
{
    if (data.size() % 2 != 0) {
        return std::nullopt;
    }
    std::u16string text(data.size() / 2, u'\0');
    if (!data.empty()) {
        std::memcpy(text.data(), data.data(), data.size());
    }
    while (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    if (text.find(u'\0') != std::u16string::npos || !IsPlainText(text)) {
        return std::nullopt;
    }
    return text;
}

void WriteHex(std::string& out, std::string prefix, const std::vector<uint8_t>& data)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string line = std::move(prefix);
    for (size_t i = 0; i < data.size(); ++i) {
        std::string byte{kDigits[data[i] >> 4], kDigits[data[i] & 15]};
        if (i + 1 < data.size()) {
            byte.push_back(',');
        }
        if (line.size() + byte.size() > kWrapColumn && i > 0) {
            out += line + "\\\n";
            line = "  ";
        }
        line += byte;
    }
    out += line + "\n";
}

std::string TypePrefix(ULONG type)
{
    if (type == REG_BINARY) {
        return "hex:";
    }
    char text[24];
    std::snprintf(text, sizeof text, "hex(%x):", type);
    return text;
}

void WriteValue(std::string& out, const RegValue& value, std::vector<std::string>& problems, const std::string& where)
{
    if (!IsPlainText(value.name)) {
        problems.push_back("value name with control characters in " + where + " cannot be saved");
        return;
    }
    std::string name = value.name.empty() ? "@" : Quoted(value.name);
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t number;
        std::memcpy(&number, value.data.data(), 4);
        char text[16];
        std::snprintf(text, sizeof text, "%08x", number);
        out += name + "=dword:" + text + "\n";
        return;
    }
    if (value.type == REG_SZ) {
        if (auto text = ExactString(value.data)) {
            out += name + "=" + Quoted(*text) + "\n";
            return;
        }
    }
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        if (auto text = ReadableString(value.data)) {
            bool terminated = value.data.size() >= 2 && value.data[value.data.size() - 1] == 0 &&
                              value.data[value.data.size() - 2] == 0;
            out += "; " + name + " reads " + Quoted(*text) + (terminated ? "" : " (stored without a terminating null)") +
                   "\n";
        }
    }
    WriteHex(out, name + "=" + TypePrefix(value.type), value.data);
}

void WriteKey(std::string& out, const Key& key, const std::string& path, bool writeSection,
              std::vector<std::string>& problems)
{
    if (key.isVolatile) {
        return;
    }
    if (writeSection) {
        out += "[" + path + "]\n";
        for (const auto& value : key.values) {
            WriteValue(out, value, problems, path);
        }
        out += "\n";
    }
    for (const auto& [folded, child] : key.children) {
        if (!IsPlainText(child->name)) {
            problems.push_back("key name with control characters under " + path + " cannot be saved");
            continue;
        }
        WriteKey(out, *child, path + "\\" + ToUtf8(child->name), true, problems);
    }
}

std::string SaveLocked(std::vector<std::string>& problems)
{
    std::string out = std::string(kHeader) + "\n\n";
    const auto& root = detail::RegistryRoot();
    for (const auto& hive : kHives) {
        auto key = root->Child(hive.kernelName);
        if (key != nullptr) {
            WriteKey(out, *key, hive.fileName, !key->values.empty(), problems);
        }
    }
    return out;
}

// ------------------------------------------------------------ reading ----

struct ParseError : std::runtime_error {
    int line;
    ParseError(int lineNumber, const std::string& message) : std::runtime_error(message), line(lineNumber) {}
};

// The file as UTF-8 lines: a UTF-16LE file (with its byte order mark) is
// converted; other text must be valid UTF-8.
std::vector<std::string> SplitLines(std::string_view text)
{
    std::string utf8;
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
        if (text.size() % 2 != 0) {
            throw ParseError(0, "UTF-16 file with an odd number of bytes");
        }
        std::u16string wide((text.size() - 2) / 2, u'\0');
        std::memcpy(wide.data(), text.data() + 2, wide.size() * 2);
        utf8 = ToUtf8(wide);
    } else if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFE &&
               static_cast<unsigned char>(text[1]) == 0xFF) {
        throw ParseError(0, "UTF-16 big-endian files are not supported");
    } else {
        if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
            text.remove_prefix(3);
        }
        utf8 = std::string(text);
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= utf8.size()) {
        size_t end = utf8.find('\n', start);
        std::string line = utf8.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (ToUtf8(ToUtf16(line)) != line) {
            throw ParseError(static_cast<int>(lines.size() + 1), "text is not valid UTF-8");
        }
        if (line.find('\0') != std::string::npos) {
            throw ParseError(static_cast<int>(lines.size() + 1), "line contains a null character");
        }
        lines.push_back(std::move(line));
        // The newline that ends the last line does not start another.
        if (end == std::string::npos || end + 1 == utf8.size()) {
            break;
        }
        start = end + 1;
    }
    return lines;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

uint32_t ParseHexNumber(std::string_view text, size_t maximumDigits, int line, const char* what)
{
    if (text.empty() || text.size() > maximumDigits) {
        throw ParseError(line, std::string("bad ") + what + " \"" + std::string(text) + "\"");
    }
    uint32_t value = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0) {
            throw ParseError(line, std::string("bad ") + what + " \"" + std::string(text) + "\"");
        }
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return value;
}

// A quoted string starting at text[0] == '"'; returns the text and moves `text` past it.
std::string ParseQuoted(std::string_view& text, int line)
{
    std::string out;
    size_t i = 1;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            text.remove_prefix(i + 1);
            return out;
        }
        if (c == '\\') {
            if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
                throw ParseError(line, "unknown escape in a quoted string (only \\\\ and \\\" are allowed)");
            }
            out.push_back(text[++i]);
            continue;
        }
        out.push_back(c);
    }
    throw ParseError(line, "quoted string without its closing quote");
}

std::vector<uint8_t> ParseHexBytes(std::string_view text, int line)
{
    std::vector<uint8_t> bytes;
    text = Trim(text);
    if (text.empty()) {
        return bytes;
    }
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string_view item = Trim(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (item.empty()) {
            // The joining of wrapped lines removes only their backslash, so
            // a list that still ends in a comma was cut off.
            if (comma == std::string_view::npos) {
                throw ParseError(line, "hex list ends with a comma: the file is cut short");
            }
            throw ParseError(line, "empty byte in a hex list");
        }
        bytes.push_back(static_cast<uint8_t>(ParseHexNumber(item, 2, line, "hex byte")));
        if (bytes.size() > detail::kMaximumValueData) {
            throw ParseError(line, "value data too large");
        }
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return bytes;
}

struct KeyTarget {
    std::vector<std::u16string> parts;  // below \REGISTRY
};

KeyTarget ParseKeyPath(std::string_view path, int line)
{
    std::u16string wide = ToUtf16(path);
    size_t slash = wide.find(u'\\');
    std::u16string_view root = std::u16string_view(wide).substr(0, slash);
    KeyTarget target;
    bool known = false;
    for (const auto& hive : kHives) {
        if (detail::EqualNoCase(root, ToUtf16(hive.fileName))) {
            target.parts.emplace_back(hive.kernelName);
            known = true;
        }
    }
    if (!known) {
        throw ParseError(line, "unknown root key \"" + ToUtf8(root) +
                                   "\" (HKEY_LOCAL_MACHINE and HKEY_USERS are known)");
    }
    if (slash != std::u16string::npos) {
        std::vector<std::u16string> rest;
        if (!detail::SplitKeyPath(std::u16string_view(wide).substr(slash + 1), &rest)) {
            throw ParseError(line, "bad key path (empty or overlong key name)");
        }
        for (auto& part : rest) {
            if (!IsPlainText(part)) {
                throw ParseError(line, "key name with control characters");
            }
        }
        target.parts.insert(target.parts.end(), rest.begin(), rest.end());
    }
    // The real registry's own limit; it also keeps every walk of the tree
    // (saving, copying, freeing) from recursing without bound.
    if (target.parts.size() > detail::kMaximumKeyDepth) {
        throw ParseError(line, "key path deeper than " + std::to_string(detail::kMaximumKeyDepth) + " levels");
    }
    return target;
}

void Parse(const std::vector<std::string>& lines, const std::shared_ptr<Key>& root)
{
    size_t index = 0;
    while (index < lines.size() && Trim(lines[index]).empty()) {
        ++index;
    }
    if (index >= lines.size()) {
        throw ParseError(static_cast<int>(std::max<size_t>(lines.size(), 1)),
                         "the first line must be \"" + std::string(kHeader) + "\"");
    }
    if (Trim(lines[index]) != kHeader) {
        if (Trim(lines[index]) == "REGEDIT4") {
            throw ParseError(static_cast<int>(index + 1), "REGEDIT4 files are not supported; the first line must be \"" +
                                                              std::string(kHeader) + "\"");
        }
        throw ParseError(static_cast<int>(index + 1), "the first line must be \"" + std::string(kHeader) + "\"");
    }
    ++index;
    std::shared_ptr<Key> current;  // null: no section yet, or a deleted one
    bool inSection = false;
    while (index < lines.size()) {
        const int lineNumber = static_cast<int>(index + 1);
        std::string_view line = Trim(lines[index]);
        ++index;
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') {
                throw ParseError(lineNumber, "key section without its closing ']'");
            }
            std::string_view path = line.substr(1, line.size() - 2);
            bool remove = !path.empty() && path.front() == '-';
            if (remove) {
                path.remove_prefix(1);
            }
            KeyTarget target = ParseKeyPath(path, lineNumber);
            inSection = true;
            if (remove) {
                if (target.parts.size() < 2) {
                    throw ParseError(lineNumber, "a root key cannot be deleted");
                }
                auto key = detail::Walk(root, target.parts);
                if (key != nullptr) {
                    key->parent->children.erase(detail::Folded(key->name));
                    key->MarkDeleted();
                }
                current = nullptr;
            } else {
                current = detail::WalkCreate(root, target.parts);
            }
            continue;
        }
        if (line.front() != '"' && line.front() != '@') {
            throw ParseError(lineNumber, "expected a key section, a value or a comment");
        }
        if (!inSection) {
            throw ParseError(lineNumber, "value before the first key section");
        }
        std::string_view rest = line;
        std::u16string name;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            name = ToUtf16(ParseQuoted(rest, lineNumber));
            if (name.empty()) {
                throw ParseError(lineNumber, "empty value name (the default value is written @)");
            }
            if (name.size() > detail::kMaximumValueNameLength || !IsPlainText(name)) {
                throw ParseError(lineNumber, "bad value name");
            }
        }
        rest = Trim(rest);
        if (rest.empty() || rest.front() != '=') {
            throw ParseError(lineNumber, "expected '=' after the value name");
        }
        rest = Trim(rest.substr(1));
        if (rest == "-") {
            if (current != nullptr) {
                current->DeleteValue(name);
            }
            continue;
        }
        ULONG type;
        std::vector<uint8_t> data;
        if (!rest.empty() && rest.front() == '"') {
            std::u16string text = ToUtf16(ParseQuoted(rest, lineNumber));
            if (!Trim(rest).empty()) {
                throw ParseError(lineNumber, "unexpected text after the closing quote");
            }
            text.push_back(u'\0');
            type = REG_SZ;
            data.resize(text.size() * 2);
            std::memcpy(data.data(), text.data(), data.size());
        } else if (rest.substr(0, 6) == "dword:") {
            type = REG_DWORD;
            uint32_t number = ParseHexNumber(Trim(rest.substr(6)), 8, lineNumber, "dword");
            data.resize(4);
            std::memcpy(data.data(), &number, 4);
        } else if (rest.substr(0, 3) == "hex") {
            rest.remove_prefix(3);
            type = REG_BINARY;
            if (!rest.empty() && rest.front() == '(') {
                size_t close = rest.find(')');
                if (close == std::string_view::npos) {
                    throw ParseError(lineNumber, "hex( without its closing ')'");
                }
                type = ParseHexNumber(rest.substr(1, close - 1), 8, lineNumber, "value type");
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != ':') {
                throw ParseError(lineNumber, "expected ':' after hex");
            }
            rest.remove_prefix(1);
            // Gather continuation lines: a line ending in a backslash goes on.
            std::string list;
            std::string_view piece = Trim(rest);
            int pieceLine = lineNumber;
            while (!piece.empty() && piece.back() == '\\') {
                list += std::string(piece.substr(0, piece.size() - 1));
                if (index >= lines.size()) {
                    throw ParseError(pieceLine, "line continuation at the end of the file");
                }
                pieceLine = static_cast<int>(index + 1);
                piece = Trim(lines[index]);
                ++index;
                if (piece.empty() || piece.front() == ';' || piece.front() == '[') {
                    throw ParseError(pieceLine, "expected the continued hex list");
                }
            }
            list += std::string(piece);
            data = ParseHexBytes(list, lineNumber);
        } else {
            throw ParseError(lineNumber, "unrecognised value data (expected \"text\", dword:, hex: or hex(n):)");
        }
        if (current != nullptr) {
            current->SetValue(name, type, std::move(data));
        }
    }
}

}  // namespace

namespace registry {

std::string SaveToText()
{
    std::vector<std::string> problems;
    std::lock_guard lock(detail::RegistryMutex());
    return SaveLocked(problems);
}

bool SaveFile(const std::string& fileName, std::string* error)
{
    std::vector<std::string> problems;
    std::string text;
    {
        std::lock_guard lock(detail::RegistryMutex());
        text = SaveLocked(problems);
    }
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        problems.insert(problems.begin(), "cannot write " + fileName);
    }
    if (!problems.empty() && error != nullptr) {
        *error = problems.front();
    }
    return problems.empty();
}

LoadResult LoadFromText(std::string_view text, LoadMode mode)
{
    LoadResult result;
    auto fail = [&](int line, const std::string& message) {
        result.ok = false;
        result.line = line;
        result.message = line > 0 ? "line " + std::to_string(line) + ": " + message : message;
        return result;
    };
    if (text.size() > kLargestFile) {
        return fail(0, "file larger than 64 MiB");
    }
    std::lock_guard lock(detail::RegistryMutex());
    if (detail::OpenHandleCountLocked() != 0) {
        return fail(0, "registry handles are open; the registry cannot be replaced now");
    }
    std::shared_ptr<Key> staging = mode == LoadMode::Replace ? detail::NewBaseTree()
                                                             : detail::CloneTree(*detail::RegistryRoot(), nullptr);
    try {
        Parse(SplitLines(text), staging);
    } catch (const ParseError& error) {
        return fail(error.line, error.what());
    }
    if (mode == LoadMode::Replace) {
        // The base keys are always there, whatever the file holds.
        auto base = detail::NewBaseTree();
        std::function<void(const std::shared_ptr<Key>&, const std::shared_ptr<Key>&)> ensure =
            [&](const std::shared_ptr<Key>& from, const std::shared_ptr<Key>& into) {
                for (auto& [folded, child] : from->children) {
                    auto existing = into->Child(child->name);
                    if (existing == nullptr) {
                        existing = into->AddChild(child->name, child->isVolatile);
                    }
                    ensure(child, existing);
                }
            };
        ensure(base, staging);
    }
    detail::RegistryRoot() = staging;
    return result;
}

LoadResult LoadFile(const std::string& fileName, LoadMode mode)
{
    std::ifstream file(fileName, std::ios::binary | std::ios::ate);
    if (!file) {
        LoadResult result;
        result.ok = false;
        result.message = "cannot open " + fileName;
        return result;
    }
    if (static_cast<uint64_t>(file.tellg()) > kLargestFile) {
        LoadResult result;
        result.ok = false;
        result.message = fileName + ": file larger than 64 MiB";
        return result;
    }
    file.seekg(0);
    std::ostringstream content;
    content << file.rdbuf();
    LoadResult result = LoadFromText(content.str(), mode);
    if (!result.ok) {
        result.message = fileName + ": " + result.message;
    }
    return result;
}

}  // namespace registry
}  // namespace kv::kernel
