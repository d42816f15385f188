// SSE2 row kernels. Each produces exactly the bytes of its C reference row.
//
// Rows whose width is not a whole number of vectors finish with one more
// vector that ends at the row's end (it overlaps bytes already written with
// the same values), so a 720-pixel row never falls back to pixel-by-pixel
// work; rows shorter than one vector go to the C row.
//
// Kernel build: these routines use the XMM registers. A kernel-mode caller
// must save the floating-point state (KeSaveFloatingPointState on i386, or
// KeSaveExtendedProcessorState) around a conversion; Run in pipeline.cpp
// marks the place.
#include <emmintrin.h>
#include <string.h>

#include "pipeline/rows.h"

#define ZP_SSE2 __attribute__((target("sse2")))

namespace zelpipe {

namespace {

ZP_SSE2 inline __m128i Load(const UCHAR* p) { return _mm_loadu_si128((const __m128i*)p); }
ZP_SSE2 inline __m128i Load(const USHORT* p) { return _mm_loadu_si128((const __m128i*)p); }
ZP_SSE2 inline void Store(UCHAR* p, __m128i v) { _mm_storeu_si128((__m128i*)p, v); }
ZP_SSE2 inline void Store(USHORT* p, __m128i v) { _mm_storeu_si128((__m128i*)p, v); }

// Runs step(offset) over [0, total) in steps of `width`, the last one ending
// exactly at total; returns false (nothing done) when total < width.
template <typename Step>
ZP_SSE2 inline bool Cover(int total, int width, Step step)
{
    if (total < width) return false;
    int i = 0;
    for (; i + width <= total; i += width) step(i);
    if (i < total) step(total - width);
    return true;
}

// The curve as a 256-entry table (GammaMap of every value), a segment of 16
// entries per step: building it entry by entry would cost more than a row.
ZP_SSE2 void GammaTable(const GammaCurve& c, UCHAR* table)
{
    const __m128i low = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    const __m128i high = _mm_setr_epi16(8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i eight = _mm_set1_epi16(8);
    const __m128i lowByte = _mm_set1_epi16(0x00FF);  // UCHAR arithmetic, as GammaMap's
    for (int h = 0; h < 16; ++h) {
        const __m128i slope = _mm_set1_epi16(c.slope[h]);
        const __m128i base = _mm_set1_epi16(c.base[h]);
        const __m128i a = _mm_add_epi16(_mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(slope, low), eight), 4), base);
        const __m128i b = _mm_add_epi16(_mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(slope, high), eight), 4), base);
        Store(table + 16 * h, _mm_packus_epi16(_mm_and_si128(a, lowByte), _mm_and_si128(b, lowByte)));
    }
}

}  // namespace

ZP_SSE2 void AdjustRow_SSE2(const UCHAR* src, UCHAR* dst, int pairs, bool mirror, const GammaCurve* gamma)
{
    const int bytes = pairs * 4;
    if (mirror) {
        const __m128i keepChroma = _mm_set1_epi32((int)0xFF00FF00u);
        const __m128i lowByte = _mm_set1_epi32(0xFF);
        auto step = [&](int o) __attribute__((target("sse2"))) {
            // Output bytes [o, o + 16) are the input pairs that end where
            // the output's start is mirrored to, in reverse order, with the
            // two luma samples of each pair swapped.
            const __m128i v = _mm_shuffle_epi32(Load(src + bytes - o - 16), _MM_SHUFFLE(0, 1, 2, 3));
            const __m128i y0 = _mm_slli_epi32(_mm_and_si128(v, lowByte), 16);
            const __m128i y1 = _mm_and_si128(_mm_srli_epi32(v, 16), lowByte);
            Store(dst + o, _mm_or_si128(_mm_and_si128(v, keepChroma), _mm_or_si128(y0, y1)));
        };
        if (!Cover(bytes, 16, step)) {
            AdjustRow_C(src, dst, pairs, mirror, gamma);
            return;
        }
        src = dst;  // gamma, if any, now works in place on the mirrored row
    }
    if (gamma) {
        // SSE2 has no byte shuffle to look the curve up with; a 256-entry
        // table on the stack does it one luma byte at a time.
        UCHAR table[256];
        GammaTable(*gamma, table);
        if (src != dst) memcpy(dst, src, (size_t)bytes);
        for (int i = 0; i < bytes; i += 2) dst[i] = table[dst[i]];
    } else if (!mirror) {
        memcpy(dst, src, (size_t)bytes);
    }
}

namespace {

// Eight pixels of the colour block: from 16 YUYV bytes to the 16-bit B, G
// and R values (still to be shifted right by 6 and clamped).
struct Bgr16 {
    __m128i b, g, r;
};

ZP_SSE2 inline Bgr16 ColourTerms(__m128i yuyv)
{
    const __m128i hiWords = _mm_set1_epi32((int)0xFFFF0000u);
    const __m128i loWords = _mm_set1_epi32(0x0000FFFF);
    // Luma: Y * 256 in every word, times kCoefY, high half.
    const __m128i t = _mm_add_epi16(_mm_mulhi_epu16(_mm_slli_epi16(yuyv, 8), _mm_set1_epi16(kCoefY)),
                                    _mm_set1_epi16(kColourBias));
    // Chroma words (U - 128) * 256, (V - 128) * 256 per pair.
    const __m128i c = _mm_xor_si128(_mm_and_si128(yuyv, _mm_set1_epi16((short)0xFF00)), _mm_set1_epi16((short)0x8000));
    // Even words: blue/2 from U; odd words: red from V.
    const __m128i br = _mm_mulhi_epi16(c, _mm_set1_epi32(kCoefUBHalf | (kCoefVR << 16)));
    // Even words: green from U; odd: green from V; summed into both.
    const __m128i g2 = _mm_mulhi_epi16(c, _mm_set1_epi32(kCoefUG | (kCoefVG << 16)));
    const __m128i gsum = _mm_add_epi16(g2, _mm_slli_epi32(g2, 16));
    const __m128i green = _mm_or_si128(_mm_and_si128(gsum, hiWords), _mm_srli_epi32(gsum, 16));
    const __m128i blueHalf = _mm_or_si128(_mm_and_si128(br, loWords), _mm_slli_epi32(br, 16));
    const __m128i red = _mm_or_si128(_mm_and_si128(br, hiWords), _mm_srli_epi32(br, 16));
    Bgr16 out;
    // Only blue can pass 32767, and only where the result clamps to 255.
    out.b = _mm_srai_epi16(_mm_adds_epi16(_mm_adds_epi16(t, blueHalf), blueHalf), 6);
    out.g = _mm_srai_epi16(_mm_sub_epi16(t, green), 6);
    out.r = _mm_srai_epi16(_mm_add_epi16(t, red), 6);
    return out;
}

// Four pixels held as B, G, R, 0 dwords to 12 packed bytes (low 12 bytes).
ZP_SSE2 inline __m128i PackBgr0(__m128i v)
{
    const __m128i even = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    const __m128i odd = _mm_set_epi32(-1, (int)0xFF000000u, -1, (int)0xFF000000u);
    // In each qword, the odd pixel moves down one byte next to the even one.
    const __m128i q = _mm_or_si128(_mm_and_si128(v, even), _mm_and_si128(_mm_srli_epi64(v, 8), odd));
    // The upper qword's six bytes move down two bytes next to the lower's.
    const __m128i lowSix = _mm_set_epi32(0, 0, 0x0000FFFF, -1);
    return _mm_or_si128(_mm_and_si128(q, lowSix), _mm_srli_si128(_mm_andnot_si128(lowSix, q), 2));
}

}  // namespace

ZP_SSE2 void ToRgb24Row_SSE2(const UCHAR* src, UCHAR* dst, int pixels, const GammaCurve* gamma)
{
    if (gamma) {
        // No byte shuffle to look the curve up with: the luma goes through
        // the curve in chunks into a stack copy (the adjust row's table),
        // which then converts as usual.
        constexpr int kChunk = 256;  // pixels, even so chunks start on a pair
        UCHAR mapped[kChunk * 2];
        for (int x = 0; x < pixels; x += kChunk) {
            const int n = pixels - x < kChunk ? pixels - x : kChunk;
            AdjustRow_SSE2(src + 2 * x, mapped, (n + 1) / 2, false, gamma);
            ToRgb24Row_SSE2(mapped, dst + 3 * x, n, nullptr);
        }
        return;
    }
    auto step = [&](int x) __attribute__((target("sse2"))) {
        const Bgr16 c = ColourTerms(Load(src + 2 * x));
        const __m128i zero = _mm_setzero_si128();
        const __m128i b = _mm_packus_epi16(c.b, c.b);
        const __m128i g = _mm_packus_epi16(c.g, c.g);
        const __m128i r = _mm_packus_epi16(c.r, c.r);
        const __m128i bg = _mm_unpacklo_epi8(b, g);
        const __m128i r0 = _mm_unpacklo_epi8(r, zero);
        const __m128i first = PackBgr0(_mm_unpacklo_epi16(bg, r0));
        const __m128i last = PackBgr0(_mm_unpackhi_epi16(bg, r0));
        Store(dst + 3 * x, _mm_or_si128(first, _mm_slli_si128(last, 12)));
        _mm_storel_epi64((__m128i*)(dst + 3 * x + 16), _mm_srli_si128(last, 4));
    };
    // The closing vector must start on a pair, so odd counts finish in C.
    const int whole = pixels & ~1;
    if (!Cover(whole, 8, step)) ToRgb24Row_C(src, dst, whole, nullptr);
    if (pixels & 1) ToRgb24Row_C(src + 2 * whole, dst + 3 * whole, 1, nullptr);
}

ZP_SSE2 void ToI420Row_SSE2(const UCHAR* row0, const UCHAR* row1, UCHAR* y0, UCHAR* y1, UCHAR* u, UCHAR* v,
                            int pairs, const GammaCurve* gamma)
{
    if (gamma) {
        // SSE2 has no byte shuffle to look the curve up with: the luma rows
        // are mapped through a table once written.
        ToI420Row_SSE2(row0, row1, y0, y1, u, v, pairs, nullptr);
        UCHAR table[256];
        GammaTable(*gamma, table);
        for (int i = 0; i < 2 * pairs; ++i) {
            y0[i] = table[y0[i]];
            y1[i] = table[y1[i]];
        }
        return;
    }
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const __m128i lowWords = _mm_set1_epi32(0x0000FFFF);
    auto step = [&](int p) __attribute__((target("sse2"))) {
        const __m128i a0 = Load(row0 + 4 * p), a1 = Load(row0 + 4 * p + 16);
        const __m128i b0 = Load(row1 + 4 * p), b1 = Load(row1 + 4 * p + 16);
        Store(y0 + 2 * p, _mm_packus_epi16(_mm_and_si128(a0, lowBytes), _mm_and_si128(a1, lowBytes)));
        Store(y1 + 2 * p, _mm_packus_epi16(_mm_and_si128(b0, lowBytes), _mm_and_si128(b1, lowBytes)));
        // Chroma words U, V per pair, averaged over the two rows.
        const __m128i c0 = _mm_srli_epi16(_mm_avg_epu8(a0, b0), 8);
        const __m128i c1 = _mm_srli_epi16(_mm_avg_epu8(a1, b1), 8);
        const __m128i us = _mm_packs_epi32(_mm_and_si128(c0, lowWords), _mm_and_si128(c1, lowWords));
        const __m128i vs = _mm_packs_epi32(_mm_srli_epi32(c0, 16), _mm_srli_epi32(c1, 16));
        const __m128i uv = _mm_packus_epi16(us, vs);
        _mm_storel_epi64((__m128i*)(u + p), uv);
        _mm_storel_epi64((__m128i*)(v + p), _mm_srli_si128(uv, 8));
    };
    if (!Cover(pairs, 8, step)) ToI420Row_C(row0, row1, y0, y1, u, v, pairs, nullptr);
}

ZP_SSE2 void BoxH1V2Row_SSE2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs)
{
    auto step = [&](int i) __attribute__((target("sse2"))) { Store(dst + i, _mm_avg_epu8(Load(a + i), Load(b + i))); };
    if (!Cover(outPairs * 4, 16, step)) BoxH1V2Row_C(a, b, dst, outPairs);
}

namespace {

// Luma words (Y per pixel) and chroma words (U, V per pair) of 16 bytes,
// summed over the N rows.
template <int N>
ZP_SSE2 inline void SplitRows(const UCHAR* a, const UCHAR* b, int offset, __m128i* luma, __m128i* chroma)
{
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const __m128i va = Load(a + offset);
    *luma = _mm_and_si128(va, lowBytes);
    *chroma = _mm_srli_epi16(va, 8);
    if (N == 2) {
        const __m128i vb = Load(b + offset);
        *luma = _mm_add_epi16(*luma, _mm_and_si128(vb, lowBytes));
        *chroma = _mm_add_epi16(*chroma, _mm_srli_epi16(vb, 8));
    }
}

// Interleaves per-pair luma sums (Y'0, Y'1 word pairs) with chroma sums (U, V
// word pairs), rounds by `count` (a power of two) and packs four output pairs.
template <int Count>
ZP_SSE2 inline __m128i FinishPairs(__m128i lumaWords, __m128i chromaWords)
{
    const int shift = Count == 2 ? 1 : Count == 4 ? 2 : 3;
    const __m128i half = _mm_set1_epi16(Count / 2);
    const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_unpacklo_epi16(lumaWords, chromaWords), half), shift);
    const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_unpackhi_epi16(lumaWords, chromaWords), half), shift);
    return _mm_packus_epi16(lo, hi);
}

// Box 2 across: 32 source bytes (eight pairs) make four output pairs.
template <int N>
ZP_SSE2 inline void BoxH2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs)
{
    const __m128i ones = _mm_set1_epi16(1);
    auto step = [&](int p) __attribute__((target("sse2"))) {
        __m128i l0, c0, l1, c1;
        SplitRows<N>(a, b, 8 * p, &l0, &c0);
        SplitRows<N>(a, b, 8 * p + 16, &l1, &c1);
        // Neighbouring luma words add up to one output pixel each.
        const __m128i luma = _mm_packs_epi32(_mm_madd_epi16(l0, ones), _mm_madd_epi16(l1, ones));
        // Chroma of pairs 2k and 2k+1 add up in dword 2k; gather dwords 0, 2.
        const __m128i s0 = _mm_shuffle_epi32(_mm_add_epi16(c0, _mm_srli_si128(c0, 4)), _MM_SHUFFLE(2, 0, 2, 0));
        const __m128i s1 = _mm_shuffle_epi32(_mm_add_epi16(c1, _mm_srli_si128(c1, 4)), _MM_SHUFFLE(2, 0, 2, 0));
        Store(dst + 4 * p, FinishPairs<2 * N>(luma, _mm_unpacklo_epi64(s0, s1)));
    };
    if (!Cover(outPairs, 4, step)) {
        if (N == 1) BoxH2V1Row_C(a, b, dst, outPairs);
        else BoxH2V2Row_C(a, b, dst, outPairs);
    }
}

// Box 4 across: 64 source bytes (sixteen pairs) make four output pairs.
template <int N>
ZP_SSE2 inline void BoxH4(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs)
{
    const __m128i ones = _mm_set1_epi16(1);
    auto step = [&](int p) __attribute__((target("sse2"))) {
        __m128i l[4], c[4];
        for (int k = 0; k < 4; ++k) SplitRows<N>(a, b, 16 * p + 16 * k, &l[k], &c[k]);
        // Luma: pixel sums of two, then of four.
        const __m128i y01 = _mm_madd_epi16(_mm_packs_epi32(_mm_madd_epi16(l[0], ones), _mm_madd_epi16(l[1], ones)), ones);
        const __m128i y23 = _mm_madd_epi16(_mm_packs_epi32(_mm_madd_epi16(l[2], ones), _mm_madd_epi16(l[3], ones)), ones);
        // Chroma: the four pairs' U and V fold into dword 0.
        __m128i s[4];
        for (int k = 0; k < 4; ++k) {
            const __m128i h = _mm_add_epi16(c[k], _mm_srli_si128(c[k], 8));
            s[k] = _mm_add_epi16(h, _mm_srli_si128(h, 4));
        }
        const __m128i chroma = _mm_unpacklo_epi64(_mm_unpacklo_epi32(s[0], s[1]), _mm_unpacklo_epi32(s[2], s[3]));
        Store(dst + 4 * p, FinishPairs<4 * N>(_mm_packs_epi32(y01, y23), chroma));
    };
    if (!Cover(outPairs, 4, step)) {
        if (N == 1) BoxH4V1Row_C(a, b, dst, outPairs);
        else BoxH4V2Row_C(a, b, dst, outPairs);
    }
}

}  // namespace

ZP_SSE2 void BoxH2V1Row_SSE2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxH2<1>(a, b, dst, outPairs); }
ZP_SSE2 void BoxH2V2Row_SSE2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxH2<2>(a, b, dst, outPairs); }
ZP_SSE2 void BoxH4V1Row_SSE2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxH4<1>(a, b, dst, outPairs); }
ZP_SSE2 void BoxH4V2Row_SSE2(const UCHAR* a, const UCHAR* b, UCHAR* dst, int outPairs) { BoxH4<2>(a, b, dst, outPairs); }

// The accumulator rows keep a plain loop for the tail: an overlapping vector
// would add a row twice into accumulators it already updated.
ZP_SSE2 void AccStartRow_SSE2(USHORT* acc, const UCHAR* src, int weight, int bytes)
{
    const __m128i w = _mm_set1_epi16((short)weight);
    const __m128i zero = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= bytes; i += 16) {
        const __m128i s = Load(src + i);
        Store(acc + i, _mm_mullo_epi16(_mm_unpacklo_epi8(s, zero), w));
        Store(acc + i + 8, _mm_mullo_epi16(_mm_unpackhi_epi8(s, zero), w));
    }
    AccStartRow_C(acc + i, src + i, weight, bytes - i);
}

ZP_SSE2 void AccAddRow_SSE2(USHORT* acc, const UCHAR* src, int weight, int bytes)
{
    const __m128i w = _mm_set1_epi16((short)weight);
    const __m128i zero = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= bytes; i += 16) {
        const __m128i s = Load(src + i);
        Store(acc + i, _mm_add_epi16(Load(acc + i), _mm_mullo_epi16(_mm_unpacklo_epi8(s, zero), w)));
        Store(acc + i + 8, _mm_add_epi16(Load(acc + i + 8), _mm_mullo_epi16(_mm_unpackhi_epi8(s, zero), w)));
    }
    AccAddRow_C(acc + i, src + i, weight, bytes - i);
}

ZP_SSE2 void AccFinishRow_SSE2(const USHORT* acc, const UCHAR* src, int weight, UCHAR* dst, int bytes)
{
    const __m128i w = _mm_set1_epi16((short)weight);
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi16(64);
    auto step = [&](int i) __attribute__((target("sse2"))) {
        const __m128i s = Load(src + i);
        const __m128i lo = _mm_add_epi16(_mm_add_epi16(Load(acc + i), half), _mm_mullo_epi16(_mm_unpacklo_epi8(s, zero), w));
        const __m128i hi = _mm_add_epi16(_mm_add_epi16(Load(acc + i + 8), half), _mm_mullo_epi16(_mm_unpackhi_epi8(s, zero), w));
        Store(dst + i, _mm_packus_epi16(_mm_srli_epi16(lo, 7), _mm_srli_epi16(hi, 7)));
    };
    if (!Cover(bytes, 16, step)) AccFinishRow_C(acc, src, weight, dst, bytes);
}

ZP_SSE2 void Blend2Row_SSE2(const UCHAR* a, int wa, const UCHAR* b, int wb, UCHAR* dst, int bytes)
{
    const __m128i va = _mm_set1_epi16((short)wa), vb = _mm_set1_epi16((short)wb);
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi16(64);
    auto step = [&](int i) __attribute__((target("sse2"))) {
        const __m128i x = Load(a + i), y = Load(b + i);
        const __m128i lo = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(x, zero), va), half),
                                         _mm_mullo_epi16(_mm_unpacklo_epi8(y, zero), vb));
        const __m128i hi = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(x, zero), va), half),
                                         _mm_mullo_epi16(_mm_unpackhi_epi8(y, zero), vb));
        Store(dst + i, _mm_packus_epi16(_mm_srli_epi16(lo, 7), _mm_srli_epi16(hi, 7)));
    };
    if (!Cover(bytes, 16, step)) Blend2Row_C(a, wa, b, wb, dst, bytes);
}

ZP_SSE2 void CopyRow_SSE2(const UCHAR* src, UCHAR* dst, int bytes) { memcpy(dst, src, (size_t)bytes); }

// ------------------------------------------------------ interpolation ----

namespace {

// SSE2 has neither a byte blend nor a test for zero: both are built from
// what it has.
struct V {
    using Vec = __m128i;
    static constexpr int kBytes = 16;
    ZP_SSE2 static Vec Load(const UCHAR* p) { return _mm_loadu_si128((const __m128i*)p); }
    ZP_SSE2 static void Store(UCHAR* p, Vec v) { _mm_storeu_si128((__m128i*)p, v); }
    ZP_SSE2 static Vec Zero() { return _mm_setzero_si128(); }
    ZP_SSE2 static Vec Set16(int x) { return _mm_set1_epi16((short)x); }
    ZP_SSE2 static Vec Or(Vec a, Vec b) { return _mm_or_si128(a, b); }
    ZP_SSE2 static Vec And(Vec a, Vec b) { return _mm_and_si128(a, b); }
    ZP_SSE2 static Vec AndNot(Vec a, Vec b) { return _mm_andnot_si128(a, b); }
    ZP_SSE2 static Vec MaxU8(Vec a, Vec b) { return _mm_max_epu8(a, b); }
    ZP_SSE2 static Vec MinU8(Vec a, Vec b) { return _mm_min_epu8(a, b); }
    ZP_SSE2 static Vec AvgU8(Vec a, Vec b) { return _mm_avg_epu8(a, b); }
    ZP_SSE2 static Vec SubsU8(Vec a, Vec b) { return _mm_subs_epu8(a, b); }
    ZP_SSE2 static Vec AddsU8(Vec a, Vec b) { return _mm_adds_epu8(a, b); }
    ZP_SSE2 static Vec Ones() { return _mm_set1_epi32(-1); }
    ZP_SSE2 static Vec CmpEq8(Vec a, Vec b) { return _mm_cmpeq_epi8(a, b); }
    template <int N>
    ZP_SSE2 static Vec Shr16(Vec a) { return _mm_srli_epi16(a, N); }
    ZP_SSE2 static Vec Blend(Vec a, Vec b, Vec mask) { return _mm_or_si128(_mm_and_si128(mask, b), _mm_andnot_si128(mask, a)); }
    ZP_SSE2 static Vec LumaOf(const UCHAR* p)
    {
        const __m128i low = _mm_set1_epi16(0x00FF);
        return _mm_packus_epi16(_mm_and_si128(Load(p), low), _mm_and_si128(Load(p + 16), low));
    }
    ZP_SSE2 static Vec LoadWords(const UCHAR* p) { return _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i*)p), Zero()); }
    ZP_SSE2 static bool IsZero(Vec a) { return _mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_setzero_si128())) == 0xFFFF; }
};

#define ZP_TARGET ZP_SSE2
#define ZP_STEP __attribute__((target("sse2"), always_inline))
#include "pipeline/deinterlace_simd.h"
#undef ZP_TARGET
#undef ZP_STEP

}  // namespace

ZP_SSE2 void DifferenceRow_SSE2(const UCHAR* previous, const UCHAR* second, UCHAR* difference, ULONGLONG* moved,
                                int pairs)
{
    DifferenceRowT(previous, second, difference, moved, pairs);
}

ZP_SSE2 void InterpolateRow_SSE2(const FieldLines& l, UCHAR* dst, int pairs) { InterpolateRowT(l, dst, pairs); }

const RowKernels kRowsSse2 = {
    .name = "SSE2",
    .difference = DifferenceRow_SSE2,
    .interpolate = InterpolateRow_SSE2,
    .adjust = AdjustRow_SSE2,
    .toRgb24 = ToRgb24Row_SSE2,
    .toI420 = ToI420Row_SSE2,
    .boxH1V2 = BoxH1V2Row_SSE2,
    .boxH2V1 = BoxH2V1Row_SSE2,
    .boxH2V2 = BoxH2V2Row_SSE2,
    .boxH4V1 = BoxH4V1Row_SSE2,
    .boxH4V2 = BoxH4V2Row_SSE2,
    .accStart = AccStartRow_SSE2,
    .accAdd = AccAddRow_SSE2,
    .accFinish = AccFinishRow_SSE2,
    .blend2 = Blend2Row_SSE2,
    .copy = CopyRow_SSE2,
};

}  // namespace zelpipe
