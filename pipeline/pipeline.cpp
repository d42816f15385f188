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
    // Kernel build: the row kernels use the XMM (SSE2), YMM (AVX2) or ZMM and
    // opmask (AVX-512) registers, so this is where the caller's extended
    // processor state must be saved and restored after Convert:
    // KeSaveExtendedProcessorState with XSTATE_MASK_AVX, plus
    // XSTATE_MASK_AVX512 for the AVX-512 level (KeSaveFloatingPointState on
    // kernels without extended state).
    Convert(s, format, request, settings);
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

// Whether the operating system saves the state `mask` of XCR0 stands for on
// a context switch (CPUID.1:ECX.OSXSAVE says XGETBV may be used at all).
bool OsSavesState(unsigned mask)
{
    unsigned eax, ebx, ecx, edx;
    __asm__("cpuid" : "=a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx) : "a"(1), "c"(0));
    if (!(ecx & (1u << 27))) return false;
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & mask) == mask;
}

// XCR0: SSE, AVX (YMM upper halves), opmask, ZMM upper halves, ZMM16-31.
constexpr unsigned kZmmState = 0x02 | 0x04 | 0x20 | 0x40 | 0x80;

}  // namespace
#endif

CpuLevel BestCpuLevel()
{
#if defined(__x86_64__) || defined(__i386__)
    // The compiler's CPU model also checks that the operating system saves
    // the YMM registers before it reports AVX2, and (GCC 12) the opmask and
    // ZMM state before it reports AVX-512; XCR0 is checked here as well, so
    // the level does not rest on the runtime library's version.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") && OsSavesState(kZmmState)) {
        return kCpuAvx512;
    }
    if (__builtin_cpu_supports("avx2")) return kCpuAvx2;
    if (__builtin_cpu_supports("sse2")) return kCpuSse2;
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
