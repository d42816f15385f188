// Helpers for driving the simulated board from tests the way a host would:
// bridge registers through vendor requests, I2C transactions through the
// bridge's master, and an independent reassembly of the isochronous stream.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/board.h"

namespace simtest {

inline void Reg(sim::Board& b, uint16_t reg, uint16_t value)
{
    ASSERT_EQ(b.WriteRegister(reg, value), STATUS_SUCCESS) << "register 0x" << std::hex << reg;
}

// Polls 0x201 until it is non-zero; 0 when it never is within the budget.
inline uint8_t WaitI2c(sim::Board& b, int budget = 600)
{
    for (int i = 0; i < budget; ++i) {
        auto s = b.ReadRegister(0x201);
        if (!s)
            return 0xEE;
        if (*s)
            return *s;
    }
    return 0;
}

// One device register write through the bridge's master; returns the status.
inline uint8_t I2cWrite(sim::Board& b, uint8_t address, uint8_t reg, uint8_t value)
{
    b.WriteRegister(0x203, address);
    b.WriteRegister(0x204, reg);
    b.WriteRegister(0x205, value);
    b.WriteRegister(0x200, 0x05);
    return WaitI2c(b);
}

struct I2cReadResult {
    uint8_t status;
    uint8_t value;
};

inline I2cReadResult I2cRead(sim::Board& b, uint8_t address, uint8_t reg)
{
    b.WriteRegister(0x203, address);
    b.WriteRegister(0x208, reg);
    b.WriteRegister(0x200, 0x20);
    uint8_t s = WaitI2c(b);
    return {s, b.ReadRegister(0x209).value_or(0xEE)};
}

// Capture window registers 0x110-0x117, low byte first.
inline void SetWindow(sim::Board& b, int h0, int v0, int h1, int v1)
{
    const int v[4] = {h0, v0, h1, v1};
    for (int i = 0; i < 4; ++i) {
        b.WriteRegister(static_cast<uint16_t>(0x110 + 2 * i), static_cast<uint16_t>(v[i] & 0xFF));
        b.WriteRegister(static_cast<uint16_t>(0x111 + 2 * i), static_cast<uint16_t>(v[i] >> 8));
    }
}

inline void Configure(sim::Board& b, uint8_t alt)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0};
    ULONG len = 0;
    USBD_STATUS u = 0;
    ASSERT_EQ(b.ControlTransfer(&s, nullptr, &len, &u), STATUS_SUCCESS);
    ASSERT_EQ(b.SelectAlternateSetting(0, alt, &u), STATUS_SUCCESS);
}

// One packet as the host received it.
struct Packet {
    uint64_t microframe;
    int32_t status;
    std::vector<uint8_t> bytes;
};

// Reads `microframes` packets from the video endpoint, `chunk` per transfer.
inline std::vector<Packet> ReadPackets(sim::Board& b, uint64_t microframes, ULONG chunk = 64)
{
    std::vector<Packet> out;
    const ULONG cap = b.Usb().VideoBytesPerMicroframe(b.AlternateSetting());
    std::vector<uint8_t> buf(static_cast<size_t>(cap) * chunk);
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> d(chunk);
    for (uint64_t done = 0; done < microframes;) {
        ULONG n = static_cast<ULONG>(std::min<uint64_t>(chunk, microframes - done));
        for (ULONG i = 0; i < n; ++i)
            d[i] = {i * cap, 0, 0};
        uint64_t t = b.CurrentMicroframe();
        NTSTATUS st = b.IsochronousIn(0x82, n, d.data(), buf.data(), static_cast<ULONG>(buf.size()));
        if (st != STATUS_SUCCESS && st != STATUS_DEVICE_NOT_CONNECTED) {
            ADD_FAILURE() << "IsochronousIn 0x" << std::hex << st;
            return out;
        }
        for (ULONG i = 0; i < n; ++i) {
            const uint8_t* p = buf.data() + d[i].Offset;
            out.push_back({t + i, d[i].Status, std::vector<uint8_t>(p, p + d[i].Length)});
        }
        done += n;
        if (st == STATUS_DEVICE_NOT_CONNECTED)
            break;
    }
    return out;
}

// A field as reassembled from packets: its header and its data.
struct Field {
    uint16_t word0 = 0, lines = 0, bytesPerLine = 0;
    bool frameStart() const { return (word0 & 0x4000) != 0; }
    std::vector<uint8_t> data;
    bool complete = false;  // the next field's header arrived
};

// Cuts the packet stream into fields by the packet format alone: a packet
// starting 0xFF 0xFF continues the field, any other starts one with 6
// header bytes. Error packets and empty packets carry nothing.
inline std::vector<Field> Reassemble(const std::vector<Packet>& packets)
{
    std::vector<Field> fields;
    for (const auto& p : packets) {
        if (p.status < 0 || p.bytes.size() < 2)
            continue;
        if (p.bytes[0] == 0xFF && p.bytes[1] == 0xFF) {
            if (!fields.empty())
                fields.back().data.insert(fields.back().data.end(), p.bytes.begin() + 2, p.bytes.end());
            continue;
        }
        if (!fields.empty())
            fields.back().complete = true;
        Field f;
        if (p.bytes.size() >= 6) {
            f.word0 = static_cast<uint16_t>(p.bytes[0] | (p.bytes[1] << 8));
            f.lines = static_cast<uint16_t>(p.bytes[2] | (p.bytes[3] << 8));
            f.bytesPerLine = static_cast<uint16_t>(p.bytes[4] | (p.bytes[5] << 8));
            f.data.assign(p.bytes.begin() + 6, p.bytes.end());
        }
        fields.push_back(std::move(f));
    }
    return fields;
}

// Frames as the driver would total them: the first header packet's 6 bytes,
// then both fields' data. Only complete pairs (flagged field, then an
// unflagged one) count.
struct Frame {
    size_t total;
    const Field* first;
    const Field* second;
};

inline std::vector<Frame> Frames(const std::vector<Field>& fields)
{
    std::vector<Frame> frames;
    for (size_t i = 0; i + 1 < fields.size(); ++i) {
        if (fields[i].frameStart() && !fields[i + 1].frameStart() && fields[i + 1].complete) {
            frames.push_back({6 + fields[i].data.size() + fields[i + 1].data.size(), &fields[i],
                              &fields[i + 1]});
            ++i;
        }
    }
    return frames;
}

// The first complete field the board sends from now on (empty if none
// within the given time).
inline std::vector<uint8_t> CaptureField(sim::Board& b, uint64_t microframes = 420)
{
    auto fields = Reassemble(ReadPackets(b, microframes));
    for (auto& f : fields)
        if (f.complete)
            return std::move(f.data);
    return {};
}

inline double MeanLuma(const std::vector<uint8_t>& yuyv)
{
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < yuyv.size(); i += 2, ++n)
        sum += yuyv[i];
    return n ? sum / n : 0;
}

inline double MeanChromaDistance(const std::vector<uint8_t>& yuyv)
{
    double sum = 0;
    size_t n = 0;
    for (size_t i = 1; i < yuyv.size(); i += 2, ++n)
        sum += std::abs(static_cast<int>(yuyv[i]) - 128);
    return n ? sum / n : 0;
}

}  // namespace simtest
