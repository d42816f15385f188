// Pool accounting, fault injection and misuse detection.
#include "tests/support/kernel_test.h"

#include <cstring>

namespace {

namespace k = kv::kernel;
namespace pool = kv::kernel::pool;

constexpr ULONG kWdm = pool::Tag("Wdm ");
constexpr ULONG kOther = pool::Tag("Othr");

class PoolTest : public KernelTest {};

TEST_F(PoolTest, CountsOutstandingAllocationsByTagAndReportsThem)
{
    void* a = ExAllocatePoolWithTag(NonPagedPool, 28, kWdm);
    void* b = ExAllocatePoolWithTag(PagedPool, 100, kWdm);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 7, kOther);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);

    EXPECT_EQ(pool::OutstandingCount(), 3u);
    EXPECT_EQ(pool::OutstandingCount(kWdm), 2u);
    EXPECT_EQ(pool::OutstandingBytes(), 135u);
    EXPECT_EQ(pool::OutstandingByTag(), (std::map<std::string, size_t>{{"Othr", 1}, {"Wdm ", 2}}));

    ExFreePoolWithTag(b, kWdm);
    auto outstanding = pool::Outstanding();
    ASSERT_EQ(outstanding.size(), 2u);
    EXPECT_EQ(outstanding[0].address, a);
    EXPECT_EQ(outstanding[0].serial, 1u);
    EXPECT_EQ(outstanding[1].bytes, 7u);
    std::string report = pool::LeakReport();
    EXPECT_NE(report.find("'Wdm ', non-paged, 28 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("'Othr'"), std::string::npos) << report;
    EXPECT_EQ(pool::PeakBytes(), 135u);

    ExFreePool(a);
    ExFreePool(c);
    EXPECT_EQ(pool::OutstandingCount(), 0u);
    EXPECT_TRUE(pool::LeakReport().empty());
}

TEST_F(PoolTest, NewMemoryIsNotZeroedUnlessThePatternIsTurnedOff)
{
    auto* bytes = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 16, kWdm));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(bytes[i], 0xA5) << i;
    }
    ExFreePool(bytes);

    pool::SetFillPattern(0x00);
    bytes = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 16, kWdm));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[15], 0);
    ExFreePool(bytes);
}

TEST_F(PoolTest, CacheAlignedAndZeroSizedAllocations)
{
    void* aligned = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 10, kWdm);
    void* empty1 = ExAllocatePoolWithTag(NonPagedPool, 0, kWdm);
    void* empty2 = ExAllocatePoolWithTag(NonPagedPool, 0, kWdm);
    ASSERT_NE(aligned, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 64, 0u);
    ASSERT_NE(empty1, nullptr);
    EXPECT_NE(empty1, empty2);
    ExFreePool(aligned);
    ExFreePool(empty1);
    ExFreePool(empty2);
}

TEST_F(PoolTest, FailNthFailsExactlyThatAllocationOnce)
{
    pool::FailNth(2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 4, kWdm);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 4, kWdm);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 4, kWdm);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(pool::AllocationCount(), 3u);
    EXPECT_EQ(pool::FailedAllocationCount(), 1u);
    ExFreePool(first);
    ExFreePool(third);
}

TEST_F(PoolTest, FailAfterTagAndClearFaults)
{
    pool::FailAfter(1);
    void* kept = ExAllocatePoolWithTag(NonPagedPool, 4, kWdm);
    EXPECT_NE(kept, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kWdm), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, kOther), nullptr);
    pool::ClearFaults();

    pool::FailTag(kOther);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kOther), nullptr);
    void* wdm = ExAllocatePoolWithTag(NonPagedPool, 4, kWdm);
    EXPECT_NE(wdm, nullptr);
    pool::ClearFaults();
    void* other = ExAllocatePoolWithTag(NonPagedPool, 4, kOther);
    EXPECT_NE(other, nullptr);

    ExFreePool(kept);
    ExFreePool(wdm);
    ExFreePool(other);
}

TEST_F(PoolTest, RandomFaultsFollowTheirSeed)
{
    auto run = [] {
        pool::FailRandomly(1234, 0.5);
        std::vector<bool> pattern;
        for (int i = 0; i < 32; ++i) {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 1, kWdm);
            pattern.push_back(p != nullptr);
            if (p != nullptr) {
                ExFreePool(p);
            }
        }
        pool::ClearFaults();
        return pattern;
    };
    auto first = run();
    auto second = run();
    EXPECT_EQ(first, second);
    EXPECT_NE(std::count(first.begin(), first.end(), true), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), false), 0);
}

TEST_F(PoolTest, AbsurdSizesAndInvalidTypesGiveNull)
{
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_MAX, kWdm), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(77), 4, kWdm), nullptr);
    ExpectViolation("invalid pool type 77");
}

TEST_F(PoolTest, DoubleFreeUnknownPointerAndWrongTagAreViolations)
{
    void* p = ExAllocatePoolWithTag(NonPagedPool, 12, kWdm);
    ASSERT_NE(p, nullptr);
    ExFreePool(p);
    ExFreePool(p);
    ExpectViolation("already freed (tag 'Wdm ', 12 bytes)");

    int local = 0;
    ExFreePool(&local);
    ExpectViolation("not a pool allocation");

    ExFreePool(nullptr);
    ExpectViolation("ExFreePool of a null pointer");

    void* q = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
    ExFreePoolWithTag(q, kOther);
    ExpectViolation("with tag 'Othr' but it was allocated with tag 'Wdm '");
    EXPECT_EQ(pool::OutstandingCount(), 0u);

    // An interior pointer is not an allocation either.
    auto* r = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 8, kWdm));
    ExFreePool(r + 4);
    ExpectViolation("not a pool allocation");
    ExFreePoolWithTag(r, kWdm);
}

TEST_F(PoolTest, PagedPoolAboveApcLevelIsAViolationNonPagedIsNot)
{
    void* nonPaged = nullptr;
    void* paged = nullptr;
    {
        k::IrqlScope dispatch;
        nonPaged = ExAllocatePoolWithTag(NonPagedPool, 4, kWdm);
        EXPECT_TRUE(k::Violations().empty());
        paged = ExAllocatePoolWithTag(PagedPool, 4, kWdm);
        ExpectViolation("ExAllocatePoolWithTag of paged pool called at IRQL 2 (allowed up to 1)");
        ExFreePool(nonPaged);
        EXPECT_TRUE(k::Violations().empty());
        ExFreePool(paged);
        ExpectViolation("ExFreePool of paged pool called at IRQL 2");
    }
}

TEST_F(PoolTest, ResetReleasesEverythingOutstanding)
{
    ExAllocatePoolWithTag(NonPagedPool, 64, kWdm);
    pool::FailTag(kOther);
    k::Reset();
    EXPECT_EQ(pool::OutstandingCount(), 0u);
    EXPECT_EQ(pool::AllocationCount(), 0u);
    void* p = ExAllocatePoolWithTag(NonPagedPool, 4, kOther);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
}

}  // namespace
