// The AVX-512 level: the AVX2 rows with the RGB24 row replaced by one built
// on 64-byte byte permutes (AVX-512 F, BW, VL and VBMI).
#pragma once

#include "pipeline/pipeline_internal.h"

namespace zelpipe {

// YUYV to B, G, R bytes, 64 pixels a step, luma through `gamma` (null:
// none); same bytes as ToRgb24Row_C and nothing written past
// dst + 3 * pixels. Only for CPUs that run the level.
void ToRgb24Row_AVX512(const UCHAR* src, UCHAR* dst, int pixels, const GammaCurve* gamma);

// The level's kernel table: a copy of kRowsAvx2 with the rows this level
// improves put in, made on first use (no static constructor, so it also
// follows whatever rows are added to the AVX2 table). The caller checks that
// the CPU runs the level.
const RowKernels* RowsAvx512();

}  // namespace zelpipe
