// The difference and rebuilding rows, written once for every vector width.
//
// Included by a SIMD row file inside its own anonymous namespace, after it
// defines ZP_TARGET (its target attribute), ZP_STEP (the same, always
// inlined) and a struct V of vector operations on its width (V::kBytes, 16
// or 32): Load, Store, Zero, Set16, Or, And, AndNot (~a & b), MaxU8, MinU8,
// AvgU8, SubsU8, AddsU8, Add16, Sub16, Shl16<n>, Sar16<n>, CmpGt16, Blend
// (b where the mask is set, else a), UnpackLo8, UnpackHi8, PackUs16, IsZero.
// Most operations work within 128-bit lanes; the only place that matters is
// the four-tap curve, which unpacks to words and packs back within the same
// lanes, so the bytes come back in order.
//
// Every sample is worked on byte-wise (u8, saturating where the C row's
// value cannot leave 0..255, which keeps the results equal) except the two
// pieces that need more range: the four-tap curve, in words, and the luma
// direction costs, summed in words over the luma bytes only (the low byte of
// each YUYV word). Steps start on a pair, so even bytes are luma.

// Bytes at either end of a line whose neighbourhoods run past it: the end
// steps make them.
constexpr int kEdgeBytes = 8;
static_assert(kEdgeBytes >= kActivityReach && kEdgeBytes >= 2 * kDirectionMargin, "edges cover every reach");

ZP_STEP inline typename V::Vec AbsDiff(typename V::Vec a, typename V::Vec b)
{
    return V::Or(V::SubsU8(a, b), V::SubsU8(b, a));
}

// The difference bytes of one chunk from byte i on; whether any is nonzero.
ZP_STEP inline bool DifferenceChunk(const UCHAR* previous, const UCHAR* second, UCHAR* difference, int i)
{
    typename V::Vec any = V::Zero();
    for (int o = 0; o < kChunkBytes; o += V::kBytes) {
        const typename V::Vec x = AbsDiff(V::Load(second + i + o), V::Load(previous + i + o));
        V::Store(difference + i + o, x);
        any = V::Or(any, x);
    }
    return !V::IsZero(any);
}

// A whole difference row (at least one chunk long) and its chunk bits. A
// short last chunk is measured over the chunk's width ending at the line's
// end, which may set its bit for a difference in the chunk before: a bit is
// only ever clear where its chunk has no difference.
ZP_TARGET inline ULONGLONG DifferenceLine(const UCHAR* previous, const UCHAR* second, UCHAR* difference, int bytes)
{
    ULONGLONG bits = 0;
    int k = 0;
    for (; (k + 1) * kChunkBytes <= bytes; ++k) {
        if (DifferenceChunk(previous, second, difference, k * kChunkBytes)) bits |= 1ull << k;
    }
    if (k * kChunkBytes < bytes && DifferenceChunk(previous, second, difference, bytes - kChunkBytes)) {
        bits |= 1ull << k;
    }
    memset(difference + bytes, 0, kActivityReach);
    return bits;
}

// The activity of bytes i .. i + V::kBytes - 1 from the motion row (the
// three lines' largest differences, zero past the line's ends).
ZP_STEP inline typename V::Vec ActivityAt(const UCHAR* motion, int i)
{
    const UCHAR* t = motion + i;
    // Offsets 0, 4, 8 either way reach samples of every kind; 2 and 6 reach
    // luma only (for chroma they land on the other component).
    const typename V::Vec both =
        V::MaxU8(V::MaxU8(V::MaxU8(V::Load(t - 8), V::Load(t - 4)), V::MaxU8(V::Load(t), V::Load(t + 4))), V::Load(t + 8));
    const typename V::Vec luma =
        V::MaxU8(V::MaxU8(V::Load(t - 6), V::Load(t - 2)), V::MaxU8(V::Load(t + 2), V::Load(t + 6)));
    return V::MaxU8(both, V::And(luma, V::Set16(0x00FF)));
}

// The four-tap curve of bytes a, b, c, d kept within b and c.
ZP_STEP inline typename V::Vec CubicHalf(typename V::Vec a, typename V::Vec b, typename V::Vec c, typename V::Vec d)
{
    const typename V::Vec bc = V::Add16(b, c);
    const typename V::Vec nine = V::Add16(V::template Shl16<3>(bc), bc);
    return V::template Sar16<4>(V::Add16(V::Sub16(nine, V::Add16(a, d)), V::Set16(8)));
}

ZP_STEP inline typename V::Vec Cubic(typename V::Vec a, typename V::Vec b, typename V::Vec c, typename V::Vec d)
{
    const typename V::Vec z = V::Zero();
    const typename V::Vec lo = CubicHalf(V::UnpackLo8(a, z), V::UnpackLo8(b, z), V::UnpackLo8(c, z), V::UnpackLo8(d, z));
    const typename V::Vec hi = CubicHalf(V::UnpackHi8(a, z), V::UnpackHi8(b, z), V::UnpackHi8(c, z), V::UnpackHi8(d, z));
    return V::MinU8(V::MaxU8(V::PackUs16(lo, hi), V::MinU8(b, c)), V::MaxU8(b, c));
}

// Luma direction cost in words: |c[x + k + j] - e[x - k + j]| over
// j = -1, 0, 1 pixels (2 bytes a pixel).
ZP_STEP inline typename V::Vec DirectionCost(const UCHAR* c, const UCHAR* e, int i, int k)
{
    const typename V::Vec lowBytes = V::Set16(0x00FF);
    const typename V::Vec left = AbsDiff(V::Load(c + i + 2 * (k - 1)), V::Load(e + i - 2 * (k + 1)));
    const typename V::Vec middle = AbsDiff(V::Load(c + i + 2 * k), V::Load(e + i - 2 * k));
    const typename V::Vec right = AbsDiff(V::Load(c + i + 2 * (k + 1)), V::Load(e + i - 2 * (k - 1)));
    return V::Add16(V::Add16(V::And(left, lowBytes), V::And(middle, lowBytes)), V::And(right, lowBytes));
}

// The diagonals one and two pixels off vertical on one side: one off wins
// where it costs less than the best so far (doubled, plus the penalty), two
// off only where one off won.
template <bool kEdge, int kSide>
ZP_STEP inline void TryDiagonals(const UCHAR* cl, const UCHAR* el, typename V::Vec diagonals, typename V::Vec* best,
                                 typename V::Vec* estimate)
{
    const typename V::Vec lowBytes = V::Set16(0x00FF);
    const typename V::Vec penalty = V::Set16(kDiagonalPenalty);
    const typename V::Vec near = V::Add16(V::template Shl16<1>(DirectionCost(cl, el, 0, kSide)), penalty);
    typename V::Vec takeNear = V::CmpGt16(*best, near);
    if (kEdge) takeNear = V::And(takeNear, diagonals);
    // Where one off lost, takeFar is clear too: no test for it, since
    // whether any word won changes from step to step and a mispredicted
    // branch costs more than the far costs it would skip.
    *best = V::Blend(*best, near, takeNear);
    *estimate = V::Blend(*estimate, V::And(V::AvgU8(V::Load(cl + 2 * kSide), V::Load(el - 2 * kSide)), lowBytes), takeNear);
    const typename V::Vec far = V::Add16(V::template Shl16<1>(DirectionCost(cl, el, 0, 2 * kSide)), penalty);
    const typename V::Vec takeFar = V::And(takeNear, V::CmpGt16(*best, far));
    *best = V::Blend(*best, far, takeFar);
    *estimate = V::Blend(*estimate, V::And(V::AvgU8(V::Load(cl + 4 * kSide), V::Load(el - 4 * kSide)), lowBytes), takeFar);
}

// Rebuilt bytes i .. i + V::kBytes - 1. The first field's lines n and
// n + 1 are read at c and e (their byte i), which at a line's ends point
// into padded copies; there `diagonals` clears the luma words the direction
// search must leave alone (within kDirectionMargin pixels of an end).
template <bool kEdge>
ZP_STEP inline void InterpolateStep(const FieldLines& l, const UCHAR* motion, UCHAR* dst, int i, const UCHAR* cl,
                                    const UCHAR* el, typename V::Vec diagonals)
{
    const typename V::Vec lowBytes = V::Set16(0x00FF);
    const typename V::Vec d = V::AvgU8(V::Load(l.second[1] + i), V::Load(l.previous[1] + i));
    const typename V::Vec activity = ActivityAt(motion, i);
    if (V::IsZero(activity)) {
        V::Store(dst + i, d);  // still: no allowance, the temporal estimate as it is
        return;
    }
    const typename V::Vec c = V::Load(cl), e = V::Load(el);
    const typename V::Vec above = V::AvgU8(V::Load(l.second[0] + i), V::Load(l.previous[0] + i));
    const typename V::Vec below = V::AvgU8(V::Load(l.second[2] + i), V::Load(l.previous[2] + i));
    // The comb measure where positive (all the allowance looks at).
    const typename V::Vec low = V::MinU8(V::SubsU8(d, V::MaxU8(c, e)), V::MaxU8(V::SubsU8(above, c), V::SubsU8(below, e)));
    const typename V::Vec negHigh =
        V::MinU8(V::SubsU8(V::MinU8(c, e), d), V::MaxU8(V::SubsU8(c, above), V::SubsU8(e, below)));
    static_assert(kCombGain == 16, "four doublings");
    typename V::Vec gain = V::AddsU8(activity, activity);
    gain = V::AddsU8(gain, gain);
    gain = V::AddsU8(gain, gain);
    gain = V::AddsU8(gain, gain);
    const typename V::Vec allowance = V::MaxU8(activity, V::MinU8(V::MaxU8(low, negHigh), gain));

    const typename V::Vec cubic = Cubic(V::Load(l.first[0] + i), c, e, V::Load(l.first[3] + i));
    typename V::Vec estimate = V::And(cubic, lowBytes);
    typename V::Vec best = DirectionCost(cl, el, 0, 0);
    const typename V::Vec penalty = V::Set16(kDiagonalPenalty);
    // A diagonal costs at least the penalty, so it can only win where the
    // vertical costs more than that: flat and plain vertical detail skip the
    // search.
    if (!V::IsZero(V::CmpGt16(best, penalty))) {
        TryDiagonals<kEdge, -1>(cl, el, diagonals, &best, &estimate);
        TryDiagonals<kEdge, 1>(cl, el, diagonals, &best, &estimate);
    }
    const typename V::Vec spatial = V::Or(estimate, V::AndNot(lowBytes, cubic));
    V::Store(dst + i, V::MinU8(V::MaxU8(spatial, V::SubsU8(d, allowance)), V::AddsU8(d, allowance)));
}

// Where the direction search may work in an end step: bytes 0 .. 5 of a
// line's first step and the last six of its last step are left out.
alignas(64) constexpr UCHAR kDiagonalsKept[64] = {
    0,    0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,    0,    0};
static_assert(2 * kDirectionMargin == 6, "the table leaves out three pixels at each end");

// The first and last step of a line: the two first-field lines the
// direction search reads past the line's end are copied next to zero bytes
// (which only the left-out words would see), so nothing outside the line is
// read. Vector stores build the copies; the line is at least a step and the
// padding long.
ZP_STEP inline void PaddedCopy(const UCHAR* line, int i, bool last, UCHAR* copy)
{
    constexpr int kPad = 2 * kDirectionMargin;
    if (last) {
        V::Store(copy + 2 * kPad, V::Zero());       // the bytes past the end
        V::Store(copy, V::Load(line + i - kPad));   // from kPad bytes before the step
        V::Store(copy + kPad, V::Load(line + i));   // up to the line's end
    } else {
        V::Store(copy, V::Zero());                  // the bytes before the start
        V::Store(copy + kPad, V::Load(line));       // the step's own bytes
        V::Store(copy + 2 * kPad, V::Load(line + kPad));  // and kPad more
    }
}

ZP_STEP inline void EdgeStep(const FieldLines& l, const UCHAR* motion, UCHAR* dst, int bytes, bool last)
{
    constexpr int kPad = 2 * kDirectionMargin;
    UCHAR c[V::kBytes + 2 * kPad], e[V::kBytes + 2 * kPad];
    const int i = last ? bytes - V::kBytes : 0;
    PaddedCopy(l.first[1], i, last, c);
    PaddedCopy(l.first[2], i, last, e);
    const typename V::Vec keep = V::Load(last ? kDiagonalsKept + 64 - V::kBytes : kDiagonalsKept);
    InterpolateStep<true>(l, motion, dst, i, c + kPad, e + kPad, keep);
}

// The motion row's chunk k: the three lines' largest difference, over the
// chunk's width ending at the line's end for a short last chunk.
ZP_STEP inline void MotionChunk(const FieldLines& l, UCHAR* motion, int k, int bytes)
{
    int i = k * kChunkBytes;
    if (i + kChunkBytes > bytes) i = bytes - kChunkBytes;
    for (int o = i; o < i + kChunkBytes; o += V::kBytes) {
        V::Store(motion + o, V::MaxU8(V::MaxU8(V::Load(l.difference[0] + o), V::Load(l.difference[1] + o)),
                                      V::Load(l.nextDifference + o)));
    }
}

inline ULONGLONG Spread(ULONGLONG bits) { return bits | (bits << 1) | (bits >> 1); }

// The lowest set bit of a nonzero word, by halves: a 64-bit count would be
// a run-time library call in the 32-bit kernel build.
inline int LowestSetBit(ULONGLONG bits)
{
    const ULONG low = (ULONG)bits;
    return low ? __builtin_ctz(low) : 32 + __builtin_ctz((ULONG)(bits >> 32));
}

// The difference kernel: lines shorter than a chunk from the C row.
ZP_TARGET inline void DifferenceRowT(const UCHAR* previous, const UCHAR* second, UCHAR* difference, ULONGLONG* moved,
                                     int pairs)
{
    const int bytes = 4 * pairs;
    if (bytes < kChunkBytes) {
        DifferenceRow_C(previous, second, difference, moved, pairs);
        return;
    }
    *moved = DifferenceLine(previous, second, difference, bytes);
}

// The rebuilding kernel. Chunks with no activity near them are the second
// field's bytes, copied as runs; every other chunk is rebuilt in steps that
// stay inside the edges (a step may also cover part of a neighbouring
// chunk, with the same bytes that chunk gets), and the edges of a line whose
// end chunks move come from the C bytes. Lines too short for one step
// inside the edges come from the C row.
ZP_TARGET inline void InterpolateRowT(const FieldLines& l, UCHAR* dst, int pairs)
{
    const int bytes = 4 * pairs;
    if (bytes < kChunkBytes + 2 * kEdgeBytes) {
        InterpolateRow_C(l, dst, pairs);
        return;
    }
    const ULONGLONG next = DifferenceLine(l.previous[2], l.second[2], l.nextDifference, bytes);
    *l.nextMoved = next;
    const int chunks = (bytes + kChunkBytes - 1) / kChunkBytes;
    const ULONGLONG all = chunks == 64 ? ~0ull : (1ull << chunks) - 1;
    // Activity reaches at most into the neighbouring chunk.
    const ULONGLONG moving = Spread(l.moved[0] | l.moved[1] | next) & all;
    if (moving == 0) {
        memcpy(dst, l.second[1], (SIZE_T)bytes);
        return;
    }
    // A step reads the motion row up to kActivityReach bytes past its own,
    // and a step held inside the edges starts up to two chunks back.
    ULONGLONG build = Spread(Spread(moving)) & all;
    while (build) {
        MotionChunk(l, l.motion, LowestSetBit(build), bytes);
        build &= build - 1;
    }
    memset(l.motion + bytes, 0, kActivityReach);

    const UCHAR* second = l.second[1];
    int k = 0;
    while (k < chunks) {
        const ULONGLONG ahead = moving >> k;
        if ((ahead & 1) == 0) {
            // A run of chunks without activity, up to the next moving one.
            const int end = ahead ? k + LowestSetBit(ahead) : chunks;
            const int from = k * kChunkBytes;
            const int to = end * kChunkBytes < bytes ? end * kChunkBytes : bytes;
            memcpy(dst + from, second + from, (SIZE_T)(to - from));
            k = end;
            continue;
        }
        int i = k * kChunkBytes;
        if (i > bytes - kEdgeBytes - kChunkBytes) i = bytes - kEdgeBytes - kChunkBytes;
        if (i < kEdgeBytes) i = kEdgeBytes;
        for (int o = 0; o < kChunkBytes; o += V::kBytes) {
            InterpolateStep<false>(l, l.motion, dst, i + o, l.first[1] + i + o, l.first[2] + i + o, V::Zero());
        }
        ++k;
    }
    // The ends: the first chunk's steps start past the edge, and a short
    // last chunk may leave the one before it short of the line's end too.
    if (moving & 1) EdgeStep(l, l.motion, dst, bytes, false);
    if ((moving >> (chunks - 1)) & 1 || (chunks >= 2 && ((moving >> (chunks - 2)) & 1))) {
        EdgeStep(l, l.motion, dst, bytes, true);
    }
}
