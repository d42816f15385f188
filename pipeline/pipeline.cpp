// The library's calls: handles, settings, and the three conversions.
#include "platform/wdm.h"
#include "platform/zelpipe.h"
#include "pipeline/pipeline_internal.h"
#include "pipeline/rows_avx512.h"

namespace zelpipe {

namespace {

PipelineState* StateOf(PPL_HANDLE handle)
{
    PipelineState* s = (PipelineState*)handle;
    if (!s || s->magic != kPipelineMagic) return nullptr;
    return s;
}

// Changes the bits of `mask` to `bits` without losing a concurrent change to
// the other bits (two property requests may race).
void UpdateSettings(PipelineState* s, LONG mask, LONG bits)
{
    LONG old = __atomic_load_n(&s->settings, __ATOMIC_RELAXED);
    LONG now;
    do {
        now = (old & ~mask) | (bits & mask);
    } while (!__atomic_compare_exchange_n(&s->settings, &old, now, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED));
}

// XSAVE components beyond the legacy x87/SSE state that each level touches:
// the YMM upper halves (AVX2), plus the opmask and ZMM state (AVX-512).
constexpr ULONGLONG kAvxStateMask = XSTATE_MASK_AVX;
constexpr ULONGLONG kAvx512StateMask = XSTATE_MASK_AVX | XSTATE_MASK_AVX512;

struct SavedSimdState {
    KFLOATING_SAVE legacy;
    XSTATE_SAVE extended;
    bool extendedSaved;
};

bool SaveSimdState(CpuLevel level, SavedSimdState* saved)
{
    saved->extendedSaved = false;
    if (!NT_SUCCESS(KeSaveFloatingPointState(&saved->legacy))) return false;
    if (level >= kCpuAvx2) {
        const ULONGLONG mask = level >= kCpuAvx512 ? kAvx512StateMask : kAvxStateMask;
        if (!NT_SUCCESS(KeSaveExtendedProcessorState(mask, &saved->extended))) {
            KeRestoreFloatingPointState(&saved->legacy);
            return false;
        }
        saved->extendedSaved = true;
    }
    return true;
}

// Restores in the reverse order of the saves.
void RestoreSimdState(SavedSimdState* saved)
{
    if (saved->extendedSaved) KeRestoreExtendedProcessorState(&saved->extended);
    KeRestoreFloatingPointState(&saved->legacy);
}

void Run(OutputFormat format, PPL_HANDLE handle, const UCHAR* previous, const UCHAR* first, const UCHAR* second,
         UCHAR* output, LONG sourceWidth, LONG sourceHeight, LONG outputWidth, LONG outputHeight)
{
    PipelineState* s = StateOf(handle);
    if (!s) return;
    const ConvertRequest request = {previous, first, second, output, sourceWidth, sourceHeight, outputWidth,
                                    outputHeight};
    if (!GeometrySupported(format, request)) return;
    // One snapshot: a setter running meanwhile affects the next conversion.
    const LONG settings = __atomic_load_n(&s->settings, __ATOMIC_ACQUIRE);
    // The SIMD rows use the caller's XMM, YMM or ZMM and opmask registers:
    // that state is saved around the conversion. When the system cannot save
    // it, this conversion takes the C rows, which touch none of it; a device
    // converts one frame at a time, so the handle's rows may be swapped here.
    SavedSimdState saved;
    if (s->level != kCpuC && !SaveSimdState((CpuLevel)s->level, &saved)) {
        const RowKernels* rows = s->rows;
        s->rows = &kRowsC;
        Convert(s, format, request, settings);
        s->rows = rows;
        return;
    }
#if !defined(_WIN32)
    // The emulation checks that the rows below find their state saved.
    if (s->level != kCpuC) {
        KvCheckFloatingPointStateSaved(s->level >= kCpuAvx512 ? kAvx512StateMask
                                       : s->level >= kCpuAvx2 ? kAvxStateMask
                                                              : 0);
    }
#endif
    Convert(s, format, request, settings);
    if (s->level != kCpuC) RestoreSimdState(&saved);
}

}  // namespace

const RowKernels* KernelsFor(CpuLevel level)
{
    switch (level) {
    case kCpuC:
        return &kRowsC;
    case kCpuSse2:
        return BestCpuLevel() >= kCpuSse2 ? &kRowsSse2 : nullptr;
    case kCpuAvx2:
        return BestCpuLevel() >= kCpuAvx2 ? &kRowsAvx2 : nullptr;
    case kCpuAvx512:
        return BestCpuLevel() >= kCpuAvx512 ? RowsAvx512() : nullptr;
    default:
        return nullptr;
    }
}

#if defined(__x86_64__) || defined(__i386__)
namespace {

struct CpuidRegisters {
    unsigned eax, ebx, ecx, edx;
};

CpuidRegisters Cpuid(unsigned leaf, unsigned subleaf)
{
    CpuidRegisters r;
    __asm__("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(subleaf));
    return r;
}

// XCR0: which register state the operating system saves on a context switch.
unsigned EnabledXState()
{
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    (void)high;
    return low;
}

// XCR0 bits: SSE, AVX (YMM upper halves), opmask, ZMM upper halves, ZMM16-31.
constexpr unsigned kYmmState = 0x02 | 0x04;
constexpr unsigned kZmmState = kYmmState | 0x20 | 0x40 | 0x80;

}  // namespace
#endif

CpuLevel BestCpuLevel()
{
#if defined(__x86_64__) || defined(__i386__)
    // From CPUID and XGETBV directly: a kernel image has no runtime library
    // to ask, and a feature counts only where the operating system saves the
    // registers it uses (CPUID.1:ECX.OSXSAVE says XGETBV may be used at all).
    const unsigned maxLeaf = Cpuid(0, 0).eax;
    const CpuidRegisters basic = Cpuid(1, 0);
    const bool sse2 = basic.edx & (1u << 26);
    const bool osxsave = basic.ecx & (1u << 27);
    const bool avx = basic.ecx & (1u << 28);
    const unsigned xstate = osxsave ? EnabledXState() : 0;
    const CpuidRegisters extended = maxLeaf >= 7 ? Cpuid(7, 0) : CpuidRegisters{0, 0, 0, 0};
    const bool avx2 = avx && (extended.ebx & (1u << 5)) && (xstate & kYmmState) == kYmmState;
    const bool avx512 = avx2 && (extended.ebx & (1u << 16)) && (extended.ebx & (1u << 30)) &&
                        (extended.ebx & (1u << 31)) && (extended.ecx & (1u << 1)) &&
                        (xstate & kZmmState) == kZmmState;  // F, BW, VL and VBMI
    if (avx512) return kCpuAvx512;
    if (avx2) return kCpuAvx2;
    if (sse2) return kCpuSse2;
#endif
    return kCpuC;
}

PPL_HANDLE CreateHandleForLevel(CpuLevel level)
{
    const RowKernels* rows = KernelsFor(level);
    if (!rows) return nullptr;
    // The buffers start on cache lines; the pointer slot in front of the
    // state keeps the block's own address for ppl_free.
    void* block = ExAllocatePoolWithTag(NonPagedPool, kPipelineBytes + 64 + sizeof(void*), kPipelinePoolTag);
    if (!block) return nullptr;
    void* memory = (void*)(((ULONG_PTR)block + sizeof(void*) + 63) & ~(ULONG_PTR)63);
    ((void**)memory)[-1] = block;
    PipelineState* s = LayOutPipeline(memory);
    s->level = level;
    s->rows = rows;
    s->settings = (0 - kGammaMin) << kSettingGammaShift;  // gamma 0
    s->sensorType = 0;
    __atomic_store_n(&s->magic, kPipelineMagic, __ATOMIC_RELEASE);
    return s;
}

int HandleCpuLevel(PPL_HANDLE handle)
{
    PipelineState* s = StateOf(handle);
    return s ? s->level : -1;
}

}  // namespace zelpipe

using namespace zelpipe;

extern "C" {

PPL_HANDLE ppl_init(void) { return CreateHandleForLevel(BestCpuLevel()); }

void ppl_free(PPL_HANDLE handle)
{
    PipelineState* s = StateOf(handle);
    if (!s) return;
    // Cleared first, so a stale copy of the handle is refused rather than
    // trusted while the pool still holds the bytes.
    s->magic = 0;
    ExFreePoolWithTag(((void**)s)[-1], kPipelinePoolTag);
}

void ppl_set_sensor_type(PPL_HANDLE handle, LONG sensorType)
{
    PipelineState* s = StateOf(handle);
    if (s) __atomic_store_n(&s->sensorType, sensorType, __ATOMIC_RELAXED);
}

void ppl_set_h_mirror(PPL_HANDLE handle, LONG enable)
{
    PipelineState* s = StateOf(handle);
    if (s) UpdateSettings(s, kSettingMirror, (enable & 0xFF) ? kSettingMirror : 0);
}

void ppl_set_v_mirror(PPL_HANDLE handle, LONG enable)
{
    PipelineState* s = StateOf(handle);
    if (s) UpdateSettings(s, kSettingFlip, (enable & 0xFF) ? kSettingFlip : 0);
}

void ppl_set_gamma(PPL_HANDLE handle, LONG gamma)
{
    PipelineState* s = StateOf(handle);
    if (!s) return;
    const LONG g = gamma < kGammaMin ? kGammaMin : gamma > kGammaMax ? kGammaMax : gamma;
    UpdateSettings(s, kSettingGammaMask, (g - kGammaMin) << kSettingGammaShift);
}

void IntlYUYVToYUYVMMX(PPL_HANDLE handle, const UCHAR* previous, const UCHAR* first, const UCHAR* second,
                       UCHAR* output, LONG sourceWidth, LONG sourceHeight, LONG outputWidth, LONG outputHeight)
{
    Run(kOutputYuy2, handle, previous, first, second, output, sourceWidth, sourceHeight, outputWidth,
        outputHeight);
}

void IntlYUYVToI420MMX(PPL_HANDLE handle, const UCHAR* previous, const UCHAR* first, const UCHAR* second,
                       UCHAR* output, LONG sourceWidth, LONG sourceHeight, LONG outputWidth, LONG outputHeight)
{
    Run(kOutputI420, handle, previous, first, second, output, sourceWidth, sourceHeight, outputWidth,
        outputHeight);
}

void IntlYUYVToRGB24MMX(PPL_HANDLE handle, const UCHAR* previous, const UCHAR* first, const UCHAR* second,
                        UCHAR* output, LONG sourceWidth, LONG sourceHeight, LONG outputWidth, LONG outputHeight)
{
    Run(kOutputRgb24, handle, previous, first, second, output, sourceWidth, sourceHeight, outputWidth,
        outputHeight);
}

}  // extern "C"
