#include "sim/video_stream.h"

#include <algorithm>
#include <cstring>

#include "platform/usb.h"

namespace sim {

namespace {
constexpr uint32_t kHeaderBytes = 6;
constexpr uint32_t kContinuationBytes = 2;
}  // namespace

VideoStream::VideoStream(FieldProvider& provider, uint64_t seed) : provider_(provider), seed_(seed)
{
    SetFaults({});
}

void VideoStream::SetFaults(const IsoFaults& f)
{
    packetError_ = FaultSchedule(f.packetError, SeedFor(seed_, "packetError"));
    oddLength_ = FaultSchedule(f.oddLength, SeedFor(seed_, "oddLength"));
    lostPacket_ = FaultSchedule(f.lostPacket, SeedFor(seed_, "lostPacket"));
    truncatedField_ = FaultSchedule(f.truncatedField, SeedFor(seed_, "truncatedField"));
    corruptByte_ = FaultSchedule(f.corruptByte, SeedFor(seed_, "corruptByte"));
    unplug_ = FaultSchedule(f.unplug, SeedFor(seed_, "unplug"));
}

uint64_t VideoStream::FieldIndexAt(uint64_t m) const
{
    uint64_t t = m * kTicksPerMicroframe;
    if (t < epochTicks_)
        return epochField_;
    return epochField_ + (t - epochTicks_) / FieldPeriodTicks(epochSystem_);
}

void VideoStream::Select(uint32_t bytesPerMicroframe, uint64_t now)
{
    capacity_ = bytesPerMicroframe;
    // Nobody watched the field timing while the endpoint was idle; take up
    // the decoder's present line system with a field boundary now.
    LineSystem sys = provider_.TimingSystem();
    if (capacity_ != 0 && sys != epochSystem_) {
        uint64_t k = FieldIndexAt(now) + 1;
        epochSystem_ = sys;
        epochTicks_ = now * kTicksPerMicroframe;
        epochField_ = k;
    }
    // Whatever field is under way when streaming (re)starts is not sent; the
    // stream opens with the next field header.
    haveField_ = true;
    field_ = FieldIndexAt(now);
    content_ = {};
    sent_ = limit_ = 0;
    headerPending_ = false;
}

void VideoStream::BeginField(uint64_t k, uint64_t m)
{
    if (haveField_ && sent_ < limit_)
        ++counters_.fieldsCutShort;
    LineSystem sys = provider_.TimingSystem();
    if (sys != epochSystem_) {
        epochSystem_ = sys;
        epochTicks_ = m * kTicksPerMicroframe;
        epochField_ = k;
    }
    haveField_ = true;
    field_ = k;
    fieldSystem_ = sys;
    fieldId_ = FieldId{k / 2, (k % 2) == 0};
    content_ = provider_.ProduceField(fieldId_, sys);
    sent_ = 0;
    limit_ = content_.present ? content_.size : 0;
    headerPending_ = content_.present;
    truncated_ = false;
    if (content_.present) {
        ++counters_.fieldsStarted;
        if (truncatedField_.Fire()) {
            limit_ = (limit_ / 2) & ~static_cast<size_t>(3);
            truncated_ = true;
            ++counters_.fieldsTruncated;
        }
    }
}

PacketResult VideoStream::Fill(uint64_t m, uint8_t* out)
{
    PacketResult r;
    if (capacity_ == 0)
        return r;
    uint64_t k = FieldIndexAt(m);
    if (k != field_)
        BeginField(k, m);
    if (!headerPending_ && sent_ >= limit_)
        return r;
    uint32_t hdr = headerPending_ ? kHeaderBytes : kContinuationBytes;
    if (capacity_ < hdr)
        return r;
    size_t n = std::min<size_t>(capacity_ - hdr, limit_ - sent_);
    if (headerPending_) {
        uint16_t w0 = static_cast<uint16_t>((fieldId_.firstField ? 0x4000 : 0) |
                                            (fieldSystem_ == LineSystem::L625 ? 0x1000 : 0) |
                                            (fieldId_.frameNumber & 0x0FFF));
        uint16_t words[3] = {w0, content_.lines, content_.bytesPerLine};
        for (int i = 0; i < 3; ++i) {
            out[2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
            out[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
        }
    } else {
        out[0] = 0xFF;
        out[1] = 0xFF;
    }
    if (n)
        std::memcpy(out + hdr, content_.data + sent_, n);
    sent_ += n;
    headerPending_ = false;
    r.length = static_cast<uint32_t>(hdr + n);
    ++counters_.dataPackets;

    // Every knob counts every data packet, in a fixed order, so that one
    // knob's schedule does not depend on whether another one fired.
    bool unplug = unplug_.Fire();
    bool lost = lostPacket_.Fire();
    bool error = packetError_.Fire();
    bool odd = oddLength_.Fire();
    bool corrupt = corruptByte_.Fire();
    if (unplug) {
        r.length = 0;
        r.usbdStatus = USBD_STATUS_DEVICE_GONE;
        r.unplug = r.faulted = true;
        return r;
    }
    if (corrupt && r.length > hdr) {
        Rng& g = corruptByte_.Generator();
        uint32_t at = hdr + g.Below(r.length - hdr);
        out[at] = static_cast<uint8_t>(out[at] ^ (1 + g.Below(255)));
    }
    if (odd && r.length >= 3)
        r.length -= 1;
    if (error)
        r.usbdStatus = USBD_STATUS_CRC;
    if (lost) {
        r.length = 0;
        r.usbdStatus = USBD_STATUS_SUCCESS;
    }
    r.faulted = corrupt || odd || error || lost;
    return r;
}

}  // namespace sim
