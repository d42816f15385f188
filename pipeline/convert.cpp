// The conversion engine: turns the three fields into output rows, one output
// row at a time, from the row kernels.
//
// Every conversion is the same three-stage loop over output rows:
//   1. produce the YUYV row at the output width (de-interlacing, box or
//      general scaling), into a row buffer that stays in the first-level cache
//      or, where nothing else follows, straight into the output;
//   2. adjust it (mirror, gamma) into a second buffer when either is on
//      (I420 and RGB24 without mirror apply gamma in their emit instead);
//   3. emit it in the output format, at the row the flip setting gives.
// The fields are read once and in order; only the output rows go backwards
// (flip, or RGB24's bottom-up order), which costs nothing since each row is
// written front to back.
#include <string.h>

#include "pipeline/pipeline_internal.h"

namespace zelpipe {

namespace {

constexpr int RoundUp64(int n) { return (n + 63) & ~63; }

// ---------------------------------------------------------- geometry ----

enum Path { kFastFrame, kFastField, kGeneral };

struct Plan {
    Path path;
    int fieldLines;   // lines per field
    int across;       // 1, 2, 4: box width of the fast paths; 0: general
    int down;         // fast field path: field lines per output row (1, 2)
    bool frameRows;   // general path: rows are de-interlaced frame lines
    int sourceRows;   // general path: rows the vertical filter reads
};

int BoxAcross(int sourceWidth, int outputWidth)
{
    if (outputWidth & 1) return 0;
    if (sourceWidth == outputWidth) return 1;
    if (sourceWidth == 2 * outputWidth) return 2;
    if (sourceWidth == 4 * outputWidth) return 4;
    return 0;
}

Plan MakePlan(const ConvertRequest& r)
{
    Plan plan = {};
    plan.fieldLines = r.sourceHeight / 2;
    const int across = BoxAcross(r.sourceWidth, r.outputWidth);
    // More than half the source lines need both fields; otherwise the first
    // field alone carries enough lines and nothing is mixed across time.
    const bool frame = 2 * r.outputHeight > r.sourceHeight;
    if (frame && r.outputHeight == r.sourceHeight && across == 1) {
        plan.path = kFastFrame;
        plan.across = 1;
    } else if (!frame && across != 0 &&
               (plan.fieldLines == r.outputHeight || plan.fieldLines == 2 * r.outputHeight)) {
        plan.path = kFastField;
        plan.across = across;
        plan.down = plan.fieldLines / r.outputHeight;
    } else {
        plan.path = kGeneral;
        plan.across = across;
        plan.frameRows = frame;
        plan.sourceRows = frame ? r.sourceHeight : plan.fieldLines;
    }
    return plan;
}

// ------------------------------------------------------------- taps ----

int LumaBegin(int o, const int* k) { return o * k[0]; }
int LumaEnd(int o, const int* k) { return (o + 1) * k[0]; }
// Chroma sample c of the output covers output pixels 2c and 2c + 1 (only 2c
// at the end of an odd width); k = {source width, output width}.
int ChromaBegin(int c, const int* k) { return 2 * c * k[0]; }
int ChromaEnd(int c, const int* k) { return (2 * c + 2 < k[1] ? 2 * c + 2 : k[1]) * k[0]; }

void PrepareHorizontal(PipelineState* s, int sourceWidth, int outputWidth)
{
    if (s->hSource == sourceWidth && s->hOutput == outputWidth) return;
    const int k[2] = {sourceWidth, outputWidth};
    BuildAreaTaps(sourceWidth, outputWidth, outputWidth, LumaBegin, LumaEnd, k, kHorizontalOne, s->hscale.luma,
                  s->hscale.lumaWeight);
    BuildAreaTaps(sourceWidth / 2, 2 * outputWidth, (outputWidth + 1) / 2, ChromaBegin, ChromaEnd, k,
                  kHorizontalOne, s->hscale.chroma, s->hscale.chromaWeight);
    s->hscale.sourceWidth = sourceWidth;
    s->hscale.outputWidth = outputWidth;
    s->hSource = sourceWidth;
    s->hOutput = outputWidth;
}

void PrepareVertical(PipelineState* s, int sourceRows, int outputRows)
{
    if (s->vSource == sourceRows && s->vOutput == outputRows) return;
    const int k[2] = {sourceRows, outputRows};
    BuildAreaTaps(sourceRows, outputRows, outputRows, LumaBegin, LumaEnd, k, kVerticalOne, s->vTaps, s->vWeights);
    s->vSource = sourceRows;
    s->vOutput = outputRows;
}

// ------------------------------------------------------------- rows ----

struct Job {
    PipelineState* s;
    const RowKernels* k;
    const ConvertRequest* r;
    Plan plan;
    int stride;       // bytes per source line
    int outBytes;     // bytes per produced YUYV row
    int outPairs;     // pixel pairs per produced row
};

inline const UCHAR* FirstLine(const Job& j, int n) { return j.r->first + (SIZE_T)n * j.stride; }
inline const UCHAR* SecondLine(const Job& j, int n) { return j.r->second + (SIZE_T)n * j.stride; }
inline const UCHAR* PreviousLine(const Job& j, int n) { return j.r->previous + (SIZE_T)n * j.stride; }

inline int ClampLine(const Job& j, int n) { return n < 0 ? 0 : n >= j.plan.fieldLines ? j.plan.fieldLines - 1 : n; }

// The slot holding the difference row of second-field line m (inside the
// field), made once a conversion: lines are asked for in increasing order.
int DifferenceSlot(const Job& j, int m)
{
    const int slot = m % 3;
    if (j.s->differenceIndex[slot] != m) {
        j.k->difference(PreviousLine(j, m), SecondLine(j, m), j.s->differenceRows[slot], &j.s->moved[slot],
                        j.r->sourceWidth / 2);
        j.s->differenceIndex[slot] = m;
    }
    return slot;
}

// Frame line 2n + 1 into dst, rebuilt for the first field's instant.
void DeinterlaceLine(const Job& j, int n, UCHAR* dst)
{
    FieldLines l;
    for (int i = 0; i < 4; ++i) l.first[i] = FirstLine(j, ClampLine(j, n - 1 + i));
    for (int i = 0; i < 3; ++i) {
        const int m = ClampLine(j, n - 1 + i);
        l.second[i] = SecondLine(j, m);
        l.previous[i] = PreviousLine(j, m);
    }
    const int above = DifferenceSlot(j, ClampLine(j, n - 1));
    const int here = DifferenceSlot(j, n);
    // The rebuilding row makes line n + 1's difference row as it reads that
    // line, into the slot line n - 2 held (below the last line: a spare copy
    // of the last line's own, in a slot no line needs).
    const int next = (n + 1) % 3;
    const int below = ClampLine(j, n + 1);
    l.difference[0] = j.s->differenceRows[above];
    l.difference[1] = j.s->differenceRows[here];
    l.moved[0] = j.s->moved[above];
    l.moved[1] = j.s->moved[here];
    l.nextDifference = j.s->differenceRows[next];
    l.nextMoved = &j.s->moved[next];
    l.motion = j.s->motion;
    l.lumaAbove = j.s->lumaRows[0];
    l.lumaBelow = j.s->lumaRows[1];
    l.diagonal = j.s->lumaRows[2];
    l.direction = j.s->lumaRows[3];
    l.diagonalWon = j.s->lumaRows[4];
    j.k->interpolate(l, dst, j.r->sourceWidth / 2);
    j.s->differenceIndex[next] = below == n + 1 ? below : -1;
}

// General path: source row `row` (a de-interlaced frame line or a first
// field line), before horizontal scaling.
const UCHAR* SourceRow(Job& j, int row)
{
    if (!j.plan.frameRows) return FirstLine(j, row);
    if ((row & 1) == 0) return FirstLine(j, row / 2);
    if (j.s->deinterlacedIndex != row) {
        DeinterlaceLine(j, row / 2, j.s->deinterlaced);
        j.s->deinterlacedIndex = row;
    }
    return j.s->deinterlaced;
}

// General path: source row `row` at the output width. Rows of each parity
// have their own buffer, so two neighbouring rows are available together.
const UCHAR* ScaledRow(Job& j, int row)
{
    const int slot = row & 1;
    if (j.s->scaledIndex[slot] == row) return j.s->scaled[slot];
    const UCHAR* src = SourceRow(j, row);
    UCHAR* dst = j.s->scaled[slot];
    switch (j.plan.across) {
    case 1:
        return src;  // de-interlaced rows are odd and keep their own buffer
    case 2:
        j.k->boxH2V1(src, nullptr, dst, j.outPairs);
        break;
    case 4:
        j.k->boxH4V1(src, nullptr, dst, j.outPairs);
        break;
    default:
        HorizontalScaleRow_C(src, dst, j.s->hscale);
        break;
    }
    j.s->scaledIndex[slot] = row;
    return dst;
}

// Makes output row y as YUYV. `direct`, when not null, is where the caller
// would like the row (the output itself); the row may come back there, in a
// buffer of the handle or in a field.
const UCHAR* ProduceRow(Job& j, int y, UCHAR* direct)
{
    UCHAR* buffer = direct ? direct : j.s->produced[y & 1];
    switch (j.plan.path) {
    case kFastFrame:
        if ((y & 1) == 0) return FirstLine(j, y / 2);
        DeinterlaceLine(j, y / 2, buffer);
        return buffer;
    case kFastField: {
        const UCHAR* a = FirstLine(j, y * j.plan.down);
        const UCHAR* b = j.plan.down == 2 ? a + j.stride : nullptr;
        switch (j.plan.across * 4 + j.plan.down) {
        case 1 * 4 + 1: return a;
        case 1 * 4 + 2: j.k->boxH1V2(a, b, buffer, j.outPairs); break;
        case 2 * 4 + 1: j.k->boxH2V1(a, b, buffer, j.outPairs); break;
        case 2 * 4 + 2: j.k->boxH2V2(a, b, buffer, j.outPairs); break;
        case 4 * 4 + 1: j.k->boxH4V1(a, b, buffer, j.outPairs); break;
        default: j.k->boxH4V2(a, b, buffer, j.outPairs); break;
        }
        return buffer;
    }
    case kGeneral:
    default: {
        const Taps& t = j.s->vTaps[y];
        const USHORT* w = j.s->vWeights + t.offset;
        if (t.count == 1) {
            // A whole source row. It may sit in a buffer that the next output
            // row reuses, so it is copied to this row's own buffer.
            memcpy(buffer, ScaledRow(j, t.first), (SIZE_T)j.outBytes);
            return buffer;
        }
        if (t.count == 2) {
            const UCHAR* a = ScaledRow(j, t.first);
            const UCHAR* b = ScaledRow(j, t.first + 1);
            j.k->blend2(a, w[0], b, w[1], buffer, j.outBytes);
            return buffer;
        }
        j.k->accStart(j.s->acc, ScaledRow(j, t.first), w[0], j.outBytes);
        for (int i = 1; i + 1 < t.count; ++i) j.k->accAdd(j.s->acc, ScaledRow(j, t.first + i), w[i], j.outBytes);
        j.k->accFinish(j.s->acc, ScaledRow(j, t.first + t.count - 1), w[t.count - 1], buffer, j.outBytes);
        return buffer;
    }
    }
}

}  // namespace

// ------------------------------------------------------------ checks ----

bool GeometrySupported(OutputFormat format, const ConvertRequest& r)
{
    if (!r.previous || !r.first || !r.second || !r.output) return false;
    if (r.sourceWidth < 2 || r.sourceWidth > kMaxSourceWidth || (r.sourceWidth & 1)) return false;
    if (r.sourceHeight < 2 || r.sourceHeight > kMaxSourceHeight || (r.sourceHeight & 1)) return false;
    if (r.outputWidth < 1 || r.outputWidth > r.sourceWidth) return false;
    if (r.outputHeight < 1 || r.outputHeight > r.sourceHeight) return false;
    switch (format) {
    case kOutputYuy2:
        return (r.outputWidth & 1) == 0;
    case kOutputI420:
        return (r.outputWidth & 1) == 0 && (r.outputHeight & 1) == 0;
    case kOutputRgb24:
        return true;
    }
    return false;
}

// ---------------------------------------------------------- converter ----

void Convert(PipelineState* s, OutputFormat format, const ConvertRequest& r, LONG settings)
{
    Job j;
    j.s = s;
    j.k = s->rows;
    j.r = &r;
    j.plan = MakePlan(r);
    j.stride = r.sourceWidth * 2;
    j.outPairs = (r.outputWidth + 1) / 2;
    j.outBytes = j.outPairs * 4;

    const bool mirror = (settings & kSettingMirror) != 0;
    const bool flip = (settings & kSettingFlip) != 0;
    const int gammaSetting = ((settings & kSettingGammaMask) >> kSettingGammaShift) + kGammaMin;
    const GammaCurve* gamma = gammaSetting == 0 ? nullptr : &kGammaCurves[gammaSetting - kGammaMin];
    // I420 and RGB24 take the gamma curve in the row that emits them, so
    // only a mirror needs an adjusted copy of the row first (which then
    // takes the curve too).
    const GammaCurve* emitGamma = format != kOutputYuy2 && !mirror ? gamma : nullptr;
    const bool adjust = mirror || (gamma && !emitGamma);

    if (j.plan.path == kGeneral) {
        if (j.plan.across == 0) PrepareHorizontal(s, r.sourceWidth, r.outputWidth);
        PrepareVertical(s, j.plan.sourceRows, r.outputHeight);
    }
    // Nothing carries over from the previous conversion's rows.
    for (int& index : s->differenceIndex) index = -1;
    s->scaledIndex[0] = s->scaledIndex[1] = -1;
    s->deinterlacedIndex = -1;

    const int width = r.outputWidth;
    const int height = r.outputHeight;
    UCHAR* const out = r.output;
    const UCHAR* pendingRow = nullptr;  // I420: the even row of the current pair

    for (int y = 0; y < height; ++y) {
        UCHAR* yuy2Row = nullptr;
        if (format == kOutputYuy2) yuy2Row = out + (SIZE_T)(flip ? height - 1 - y : y) * width * 2;

        const UCHAR* row = ProduceRow(j, y, adjust ? nullptr : yuy2Row);
        if (adjust) {
            UCHAR* dst = format == kOutputYuy2 ? yuy2Row : s->adjusted[y & 1];
            s->rows->adjust(row, dst, j.outPairs, mirror, gamma);
            row = dst;
        }

        switch (format) {
        case kOutputYuy2:
            if (row != yuy2Row) j.k->copy(row, yuy2Row, width * 2);
            break;
        case kOutputRgb24: {
            // A bottom-up bitmap: the picture's top row is the last in memory.
            UCHAR* dst = out + (SIZE_T)(flip ? y : height - 1 - y) * width * 3;
            if ((width & 1) && mirror) {
                // The mirrored row starts with the half-used pair's spare pixel.
                j.k->toRgb24(row, s->rgb, width + 1, nullptr);
                memcpy(dst, s->rgb + 3, (SIZE_T)width * 3);
            } else {
                j.k->toRgb24(row, dst, width, emitGamma);
            }
            break;
        }
        case kOutputI420: {
            if ((y & 1) == 0) {
                pendingRow = row;
                break;
            }
            const int c = y / 2;
            const int chromaWidth = width / 2;
            const int chromaRows = height / 2;
            const int top = flip ? height - 1 - (y - 1) : y - 1;
            const int bottom = flip ? height - 1 - y : y;
            const int chromaRow = flip ? chromaRows - 1 - c : c;
            UCHAR* const uPlane = out + (SIZE_T)width * height;
            UCHAR* const vPlane = uPlane + (SIZE_T)chromaWidth * chromaRows;
            j.k->toI420(pendingRow, row, out + (SIZE_T)top * width, out + (SIZE_T)bottom * width,
                        uPlane + (SIZE_T)chromaRow * chromaWidth, vPlane + (SIZE_T)chromaRow * chromaWidth,
                        chromaWidth, emitGamma);
            break;
        }
        }
    }
}

// ------------------------------------------------------------ layout ----

namespace {

constexpr int kRowBuffer = RoundUp64(kMaxRowBytes + 4);
constexpr int kStateBytes = RoundUp64(sizeof(PipelineState));
constexpr int kHLumaTaps = RoundUp64(kMaxSourceWidth * sizeof(Taps));
constexpr int kHLumaWeights = RoundUp64(2 * kMaxSourceWidth * sizeof(USHORT));
constexpr int kHChromaTaps = RoundUp64((kMaxSourceWidth / 2 + 1) * sizeof(Taps));
constexpr int kHChromaWeights = RoundUp64((kMaxSourceWidth + 2) * sizeof(USHORT));
constexpr int kVTaps = RoundUp64(kMaxSourceHeight * sizeof(Taps));
constexpr int kVWeights = RoundUp64(2 * kMaxSourceHeight * sizeof(USHORT));
constexpr int kRgbRow = RoundUp64((kMaxSourceWidth + 2) * 3);
constexpr int kAcc = RoundUp64(kMaxRowBytes * sizeof(USHORT));
// A difference or motion row starts a chunk into its buffer (zero bytes in
// front, aligned chunks) and has the zero bytes behind it room to spare.
constexpr int kDifferenceFront = kChunkBytes;
constexpr int kDifferenceBuffer = RoundUp64(kDifferenceFront + kMaxRowBytes + kActivityReach);
constexpr int kLumaBuffer = RoundUp64(LumaRowBytes());

}  // namespace

const SIZE_T kPipelineBytes = kStateBytes + kHLumaTaps + kHLumaWeights + kHChromaTaps + kHChromaWeights + kVTaps +
                              kVWeights + 7 * kRowBuffer + kRgbRow + kAcc + 4 * kDifferenceBuffer +
                              kLumaWorkRows * kLumaBuffer;

PipelineState* LayOutPipeline(void* memory)
{
    UCHAR* p = (UCHAR*)memory;
    memset(p, 0, kPipelineBytes);
    PipelineState* s = (PipelineState*)p;
    p += kStateBytes;
    s->hscale.luma = (Taps*)p;
    p += kHLumaTaps;
    s->hscale.lumaWeight = (USHORT*)p;
    p += kHLumaWeights;
    s->hscale.chroma = (Taps*)p;
    p += kHChromaTaps;
    s->hscale.chromaWeight = (USHORT*)p;
    p += kHChromaWeights;
    s->vTaps = (Taps*)p;
    p += kVTaps;
    s->vWeights = (USHORT*)p;
    p += kVWeights;
    UCHAR** rows[7] = {&s->deinterlaced, &s->produced[0], &s->produced[1], &s->adjusted[0],
                       &s->adjusted[1],  &s->scaled[0],   &s->scaled[1]};
    for (UCHAR** row : rows) {
        *row = p;
        p += kRowBuffer;
    }
    s->rgb = p;
    p += kRgbRow;
    s->acc = (USHORT*)p;
    p += kAcc;
    for (int i = 0; i < 3; ++i) {
        s->differenceRows[i] = p + kDifferenceFront;
        p += kDifferenceBuffer;
        s->differenceIndex[i] = -1;
    }
    s->motion = p + kDifferenceFront;
    p += kDifferenceBuffer;
    for (UCHAR*& row : s->lumaRows) {
        row = p + kLumaRowPadding;
        p += kLumaBuffer;
    }
    s->hSource = s->hOutput = s->vSource = s->vOutput = -1;
    s->scaledIndex[0] = s->scaledIndex[1] = -1;
    s->deinterlacedIndex = -1;
    return s;
}

// ---------------------------------------------------------------- taps ----

int BuildAreaTaps(int sourceCount, int unit, int outputs, int (*begin)(int o, const int* k),
                  int (*end)(int o, const int* k), const int* k, int one, Taps* taps, USHORT* weights)
{
    int n = 0;
    for (int o = 0; o < outputs; ++o) {
        const int b = begin(o, k);
        const int e = end(o, k);
        const int length = e - b;
        Taps& t = taps[o];
        t.first = (USHORT)(b / unit);
        t.count = 0;
        t.offset = (USHORT)n;
        int covered = 0, given = 0;
        for (int i = b / unit; i < sourceCount && i * unit < e; ++i) {
            const int lo = b > i * unit ? b : i * unit;
            const int hi = e < (i + 1) * unit ? e : (i + 1) * unit;
            covered += hi - lo;
            // Cumulative rounding: the weights of one output add up to `one`.
            const int total = (covered * one + length / 2) / length;
            const int w = total - given;
            given = total;
            if (w == 0 && t.count == 0) {
                t.first = (USHORT)(i + 1);  // a source sample that adds nothing
                continue;
            }
            weights[n++] = (USHORT)w;
            ++t.count;
        }
        // Trailing samples that add nothing are dropped too.
        while (t.count > 1 && weights[n - 1] == 0) {
            --n;
            --t.count;
        }
    }
    return n;
}

}  // namespace zelpipe
