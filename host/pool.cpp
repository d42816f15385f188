// The pool: every allocation carries its type and tag and is counted, so
// tests see leaks and can make allocations fail; misuse is recorded.
#include "host/kernel_internal.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <random>
#include <unordered_map>
#include <unordered_set>

namespace kv::kernel {

namespace {

// Larger requests fail as the real pool fails them when no block is left;
// it also keeps a wild size from a driver bug from exhausting the host.
constexpr size_t kLargestAllocation = size_t{256} << 20;
constexpr uint8_t kFreedFill = 0xDD;

struct Block {
    size_t bytes;
    size_t alignment;
    ULONG tag;
    POOL_TYPE type;
    uint64_t serial;
};

struct FreedBlock {
    size_t bytes;
    ULONG tag;
};

struct PoolState {
    std::unordered_map<void*, Block> live;
    // Addresses freed and not handed out again, to name a double free.
    std::unordered_map<void*, FreedBlock> freed;
    uint64_t calls = 0;
    uint64_t failed = 0;
    uint64_t serial = 0;
    size_t bytes = 0;
    size_t peak = 0;
    // Fault knobs.
    uint64_t failAtCall = 0;     // absolute call number, 0 = off
    uint64_t failAfterCall = 0;  // calls beyond this number fail, 0 = off
    bool failAfterSet = false;
    std::unordered_set<ULONG> failTags;
    bool randomFaults = false;
    double probability = 0;
    std::mt19937 random;
    std::optional<uint8_t> fill = uint8_t{0xA5};

    PoolState() = default;
    PoolState(const PoolState&) = delete;
    PoolState& operator=(const PoolState&) = delete;
    PoolState& operator=(PoolState&&) = default;
    // At process exit whatever a test left behind on purpose is released,
    // so the host's leak checker does not report it a second time.
    ~PoolState()
    {
        for (auto& [address, block] : live) {
            ::operator delete(address, std::align_val_t{block.alignment});
        }
    }
};

std::mutex gMutex;
PoolState gPool;

bool IsValidType(POOL_TYPE type)
{
    auto value = static_cast<int>(type);
    return (value >= 0 && value <= 6) || value == NonPagedPoolNx;
}

bool IsPaged(POOL_TYPE type)
{
    return (static_cast<int>(type) & 1) != 0 && static_cast<int>(type) < 8;
}

const char* TypeText(POOL_TYPE type)
{
    return IsPaged(type) ? "paged" : "non-paged";
}

void Release(void* address, const Block& block)
{
    std::memset(address, kFreedFill, block.bytes);
    ::operator delete(address, std::align_val_t{block.alignment});
}

// Decides, under the lock, whether this call fails by one of the knobs.
bool ShouldFail(PoolState& pool, ULONG tag)
{
    if (pool.failAtCall != 0 && pool.calls == pool.failAtCall) {
        pool.failAtCall = 0;
        return true;
    }
    if (pool.failAfterSet && pool.calls > pool.failAfterCall) {
        return true;
    }
    if (pool.failTags.count(tag) != 0) {
        return true;
    }
    if (pool.randomFaults) {
        std::uniform_real_distribution<double> draw(0.0, 1.0);
        return draw(pool.random) < pool.probability;
    }
    return false;
}

void FreeBlock(PVOID P, std::optional<ULONG> expectedTag, const char* routine)
{
    if (P == nullptr) {
        RecordViolation(std::string(routine) + " of a null pointer");
        return;
    }
    std::unique_lock lock(gMutex);
    auto it = gPool.live.find(P);
    if (it == gPool.live.end()) {
        auto freed = gPool.freed.find(P);
        std::string what = std::string(routine) + " of " + detail::PointerText(P);
        if (freed != gPool.freed.end()) {
            what += " which was already freed (tag '" + pool::TagText(freed->second.tag) + "', " +
                    std::to_string(freed->second.bytes) + " bytes)";
        } else {
            what += " which is not a pool allocation";
        }
        lock.unlock();
        RecordViolation(std::move(what));
        return;
    }
    Block block = it->second;
    std::string complaint;
    if (expectedTag && *expectedTag != block.tag) {
        complaint = std::string(routine) + " of " + detail::PointerText(P) + " with tag '" +
                    pool::TagText(*expectedTag) + "' but it was allocated with tag '" + pool::TagText(block.tag) + "'";
    }
    KIRQL limit = IsPaged(block.type) ? APC_LEVEL : DISPATCH_LEVEL;
    gPool.live.erase(it);
    gPool.bytes -= block.bytes;
    gPool.freed[P] = FreedBlock{block.bytes, block.tag};
    Release(P, block);
    lock.unlock();
    if (!complaint.empty()) {
        RecordViolation(std::move(complaint));
    }
    for (auto& pending : detail::ForgetTimersAndDpcsWithin(P, block.bytes)) {
        RecordViolation(std::string(routine) + " of " + detail::PointerText(P) + " (tag '" +
                        pool::TagText(block.tag) + "') while its " + pending);
    }
    CheckIrql(limit, std::string(routine) + " of " + TypeText(block.type) + " pool");
}

}  // namespace

void detail::ResetPool()
{
    std::lock_guard lock(gMutex);
    for (auto& [address, block] : gPool.live) {
        Release(address, block);
    }
    gPool.live.clear();
    gPool = PoolState{};
}

namespace pool {

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        auto c = static_cast<unsigned char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
    }
    return text;
}

std::vector<Allocation> Outstanding()
{
    std::vector<Allocation> list;
    {
        std::lock_guard lock(gMutex);
        for (auto& [address, block] : gPool.live) {
            list.push_back(Allocation{address, block.bytes, block.tag, block.type, block.serial});
        }
    }
    std::sort(list.begin(), list.end(), [](const Allocation& a, const Allocation& b) { return a.serial < b.serial; });
    return list;
}

bool IsLive(const void* address)
{
    std::lock_guard lock(gMutex);
    return gPool.live.find(const_cast<void*>(address)) != gPool.live.end();
}

size_t OutstandingCount()
{
    std::lock_guard lock(gMutex);
    return gPool.live.size();
}

size_t OutstandingCount(ULONG tag)
{
    std::lock_guard lock(gMutex);
    size_t count = 0;
    for (auto& entry : gPool.live) {
        count += entry.second.tag == tag ? 1 : 0;
    }
    return count;
}

size_t OutstandingBytes()
{
    std::lock_guard lock(gMutex);
    return gPool.bytes;
}

std::map<std::string, size_t> OutstandingByTag()
{
    std::map<std::string, size_t> byTag;
    std::lock_guard lock(gMutex);
    for (auto& entry : gPool.live) {
        ++byTag[TagText(entry.second.tag)];
    }
    return byTag;
}

std::string LeakReport()
{
    std::string report;
    for (const auto& a : Outstanding()) {
        report += "allocation #" + std::to_string(a.serial) + ": tag '" + TagText(a.tag) + "', " +
                  TypeText(a.type) + ", " + std::to_string(a.bytes) + " bytes at " + detail::PointerText(a.address) +
                  "\n";
    }
    return report;
}

uint64_t AllocationCount()
{
    std::lock_guard lock(gMutex);
    return gPool.calls;
}

uint64_t FailedAllocationCount()
{
    std::lock_guard lock(gMutex);
    return gPool.failed;
}

size_t PeakBytes()
{
    std::lock_guard lock(gMutex);
    return gPool.peak;
}

void FailNth(uint64_t n)
{
    std::lock_guard lock(gMutex);
    gPool.failAtCall = n == 0 ? 0 : gPool.calls + n;
}

void FailAfter(uint64_t n)
{
    std::lock_guard lock(gMutex);
    gPool.failAfterSet = true;
    gPool.failAfterCall = gPool.calls + n;
}

void FailTag(ULONG tag)
{
    std::lock_guard lock(gMutex);
    gPool.failTags.insert(tag);
}

void FailRandomly(uint32_t seed, double probability)
{
    std::lock_guard lock(gMutex);
    gPool.randomFaults = probability > 0;
    gPool.probability = probability;
    gPool.random.seed(seed);
}

void ClearFaults()
{
    std::lock_guard lock(gMutex);
    gPool.failAtCall = 0;
    gPool.failAfterSet = false;
    gPool.failAfterCall = 0;
    gPool.failTags.clear();
    gPool.randomFaults = false;
}

void SetFillPattern(std::optional<uint8_t> byte)
{
    std::lock_guard lock(gMutex);
    gPool.fill = byte;
}

}  // namespace pool
}  // namespace kv::kernel

using namespace kv::kernel;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    if (!IsValidType(PoolType)) {
        RecordViolation("ExAllocatePoolWithTag with invalid pool type " + std::to_string(static_cast<int>(PoolType)));
        return nullptr;
    }
    CheckIrql(IsPaged(PoolType) ? APC_LEVEL : DISPATCH_LEVEL,
              std::string("ExAllocatePoolWithTag of ") + TypeText(PoolType) + " pool");

    std::lock_guard lock(gMutex);
    ++gPool.calls;
    if (ShouldFail(gPool, Tag) || NumberOfBytes > kLargestAllocation) {
        ++gPool.failed;
        return nullptr;
    }
    size_t alignment = (static_cast<int>(PoolType) == NonPagedPoolCacheAligned ||
                        static_cast<int>(PoolType) == PagedPoolCacheAligned ||
                        static_cast<int>(PoolType) == NonPagedPoolCacheAlignedMustS)
                           ? 64
                           : 16;
    // A zero-byte request still gets a distinct block, as the pool's does.
    size_t real = NumberOfBytes == 0 ? 1 : NumberOfBytes;
    void* address = ::operator new(real, std::align_val_t{alignment}, std::nothrow);
    if (address == nullptr) {
        ++gPool.failed;
        return nullptr;
    }
    if (gPool.fill) {
        std::memset(address, *gPool.fill, real);
    }
    gPool.freed.erase(address);
    gPool.live[address] = Block{NumberOfBytes, alignment, Tag, PoolType, ++gPool.serial};
    gPool.bytes += NumberOfBytes;
    gPool.peak = std::max(gPool.peak, gPool.bytes);
    return address;
}

VOID NTAPI ExFreePool(PVOID P)
{
    FreeBlock(P, std::nullopt, "ExFreePool");
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    FreeBlock(P, Tag, "ExFreePoolWithTag");
}

}  // extern "C"
