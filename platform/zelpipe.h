// The image pipeline library's calls. The library keeps per-device picture
// state behind an opaque handle and turns the interlaced YUYV fields of the
// capture path into the stream's output format.
//
// All calls use the C calling convention and C names, so that the library can
// be imported by name.
//
// Fields
// ------
// A raw frame is two fields of YUYV lines (bytes Y0, U, Y1, V per pixel pair,
// lines back to back, sourceWidth * 2 bytes each). Field 1, passed as `first`,
// is the top field and the earlier one in time: its line n is frame line 2n.
// `second` is the bottom field (frame line 2n + 1), half a frame later.
// `previous` is the previous frame's second field, one frame before `second`.
//
// What a conversion does
// ----------------------
// Output heights above half the source height are made from the whole frame:
// the first field's lines are kept as they are, and each line of the second
// field's position is rebuilt for the first field's instant. Where the second
// field agrees with `previous` on and around a pixel (a still picture) the
// second field is woven in exactly; elsewhere the first field's lines above
// and below give an estimate (along an edge's direction where one is clear),
// held within reach of the average of `second` and `previous` by as much as
// the two fields differ around it, and freed from that where weaving would
// stand out from both neighbouring lines (a comb tooth). Output heights of
// half the source height or less are made from the first field alone, so
// nothing moving is ever mixed from two instants.
//
// Scaling is area averaging (a box filter) in both directions. Source to
// output ratios of 1, 2 and 4 (across) with the field's own line count or half
// of it (down) take exact fast paths; any other ratio takes the general path,
// which gives the same result a box filter of that ratio would.
//
// Output formats:
//   YUY2  output height rows of outputWidth * 2 bytes, top row first;
//   I420  the Y plane (outputWidth x outputHeight), then U, then V (each
//         outputWidth/2 x outputHeight/2); a chroma sample is the average of
//         the two output rows it covers, which are lines of one field in the
//         field-based sizes and de-interlaced lines in the full-height sizes,
//         so colour never smears across two instants;
//   RGB24 bytes B, G, R per pixel, outputWidth * 3 bytes per row with no
//         padding, bottom row first (a bottom-up bitmap, as a positive-height
//         DIB), full range from BT.601 limited range, rounded to nearest.
// YUY2 and I420 keep the decoder's levels.
//
// Geometry a conversion refuses
// -----------------------------
// A conversion writes nothing at all (the output keeps its bytes) when any
// pointer is null, when the source is not an even width and even height of
// 2..PPL_MAX_SOURCE_WIDTH by 2..PPL_MAX_SOURCE_HEIGHT, when the output is
// larger than the source in either direction or smaller than 1 x 1, when a
// YUY2 width or an I420 width or height is odd, or when the handle is null or
// not one that ppl_init returned. Buffers must not overlap, and must hold
// sourceWidth * sourceHeight bytes per field and the output size above.
//
// Settings
// --------
// ppl_set_h_mirror / ppl_set_v_mirror: the low byte of `enable` counts, any
// nonzero byte turns mirroring (left-right) or flipping (upside down) on.
// ppl_set_gamma: -32..32 (values outside are limited to it); 0 leaves luma
// unchanged, positive values brighten the mid-tones and negative ones darken
// them, along Y' = 16 + 219 ((Y - 16) / 219) ^ (2 ^ (-gamma / 32)) with black
// held; chroma is never touched. ppl_set_sensor_type: the code is remembered;
// it has no effect on the picture (every decoder delivers BT.601 YUYV).
// Settings may change from another thread while a conversion runs; a
// conversion uses the settings as they were when it started, never a mix.
// A new handle starts with no mirror, no flip, gamma 0 and sensor type 0.
//
// A null handle: ppl_free and the settings calls do nothing, conversions leave
// the output untouched.
#pragma once

#include "ntdef.h"

typedef PVOID PPL_HANDLE;

// Sensor type codes the capture path passes at device start.
#define PPL_SENSOR_TYPE_22356 22356
#define PPL_SENSOR_TYPE_18512 18512

// The largest source frame a handle converts (its buffers are sized for it).
#define PPL_MAX_SOURCE_WIDTH 720
#define PPL_MAX_SOURCE_HEIGHT 576

// Gamma settings passed to ppl_set_gamma.
#define PPL_GAMMA_MIN (-32)
#define PPL_GAMMA_MAX 32

extern "C" {

// Null when the non-paged pool cannot supply the handle's memory.
PPL_HANDLE ppl_init(void);
void ppl_free(PPL_HANDLE handle);
void ppl_set_sensor_type(PPL_HANDLE handle, LONG sensorType);
void ppl_set_h_mirror(PPL_HANDLE handle, LONG enable);
void ppl_set_v_mirror(PPL_HANDLE handle, LONG enable);
void ppl_set_gamma(PPL_HANDLE handle, LONG gamma);

// previous: second field of the previous frame; first, second: the fields of
// the current frame. sourceWidth x sourceHeight is the interlaced frame that the
// two fields make together; each field holds sourceHeight / 2 lines of
// sourceWidth YUYV pixels.
void IntlYUYVToYUYVMMX(PPL_HANDLE handle, const UCHAR* previous, const UCHAR* first,
                       const UCHAR* second, UCHAR* output, LONG sourceWidth, LONG sourceHeight,
                       LONG outputWidth, LONG outputHeight);
void IntlYUYVToI420MMX(PPL_HANDLE handle, const UCHAR* previous, const UCHAR* first,
                       const UCHAR* second, UCHAR* output, LONG sourceWidth, LONG sourceHeight,
                       LONG outputWidth, LONG outputHeight);
void IntlYUYVToRGB24MMX(PPL_HANDLE handle, const UCHAR* previous, const UCHAR* first,
                        const UCHAR* second, UCHAR* output, LONG sourceWidth, LONG sourceHeight,
                        LONG outputWidth, LONG outputHeight);

}  // extern "C"
