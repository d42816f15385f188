// Helpers for the capture path suites: calling the packet routine the way the
// class library does (one packet at a time, at DISPATCH_LEVEL), a small raw
// frame assembler that follows the routine's answers, and a started device on
// the simulated board whose packet stream can be pumped through both.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/Capture.h"
#include "driver/Driver.h"
#include "host/kernel.h"
#include "hw/Hardware.h"
#include "sim/video/source.h"
#include "tests/support/system_fixture.h"

namespace captest {

namespace reg = kv::kernel::registry;

constexpr ULONG kYuy2 = 0x32595559;
constexpr ULONG kI420 = 0x30323449;
constexpr ULONG kRgb24 = 0;
constexpr const char* kKv3300Key = "\\REGISTRY\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\KV3300";

inline size_t OutputSize(ULONG fourcc, LONG width, LONG height)
{
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    return fourcc == kYuy2 ? pixels * 2 : fourcc == kI420 ? pixels * 3 / 2 : fourcc == kRgb24 ? pixels * 3 : 0;
}

// ---------------------------------------------------------------- packets ----

// What the packet routine answered. frameComplete keeps kUnwritten when the
// routine did not write it.
constexpr BOOLEAN kUnwritten = 0x5A;
struct PacketAnswer {
    ULONG count = 0;
    ULONG offset = 0;
    ULONG flag = 0;
    BOOLEAN frameComplete = kUnwritten;
    bool dropped() const { return (flag & USBCAMD_PROCESSPACKETEX_DropFrame) != 0; }
    bool frameStart() const { return frameComplete == TRUE; }
};

inline PacketAnswer FeedPacket(DeviceContext* context, const uint8_t* data, ULONG length,
                               USBD_STATUS status = USBD_STATUS_SUCCESS)
{
    USBD_ISO_PACKET_DESCRIPTOR descriptor{};
    descriptor.Offset = 0;
    descriptor.Length = length;
    descriptor.Status = status;
    PacketAnswer answer;
    answer.count = 0xDEADBEEF;
    answer.offset = 0xDEADBEEF;
    answer.flag = 0xDEADBEEF;
    kv::kernel::IrqlScope raised;
    answer.count = CamProcessUSBPacketEx(nullptr, context, nullptr, nullptr, nullptr, &descriptor,
                                         const_cast<uint8_t*>(data), &answer.frameComplete, &answer.flag,
                                         &answer.offset);
    return answer;
}

inline PacketAnswer FeedPacket(DeviceContext* context, const std::vector<uint8_t>& bytes,
                               USBD_STATUS status = USBD_STATUS_SUCCESS)
{
    return FeedPacket(context, bytes.data(), static_cast<ULONG>(bytes.size()), status);
}

// A field header packet: 6 header bytes (frame flag as asked), then payload.
inline std::vector<uint8_t> HeaderPacket(bool frameFlag, size_t payload = 0, uint8_t fill = 0x80)
{
    std::vector<uint8_t> p(6 + payload, fill);
    p[0] = 0x12;
    p[1] = frameFlag ? 0x40 : 0x00;
    p[2] = p[3] = p[4] = p[5] = 0;
    return p;
}

inline std::vector<uint8_t> ContinuationPacket(size_t payload, uint8_t fill = 0x80)
{
    std::vector<uint8_t> p(2 + payload, fill);
    p[0] = p[1] = 0xFF;
    return p;
}

// Gathers raw frames from the packet routine's answers, as the class library
// does: each packet's bytes from the offset it reports into a buffer of the
// raw frame length (never past its end), a frame start closes the frame in
// progress, and a frame that was flagged for dropping is not handed on.
class FrameAssembler {
public:
    using FrameSink = std::function<void(const std::vector<uint8_t>& buffer, ULONG actual)>;

    FrameAssembler(size_t capacity, FrameSink sink) : buffer_(capacity), sink_(std::move(sink)) {}

    PacketAnswer Feed(DeviceContext* context, const uint8_t* data, ULONG length, USBD_STATUS status)
    {
        const PacketAnswer a = FeedPacket(context, data, length, status);
        EXPECT_LE(static_cast<uint64_t>(a.offset) + a.count, length) << "answer reaches past the packet";
        if (a.frameStart()) {
            if (a.dropped() || dropping_) {
                ++dropped_;
            } else {
                ++delivered_;
                sink_(buffer_, static_cast<ULONG>(used_));
            }
            dropping_ = false;
            used_ = 0;
        } else if (a.dropped()) {
            dropping_ = true;
        }
        if (a.count != 0 && data != nullptr && a.offset + a.count <= length) {
            const size_t room = buffer_.size() - used_;
            const size_t n = std::min<size_t>(a.count, room);
            memcpy(buffer_.data() + used_, data + a.offset, n);
            used_ += n;
            if (n < a.count) {
                dropping_ = true;  // the raw frame would overflow its buffer
            }
        }
        return a;
    }

    size_t Delivered() const { return delivered_; }
    size_t Dropped() const { return dropped_; }

private:
    std::vector<uint8_t> buffer_;
    FrameSink sink_;
    size_t used_ = 0;
    bool dropping_ = false;
    size_t delivered_ = 0;
    size_t dropped_ = 0;
};

// ------------------------------------------------------------ frame hook ----

// A frame-hook provider that counts what it is offered.
struct HookRecord {
    int wants = 0;
    int delivered = 0;
    ULONG answer = 1;
    std::vector<const void*> buffers;
};
inline HookRecord g_hook;
inline VOID NTAPI HookSetFormat(PKS_BITMAPINFOHEADER) {}
inline ULONG NTAPI HookWantsFrame(VOID)
{
    ++g_hook.wants;
    return g_hook.answer;
}
inline VOID NTAPI HookDeliverFrame(PVOID buffer, ULONG reserved)
{
    EXPECT_EQ(reserved, 0u);
    ++g_hook.delivered;
    g_hook.buffers.push_back(buffer);
}
inline void InstallFrameHook(DeviceContext* context)
{
    g_hook = HookRecord{};
    memset(&context->frameHook, 0, sizeof(context->frameHook));
    context->frameHook.Interface.Version = FRAME_HOOK_INTERFACE_VERSION;
    context->frameHook.FrameHookSetFormat = &HookSetFormat;
    context->frameHook.FrameHookWantsFrame = &HookWantsFrame;
    context->frameHook.FrameHookDeliverFrame = &HookDeliverFrame;
}

// ------------------------------------------------------ device on a board ----

inline KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height, ULONG fourcc)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof(format);
    KS_BITMAPINFOHEADER& bmi = format.VideoInfoHeader.bmiHeader;
    bmi.biSize = sizeof(KS_BITMAPINFOHEADER);
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biPlanes = 1;
    bmi.biBitCount = fourcc == kRgb24 ? 24 : fourcc == kI420 ? 12 : 16;
    bmi.biCompression = fourcc;
    bmi.biSizeImage = static_cast<ULONG>(OutputSize(fourcc, width, height));
    return format;
}

// A board whose three inputs all show the still test pattern of one line
// system (no tuner), so every input and standard gives marks to read back.
inline sim::BoardConfig PatternBoard(sim::LineSystem system, bool lowBandwidth = false)
{
    sim::BoardConfig config;
    config.lowBandwidth = lowBandwidth;
    config.defaultPatterns = false;
    config.tunerInput = -1;
    for (int i = 0; i < 3; ++i) {
        sim::TestPatternOptions options;
        options.objectSpeed = 0;
        options.digits = false;
        options.sourceId = static_cast<uint16_t>(i);
        config.inputs[i] = sim::MakeTestPattern(system, options);
    }
    return config;
}

// One converted frame as the class library would complete it.
struct Converted {
    ULONG bytes = 0;
    std::vector<uint8_t> output;
};

class CaptureTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        buttonArmed = TRUE;
        tablesPending = TRUE;
    }

    DeviceContext* Ctx() { return Context(); }

    std::string SettingsKey() { return reg::DriverKeyPath(port_->Pdo()) + "\\Settings"; }

    // Starts the device on `config`, stores the standard, and runs bandwidth
    // allocation and capture start for the format, as the stream state
    // machine does when the pin goes to run.
    void StartCapture(const sim::BoardConfig& config, LONG width, LONG height, ULONG fourcc, LONG standardIndex)
    {
        ASSERT_EQ(StartDevice(config), STATUS_SUCCESS);
        reg::SetDword(SettingsKey(), "InputSource", static_cast<uint32_t>(standardIndex));
        width_ = width;
        height_ = height;
        fourcc_ = fourcc;
        Ctx()->outputFourcc = fourcc;
        KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat(width, height, fourcc);
        rawFrameLength_ = 0;
        ASSERT_EQ(CamAllocateBandwidthEx(nullptr, Ctx(), &rawFrameLength_, &format, 0), STATUS_SUCCESS);
        ASSERT_GT(rawFrameLength_, 0u);
        ASSERT_EQ(Ctx()->standardIndex, standardIndex);
        ASSERT_EQ(CamStartCaptureEx(nullptr, Ctx(), 0), STATUS_SUCCESS);
        // Neutral gamma, so that luma passes the pipeline unchanged.
        ppl_set_gamma(Ctx()->pipelineHandle, 0);
    }

    void StopCapture()
    {
        CamStopCaptureEx(nullptr, Ctx(), 0);
        CamFreeBandwidthEx(nullptr, Ctx(), 0);
        DiscardPending();
        capture_.reset();
    }

    // A change the test makes to a packet before the driver sees it.
    using PacketEdit = std::function<void(uint64_t index, std::vector<uint8_t>& bytes, USBD_STATUS& status)>;
    // Sees every packet as the driver got it, with the answer.
    using PacketWatch =
        std::function<void(const std::vector<uint8_t>& bytes, USBD_STATUS status, const PacketAnswer& answer)>;

    // Feeds the board's video packets, one at a time and in order, to the
    // assembler until `frames` raw frames were delivered in all or `limit`
    // packets were fed by this call. Packets read from the board but not fed
    // yet wait for the next call.
    void Pump(FrameAssembler& assembler, size_t frames, uint64_t limit = 6000, const PacketEdit& edit = {},
              const PacketWatch& watch = {})
    {
        for (uint64_t fed = 0; fed < limit && assembler.Delivered() < frames; ++fed) {
            if (pending_.empty()) {
                ReadChunk();
                if (pending_.empty()) return;
            }
            Pending p = std::move(pending_.front());
            pending_.erase(pending_.begin());
            if (edit) {
                edit(packetIndex_, p.bytes, p.status);
            }
            ++packetIndex_;
            const PacketAnswer a = assembler.Feed(Ctx(), p.bytes.data(), static_cast<ULONG>(p.bytes.size()), p.status);
            if (watch) {
                watch(p.bytes, p.status, a);
            }
        }
    }

    // Forgets packets read but not fed (the stream stopped).
    void DiscardPending() { pending_.clear(); }

    // Hands a raw frame to the raw-frame callback with an output buffer of
    // exactly `outputSize` bytes, at PASSIVE_LEVEL.
    Converted Deliver(const uint8_t* raw, ULONG rawLength, ULONG actual, size_t outputSize)
    {
        Converted c;
        c.output.assign(outputSize, 0xEE);
        c.bytes = 0xDEADBEEF;
        EXPECT_EQ(kv::kernel::CurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(CamProcessRawVideoFrameEx(nullptr, Ctx(), nullptr, c.output.data(),
                                            static_cast<ULONG>(outputSize), const_cast<uint8_t*>(raw), rawLength, 0,
                                            &c.bytes, actual, 0),
                  STATUS_SUCCESS);
        return c;
    }

    // Captures `count` more frames from the board through the packet routine
    // and the raw-frame callback, with output buffers of the format's size.
    std::vector<Converted> CaptureFrames(size_t count, const PacketEdit& edit = {})
    {
        if (!capture_) {
            capture_ = std::make_unique<FrameAssembler>(rawFrameLength_, [this](const std::vector<uint8_t>& buffer,
                                                                                ULONG actual) {
                lastRaw_.assign(buffer.begin(), buffer.begin() + actual);
                captured_.push_back(Deliver(buffer.data(), static_cast<ULONG>(buffer.size()), actual,
                                            OutputSize(fourcc_, width_, height_)));
            });
        }
        captured_.clear();
        Pump(*capture_, capture_->Delivered() + count, 6000, edit);
        return std::move(captured_);
    }

    sim::FieldMarks Marks(const Converted& frame, sim::LineSystem system, sim::Window window, int sourceWidth,
                          int sourceLines) const
    {
        const sim::MarkPixelFormat format = fourcc_ == kYuy2   ? sim::MarkPixelFormat::YUYV
                                            : fourcc_ == kI420 ? sim::MarkPixelFormat::I420
                                                               : sim::MarkPixelFormat::RGB24;
        sim::MarkImage image{format, frame.output.data(), frame.output.size(), width_, height_};
        image.bottomUp = fourcc_ == kRgb24;
        sim::MarkLayout layout{system, window};
        layout.frame = true;
        layout.sourceWidthPixels = sourceWidth;
        layout.sourceLines = sourceLines;
        return sim::DecodeFieldMarks(image, layout);
    }

    struct Pending {
        std::vector<uint8_t> bytes;
        USBD_STATUS status;
    };

    void ReadChunk()
    {
        const ULONG capacity = Board().Usb().VideoBytesPerMicroframe(Board().AlternateSetting());
        ASSERT_GT(capacity, 0u);
        constexpr ULONG kChunk = 32;
        std::vector<uint8_t> buffer(static_cast<size_t>(capacity) * kChunk);
        std::vector<USBD_ISO_PACKET_DESCRIPTOR> d(kChunk);
        for (ULONG i = 0; i < kChunk; ++i) {
            d[i] = {i * capacity, 0, 0};
        }
        ASSERT_EQ(Board().IsochronousIn(sim::kVideoEndpoint, kChunk, d.data(), buffer.data(),
                                        static_cast<ULONG>(buffer.size())),
                  STATUS_SUCCESS);
        for (ULONG i = 0; i < kChunk; ++i) {
            pending_.push_back({std::vector<uint8_t>(buffer.data() + d[i].Offset,
                                                     buffer.data() + d[i].Offset + d[i].Length),
                                d[i].Status});
        }
    }

    std::vector<Pending> pending_;
    std::unique_ptr<FrameAssembler> capture_;
    std::vector<Converted> captured_;
    std::vector<uint8_t> lastRaw_;  // the last raw frame delivered, header included
    LONG width_ = 0;
    LONG height_ = 0;
    ULONG fourcc_ = kYuy2;
    ULONG rawFrameLength_ = 0;
    uint64_t packetIndex_ = 0;
};

}  // namespace captest
