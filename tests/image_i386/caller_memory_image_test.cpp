// The minidriver image's caller-memory accessors: a copy from a range the
// probe refuses and a copy that faults part-way both come back as
// STATUS_ACCESS_VIOLATION through the image's exception frame, and the
// thread's exception chain is left as it was.
#include "loaded_images.h"

#include "host/usermem.h"
#include "image/runtime/exceptions.h"
#include "tests/support/kernel_test.h"

#include <sys/mman.h>

#include <cstring>

namespace {

using CopyFrom = NTSTATUS(NTAPI*)(PVOID, ULONG_PTR, SIZE_T);
using CopyTo = NTSTATUS(NTAPI*)(ULONG_PTR, const VOID*, SIZE_T);

class LoadedCallerMemory : public KernelTest {
protected:
    void TearDown() override
    {
        kv::usermem::Reset();
        KernelTest::TearDown();
    }
};

TEST_F(LoadedCallerMemory, CopiesGoodRangesAndSurvivesRefusedAndFaultingOnes)
{
    const auto& driver = *LoadedImages().driver;
    const auto copyFrom = ImageRoutine<CopyFrom>(driver, "_KvCopyFromCaller@12");
    const auto copyTo = ImageRoutine<CopyTo>(driver, "_KvCopyToCaller@12");

    // Two pages: the first readable caller memory, the second mapped as
    // caller memory too but without access, so the probe passes and the
    // copy itself faults when it crosses into it.
    auto* pages = static_cast<uint8_t*>(mmap(nullptr, 0x2000, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    for (int i = 0; i < 0x1000; ++i) pages[i] = (uint8_t)i;
    const ULONG caller = kv::usermem::Map(pages, 0x2000);
    ASSERT_EQ(mprotect(pages + 0x1000, 0x1000, PROT_NONE), 0);
    uint8_t constant[0x100] = {};
    const ULONG readOnly = kv::usermem::Map(constant, sizeof constant, false);

    struct Case {
        const char* name;
        ULONG_PTR address;
        SIZE_T length;
        NTSTATUS status;
        uint64_t dispatched;  // exceptions the image's frame handled
    };
    const Case reads[] = {
        {"inside the region", caller + 0x10, 0x100, STATUS_SUCCESS, 0},
        {"refused by the probe", caller + 0x3000, 0x10, STATUS_ACCESS_VIOLATION, 1},
        {"faulting part-way", caller + 0xF80, 0x100, STATUS_ACCESS_VIOLATION, 1},
        {"nothing to copy", 0, 0, STATUS_SUCCESS, 0},
    };
    for (const Case& c : reads) {
        uint8_t buffer[0x100];
        std::memset(buffer, 0xEE, sizeof buffer);
        const uint64_t before = kv::image::DispatchedExceptions();
        EXPECT_EQ(copyFrom(buffer, c.address, c.length), c.status) << c.name;
        EXPECT_EQ(kv::image::DispatchedExceptions() - before, c.dispatched) << c.name;
        EXPECT_EQ(kv::image::ExceptionChainHead(), 0xFFFFFFFFu) << c.name;
        if (c.status == STATUS_SUCCESS && c.length) {
            EXPECT_EQ(std::memcmp(buffer, pages + 0x10, c.length), 0) << c.name;
        }
    }
    const uint8_t data[16] = {1, 2, 3};
    EXPECT_EQ(copyTo(caller + 0x20, data, sizeof data), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(pages + 0x20, data, sizeof data), 0);
    EXPECT_EQ(copyTo(readOnly, data, sizeof data), STATUS_ACCESS_VIOLATION) << "a read-only region";
    EXPECT_EQ(copyTo(caller + 0xFF8, data, sizeof data), STATUS_ACCESS_VIOLATION) << "faulting write";
    EXPECT_EQ(kv::image::ExceptionChainHead(), 0xFFFFFFFFu);
    munmap(pages, 0x2000);
}

}  // namespace
