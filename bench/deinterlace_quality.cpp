// De-interlacing quality against the progressive truth, side by side with
// plain weave, line averaging and FFmpeg's bwdif and yadif (when libavfilter
// is installed), plus the time per frame of the two library filters beside
// ours, measured in the same run.
//
// Every sequence is rendered progressively at field rate and interlaced top
// field first: frame n is field 1 = even lines at time 2n, field 2 = odd
// lines at time 2n + 1. A de-interlaced frame n is scored against the
// progressive picture at time 2n. Pixels count as moving where the truth at
// 2n - 1, 2n or 2n + 1 differs, still elsewhere. The comb measure is the
// share of moving pixels on rebuilt lines that stand out from both lines
// around them by more than 16 levels on the same side where the truth does
// not.
#include "bench/deinterlace_quality.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/zelpipe.h"

#if KV_BENCH_HAVE_AVFILTER
extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}
#endif

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kW = 720, kH = 576;

// ------------------------------------------------------------ pictures ----

// A plane of floats with bilinear sampling.
struct Canvas {
    int w = 0, h = 0;
    std::vector<float> y, u, v;
    float At(const std::vector<float>& p, double fx, double fy) const
    {
        fx = std::clamp(fx, 0.0, double(w - 1.001));
        fy = std::clamp(fy, 0.0, double(h - 1.001));
        const int x0 = int(fx), y0 = int(fy);
        const double ax = fx - x0, ay = fy - y0;
        const float* r0 = &p[size_t(y0) * w + x0];
        const float* r1 = r0 + w;
        return float((r0[0] * (1 - ax) + r0[1] * ax) * (1 - ay) + (r1[0] * (1 - ax) + r1[1] * ax) * ay);
    }
};

// Smooth noise: random values on a grid of `cell` pixels, bicubic between.
std::vector<float> ValueNoise(int w, int h, int cell, std::mt19937& rng)
{
    const int gw = w / cell + 4, gh = h / cell + 4;
    std::vector<float> grid(size_t(gw) * gh);
    std::uniform_real_distribution<float> uni(-1, 1);
    for (auto& g : grid) g = uni(rng);
    auto cubic = [](float a, float b, float c, float d, float t) {
        return b + 0.5f * t * (c - a + t * (2 * a - 5 * b + 4 * c - d + t * (3 * (b - c) + d - a)));
    };
    std::vector<float> out(size_t(w) * h);
    for (int y = 0; y < h; ++y) {
        const float gy = float(y) / cell + 1;
        const int iy = int(gy);
        const float ty = gy - iy;
        for (int x = 0; x < w; ++x) {
            const float gx = float(x) / cell + 1;
            const int ix = int(gx);
            const float tx = gx - ix;
            float col[4];
            for (int j = 0; j < 4; ++j) {
                const float* r = &grid[size_t(iy - 1 + j) * gw + ix - 1];
                col[j] = cubic(r[0], r[1], r[2], r[3], tx);
            }
            out[size_t(y) * w + x] = cubic(col[0], col[1], col[2], col[3], ty);
        }
    }
    return out;
}

// A photograph-like picture: noise over many scales (the finer the weaker),
// hard-edged shapes, thin lines, and colour that follows the shapes.
Canvas NaturalPicture(int w, int h)
{
    std::mt19937 rng(1234);
    Canvas c;
    c.w = w, c.h = h;
    c.y.assign(size_t(w) * h, 110.f);
    c.u.assign(size_t(w) * h, 128.f);
    c.v.assign(size_t(w) * h, 128.f);
    const int cells[] = {96, 40, 16, 6, 3};
    const float amps[] = {45, 25, 14, 9, 6};
    for (int k = 0; k < 5; ++k) {
        const auto n = ValueNoise(w, h, cells[k], rng);
        for (size_t i = 0; i < n.size(); ++i) c.y[i] += amps[k] * n[i];
    }
    const auto nu = ValueNoise(w, h, 80, rng), nv = ValueNoise(w, h, 70, rng);
    for (size_t i = 0; i < nu.size(); ++i) c.u[i] += 35 * nu[i], c.v[i] += 35 * nv[i];
    std::uniform_real_distribution<float> uni(0, 1);
    for (int s = 0; s < 40; ++s) {  // shapes: rectangles and discs
        const float cx = uni(rng) * w, cy = uni(rng) * h, r = 8 + uni(rng) * 50, lum = 30 + uni(rng) * 190;
        const float cu = 70 + uni(rng) * 116, cv = 70 + uni(rng) * 116;
        const bool disc = s & 1;
        for (int y = std::max(0, int(cy - r)); y < std::min(h, int(cy + r)); ++y) {
            for (int x = std::max(0, int(cx - r)); x < std::min(w, int(cx + r)); ++x) {
                if (disc && (x - cx) * (x - cx) + (y - cy) * (y - cy) > r * r) continue;
                const size_t i = size_t(y) * w + x;
                c.y[i] = 0.3f * c.y[i] + 0.7f * lum;
                c.u[i] = cu, c.v[i] = cv;
            }
        }
    }
    for (int s = 0; s < 30; ++s) {  // thin lines at random angles, 1 to 2 pixels wide
        const float x0 = uni(rng) * w, y0 = uni(rng) * h, angle = uni(rng) * 3.14159f, len = 60 + uni(rng) * 200;
        const float width = 1 + uni(rng), lum = uni(rng) < 0.5f ? 25.f : 225.f;
        const float dx = std::cos(angle), dy = std::sin(angle);
        for (float t = 0; t < len; t += 0.25f) {
            const float px = x0 + dx * t, py = y0 + dy * t;
            for (int y = int(py - 2); y <= int(py + 2); ++y) {
                for (int x = int(px - 2); x <= int(px + 2); ++x) {
                    if (x < 0 || y < 0 || x >= w || y >= h) continue;
                    const float dist = std::fabs((x - px) * dy - (y - py) * dx);
                    const float cover = std::clamp(width / 2 + 0.5f - dist, 0.f, 1.f);
                    float& Y = c.y[size_t(y) * w + x];
                    Y = std::max(cover * lum + (1 - cover) * Y, lum > 128 ? Y : std::min(Y, cover * lum + (1 - cover) * Y));
                }
            }
        }
    }
    return c;
}

enum Content { kPan, kDiagonals, kFastObjects, kText, kStill };

struct Sequence {
    const char* name;
    Content content;
    double vx, vy;  // pixels per field
    int noise;      // +- levels added to the fields
};

const Sequence kSequences[] = {
    {"pan 1 px/field", kPan, 1.0, 0.0, 0},
    {"pan 3.5 x 1.25 px/field", kPan, 3.5, 1.25, 0},
    {"pan 8 px/field", kPan, 8.0, 0.0, 0},
    {"pan 0.5 lines/field down", kPan, 0.0, 0.5, 0},
    {"thin diagonals, 1.5 px/field", kDiagonals, 1.5, 0.0, 0},
    {"fast bar and disc over still detail", kFastObjects, 12.0, 0.0, 0},
    {"scrolling text, 3 px/field", kText, 3.0, 0.0, 0},
    {"still", kStill, 0.0, 0.0, 0},
    {"pan 3.5 x 1.25, noise +-3", kPan, 3.5, 1.25, 3},
    {"still, noise +-3", kStill, 0.0, 0.0, 3},
};

struct Renderer {
    Canvas picture = NaturalPicture(kW + 300, kH + 60);
    std::vector<uint8_t> glyphs;  // 64 glyphs of 5 x 7 cells
    Renderer()
    {
        std::mt19937 rng(99);
        glyphs.resize(64 * 35);
        for (auto& g : glyphs) g = (rng() % 100) < 45;
    }

    // The progressive YUYV picture of sequence `s` at field time t.
    Bytes Render(const Sequence& s, int t) const
    {
        Bytes out(size_t(kW) * kH * 2);
        const bool panning = s.content == kPan;
        const double ox = panning ? s.vx * t : 0, oy = panning ? s.vy * t : 0;
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                double Y = picture.At(picture.y, x + ox, y + oy);
                double U = picture.At(picture.u, (x & ~1) + ox, y + oy);
                double V = picture.At(picture.v, (x & ~1) + ox, y + oy);
                switch (s.content) {
                case kDiagonals: {
                    // Lines at 20, 45 and 70 degrees in three bands, moving across.
                    const double angles[3] = {0.349, 0.785, 1.222};
                    const double a = angles[x * 3 / kW];
                    const double d = (x - s.vx * t) * std::sin(a) - y * std::cos(a);
                    const double m = std::fmod(std::fabs(d), 24.0);
                    const double dist = std::min(m, 24.0 - m);
                    const double cover = std::clamp(0.75 + 0.5 - dist, 0.0, 1.0);
                    Y = cover * 230 + (1 - cover) * 40;
                    U = V = 128;
                    break;
                }
                case kFastObjects: {
                    // A bar bouncing at s.vx between two walls, and a disc.
                    const double span = kW - 100;
                    double bx = std::fmod(s.vx * t, 2 * span);
                    if (bx > span) bx = 2 * span - bx;
                    if (x >= bx + 20 && x < bx + 44 && y > 60 && y < 520) Y = 200 + 20 * ((y / 8) & 1), U = 90, V = 200;
                    const double dx = x - (100 + 5 * t), dy = y - (300 - 3 * t);
                    if (dx * dx + dy * dy < 60 * 60) Y = 60 + 60 * ((int(std::sqrt(dx * dx + dy * dy)) / 6) & 1), U = 200, V = 90;
                    break;
                }
                case kText: {
                    const int top = 380, rows = 2, cellPx = 2;
                    const int ty = y - top;
                    if (ty >= 0 && ty < rows * 9 * cellPx * 2) {
                        const int row = ty / (9 * cellPx * 2);
                        const int gy = (ty % (9 * cellPx * 2)) / (cellPx * 2);
                        const int u = int(std::floor(x + s.vx * t * (row ? 1 : 0.5)));
                        const int glyph = ((u / (6 * cellPx * 2)) * 7 + row * 13) & 63;
                        const int gx = (u % (6 * cellPx * 2) + 6 * cellPx * 2) % (6 * cellPx * 2) / (cellPx * 2);
                        const bool ink = gx < 5 && gy < 7 && glyphs[glyph * 35 + gy * 5 + gx];
                        Y = ink ? 225 : 25;
                        U = V = 128;
                    }
                    break;
                }
                default:
                    break;
                }
                uint8_t* px = &out[(size_t(y) * kW + x) * 2];
                px[0] = uint8_t(std::clamp(std::lround(Y), 16L, 235L));
                px[1] = uint8_t(std::clamp(std::lround((x & 1) ? V : U), 16L, 240L));
            }
        }
        return out;
    }
};

Bytes FieldOf(const Bytes& picture, int parity)
{
    Bytes f;
    const size_t line = size_t(kW) * 2;
    for (int y = parity; y < kH; y += 2) f.insert(f.end(), picture.begin() + y * line, picture.begin() + (y + 1) * line);
    return f;
}

double ThreadSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One interlaced sequence: frames of fields, and the truth at each first
// field's time with its neighbours for the motion mask.
struct Clip {
    std::vector<Bytes> first, second, truth;
    std::vector<std::vector<uint8_t>> moving;  // per frame, per pixel
};

Clip MakeClip(const Renderer& r, const Sequence& s, int frames)
{
    Clip c;
    std::mt19937 rng(7);
    auto noisy = [&](Bytes f) {
        if (s.noise) {
            for (auto& b : f) b = uint8_t(std::clamp(int(b) + int(rng() % (2 * s.noise + 1)) - s.noise, 0, 255));
        }
        return f;
    };
    Bytes before = r.Render(s, -1);
    for (int n = 0; n < frames; ++n) {
        Bytes now = r.Render(s, 2 * n), after = r.Render(s, 2 * n + 1);
        c.first.push_back(noisy(FieldOf(now, 0)));
        c.second.push_back(noisy(FieldOf(after, 1)));
        std::vector<uint8_t> mask(size_t(kW) * kH);
        for (size_t i = 0; i < mask.size(); ++i) {
            mask[i] = before[2 * i] != now[2 * i] || after[2 * i] != now[2 * i];
        }
        c.moving.push_back(std::move(mask));
        c.truth.push_back(std::move(now));
        before = std::move(after);
    }
    return c;
}

// Luma of a de-interlaced frame, kW x kH.
using Luma = std::vector<uint8_t>;

Luma LumaOf(const Bytes& yuyv)
{
    Luma l(size_t(kW) * kH);
    for (size_t i = 0; i < l.size(); ++i) l[i] = yuyv[2 * i];
    return l;
}

// --------------------------------------------------------------- methods ----

struct Method {
    std::string name;
    // Frame n of the clip (1 <= n < frames - 1), luma out.
    std::function<Luma(const Clip&, int)> run;
    std::vector<double> seconds;  // time per frame, where measured
};

Bytes Weave(const Clip& c, int n)
{
    Bytes f(size_t(kW) * kH * 2);
    const size_t line = size_t(kW) * 2;
    for (int k = 0; k < kH / 2; ++k) {
        std::memcpy(&f[2 * k * line], &c.first[n][k * line], line);
        std::memcpy(&f[(2 * k + 1) * line], &c.second[n][k * line], line);
    }
    return f;
}

Luma LineAverage(const Clip& c, int n)
{
    Bytes f = Weave(c, n);
    const size_t line = size_t(kW) * 2;
    for (int k = 0; k < kH / 2; ++k) {
        const uint8_t* a = &c.first[n][k * line];
        const uint8_t* b = &c.first[n][std::min(k + 1, kH / 2 - 1) * line];
        for (size_t i = 0; i < line; ++i) f[(2 * k + 1) * line + i] = uint8_t((a[i] + b[i] + 1) / 2);
    }
    return LumaOf(f);
}

#if KV_BENCH_HAVE_AVFILTER
// One of libavfilter's de-interlacers on yuv422p frames, one output frame per
// input frame at the first field's time, single-threaded.
class LibraryFilter {
public:
    explicit LibraryFilter(const char* filter) : name_(filter) {}

    // Runs the whole clip through a fresh graph; outputs by frame, with the
    // time each frame took.
    std::vector<Luma> Run(const Clip& c, std::vector<double>* seconds)
    {
        AVFilterGraph* graph = avfilter_graph_alloc();
        graph->nb_threads = 1;
        AVFilterContext *src = nullptr, *flt = nullptr, *sink = nullptr;
        char args[128];
        std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1", kW, kH,
                      int(AV_PIX_FMT_YUV422P));
        avfilter_graph_create_filter(&src, avfilter_get_by_name("buffer"), "in", args, nullptr, graph);
        avfilter_graph_create_filter(&flt, avfilter_get_by_name(name_), "deint", "mode=send_frame:parity=tff:deint=all",
                                     nullptr, graph);
        avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph);
        avfilter_link(src, 0, flt, 0);
        avfilter_link(flt, 0, sink, 0);
        std::vector<Luma> outs;
        if (avfilter_graph_config(graph, nullptr) < 0) {
            avfilter_graph_free(&graph);
            return outs;
        }
        AVFrame* out = av_frame_alloc();
        const int frames = int(c.first.size());
        for (int n = 0; n <= frames; ++n) {
            AVFrame* in = nullptr;
            if (n < frames) {
                in = av_frame_alloc();
                in->width = kW, in->height = kH, in->format = AV_PIX_FMT_YUV422P;
                av_frame_get_buffer(in, 64);
                in->pts = n;
                in->interlaced_frame = 1;
                in->top_field_first = 1;
                const Bytes woven = Weave(c, n);
                for (int y = 0; y < kH; ++y) {
                    for (int x = 0; x < kW; ++x) in->data[0][y * in->linesize[0] + x] = woven[(size_t(y) * kW + x) * 2];
                    for (int x = 0; x < kW / 2; ++x) {
                        in->data[1][y * in->linesize[1] + x] = woven[(size_t(y) * kW + 2 * x) * 2 + 1];
                        in->data[2][y * in->linesize[2] + x] = woven[(size_t(y) * kW + 2 * x) * 2 + 3];
                    }
                }
            }
            const double t0 = ThreadSeconds();
            if (av_buffersrc_add_frame(src, in) < 0) break;
            int got = 0;
            while (av_buffersink_get_frame(sink, out) >= 0) {
                Luma l(size_t(kW) * kH);
                for (int y = 0; y < kH; ++y) std::memcpy(&l[size_t(y) * kW], out->data[0] + y * out->linesize[0], kW);
                outs.push_back(std::move(l));
                av_frame_unref(out);
                ++got;
            }
            const double t1 = ThreadSeconds();
            if (in && got) seconds->push_back(t1 - t0);
            av_frame_free(&in);
        }
        av_frame_free(&out);
        avfilter_graph_free(&graph);
        return outs;
    }

private:
    const char* name_;
};
#endif

// --------------------------------------------------------------- scoring ----

struct Score {
    double seAll = 0, seMoving = 0, seStill = 0;
    size_t nAll = 0, nMoving = 0, nStill = 0;
    size_t combs = 0, rebuiltMoving = 0;
    // Shimmer: how much the error changes from one frame to the next at the
    // same point of the picture, where it is known where that point was a
    // frame before: everywhere when the whole picture moves by whole pixels
    // a frame (dx, dy), else on pixels still in both frames. A rule that
    // switches between weaving and rebuilding a pixel from frame to frame,
    // or whose error wanders with the field phase, shows here even where
    // its PSNR is good.
    bool wholeShift = false;
    int dx = 0, dy = 0;
    std::vector<int> lastError;
    std::vector<uint8_t> lastMoving;
    double shimmerSum = 0;
    size_t shimmerCount = 0;
    void Add(const Luma& out, const Bytes& truth, const std::vector<uint8_t>& moving)
    {
        std::vector<int> error(out.size());
        for (size_t i = 0; i < out.size(); ++i) error[i] = int(out[i]) - truth[2 * i];
        if (!lastError.empty()) {
            for (int y = 0; y < kH; ++y) {
                for (int x = 0; x < kW; ++x) {
                    const int xs = x + dx, ys = y + dy;
                    if (xs < 0 || xs >= kW || ys < 0 || ys >= kH) continue;
                    const size_t i = size_t(y) * kW + x, j = size_t(ys) * kW + xs;
                    if (!wholeShift && (moving[i] || lastMoving[i])) continue;
                    shimmerSum += std::abs(error[i] - lastError[j]);
                    ++shimmerCount;
                }
            }
        }
        lastError = std::move(error);
        lastMoving = moving;
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                const size_t i = size_t(y) * kW + x;
                const double d = double(out[i]) - truth[2 * i];
                seAll += d * d, ++nAll;
                if (moving[i]) seMoving += d * d, ++nMoving;
                else seStill += d * d, ++nStill;
                if ((y & 1) && moving[i] && y + 1 < kH) {
                    ++rebuiltMoving;
                    auto tooth = [&](int a, int b, int o) {
                        return std::min(std::abs(o - a), std::abs(o - b)) > 16 && (o - a > 0) == (o - b > 0);
                    };
                    if (tooth(out[i - kW], out[i + kW], out[i]) &&
                        !tooth(truth[2 * (i - kW)], truth[2 * (i + kW)], truth[2 * i]))
                        ++combs;
                }
            }
        }
    }
    static std::string Psnr(double se, size_t n)
    {
        char s[16];
        if (n == 0) return "-";
        if (se == 0) return "exact";
        std::snprintf(s, sizeof s, "%.2f", 10 * std::log10(255.0 * 255.0 * double(n) / se));
        return s;
    }
    std::string Shimmer() const
    {
        char s[16];
        if (shimmerCount == 0) return "-";
        std::snprintf(s, sizeof s, "%.3f", shimmerSum / double(shimmerCount));
        return s;
    }
};

}  // namespace

void PrintDeinterlaceQuality(int frames)
{
    const Renderer renderer;
    PPL_HANDLE handle = ppl_init();
    std::vector<Method> methods;
    methods.push_back({"weave", [](const Clip& c, int n) { return LumaOf(Weave(c, n)); }, {}});
    methods.push_back({"line average", LineAverage, {}});
    // One output buffer for every call, so that no timing counts page faults.
    Bytes ourOut(size_t(kW) * kH * 2);
    methods.push_back({"ours", [&](const Clip& c, int n) {
                           Bytes& out = ourOut;
                           const double t0 = ThreadSeconds();
                           IntlYUYVToYUYVMMX(handle, c.second[n - 1].data(), c.first[n].data(), c.second[n].data(),
                                             out.data(), kW, kH, kW, kH);
                           methods[2].seconds.push_back(ThreadSeconds() - t0);
                           return LumaOf(out);
                       }, {}});
#if KV_BENCH_HAVE_AVFILTER
    const char* libraries[] = {"bwdif", "yadif"};
#endif

    std::printf("\nDe-interlacing quality: luma PSNR (dB) against the progressive truth, whole / moving / still\n"
                "pixels, comb teeth (%% of moving pixels on rebuilt lines), and shimmer (mean change of the\n"
                "error in luma levels from one frame to the next at the same point of the picture: over the\n"
                "whole frame where the picture moves by whole pixels a frame, else over pixels still in both);\n"
                "%dx%d, frames 1..%d of %d, top field first, ours with the previous second field only, the\n"
                "libraries with a whole frame ahead.\n\n",
                kW, kH, frames - 2, frames);
    std::printf("%-36s %-13s %8s %8s %8s %7s %8s\n", "sequence", "method", "whole", "moving", "still", "comb %",
                "shimmer");
    std::vector<double> movingSum;
    std::vector<std::string> names;
    for (const Sequence& s : kSequences) {
        const Clip clip = MakeClip(renderer, s, frames);
        // The picture a frame (two fields) before sits 2 v further on.
        Score fresh;
        const double fx = 2 * s.vx, fy = 2 * s.vy;
        fresh.wholeShift = (s.content == kPan && fx == std::floor(fx) && fy == std::floor(fy)) || s.content == kStill;
        if (fresh.wholeShift) fresh.dx = int(fx), fresh.dy = int(fy);
        std::vector<std::pair<std::string, Score>> rows;
        for (Method& m : methods) {
            if (!m.run) continue;
            Score score = fresh;
            for (int n = 1; n + 1 < frames; ++n) score.Add(m.run(clip, n), clip.truth[n], clip.moving[n]);
            rows.push_back({m.name, score});
        }
#if KV_BENCH_HAVE_AVFILTER
        for (const char* lib : libraries) {
            std::vector<double> seconds;
            const std::vector<Luma> outs = LibraryFilter(lib).Run(clip, &seconds);
            Score score = fresh;
            for (int n = 1; n + 1 < frames && n < int(outs.size()); ++n) score.Add(outs[n], clip.truth[n], clip.moving[n]);
            rows.push_back({lib, score});
            auto it = std::find_if(methods.begin(), methods.end(), [&](const Method& m) { return m.name == lib; });
            if (it == methods.end()) methods.push_back({lib, nullptr, {}}), it = methods.end() - 1;
            it->seconds.insert(it->seconds.end(), seconds.begin(), seconds.end());
        }
#endif
        if (movingSum.empty()) movingSum.assign(rows.size(), 0), names.resize(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            const Score& sc = rows[i].second;
            std::printf("%-36s %-13s %8s %8s %8s %7.3f %8s\n", i == 0 ? s.name : "", rows[i].first.c_str(),
                        Score::Psnr(sc.seAll, sc.nAll).c_str(), Score::Psnr(sc.seMoving, sc.nMoving).c_str(),
                        Score::Psnr(sc.seStill, sc.nStill).c_str(),
                        sc.rebuiltMoving ? 100.0 * double(sc.combs) / double(sc.rebuiltMoving) : 0.0,
                        sc.Shimmer().c_str());
            names[i] = rows[i].first;
            if (sc.nMoving) movingSum[i] += 10 * std::log10(255.0 * 255.0 * double(sc.nMoving) / std::max(sc.seMoving, 1e-9));
        }
    }
    std::printf("\nMean moving-pixel PSNR over the sequences with motion:");
    const int movingSequences = int(std::count_if(std::begin(kSequences), std::end(kSequences),
                                                   [](const Sequence& s) { return s.content != kStill; }));
    for (size_t i = 0; i < names.size(); ++i) std::printf("  %s %.2f", names[i].c_str(), movingSum[i] / movingSequences);
    std::printf("\n\nTime per 720x576 frame on this thread (median over every frame above):");
    double ours = 0;
    for (const Method& m : methods) {
        if (m.seconds.empty()) continue;
        const double us = Median(m.seconds) * 1e6;
        if (m.name == "ours") ours = us;
        std::printf("  %s %.1f us", m.name.c_str(), us);
    }
    for (const Method& m : methods) {
        if (m.name != "ours" && !m.seconds.empty() && ours > 0)
            std::printf("\n  %s / ours = %.1f (target at least 10)", m.name.c_str(), Median(m.seconds) * 1e6 / ours);
    }
    std::printf("\n\n");
    ppl_free(handle);
}
