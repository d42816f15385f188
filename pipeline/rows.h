// Row kernel declarations, one line per kernel and level, so that each SIMD
// file can hand its tails to the C rows. The meaning of every row is told
// with RowKernels in pipeline_internal.h.
#pragma once

#include "pipeline/pipeline_internal.h"

namespace zelpipe {

#define ZELPIPE_DECLARE_ROWS(L)                                                                               \
    void DifferenceRow_##L(const UCHAR* previous, const UCHAR* second, UCHAR* difference, ULONGLONG* moved,   \
                           int pairs);                                                                        \
    void InterpolateRow_##L(const FieldLines& lines, UCHAR* dst, int pairs);                                 \
    void AdjustRow_##L(const UCHAR* src, UCHAR* dst, int pairs, bool mirror, const GammaCurve* gamma);       \
    void ToRgb24Row_##L(const UCHAR* src, UCHAR* dst, int pixels, const GammaCurve* gamma);                  \
    void ToI420Row_##L(const UCHAR* row0, const UCHAR* row1, UCHAR* y0, UCHAR* y1, UCHAR* u, UCHAR* v,      \
                       int pairs, const GammaCurve* gamma);                                                   \
    void BoxH1V2Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void BoxH2V1Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void BoxH2V2Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void BoxH4V1Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void BoxH4V2Row_##L(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);                           \
    void AccStartRow_##L(USHORT* acc, const UCHAR* src, int weight, int bytes);                              \
    void AccAddRow_##L(USHORT* acc, const UCHAR* src, int weight, int bytes);                                \
    void AccFinishRow_##L(const USHORT* acc, const UCHAR* src, int weight, UCHAR* dst, int bytes);           \
    void Blend2Row_##L(const UCHAR* a, int wa, const UCHAR* b, int wb, UCHAR* dst, int bytes);               \
    void CopyRow_##L(const UCHAR* src, UCHAR* dst, int bytes);

ZELPIPE_DECLARE_ROWS(C)
ZELPIPE_DECLARE_ROWS(SSE2)
ZELPIPE_DECLARE_ROWS(AVX2)

#undef ZELPIPE_DECLARE_ROWS

// Bytes from..to of a rebuilt line `bytes` long, as the whole row would make
// them, from the three difference rows (the SIMD rows finish the ends of a
// line, where neighbourhoods run past it, with these).
void InterpolateBytes_C(const FieldLines& lines, UCHAR* dst, int bytes, int from, int to);

}  // namespace zelpipe
