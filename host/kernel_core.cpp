// Violations, injected failures, IRQL tracking, Reset and string helpers.
#include "host/kernel_internal.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace kv::kernel {

namespace {

struct Failure {
    std::string routine;
    NTSTATUS status;
    uint32_t count;
    uint32_t skip;
};

std::mutex gMutex;
std::vector<std::string> gViolations;
std::deque<Failure> gFailures;
std::map<std::string, uint64_t, std::less<>> gCalls;

thread_local KIRQL tIrql = PASSIVE_LEVEL;

}  // namespace

// ---------------------------------------------------------------- Reset ----

void Reset()
{
    // Devices and interfaces refer to registry keys and pool, so they go first;
    // the pool goes last because the other parts hand memory back to it.
    detail::ResetViolationsAndFaults();
    detail::ResetIrql();
    detail::ResetFloatingPointState();
    detail::ResetDebug();
    detail::ResetClock();
    detail::ResetScheduler();
    detail::ResetInterfaces();
    detail::ResetIo();
    detail::ResetRegistry();
    detail::ResetPool();
    // Whatever the resets themselves noticed belongs to the previous test.
    ClearViolations();
}

void detail::ResetViolationsAndFaults()
{
    std::lock_guard lock(gMutex);
    gViolations.clear();
    gFailures.clear();
    gCalls.clear();
}

// ----------------------------------------------------------- violations ----

void RecordViolation(std::string what)
{
    std::lock_guard lock(gMutex);
    gViolations.push_back(std::move(what));
}

std::vector<std::string> Violations()
{
    std::lock_guard lock(gMutex);
    return gViolations;
}

void ClearViolations()
{
    std::lock_guard lock(gMutex);
    gViolations.clear();
}

bool TakeViolation(std::string_view text)
{
    std::lock_guard lock(gMutex);
    for (auto it = gViolations.begin(); it != gViolations.end(); ++it) {
        if (it->find(text) != std::string::npos) {
            gViolations.erase(it);
            return true;
        }
    }
    return false;
}

// ------------------------------------------------------- named failures ----

void InjectFailure(std::string_view routine, NTSTATUS status, uint32_t count, uint32_t skip)
{
    std::lock_guard lock(gMutex);
    if (count > 0) {
        gFailures.push_back(Failure{std::string(routine), status, count, skip});
    }
}

void ClearInjectedFailures()
{
    std::lock_guard lock(gMutex);
    gFailures.clear();
}

uint64_t CallCount(std::string_view routine)
{
    std::lock_guard lock(gMutex);
    auto it = gCalls.find(routine);
    return it == gCalls.end() ? 0 : it->second;
}

std::optional<NTSTATUS> ConsumeInjectedFailure(std::string_view routine)
{
    std::lock_guard lock(gMutex);
    auto counted = gCalls.find(routine);
    if (counted == gCalls.end()) counted = gCalls.emplace(std::string(routine), 0).first;
    ++counted->second;
    for (auto it = gFailures.begin(); it != gFailures.end(); ++it) {
        if (it->routine != routine) {
            continue;
        }
        if (it->skip > 0) {
            --it->skip;
            return std::nullopt;
        }
        NTSTATUS status = it->status;
        if (--it->count == 0) {
            gFailures.erase(it);
        }
        return status;
    }
    return std::nullopt;
}

// ----------------------------------------------------------------- IRQL ----

void detail::ResetIrql()
{
    tIrql = PASSIVE_LEVEL;
}

KIRQL CurrentIrql()
{
    return tIrql;
}

IrqlScope::IrqlScope(KIRQL level) : previous_(KfRaiseIrql(level)) {}

IrqlScope::~IrqlScope()
{
    KfLowerIrql(previous_);
}

bool CheckIrql(KIRQL maximum, std::string_view routine)
{
    if (tIrql <= maximum) {
        return true;
    }
    RecordViolation(std::string(routine) + " called at IRQL " + std::to_string(tIrql) + " (allowed up to " +
                    std::to_string(maximum) + ")");
    return false;
}

// -------------------------------------------------------------- strings ----

std::u16string ToUtf16(std::string_view utf8)
{
    static constexpr char32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
    std::u16string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        auto byte = static_cast<unsigned char>(utf8[i]);
        char32_t cp = 0xFFFD;
        size_t length = 1;
        size_t need = byte < 0x80 ? 0 : byte >= 0xF0 && byte <= 0xF4 ? 3 : byte >= 0xE0 && byte < 0xF0 ? 2
                                                                          : byte >= 0xC2 && byte < 0xE0 ? 1 : 4;
        if (need == 0) {
            cp = byte;
        } else if (need < 4 && i + need < utf8.size()) {
            char32_t value = byte & (0x3F >> need);
            bool good = true;
            for (size_t k = 1; good && k <= need; ++k) {
                auto next = static_cast<unsigned char>(utf8[i + k]);
                good = (next & 0xC0) == 0x80;
                value = (value << 6) | (next & 0x3F);
            }
            if (good && value >= kMinimum[need] && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF)) {
                cp = value;
                length = need + 1;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

std::string ToUtf8(std::u16string_view utf16)
{
    std::string out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

OwnedUnicodeString::OwnedUnicodeString(std::u16string_view text) : buffer_(text)
{
    size_t bytes = std::min<size_t>(buffer_.size() * sizeof(char16_t), 0xFFFC);
    string_.Length = static_cast<USHORT>(bytes);
    string_.MaximumLength = static_cast<USHORT>(bytes + sizeof(char16_t));
    string_.Buffer = buffer_.data();
}

namespace detail {

std::string PointerText(const void* pointer)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string GuidText(const GUID& g)
{
    char text[48];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

char16_t FoldCase(char16_t c)
{
    if (c >= u'a' && c <= u'z') {
        return static_cast<char16_t>(c - 0x20);
    }
    // Latin-1 letters fold the same way; the multiplication sign has no case.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<char16_t>(c - 0x20);
    }
    return c;
}

std::u16string Folded(std::u16string_view text)
{
    std::u16string out(text);
    for (auto& c : out) {
        c = FoldCase(c);
    }
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return true;
}

bool ViewOf(PCUNICODE_STRING string, std::u16string_view* view)
{
    if (string == nullptr) {
        return false;
    }
    if ((string->Length & 1) != 0 || string->Length > string->MaximumLength ||
        (string->Buffer == nullptr && string->Length != 0)) {
        return false;
    }
    *view = std::u16string_view(string->Buffer, string->Length / sizeof(WCHAR));
    return true;
}

}  // namespace detail
}  // namespace kv::kernel

using namespace kv::kernel;

// ------------------------------------------------------- kernel routines ----

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return tIrql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = tIrql;
    if (NewIrql < old) {
        RecordViolation("KeRaiseIrql to " + std::to_string(NewIrql) + " below the current IRQL " +
                        std::to_string(old));
        return old;
    }
    if (NewIrql > HIGH_LEVEL) {
        RecordViolation("KeRaiseIrql to invalid IRQL " + std::to_string(NewIrql));
        return old;
    }
    tIrql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > tIrql) {
        RecordViolation("KeLowerIrql to " + std::to_string(NewIrql) + " above the current IRQL " +
                        std::to_string(tIrql));
        return;
    }
    tIrql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID)
{
    return KfRaiseIrql(DISPATCH_LEVEL);
}

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message)
{
    std::string text = "ASSERT failed: ";
    text += FailedAssertion != nullptr ? static_cast<const char*>(FailedAssertion) : "?";
    text += " at ";
    text += FileName != nullptr ? static_cast<const char*>(FileName) : "?";
    text += ":" + std::to_string(LineNumber);
    if (Message != nullptr) {
        text += std::string(" (") + Message + ")";
    }
    RecordViolation(std::move(text));
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (DestinationString == nullptr) {
        RecordViolation("RtlInitUnicodeString with a null destination");
        return;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    // The kernel caps the length so that it and its terminator fit a USHORT.
    SIZE_T bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    std::u16string_view ignored;
    if (!detail::ViewOf(Destination, &ignored)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    SIZE_T bytes = wcslen(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* end = reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length;
    std::memmove(end, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    std::u16string_view ignored;
    std::u16string_view source;
    if (!detail::ViewOf(Destination, &ignored) || !detail::ViewOf(Source, &source)) {
        return STATUS_INVALID_PARAMETER;
    }
    SIZE_T bytes = source.size() * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (bytes > 0) {
        std::memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, source.data(), bytes);
    }
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    std::u16string_view ignored;
    if (!detail::ViewOf(DestinationString, &ignored)) {
        RecordViolation("RtlCopyUnicodeString with an invalid destination");
        return;
    }
    std::u16string_view source;
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    if (!detail::ViewOf(SourceString, &source)) {
        RecordViolation("RtlCopyUnicodeString with an invalid source");
        return;
    }
    // Copies what fits and terminates when there is room, as the kernel does.
    SIZE_T bytes = std::min<SIZE_T>(source.size() * sizeof(WCHAR), DestinationString->MaximumLength & ~1u);
    if (bytes > 0) {
        std::memmove(DestinationString->Buffer, source.data(), bytes);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    std::u16string_view a;
    std::u16string_view b;
    if (!detail::ViewOf(String1, &a) || !detail::ViewOf(String2, &b)) {
        RecordViolation("RtlCompareUnicodeString with an invalid string");
        return 0;
    }
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t x = CaseInSensitive ? detail::FoldCase(a[i]) : a[i];
        char16_t y = CaseInSensitive ? detail::FoldCase(b[i]) : b[i];
        if (x != y) {
            return static_cast<LONG>(x) - static_cast<LONG>(y);
        }
    }
    return static_cast<LONG>(a.size()) - static_cast<LONG>(b.size());
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    std::u16string_view a;
    std::u16string_view b;
    if (!detail::ViewOf(String1, &a) || !detail::ViewOf(String2, &b)) {
        RecordViolation("RtlEqualUnicodeString with an invalid string");
        return FALSE;
    }
    if (CaseInSensitive) {
        return detail::EqualNoCase(a, b) ? TRUE : FALSE;
    }
    return a == b ? TRUE : FALSE;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString == nullptr) {
        return;
    }
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

}  // extern "C"
