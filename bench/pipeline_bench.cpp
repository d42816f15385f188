// The image pipeline's speed and de-interlacing quality.
//
// Speed: for every source / output pair the capture path produces, in each
// format, our conversion against libyuv and libswscale doing the equivalent
// work with their fastest sequences of calls (weave by doubled strides or
// field by field, then convert; scale with box or bilinear filters), each
// on the same inputs: four different raw frames stored in turn into a
// four-slot field ring the way the capture path stores them, so the fields
// are warm in the cache as after packet assembly but never one hot buffer.
// Only the conversion is timed. Outputs rotate over three buffers. Plus a
// memcpy of the raw frame, a plain weave, and a summary of ratios per job.
//
// Library sequences for scaled outputs start from the first field or from
// the woven frame, each with a box and a bilinear filter; the summary takes
// the fastest. Noise from other work on the machine shifts whole runs, so
// final figures come from --benchmark_enable_random_interleaving=true with
// repetitions (medians), which spreads it over all benchmarks alike.
//
// Quality: see deinterlace_quality.cpp.
//
//   pipeline_bench                      everything (summary at the end)
//   pipeline_bench --quality-only       just the quality table
//   pipeline_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
//                                        medians, as the summary then uses
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/deinterlace_quality.h"
#include "pipeline/pipeline_internal.h"
#include "platform/zelpipe.h"

#if KV_BENCH_HAVE_LIBYUV
#include <libyuv.h>
#endif
#if KV_BENCH_HAVE_SWSCALE
extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#endif

namespace {

using Bytes = std::vector<uint8_t>;

enum class Fmt { YUY2, I420, RGB24 };
const char* Name(Fmt f) { return f == Fmt::YUY2 ? "YUY2" : f == Fmt::I420 ? "I420" : "RGB24"; }

size_t OutBytes(Fmt f, int w, int h)
{
    return f == Fmt::YUY2 ? size_t(w) * h * 2 : f == Fmt::I420 ? size_t(w) * h * 3 / 2 : size_t(w) * h * 3;
}

// ------------------------------------------------------------ pictures ----

// A moving test scene, progressive, at field time t: a detailed still
// background, a textured disc moving diagonally, a ticker strip scrolling
// left and a slow bar (the `parts` present); `speed` scales all motion (0: a
// still picture). kPan pans the background too, 2.5 pixels a field at speed
// 1, so that every pixel moves.
enum { kDisc = 1, kTicker = 2, kBar = 4, kAllParts = 7, kPan = 8 };

Bytes Scene(int w, int h, int t, int speed, int parts = kAllParts)
{
    Bytes p(size_t(w) * h * 2);
    const double discX = w * 0.2 + 3.0 * speed * t, discY = h * 0.35 + 1.0 * speed * t, radius = h * 0.12;
    const int tickerTop = int(h * 0.78), tickerBottom = tickerTop + h / 12;
    const double barX = w * 0.7 + 0.5 * speed * t;
    const double pan = (parts & kPan) ? 2.5 * speed * t : 0.0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double bx = x + pan;
            double Y = 110 + 40 * std::sin(bx / 23.0) * std::cos(y / 17.0) + 18 * std::sin((bx + 2 * y) / 5.0);
            double U = 128 + 30 * std::sin(bx / 60.0), V = 128 + 30 * std::cos(y / 45.0);
            const double dx = x - discX, dy = y - discY;
            if ((parts & kDisc) && dx * dx + dy * dy < radius * radius) {
                Y = 150 + 60 * std::sin(std::sqrt(dx * dx + dy * dy) / 3.0);
                U = 90;
                V = 190;
            }
            if ((parts & kTicker) && y >= tickerTop && y < tickerBottom) {
                const int u = x + 4 * speed * t;
                const bool ink = ((u / 7) % 5 != 0) && (((u / 3) ^ (y - tickerTop) / 4) % 3 == 0);
                Y = ink ? 230 : 30;
                U = 128;
                V = 128;
            }
            if ((parts & kBar) && std::fabs(x - barX) < 12) {
                Y = 60 + (y % 32);
                U = 160;
                V = 100;
            }
            uint8_t* px = &p[(size_t(y) * w + x) * 2];
            px[0] = uint8_t(std::clamp(std::lround(Y), 16L, 235L));
            px[1] = uint8_t(std::clamp(std::lround((x & 1) ? V : U), 16L, 240L));
        }
    }
    return p;
}

// Lines of one parity of a progressive picture.
Bytes FieldOf(const Bytes& picture, int w, int h, int parity)
{
    Bytes f;
    const size_t line = size_t(w) * 2;
    for (int y = parity; y < h; y += 2) f.insert(f.end(), picture.begin() + y * line, picture.begin() + (y + 1) * line);
    return f;
}

// -------------------------------------------------------------- inputs ----

// Four raw frames (field 1 then field 2) stored in turn into a four-slot
// field ring as the capture path stores them; previous, first and second
// are the ring's slots after each store.
struct Ring {
    int w, h;
    size_t fieldBytes;
    std::vector<Bytes> raw;
    Bytes slots[4];
    unsigned counter = 0;
    const uint8_t *previous = nullptr, *first = nullptr, *second = nullptr;
    const uint8_t* rawNow = nullptr;

    Ring(int width, int height, int speed = 1, int parts = kAllParts)
        : w(width), h(height), fieldBytes(size_t(width) * height)
    {
        for (int i = 0; i < 4; ++i) {
            Bytes frame = FieldOf(Scene(w, h, 2 * i, speed, parts), w, h, 0);
            const Bytes second = FieldOf(Scene(w, h, 2 * i + 1, speed, parts), w, h, 1);
            frame.insert(frame.end(), second.begin(), second.end());
            raw.push_back(std::move(frame));
        }
        for (auto& s : slots) s.assign(fieldBytes, 0);
        for (int i = 0; i < 4; ++i) Next();
    }
    void Next()
    {
        rawNow = raw[(counter / 2) % raw.size()].data();
        std::memcpy(slots[counter % 4].data(), rawNow, fieldBytes);
        ++counter;
        std::memcpy(slots[counter % 4].data(), rawNow + fieldBytes, fieldBytes);
        ++counter;
        previous = slots[(counter + 1) % 4].data();
        first = slots[(counter - 2) % 4].data();
        second = slots[(counter - 1) % 4].data();
    }
};

using Work = std::function<void(const Ring&, uint8_t* out)>;

// The calling thread's processor time: other programs sharing the machine
// preempt a run now and then, and wall time would count that.
double ThreadSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Times `work` on the rotating inputs; only the work itself is timed.
void Measure(benchmark::State& state, Ring& ring, size_t outBytes, const Work& work)
{
    Bytes outs[3];
    for (auto& o : outs) o.assign(outBytes + 64, 0);
    unsigned i = 0;
    for (auto _ : state) {
        ring.Next();
        uint8_t* out = outs[i++ % 3].data();
        const double t0 = ThreadSeconds();
        work(ring, out);
        const double t1 = ThreadSeconds();
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        state.SetIterationTime(t1 - t0);
    }
}

// ---------------------------------------------------------------- jobs ----

struct Job {
    Fmt fmt;
    int sw, sh, ow, oh;
    double target;  // at most this times the fastest library
};

std::string JobName(const Job& j)
{
    char s[64];
    if (j.sw == j.ow && j.sh == j.oh) std::snprintf(s, sizeof s, "%s %dx%d", Name(j.fmt), j.ow, j.oh);
    else std::snprintf(s, sizeof s, "%s %dx%d from %dx%d", Name(j.fmt), j.ow, j.oh, j.sw, j.sh);
    return s;
}

// Content for the de-interlacer's extremes, YUY2 720x576 only.
struct Content {
    const char* name;
    int speed, parts;
};
const Content kContents[] = {{"still", 0, kAllParts}, {"moving", 1, kAllParts | kPan}};

std::vector<Job> Jobs()
{
    std::vector<Job> jobs;
    auto add = [&](int sw, int sh, int ow, int oh, std::initializer_list<Fmt> fmts) {
        // Full-height YUY2 de-interlaces against the libraries' plain weave
        // (which combs on every moving edge): its own target.
        const bool fullYuy2 = sw == ow && sh == oh;
        for (Fmt f : fmts) {
            jobs.push_back({f, sw, sh, ow, oh, f == Fmt::RGB24 ? 0.6 : f == Fmt::YUY2 && fullYuy2 ? 1.15 : 1.0});
        }
    };
    add(720, 576, 720, 576, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    add(720, 480, 720, 480, {Fmt::YUY2, Fmt::RGB24});
    add(640, 480, 640, 480, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    add(704, 576, 352, 288, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    add(704, 480, 352, 240, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    add(704, 576, 176, 144, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    add(640, 480, 320, 240, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    add(640, 480, 160, 120, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    // A 625-line size while a 525-line standard is set, and the 176 x 120 case.
    add(704, 480, 352, 288, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    add(704, 480, 176, 144, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    add(704, 480, 176, 120, {Fmt::YUY2, Fmt::I420, Fmt::RGB24});
    return jobs;
}

void Ours(const Job& j, PPL_HANDLE h, const Ring& r, uint8_t* out)
{
    switch (j.fmt) {
    case Fmt::YUY2: IntlYUYVToYUYVMMX(h, r.previous, r.first, r.second, out, j.sw, j.sh, j.ow, j.oh); break;
    case Fmt::I420: IntlYUYVToI420MMX(h, r.previous, r.first, r.second, out, j.sw, j.sh, j.ow, j.oh); break;
    case Fmt::RGB24: IntlYUYVToRGB24MMX(h, r.previous, r.first, r.second, out, j.sw, j.sh, j.ow, j.oh); break;
    }
}

// Both fields woven into a frame, for the library sequences that need one.
void WeaveInto(const Ring& r, uint8_t* frame)
{
    const size_t line = size_t(r.w) * 2;
    for (int k = 0; k < r.h / 2; ++k) {
        std::memcpy(frame + 2 * k * line, r.first + k * line, line);
        std::memcpy(frame + (2 * k + 1) * line, r.second + k * line, line);
    }
}

struct Variant {
    std::string name;
    Work work;
};

#if KV_BENCH_HAVE_LIBYUV
std::vector<Variant> LibyuvVariants(const Job& j)
{
    using namespace libyuv;
    std::vector<Variant> v;
    const int sw = j.sw, sh = j.sh, ow = j.ow, oh = j.oh, fh = sh / 2;
    auto tmp = std::make_shared<Bytes>(size_t(sw) * sh * 4 + 4096);
    auto small = std::make_shared<Bytes>(size_t(ow) * oh * 4 + 4096);
    if (sw == ow && sh == oh) {
        switch (j.fmt) {
        case Fmt::YUY2:
            v.push_back({"weave", [=](const Ring& r, uint8_t* out) {
                             CopyPlane(r.first, sw * 2, out, sw * 4, sw * 2, fh);
                             CopyPlane(r.second, sw * 2, out + sw * 2, sw * 4, sw * 2, fh);
                         }});
            break;
        case Fmt::I420:
            v.push_back({"fields", [=](const Ring& r, uint8_t* out) {
                             uint8_t* y = out;
                             uint8_t* u = out + sw * sh;
                             uint8_t* vv = u + sw * sh / 4;
                             YUY2ToI420(r.first, sw * 2, y, sw * 2, u, sw, vv, sw, sw, fh);
                             YUY2ToI420(r.second, sw * 2, y + sw, sw * 2, u + sw / 2, sw, vv + sw / 2, sw, sw, fh);
                         }});
            v.push_back({"weave+convert", [=](const Ring& r, uint8_t* out) {
                             WeaveInto(r, tmp->data());
                             YUY2ToI420(tmp->data(), sw * 2, out, sw, out + sw * sh, sw / 2, out + sw * sh * 5 / 4,
                                        sw / 2, sw, sh);
                         }});
            break;
        case Fmt::RGB24:
            v.push_back({"fields ARGB+RGB24", [=](const Ring& r, uint8_t* out) {
                             uint8_t* argb = tmp->data();
                             YUY2ToARGB(r.first, sw * 2, argb, sw * 8, sw, fh);
                             YUY2ToARGB(r.second, sw * 2, argb + sw * 4, sw * 8, sw, fh);
                             ARGBToRGB24(argb, sw * 4, out, sw * 3, sw, -sh);
                         }});
            v.push_back({"fields I422+RGB24", [=](const Ring& r, uint8_t* out) {
                             uint8_t* y = tmp->data();
                             uint8_t* u = y + sw * sh;
                             uint8_t* vv = u + sw * sh / 2;
                             YUY2ToI422(r.first, sw * 2, y, sw * 2, u, sw, vv, sw, sw, fh);
                             YUY2ToI422(r.second, sw * 2, y + sw, sw * 2, u + sw / 2, sw, vv + sw / 2, sw, sw, fh);
                             I422ToRGB24(y, sw, u, sw / 2, vv, sw / 2, out, sw * 3, sw, -sh);
                         }});
            break;
        }
        return v;
    }
    // Scaled: from the first field, or from both fields woven into a frame
    // (which lets whole-ratio scalers take their two-to-one paths).
    struct Source {
        const char* name;
        bool woven;
    };
    const std::vector<Source> sources = {{"weave", true}, {"field", false}};
    for (const Source src : sources) {
        const int ih = src.woven ? sh : fh;
        for (FilterMode filter : {kFilterBox, kFilterBilinear}) {
            const std::string name =
                std::string(src.name) + (filter == kFilterBox ? "+box" : "+bilinear");
            auto input = [=](const Ring& r) -> const uint8_t* {
                if (!src.woven) return r.first;
                WeaveInto(r, tmp->data() + size_t(sw) * sh * 2);
                return tmp->data() + size_t(sw) * sh * 2;
            };
            switch (j.fmt) {
            case Fmt::I420:
                v.push_back({name, [=](const Ring& r, uint8_t* out) {
                                 const uint8_t* in = input(r);
                                 uint8_t* y = tmp->data();
                                 uint8_t* u = y + sw * ih;
                                 uint8_t* vv = u + sw * ih / 4;
                                 YUY2ToI420(in, sw * 2, y, sw, u, sw / 2, vv, sw / 2, sw, ih);
                                 I420Scale(y, sw, u, sw / 2, vv, sw / 2, sw, ih, out, ow, out + ow * oh, ow / 2,
                                           out + ow * oh * 5 / 4, ow / 2, ow, oh, filter);
                             }});
                break;
            case Fmt::YUY2:
                v.push_back({name, [=](const Ring& r, uint8_t* out) {
                                 const uint8_t* in = input(r);
                                 uint8_t* y = tmp->data();
                                 uint8_t* u = y + sw * ih;
                                 uint8_t* vv = u + sw * ih / 2;
                                 YUY2ToI422(in, sw * 2, y, sw, u, sw / 2, vv, sw / 2, sw, ih);
                                 uint8_t* sy = small->data();
                                 uint8_t* su = sy + ow * oh;
                                 uint8_t* sv = su + ow * oh / 2;
                                 I422Scale(y, sw, u, sw / 2, vv, sw / 2, sw, ih, sy, ow, su, ow / 2, sv, ow / 2, ow, oh,
                                           filter);
                                 I422ToYUY2(sy, ow, su, ow / 2, sv, ow / 2, out, ow * 2, ow, oh);
                             }});
                break;
            case Fmt::RGB24:
                v.push_back({name, [=](const Ring& r, uint8_t* out) {
                                 const uint8_t* in = input(r);
                                 uint8_t* y = tmp->data();
                                 uint8_t* u = y + sw * ih;
                                 uint8_t* vv = u + sw * ih / 4;
                                 YUY2ToI420(in, sw * 2, y, sw, u, sw / 2, vv, sw / 2, sw, ih);
                                 uint8_t* sy = small->data();
                                 uint8_t* su = sy + ow * oh;
                                 uint8_t* sv = su + ow * oh / 4;
                                 I420Scale(y, sw, u, sw / 2, vv, sw / 2, sw, ih, sy, ow, su, ow / 2, sv, ow / 2, ow, oh,
                                           filter);
                                 I420ToRGB24(sy, ow, su, ow / 2, sv, ow / 2, out, ow * 3, ow, -oh);
                             }});
                break;
            }
        }
    }
    return v;
}
#endif

#if KV_BENCH_HAVE_SWSCALE
AVPixelFormat PixFmt(Fmt f)
{
    return f == Fmt::YUY2 ? AV_PIX_FMT_YUYV422 : f == Fmt::I420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_BGR24;
}

// Output planes of `rows` rows of the frame, starting at row `row0` and
// stepping `step` rows; RGB24 is bottom-up, so its rows step backwards.
void Planes(Fmt f, uint8_t* out, int w, int h, int row0, int step, uint8_t* dst[4], int stride[4])
{
    dst[1] = dst[2] = dst[3] = nullptr;
    stride[1] = stride[2] = stride[3] = 0;
    switch (f) {
    case Fmt::YUY2:
        dst[0] = out + size_t(row0) * w * 2;
        stride[0] = step * w * 2;
        break;
    case Fmt::I420:
        dst[0] = out + size_t(row0) * w;
        stride[0] = step * w;
        dst[1] = out + size_t(w) * h + size_t(row0) * (w / 2);
        dst[2] = dst[1] + size_t(w / 2) * (h / 2);
        stride[1] = stride[2] = step * (w / 2);
        break;
    case Fmt::RGB24:
        dst[0] = out + size_t(h - 1 - row0) * w * 3;
        stride[0] = -step * w * 3;
        break;
    }
}

std::vector<Variant> SwscaleVariants(const Job& j)
{
    std::vector<Variant> v;
    const int sw = j.sw, sh = j.sh, ow = j.ow, oh = j.oh, fh = sh / 2;
    const AVPixelFormat dstFmt = PixFmt(j.fmt);
    const Fmt fmt = j.fmt;
    if (sw == ow && sh == oh) {
        std::shared_ptr<SwsContext> ctx(
            sws_getContext(sw, fh, AV_PIX_FMT_YUYV422, sw, fh, dstFmt, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr),
            sws_freeContext);
        v.push_back({"fields", [=](const Ring& r, uint8_t* out) {
                         for (int field = 0; field < 2; ++field) {
                             const uint8_t* src[4] = {field ? r.second : r.first, nullptr, nullptr, nullptr};
                             const int srcStride[4] = {sw * 2, 0, 0, 0};
                             uint8_t* dst[4];
                             int stride[4];
                             Planes(fmt, out, ow, oh, field, 2, dst, stride);
                             sws_scale(ctx.get(), src, srcStride, 0, fh, dst, stride);
                         }
                     }});
        return v;
    }
    auto tmp = std::make_shared<Bytes>(size_t(sw) * sh * 2);
    for (bool woven : {true, false}) {
        const int ih = woven ? sh : fh;
        for (int flags : {SWS_FAST_BILINEAR, SWS_AREA}) {
            std::shared_ptr<SwsContext> ctx(
                sws_getContext(sw, ih, AV_PIX_FMT_YUYV422, ow, oh, dstFmt, flags, nullptr, nullptr, nullptr),
                sws_freeContext);
            const std::string name = std::string(woven ? "weave" : "field") + (flags == SWS_AREA ? "+area" : "+fast_bilinear");
            v.push_back({name, [=](const Ring& r, uint8_t* out) {
                             const uint8_t* in = r.first;
                             if (woven) {
                                 WeaveInto(r, tmp->data());
                                 in = tmp->data();
                             }
                             const uint8_t* src[4] = {in, nullptr, nullptr, nullptr};
                             const int srcStride[4] = {sw * 2, 0, 0, 0};
                             uint8_t* dst[4];
                             int stride[4];
                             Planes(fmt, out, ow, oh, 0, 1, dst, stride);
                             sws_scale(ctx.get(), src, srcStride, 0, ih, dst, stride);
                         }});
        }
    }
    return v;
}
#endif

// ------------------------------------------------------------- summary ----

// Keeps each benchmark's time (the median when repetitions run) for the
// summary, and prints as the console reporter does.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") medians_[name] = run.GetAdjustedRealTime();
            } else {
                samples_[name].push_back(run.GetAdjustedRealTime());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Microseconds per benchmark: the reported median, else the median of
    // the runs seen.
    std::map<std::string, double> Times() const
    {
        std::map<std::string, double> t = medians_;
        for (auto [name, values] : samples_) {
            if (t.count(name)) continue;
            std::sort(values.begin(), values.end());
            t[name] = values[values.size() / 2];
        }
        return t;
    }

private:
    std::map<std::string, double> medians_;
    std::map<std::string, std::vector<double>> samples_;
};

double Best(const std::map<std::string, double>& t, const std::string& prefix, std::string* which)
{
    double best = 0;
    for (const auto& [name, us] : t) {
        if (name.rfind(prefix, 0) != 0) continue;
        if (best == 0 || us < best) {
            best = us;
            if (which) {
                *which = name.substr(prefix.size());
                const size_t suffix = which->find("/manual_time");
                if (suffix != std::string::npos) which->erase(suffix);
            }
        }
    }
    return best;
}

std::string CpuModel()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

void PrintSummary(const std::map<std::string, double>& t, const std::vector<Job>& jobs)
{
    std::printf("\nSummary (microseconds per frame; ratio = ours / fastest library; CPU: %s, kernels: %s)\n\n",
                CpuModel().c_str(), zelpipe::KernelsFor(zelpipe::BestCpuLevel())->name);
    std::printf("%-28s %8s %8s %8s  %-26s %6s %6s\n", "job", "ours", "libyuv", "swscale", "fastest library call",
                "ratio", "target");
    for (const Job& j : jobs) {
        const std::string base = "pipeline/" + JobName(j) + "/";
        const double ours = Best(t, base + "ours", nullptr);
        if (ours == 0) continue;  // filtered out
        std::string yuvWhich, swsWhich;
        const double yuv = Best(t, base + "libyuv:", &yuvWhich);
        const double sws = Best(t, base + "swscale:", &swsWhich);
        double fastest = 0;
        std::string which;
        if (yuv > 0) fastest = yuv, which = "libyuv " + yuvWhich;
        if (sws > 0 && (fastest == 0 || sws < fastest)) fastest = sws, which = "swscale " + swsWhich;
        const double ratio = fastest > 0 ? ours / fastest : 0;
        std::printf("%-28s %8.1f %8.1f %8.1f  %-26s %6.2f %6.2f %s\n", JobName(j).c_str(), ours, yuv, sws,
                    which.c_str(), ratio, j.target, fastest > 0 ? (ratio <= j.target ? "ok" : "MISSED") : "");
    }
    const double ours = Best(t, "pipeline/YUY2 720x576/ours", nullptr);
    const double copy = Best(t, "pipeline/memcpy raw 720x576", nullptr);
    const double weave = Best(t, "pipeline/weave 720x576", nullptr);
    if (ours > 0 && copy > 0) {
        std::printf("\nYUY2 720x576 / memcpy of the raw frame: %.1f / %.1f = %.2f (target 1.25)\n", ours, copy,
                    ours / copy);
    }
    if (ours > 0 && weave > 0) {
        std::printf("de-interlacer / plain weave: %.1f / %.1f = %.2f (target 1.30)\n", ours, weave,
                    ours / weave);
    }
    for (const Content& c : kContents) {
        const std::string base = std::string("pipeline/content ") + c.name + "/";
        const double o = Best(t, base + "ours", nullptr), w = Best(t, base + "weave", nullptr);
        if (o > 0 && w > 0) {
            std::printf("YUY2 720x576 on %s content: de-interlacer %.1f / plain weave %.1f = %.2f\n", c.name, o, w,
                        o / w);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    bool qualityOnly = false, quality = true;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quality-only") == 0) qualityOnly = true;
        else if (std::strcmp(argv[i], "--no-quality") == 0) quality = false;
        else args.push_back(argv[i]);
    }
    if (quality || qualityOnly) PrintDeinterlaceQuality(12);
    if (qualityOnly) return 0;

    int count = int(args.size());
    benchmark::Initialize(&count, args.data());

    const std::vector<Job> jobs = Jobs();
    std::map<std::pair<int, int>, std::shared_ptr<Ring>> rings;
    auto ring = [&](int w, int h) {
        auto& r = rings[{w, h}];
        if (!r) r = std::make_shared<Ring>(w, h);
        return r;
    };
    PPL_HANDLE handle = ppl_init();

    {
        auto r = ring(720, 576);
        benchmark::RegisterBenchmark("pipeline/memcpy raw 720x576", [r](benchmark::State& s) {
            Measure(s, *r, 720 * 576 * 2, [](const Ring& ring, uint8_t* out) { std::memcpy(out, ring.rawNow, 720 * 576 * 2); });
        })->UseManualTime()->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("pipeline/weave 720x576", [r](benchmark::State& s) {
            Measure(s, *r, 720 * 576 * 2, [](const Ring& ring, uint8_t* out) { WeaveInto(ring, out); });
        })->UseManualTime()->Unit(benchmark::kMicrosecond);
    }
    // The de-interlacer's two extremes beside the scene above: nothing
    // moving, and every pixel moving (the scene over a panning background).
    for (const Content& c : kContents) {
        auto r = std::make_shared<Ring>(720, 576, c.speed, c.parts);
        const Job j = {Fmt::YUY2, 720, 576, 720, 576, 1.15};
        benchmark::RegisterBenchmark((std::string("pipeline/content ") + c.name + "/ours").c_str(),
                                     [=](benchmark::State& s) {
                                         Measure(s, *r, 720 * 576 * 2, [=](const Ring& ring, uint8_t* out) {
                                             Ours(j, handle, ring, out);
                                         });
                                     })
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("pipeline/content ") + c.name + "/weave").c_str(),
                                     [r](benchmark::State& s) {
                                         Measure(s, *r, 720 * 576 * 2,
                                                 [](const Ring& ring, uint8_t* out) { WeaveInto(ring, out); });
                                     })
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    }
    for (const Job& j : jobs) {
        auto r = ring(j.sw, j.sh);
        const size_t bytes = OutBytes(j.fmt, j.ow, j.oh);
        const std::string base = "pipeline/" + JobName(j) + "/";
        benchmark::RegisterBenchmark((base + "ours").c_str(), [=](benchmark::State& s) {
            Measure(s, *r, bytes, [=](const Ring& ring, uint8_t* out) { Ours(j, handle, ring, out); });
        })->UseManualTime()->Unit(benchmark::kMicrosecond);
#if KV_BENCH_HAVE_LIBYUV
        for (const Variant& v : LibyuvVariants(j)) {
            benchmark::RegisterBenchmark((base + "libyuv:" + v.name).c_str(), [=](benchmark::State& s) {
                Measure(s, *r, bytes, v.work);
            })->UseManualTime()->Unit(benchmark::kMicrosecond);
        }
#endif
#if KV_BENCH_HAVE_SWSCALE
        for (const Variant& v : SwscaleVariants(j)) {
            benchmark::RegisterBenchmark((base + "swscale:" + v.name).c_str(), [=](benchmark::State& s) {
                Measure(s, *r, bytes, v.work);
            })->UseManualTime()->Unit(benchmark::kMicrosecond);
        }
#endif
    }

    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    PrintSummary(collector.Times(), jobs);
    benchmark::Shutdown();
    ppl_free(handle);
    return 0;
}
