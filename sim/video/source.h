// Analog picture sources of the simulated capture board.
//
// A source paints one field at a time into the raster that the decoder would
// deliver to the bridge, and the bridge's capture window crops it. The board
// picks the source (input connector, tuner channel), the line system (from the
// decoder's standard), the field to paint and the window; the source never
// looks at registers.
//
// The field raster
// ----------------
// Horizontal positions are YUYV byte offsets (Y0 U Y1 V per pixel pair), the
// unit of the bridge's horizontal window registers. The active picture is 720
// pixels, bytes 0..1439 of every line, so a 720-pixel format's window 0..1440
// sees all of it, a 704-pixel window 8..1416 sees the centre 704 pixels (4
// pixels cut each side, as in broadcast practice) and a 640-pixel window
// 72..1352 sees pixels 36..675. A nominal line is 1716 bytes (525-line) or
// 1728 bytes (625-line); everything outside bytes 0..1439 is blanking.
//
// Vertical positions are line numbers within one field, the unit of the
// vertical window registers:
//   525-line: field lines 0..262; the active picture is lines 13..252 (240
//             lines), exactly what the window 13..253 takes.
//   625-line: field lines 0..312; the active picture is lines 1..288 (288
//             lines). The window 1..285 takes its first 284 lines; windows
//             such as 13..253, 19..259 or 25..265 take 240 lines of it.
// Field 1 (FieldId::firstField) is the top field: its line n carries frame
// line 2n of the picture, field 2's line n carries frame line 2n + 1, and
// field 2 is painted half a frame later in time.
//
// Lines and bytes outside the active picture (any window the registers can
// hold, however far out) are blanking black: Y = 16, U = V = 128, with Y on
// even byte offsets and chroma on odd ones.
//
// Decoders whose output starts counting active lines elsewhere (the windows
// written for them start at 1 or 3 instead of 13) are modelled by the board
// shifting the window before it calls RenderField.
//
// Colour values are BT.601 limited range (Y 16..235, U/V 16..240 around 128).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sim {

enum class LineSystem { L525, L625 };

// firstField = top field, earlier in time.
struct FieldId {
    uint64_t frameNumber;
    bool firstField;
};

// As the bridge's capture window registers hold them: bytes [hStartByte,
// hEndByte) of lines [vStartLine, vEndLine). An empty or inverted window
// produces nothing.
struct Window {
    int hStartByte, vStartLine, hEndByte, vEndLine;
};

// brightness is added to luma (-128..127); contrast and saturation are gains
// in 1/128 (128 = unchanged); hue rotates U/V by that many degrees. Applied
// in integer arithmetic with clamping (see ApplyPictureAdjust). Values far
// outside any register's reach are limited first: brightness to -255..255,
// contrast and saturation to 0..1024.
struct PictureAdjust {
    int brightness = 0;
    int contrast = 128;
    int saturation = 128;
    int hueDegrees = 0;
};

struct TestPatternOptions {
    bool colourBars = true;   // 75% bars; false gives a flat mid grey (Y 126)
    bool marks = true;        // counter, source id and field marks (see below)
    int objectSpeed = 4;      // moving box, pixels per field; 0 = still picture
    uint16_t sourceId = 0;    // carried in the marks, e.g. the input number
    bool digits = true;       // frame number in seven-segment digits, for people
};

// ---- raster geometry -----------------------------------------------------

constexpr int kActiveBytesPerLine = 1440;  // 720 pixels
constexpr int kActivePixelsPerLine = 720;
constexpr int LineBytes(LineSystem s) { return s == LineSystem::L525 ? 1716 : 1728; }
constexpr int FieldLines(LineSystem s) { return s == LineSystem::L525 ? 263 : 313; }
constexpr int ActiveFirstLine(LineSystem s) { return s == LineSystem::L525 ? 13 : 1; }
constexpr int ActiveLines(LineSystem s) { return s == LineSystem::L525 ? 240 : 288; }

// Bytes RenderField writes for a window: (vEnd - vStart) x (hEnd - hStart),
// 0 for an empty or inverted window. Computed in 64 bits; the rows are packed
// with a stride of hEnd - hStart.
size_t WindowBytes(const Window& w);

// The part of a window that a real field can hold: lines beyond the field's
// last line and bytes beyond a nominal line do not exist. The board may use
// this to decide how much it sends; RenderField itself paints any window.
Window ClampToRaster(LineSystem sys, const Window& w);

// ---- picture adjustment --------------------------------------------------

// Per pixel, with u = U - 128, v = V - 128 and the hue angle h:
//   Y' = clamp(16 + round((Y - 16) * contrast / 128) + brightness)
//   U' = clamp(128 + round((u cos h - v sin h) * saturation / 128))
//   V' = clamp(128 + round((u sin h + v cos h) * saturation / 128))
// clamped to 0..255; cos and sin are taken once as 12-bit fixed point, the
// per-pixel work is integer. The identity settings change nothing.
void ApplyPictureAdjust(const PictureAdjust& adj, uint8_t* yuyv, size_t bytes);
bool IsIdentity(const PictureAdjust& adj);

// ---- sources -------------------------------------------------------------

class VideoSource {
public:
    virtual ~VideoSource() = default;
    // The line system the source's signal has; the board decides what a
    // decoder set to the other system shows (no lock, no picture).
    virtual LineSystem NativeSystem() const = 0;
    virtual bool HasSignal() const = 0;
    // Paints field `id` of raster `sys`, cropped by `w`, adjusted by `adj`,
    // into out: exactly WindowBytes(w) bytes, never more.
    virtual void RenderField(LineSystem sys, const FieldId& id, const Window& w,
                             const PictureAdjust& adj, uint8_t* out) = 0;
};

// Colour bars, marks and a moving box (layout below).
std::unique_ptr<VideoSource> MakeTestPattern(LineSystem, const TestPatternOptions&);
// Snow without a signal; the same seed and field give the same bytes. Snow
// has no line system of its own; it reports 625 lines.
std::unique_ptr<VideoSource> MakeNoiseSource(uint64_t seed);
// The frames of a YUV4MPEG2 file (4:2:0 in any siting, 4:2:2, 4:4:4 or mono,
// 8 bits), scaled to the active picture and looped: video frame n shows file
// frame n mod count, whatever the file's rate; field 1 takes the even rows.
// The native system follows the file's rate (about 30 or 60 -> 525, 25 or
// 50 -> 625), else its height (480 or less -> 525). A trailing frame cut
// short is left out. Null with *error set (when error is not null) if the
// file cannot be used: unreadable, malformed header, unsupported layout,
// malformed frame header, or no whole frame.
std::unique_ptr<VideoSource> MakeY4mSource(const std::string& path, std::string* error);
// A station on a tuner channel: its own background and the channel number as
// the marks' source id, with the same counter, field marks and moving box as
// the test pattern.
std::unique_ptr<VideoSource> MakeStationSource(int channelNumber, LineSystem);

// ---- test pattern layout ---------------------------------------------------
//
// Colour bars: eight 90-pixel bars across the active picture, left to right
// white, yellow, cyan, green, magenta, red, blue, black, at 75% amplitude.
// Values (Y, U, V) derive from R'G'B' in {0, 0.75}:
//   Y = 16 + 219 (0.299 R + 0.587 G + 0.114 B), U = 128 + 224 (B - Y') / 1.772,
//   V = 128 + 224 (R - Y') / 1.402, rounded.
struct Yuv {
    uint8_t y, u, v;
};
extern const Yuv kColourBars[8];
constexpr int kBarWidthPixels = 90;

// Marks: three bands of cells drawn over the picture, black (Y 16) and white
// (Y 235) only, large enough to survive scaling to 160 x 120 and colour
// conversion. Each band is kMarkCells cells of kMarkCellPixels pixels from
// pixel kMarkFirstPixel, kMarkBandLines field lines high:
//   counter band   (lines 37..48): white sync, 16 bits of frameNumber mod
//                   65536 MSB first, even parity of those bits, black sync
//   source id band (lines 49..60): the same layout carrying sourceId
//   field band     (lines 61..72): white sync, cells 1..8 white in field 1,
//                   cell 9 black, cells 10..17 white in field 2, black sync
// A white cell is 1. Both fields of a frame carry the same counter, so the
// counter survives any de-interlacing; the field band tells which fields
// reached the picture and in what order.
constexpr int kMarkCells = 19;
constexpr int kMarkCellPixels = 30;
constexpr int kMarkFirstPixel = 64;
constexpr int kMarkBandLines = 12;
constexpr int kCounterBandLine = 37;
constexpr int kSourceIdBandLine = kCounterBandLine + kMarkBandLines;
constexpr int kFieldBandLine = kSourceIdBandLine + kMarkBandLines;

// Moving box: kBoxWidth x kBoxLines white (Y 235) box on field lines
// kBoxLine.., bouncing between the left and right edges of the active
// picture; its left edge at field time t = 2 frameNumber + (field 2 ? 1 : 0)
// is a triangle wave of objectSpeed * t over 0..720 - kBoxWidth (even pixels).
constexpr int kBoxWidth = 64;
constexpr int kBoxLines = 48;
constexpr int kBoxLine = 170;
int BoxLeftPixel(int objectSpeed, const FieldId& id);

// Digits: frameNumber mod 100000 as five white seven-segment digits, each
// kDigitWidth x kDigitLines (segments 4 pixels or lines thick), kDigitPitch
// apart from pixel kDigitFirstPixel on field lines kDigitLine.., the same in
// both fields. Segment a is the top bar, g the middle, d the bottom; f and e
// the upper and lower left, b and c the upper and lower right.
constexpr int kDigitCount = 5;
constexpr int kDigitWidth = 20;
constexpr int kDigitLines = 24;
constexpr int kDigitPitch = 28;
constexpr int kDigitFirstPixel = 520;
constexpr int kDigitLine = 224;

// ---- reading the marks back -------------------------------------------------

// RGB24 bytes are B, G, R per pixel, as Windows bitmaps hold them.
enum class MarkPixelFormat { YUYV, I420, RGB24 };

struct MarkImage {
    MarkPixelFormat format;
    const uint8_t* data;
    size_t size;        // bytes available at data; never read beyond
    int width, height;  // pixels
    int stride = 0;     // bytes per row (luma row for I420); 0 = packed
    bool bottomUp = false;  // rows stored last row first (RGB24 DIBs)
};

// How the image relates to the raster: which window cropped it, whether it
// holds one field or a frame (two fields woven, field 1 on top), and the
// source size the image was scaled from (0 = the window's own size: (hEnd -
// hStart) / 2 pixels by (vEnd - vStart) lines, doubled for a frame). A frame
// whose fields were padded from 284 to 288 lines passes sourceLines 576.
struct MarkLayout {
    LineSystem sys;
    Window window;
    bool frame = false;
    int sourceWidthPixels = 0;
    int sourceLines = 0;
};

enum class FieldParity {
    Unknown,
    First,         // only field 1's mark is visible
    Second,        // only field 2's mark is visible
    Woven,         // full-height frame, field 1 on even rows, field 2 on odd
    WovenSwapped,  // full-height frame, field 2 on even rows
    Blended,       // both marks visible at reduced strength (scaled or mixed)
};

struct FieldMarks {
    bool valid = false;  // syncs found, both parities correct
    uint16_t counter = 0;
    uint16_t sourceId = 0;
    FieldParity parity = FieldParity::Unknown;
};

// Samples the middle of every cell (mapped through the window and the scale),
// thresholds halfway between the sync cells, checks parity. Returns
// valid = false when a cell lies outside the image or the window, when the
// buffer is too small for the stated size, or when the marks do not read.
FieldMarks DecodeFieldMarks(const MarkImage& image, const MarkLayout& layout);

}  // namespace sim
