// Low-bandwidth mode: the first 162 x 44 field of each frame becomes a
// 160 x 120 picture without the image pipeline. Source lines 0..39 and pixels
// 0..159 are used; every source line gives three identical output rows.
#include <string.h>

#include "capture/Capture.h"

// 16.16 fixed-point colour terms, built once before the first RGB24 frame.
LONG blueFromU[256];
LONG greenFromU[256];
LONG greenFromV[256];
LONG redFromV[256];

namespace {

#define SMALL_GROUPS 40       // source lines used
#define SMALL_PAIRS 80        // pixel pairs used per line
#define SMALL_OUT_WIDTH 160
#define SMALL_OUT_HEIGHT 120
#define SMALL_YUY2_ROW 320
#define SMALL_RGB_ROW 480
#define SMALL_CHROMA_WIDTH 80
#define SMALL_U_PLANE 19200   // 160 x 120
#define SMALL_V_PLANE 24000   // + 80 x 60

// Coefficients in 16.16 fixed point (x 65,536).
#define COEF_BLUE_FROM_U 113508   // 1.732
#define COEF_GREEN_FROM_U 22020   // 0.336
#define COEF_GREEN_FROM_V 45744   // 0.698
#define COEF_RED_FROM_V 89850     // 1.371

// The pair of the source line that output pair P shows, and its luma order.
struct Pair {
    UCHAR left;
    UCHAR right;
    UCHAR u;
    UCHAR v;
};

Pair SourcePair(const UCHAR* Line, ULONG P, bool Mirror)
{
    const UCHAR* q = Line + (Mirror ? (SMALL_PAIRS - 1 - P) : P) * 4;
    Pair pair;
    pair.left = Mirror ? q[2] : q[0];
    pair.right = Mirror ? q[0] : q[2];
    pair.u = q[1];
    pair.v = q[3];
    return pair;
}

UCHAR Clamp(LONG value)
{
    // Arithmetic shift: the quotient is rounded down, also below zero.
    const LONG q = value >> 16;
    return (UCHAR)(q < 0 ? 0 : q > 255 ? 255 : q);
}

VOID StoreRgb(PUCHAR Out, UCHAR Y, UCHAR U, UCHAR V)
{
    const LONG y = (LONG)Y * 65536 + 32768;
    Out[0] = Clamp(y + blueFromU[U]);
    Out[1] = Clamp(y - greenFromV[V] - greenFromU[U]);
    Out[2] = Clamp(y + redFromV[V]);
}

}  // namespace

VOID BuildColourTables(VOID)
{
    for (LONG i = 0; i < 256; ++i) {
        blueFromU[i] = COEF_BLUE_FROM_U * (i - 128);
        greenFromU[i] = COEF_GREEN_FROM_U * (i - 128);
        greenFromV[i] = COEF_GREEN_FROM_V * (i - 128);
        redFromV[i] = COEF_RED_FROM_V * (i - 128);
    }
}

VOID SmallYuy2Converter(const DeviceContext* Context, const UCHAR* Field, PUCHAR Output)
{
    UNREFERENCED_PARAMETER(Context);
    for (ULONG r = 0; r < SMALL_GROUPS; ++r) {
        const UCHAR* line = Field + r * SMALL_FIELD_LINE_BYTES;
        for (ULONG k = 0; k < 3; ++k) {
            memcpy(Output + (3 * r + k) * SMALL_YUY2_ROW, line, SMALL_YUY2_ROW);
        }
    }
}

VOID SmallI420Converter(const DeviceContext* Context, const UCHAR* Field, PUCHAR Output)
{
    const bool mirror = Context->mirror != 0;
    const bool flip = Context->flip != 0;
    PUCHAR uPlane = Output + SMALL_U_PLANE;
    PUCHAR vPlane = Output + SMALL_V_PLANE;
    for (ULONG r = 0; r < SMALL_GROUPS; ++r) {
        const UCHAR* line = Field + (flip ? SMALL_GROUPS - 1 - r : r) * SMALL_FIELD_LINE_BYTES;
        // Chroma rows of this group: one for an even group, two for an odd
        // one, so groups 0..39 fill rows 0..59 exactly once.
        const ULONG chromaFirst = (r & 1) ? (3 * r - 1) / 2 : 3 * r / 2;
        const ULONG chromaRows = (r & 1) ? 2 : 1;
        for (ULONG p = 0; p < SMALL_PAIRS; ++p) {
            const Pair pair = SourcePair(line, p, mirror);
            for (ULONG k = 0; k < 3; ++k) {
                PUCHAR luma = Output + (3 * r + k) * SMALL_OUT_WIDTH + 2 * p;
                luma[0] = pair.left;
                luma[1] = pair.right;
            }
            for (ULONG k = 0; k < chromaRows; ++k) {
                uPlane[(chromaFirst + k) * SMALL_CHROMA_WIDTH + p] = pair.u;
                vPlane[(chromaFirst + k) * SMALL_CHROMA_WIDTH + p] = pair.v;
            }
        }
    }
}

VOID SmallRgb24Converter(const DeviceContext* Context, const UCHAR* Field, PUCHAR Output)
{
    const bool mirror = Context->mirror != 0;
    const bool flip = Context->flip != 0;
    for (ULONG r = 0; r < SMALL_GROUPS; ++r) {
        // The first row in memory is the bottom of the picture.
        const UCHAR* line = Field + (flip ? r : SMALL_GROUPS - 1 - r) * SMALL_FIELD_LINE_BYTES;
        PUCHAR row = Output + 3 * r * SMALL_RGB_ROW;
        for (ULONG p = 0; p < SMALL_PAIRS; ++p) {
            const Pair pair = SourcePair(line, p, mirror);
            StoreRgb(row + 6 * p, pair.left, pair.u, pair.v);
            StoreRgb(row + 6 * p + 3, pair.right, pair.u, pair.v);
        }
        memcpy(row + SMALL_RGB_ROW, row, SMALL_RGB_ROW);
        memcpy(row + 2 * SMALL_RGB_ROW, row, SMALL_RGB_ROW);
    }
}
