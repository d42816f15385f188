// The register state a conversion's vector rows use is saved before and
// restored after the conversion, by the level's kind of save; a conversion
// whose save the system refuses still comes out right, through the C rows.
#include "pipeline_test_support.h"

#include "tests/support/kernel_test.h"

using namespace pipeline_test;
namespace k = kv::kernel;

namespace {

class SimdState : public KernelTest {};

TEST_F(SimdState, EachLevelSavesWhatItsRowsTouchAndRestoresIt)
{
    struct Case {
        zelpipe::CpuLevel level;
        uint64_t saves, extendedSaves, extendedMask;
    };
    const Case cases[] = {
        {zelpipe::kCpuC, 0, 0, 0},
        {zelpipe::kCpuSse2, 1, 0, 0},
        {zelpipe::kCpuAvx2, 1, 1, XSTATE_MASK_AVX},
        {zelpipe::kCpuAvx512, 1, 1, XSTATE_MASK_AVX | XSTATE_MASK_AVX512},
    };
    const Fields f = RandomFields(64, 16, 7);
    for (const Case& c : cases) {
        if (!zelpipe::KernelsFor(c.level)) continue;
        k::Reset();  // counts (and the mask) from here
        PPL_HANDLE h = zelpipe::CreateHandleForLevel(c.level);
        ASSERT_NE(h, nullptr);
        Convert(Format::RGB24, h, f, 64, 16);
        const auto counts = k::FloatingPointState();
        EXPECT_EQ(counts.saves, c.saves) << c.level;
        EXPECT_EQ(counts.restores, c.saves) << c.level;
        EXPECT_EQ(counts.extendedSaves, c.extendedSaves) << c.level;
        EXPECT_EQ(counts.extendedRestores, c.extendedSaves) << c.level;
        EXPECT_EQ(counts.extendedMask, c.extendedMask) << c.level;
        ppl_free(h);
    }
}

TEST_F(SimdState, ARefusedSaveConvertsWithTheCRowsAndLeavesNothingSaved)
{
    const Fields f = RandomFields(720, 576, 11);
    PPL_HANDLE reference = zelpipe::CreateHandleForLevel(zelpipe::kCpuC);
    for (const char* routine : {"KeSaveFloatingPointState", "KeSaveExtendedProcessorState"}) {
        for (zelpipe::CpuLevel level : SimdLevels()) {
            if (level == zelpipe::kCpuSse2 && routine[6] == 'E') continue;  // no extended save there
            PPL_HANDLE h = zelpipe::CreateHandleForLevel(level);
            for (Format fmt : {Format::YUY2, Format::I420, Format::RGB24}) {
                const auto before = k::FloatingPointState();
                k::InjectFailure(routine, STATUS_INSUFFICIENT_RESOURCES);
                EXPECT_EQ(Convert(fmt, h, f, 640, 480), Convert(fmt, reference, f, 640, 480))
                    << routine << " level " << level << " " << Name(fmt);
                const auto after = k::FloatingPointState();
                EXPECT_EQ(after.saves - before.saves, after.restores - before.restores) << routine;
                EXPECT_EQ(after.extendedSaves - before.extendedSaves, after.extendedRestores - before.extendedRestores);
                // The handle keeps its own level for the next conversion.
                EXPECT_EQ(zelpipe::HandleCpuLevel(h), level);
            }
            ppl_free(h);
        }
    }
    ppl_free(reference);
}

}  // namespace
