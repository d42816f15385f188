// AVX2 row kernels. Each produces exactly the bytes of its C reference row.
//
// Only these functions carry the AVX2 target; the rest of the library is
// built for the baseline CPU, and pipeline.cpp picks this set at run time
// when the processor and the operating system support it.
//
// Kernel build: the YMM registers are extended processor state. A kernel-mode
// caller must bracket a conversion that runs these rows with
// KeSaveExtendedProcessorState / KeRestoreExtendedProcessorState (XSTATE_MASK_AVX;
// plus XSTATE_MASK_AVX512 for the AVX-512 level); Run in pipeline.cpp marks
// the place.
//
// Layout habits: most instructions work within each 128-bit lane, so a row
// is processed as two SSE2-style halves and put back in order with one
// cross-lane permute at the end of a step. As in the SSE2 rows, the last
// vector of a row overlaps its predecessor instead of falling back to C.
#include <immintrin.h>
#include <string.h>

#include "pipeline/rows.h"

#define ZP_AVX2 __attribute__((target("avx2")))
// Step lambdas with many constants must inline into their loop: the
// constants stay in registers only there.
#define ZP_AVX2_STEP __attribute__((target("avx2"), always_inline))

namespace zelpipe {

namespace {

ZP_AVX2 inline __m256i Load(const UCHAR* p) { return _mm256_loadu_si256((const __m256i*)p); }
ZP_AVX2 inline __m256i Load(const USHORT* p) { return _mm256_loadu_si256((const __m256i*)p); }
ZP_AVX2 inline void Store(UCHAR* p, __m256i v) { _mm256_storeu_si256((__m256i*)p, v); }
ZP_AVX2 inline void Store(USHORT* p, __m256i v) { _mm256_storeu_si256((__m256i*)p, v); }

template <typename Step>
ZP_AVX2 inline bool Cover(int total, int width, Step step)
{
    if (total < width) return false;
    int i = 0;
    for (; i + width <= total; i += width) step(i);
    if (i < total) step(total - width);
    return true;
}

// Sixteen pairs of two frame lines (a0 a1 above, b0 b1 below) to I420: each
// line's luma to its row; returns the rounded chroma averages, the sixteen U
// bytes in the low lane and the sixteen V bytes in the high one.
ZP_AVX2_STEP inline __m256i I420Luma(__m256i a0, __m256i a1, __m256i b0, __m256i b1, UCHAR* y0, UCHAR* y1)
{
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    const __m256i ya = _mm256_packus_epi16(_mm256_and_si256(a0, lowBytes), _mm256_and_si256(a1, lowBytes));
    const __m256i yb = _mm256_packus_epi16(_mm256_and_si256(b0, lowBytes), _mm256_and_si256(b1, lowBytes));
    Store(y0, _mm256_permute4x64_epi64(ya, 0xD8));
    Store(y1, _mm256_permute4x64_epi64(yb, 0xD8));
    // Each lane's four U bytes, then its four V bytes; the two vectors'
    // halves interleaved (by dword: U0 V0 U2 V2 | U1 V1 U3 V3, four pairs
    // each), then put in order: U of all sixteen pairs in the low lane, V in
    // the high one.
    const __m256i gatherChroma = _mm256_setr_epi8(1, 5, 9, 13, 3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                                  1, 5, 9, 13, 3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i c0 = _mm256_shuffle_epi8(_mm256_avg_epu8(a0, b0), gatherChroma);
    const __m256i c1 = _mm256_shuffle_epi8(_mm256_avg_epu8(a1, b1), gatherChroma);
    return _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(c0, c1), _mm256_setr_epi32(0, 4, 2, 6, 1, 5, 3, 7));
}

// Sixteen pairs' chroma as I420Luma returns it, to the U and V rows.
ZP_AVX2_STEP inline void StoreChroma(__m256i uv, UCHAR* u, UCHAR* v)
{
    _mm_storeu_si128((__m128i*)u, _mm256_castsi256_si128(uv));
    _mm_storeu_si128((__m128i*)v, _mm256_extracti128_si256(uv, 1));
}

}  // namespace

// ------------------------------------------------------ interpolation ----
//
// 32 bytes a step, every sample byte-wise (u8, saturating where the C row's
// value cannot leave 0..255, which keeps the results equal) except the two
// pieces that need more range: the four-tap curve, in words, and the luma
// direction costs, summed in words over the luma bytes only (the low byte of
// each YUYV word). Steps start on a pair, so even bytes are luma. The first
// and last kEdgeBytes of a line, whose neighbourhoods run past it, come from
// the C bytes.

namespace {

constexpr int kEdgeBytes = 8;  // at least kActivityReach and 2 * kDirectionMargin

ZP_AVX2_STEP inline __m256i AbsDiff(__m256i a, __m256i b) { return _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a)); }

// The activity of bytes i .. i + 31 from `diff`, the line's byte-wise
// differences with kActivityReach zero bytes on either side (zeros leave a
// largest difference as it is, so the line's ends need no special case).
ZP_AVX2_STEP inline __m256i ActivityStep(const UCHAR* diff, int i)
{
    const UCHAR* t = diff + kActivityReach + i;
    // Offsets 0, 4, 8 either way reach samples of every kind; 2 and 6 reach
    // luma only (for chroma they land on the other component).
    const __m256i both = _mm256_max_epu8(_mm256_max_epu8(_mm256_max_epu8(Load(t - 8), Load(t - 4)),
                                                         _mm256_max_epu8(Load(t), Load(t + 4))),
                                         Load(t + 8));
    const __m256i luma = _mm256_max_epu8(_mm256_max_epu8(Load(t - 6), Load(t - 2)), _mm256_max_epu8(Load(t + 2), Load(t + 6)));
    return _mm256_max_epu8(both, _mm256_and_si256(luma, _mm256_set1_epi16(0x00FF)));
}

// The four-tap curve of bytes a, b, c, d kept within b and c.
ZP_AVX2_STEP inline __m256i CubicStep(__m256i a, __m256i b, __m256i c, __m256i d)
{
    const __m256i zero = _mm256_setzero_si256();
    auto half = [&](__m256i (*unpack)(__m256i, __m256i)) ZP_AVX2_STEP {
        const __m256i bc = _mm256_add_epi16(unpack(b, zero), unpack(c, zero));
        const __m256i ad = _mm256_add_epi16(unpack(a, zero), unpack(d, zero));
        const __m256i nine = _mm256_add_epi16(_mm256_slli_epi16(bc, 3), bc);
        return _mm256_srai_epi16(_mm256_add_epi16(_mm256_sub_epi16(nine, ad), _mm256_set1_epi16(8)), 4);
    };
    const __m256i v = _mm256_packus_epi16(half(_mm256_unpacklo_epi8), half(_mm256_unpackhi_epi8));
    return _mm256_min_epu8(_mm256_max_epu8(v, _mm256_min_epu8(b, c)), _mm256_max_epu8(b, c));
}

ZP_AVX2_STEP inline void InterpolateStep(const FieldLines& l, UCHAR* dst, int i)
{
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    const __m256i c = Load(l.first[1] + i), e = Load(l.first[2] + i);
    const __m256i d = _mm256_avg_epu8(Load(l.second[1] + i), Load(l.previous[1] + i));
    const __m256i activity =
        _mm256_max_epu8(Load(l.activity[0] + i), _mm256_max_epu8(Load(l.activity[1] + i), Load(l.activity[2] + i)));
    if (_mm256_testz_si256(activity, activity)) {
        Store(dst + i, d);  // still: no allowance, the temporal estimate as it is
        return;
    }
    const __m256i above = _mm256_avg_epu8(Load(l.second[0] + i), Load(l.previous[0] + i));
    const __m256i below = _mm256_avg_epu8(Load(l.second[2] + i), Load(l.previous[2] + i));
    // The comb measure where positive (all the allowance looks at).
    const __m256i low = _mm256_min_epu8(_mm256_subs_epu8(d, _mm256_max_epu8(c, e)),
                                        _mm256_max_epu8(_mm256_subs_epu8(above, c), _mm256_subs_epu8(below, e)));
    const __m256i negHigh = _mm256_min_epu8(_mm256_subs_epu8(_mm256_min_epu8(c, e), d),
                                            _mm256_max_epu8(_mm256_subs_epu8(c, above), _mm256_subs_epu8(e, below)));
    __m256i gain = activity;
    static_assert(kCombGain == 16, "four doublings");
    for (int k = 0; k < 4; ++k) gain = _mm256_adds_epu8(gain, gain);
    const __m256i allowance = _mm256_max_epu8(activity, _mm256_min_epu8(_mm256_max_epu8(low, negHigh), gain));

    const __m256i cubic = CubicStep(Load(l.first[0] + i), c, e, Load(l.first[3] + i));
    // Luma direction costs in words: |c[x + k + j] - e[x - k + j]| over
    // j = -1, 0, 1 pixels (2 bytes a pixel).
    auto cost = [&](int k) ZP_AVX2_STEP {
        __m256i sum = _mm256_setzero_si256();
        for (int j = -1; j <= 1; ++j) {
            sum = _mm256_add_epi16(sum, _mm256_and_si256(AbsDiff(Load(l.first[1] + i + 2 * (k + j)),
                                                                 Load(l.first[2] + i + 2 * (j - k))), lowBytes));
        }
        return sum;
    };
    auto diagonal = [&](int k) ZP_AVX2_STEP {
        return _mm256_and_si256(_mm256_avg_epu8(Load(l.first[1] + i + 2 * k), Load(l.first[2] + i - 2 * k)), lowBytes);
    };
    __m256i best = cost(0);
    __m256i estimate = _mm256_and_si256(cubic, lowBytes);
    const __m256i penalty = _mm256_set1_epi16(kDiagonalPenalty);
    for (int side = -1; side <= 1; side += 2) {
        const __m256i near = _mm256_add_epi16(_mm256_slli_epi16(cost(side), 1), penalty);
        const __m256i takeNear = _mm256_cmpgt_epi16(best, near);
        best = _mm256_blendv_epi8(best, near, takeNear);
        estimate = _mm256_blendv_epi8(estimate, diagonal(side), takeNear);
        const __m256i far = _mm256_add_epi16(_mm256_slli_epi16(cost(2 * side), 1), penalty);
        const __m256i takeFar = _mm256_and_si256(takeNear, _mm256_cmpgt_epi16(best, far));
        best = _mm256_blendv_epi8(best, far, takeFar);
        estimate = _mm256_blendv_epi8(estimate, diagonal(2 * side), takeFar);
    }
    const __m256i spatial = _mm256_or_si256(estimate, _mm256_andnot_si256(lowBytes, cubic));
    const __m256i out = _mm256_min_epu8(_mm256_max_epu8(spatial, _mm256_subs_epu8(d, allowance)),
                                        _mm256_adds_epu8(d, allowance));
    Store(dst + i, out);
}

// Steps over bytes kEdgeBytes .. bytes - kEdgeBytes (the last one overlapping
// its predecessor), the ends from the C bytes; short lines all from C.
template <typename Step>
ZP_AVX2 inline bool CoverInside(int bytes, Step step)
{
    const int inside = bytes - 2 * kEdgeBytes;
    if (inside < 32) return false;
    int i = kEdgeBytes;
    for (; i + 32 <= bytes - kEdgeBytes; i += 32) step(i);
    if (i < bytes - kEdgeBytes) step(bytes - kEdgeBytes - 32);
    return true;
}

}  // namespace

ZP_AVX2 void ActivityRow_AVX2(const UCHAR* previous, const UCHAR* second, UCHAR* activity, int pairs)
{
    const int bytes = 4 * pairs;
    if (bytes < 32) {
        ActivityBytes_C(previous, second, activity, bytes, 0, bytes);
        return;
    }
    // Rows are never wider than the largest source (the conversion checks).
    alignas(32) UCHAR diff[kMaxRowBytes + 2 * kActivityReach];
    memset(diff, 0, kActivityReach);
    memset(diff + kActivityReach + bytes, 0, kActivityReach);
    Cover(bytes, 32, [&](int i) ZP_AVX2_STEP { Store(diff + kActivityReach + i, AbsDiff(Load(second + i), Load(previous + i))); });
    Cover(bytes, 32, [&](int i) ZP_AVX2_STEP { Store(activity + i, ActivityStep(diff, i)); });
}

ZP_AVX2 void InterpolateRow_AVX2(const FieldLines& l, UCHAR* dst, int pairs)
{
    const int bytes = 4 * pairs;
    auto step = [&](int i) ZP_AVX2_STEP { InterpolateStep(l, dst, i); };
    if (!CoverInside(bytes, step)) {
        InterpolateBytes_C(l, dst, bytes, 0, bytes);
        return;
    }
    InterpolateBytes_C(l, dst, bytes, 0, kEdgeBytes);
    InterpolateBytes_C(l, dst, bytes, bytes - kEdgeBytes, bytes);
}

namespace {

template <bool Mirror, bool Gamma>
ZP_AVX2 void AdjustRows(const UCHAR* src, UCHAR* dst, int pairs, const GammaCurve* gamma)
{
    const int bytes = pairs * 4;
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    const __m256i swapLuma = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15,  //
                                              2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    __m256i base = _mm256_setzero_si256(), slope = _mm256_setzero_si256();
    if (Gamma) {
        base = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)gamma->base));
        slope = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)gamma->slope));
    }
    const __m256i nibble = _mm256_set1_epi16(0x000F);
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    const __m256i highBytes = _mm256_set1_epi16((short)0xFF00);
    const __m256i eight = _mm256_set1_epi16(8);
    auto step = [&](int o) ZP_AVX2 {
        __m256i v;
        if (Mirror) {
            v = _mm256_permutevar8x32_epi32(Load(src + bytes - o - 32), reverse);
            v = _mm256_shuffle_epi8(v, swapLuma);
        } else {
            v = Load(src + o);
        }
        if (Gamma) {
            // Y' = base[Y >> 4] + ((slope[Y >> 4] * (Y & 15) + 8) >> 4) on the
            // luma byte of every word; chroma bytes index entry 0 and are
            // masked off or multiplied by zero.
            const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
            const __m256i lo = _mm256_and_si256(v, nibble);
            const __m256i b = _mm256_and_si256(_mm256_shuffle_epi8(base, hi), lowBytes);
            const __m256i product = _mm256_maddubs_epi16(_mm256_shuffle_epi8(slope, hi), lo);
            const __m256i y = _mm256_add_epi16(_mm256_srli_epi16(_mm256_add_epi16(product, eight), 4), b);
            v = _mm256_or_si256(_mm256_and_si256(v, highBytes), y);
        }
        Store(dst + o, v);
    };
    if (!Cover(bytes, 32, step)) AdjustRow_C(src, dst, pairs, Mirror, Gamma ? gamma : nullptr);
}

}  // namespace

ZP_AVX2 void AdjustRow_AVX2(const UCHAR* src, UCHAR* dst, int pairs, bool mirror, const GammaCurve* gamma)
{
    if (mirror) {
        if (gamma) AdjustRows<true, true>(src, dst, pairs, gamma);
        else AdjustRows<true, false>(src, dst, pairs, gamma);
    } else {
        if (gamma) AdjustRows<false, true>(src, dst, pairs, gamma);
        else memcpy(dst, src, (size_t)pairs * 4);
    }
}

namespace {

struct Bgr16 {
    __m256i b, g, r;
};

// The colour block for sixteen pixels (see pipeline_internal.h and the SSE2
// version of this function, which it follows step by step).
ZP_AVX2 inline Bgr16 ColourTerms(__m256i yuyv)
{
    const __m256i t = _mm256_add_epi16(_mm256_mulhi_epu16(_mm256_slli_epi16(yuyv, 8), _mm256_set1_epi16(kCoefY)),
                                       _mm256_set1_epi16(kColourBias));
    // Each pair's U (and V) times 256, in both of the pair's pixel words.
    const __m256i pickU = _mm256_setr_epi8(-1, 1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13,  //
                                           -1, 1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13);
    const __m256i pickV = _mm256_setr_epi8(-1, 3, -1, 3, -1, 7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15,  //
                                           -1, 3, -1, 3, -1, 7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15);
    const __m256i toSigned = _mm256_set1_epi16((short)0x8000);
    const __m256i u = _mm256_xor_si256(_mm256_shuffle_epi8(yuyv, pickU), toSigned);
    const __m256i v = _mm256_xor_si256(_mm256_shuffle_epi8(yuyv, pickV), toSigned);
    const __m256i blueHalf = _mm256_mulhi_epi16(u, _mm256_set1_epi16(kCoefUBHalf));
    const __m256i red = _mm256_mulhi_epi16(v, _mm256_set1_epi16(kCoefVR));
    const __m256i green = _mm256_add_epi16(_mm256_mulhi_epi16(u, _mm256_set1_epi16(kCoefUG)),
                                           _mm256_mulhi_epi16(v, _mm256_set1_epi16(kCoefVG)));
    Bgr16 out;
    out.b = _mm256_srai_epi16(_mm256_adds_epi16(_mm256_adds_epi16(t, blueHalf), blueHalf), 6);
    out.g = _mm256_srai_epi16(_mm256_sub_epi16(t, green), 6);
    out.r = _mm256_srai_epi16(_mm256_add_epi16(t, red), 6);
    return out;
}

// Shuffle masks that lay out eight pixels of one lane as 24 B, G, R bytes:
// the first 16 from [B0..B7 G0..G7] and [R0..R7 R0..R7], then the last 8.
constexpr char Pick(int k, bool red, int part)
{
    const int byte = part * 16 + k;
    if (part == 1 && k >= 8) return (char)0x80;
    const int pixel = byte / 3, component = byte % 3;
    if (red) return component == 2 ? (char)pixel : (char)0x80;
    return component == 0 ? (char)pixel : component == 1 ? (char)(8 + pixel) : (char)0x80;
}

#define ZP_PICK_LANE(red, part)                                                                              \
    Pick(0, red, part), Pick(1, red, part), Pick(2, red, part), Pick(3, red, part), Pick(4, red, part),     \
        Pick(5, red, part), Pick(6, red, part), Pick(7, red, part), Pick(8, red, part), Pick(9, red, part), \
        Pick(10, red, part), Pick(11, red, part), Pick(12, red, part), Pick(13, red, part),                  \
        Pick(14, red, part), Pick(15, red, part)

}  // namespace

ZP_AVX2 void ToRgb24Row_AVX2(const UCHAR* src, UCHAR* dst, int pixels)
{
    const __m256i bgFirst = _mm256_setr_epi8(ZP_PICK_LANE(false, 0), ZP_PICK_LANE(false, 0));
    const __m256i rFirst = _mm256_setr_epi8(ZP_PICK_LANE(true, 0), ZP_PICK_LANE(true, 0));
    const __m256i bgLast = _mm256_setr_epi8(ZP_PICK_LANE(false, 1), ZP_PICK_LANE(false, 1));
    const __m256i rLast = _mm256_setr_epi8(ZP_PICK_LANE(true, 1), ZP_PICK_LANE(true, 1));
    auto step = [&](int x) ZP_AVX2 {
        const Bgr16 c = ColourTerms(Load(src + 2 * x));
        const __m256i bg = _mm256_packus_epi16(c.b, c.g);
        const __m256i rr = _mm256_packus_epi16(c.r, c.r);
        const __m256i first = _mm256_or_si256(_mm256_shuffle_epi8(bg, bgFirst), _mm256_shuffle_epi8(rr, rFirst));
        const __m256i last = _mm256_or_si256(_mm256_shuffle_epi8(bg, bgLast), _mm256_shuffle_epi8(rr, rLast));
        UCHAR* d = dst + 3 * x;
        _mm_storeu_si128((__m128i*)d, _mm256_castsi256_si128(first));
        _mm_storel_epi64((__m128i*)(d + 16), _mm256_castsi256_si128(last));
        _mm_storeu_si128((__m128i*)(d + 24), _mm256_extracti128_si256(first, 1));
        _mm_storel_epi64((__m128i*)(d + 40), _mm256_extracti128_si256(last, 1));
    };
    const int whole = pixels & ~1;
    if (!Cover(whole, 16, step)) ToRgb24Row_SSE2(src, dst, whole);
    if (pixels & 1) ToRgb24Row_C(src + 2 * whole, dst + 3 * whole, 1);
}

ZP_AVX2 void ToI420Row_AVX2(const UCHAR* row0, const UCHAR* row1, UCHAR* y0, UCHAR* y1, UCHAR* u, UCHAR* v,
                            int pairs)
{
    auto step = [&](int p) ZP_AVX2_STEP {
        const __m256i a0 = Load(row0 + 4 * p), a1 = Load(row0 + 4 * p + 32);
        const __m256i b0 = Load(row1 + 4 * p), b1 = Load(row1 + 4 * p + 32);
        StoreChroma(I420Luma(a0, a1, b0, b1, y0 + 2 * p, y1 + 2 * p), u + p, v + p);
    };
    if (!Cover(pairs, 16, step)) ToI420Row_SSE2(row0, row1, y0, y1, u, v, pairs);
}

ZP_AVX2 void BoxH1V2Row_AVX2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs)
{
    auto step = [&](int i) ZP_AVX2 { Store(dst + i, _mm256_avg_epu8(Load(a + i), Load(b + i))); };
    if (!Cover(outPairs * 4, 32, step)) BoxH1V2Row_SSE2(a, b, dst, outPairs);
}

namespace {

template <int N>
ZP_AVX2 inline void SplitRows(const UCHAR* a, const UCHAR* b, int offset, __m256i* luma, __m256i* chroma)
{
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    const __m256i va = Load(a + offset);
    *luma = _mm256_and_si256(va, lowBytes);
    *chroma = _mm256_srli_epi16(va, 8);
    if (N == 2) {
        const __m256i vb = Load(b + offset);
        *luma = _mm256_add_epi16(*luma, _mm256_and_si256(vb, lowBytes));
        *chroma = _mm256_add_epi16(*chroma, _mm256_srli_epi16(vb, 8));
    }
}

template <int Count>
ZP_AVX2 inline __m256i FinishPairs(__m256i lumaWords, __m256i chromaWords)
{
    const int shift = Count == 2 ? 1 : Count == 4 ? 2 : 3;
    const __m256i half = _mm256_set1_epi16(Count / 2);
    const __m256i lo =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_unpacklo_epi16(lumaWords, chromaWords), half), shift);
    const __m256i hi =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_unpackhi_epi16(lumaWords, chromaWords), half), shift);
    return _mm256_packus_epi16(lo, hi);
}

// Box 2 across: 64 source bytes make eight output pairs. Each lane works as
// the SSE2 row does; lane 0 ends up holding pairs 0-1 and 4-5, lane 1 pairs
// 2-3 and 6-7, which one qword permute puts in order.
template <int N>
ZP_AVX2 inline void BoxH2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs)
{
    const __m256i ones = _mm256_set1_epi16(1);
    auto step = [&](int p) ZP_AVX2 {
        __m256i l0, c0, l1, c1;
        SplitRows<N>(a, b, 8 * p, &l0, &c0);
        SplitRows<N>(a, b, 8 * p + 32, &l1, &c1);
        const __m256i luma = _mm256_packs_epi32(_mm256_madd_epi16(l0, ones), _mm256_madd_epi16(l1, ones));
        const __m256i s0 =
            _mm256_shuffle_epi32(_mm256_add_epi16(c0, _mm256_srli_si256(c0, 4)), _MM_SHUFFLE(2, 0, 2, 0));
        const __m256i s1 =
            _mm256_shuffle_epi32(_mm256_add_epi16(c1, _mm256_srli_si256(c1, 4)), _MM_SHUFFLE(2, 0, 2, 0));
        const __m256i packed = FinishPairs<2 * N>(luma, _mm256_unpacklo_epi64(s0, s1));
        Store(dst + 4 * p, _mm256_permute4x64_epi64(packed, 0xD8));
    };
    if (!Cover(outPairs, 8, step)) {
        if (N == 1) BoxH2V1Row_SSE2(a, b, dst, outPairs);
        else BoxH2V2Row_SSE2(a, b, dst, outPairs);
    }
}

// Box 4 across: 128 source bytes make eight output pairs; lane 0 carries the
// even output pairs and lane 1 the odd ones until the closing permute.
template <int N>
ZP_AVX2 inline void BoxH4(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs)
{
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    auto step = [&](int p) ZP_AVX2 {
        __m256i l[4], c[4];
        for (int k = 0; k < 4; ++k) SplitRows<N>(a, b, 16 * p + 32 * k, &l[k], &c[k]);
        const __m256i y01 = _mm256_madd_epi16(
            _mm256_packs_epi32(_mm256_madd_epi16(l[0], ones), _mm256_madd_epi16(l[1], ones)), ones);
        const __m256i y23 = _mm256_madd_epi16(
            _mm256_packs_epi32(_mm256_madd_epi16(l[2], ones), _mm256_madd_epi16(l[3], ones)), ones);
        __m256i s[4];
        for (int k = 0; k < 4; ++k) {
            const __m256i h = _mm256_add_epi16(c[k], _mm256_srli_si256(c[k], 8));
            s[k] = _mm256_add_epi16(h, _mm256_srli_si256(h, 4));
        }
        const __m256i chroma = _mm256_unpacklo_epi64(_mm256_unpacklo_epi32(s[0], s[1]), _mm256_unpacklo_epi32(s[2], s[3]));
        const __m256i packed = FinishPairs<4 * N>(_mm256_packs_epi32(y01, y23), chroma);
        Store(dst + 4 * p, _mm256_permutevar8x32_epi32(packed, order));
    };
    if (!Cover(outPairs, 8, step)) {
        if (N == 1) BoxH4V1Row_SSE2(a, b, dst, outPairs);
        else BoxH4V2Row_SSE2(a, b, dst, outPairs);
    }
}

}  // namespace

ZP_AVX2 void BoxH2V1Row_AVX2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxH2<1>(a, b, dst, outPairs); }
ZP_AVX2 void BoxH2V2Row_AVX2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxH2<2>(a, b, dst, outPairs); }
ZP_AVX2 void BoxH4V1Row_AVX2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxH4<1>(a, b, dst, outPairs); }
ZP_AVX2 void BoxH4V2Row_AVX2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxH4<2>(a, b, dst, outPairs); }

ZP_AVX2 void AccStartRow_AVX2(USHORT* acc, const UCHAR* src, int weight, int bytes)
{
    const __m256i w = _mm256_set1_epi16((short)weight);
    int i = 0;
    for (; i + 16 <= bytes; i += 16) {
        const __m256i s = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)(src + i)));
        Store(acc + i, _mm256_mullo_epi16(s, w));
    }
    AccStartRow_C(acc + i, src + i, weight, bytes - i);
}

ZP_AVX2 void AccAddRow_AVX2(USHORT* acc, const UCHAR* src, int weight, int bytes)
{
    const __m256i w = _mm256_set1_epi16((short)weight);
    int i = 0;
    for (; i + 16 <= bytes; i += 16) {
        const __m256i s = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)(src + i)));
        Store(acc + i, _mm256_add_epi16(Load(acc + i), _mm256_mullo_epi16(s, w)));
    }
    AccAddRow_C(acc + i, src + i, weight, bytes - i);
}

ZP_AVX2 void AccFinishRow_AVX2(const USHORT* acc, const UCHAR* src, int weight, UCHAR* dst, int bytes)
{
    const __m256i w = _mm256_set1_epi16((short)weight);
    const __m256i half = _mm256_set1_epi16(64);
    auto step = [&](int i) ZP_AVX2 {
        const __m256i lo = _mm256_add_epi16(
            _mm256_add_epi16(Load(acc + i), half),
            _mm256_mullo_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)(src + i))), w));
        const __m256i hi = _mm256_add_epi16(
            _mm256_add_epi16(Load(acc + i + 16), half),
            _mm256_mullo_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)(src + i + 16))), w));
        const __m256i packed = _mm256_packus_epi16(_mm256_srli_epi16(lo, 7), _mm256_srli_epi16(hi, 7));
        Store(dst + i, _mm256_permute4x64_epi64(packed, 0xD8));
    };
    if (!Cover(bytes, 32, step)) AccFinishRow_SSE2(acc, src, weight, dst, bytes);
}

ZP_AVX2 void Blend2Row_AVX2(const UCHAR* a, int wa, const UCHAR* b, int wb, UCHAR* dst, int bytes)
{
    // Bytes of a and b interleaved meet weights (wa, wb) in one multiply-add;
    // both weights are at most 127 and the sum at most 128 x 255.
    const __m256i weights = _mm256_set1_epi16((short)((wa & 0xFF) | (wb << 8)));
    const __m256i half = _mm256_set1_epi16(64);
    auto step = [&](int i) ZP_AVX2 {
        const __m256i x = Load(a + i), y = Load(b + i);
        const __m256i lo = _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_unpacklo_epi8(x, y), weights), half);
        const __m256i hi = _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_unpackhi_epi8(x, y), weights), half);
        Store(dst + i, _mm256_packus_epi16(_mm256_srli_epi16(lo, 7), _mm256_srli_epi16(hi, 7)));
    };
    if (wa > 127 || wb > 127 || !Cover(bytes, 32, step)) Blend2Row_SSE2(a, wa, b, wb, dst, bytes);
}

ZP_AVX2 void CopyRow_AVX2(const UCHAR* src, UCHAR* dst, int bytes) { memcpy(dst, src, (size_t)bytes); }

const RowKernels kRowsAvx2 = {
    .name = "AVX2",
    .activity = ActivityRow_AVX2,
    .interpolate = InterpolateRow_AVX2,
    .adjust = AdjustRow_AVX2,
    .toRgb24 = ToRgb24Row_AVX2,
    .toI420 = ToI420Row_AVX2,
    .boxH1V2 = BoxH1V2Row_AVX2,
    .boxH2V1 = BoxH2V1Row_AVX2,
    .boxH2V2 = BoxH2V2Row_AVX2,
    .boxH4V1 = BoxH4V1Row_AVX2,
    .boxH4V2 = BoxH4V2Row_AVX2,
    .accStart = AccStartRow_AVX2,
    .accAdd = AccAddRow_AVX2,
    .accFinish = AccFinishRow_AVX2,
    .blend2 = Blend2Row_AVX2,
    .copy = CopyRow_AVX2,
};

}  // namespace zelpipe
