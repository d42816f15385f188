// Floating-point and SIMD state saves. A user-mode process has its registers
// saved by the operating system already, so the emulation only counts the
// calls (and can be told to refuse a save, as a kernel short of memory for
// the save area would); the pairs a driver makes are visible to tests. Each
// thread's saves still held are tracked, so that vector code running without
// one, or a restore with nothing saved, is recorded as a violation.
#include "host/kernel_internal.h"

#include <atomic>
#include <cstdio>

namespace kv::kernel {

namespace {

std::atomic<uint64_t> gSaves, gRestores, gExtendedSaves, gExtendedRestores, gExtendedMask;

// The calling thread's saves not yet restored, and the extended components
// its held extended saves cover (the outermost save's mask is kept; nested
// saves of a narrower mask are rare enough not to matter here).
struct HeldState {
    uint32_t legacy = 0;
    uint32_t extended = 0;
    uint64_t mask = 0;
};
thread_local HeldState tHeld;

}  // namespace

void detail::ResetFloatingPointState()
{
    gSaves = gRestores = gExtendedSaves = gExtendedRestores = gExtendedMask = 0;
    tHeld = HeldState{};
}

bool FloatingPointStateHeld()
{
    return tHeld.legacy > 0;
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
    ++tHeld.legacy;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave)
{
    (void)FloatSave;
    ++gRestores;
    if (tHeld.legacy == 0) {
        RecordViolation("KeRestoreFloatingPointState with no state saved by this thread");
        return STATUS_SUCCESS;
    }
    --tHeld.legacy;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONGLONG Mask, PXSTATE_SAVE XStateSave)
{
    if (auto failure = ConsumeInjectedFailure("KeSaveExtendedProcessorState")) return *failure;
    *XStateSave = XSTATE_SAVE{};
    ++gExtendedSaves;
    gExtendedMask |= Mask;
    if (tHeld.extended++ == 0) tHeld.mask = Mask;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave)
{
    (void)XStateSave;
    ++gExtendedRestores;
    if (tHeld.extended == 0) {
        RecordViolation("KeRestoreExtendedProcessorState with no state saved by this thread");
        return;
    }
    if (--tHeld.extended == 0) tHeld.mask = 0;
}

extern "C" VOID NTAPI KvCheckFloatingPointStateSaved(ULONGLONG Mask)
{
    if (tHeld.legacy == 0) {
        RecordViolation("vector code run without a saved floating-point state");
    } else if ((Mask & ~tHeld.mask) != 0) {
        char text[160];
        std::snprintf(text, sizeof text, "vector code run without a saved extended state (mask 0x%llX, saved 0x%llX)",
                      static_cast<unsigned long long>(Mask), static_cast<unsigned long long>(tHeld.mask));
        RecordViolation(text);
    }
}
