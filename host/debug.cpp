// DbgPrint: the kernel's printf dialect, captured line by line.
//
// Integer sizes follow the kernel: %d/%x take 32 bits, %ld/%lx too (a LONG is
// 32 bits), %I64x/%llx take 64 bits, %Ix a pointer-sized value. %s takes a
// char string, %ws/%ls/%S a WCHAR string, %Z a STRING, %wZ a UNICODE_STRING.
#include "host/kernel_internal.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>

namespace kv::kernel {

namespace {

// The kernel prints at most this many characters per call.
constexpr size_t kMaximumPerCall = 512;

// Long runs print without end: only the newest lines are kept, and those
// that make way are counted.
constexpr size_t kKeptLines = 20000;
constexpr size_t kKeptBytes = size_t{4} << 20;
// Text without a newline waits at most this long for one, then counts as a line.
constexpr size_t kLongestLine = 64 * 1024;

std::mutex gMutex;
std::deque<std::string> gLines;
size_t gLineBytes = 0;
uint64_t gDroppedLines = 0;
std::string gPending;
bool gEcho = false;
std::function<void(std::string_view)> gSink;  // called once per DbgPrint

enum class Size { Default, Char, Short, Long, LongLong, Pointer, SizeT, Wide, LongDouble };

struct Conversion {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    Size size = Size::Default;
};

void Pad(std::string& out, const std::string& body, const Conversion& conv)
{
    size_t width = conv.width > 0 ? static_cast<size_t>(conv.width) : 0;
    if (body.size() >= width) {
        out += body;
    } else if (conv.left) {
        out += body;
        out.append(width - body.size(), ' ');
    } else {
        out.append(width - body.size(), ' ');
        out += body;
    }
}

void FormatInteger(std::string& out, uint64_t magnitude, bool negative, char conversion, const Conversion& conv)
{
    unsigned base = conversion == 'o' ? 8 : (conversion == 'x' || conversion == 'X' || conversion == 'p') ? 16 : 10;
    const char* digitSet = conversion == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string digits;
    while (magnitude != 0) {
        digits.insert(digits.begin(), digitSet[magnitude % base]);
        magnitude /= base;
    }
    if (conv.precision >= 0) {
        if (static_cast<size_t>(conv.precision) > digits.size()) {
            digits.insert(0, static_cast<size_t>(conv.precision) - digits.size(), '0');
        }
    } else if (digits.empty()) {
        digits = "0";
    }
    std::string prefix;
    if (negative) {
        prefix = "-";
    } else if ((conversion == 'd' || conversion == 'i') && conv.plus) {
        prefix = "+";
    } else if ((conversion == 'd' || conversion == 'i') && conv.space) {
        prefix = " ";
    }
    if (conv.alternate && !digits.empty() && digits != std::string(digits.size(), '0')) {
        if (conversion == 'x') {
            prefix += "0x";
        } else if (conversion == 'X') {
            prefix += "0X";
        } else if (conversion == 'o' && digits[0] != '0') {
            digits.insert(digits.begin(), '0');
        }
    }
    size_t width = conv.width > 0 ? static_cast<size_t>(conv.width) : 0;
    if (conv.zero && !conv.left && conv.precision < 0 && prefix.size() + digits.size() < width) {
        digits.insert(0, width - prefix.size() - digits.size(), '0');
    }
    Pad(out, prefix + digits, conv);
}

std::string Truncated(std::string text, int precision)
{
    if (precision >= 0 && text.size() > static_cast<size_t>(precision)) {
        text.resize(static_cast<size_t>(precision));
    }
    return text;
}

std::string WideText(const WCHAR* text, int precision)
{
    std::u16string_view view;
    if (precision >= 0) {
        size_t length = 0;
        while (length < static_cast<size_t>(precision) && text[length] != 0) {
            ++length;
        }
        view = std::u16string_view(text, length);
    } else {
        view = std::u16string_view(text);
    }
    return ToUtf8(view);
}

void Emit(std::string text)
{
    std::function<void(std::string_view)> sink;
    {
        std::lock_guard lock(gMutex);
        sink = gSink;
    }
    if (sink) {
        sink(text);  // outside the lock: the sink may read the clock or print
    }
    std::lock_guard lock(gMutex);
    if (gEcho) {
        std::cerr << text << std::flush;
    }
    for (char c : text) {
        if (c != '\n') {
            gPending.push_back(c);
        }
        if (c == '\n' || gPending.size() >= kLongestLine) {
            gLineBytes += gPending.size() + 1;
            gLines.push_back(std::move(gPending));
            gPending.clear();
        }
    }
    while (gLines.size() > kKeptLines || gLineBytes > kKeptBytes) {
        gLineBytes -= gLines.front().size() + 1;
        gLines.pop_front();
        ++gDroppedLines;
    }
}

std::string TextLocked()
{
    std::string text;
    text.reserve(gLineBytes + gPending.size());
    for (const std::string& line : gLines) {
        text += line;
        text += '\n';
    }
    return text + gPending;
}

void ClearLocked()
{
    gLines.clear();
    gLineBytes = 0;
    gDroppedLines = 0;
    gPending.clear();
}

}  // namespace

void detail::ResetDebug()
{
    std::lock_guard lock(gMutex);
    ClearLocked();
    gEcho = false;
    gSink = nullptr;
}

namespace debug {

std::vector<std::string> Lines()
{
    std::lock_guard lock(gMutex);
    return {gLines.begin(), gLines.end()};
}

uint64_t DroppedLines()
{
    std::lock_guard lock(gMutex);
    return gDroppedLines;
}

std::string Text()
{
    std::lock_guard lock(gMutex);
    return TextLocked();
}

bool Contains(std::string_view text)
{
    std::lock_guard lock(gMutex);
    return TextLocked().find(text) != std::string::npos;
}

void Clear()
{
    std::lock_guard lock(gMutex);
    ClearLocked();
}

void SetEcho(bool echo)
{
    std::lock_guard lock(gMutex);
    gEcho = echo;
}

void SetSink(std::function<void(std::string_view text)> sink)
{
    std::lock_guard lock(gMutex);
    gSink = std::move(sink);
}

std::string Format(const char* format, va_list args)
{
    return detail::FormatText(format, args, false);
}

}  // namespace debug

// In the wide functions (swprintf) a plain %s or %c is the wide kind and the
// capital one the narrow kind; h and l/w force narrow and wide.
std::string detail::FormatText(const char* format, va_list args, bool wideByDefault)
{
    std::string out;
    if (format == nullptr) {
        return out;
    }
    va_list ap;
    va_copy(ap, args);
    const char* p = format;
    while (*p != 0) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        ++p;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        Conversion conv;
        for (bool flags = true; flags;) {
            switch (*p) {
            case '-': conv.left = true; ++p; break;
            case '+': conv.plus = true; ++p; break;
            case ' ': conv.space = true; ++p; break;
            case '#': conv.alternate = true; ++p; break;
            case '0': conv.zero = true; ++p; break;
            default: flags = false; break;
            }
        }
        if (*p == '*') {
            int width = va_arg(ap, int);
            if (width < 0) {
                conv.left = true;
                width = width == INT32_MIN ? INT32_MAX : -width;
            }
            conv.width = width;
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                conv.width = conv.width < 100000 ? conv.width * 10 + (*p - '0') : conv.width;
                ++p;
            }
        }
        if (*p == '.') {
            ++p;
            conv.precision = 0;
            if (*p == '*') {
                int precision = va_arg(ap, int);
                conv.precision = precision < 0 ? -1 : precision;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    conv.precision = conv.precision < 100000 ? conv.precision * 10 + (*p - '0') : conv.precision;
                    ++p;
                }
            }
        }
        // A wild width would only pad; the per-call limit bounds it anyway.
        conv.width = std::min(conv.width, static_cast<int>(kMaximumPerCall));
        if (*p == 'h') {
            ++p;
            conv.size = Size::Short;
            if (*p == 'h') {
                ++p;
                conv.size = Size::Char;
            }
        } else if (*p == 'l') {
            ++p;
            conv.size = Size::Long;
            if (*p == 'l') {
                ++p;
                conv.size = Size::LongLong;
            }
        } else if (*p == 'L') {
            ++p;
            conv.size = Size::LongDouble;
        } else if (*p == 'w') {
            ++p;
            conv.size = Size::Wide;
        } else if (*p == 'z') {
            ++p;
            conv.size = Size::SizeT;
        } else if (*p == 'I') {
            ++p;
            if (p[0] == '6' && p[1] == '4') {
                p += 2;
                conv.size = Size::LongLong;
            } else if (p[0] == '3' && p[1] == '2') {
                p += 2;
                conv.size = Size::Long;
            } else {
                conv.size = Size::Pointer;
            }
        }
        char conversion = *p;
        if (conversion == 0) {
            break;
        }
        ++p;
        switch (conversion) {
        case 'd':
        case 'i': {
            int64_t value;
            switch (conv.size) {
            case Size::LongLong:
            case Size::LongDouble: value = va_arg(ap, long long); break;
            case Size::Pointer:
            case Size::SizeT: value = static_cast<int64_t>(va_arg(ap, intptr_t)); break;
            case Size::Short: value = static_cast<short>(va_arg(ap, int)); break;
            case Size::Char: value = static_cast<signed char>(va_arg(ap, int)); break;
            default: value = va_arg(ap, int); break;
            }
            uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            FormatInteger(out, magnitude, value < 0, conversion, conv);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            uint64_t value;
            switch (conv.size) {
            case Size::LongLong:
            case Size::LongDouble: value = va_arg(ap, unsigned long long); break;
            case Size::Pointer:
            case Size::SizeT: value = va_arg(ap, uintptr_t); break;
            case Size::Short: value = static_cast<unsigned short>(va_arg(ap, unsigned)); break;
            case Size::Char: value = static_cast<unsigned char>(va_arg(ap, unsigned)); break;
            default: value = va_arg(ap, unsigned); break;
            }
            FormatInteger(out, value, false, conversion, conv);
            break;
        }
        case 'p': {
            Conversion pointerSpec = conv;
            pointerSpec.precision = static_cast<int>(2 * sizeof(void*));
            FormatInteger(out, reinterpret_cast<uintptr_t>(va_arg(ap, void*)), false, 'p', pointerSpec);
            break;
        }
        case 'c':
        case 'C': {
            int value = va_arg(ap, int);
            bool wide = conv.size == Size::Long || conv.size == Size::Wide ||
                        (conv.size != Size::Short && ((conversion == 'C') != wideByDefault));
            std::string text = wide ? ToUtf8(std::u16string(1, static_cast<char16_t>(value)))
                                    : std::string(1, static_cast<char>(value));
            Pad(out, text, conv);
            break;
        }
        case 's':
        case 'S': {
            bool wide = conv.size == Size::Long || conv.size == Size::Wide ||
                        (conv.size != Size::Short && ((conversion == 'S') != wideByDefault));
            std::string text;
            if (wide) {
                auto* string = va_arg(ap, const WCHAR*);
                text = string == nullptr ? "(null)" : WideText(string, conv.precision);
            } else {
                auto* string = va_arg(ap, const char*);
                if (string == nullptr) {
                    text = "(null)";
                } else if (conv.precision >= 0) {
                    size_t length = 0;
                    while (length < static_cast<size_t>(conv.precision) && string[length] != 0) {
                        ++length;
                    }
                    text.assign(string, length);
                } else {
                    text = string;
                }
            }
            Pad(out, text, conv);
            break;
        }
        case 'Z': {
            std::string text = "(null)";
            if (conv.size == Size::Wide) {
                auto* string = va_arg(ap, PCUNICODE_STRING);
                std::u16string_view view;
                if (string != nullptr && string->Buffer != nullptr && detail::ViewOf(string, &view)) {
                    text = Truncated(ToUtf8(view), conv.precision);
                }
            } else {
                auto* string = va_arg(ap, const STRING*);
                if (string != nullptr && string->Buffer != nullptr && string->Length <= string->MaximumLength) {
                    text = Truncated(std::string(string->Buffer, string->Length), conv.precision);
                }
            }
            Pad(out, text, conv);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            double value = conv.size == Size::LongDouble ? static_cast<double>(va_arg(ap, long double))
                                                         : va_arg(ap, double);
            std::string pattern = "%";
            pattern += conv.left ? "-" : "";
            pattern += conv.plus ? "+" : "";
            pattern += conv.space ? " " : "";
            pattern += conv.alternate ? "#" : "";
            pattern += conv.zero ? "0" : "";
            pattern += conv.width > 0 ? std::to_string(conv.width) : "";
            pattern += conv.precision >= 0 ? "." + std::to_string(std::min(conv.precision, 64)) : "";
            pattern.push_back(conversion);
            char buffer[kMaximumPerCall + 96];
            std::snprintf(buffer, sizeof buffer, pattern.c_str(), value);
            out += buffer;
            break;
        }
        case 'n':
            // Writing through %n is refused, as modern kernels refuse it.
            (void)va_arg(ap, void*);
            RecordViolation("DbgPrint format uses %n, which is not supported");
            break;
        default:
            // An unknown conversion prints itself.
            out.push_back(conversion);
            break;
        }
        if (out.size() > kMaximumPerCall * 4) {
            break;
        }
    }
    va_end(ap);
    return out;
}

}  // namespace kv::kernel

using namespace kv::kernel;

namespace {

ULONG Print(const char* format, va_list args)
{
    std::string text = debug::Format(format, args);
    if (text.size() > kMaximumPerCall) {
        text.resize(kMaximumPerCall);
    }
    Emit(std::move(text));
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    ULONG status = Print(Format, args);
    va_end(args);
    return status;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    va_list args;
    va_start(args, Format);
    ULONG status = Print(Format, args);
    va_end(args);
    return status;
}

}  // extern "C"

namespace {

// The text of a wide format call as UTF-16.
std::u16string WideFormat(const WCHAR* format, va_list args)
{
    if (format == nullptr) {
        return {};
    }
    std::string narrowFormat = ToUtf8(std::u16string_view(format));
    return ToUtf16(detail::FormatText(narrowFormat.c_str(), args, true));
}

}  // namespace

int swprintf(WCHAR* Buffer, const WCHAR* Format, ...)
{
    va_list args;
    va_start(args, Format);
    std::u16string text = WideFormat(Format, args);
    va_end(args);
    if (Buffer == nullptr) {
        RecordViolation("swprintf with a null buffer");
        return -1;
    }
    std::memcpy(Buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return static_cast<int>(text.size());
}

extern "C" int _snwprintf(WCHAR* Buffer, SIZE_T Count, const WCHAR* Format, ...)
{
    va_list args;
    va_start(args, Format);
    std::u16string text = WideFormat(Format, args);
    va_end(args);
    if (Buffer == nullptr && Count != 0) {
        RecordViolation("_snwprintf with a null buffer");
        return -1;
    }
    if (text.size() > Count) {
        if (Count > 0) {
            std::memcpy(Buffer, text.data(), Count * sizeof(WCHAR));
        }
        return -1;
    }
    std::memcpy(Buffer, text.data(), text.size() * sizeof(WCHAR));
    if (text.size() < Count) {
        Buffer[text.size()] = 0;
    }
    return static_cast<int>(text.size());
}
