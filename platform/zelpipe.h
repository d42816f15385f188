// The image pipeline library's calls. The library keeps per-device picture
// state behind an opaque handle and turns the interlaced YUYV fields of the
// capture path into the stream's output format.
//
// All calls use the C calling convention and C names, so that the library can
// be imported by name.
#pragma once

#include "ntdef.h"

typedef PVOID PPL_HANDLE;

// Sensor type codes the capture path passes at device start.
#define PPL_SENSOR_TYPE_22356 22356
#define PPL_SENSOR_TYPE_18512 18512

extern "C" {

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
