// The host module tables, generated from the .def files (host_modules.inc).
#include "image/runtime/host_modules.h"

#include "image/runtime/exceptions.h"

#include "platform/strmini.h"
#include "platform/usbcamdi.h"
#include "platform/wdm.h"

#include <cstring>

namespace kv::image {

namespace {

// Argument bytes as the callee pops them: each argument takes whole 4-byte
// slots. Only a routine of the named convention matches each overload.
template <typename R, typename... A>
constexpr unsigned Stdcall(R(__attribute__((stdcall)) *)(A...))
{
    return (0u + ... + (unsigned)((sizeof(A) + 3) & ~3u));
}

template <typename R, typename... A>
constexpr unsigned Fastcall(R(__attribute__((fastcall)) *)(A...))
{
    return (0u + ... + (unsigned)((sizeof(A) + 3) & ~3u));
}

template <typename R, typename... A>
constexpr bool Cdecl(R (*)(A...))
{
    return true;
}

template <typename R, typename... A>
constexpr bool Cdecl(R (*)(A..., ...))
{
    return true;
}

uint32_t Address(const void* routine) { return (uint32_t)(uintptr_t)routine; }

// Image code takes an 8-byte record result in EDX:EAX, where Linux i386 code
// returns records through a hidden pointer; the images get a routine
// returning the same bytes as a 64-bit integer, which both ABIs return in
// EDX:EAX.
ULONGLONG NTAPI ImageKeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    return (ULONGLONG)KeQueryPerformanceCounter(PerformanceFrequency).QuadPart;
}

}  // namespace

std::map<std::string, std::map<std::string, HostRoutine>> HostModules()
{
    std::map<std::string, std::map<std::string, HostRoutine>> modules;
#define KV_STDCALL(module, name, bytes)                                          \
    static_assert(Stdcall(&::name) == bytes, #name " is not stdcall @" #bytes); \
    modules[module][#name] = HostRoutine{Address((const void*)&::name)};
#define KV_FASTCALL(module, name, bytes)                                           \
    static_assert(Fastcall(&::name) == bytes, #name " is not fastcall @" #bytes); \
    modules[module][#name] = HostRoutine{Address((const void*)&::name)};
#define KV_CDECL(module, name)                          \
    static_assert(Cdecl(&::name), #name " is not cdecl"); \
    modules[module][#name] = HostRoutine{Address((const void*)&::name)};
#include "host_modules.inc"
#undef KV_STDCALL
#undef KV_FASTCALL
#undef KV_CDECL
    modules["HAL.dll"]["KeQueryPerformanceCounter"] = HostRoutine{Address((const void*)&ImageKeQueryPerformanceCounter)};
    // A module whose routines are all listed above may still import none.
    for (const char* module : {"ntoskrnl.exe", "HAL.dll", "stream.sys", "USBD.SYS"}) modules[module];
    return modules;
}

}  // namespace kv::image
