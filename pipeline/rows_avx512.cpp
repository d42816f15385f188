// AVX-512 rows (F, BW, VL and VBMI). Each produces exactly the bytes of its C
// reference row. Only the functions here carry the AVX-512 target; pipeline.cpp
// picks this level at run time when the processor and the operating system
// support it, and every row this level does not improve is the AVX2 one.
//
// Kernel build: the ZMM and opmask registers are extended processor state; a
// kernel-mode caller brackets a conversion with
// KeSaveExtendedProcessorState / KeRestoreExtendedProcessorState using
// XSTATE_MASK_AVX | XSTATE_MASK_AVX512 (Run in pipeline.cpp marks the place).
#include <immintrin.h>

#include "pipeline/rows.h"
#include "pipeline/rows_avx512.h"

#define ZP_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))
#define ZP_AVX512_STEP __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"), always_inline))

namespace zelpipe {

namespace {

// ------------------------------------------------------------- RGB24 ----
//
// 64 pixels (32 pairs, 128 source bytes) a step. The two source vectors are
// split by byte permutes into four vectors of 32 words: the first pixel's
// luma, the second pixel's luma, U and V of every pair, each byte in the high
// half of its word (the products below want it times 256). The chroma terms
// are then worked out once per pair and added to both pixels' luma, which
// gives six word vectors: B, G and R of the first and of the second pixels.
// Packed to bytes, they are three vectors of 64 B, G and R bytes, and two
// permutes per output vector lay them out as 64 bytes of B, G, R triples.
// On Zen 4 the step is bound by vector issue as a whole (about 37 operations
// per 64 pixels); variants measured no faster: pixel-order words with
// in-dword rotates (fewer permutes, more shifts), blue without saturating
// adds (more plain operations), shifts done as multiplies, two blocks a loop.
//
// Exactness (see the colour block in pipeline_internal.h): every product is a
// 16 x 16-bit high half as in the C row; t = y64 + bias lies in -1160..17842,
// twice the blue term in -16524..16394, the green term in -9870..9870, the
// red term in -13075..13024. So green and red sums cannot overflow, and the
// blue sum only saturates at 32767 where the C row clamps to 255 anyway.

constexpr int kStepPixels = 64;

struct Table64 {
    alignas(64) unsigned char b[64];
};

// Word w of the result takes source byte 4 * w + offset (pair w's Y0, U, Y1
// or V) in its high byte; the low byte is zeroed by the permute's mask.
constexpr Table64 SplitIndex(int offset)
{
    Table64 t{};
    for (int k = 0; k < 64; ++k) t.b[k] = (k & 1) ? (unsigned char)(4 * (k / 2) + offset) : 0;
    return t;
}

// Where pixel p of a step sits in a packed component vector: packing word
// vectors a (first pixels) and b (second pixels) keeps 128-bit lanes, so lane
// i holds pairs 8i..8i+7 of a, then the same pairs of b.
constexpr int Packed(int p) { return 16 * (p / 2 / 8) + 8 * (p % 2) + (p / 2) % 8; }

// Output vector `part` (bytes 64 * part.. of the step's 192) from the packed
// B and G vectors (B from the first table, G from the second); R bytes are
// left for the second permute.
constexpr Table64 BlueGreenIndex(int part)
{
    Table64 t{};
    for (int k = 0; k < 64; ++k) {
        const int o = 64 * part + k, p = o / 3, c = o % 3;
        t.b[k] = c == 0 ? (unsigned char)Packed(p) : c == 1 ? (unsigned char)(64 + Packed(p)) : 0;
    }
    return t;
}

constexpr Table64 RedIndex(int part)
{
    Table64 t{};
    for (int k = 0; k < 64; ++k) {
        const int o = 64 * part + k;
        t.b[k] = o % 3 == 2 ? (unsigned char)Packed(o / 3) : 0;
    }
    return t;
}

constexpr unsigned long long RedMask(int part)
{
    unsigned long long m = 0;
    for (int k = 0; k < 64; ++k) {
        if ((64 * part + k) % 3 == 2) m |= 1ULL << k;
    }
    return m;
}

constexpr Table64 kSplitY0 = SplitIndex(0);
constexpr Table64 kSplitU = SplitIndex(1);
constexpr Table64 kSplitY1 = SplitIndex(2);
constexpr Table64 kSplitV = SplitIndex(3);
constexpr Table64 kBlueGreen[3] = {BlueGreenIndex(0), BlueGreenIndex(1), BlueGreenIndex(2)};
constexpr Table64 kRed[3] = {RedIndex(0), RedIndex(1), RedIndex(2)};
constexpr unsigned long long kRedMask[3] = {RedMask(0), RedMask(1), RedMask(2)};
constexpr unsigned long long kHighBytes = 0xAAAAAAAAAAAAAAAAULL;

// The low `n` bits set (n clamped to 0..64).
inline unsigned long long LowBits(int n)
{
    return n <= 0 ? 0 : n >= 64 ? ~0ULL : (1ULL << n) - 1;
}

struct Rgb24Constants {
    __m512i splitY0, splitU, splitY1, splitV;
    __m512i blueGreen[3], red[3];
    __m512i toSigned, coefY, bias, coefUB, coefVR, coefUG, coefVG;
};

ZP_AVX512 inline __m512i LoadTable(const Table64& t) { return _mm512_load_si512((const void*)t.b); }

ZP_AVX512 inline void LoadConstants(Rgb24Constants* k)
{
    k->splitY0 = LoadTable(kSplitY0);
    k->splitU = LoadTable(kSplitU);
    k->splitY1 = LoadTable(kSplitY1);
    k->splitV = LoadTable(kSplitV);
    for (int i = 0; i < 3; ++i) {
        k->blueGreen[i] = LoadTable(kBlueGreen[i]);
        k->red[i] = LoadTable(kRed[i]);
    }
    k->toSigned = _mm512_set1_epi16((short)0x8000);
    k->coefY = _mm512_set1_epi16(kCoefY);
    k->bias = _mm512_set1_epi16(kColourBias);
    k->coefUB = _mm512_set1_epi16(kCoefUBHalf);
    k->coefVR = _mm512_set1_epi16(kCoefVR);
    k->coefUG = _mm512_set1_epi16(kCoefUG);
    k->coefVG = _mm512_set1_epi16(kCoefVG);
}

// 64 pixels from the source vectors s0, s1 into three output vectors.
ZP_AVX512_STEP inline void Rgb24Step(const Rgb24Constants& k, __m512i s0, __m512i s1, __m512i out[3])
{
    const __mmask64 high = kHighBytes;
    const __m512i y0 = _mm512_maskz_permutex2var_epi8(high, s0, k.splitY0, s1);
    const __m512i y1 = _mm512_maskz_permutex2var_epi8(high, s0, k.splitY1, s1);
    const __m512i u = _mm512_xor_si512(_mm512_maskz_permutex2var_epi8(high, s0, k.splitU, s1), k.toSigned);
    const __m512i v = _mm512_xor_si512(_mm512_maskz_permutex2var_epi8(high, s0, k.splitV, s1), k.toSigned);

    const __m512i t0 = _mm512_add_epi16(_mm512_mulhi_epu16(y0, k.coefY), k.bias);
    const __m512i t1 = _mm512_add_epi16(_mm512_mulhi_epu16(y1, k.coefY), k.bias);
    const __m512i blueHalf = _mm512_mulhi_epi16(u, k.coefUB);
    const __m512i blue = _mm512_add_epi16(blueHalf, blueHalf);
    const __m512i red = _mm512_mulhi_epi16(v, k.coefVR);
    const __m512i green = _mm512_add_epi16(_mm512_mulhi_epi16(u, k.coefUG), _mm512_mulhi_epi16(v, k.coefVG));

    const __m512i b = _mm512_packus_epi16(_mm512_srai_epi16(_mm512_adds_epi16(t0, blue), 6),
                                          _mm512_srai_epi16(_mm512_adds_epi16(t1, blue), 6));
    const __m512i g = _mm512_packus_epi16(_mm512_srai_epi16(_mm512_sub_epi16(t0, green), 6),
                                          _mm512_srai_epi16(_mm512_sub_epi16(t1, green), 6));
    const __m512i r = _mm512_packus_epi16(_mm512_srai_epi16(_mm512_add_epi16(t0, red), 6),
                                          _mm512_srai_epi16(_mm512_add_epi16(t1, red), 6));
    for (int i = 0; i < 3; ++i) {
        const __m512i bg = _mm512_permutex2var_epi8(b, k.blueGreen[i], g);
        out[i] = _mm512_mask_permutexvar_epi8(bg, kRedMask[i], k.red[i], r);
    }
}

}  // namespace

ZP_AVX512 void ToRgb24Row_AVX512(const UCHAR* src, UCHAR* dst, int pixels, const GammaCurve* gamma)
{
    if (pixels <= 0) return;
    if (gamma) {
        // The luma goes through the curve in chunks into a stack copy (the
        // AVX2 row does the look-up), which then converts as usual.
        constexpr int kChunk = 256;  // pixels, even so chunks start on a pair
        UCHAR mapped[kChunk * 2];
        for (int x = 0; x < pixels; x += kChunk) {
            const int n = pixels - x < kChunk ? pixels - x : kChunk;
            AdjustRow_AVX2(src + 2 * x, mapped, (n + 1) / 2, false, gamma);
            ToRgb24Row_AVX512(mapped, dst + 3 * x, n, nullptr);
        }
        return;
    }
    Rgb24Constants k;
    LoadConstants(&k);
    __m512i out[3];
    int x = 0;
    for (; x + kStepPixels <= pixels; x += kStepPixels) {
        const UCHAR* s = src + 2 * x;
        Rgb24Step(k, _mm512_loadu_si512((const void*)s), _mm512_loadu_si512((const void*)(s + 64)), out);
        UCHAR* d = dst + 3 * x;
        _mm512_storeu_si512((void*)d, out[0]);
        _mm512_storeu_si512((void*)(d + 64), out[1]);
        _mm512_storeu_si512((void*)(d + 128), out[2]);
    }
    if (x == pixels) return;
    // The rest (1..63 pixels) in one masked step: the source up to the end of
    // the last (possibly half-used) pair, the destination up to its last byte.
    // Masked-off bytes are neither read nor written, so nothing past either
    // row is touched.
    const int rest = pixels - x;
    const int srcBytes = (rest + 1) / 2 * 4, dstBytes = rest * 3;
    const UCHAR* s = src + 2 * x;
    UCHAR* d = dst + 3 * x;
    const __m512i s0 = _mm512_maskz_loadu_epi8(LowBits(srcBytes), (const void*)s);
    const __m512i s1 = srcBytes > 64 ? _mm512_maskz_loadu_epi8(LowBits(srcBytes - 64), (const void*)(s + 64))
                                     : _mm512_setzero_si512();
    Rgb24Step(k, s0, s1, out);
    _mm512_mask_storeu_epi8((void*)d, LowBits(dstBytes), out[0]);
    if (dstBytes > 64) _mm512_mask_storeu_epi8((void*)(d + 64), LowBits(dstBytes - 64), out[1]);
    if (dstBytes > 128) _mm512_mask_storeu_epi8((void*)(d + 128), LowBits(dstBytes - 128), out[2]);
}

// ------------------------------------------------------------- table ----

namespace {

// Zero-initialised (no constructor) and filled once: state 0 empty,
// 1 being filled, 2 ready. Concurrent first callers wait for the filler.
RowKernels gRowsAvx512;
LONG gRowsAvx512State;

}  // namespace

const RowKernels* RowsAvx512()
{
    if (__atomic_load_n(&gRowsAvx512State, __ATOMIC_ACQUIRE) == 2) return &gRowsAvx512;
    LONG expected = 0;
    if (__atomic_compare_exchange_n(&gRowsAvx512State, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE)) {
        gRowsAvx512 = kRowsAvx2;
        gRowsAvx512.name = "AVX512";
        gRowsAvx512.toRgb24 = ToRgb24Row_AVX512;
        __atomic_store_n(&gRowsAvx512State, 2, __ATOMIC_RELEASE);
        return &gRowsAvx512;
    }
    while (__atomic_load_n(&gRowsAvx512State, __ATOMIC_ACQUIRE) != 2) __builtin_ia32_pause();
    return &gRowsAvx512;
}

}  // namespace zelpipe
