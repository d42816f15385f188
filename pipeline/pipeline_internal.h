// Inside the image pipeline: the row kernels every conversion is built from,
// the per-handle state, and the hooks that tests and benchmarks use to pick a
// kernel set.
//
// Rows are YUYV (bytes Y0, U, Y1, V per pixel pair) unless a kernel says
// otherwise. Every kernel exists as a plain C reference (suffix _C) that
// defines the exact result; the SSE2 and AVX2 versions must produce the same
// bytes for every input, width and alignment, and write nothing outside
// their destination.
#pragma once

#include <string.h>

#include "platform/ntdef.h"
#include "platform/zelpipe.h"

namespace zelpipe {

// ------------------------------------------------------------ limits ----

// The largest source frame the handle's buffers are sized for.
constexpr int kMaxSourceWidth = PPL_MAX_SOURCE_WIDTH;
constexpr int kMaxSourceHeight = PPL_MAX_SOURCE_HEIGHT;
constexpr int kMaxRowBytes = kMaxSourceWidth * 2;

// ------------------------------------------------------ interpolation ----
//
// A line at the second field's position is rebuilt for the first field's
// instant. Its temporal neighbours are the second field (half a frame later)
// and the previous second field (half a frame earlier): their average is the
// temporal estimate. The first field's lines above and below give a spatial
// estimate: a four-tap vertical curve (worked out in bytes: the two lines'
// average, sharpened by an eighth of its difference from the average of the
// lines two away), or for luma the average along a diagonal one pixel off
// where that matches clearly better. The spatial estimate is then held to
// the temporal estimate plus or minus an allowance: the activity, the
// largest difference between the two second fields within a few pixels and
// a line of it, widened where the temporal estimate would stand out from the
// first field's lines on both sides the way the lines two away do not (a
// comb tooth), though never by more than kCombGain times the activity. So a still picture (no activity)
// comes back exactly woven, motion is seen on every line and spread over its
// neighbourhood, and every decision is a clamp rather than a switch between
// two rules, so nothing flickers from frame to frame.
constexpr int kCombGain = 16;
// Activity spreads this many bytes either side: four pixels of luma, two
// pairs of chroma (a sample is compared with samples of its own kind).
constexpr int kActivityReach = 8;
// A direction k pairs luma pixels above[x + k] and below[x - k]; its
// mismatches are averaged over pixels x - 1, x, x + 1 with weights 1, 2, 1
// (two rounded byte averages, so costs stay bytes). A diagonal wins where
// its cost, doubled plus this, is below the vertical's and the worse of its
// two neighbours' mismatches is below the worse of the vertical's too. So a
// match of the middle pixel, or of the middle and one neighbour, does not
// win by chance: hard-edged text offers such matches everywhere, and taking
// them trades half grey for the wrong one of ink and paper. A diagonal that
// wins is then only taken where a horizontal neighbour chose the same one:
// an edge runs on, a lone match between unrelated lines does not.
constexpr int kDiagonalPenalty = 1;
// Luma looks one pixel off vertical over a window one pixel either side, so
// pixels closer than this to either end of the line use the vertical only.
constexpr int kDirectionMargin = 2;
// The direction search works on the two first-field lines' luma alone, laid
// out one byte a pixel in work rows with this much room on either side (so
// that vector steps may run past a line's ends inside them).
constexpr int kLumaRowPadding = 64;
constexpr int LumaRowBytes() { return kMaxSourceWidth + 2 * kLumaRowPadding; }
constexpr int kLumaWorkRows = 5;

// Motion is kept per second-field line as a difference row, |second -
// previous| byte by byte, with kActivityReach zero bytes on either side (so
// a largest difference near a line's end needs no special case), and as one
// bit per 32-byte chunk of it, set wherever the chunk may hold a difference.
// A chunk whose own bit and both neighbours' bits are clear on the line and
// on the lines above and below has no activity at all: its rebuilt bytes are
// the second field's as they are, copied without looking further.
constexpr int kChunkBytes = 32;
static_assert(kMaxRowBytes <= 64 * kChunkBytes, "a line's chunk bits fit one word");
static_assert(kActivityReach <= kChunkBytes, "activity reaches the next chunk at most");
constexpr int DifferenceRowBytes() { return kMaxRowBytes + 2 * kActivityReach; }

// The rows one rebuilt line reads; lines beyond the field's top or bottom
// are the nearest line inside it.
struct FieldLines {
    const UCHAR* first[4];     // first field lines n - 1, n, n + 1, n + 2
    const UCHAR* second[3];    // second field lines n - 1, n, n + 1
    const UCHAR* previous[3];  // previous second field lines n - 1, n, n + 1
    // Difference rows and chunk bits of second field lines n - 1, n, n + 1.
    // The rebuilding row makes those of line n + 1 itself, from second[2]
    // and previous[2], in the same pass that reads that line.
    const UCHAR* difference[2];
    UCHAR* nextDifference;
    ULONGLONG moved[2];
    ULONGLONG* nextMoved;
    // A work row of DifferenceRowBytes() bytes, laid out like a difference
    // row, whose kActivityReach bytes in front stay zero.
    UCHAR* motion;
    // Work rows of LumaRowBytes() bytes, each kLumaRowPadding bytes into its
    // buffer, one byte a pixel: the luma of first field lines n and n + 1;
    // the direction search's result, the winning diagonal's average and
    // which direction won (0 for the vertical, else a code of its own per
    // diagonal); and 0xFF where that diagonal is taken, a neighbour having
    // chosen it too (0 where the vertical curve stays).
    UCHAR* lumaAbove;
    UCHAR* lumaBelow;
    UCHAR* diagonal;
    UCHAR* direction;
    UCHAR* diagonalWon;
};

// ------------------------------------------------------------- colour ----
//
// BT.601 limited range (Y 16..235, U/V 16..240) to full-range R'G'B':
//   R = 255/219 (Y - 16)                          + 255/224 * 1.402          (V - 128)
//   G = 255/219 (Y - 16) - 255/224 * 1.772 * 0.114/0.587 (U - 128)
//                        - 255/224 * 1.402 * 0.299/0.587 (V - 128)
//   B = 255/219 (Y - 16) + 255/224 * 1.772          (U - 128)
// evaluated in 16-bit lanes with six fractional bits ("x64"): every term is
// the high half of a 16 x 16-bit product, so the SIMD rows compute exactly
// what the C row computes.
//   luma:  y64 = (Y * 256 * kCoefY) >> 16,   kCoefY = round(255/219 * 64 * 256)
//   red:   (v * 256 * kCoefVR) >> 16,         kCoefVR = round(1.596027 * 64 * 256)
//   green: (u * 256 * kCoefUG) >> 16 + (v * 256 * kCoefVG) >> 16
//          kCoefUG = round(0.391762 * 64 * 256), kCoefVG = round(0.812968 * 64 * 256)
//   blue:  2 * ((u * 256 * kCoefUBHalf) >> 16), kCoefUBHalf = round(2.017232 * 64 * 128)
//          (the full blue coefficient does not fit a signed 16-bit factor)
// with u = U - 128, v = V - 128. kColourBias folds in -16 * 255/219 * 64
// (= -1192.3) and +32 to round the final >> 6.
constexpr int kCoefY = 19077;
constexpr int kCoefVR = 26149;
constexpr int kCoefUG = 6419;
constexpr int kCoefVG = 13320;
constexpr int kCoefUBHalf = 16525;
constexpr int kColourBias = -1192 + 32;

// -------------------------------------------------------------- gamma ----
//
// A gamma curve maps luma through 16 straight segments, one per high nibble:
//   Y' = base[Y >> 4] + ((slope[Y >> 4] * (Y & 15) + 8) >> 4)
// The same 256-entry mapping is a table for the C rows and two 16-byte
// nibble look-ups for the SIMD rows. kGammaCurves[g + 32] holds the curve
// for the setting g (-32..32); see gamma_curves.cpp for how it is derived.
struct GammaCurve {
    UCHAR base[16];
    UCHAR slope[16];
};
constexpr int kGammaMin = -32;
constexpr int kGammaMax = 32;
extern const GammaCurve kGammaCurves[kGammaMax - kGammaMin + 1];

inline UCHAR GammaMap(const GammaCurve& c, int y)
{
    return (UCHAR)(c.base[y >> 4] + ((c.slope[y >> 4] * (y & 15) + 8) >> 4));
}

// ------------------------------------------------------ general scaler ----
//
// Area (box) resampling with integer weights: an output sample covers an
// interval of the source, and each source sample it touches weighs in by the
// part of that interval it covers. Weights of one output sum exactly to the
// scale's one (cumulative rounding).
struct Taps {
    USHORT first;   // first source sample
    USHORT count;   // source samples used (nonzero weights only)
    USHORT offset;  // index of the first weight in the weight array
};

// Horizontal weights are in 1/16384 (the general horizontal row is C only).
constexpr int kHorizontalOne = 1 << 14;
// Vertical weights are in 1/128, so that a weighted byte fits a 16-bit lane.
constexpr int kVerticalOne = 1 << 7;

// Horizontal tables for one (source width, output width) pair: luma, and the
// chroma of each output pixel pair.
struct HorizontalScale {
    int sourceWidth, outputWidth;
    Taps* luma;          // outputWidth entries
    USHORT* lumaWeight;  // at most sourceWidth + outputWidth
    Taps* chroma;        // (outputWidth + 1) / 2 entries
    USHORT* chromaWeight;
};

// Builds taps for `outputs` samples where output o covers the source
// interval [begin(o), end(o)) in units where one source sample is `unit`
// long. Returns the number of weights written (never more than
// sourceCount + outputs).
int BuildAreaTaps(int sourceCount, int unit, int outputs, int (*begin)(int o, const int* k),
                  int (*end)(int o, const int* k), const int* k, int one, Taps* taps, USHORT* weights);

// --------------------------------------------------------- row kernels ----

struct RowKernels {
    const char* name;

    // The difference row and chunk bits of one second-field line (see the
    // interpolation block), the zero bytes after the row included.
    void (*difference)(const UCHAR* previous, const UCHAR* second, UCHAR* difference, ULONGLONG* moved, int pairs);

    // Rebuilds the frame line between first field lines n and n + 1 for the
    // first field's instant (the interpolation block above), `pairs` pairs,
    // making line n + 1's difference row and chunk bits on the way.
    void (*interpolate)(const FieldLines& lines, UCHAR* dst, int pairs);

    // Copies a row, mirrored left to right and/or with luma through a gamma
    // curve (null: unchanged). dst must not overlap src.
    void (*adjust)(const UCHAR* src, UCHAR* dst, int pairs, bool mirror, const GammaCurve* gamma);

    // YUYV to B, G, R bytes (the colour block above), `pixels` of them; an
    // odd count converts the first pixel of the last pair only. Luma goes
    // through the gamma curve first (null: unchanged), so a conversion with
    // gamma and no mirror needs no adjusted copy of the row.
    void (*toRgb24)(const UCHAR* src, UCHAR* dst, int pixels, const GammaCurve* gamma);

    // Two YUYV rows to two luma rows and one row each of U and V, chroma the
    // rounded average of the two rows; luma through a gamma curve on the way
    // (null: unchanged), which spares a separate pass over the rows.
    void (*toI420)(const UCHAR* row0, const UCHAR* row1, UCHAR* y0, UCHAR* y1, UCHAR* u, UCHAR* v, int pairs,
                   const GammaCurve* gamma);

    // Box filters, `outPairs` output pairs from rows a (and b for two rows):
    // boxH<k>V<n> averages k pixels across and n rows down, rounding to
    // nearest. Chroma averages the U and V of the k source pairs behind an
    // output pair (a pair's chroma covers both of its pixels).
    void (*boxH1V2)(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);
    void (*boxH2V1)(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);
    void (*boxH2V2)(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);
    void (*boxH4V1)(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);
    void (*boxH4V2)(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs);

    // Weighted vertical sums in 16-bit accumulators, weights in 1/128:
    //   accStart: acc = w * src;   accAdd: acc += w * src;
    //   accFinish: dst = (acc + w * src + 64) >> 7
    //   blend2: dst = (wa * a + wb * b + 64) >> 7
    // Every sum stays below 32768 because the weights of one output add up
    // to 128 at most.
    void (*accStart)(USHORT* acc, const UCHAR* src, int weight, int bytes);
    void (*accAdd)(USHORT* acc, const UCHAR* src, int weight, int bytes);
    void (*accFinish)(const USHORT* acc, const UCHAR* src, int weight, UCHAR* dst, int bytes);
    void (*blend2)(const UCHAR* a, int wa, const UCHAR* b, int wb, UCHAR* dst, int bytes);

    // Plain copy of whole rows into the output.
    void (*copy)(const UCHAR* src, UCHAR* dst, int bytes);
};

// General horizontal resampling of one YUYV row (C only: no table pair the
// capture path produces needs it).
void HorizontalScaleRow_C(const UCHAR* src, UCHAR* dst, const HorizontalScale& scale);

// ------------------------------------------------------------- handle ----

// Settings word, read and written whole (atomically): a conversion takes one
// snapshot of it when it starts.
constexpr LONG kSettingMirror = 0x1;
constexpr LONG kSettingFlip = 0x2;
constexpr int kSettingGammaShift = 8;  // gamma + 32 in bits 8..15
constexpr LONG kSettingGammaMask = 0xFF << kSettingGammaShift;

constexpr ULONG kPipelineMagic = 0x506C655A;  // "ZelP" in a memory dump
constexpr ULONG kPipelinePoolTag = 0x506C655A;

struct PipelineState {
    ULONG magic;
    int level;
    const RowKernels* rows;
    LONG settings;    // kSetting* bits; only through __atomic builtins
    LONG sensorType;  // remembered, no effect on the picture

    // General-path tables, rebuilt when the geometry changes.
    int hSource, hOutput;
    HorizontalScale hscale;
    int vSource, vOutput;
    Taps* vTaps;
    USHORT* vWeights;

    // Difference rows and chunk bits of second-field lines, by line number
    // modulo 3, so the three a rebuilt line reads are at hand and each is
    // made once a frame; and the rebuilding rows' work row.
    UCHAR* differenceRows[3];
    ULONGLONG moved[3];
    int differenceIndex[3];  // which line each holds (-1: none)
    UCHAR* motion;
    UCHAR* lumaRows[kLumaWorkRows];  // FieldLines' lumaAbove .. diagonalWon

    // Row buffers, each large enough for the widest row.
    UCHAR* deinterlaced;  // the current odd frame line of the general path
    UCHAR* produced[2];   // rows made for output rows of each parity
    UCHAR* adjusted[2];   // the same after mirror and gamma
    UCHAR* scaled[2];     // horizontally scaled source rows, by source parity
    int scaledIndex[2];   // which source row each holds (-1: none)
    int deinterlacedIndex;
    UCHAR* rgb;           // one RGB24 row of an odd width
    USHORT* acc;          // vertical accumulators
};

enum OutputFormat { kOutputYuy2, kOutputI420, kOutputRgb24 };

struct ConvertRequest {
    const UCHAR* previous;
    const UCHAR* first;
    const UCHAR* second;
    UCHAR* output;
    LONG sourceWidth, sourceHeight, outputWidth, outputHeight;
};

// Whether a conversion would accept this geometry and these pointers.
bool GeometrySupported(OutputFormat format, const ConvertRequest& request);
// Converts with the given settings word; the request must be supported.
void Convert(PipelineState* state, OutputFormat format, const ConvertRequest& request, LONG settings);

// Lays out a handle's buffers in `memory` (kPipelineBytes long, 64-byte
// aligned), returning the state at its start.
extern const SIZE_T kPipelineBytes;
PipelineState* LayOutPipeline(void* memory);

enum CpuLevel { kCpuC = 0, kCpuSse2 = 1, kCpuAvx2 = 2, kCpuAvx512 = 3, kCpuLevels = 4 };

extern const RowKernels kRowsC;
extern const RowKernels kRowsSse2;
extern const RowKernels kRowsAvx2;
// kCpuAvx512 (AVX-512 F, BW, VL and VBMI) has no constant table: see
// RowsAvx512 in rows_avx512.h.

// The kernels for a level, or null where this CPU cannot run them.
const RowKernels* KernelsFor(CpuLevel level);
// The fastest level this CPU (and its operating system) supports.
CpuLevel BestCpuLevel();

// A handle that converts with the given level's kernels; null when the CPU
// cannot run them or the pool is exhausted. ppl_init uses BestCpuLevel().
PPL_HANDLE CreateHandleForLevel(CpuLevel level);
// The level a handle converts with (-1 for a null or foreign handle).
int HandleCpuLevel(PPL_HANDLE handle);

}  // namespace zelpipe
