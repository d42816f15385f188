// Floating-point and SIMD state saves. A user-mode process has its registers
// saved by the operating system already, so the emulation only counts the
// calls (and can be told to refuse a save, as a kernel short of memory for
// the save area would); the pairs a driver makes are visible to tests.
#include "host/kernel_internal.h"

#include <atomic>

namespace kv::kernel {

namespace {

std::atomic<uint64_t> gSaves, gRestores, gExtendedSaves, gExtendedRestores, gExtendedMask;

}  // namespace

void detail::ResetFloatingPointState()
{
    gSaves = gRestores = gExtendedSaves = gExtendedRestores = gExtendedMask = 0;
}

FloatingPointStateCounts FloatingPointState()
{
    return {gSaves.load(), gRestores.load(), gExtendedSaves.load(), gExtendedRestores.load(), gExtendedMask.load()};
}

}  // namespace kv::kernel

using namespace kv::kernel;

extern "C" NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave)
{
    if (auto failure = ConsumeInjectedFailure("KeSaveFloatingPointState")) return *failure;
    *FloatSave = KFLOATING_SAVE{};
    ++gSaves;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave)
{
    (void)FloatSave;
    ++gRestores;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONGLONG Mask, PXSTATE_SAVE XStateSave)
{
    if (auto failure = ConsumeInjectedFailure("KeSaveExtendedProcessorState")) return *failure;
    *XStateSave = XSTATE_SAVE{};
    ++gExtendedSaves;
    gExtendedMask |= Mask;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave)
{
    (void)XStateSave;
    ++gExtendedRestores;
}
