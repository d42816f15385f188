// The difference and rebuilding rows, written once for every vector width.
//
// Included by a SIMD row file inside its own anonymous namespace, after it
// defines ZP_TARGET (its target attribute), ZP_STEP (the same, always
// inlined) and a struct V of vector operations on its width (V::kBytes, 16
// or 32): Load, Store, Zero, Ones, Set16, Or, And, AndNot (~a & b), MaxU8,
// MinU8, AvgU8, SubsU8, AddsU8, CmpEq8, Shr16<n>, Blend (b where the mask is
// set, else a), IsZero, plus
//   LumaOf(p)      the luma of the 2 * V::kBytes YUYV bytes at p, in order;
//   LoadWords(p)   the V::kBytes / 2 bytes at p, each widened to a word.
//
// Every sample is worked on byte-wise, saturating where the C row's value
// cannot leave 0..255 (which keeps the results equal). The direction search
// runs on the two first-field lines' luma, gathered one byte a pixel into
// work rows, so that all of a vector's lanes do luma work; its result is
// widened back to the luma bytes of each YUYV step.

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

// The four-tap curve of bytes a, b, c, d kept within b and c (the C row's
// Cubic).
ZP_STEP inline typename V::Vec Cubic(typename V::Vec a, typename V::Vec b, typename V::Vec c, typename V::Vec d)
{
    const typename V::Vec eighths = V::Set16(0x1F1F);
    const typename V::Vec near = V::AvgU8(b, c), far = V::AvgU8(a, d);
    const typename V::Vec up = V::And(V::template Shr16<3>(V::SubsU8(near, far)), eighths);
    const typename V::Vec down = V::And(V::template Shr16<3>(V::SubsU8(far, near)), eighths);
    const typename V::Vec v = V::SubsU8(V::AddsU8(near, up), down);
    return V::MinU8(V::MaxU8(v, V::MinU8(b, c)), V::MaxU8(b, c));
}

// The mismatch of direction k for the V::kBytes luma pixels from x, from
// the luma work rows (the C row's DirectionCost): the worse neighbour, and
// all three.
ZP_STEP inline void DirectionCost(const UCHAR* above, const UCHAR* below, int x, int k, typename V::Vec* sides,
                                  typename V::Vec* all)
{
    const typename V::Vec left = AbsDiff(V::Load(above + x + k - 1), V::Load(below + x - k - 1));
    const typename V::Vec middle = AbsDiff(V::Load(above + x + k), V::Load(below + x - k));
    const typename V::Vec right = AbsDiff(V::Load(above + x + k + 1), V::Load(below + x - k + 1));
    *sides = V::MaxU8(left, right);
    *all = V::AvgU8(V::AvgU8(left, right), middle);
}

// Twice a cost plus the penalty, saturating: a sum past 255 loses to any
// best there is, as the C row's unsaturated one does.
ZP_STEP inline typename V::Vec Weighed(typename V::Vec cost)
{
    return V::AddsU8(V::AddsU8(cost, cost), V::Set16(kDiagonalPenalty | kDiagonalPenalty << 8));
}

// Where `cost` does not beat `best` (cost >= best), as a mask.
ZP_STEP inline typename V::Vec Loses(typename V::Vec best, typename V::Vec cost)
{
    return V::CmpEq8(V::SubsU8(best, cost), V::Zero());
}

// The direction search for the V::kBytes luma pixels from x: the diagonal
// averages and which direction won (the C row's Direction; 1 for the left
// diagonal, 2 for the right one, 0 for the vertical).
ZP_STEP inline void DirectionStep(const FieldLines& l, int x)
{
    const UCHAR* above = l.lumaAbove;
    const UCHAR* below = l.lumaBelow;
    typename V::Vec bestSides, bestAll;
    DirectionCost(above, below, x, 0, &bestSides, &bestAll);
    typename V::Vec estimate = V::Zero();
    typename V::Vec direction = V::Zero();
    // A diagonal costs at least the penalty, so it can only win where the
    // vertical costs more than that: flat and plain vertical detail skip the
    // search.
    const typename V::Vec penalty = V::Set16(kDiagonalPenalty | kDiagonalPenalty << 8);
    if (!V::IsZero(V::MinU8(bestSides, V::SubsU8(bestAll, penalty)))) {
        for (int k = -1; k <= 1; k += 2) {
            typename V::Vec sides, all;
            DirectionCost(above, below, x, k, &sides, &all);
            all = Weighed(all);
            const typename V::Vec lost = V::Or(Loses(bestSides, sides), Loses(bestAll, all));
            bestSides = V::Blend(sides, bestSides, lost);
            bestAll = V::Blend(all, bestAll, lost);
            estimate = V::Blend(V::AvgU8(V::Load(above + x + k), V::Load(below + x - k)), estimate, lost);
            direction = V::Blend(V::Set16(k < 0 ? 0x0101 : 0x0202), direction, lost);
        }
    }
    V::Store(l.diagonal + x, estimate);
    V::Store(l.direction + x, direction);
}

// Where the V::kBytes pixels from x take their diagonal: it won, and the
// pixel to the left or right chose the same one.
ZP_STEP inline void TakeStep(const FieldLines& l, int x)
{
    const typename V::Vec won = V::Load(l.direction + x);
    const typename V::Vec agreed =
        V::Or(V::CmpEq8(won, V::Load(l.direction + x - 1)), V::CmpEq8(won, V::Load(l.direction + x + 1)));
    V::Store(l.diagonalWon + x, V::AndNot(V::CmpEq8(won, V::Zero()), agreed));
}

// The direction search over luma pixels p0 .. p1 - 1 of a line `width`
// pixels wide (at least V::kBytes). A pixel's diagonal counts only where a
// neighbour chose it too, so the search itself covers one pixel more either
// side, s0 .. s1 - 1; the luma it reads, kDirectionMargin pixels either side
// of those inside the line, is gathered into the work rows first. The last
// vectors may run past p1 and s1 inside the work rows; pixels within
// kDirectionMargin of an end keep the vertical curve.
ZP_STEP inline void DirectionRun(const FieldLines& l, int p0, int p1, int width)
{
    const int s0 = p0 > 0 ? p0 - 1 : 0;
    const int s1 = p1 < width ? p1 + 1 : width;
    int q0 = s0 - kDirectionMargin < 0 ? 0 : s0 - kDirectionMargin;
    int q1 = s1 + kDirectionMargin > width ? width : s1 + kDirectionMargin;
    if (q1 - q0 < V::kBytes) {
        q1 = q0 + V::kBytes < width ? q0 + V::kBytes : width;
        q0 = q1 - V::kBytes;
    }
    for (int x = q0;; x += V::kBytes) {
        if (x > q1 - V::kBytes) x = q1 - V::kBytes;
        V::Store(l.lumaAbove + x, V::LumaOf(l.first[1] + 2 * x));
        V::Store(l.lumaBelow + x, V::LumaOf(l.first[2] + 2 * x));
        if (x == q1 - V::kBytes) break;
    }
    for (int x = s0; x < s1; x += V::kBytes) DirectionStep(l, x);
    for (int x = s0; x < s1 && x < kDirectionMargin; ++x) l.direction[x] = 0;
    for (int x = s0 > width - kDirectionMargin ? s0 : width - kDirectionMargin; x < s1; ++x) l.direction[x] = 0;
    // The pixels at the line's ends look at a byte outside it, which may
    // hold anything: their own direction is the vertical's 0, which no
    // comparison turns into a diagonal taken.
    for (int x = p0; x < p1; x += V::kBytes) TakeStep(l, x);
}

// Rebuilt bytes i .. i + V::kBytes - 1, once the direction search has run
// over their pixels.
ZP_STEP inline void InterpolateStep(const FieldLines& l, UCHAR* dst, int i)
{
    const typename V::Vec d = V::AvgU8(V::Load(l.second[1] + i), V::Load(l.previous[1] + i));
    const typename V::Vec activity = ActivityAt(l.motion, i);
    if (V::IsZero(activity)) {
        V::Store(dst + i, d);  // still: no allowance, the temporal estimate as it is
        return;
    }
    const typename V::Vec c = V::Load(l.first[1] + i), e = V::Load(l.first[2] + i);
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

    // The curve for every byte; luma bytes where a diagonal won take its
    // average (the widened words' low bytes, under a mask of 0x00FF words).
    const typename V::Vec cubic = Cubic(V::Load(l.first[0] + i), c, e, V::Load(l.first[3] + i));
    const typename V::Vec spatial =
        V::Blend(cubic, V::LoadWords(l.diagonal + i / 2), V::LoadWords(l.diagonalWon + i / 2));
    V::Store(dst + i, V::MinU8(V::MaxU8(spatial, V::SubsU8(d, allowance)), V::AddsU8(d, allowance)));
}

// Rebuilds bytes b0 .. b1 - 1 (at least kChunkBytes, from a pair) of a line
// `bytes` long: the direction search over pixels d0 .. d1 - 1, the only ones
// whose activity may be nonzero (outside them the allowance is zero and the
// spatial estimate is never looked at), then steps, the last one ending at
// b1.
ZP_STEP inline void RebuildRun(const FieldLines& l, UCHAR* dst, int b0, int b1, int d0, int d1, int bytes)
{
    DirectionRun(l, d0, d1, bytes / 2);
    for (int i = b0;; i += V::kBytes) {
        if (i > b1 - V::kBytes) i = b1 - V::kBytes;
        InterpolateStep(l, dst, i);
        if (i == b1 - V::kBytes) break;
    }
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

// The highest set bit of a nonzero word, by halves like LowestSetBit.
inline int HighestSetBit(ULONGLONG bits)
{
    const ULONG high = (ULONG)(bits >> 32);
    return high ? 63 - __builtin_clz(high) : 31 - __builtin_clz((ULONG)bits);
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
// field's bytes, copied as runs; every run of other chunks is rebuilt (a
// short last chunk together with the bytes before it, which come out as the
// chunk before makes them). Lines too short for the steps come from the C
// row.
ZP_TARGET inline void InterpolateRowT(const FieldLines& l, UCHAR* dst, int pairs)
{
    const int bytes = 4 * pairs;
    if (bytes < kChunkBytes || bytes < 2 * V::kBytes) {
        InterpolateRow_C(l, dst, pairs);
        return;
    }
    const ULONGLONG next = DifferenceLine(l.previous[2], l.second[2], l.nextDifference, bytes);
    *l.nextMoved = next;
    const int chunks = (bytes + kChunkBytes - 1) / kChunkBytes;
    const ULONGLONG all = chunks == 64 ? ~0ull : (1ull << chunks) - 1;
    // Activity reaches at most into the neighbouring chunk.
    const ULONGLONG moved = (l.moved[0] | l.moved[1] | next) & all;
    const ULONGLONG moving = Spread(moved) & all;
    if (moving == 0) {
        memcpy(dst, l.second[1], (SIZE_T)bytes);
        return;
    }
    // A step reads the motion row up to kActivityReach bytes past its own,
    // and a short last chunk's steps start in the chunk before.
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
        // A run of moving chunks (moving has no bits past the line's end).
        const ULONGLONG rest = ~ahead;
        const int end = rest ? k + LowestSetBit(rest) : chunks;
        const int to = end * kChunkBytes < bytes ? end * kChunkBytes : bytes;
        const int from = to - k * kChunkBytes < kChunkBytes ? to - kChunkBytes : k * kChunkBytes;
        // Activity reaches kActivityReach bytes from the chunks that hold a
        // difference: the first and last of them in the run (there is one,
        // since a chunk moves only beside or at one) bound the search.
        const ULONGLONG inRun = (moved >> k) & (end - k == 64 ? ~0ull : (1ull << (end - k)) - 1);
        const int first = (k + LowestSetBit(inRun)) * kChunkBytes - kActivityReach;
        const int last = (k + HighestSetBit(inRun) + 1) * kChunkBytes + kActivityReach;
        RebuildRun(l, dst, from, to, (first > from ? first : from) / 2, (last < to ? last : to) / 2, bytes);
        k = end;
    }
}
