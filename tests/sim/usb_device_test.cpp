// The board as a USB device: descriptors, standard requests, alternate
// settings against the bandwidth budget, control faults, unplug and trace.
#include <algorithm>
#include <stdexcept>

#include "tests/sim/board_test_util.h"

using namespace simtest;
using sim::Board;
using sim::BoardConfig;

namespace {

struct Result {
    NTSTATUS status;
    USBD_STATUS usbd;
    std::vector<uint8_t> data;
};

Result In(Board& b, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
          uint16_t wLength, ULONG bufferSize = 4096)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{static_cast<UCHAR>(0x80 | type), request, value, index, wLength};
    std::vector<uint8_t> buf(bufferSize);
    ULONG len = bufferSize;
    USBD_STATUS u = 0;
    NTSTATUS st = b.ControlTransfer(&s, buf.data(), &len, &u);
    buf.resize(len);
    return {st, u, buf};
}

Result Out(Board& b, uint8_t type, uint8_t request, uint16_t value, uint16_t index)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index, 0};
    ULONG len = 0;
    USBD_STATUS u = 0;
    NTSTATUS st = b.ControlTransfer(&s, nullptr, &len, &u);
    return {st, u, {}};
}

std::vector<uint8_t> Configuration(Board& b)
{
    auto r = In(b, 0x00, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 0xFFFF, 0xFFFF);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return r.data;
}

struct Endpoint {
    uint8_t alt, address, attributes;
    uint16_t maxPacket;
};

// Walks a configuration descriptor the way a host does: by bLength.
std::vector<Endpoint> Walk(const std::vector<uint8_t>& c, int* interfaces)
{
    std::vector<Endpoint> eps;
    uint8_t alt = 0;
    *interfaces = 0;
    for (size_t i = 0; i + 1 < c.size();) {
        uint8_t len = c[i];
        if (len < 2 || i + len > c.size()) {
            ADD_FAILURE() << "bad descriptor at " << i;
            break;
        }
        if (c[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            alt = c[i + 3];
            ++*interfaces;
        } else if (c[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            eps.push_back({alt, c[i + 2], c[i + 3], static_cast<uint16_t>(c[i + 4] | (c[i + 5] << 8))});
        }
        i += len;
    }
    return eps;
}

}  // namespace

TEST(UsbDevice, DeviceDescriptorAndPartialReads)
{
    Board b;
    auto d = In(b, 0x00, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18);
    ASSERT_EQ(d.status, STATUS_SUCCESS);
    ASSERT_EQ(d.data.size(), 18u);
    EXPECT_EQ(d.data[0], 18);
    EXPECT_EQ(d.data[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(d.data[2] | (d.data[3] << 8), 0x0200);
    EXPECT_EQ(d.data[17], 1);

    // A host first asks for 8 bytes, and a short buffer limits the answer.
    EXPECT_EQ(In(b, 0x00, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 8).data.size(), 8u);
    EXPECT_EQ(In(b, 0x00, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 64, 4).data.size(), 4u);
    auto head = In(b, 0x00, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 9);
    ASSERT_EQ(head.data.size(), 9u);
    EXPECT_EQ(head.data[2] | (head.data[3] << 8), 231);
}

TEST(UsbDevice, NormalBoardHasSixSettingsOfGrowingVideoBandwidth)
{
    Board b;
    auto c = Configuration(b);
    ASSERT_EQ(c.size(), 231u);
    int interfaces = 0;
    auto eps = Walk(c, &interfaces);
    EXPECT_EQ(interfaces, 6);
    ASSERT_EQ(eps.size(), 24u);
    uint32_t previous = 0;
    for (uint8_t alt = 0; alt < 6; ++alt) {
        // Same endpoints in the same order in every setting: the pipe numbers hold.
        const Endpoint* e = &eps[alt * 4];
        EXPECT_EQ(e[0].address, 0x81);
        EXPECT_EQ(e[1].address, sim::kVideoEndpoint);
        EXPECT_EQ(e[1].attributes & 3, 1) << "pipe 1 is isochronous";
        EXPECT_EQ(e[2].address, 0x83);
        EXPECT_EQ(e[3].address, 0x04);
        uint32_t bytes = UsbHighSpeedBytesPerMicroframe(e[1].maxPacket);
        EXPECT_EQ(bytes, b.Usb().VideoBytesPerMicroframe(alt));
        if (alt == 0) {
            EXPECT_EQ(bytes, 0u);
        } else {
            EXPECT_GT(bytes, previous);
        }
        previous = bytes;
    }
    EXPECT_EQ(eps[5 * 4 + 1].maxPacket, 0x1400);  // 3 x 1024, high-bandwidth encoding
    // 720 x 576 at 25 frames/s, every packet paying its 2 header bytes.
    EXPECT_GT((3072.0 - 2) * 8000, 829446.0 * 25);
}

TEST(UsbDevice, LowBandwidthVariantDescriptorLengths)
{
    BoardConfig c;
    c.lowBandwidth = true;
    Board b99(c);
    auto d = Configuration(b99);
    EXPECT_EQ(d.size(), 99u);
    EXPECT_EQ(d[2] | (d[3] << 8), 99);
    int interfaces = 0;
    auto eps = Walk(d, &interfaces);
    EXPECT_EQ(interfaces, 3);
    EXPECT_EQ(b99.Usb().AlternateSettings(), 3);

    c.lowBandwidthDescriptorLength = 195;
    Board b195(c);
    d = Configuration(b195);
    EXPECT_EQ(d.size(), 195u);
    EXPECT_EQ(d[2] | (d[3] << 8), 195);
    EXPECT_EQ(Walk(d, &interfaces).size(), eps.size());  // the padding is no endpoint

    for (uint16_t bad : {0, 98, 100}) {
        c.lowBandwidthDescriptorLength = bad;
        EXPECT_THROW(Board{c}, std::invalid_argument) << bad;
    }
    c.lowBandwidthDescriptorLength = 1000;  // several padding descriptors
    Board big(c);
    EXPECT_EQ(Configuration(big).size(), 1000u);
}

TEST(UsbDevice, StringDescriptors)
{
    Board b;
    auto lang = In(b, 0x00, USB_REQUEST_GET_DESCRIPTOR, 0x0300, 0, 255);
    EXPECT_EQ(lang.data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
    auto product = In(b, 0x00, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x0409, 255);
    ASSERT_GE(product.data.size(), 4u);
    EXPECT_EQ(product.data[0], product.data.size());
    EXPECT_EQ(product.data[2], 'K');
    EXPECT_EQ(In(b, 0x00, USB_REQUEST_GET_DESCRIPTOR, 0x0309, 0, 255).usbd, USBD_STATUS_STALL_PID);
}

TEST(UsbDevice, ConfigurationAndInterfaceStates)
{
    Board b;
    EXPECT_EQ(In(b, 0x00, 0x08, 0, 0, 1).data, (std::vector<uint8_t>{0}));
    // No interface before the device is configured.
    USBD_STATUS u = 0;
    EXPECT_EQ(b.SelectAlternateSetting(0, 1, &u), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(u, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Out(b, 0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0).usbd, USBD_STATUS_STALL_PID);

    ASSERT_EQ(Out(b, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(In(b, 0x00, 0x08, 0, 0, 1).data, (std::vector<uint8_t>{1}));
    EXPECT_EQ(b.SelectAlternateSetting(0, 3, &u), STATUS_SUCCESS);
    EXPECT_EQ(In(b, 0x01, 0x0A, 0, 0, 1).data, (std::vector<uint8_t>{3}));
    EXPECT_EQ(b.SelectAlternateSetting(1, 1, &u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.SelectAlternateSetting(0, 6, &u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.AlternateSetting(), 3);

    // Unconfiguring drops the interface back to setting 0.
    ASSERT_EQ(Out(b, 0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(b.AlternateSetting(), 0);
}

TEST(UsbDevice, BandwidthBudgetRefusesLargerSettings)
{
    BoardConfig c;
    c.bandwidthBudget = 2700;
    Board b(c);
    Configure(b, 0);
    USBD_STATUS u = 0;
    EXPECT_EQ(b.SelectAlternateSetting(0, 5, &u), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(u, USBD_STATUS_NO_BANDWIDTH);
    EXPECT_EQ(b.AlternateSetting(), 0);
    EXPECT_EQ(b.SelectAlternateSetting(0, 4, &u), STATUS_SUCCESS);
    EXPECT_EQ(b.AlternateSetting(), 4);
    EXPECT_EQ(b.SelectAlternateSetting(0, 0, &u), STATUS_SUCCESS);
}

TEST(UsbDevice, UnsupportedAndMalformedRequests)
{
    Board b;
    // Stalls: unknown standard request, class request, unknown vendor request,
    // vendor requests in the wrong direction, a read asking for no byte.
    EXPECT_EQ(Out(b, 0x00, 0x07, 0, 0).usbd, USBD_STATUS_STALL_PID);  // SET_DESCRIPTOR
    EXPECT_EQ(Out(b, 0x21, 0x01, 0, 0).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Out(b, 0x40, 0x02, 0, 0).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(In(b, 0x40, 0x01, 5, 0x002, 1).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Out(b, 0x40, 0x00, 0, 0x002).usbd, USBD_STATUS_STALL_PID);
    Result r = In(b, 0x40, 0x00, 0, 0x002, 0);
    EXPECT_EQ(r.usbd, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(r.data.empty());

    // Parameters the host got wrong never reach the device.
    USB_DEFAULT_PIPE_SETUP_PACKET s{0x40, 0x01, 0x77, 0x002, 0};
    USBD_STATUS u = 0;
    EXPECT_EQ(b.ControlTransfer(&s, nullptr, nullptr, &u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.ControlTransfer(nullptr, nullptr, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    ULONG len = 3;  // OUT length disagrees with wLength
    uint8_t data[3] = {};
    EXPECT_EQ(b.ControlTransfer(&s, data, &len, &u), STATUS_INVALID_PARAMETER);
    USB_DEFAULT_PIPE_SETUP_PACKET in{0xC0, 0x00, 0, 0x002, 1};
    len = 1;
    EXPECT_EQ(b.ControlTransfer(&in, nullptr, &len, &u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.BridgeRegister(0x002), 0x00);

    // A vendor write with a data stage is accepted; the data is ignored.
    USB_DEFAULT_PIPE_SETUP_PACKET w{0x40, 0x01, 0x68, 0x002, 3};
    len = 3;
    EXPECT_EQ(b.ControlTransfer(&w, data, &len, &u), STATUS_SUCCESS);
    EXPECT_EQ(b.BridgeRegister(0x002), 0x68);
}

TEST(UsbDevice, ControlFaultOnTheNthTransfer)
{
    BoardConfig c;
    c.controlFaults.nth = sim::FaultKnob::Once(3);
    Board b(c);
    EXPECT_EQ(b.WriteRegister(0x002, 1), STATUS_SUCCESS);
    EXPECT_EQ(b.WriteRegister(0x002, 2), STATUS_SUCCESS);
    EXPECT_EQ(b.WriteRegister(0x002, 3), STATUS_UNSUCCESSFUL);  // never reached the bridge
    EXPECT_EQ(b.BridgeRegister(0x002), 2);
    EXPECT_EQ(b.ReadRegister(0x002), 2);  // once only
    EXPECT_EQ(b.ControlTransfersFailed(), 1u);

    // Re-armed at run time, counting from then; a failed read returns no data.
    sim::ControlFaults f;
    f.nth = sim::FaultKnob::Once(1);
    f.status = STATUS_DEVICE_DATA_ERROR;
    b.SetControlFaults(f);
    auto r = In(b, 0x40, 0x00, 0, 0x002, 1);
    EXPECT_EQ(r.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(r.data.empty());
}

TEST(UsbDevice, ControlFaultOnEveryTransferToARegister)
{
    BoardConfig c;
    c.controlFaults.everyRegister = 0x201;
    Board b(c);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(b.ReadRegister(0x201), std::nullopt);
    EXPECT_EQ(b.ReadRegister(0x200), 0);
    // An I2C write still happens; only its status cannot be read.
    EXPECT_EQ(I2cWrite(b, 0xBA, 0x09, 0x90), 0xEE);
    EXPECT_EQ(b.Device(0xBA)->Peek(0x09), 0x90);
}

TEST(UsbDevice, RandomControlFaultsFollowTheSeed)
{
    auto pattern = [](uint64_t seed) {
        BoardConfig c;
        c.seed = seed;
        c.controlFaults.random = sim::FaultKnob::Random(0.25);
        Board b(c);
        std::vector<bool> failed;
        for (int i = 0; i < 400; ++i)
            failed.push_back(b.WriteRegister(0x002, static_cast<uint16_t>(i)) != STATUS_SUCCESS);
        return failed;
    };
    auto a = pattern(7), again = pattern(7), other = pattern(8);
    EXPECT_EQ(a, again);
    EXPECT_NE(a, other);
    size_t n = static_cast<size_t>(std::count(a.begin(), a.end(), true));
    EXPECT_GT(n, 60u);
    EXPECT_LT(n, 140u);
}

TEST(UsbDevice, UnplugFailsEverything)
{
    Board b;
    Configure(b, 5);
    b.Unplug();
    auto r = In(b, 0x40, 0x00, 0, 0x002, 1);
    EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r.usbd, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(b.WriteRegister(0x002, 1), STATUS_DEVICE_NOT_CONNECTED);
    USBD_STATUS u = 0;
    EXPECT_EQ(b.SelectAlternateSetting(0, 1, &u), STATUS_DEVICE_NOT_CONNECTED);
    USBD_ISO_PACKET_DESCRIPTOR p{0, 0, 0};
    std::vector<uint8_t> buf(3072);
    EXPECT_EQ(b.IsochronousIn(0x82, 1, &p, buf.data(), 3072), STATUS_DEVICE_NOT_CONNECTED);
}

TEST(UsbDevice, TraceRecordsControlTransfersWithSetupDataAndStatus)
{
    BoardConfig c;
    c.trace.control = true;
    Board b(c);
    b.WriteRegister(0x203, 0xBA);
    b.ReadRegister(0x203);
    b.ReadRegister(0x999);  // stalls
    Configure(b, 2);
    const auto& rec = b.GetTrace().Records();
    ASSERT_EQ(rec.size(), 5u);
    EXPECT_EQ(rec[0].setup, (std::array<uint8_t, 8>{0x40, 0x01, 0xBA, 0x00, 0x03, 0x02, 0, 0}));
    EXPECT_TRUE(rec[0].data.empty());
    EXPECT_EQ(rec[1].setup[0], 0xC0);
    EXPECT_EQ(rec[1].data, (std::vector<uint8_t>{0xBA}));
    EXPECT_EQ(rec[2].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rec[2].usbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(rec[4].setup[1], USB_REQUEST_SET_INTERFACE);  // alternate setting selection
    EXPECT_EQ(rec[4].setup[2], 2);
    for (size_t i = 0; i < rec.size(); ++i)
        EXPECT_EQ(rec[i].sequence, i);

    sim::TraceOptions o = c.trace;
    o.maxRecords = 2;
    b.SetTraceOptions(o);
    b.ClearTrace();
    for (int i = 0; i < 5; ++i)
        b.ReadRegister(0x000);
    EXPECT_EQ(b.GetTrace().Records().size(), 2u);
    EXPECT_EQ(b.GetTrace().Dropped(), 3u);
}

TEST(UsbDevice, IsochronousRequestsThatCannotRun)
{
    Board b;
    std::vector<uint8_t> buf(4 * 3072);
    USBD_ISO_PACKET_DESCRIPTOR p[4];
    for (ULONG k = 0; k < 4; ++k)
        p[k] = {k * 3072, 0, 0};
    const ULONG size = static_cast<ULONG>(buf.size());
    EXPECT_EQ(b.IsochronousIn(0x82, 4, p, buf.data(), size), STATUS_INVALID_PARAMETER);  // unconfigured
    Configure(b, 0);
    EXPECT_EQ(b.IsochronousIn(0x82, 4, p, buf.data(), size), STATUS_INVALID_PARAMETER);  // no bandwidth
    Configure(b, 5);
    EXPECT_EQ(b.IsochronousIn(0x81, 4, p, buf.data(), size), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.IsochronousIn(0x82, 4, nullptr, buf.data(), size), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.IsochronousIn(0x82, 4, p, nullptr, size), STATUS_INVALID_PARAMETER);
    // A packet that would run past the buffer: nothing is written, no time passes.
    p[3].Offset = 3 * 3072 + 1;
    EXPECT_EQ(b.IsochronousIn(0x82, 4, p, buf.data(), size), STATUS_INVALID_PARAMETER);
    p[3].Offset = 0xFFFFFFFF;
    EXPECT_EQ(b.IsochronousIn(0x82, 4, p, buf.data(), size), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.CurrentMicroframe(), 0u);
    p[3].Offset = 3 * 3072;
    EXPECT_EQ(b.IsochronousIn(0x82, 4, p, buf.data(), size), STATUS_SUCCESS);
    EXPECT_EQ(b.IsochronousIn(0x82, 0, p, buf.data(), size), STATUS_SUCCESS);
    EXPECT_EQ(b.CurrentMicroframe(), 4u);
}
