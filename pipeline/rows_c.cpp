// Reference row kernels: plain C that defines, byte for byte, what every SIMD
// row must produce. Written for clarity, not speed; they also finish the
// tails that the SIMD rows leave.
#include <string.h>

#include "pipeline/pipeline_internal.h"
#include "pipeline/rows.h"

namespace zelpipe {

namespace {

inline int Avg2(int a, int b) { return (a + b + 1) >> 1; }
inline UCHAR ClampByte(int v) { return (UCHAR)(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace

namespace {

inline int Abs(int v) { return v < 0 ? -v : v; }
inline int Min(int a, int b) { return a < b ? a : b; }
inline int Max(int a, int b) { return a > b ? a : b; }

// The four-tap vertical curve through the first field's lines a, b, c, d at
// the missing line halfway between b and c: the average of b and c moved
// away from that of a and d by an eighth of their difference, kept within b
// and c so that it sharpens without ringing past either.
inline int Cubic(int a, int b, int c, int d)
{
    const int near = Avg2(b, c), far = Avg2(a, d);
    const int v = near + (Max(near - far, 0) >> 3) - (Max(far - near, 0) >> 3);
    return Min(Max(v, Min(b, c)), Max(b, c));
}

// How badly frame lines `above` (offset k pixels) and `below` (offset -k)
// disagree along direction k around luma byte i, in byte averages: the
// worse of the pixel's two neighbours, and the three pixels weighted 1, 2, 1.
struct Mismatch {
    int sides, all;
};

inline Mismatch DirectionCost(const UCHAR* above, const UCHAR* below, int i, int k)
{
    auto at = [&](int j) { return Abs(above[i + 2 * (k + j)] - below[i + 2 * (j - k)]); };
    return {Max(at(-1), at(1)), Avg2(Avg2(at(-1), at(1)), at(0))};
}

// The direction the search picks for luma byte i of a line `bytes` long:
// -1 or 1 for the diagonal one pixel off that way, 0 for the vertical. A
// diagonal must match at least twice as well over the whole window and
// better over the worse neighbour alone; the left one is tried first and
// the right one must then beat it. Pixels near either end keep the vertical.
int Direction(const FieldLines& l, int i, int bytes)
{
    const int margin = 2 * kDirectionMargin;
    if (i < margin || i >= bytes - margin) return 0;
    Mismatch best = DirectionCost(l.first[1], l.first[2], i, 0);
    int direction = 0;
    for (int k = -1; k <= 1; k += 2) {
        const Mismatch m = DirectionCost(l.first[1], l.first[2], i, k);
        const Mismatch cost = {m.sides, 2 * m.all + kDiagonalPenalty};
        if (cost.sides >= best.sides || cost.all >= best.all) continue;
        best = cost;
        direction = k;
    }
    return direction;
}

// The spatial estimate of luma byte i: the average along the diagonal the
// search picks, where the pixel to the left or right picked it as well;
// otherwise the vertical curve.
int SpatialLuma(const FieldLines& l, int i, int bytes)
{
    const UCHAR* c = l.first[1];
    const UCHAR* e = l.first[2];
    const int k = Direction(l, i, bytes);
    if (k != 0 && (Direction(l, i - 2, bytes) == k || Direction(l, i + 2, bytes) == k)) {
        return Avg2(c[i + 2 * k], e[i - 2 * k]);
    }
    return Cubic(l.first[0][i], c[i], e[i], l.first[3][i]);
}

}  // namespace

void DifferenceRow_C(const UCHAR* previous, const UCHAR* second, UCHAR* difference, ULONGLONG* moved, int pairs)
{
    const int bytes = 4 * pairs;
    ULONGLONG bits = 0;
    for (int i = 0; i < bytes; ++i) {
        difference[i] = (UCHAR)Abs(second[i] - previous[i]);
        if (difference[i]) bits |= 1ull << (i / kChunkBytes);
    }
    memset(difference + bytes, 0, kActivityReach);
    *moved = bits;
}

void InterpolateBytes_C(const FieldLines& l, UCHAR* dst, int bytes, int from, int to)
{
    const UCHAR* difference[3] = {l.difference[0], l.difference[1], l.nextDifference};
    for (int i = from; i < to; ++i) {
        const int c = l.first[1][i], e = l.first[2][i];
        const int d = Avg2(l.second[1][i], l.previous[1][i]);
        const int above = Avg2(l.second[0][i], l.previous[0][i]);
        const int below = Avg2(l.second[2][i], l.previous[2][i]);
        // The largest difference among samples of this kind within reach on
        // the three lines (the zero bytes past the ends count for nothing).
        const int step = (i & 1) ? 4 : 2;
        int activity = 0;
        for (int j = i - kActivityReach; j <= i + kActivityReach; j += step) {
            for (const UCHAR* row : difference) activity = Max(activity, row[j]);
        }
        // A comb tooth: d beyond both c and e while the lines two away are
        // not on the same side of them.
        const int high = Max(Max(d - e, d - c), Min(above - c, below - e));
        const int low = Min(Min(d - e, d - c), Max(above - c, below - e));
        const int comb = Max(low, -high);
        const int allowance = Max(activity, Min(comb, kCombGain * activity));
        if (allowance == 0) {
            dst[i] = (UCHAR)d;  // still: the temporal estimate as it is
            continue;
        }
        const int spatial = (i & 1) == 0 ? SpatialLuma(l, i, bytes) : Cubic(l.first[0][i], c, e, l.first[3][i]);
        dst[i] = (UCHAR)Min(Max(spatial, d - allowance), d + allowance);
    }
}

void InterpolateRow_C(const FieldLines& l, UCHAR* dst, int pairs)
{
    DifferenceRow_C(l.previous[2], l.second[2], l.nextDifference, l.nextMoved, pairs);
    InterpolateBytes_C(l, dst, 4 * pairs, 0, 4 * pairs);
}

void AdjustRow_C(const UCHAR* src, UCHAR* dst, int pairs, bool mirror, const GammaCurve* gamma)
{
    for (int p = 0; p < pairs; ++p) {
        const UCHAR* s = src + 4 * (mirror ? pairs - 1 - p : p);
        UCHAR* d = dst + 4 * p;
        int y0 = mirror ? s[2] : s[0];
        int y1 = mirror ? s[0] : s[2];
        if (gamma) {
            y0 = GammaMap(*gamma, y0);
            y1 = GammaMap(*gamma, y1);
        }
        d[0] = (UCHAR)y0;
        d[1] = s[1];
        d[2] = (UCHAR)y1;
        d[3] = s[3];
    }
}

// The colour block of pipeline_internal.h, one pixel pair at a time.
void ToRgb24Row_C(const UCHAR* src, UCHAR* dst, int pixels, const GammaCurve* gamma)
{
    for (int x = 0; x < pixels; x += 2) {
        const UCHAR* q = src + x * 2;
        const int u = q[1] - 128;
        const int v = q[3] - 128;
        const int blueHalf = (u * 256 * kCoefUBHalf) >> 16;
        const int red = (v * 256 * kCoefVR) >> 16;
        const int green = ((u * 256 * kCoefUG) >> 16) + ((v * 256 * kCoefVG) >> 16);
        const int count = pixels - x < 2 ? 1 : 2;
        for (int i = 0; i < count; ++i) {
            const int y = gamma ? GammaMap(*gamma, q[2 * i]) : q[2 * i];
            const int t = ((y * 256 * kCoefY) >> 16) + kColourBias;
            UCHAR* d = dst + (x + i) * 3;
            d[0] = ClampByte((t + 2 * blueHalf) >> 6);
            d[1] = ClampByte((t - green) >> 6);
            d[2] = ClampByte((t + red) >> 6);
        }
    }
}

void ToI420Row_C(const UCHAR* row0, const UCHAR* row1, UCHAR* y0, UCHAR* y1, UCHAR* u, UCHAR* v, int pairs,
                 const GammaCurve* gamma)
{
    for (int p = 0; p < pairs; ++p) {
        const UCHAR* a = row0 + 4 * p;
        const UCHAR* b = row1 + 4 * p;
        y0[2 * p] = gamma ? GammaMap(*gamma, a[0]) : a[0];
        y0[2 * p + 1] = gamma ? GammaMap(*gamma, a[2]) : a[2];
        y1[2 * p] = gamma ? GammaMap(*gamma, b[0]) : b[0];
        y1[2 * p + 1] = gamma ? GammaMap(*gamma, b[2]) : b[2];
        u[p] = (UCHAR)Avg2(a[1], b[1]);
        v[p] = (UCHAR)Avg2(a[3], b[3]);
    }
}

// Box of k pixels across (k = 1, 2, 4) and n rows down (n = 1, 2): each output
// luma sample sums k x n samples, each output chroma sample the k/2 pairs'
// (or, for k = 1, its own pair's) chroma of n rows; rounded to nearest.
namespace {

template <int K, int N>
void BoxRow(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs)
{
    const UCHAR* rows[2] = {a, b};
    const int count = K * N;  // samples behind every output byte
    for (int p = 0; p < outPairs; ++p) {
        int sum[4] = {0, 0, 0, 0};
        for (int r = 0; r < N; ++r) {
            // Output pair p covers source pairs pK .. pK + K - 1; its first
            // pixel the first K of their pixels, its second pixel the rest.
            const UCHAR* s = rows[r] + 4 * K * p;
            for (int i = 0; i < K; ++i) {
                sum[0] += s[2 * i];
                sum[2] += s[2 * (K + i)];
                sum[1] += s[4 * i + 1];
                sum[3] += s[4 * i + 3];
            }
        }
        for (int i = 0; i < 4; ++i) dst[4 * p + i] = (UCHAR)((sum[i] + count / 2) / count);
    }
}

}  // namespace

void BoxH1V2Row_C(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxRow<1, 2>(a, b, dst, outPairs); }
void BoxH2V1Row_C(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxRow<2, 1>(a, b, dst, outPairs); }
void BoxH2V2Row_C(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxRow<2, 2>(a, b, dst, outPairs); }
void BoxH4V1Row_C(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxRow<4, 1>(a, b, dst, outPairs); }
void BoxH4V2Row_C(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxRow<4, 2>(a, b, dst, outPairs); }

void AccStartRow_C(USHORT* acc, const UCHAR* src, int weight, int bytes)
{
    for (int i = 0; i < bytes; ++i) acc[i] = (USHORT)(weight * src[i]);
}

void AccAddRow_C(USHORT* acc, const UCHAR* src, int weight, int bytes)
{
    for (int i = 0; i < bytes; ++i) acc[i] = (USHORT)(acc[i] + weight * src[i]);
}

void AccFinishRow_C(const USHORT* acc, const UCHAR* src, int weight, UCHAR* dst, int bytes)
{
    for (int i = 0; i < bytes; ++i) dst[i] = (UCHAR)((acc[i] + weight * src[i] + 64) >> 7);
}

void Blend2Row_C(const UCHAR* a, int wa, const UCHAR* b, int wb, UCHAR* dst, int bytes)
{
    for (int i = 0; i < bytes; ++i) dst[i] = (UCHAR)((wa * a[i] + wb * b[i] + 64) >> 7);
}

void CopyRow_C(const UCHAR* src, UCHAR* dst, int bytes) { memcpy(dst, src, (size_t)bytes); }

void HorizontalScaleRow_C(const UCHAR* src, UCHAR* dst, const HorizontalScale& scale)
{
    const int width = scale.outputWidth;
    const int half = kHorizontalOne / 2;
    for (int x = 0; x < width; ++x) {
        const Taps& t = scale.luma[x];
        int sum = half;
        for (int i = 0; i < t.count; ++i) sum += scale.lumaWeight[t.offset + i] * src[2 * (t.first + i)];
        dst[2 * x] = (UCHAR)(sum >> 14);
    }
    // An odd width leaves its last pair one pixel short: repeat that pixel.
    if (width & 1) dst[2 * width] = dst[2 * width - 2];
    const int pairs = (width + 1) / 2;
    for (int c = 0; c < pairs; ++c) {
        const Taps& t = scale.chroma[c];
        int sumU = half, sumV = half;
        for (int i = 0; i < t.count; ++i) {
            const int w = scale.chromaWeight[t.offset + i];
            sumU += w * src[4 * (t.first + i) + 1];
            sumV += w * src[4 * (t.first + i) + 3];
        }
        dst[4 * c + 1] = (UCHAR)(sumU >> 14);
        dst[4 * c + 3] = (UCHAR)(sumV >> 14);
    }
}

const RowKernels kRowsC = {
    .name = "C",
    .difference = DifferenceRow_C,
    .interpolate = InterpolateRow_C,
    .adjust = AdjustRow_C,
    .toRgb24 = ToRgb24Row_C,
    .toI420 = ToI420Row_C,
    .boxH1V2 = BoxH1V2Row_C,
    .boxH2V1 = BoxH2V1Row_C,
    .boxH2V2 = BoxH2V2Row_C,
    .boxH4V1 = BoxH4V1Row_C,
    .boxH4V2 = BoxH4V2Row_C,
    .accStart = AccStartRow_C,
    .accAdd = AccAddRow_C,
    .accFinish = AccFinishRow_C,
    .blend2 = Blend2Row_C,
    .copy = CopyRow_C,
};

}  // namespace zelpipe
