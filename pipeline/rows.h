// Row kernel declarations, one line per kernel and level, so that each SIMD
// file can hand its tails to the C rows. The meaning of every row is told
// with RowKernels in pipeline_internal.h.
#pragma once

#include "pipeline/pipeline_internal.h"

namespace zelpipe {

#define ZELPIPE_DECLARE_ROWS(L)                                                                               \
    void MotionRow_##L(const UCHAR* previous, const UCHAR* second, UCHAR* bits, int pairs);                   \
    void DeinterlaceRow_##L(const UCHAR* marksAbove, const UCHAR* marksBelow, const UCHAR* above,            \
                            const UCHAR* below, const UCHAR* second, UCHAR* dst, UCHAR* copy,                \
                            const UCHAR* aheadPrevious, const UCHAR* aheadSecond, UCHAR* aheadBits,          \
                            int pairs);                                                                       \
    void DeinterlaceI420Row_##L(const UCHAR* marksAbove, const UCHAR* marksBelow, const UCHAR* above,        \
                                const UCHAR* below, const UCHAR* second, UCHAR* y0, UCHAR* y1, UCHAR* u,     \
                                UCHAR* v, const UCHAR* aheadPrevious, const UCHAR* aheadSecond,              \
                                UCHAR* aheadBits, int pairs);                                                 \
    void ActivityRow_##L(const UCHAR* previous, const UCHAR* second, UCHAR* activity, int pairs);             \
    void InterpolateRow_##L(const FieldLines& lines, UCHAR* dst, int pairs);                                 \
    void AdjustRow_##L(const UCHAR* src, UCHAR* dst, int pairs, bool mirror, const GammaCurve* gamma);       \
    void ToRgb24Row_##L(const UCHAR* src, UCHAR* dst, int pixels);                                           \
    void ToI420Row_##L(const UCHAR* row0, const UCHAR* row1, UCHAR* y0, UCHAR* y1, UCHAR* u, UCHAR* v,      \
                       int pairs);                                                                            \
    void BoxH1V2Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void BoxH2V1Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void BoxH2V2Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void BoxH4V1Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void BoxH4V2Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void AccStartRow_##L(USHORT* acc, const UCHAR* src, int weight, int bytes);                              \
    void AccAddRow_##L(USHORT* acc, const UCHAR* src, int weight, int bytes);                                \
    void AccFinishRow_##L(const USHORT* acc, const UCHAR* src, int weight, UCHAR* dst, int bytes);           \
    void Blend2Row_##L(const UCHAR* a, int wa, const UCHAR* b, int wb, UCHAR* dst, int bytes);               \
    void CopyRow_##L(const UCHAR* src, UCHAR* dst, int bytes);                                               \
    void FrameYuy2_##L(const FrameWalk& walk, UCHAR* out, LONG_PTR down);                                    \
    void FrameI420_##L(const FrameWalk& walk, UCHAR* luma, UCHAR* u, UCHAR* v, LONG_PTR lumaDown);

ZELPIPE_DECLARE_ROWS(C)
ZELPIPE_DECLARE_ROWS(SSE2)
ZELPIPE_DECLARE_ROWS(AVX2)

#undef ZELPIPE_DECLARE_ROWS

// The AVX2 YUY2 frame with write prefetches (PREFETCHW) and 64-byte motion
// steps, for the AVX-512 level.
void FrameYuy2_AVX2Wide(const FrameWalk& walk, UCHAR* out, LONG_PTR down);

}  // namespace zelpipe
