// The video endpoint's packet stream, reassembled independently of the
// board: field and frame sizes for every standard and capture window the
// driver programs, field order and timing, bandwidth limits, faults and
// determinism.
#include "tests/sim/board_test_util.h"

using namespace simtest;
using sim::Board;
using sim::BoardConfig;
using sim::LineSystem;

namespace {

struct WindowCase {
    const char* name;
    sim::DecoderKind kind;
    uint8_t standardReg, standardValue;  // decoder register forcing the standard (0 = leave)
    LineSystem source;
    sim::Window window;
    bool lowBandwidth;
    size_t frameTotal;
};

BoardConfig BoardFor(const WindowCase& k)
{
    BoardConfig c;
    c.decoder = k.kind;
    c.lowBandwidth = k.lowBandwidth;
    c.defaultPatterns = false;
    c.tunerInput = -1;
    sim::TestPatternOptions o;
    for (auto& in : c.inputs)
        in = sim::MakeTestPattern(k.source, o);
    return c;
}

void Program(Board& b, const WindowCase& k)
{
    if (k.standardReg || k.standardValue)
        I2cWrite(b, sim::DecoderAddress(k.kind), k.standardReg, k.standardValue);
    SetWindow(b, k.window.hStartByte, k.window.vStartLine, k.window.hEndByte, k.window.vEndLine);
    if (k.lowBandwidth) {
        b.WriteRegister(0x104, 3);
        b.WriteRegister(0x105, 5);
        b.WriteRegister(0x106, 0x1F);
    }
}

class FrameTotals : public ::testing::TestWithParam<WindowCase> {};

}  // namespace

TEST_P(FrameTotals, ReassembledFramesHaveTheWindowsSize)
{
    const WindowCase& k = GetParam();
    Board b(BoardFor(k));
    Program(b, k);
    Configure(b, k.lowBandwidth ? 2 : 5);
    EXPECT_TRUE(b.SignalLocked());

    auto fields = Reassemble(ReadPackets(b, 1700));
    auto frames = Frames(fields);
    ASSERT_GE(frames.size(), 3u);

    const int widthBytes = k.lowBandwidth ? 324 : k.window.hEndByte - k.window.hStartByte;
    const int lines = k.lowBandwidth ? 44 : k.window.vEndLine - k.window.vStartLine;
    uint16_t previous = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Frame& f = frames[i];
        EXPECT_EQ(f.total, k.frameTotal) << "frame " << i;
        for (const Field* field : {f.first, f.second}) {
            EXPECT_EQ(field->bytesPerLine, widthBytes);
            EXPECT_EQ(field->lines, lines);
            EXPECT_EQ(field->data.size(), static_cast<size_t>(widthBytes) * lines);
        }
        // Both fields carry the frame's number; frames count up by one.
        uint16_t n = f.first->word0 & 0x0FFF;
        EXPECT_EQ(f.second->word0 & 0x0FFF, n);
        EXPECT_EQ((f.first->word0 & 0x1000) != 0, k.source == LineSystem::L625);
        if (i > 0) {
            EXPECT_EQ(n, static_cast<uint16_t>((previous + 1) & 0x0FFF));
        }
        previous = n;
    }
    // The frame flag is set on every first field and nowhere else.
    for (size_t i = 1; i < fields.size(); ++i)
        EXPECT_NE(fields[i].frameStart(), fields[i - 1].frameStart()) << "field " << i;
    EXPECT_EQ(b.VideoCounters().fieldsCutShort, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, FrameTotals,
    ::testing::Values(
        WindowCase{"Ntsc720", sim::DecoderKind::Type113, 0x28, 0x02, LineSystem::L525, {0, 13, 1440, 253}, false, 691206},
        WindowCase{"Ntsc704", sim::DecoderKind::Type113, 0x28, 0x02, LineSystem::L525, {8, 13, 1416, 253}, false, 675846},
        WindowCase{"Ntsc640", sim::DecoderKind::Type113, 0x28, 0x02, LineSystem::L525, {72, 13, 1352, 253}, false, 614406},
        WindowCase{"PalM720", sim::DecoderKind::Type113, 0x28, 0x06, LineSystem::L525, {0, 13, 1440, 253}, false, 691206},
        WindowCase{"Pal720x568", sim::DecoderKind::Type113, 0x28, 0x04, LineSystem::L625, {0, 1, 1440, 285}, false, 817926},
        WindowCase{"Pal704x568", sim::DecoderKind::Type113, 0x28, 0x04, LineSystem::L625, {8, 1, 1416, 285}, false, 799750},
        WindowCase{"Pal720x576", sim::DecoderKind::Type113, 0x28, 0x04, LineSystem::L625, {0, 1, 1440, 289}, false, 829446},
        WindowCase{"Pal704x576", sim::DecoderKind::Type113, 0x28, 0x04, LineSystem::L625, {8, 1, 1416, 289}, false, 811014},
        WindowCase{"Pal640", sim::DecoderKind::Type113, 0x28, 0x04, LineSystem::L625, {72, 13, 1352, 253}, false, 614406},
        WindowCase{"PalUndetected640", sim::DecoderKind::Type113, 0x28, 0x04, LineSystem::L625, {72, 25, 1352, 265}, false, 614406},
        WindowCase{"Secam720", sim::DecoderKind::Type113, 0x28, 0x0C, LineSystem::L625, {0, 1, 1440, 285}, false, 817926},
        WindowCase{"PalN704", sim::DecoderKind::Type113, 0x28, 0x08, LineSystem::L625, {8, 1, 1416, 285}, false, 799750},
        WindowCase{"Type110Ntsc720", sim::DecoderKind::Type110, 0, 0, LineSystem::L525, {0, 1, 1440, 241}, false, 691206},
        WindowCase{"Type110Ntsc704", sim::DecoderKind::Type110, 0, 0, LineSystem::L525, {0, 1, 1408, 241}, false, 675846},
        WindowCase{"Type110Pal720", sim::DecoderKind::Type110, 0, 0, LineSystem::L625, {0, 1, 1440, 285}, false, 817926},
        WindowCase{"Type111Ntsc720", sim::DecoderKind::Type111, 0x08, 0x58, LineSystem::L525, {0, 13, 1440, 253}, false, 691206},
        WindowCase{"Type111Ntsc704", sim::DecoderKind::Type111, 0x08, 0x58, LineSystem::L525, {8, 13, 1416, 253}, false, 675846},
        WindowCase{"Type111Pal704", sim::DecoderKind::Type111, 0x08, 0x18, LineSystem::L625, {8, 1, 1416, 285}, false, 799750},
        WindowCase{"LowBandwidthNtsc", sim::DecoderKind::Type113, 0x28, 0x02, LineSystem::L525, {72, 13, 1352, 253}, true, 28518},
        WindowCase{"LowBandwidthPal", sim::DecoderKind::Type113, 0x28, 0x04, LineSystem::L625, {72, 13, 1352, 253}, true, 28518}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IsoStream, FieldsCarryTheirOwnFieldAndFrameMarks)
{
    BoardConfig c;
    c.defaultPatterns = false;
    sim::TestPatternOptions o;
    o.sourceId = 2;
    c.inputs[2] = sim::MakeTestPattern(LineSystem::L625, o);
    Board b(c);
    const sim::Window w{0, 1, 1440, 285};
    SetWindow(b, w.hStartByte, w.vStartLine, w.hEndByte, w.vEndLine);
    Configure(b, 5);
    auto fields = Reassemble(ReadPackets(b, 1200));
    auto frames = Frames(fields);
    ASSERT_GE(frames.size(), 2u);
    for (const Frame& f : frames) {
        sim::MarkLayout layout{LineSystem::L625, w};
        auto first = sim::DecodeFieldMarks({sim::MarkPixelFormat::YUYV, f.first->data.data(),
                                            f.first->data.size(), 720, 284},
                                           layout);
        auto second = sim::DecodeFieldMarks({sim::MarkPixelFormat::YUYV, f.second->data.data(),
                                             f.second->data.size(), 720, 284},
                                            layout);
        ASSERT_TRUE(first.valid);
        ASSERT_TRUE(second.valid);
        // The flagged field is the top field, the other the bottom one of the
        // same frame: the header's frame number is the picture's counter.
        EXPECT_EQ(first.parity, sim::FieldParity::First);
        EXPECT_EQ(second.parity, sim::FieldParity::Second);
        EXPECT_EQ(first.counter, second.counter);
        EXPECT_EQ(first.counter & 0x0FFF, f.first->word0 & 0x0FFF);
        EXPECT_EQ(first.sourceId, 2);
    }
}

TEST(IsoStream, FieldsFollowTheLineSystemsRate)
{
    for (auto [standard, sys] : {std::pair{0x02, LineSystem::L525}, std::pair{0x04, LineSystem::L625}}) {
        BoardConfig c;
        c.defaultPatterns = false;
        c.inputs[2] = sim::MakeTestPattern(sys, {});
        Board b(c);
        I2cWrite(b, 0xBA, 0x28, static_cast<uint8_t>(standard));
        SetWindow(b, 0, 13, 16, 14);  // tiny fields: one packet each
        Configure(b, 5);
        auto packets = ReadPackets(b, 8000 * 2, 1000);  // two seconds
        std::vector<uint64_t> starts;
        for (const auto& p : packets)
            if (p.bytes.size() >= 6 && !(p.bytes[0] == 0xFF && p.bytes[1] == 0xFF))
                starts.push_back(p.microframe);
        if (sys == LineSystem::L625) {
            EXPECT_EQ(starts.size(), 100u - 1);  // the field under way at the start is skipped
            for (size_t i = 1; i < starts.size(); ++i)
                EXPECT_EQ(starts[i] - starts[i - 1], 160u);
        } else {
            EXPECT_NEAR(static_cast<double>(starts.size()), 2 * 59.94 - 1, 1.0);
            for (size_t i = 1; i < starts.size(); ++i) {
                uint64_t d = starts[i] - starts[i - 1];
                EXPECT_TRUE(d == 133 || d == 134) << d;
            }
            // 15 fields take exactly 2002 microframes.
            ASSERT_GT(starts.size(), 16u);
            EXPECT_EQ(starts[15] - starts[0], 2002u);
        }
    }
}

TEST(IsoStream, StreamingOpensWithTheNextFieldHeader)
{
    Board b;
    SetWindow(b, 0, 13, 1440, 253);
    b.AdvanceMicroframes(50);  // mid-field
    Configure(b, 5);
    auto packets = ReadPackets(b, 200);
    size_t firstData = 0;
    while (firstData < packets.size() && packets[firstData].bytes.empty())
        ++firstData;
    ASSERT_LT(firstData, packets.size());
    EXPECT_EQ(packets[firstData].microframe, 134u);  // ceil(2002 / 15)
    EXPECT_NE(packets[firstData].bytes[0] & packets[firstData].bytes[1], 0xFF);
}

TEST(IsoStream, FieldsThatDoNotFitTheBandwidthAreCutShort)
{
    struct Case {
        uint8_t alt;
        uint8_t standard;
        LineSystem sys;
        bool fits;
    };
    for (Case k : {Case{3, 0x04, LineSystem::L625, true}, Case{3, 0x02, LineSystem::L525, false},
                   Case{1, 0x04, LineSystem::L625, false}, Case{4, 0x02, LineSystem::L525, true}}) {
        BoardConfig c;
        c.defaultPatterns = false;
        c.inputs[2] = sim::MakeTestPattern(k.sys, {});
        Board b(c);
        I2cWrite(b, 0xBA, 0x28, k.standard);
        SetWindow(b, 72, 13, 1352, 253);
        Configure(b, k.alt);
        auto fields = Reassemble(ReadPackets(b, 1200));
        size_t complete = 0;
        for (const auto& f : fields) {
            if (!f.complete)
                continue;
            ++complete;
            if (k.fits) {
                EXPECT_EQ(f.data.size(), 1280u * 240u);
            } else {
                EXPECT_LT(f.data.size(), 1280u * 240u);
            }
        }
        EXPECT_GE(complete, 4u);
        EXPECT_EQ(b.VideoCounters().fieldsCutShort > 0, !k.fits) << int(k.alt);
    }
}

TEST(IsoStream, NoFieldsWithoutADecoderOrWhilePoweredDown)
{
    BoardConfig c;
    c.decoder = sim::DecoderKind::None;
    Board none(c);
    SetWindow(none, 0, 13, 1440, 253);
    Configure(none, 5);
    for (const auto& p : ReadPackets(none, 400))
        EXPECT_TRUE(p.bytes.empty());

    Board b;
    SetWindow(b, 0, 13, 1440, 253);
    Configure(b, 5);
    b.WriteRegister(0x000, 0x68);  // power-down bit
    for (const auto& p : ReadPackets(b, 400))
        EXPECT_TRUE(p.bytes.empty());
    b.WriteRegister(0x000, 0x28);
    EXPECT_EQ(CaptureField(b).size(), 1440u * 240u);
}

TEST(IsoStream, WrongStandardGivesBlackFieldsOfFullSize)
{
    BoardConfig c;
    c.defaultPatterns = false;
    c.inputs[2] = sim::MakeTestPattern(LineSystem::L525, {});
    Board b(c);
    I2cWrite(b, 0xBA, 0x28, 0x04);  // PAL, with an NTSC signal
    SetWindow(b, 0, 1, 1440, 285);
    Configure(b, 5);
    EXPECT_FALSE(b.SignalLocked());
    auto f = CaptureField(b);
    ASSERT_EQ(f.size(), 1440u * 284u);
    for (size_t i = 0; i < f.size(); ++i)
        ASSERT_EQ(f[i], (i & 1) ? 128 : 16) << i;
}

TEST(IsoStream, OutlandishWindowsAreClampedToTheRaster)
{
    Board b;
    SetWindow(b, 0, 13, 0xFFFF, 0xFFFF);
    Configure(b, 5);
    auto fields = Reassemble(ReadPackets(b, 600));
    ASSERT_GE(fields.size(), 2u);
    // 1716 bytes per 525-line raster line (cut to whole pixel pairs), lines 13..262.
    EXPECT_EQ(fields[0].bytesPerLine, 1716);
    EXPECT_EQ(fields[0].lines, 263 - 13);

    SetWindow(b, 1000, 200, 10, 100);  // inverted: header packets only
    fields = Reassemble(ReadPackets(b, 600));
    ASSERT_GE(fields.size(), 3u);
    EXPECT_EQ(fields[2].lines, 0);
    EXPECT_TRUE(fields[2].data.empty());
}

namespace {

struct FaultRun {
    std::vector<Packet> clean, faulty;
    std::vector<size_t> dataIndex;  // indexes of packets that carry data in the clean run
};

FaultRun RunWith(const sim::IsoFaults& faults, uint64_t microframes = 600)
{
    FaultRun r;
    auto make = [&](bool withFaults) {
        BoardConfig c;
        if (withFaults)
            c.isoFaults = faults;
        auto b = std::make_unique<Board>(c);
        SetWindow(*b, 0, 13, 1440, 253);
        Configure(*b, 5);
        return b;
    };
    auto clean = make(false);
    r.clean = ReadPackets(*clean, microframes);
    auto faulty = make(true);
    r.faulty = ReadPackets(*faulty, microframes);
    for (size_t i = 0; i < r.clean.size(); ++i)
        if (!r.clean[i].bytes.empty())
            r.dataIndex.push_back(i);
    return r;
}

}  // namespace

TEST(IsoFaults, PacketErrorLostPacketAndOddLengthHitTheNthDataPacket)
{
    sim::IsoFaults f;
    f.packetError = sim::FaultKnob::Once(5);
    f.lostPacket = sim::FaultKnob::Once(7);
    f.oddLength = sim::FaultKnob::Once(9);
    FaultRun r = RunWith(f);
    ASSERT_EQ(r.clean.size(), r.faulty.size());
    const size_t err = r.dataIndex[4], lost = r.dataIndex[6], odd = r.dataIndex[8];
    for (size_t i = 0; i < r.clean.size(); ++i) {
        const Packet& c = r.clean[i];
        const Packet& x = r.faulty[i];
        if (i == err) {
            EXPECT_EQ(x.status, USBD_STATUS_CRC);
        } else if (i == lost) {
            EXPECT_EQ(x.status, USBD_STATUS_SUCCESS);
            EXPECT_TRUE(x.bytes.empty());
        } else if (i == odd) {
            EXPECT_EQ(x.bytes.size(), c.bytes.size() - 1);
            EXPECT_EQ(x.bytes.size() % 2, 1u);
        } else {
            EXPECT_EQ(x.status, c.status) << i;
            EXPECT_EQ(x.bytes, c.bytes) << i;
        }
    }
}

TEST(IsoFaults, CorruptByteChangesOneDataByteAndNoHeader)
{
    sim::IsoFaults f;
    f.corruptByte = sim::FaultKnob::Once(3);
    FaultRun r = RunWith(f);
    size_t differing = 0;
    for (size_t i = 0; i < r.clean.size(); ++i) {
        ASSERT_EQ(r.clean[i].bytes.size(), r.faulty[i].bytes.size());
        for (size_t j = 0; j < r.clean[i].bytes.size(); ++j) {
            if (r.clean[i].bytes[j] != r.faulty[i].bytes[j]) {
                ++differing;
                EXPECT_EQ(i, r.dataIndex[2]);
                EXPECT_GE(j, 2u);
            }
        }
    }
    EXPECT_EQ(differing, 1u);
}

TEST(IsoFaults, TruncatedFieldStopsHalfway)
{
    sim::IsoFaults f;
    f.truncatedField = sim::FaultKnob::Once(2);
    BoardConfig c;
    c.isoFaults = f;
    Board b(c);
    SetWindow(b, 0, 13, 1440, 253);
    Configure(b, 5);
    auto fields = Reassemble(ReadPackets(b, 700));
    ASSERT_GE(fields.size(), 4u);
    EXPECT_EQ(fields[0].data.size(), 345600u);
    EXPECT_EQ(fields[1].data.size(), 345600u / 2);
    EXPECT_EQ(fields[1].lines, 240);  // the header still announces the whole field
    EXPECT_EQ(fields[2].data.size(), 345600u);
    EXPECT_EQ(b.VideoCounters().fieldsTruncated, 1u);
    EXPECT_EQ(b.VideoCounters().fieldsCutShort, 0u);
}

TEST(IsoFaults, UnplugMidStream)
{
    sim::IsoFaults f;
    f.unplug = sim::FaultKnob::Once(10);
    BoardConfig c;
    c.isoFaults = f;
    Board b(c);
    SetWindow(b, 0, 13, 1440, 253);
    Configure(b, 5);
    std::vector<uint8_t> buf(3072 * 400);
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> d(400);
    for (ULONG i = 0; i < 400; ++i)
        d[i] = {i * 3072, 0, 0};
    EXPECT_EQ(b.IsochronousIn(0x82, 400, d.data(), buf.data(), static_cast<ULONG>(buf.size())),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(b.Unplugged());
    size_t data = 0, gone = 0;
    for (const auto& p : d) {
        if (p.Status == USBD_STATUS_DEVICE_GONE)
            ++gone;
        else if (p.Length)
            ++data;
    }
    EXPECT_EQ(data, 9u);
    EXPECT_GT(gone, 200u);
    EXPECT_EQ(b.WriteRegister(0x002, 0), STATUS_DEVICE_NOT_CONNECTED);
}

TEST(IsoStream, SameSeedSameStreamByteForByte)
{
    auto run = [](uint64_t seed) {
        BoardConfig c;
        c.seed = seed;
        c.isoFaults.corruptByte = sim::FaultKnob::Random(0.05);
        c.isoFaults.lostPacket = sim::FaultKnob::Random(0.02);
        c.isoFaults.packetError = sim::FaultKnob::Random(0.02);
        c.isoFaults.oddLength = sim::FaultKnob::Random(0.02);
        c.isoFaults.truncatedField = sim::FaultKnob::Random(0.3);
        Board b(c);
        I2cWrite(b, 0xBA, 0x00, 0x02);  // the tuner, tuned nowhere: snow
        SetWindow(b, 0, 13, 1440, 253);
        Configure(b, 5);
        return ReadPackets(b, 700, 37);
    };
    auto a = run(11), again = run(11), other = run(12);
    ASSERT_EQ(a.size(), again.size());
    bool sameAsOther = a.size() == other.size();
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].status, again[i].status) << i;
        ASSERT_EQ(a[i].bytes, again[i].bytes) << i;
        if (sameAsOther && (a[i].bytes != other[i].bytes || a[i].status != other[i].status))
            sameAsOther = false;
    }
    EXPECT_FALSE(sameAsOther);
}

TEST(IsoStream, TraceRecordsEveryPacketWithItsMicroframe)
{
    BoardConfig c;
    c.trace.isochronous = true;
    c.trace.isoData = true;
    Board b(c);
    SetWindow(b, 0, 13, 1440, 253);
    Configure(b, 5);
    auto packets = ReadPackets(b, 300, 50);
    const auto& rec = b.GetTrace().Records();
    ASSERT_EQ(rec.size(), packets.size());
    for (size_t i = 0; i < rec.size(); ++i) {
        EXPECT_EQ(rec[i].kind, sim::TraceRecord::Kind::Isochronous);
        EXPECT_EQ(rec[i].endpoint, 0x82);
        EXPECT_EQ(rec[i].microframe, packets[i].microframe);
        EXPECT_EQ(rec[i].length, packets[i].bytes.size());
        EXPECT_EQ(rec[i].data, packets[i].bytes);
    }
}
