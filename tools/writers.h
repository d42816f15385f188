// Where captured frames go: Y4M (what ffmpeg and players read directly), PNG
// stills, or raw frames with a sidecar that states their format.
//
// Y4M. YUY2 frames are stored as planar 4:2:2 (C422), I420 frames as 4:2:0
// with the chroma sited as the driver makes it (C420mpeg2: each chroma sample
// sits on its pair's left luma sample and between the two rows it averages).
// Frames are marked progressive (Ip): the driver's full-height sizes are
// de-interlaced frames, and the half-height and smaller sizes are made from
// one field, so no frame holds two instants. The pixel aspect ratio is that
// of BT.601 sampling, 10:11 for 525 lines and 12:11 for 625 lines, which
// every size keeps (they are crops or whole-number reductions of it). RGB24
// frames are turned back into BT.601 YUV as 4:4:4 (C444), so nothing of their
// colour resolution is lost. The range tag says the levels are limited.
//
// PNG. 8-bit RGB with the pixel aspect of the sampling in pHYs. YUV frames are converted from BT.601 limited range; RGB24
// frames (bottom-up BGR rows) are turned top-down. A name with a frame-number
// pattern (%d, %05d) gets one file per frame, numbered from 1; a plain name
// holds exactly one frame.
//
// Raw. Frames back to back exactly as the driver delivers them, and beside
// the file "NAME.json" with fourcc, size, rate, frame count, frame bytes,
// row order and the ffmpeg options that read it.
//
// Every file is written under a temporary name and renamed when complete.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/atomic_file.h"
#include "tools/formats.h"

namespace kvcap {

enum class Container { Y4m, Png, Raw };

// By extension: .y4m, .png, .raw/.yuv/.rgb. Nullopt for anything else.
std::optional<Container> ContainerFromName(const std::string& path);
std::optional<Container> ParseContainer(std::string_view name);  // y4m, png, raw
std::string_view ContainerName(Container c);

// PNG name patterns: the index of the one %d / %0Nd (N 1..9), "%%" for a
// percent sign. HasFramePattern says whether there is one; false with
// *error set for any other use of '%'.
bool CheckFramePattern(const std::string& pattern, bool* hasPattern, std::string* error);
std::string ExpandFramePattern(const std::string& pattern, uint64_t number);

class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // One frame of exactly FrameBytes(format) bytes.
    virtual bool WriteFrame(const uint8_t* frame, size_t size, std::string* error) = 0;
    // Completes every file (renames into place). After a failure nothing
    // that looks complete is left of the files not yet finished.
    virtual bool Finish(std::string* error) = 0;
    // Removes what is not finished.
    virtual void Abandon() = 0;
    // Standard output's reader has gone (see AtomicFile::PipeClosed).
    virtual bool PipeClosed() const { return false; }
    // "Y4M 4:2:2 progressive", for the summary.
    virtual std::string Describe() const = 0;
    uint64_t Frames() const { return frames_; }
    uint64_t Bytes() const { return bytes_; }
    // The files finished or to be finished, in order.
    const std::vector<std::string>& Files() const { return files_; }

protected:
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
    std::vector<std::string> files_;
};

std::unique_ptr<FrameWriter> OpenWriter(Container container, const std::string& path, const VideoFormat& format,
                                        std::string* error);

// A word as a POSIX shell reads it back: unchanged when it is plain, else
// in single quotes.
std::string ShellQuote(const std::string& word);

// The Y4M stream header line for a format (with the newline).
std::string Y4mHeader(const VideoFormat& format);

// ---- conversions, also used by the tests ----

// A bottom-up BGR bitmap into the three full-size planes of 4:4:4.
void RgbToPlanar444(const uint8_t* bgr, int width, int height, uint8_t* planes);
// Packed YUY2 into the three planes of 4:2:2.
void Yuy2ToPlanar422(const uint8_t* yuy2, int width, int height, uint8_t* y, uint8_t* u, uint8_t* v);
// Any of the three frame layouts into top-down RGB rows (width x 3 bytes).
// BT.601 limited range to full range, rounded.
void FrameToRgb(const VideoFormat& format, const uint8_t* frame, uint8_t* rgb);
// A complete PNG file of top-down 8-bit RGB rows; the pixel aspect
// (width:height, e.g. 12:11) goes into a pHYs chunk when it is not 1:1.
std::vector<uint8_t> EncodePng(const uint8_t* rgb, int width, int height, uint32_t aspectWidth = 1,
                               uint32_t aspectHeight = 1);

}  // namespace kvcap
