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
// The luma bytes are taken from la0 .. lb1 (the same rows, or their words
// with the luma mapped through a gamma curve), the chroma from a0 .. b1.
ZP_AVX2_STEP inline __m256i I420Luma(__m256i a0, __m256i a1, __m256i b0, __m256i b1, __m256i la0, __m256i la1,
                                     __m256i lb0, __m256i lb1, UCHAR* y0, UCHAR* y1)
{
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    const __m256i ya = _mm256_packus_epi16(_mm256_and_si256(la0, lowBytes), _mm256_and_si256(la1, lowBytes));
    const __m256i yb = _mm256_packus_epi16(_mm256_and_si256(lb0, lowBytes), _mm256_and_si256(lb1, lowBytes));
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

// A gamma curve's two nibble tables, each in both lanes.
struct GammaTables {
    __m256i base, slope;
};

ZP_AVX2 inline GammaTables LoadGamma(const GammaCurve* gamma)
{
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)gamma->base)),
            _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)gamma->slope))};
}

// Y' = base[Y >> 4] + ((slope[Y >> 4] * (Y & 15) + 8) >> 4) for the luma
// (low) byte of every YUYV word, in that word's low byte; the high byte is
// left meaningless. The rounding shift is one multiply: (p * 2048 + 16384)
// >> 15 is (p + 8) >> 4 for every product p of a byte and a nibble.
ZP_AVX2_STEP inline __m256i GammaLumaWords(__m256i v, const GammaTables& t)
{
    const __m256i nibble = _mm256_set1_epi16(0x000F);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    const __m256i lo = _mm256_and_si256(v, nibble);
    const __m256i product = _mm256_maddubs_epi16(_mm256_shuffle_epi8(t.slope, hi), lo);
    return _mm256_add_epi16(_mm256_mulhrs_epi16(product, _mm256_set1_epi16(2048)), _mm256_shuffle_epi8(t.base, hi));
}

}  // namespace

// ------------------------------------------------------ interpolation ----

namespace {

struct V {
    using Vec = __m256i;
    static constexpr int kBytes = 32;
    ZP_AVX2_STEP static Vec Load(const UCHAR* p) { return _mm256_loadu_si256((const __m256i*)p); }
    ZP_AVX2_STEP static void Store(UCHAR* p, Vec v) { _mm256_storeu_si256((__m256i*)p, v); }
    ZP_AVX2_STEP static Vec Zero() { return _mm256_setzero_si256(); }
    ZP_AVX2_STEP static Vec Set16(int x) { return _mm256_set1_epi16((short)x); }
    ZP_AVX2_STEP static Vec Or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
    ZP_AVX2_STEP static Vec And(Vec a, Vec b) { return _mm256_and_si256(a, b); }
    ZP_AVX2_STEP static Vec AndNot(Vec a, Vec b) { return _mm256_andnot_si256(a, b); }
    ZP_AVX2_STEP static Vec MaxU8(Vec a, Vec b) { return _mm256_max_epu8(a, b); }
    ZP_AVX2_STEP static Vec MinU8(Vec a, Vec b) { return _mm256_min_epu8(a, b); }
    ZP_AVX2_STEP static Vec AvgU8(Vec a, Vec b) { return _mm256_avg_epu8(a, b); }
    ZP_AVX2_STEP static Vec SubsU8(Vec a, Vec b) { return _mm256_subs_epu8(a, b); }
    ZP_AVX2_STEP static Vec AddsU8(Vec a, Vec b) { return _mm256_adds_epu8(a, b); }
    ZP_AVX2_STEP static Vec Ones() { return _mm256_set1_epi32(-1); }
    ZP_AVX2_STEP static Vec CmpEq8(Vec a, Vec b) { return _mm256_cmpeq_epi8(a, b); }
    template <int N>
    ZP_AVX2_STEP static Vec Shr16(Vec a) { return _mm256_srli_epi16(a, N); }
    ZP_AVX2_STEP static Vec Blend(Vec a, Vec b, Vec mask) { return _mm256_blendv_epi8(a, b, mask); }
    // The pack works within 128-bit lanes: the quarters come back as the
    // first vector's low, the second's low, the first's high, the second's
    // high, and the permute puts them in order.
    ZP_AVX2_STEP static Vec LumaOf(const UCHAR* p)
    {
        const __m256i low = _mm256_set1_epi16(0x00FF);
        const __m256i packed = _mm256_packus_epi16(_mm256_and_si256(Load(p), low), _mm256_and_si256(Load(p + 32), low));
        return _mm256_permute4x64_epi64(packed, 0xD8);
    }
    ZP_AVX2_STEP static Vec LoadWords(const UCHAR* p) { return _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)p)); }
    ZP_AVX2_STEP static bool IsZero(Vec a) { return _mm256_testz_si256(a, a); }
};

#define ZP_TARGET ZP_AVX2
#define ZP_STEP ZP_AVX2_STEP
#include "pipeline/deinterlace_simd.h"
#undef ZP_TARGET
#undef ZP_STEP

}  // namespace

ZP_AVX2 void DifferenceRow_AVX2(const UCHAR* previous, const UCHAR* second, UCHAR* difference, ULONGLONG* moved,
                                int pairs)
{
    DifferenceRowT(previous, second, difference, moved, pairs);
}

ZP_AVX2 void InterpolateRow_AVX2(const FieldLines& l, UCHAR* dst, int pairs) { InterpolateRowT(l, dst, pairs); }

namespace {

template <bool Mirror, bool Gamma>
ZP_AVX2 void AdjustRows(const UCHAR* src, UCHAR* dst, int pairs, const GammaCurve* gamma)
{
    const int bytes = pairs * 4;
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    const __m256i swapLuma = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15,  //
                                              2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    const GammaTables tables = Gamma ? LoadGamma(gamma) : GammaTables{_mm256_setzero_si256(), _mm256_setzero_si256()};
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    auto step = [&](int o) ZP_AVX2_STEP {
        __m256i v;
        if (Mirror) {
            v = _mm256_permutevar8x32_epi32(Load(src + bytes - o - 32), reverse);
            v = _mm256_shuffle_epi8(v, swapLuma);
        } else {
            v = Load(src + o);
        }
        if (Gamma) v = _mm256_blendv_epi8(v, GammaLumaWords(v, tables), lowBytes);
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
// version of this function, which it follows step by step). `yuyv` has its
// chroma bytes made signed already (U - 128, V - 128), so that one XOR
// serves both chroma samples; luma comes as Y * 256 in every word.
ZP_AVX2_STEP inline Bgr16 ColourTerms(__m256i yuyv, __m256i luma)
{
    const __m256i t = _mm256_add_epi16(_mm256_mulhi_epu16(luma, _mm256_set1_epi16(kCoefY)),
                                       _mm256_set1_epi16(kColourBias));
    // Each pair's U (and V) times 256, in both of the pair's pixel words.
    const __m256i pickU = _mm256_setr_epi8(-1, 1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13,  //
                                           -1, 1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13);
    const __m256i pickV = _mm256_setr_epi8(-1, 3, -1, 3, -1, 7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15,  //
                                           -1, 3, -1, 3, -1, 7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15);
    const __m256i u = _mm256_shuffle_epi8(yuyv, pickU);
    const __m256i v = _mm256_shuffle_epi8(yuyv, pickV);
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

template <bool Gamma>
ZP_AVX2 void Rgb24Rows(const UCHAR* src, UCHAR* dst, int pixels, const GammaCurve* gamma)
{
    const __m256i bgFirst = _mm256_setr_epi8(ZP_PICK_LANE(false, 0), ZP_PICK_LANE(false, 0));
    const __m256i rFirst = _mm256_setr_epi8(ZP_PICK_LANE(true, 0), ZP_PICK_LANE(true, 0));
    const __m256i bgLast = _mm256_setr_epi8(ZP_PICK_LANE(false, 1), ZP_PICK_LANE(false, 1));
    const __m256i rLast = _mm256_setr_epi8(ZP_PICK_LANE(true, 1), ZP_PICK_LANE(true, 1));
    const GammaTables tables = Gamma ? LoadGamma(gamma) : GammaTables{_mm256_setzero_si256(), _mm256_setzero_si256()};
    auto step = [&](int x) ZP_AVX2_STEP {
        const __m256i yuyv = _mm256_xor_si256(Load(src + 2 * x), _mm256_set1_epi16((short)0x8000));
        // Y (or Y through the curve) times 256 in every word: the shift
        // drops the meaningless high byte.
        const __m256i luma = _mm256_slli_epi16(Gamma ? GammaLumaWords(yuyv, tables) : yuyv, 8);
        const Bgr16 c = ColourTerms(yuyv, luma);
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
    if (!Cover(whole, 16, step)) ToRgb24Row_SSE2(src, dst, whole, gamma);
    if (pixels & 1) ToRgb24Row_C(src + 2 * whole, dst + 3 * whole, 1, gamma);
}

}  // namespace

ZP_AVX2 void ToRgb24Row_AVX2(const UCHAR* src, UCHAR* dst, int pixels, const GammaCurve* gamma)
{
    if (gamma) Rgb24Rows<true>(src, dst, pixels, gamma);
    else Rgb24Rows<false>(src, dst, pixels, nullptr);
}

ZP_AVX2 void ToI420Row_AVX2(const UCHAR* row0, const UCHAR* row1, UCHAR* y0, UCHAR* y1, UCHAR* u, UCHAR* v,
                            int pairs, const GammaCurve* gamma)
{
    if (gamma) {
        const GammaTables t = LoadGamma(gamma);
        auto step = [&](int p) ZP_AVX2_STEP {
            const __m256i a0 = Load(row0 + 4 * p), a1 = Load(row0 + 4 * p + 32);
            const __m256i b0 = Load(row1 + 4 * p), b1 = Load(row1 + 4 * p + 32);
            StoreChroma(I420Luma(a0, a1, b0, b1, GammaLumaWords(a0, t), GammaLumaWords(a1, t), GammaLumaWords(b0, t),
                                 GammaLumaWords(b1, t), y0 + 2 * p, y1 + 2 * p),
                        u + p, v + p);
        };
        if (!Cover(pairs, 16, step)) ToI420Row_C(row0, row1, y0, y1, u, v, pairs, gamma);
        return;
    }
    auto step = [&](int p) ZP_AVX2_STEP {
        const __m256i a0 = Load(row0 + 4 * p), a1 = Load(row0 + 4 * p + 32);
        const __m256i b0 = Load(row1 + 4 * p), b1 = Load(row1 + 4 * p + 32);
        StoreChroma(I420Luma(a0, a1, b0, b1, a0, a1, b0, b1, y0 + 2 * p, y1 + 2 * p), u + p, v + p);
    };
    if (!Cover(pairs, 16, step)) ToI420Row_SSE2(row0, row1, y0, y1, u, v, pairs, nullptr);
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
    .difference = DifferenceRow_AVX2,
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
