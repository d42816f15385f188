// The USB trace file: pcap framing, usbmon headers and the way each transfer
// of the board's trace is recorded.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/usb.h"
#include "tests/tools/temp_dir.h"
#include "tools/usb_pcap.h"

using namespace kvcap;

namespace {

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

struct Packet {
    uint32_t tsSec, tsUsec, incl, orig;
    const uint8_t* mon;  // the 64-byte usbmon header
    const uint8_t* rest; // descriptors and data
};

std::vector<Packet> Packets(const std::vector<uint8_t>& bytes)
{
    std::vector<Packet> out;
    size_t pos = 0;
    while (pos + 16 <= bytes.size()) {
        Packet p{Le32(&bytes[pos]), Le32(&bytes[pos + 4]), Le32(&bytes[pos + 8]), Le32(&bytes[pos + 12]),
                 &bytes[pos + 16], &bytes[pos + 16 + 64]};
        EXPECT_LE(pos + 16 + p.incl, bytes.size());
        out.push_back(p);
        pos += 16 + p.incl;
    }
    EXPECT_EQ(pos, bytes.size());
    return out;
}

sim::TraceRecord VendorRead(uint16_t reg, uint8_t value)
{
    sim::TraceRecord r;
    r.kind = sim::TraceRecord::Kind::Control;
    r.sequence = 5;
    r.microframe = 8000;  // one second in
    r.setup = {0xC0, 0x00, 0x00, 0x00, static_cast<uint8_t>(reg), static_cast<uint8_t>(reg >> 8), 1, 0};
    r.data = {value};
    return r;
}

}  // namespace

TEST(UsbPcap, FileHeaderNamesTheLinuxUsbLinkType)
{
    const auto h = PcapFileHeader();
    ASSERT_EQ(h.size(), 24u);
    EXPECT_EQ(Le32(&h[0]), 0xA1B2C3D4u);
    EXPECT_EQ(Le32(&h[20]), 220u);
}

TEST(UsbPcap, ControlInTransferIsSubmissionWithSetupThenCompletionWithData)
{
    UsbPcapOptions o;
    o.startSeconds = 1000;
    const auto bytes = PcapRecordsFor(VendorRead(0x201, 0x01), o);
    const auto p = Packets(bytes);
    ASSERT_EQ(p.size(), 2u);

    const uint8_t* s = p[0].mon;
    EXPECT_EQ(p[0].incl, 64u);
    EXPECT_EQ(s[8], 'S');
    EXPECT_EQ(s[9], 2);      // control
    EXPECT_EQ(s[10], 0x80);  // endpoint 0, IN
    EXPECT_EQ(s[11], o.deviceNumber);
    EXPECT_EQ(s[14], 0);     // setup present
    EXPECT_EQ(s[15], '<');   // no data yet
    EXPECT_EQ(static_cast<int32_t>(Le32(s + 28)), -115);  // -EINPROGRESS
    EXPECT_EQ(Le32(s + 32), 1u);                          // wLength
    EXPECT_EQ(Le32(s + 36), 0u);
    const uint8_t setup[8] = {0xC0, 0x00, 0x00, 0x00, 0x01, 0x02, 0x01, 0x00};
    EXPECT_EQ(std::memcmp(s + 40, setup, 8), 0);
    EXPECT_EQ(p[0].tsSec, 1001u);  // microframe 8000 = 1 s
    EXPECT_EQ(Le64(s + 16), 1001u);

    const uint8_t* c = p[1].mon;
    EXPECT_EQ(c[8], 'C');
    EXPECT_EQ(Le64(c), Le64(s));  // the same URB
    EXPECT_EQ(c[14], '-');
    EXPECT_EQ(c[15], 0);
    EXPECT_EQ(Le32(c + 28), 0u);
    EXPECT_EQ(Le32(c + 36), 1u);
    EXPECT_EQ(p[1].incl, 65u);
    EXPECT_EQ(p[1].rest[0], 0x01);
}

TEST(UsbPcap, ControlOutCarriesDataOnSubmissionAndFailuresMapToErrno)
{
    sim::TraceRecord r;
    r.kind = sim::TraceRecord::Kind::Control;
    r.setup = {0x40, 0x01, 0x20, 0x00, 0x00, 0x02, 0x02, 0x00};
    r.data = {0xAA, 0xBB};
    r.status = static_cast<int32_t>(STATUS_UNSUCCESSFUL);
    r.usbdStatus = USBD_STATUS_STALL_PID;
    const auto bytes = PcapRecordsFor(r, {});
    const auto p = Packets(bytes);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].mon[10], 0x00);
    EXPECT_EQ(p[0].mon[15], 0);
    EXPECT_EQ(p[0].incl, 66u);
    EXPECT_EQ(p[0].rest[1], 0xBB);
    EXPECT_EQ(p[1].mon[15], '>');
    EXPECT_EQ(static_cast<int32_t>(Le32(p[1].mon + 28)), -32);  // -EPIPE

    EXPECT_EQ(LinuxUrbStatus(0, 0), 0);
    EXPECT_EQ(LinuxUrbStatus(static_cast<int32_t>(STATUS_UNSUCCESSFUL), USBD_STATUS_DEV_NOT_RESPONDING), -71);
    EXPECT_EQ(LinuxUrbStatus(static_cast<int32_t>(STATUS_DEVICE_NOT_CONNECTED), USBD_STATUS_DEVICE_GONE), -19);
    EXPECT_EQ(LinuxUrbStatus(0, USBD_STATUS_CRC), -84);
}

TEST(UsbPcap, IsochronousPacketHasDescriptorThenData)
{
    sim::TraceRecord r;
    r.kind = sim::TraceRecord::Kind::Isochronous;
    r.sequence = 9;
    r.microframe = 17;
    r.endpoint = 0x81;
    r.length = 4;
    r.data = {0xFF, 0xFF, 0x10, 0x80};
    r.usbdStatus = USBD_STATUS_CRC;
    const auto bytes = PcapRecordsFor(r, {});
    const auto p = Packets(bytes);
    ASSERT_EQ(p.size(), 2u);
    const uint8_t* c = p[1].mon;
    EXPECT_EQ(c[8], 'C');
    EXPECT_EQ(c[9], 0);  // isochronous
    EXPECT_EQ(c[10], 0x81);
    EXPECT_EQ(Le32(c + 36), 16u + 4u);  // captured: descriptor and data
    EXPECT_EQ(Le32(c + 40), 1u);        // one packet in error
    EXPECT_EQ(Le32(c + 44), 1u);        // one descriptor
    EXPECT_EQ(Le32(c + 60), 1u);
    EXPECT_EQ(static_cast<int32_t>(Le32(p[1].rest)), -84);
    EXPECT_EQ(Le32(p[1].rest + 8), 4u);
    EXPECT_EQ(p[1].rest[16], 0xFF);
    EXPECT_EQ(p[1].rest[19], 0x80);
    EXPECT_EQ(p[1].tsUsec, 17u * 125u);
    // The submission says the packet is not yet done and carries no data.
    EXPECT_EQ(static_cast<int32_t>(Le32(p[0].rest)), -18);
    EXPECT_EQ(p[0].incl, 64u + 16u);
}

TEST(UsbPcap, WriterProducesCompleteFileOnlyOnFinish)
{
    TempDir dir;
    std::string error;
    auto w = UsbPcapWriter::Create(dir.File("t.pcap"), {}, &error);
    ASSERT_TRUE(w) << error;
    ASSERT_TRUE(w->Add(VendorRead(0x100, 0x20), &error));
    EXPECT_EQ(dir.Entries().size(), 1u);
    EXPECT_NE(dir.Entries()[0], "t.pcap");
    ASSERT_TRUE(w->Finish(&error));
    const auto bytes = ReadBytes(dir.File("t.pcap"));
    EXPECT_EQ(bytes.size(), 24u + (16 + 64) + (16 + 65));
    EXPECT_FALSE(UsbPcapWriter::Create("-", {}, &error));
}

TEST(UsbPcap, PortEventsOfAnIsochronousTransferCarryOneDescriptorPerPacket)
{
    kv::usbport::UrbEvent submit;
    submit.id = 9;
    submit.time = 10'000'000;  // one second, in 100 ns units
    submit.function = URB_FUNCTION_ISOCH_TRANSFER;
    submit.endpoint = 0x82;
    submit.transferType = 0;
    submit.length = 3 * 100;
    submit.startFrame = 77;
    for (ULONG i = 0; i < 3; ++i) submit.packets.push_back({i * 100, 0, 0});
    const auto submitted = PcapRecordFor(submit, {});
    const auto s = Packets(submitted);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].mon[8], 'S');
    EXPECT_EQ(s[0].mon[9], 0);  // isochronous
    EXPECT_EQ(Le32(s[0].mon + 44), 3u);  // descriptors
    EXPECT_EQ(Le32(s[0].rest + 16 + 4), 100u) << "the second packet's offset";
    EXPECT_EQ(Le32(s[0].rest + 16 + 8), 100u) << "and the room it has";

    // The completion: packets back to back, each descriptor pointing at its
    // own bytes; a cancelled packet shows as killed.
    kv::usbport::UrbEvent done = submit;
    done.kind = kv::usbport::UrbEvent::Kind::Complete;
    done.status = STATUS_SUCCESS;
    done.usbdStatus = USBD_STATUS_SUCCESS;
    done.packets = {{0, 5, USBD_STATUS_SUCCESS}, {100, 0, USBD_STATUS_CANCELED}, {200, 7, USBD_STATUS_SUCCESS}};
    done.length = 12;
    done.data.assign(12, 0xAB);
    const auto completed = PcapRecordFor(done, {});
    const auto c = Packets(completed);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].mon[8], 'C');
    EXPECT_EQ(Le64(c[0].mon), Le64(s[0].mon)) << "one URB id for both halves";
    EXPECT_EQ(static_cast<int32_t>(Le32(c[0].rest + 16)), -ENOENT);
    EXPECT_EQ(Le32(c[0].rest + 32 + 4), 5u) << "the third packet's bytes follow the first's";
    EXPECT_EQ(Le32(c[0].rest + 32 + 8), 7u);
    EXPECT_EQ(c[0].incl, 64u + 3 * 16 + 12);

    // Requests that put nothing on the bus are not written.
    kv::usbport::UrbEvent abort;
    abort.function = URB_FUNCTION_ABORT_PIPE;
    EXPECT_TRUE(PcapRecordFor(abort, {}).empty());
}
