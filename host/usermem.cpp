// Caller memory regions of the emulation: a table from caller addresses to
// host bytes, consulted by every probe and copy.
#include "host/usermem.h"

#include "host/kernel.h"

#include <atomic>
#include <cstring>
#include <string>
#include <map>
#include <mutex>

namespace {

constexpr uint64_t kPage = 0x1000;
// The first region starts here: low addresses (null and just above it) are
// never caller memory.
constexpr uint64_t kFirstAddress = 0x00010000;
constexpr uint64_t kAddressLimit = 0x100000000ull;  // 32-bit caller address space

struct Region {
    uint8_t* host;
    uint64_t length;
    bool writable;
};

struct State {
    std::mutex lock;
    std::map<uint64_t, Region> regions;  // by caller address
    uint64_t next = kFirstAddress;
    uint64_t refused = 0;
};

State& TheState()
{
    static State state;
    return state;
}

// The host bytes for [address, address + length), or null when the range is
// not inside one region allowing the access. Caller holds the lock.
uint8_t* Resolve(State& s, uint64_t address, uint64_t length, bool write)
{
    auto it = s.regions.upper_bound(address);
    if (it == s.regions.begin()) {
        return nullptr;
    }
    --it;
    const uint64_t offset = address - it->first;
    const Region& r = it->second;
    if (offset >= r.length || length > r.length - offset) {
        return nullptr;
    }
    if (write && !r.writable) {
        return nullptr;
    }
    return r.host + offset;
}

}  // namespace

extern "C" NTSTATUS NTAPI KvProbeCallerMemory(ULONG_PTR Address, SIZE_T Length, BOOLEAN Write)
{
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    State& s = TheState();
    std::lock_guard guard(s.lock);
    if (Resolve(s, Address, Length, Write != FALSE) == nullptr) {
        ++s.refused;
        return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KvCopyFromCaller(PVOID Destination, ULONG_PTR Address, SIZE_T Length)
{
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    State& s = TheState();
    std::lock_guard guard(s.lock);
    const uint8_t* source = Resolve(s, Address, Length, false);
    if (source == nullptr || Destination == nullptr) {
        ++s.refused;
        return STATUS_ACCESS_VIOLATION;
    }
    std::memcpy(Destination, source, Length);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KvCopyToCaller(ULONG_PTR Address, const VOID* Source, SIZE_T Length)
{
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    State& s = TheState();
    std::lock_guard guard(s.lock);
    uint8_t* target = Resolve(s, Address, Length, true);
    if (target == nullptr || Source == nullptr) {
        ++s.refused;
        return STATUS_ACCESS_VIOLATION;
    }
    std::memcpy(target, Source, Length);
    return STATUS_SUCCESS;
}

namespace {

std::atomic<kv::usermem::RaiseRoutine> gRaise{nullptr};

void Probe(ULONG_PTR address, SIZE_T length, bool write)
{
    if (KvProbeCallerMemory(address, length, write ? TRUE : FALSE) == STATUS_SUCCESS) return;
    if (auto raise = gRaise.load()) {
        raise(STATUS_ACCESS_VIOLATION);  // does not return
    }
    kv::kernel::RecordViolation(std::string(write ? "ProbeForWrite" : "ProbeForRead") +
                                " refused a range with no exception frame to catch it");
}

}  // namespace

extern "C" VOID NTAPI ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment)
{
    (void)Alignment;
    Probe((ULONG_PTR)Address, Length, false);
}

extern "C" VOID NTAPI ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment)
{
    (void)Alignment;
    Probe((ULONG_PTR)Address, Length, true);
}

namespace kv::usermem {

void SetRaiseRoutine(RaiseRoutine routine) { gRaise = routine; }

ULONG Map(void* host, size_t length, bool writable)
{
    State& s = TheState();
    std::lock_guard guard(s.lock);
    const uint64_t pages = (length + kPage - 1) / kPage;
    const uint64_t span = (pages == 0 ? 1 : pages) * kPage;
    if (host == nullptr || s.next + span > kAddressLimit) {
        return 0;  // never a caller address
    }
#if defined(__i386__)
    // Kernel images copy from caller addresses themselves (inside an
    // exception frame), so here a caller address is the host address; the
    // probes still refuse every byte outside a region.
    (void)span;
    const uint64_t address = (uintptr_t)host;
    if (address < kFirstAddress) return 0;
#else
    const uint64_t address = s.next;
    s.next = address + span + kPage;  // one unmapped page behind every region
#endif
    s.regions[address] = Region{static_cast<uint8_t*>(host), length, writable};
    return static_cast<ULONG>(address);
}

void Unmap(ULONG address)
{
    State& s = TheState();
    std::lock_guard guard(s.lock);
    s.regions.erase(address);
}

void Reset()
{
    State& s = TheState();
    std::lock_guard guard(s.lock);
    s.regions.clear();
    s.next = kFirstAddress;
    s.refused = 0;
}

size_t RegionCount()
{
    State& s = TheState();
    std::lock_guard guard(s.lock);
    return s.regions.size();
}

uint64_t RefusedAccesses()
{
    State& s = TheState();
    std::lock_guard guard(s.lock);
    return s.refused;
}

}  // namespace kv::usermem
