// Video standard and input switching: the capture window the bridge ends up
// with for every standard index, format and decoder type, the frame interval
// the class library was given, and the decoder registers after an input
// switch.
#include "tests/hw/hw_fixture.h"

using namespace hwtest;
using sim::DecoderKind;

namespace {

using Window4 = std::vector<int>;

struct Format {
    LONG width, height;
};

const Format kFormats[] = {{720, 480}, {720, 576}, {352, 240}, {352, 288}, {176, 144},
                           {176, 120}, {640, 480}, {320, 240}, {160, 120}};

// The window the bridge holds after a standard switch, as the tables of the
// two line systems give it. Formats without a row of their own keep what the
// 5150 start-up wrote for the line system.
Window4 ExpectedWindow(LONG type, LONG index, Format f)
{
    const bool lines525 = index == 1 || index == 4;
    Window4 startup = {72, 13, 1352, 253};
    if (lines525) {
        if (f.width == 720 && f.height == 480) startup = {0, 13, 1440, 253};
        if (f.width == 352 && f.height == 240) startup = {8, 13, 1416, 253};
        if (type == 110) {
            if (f.width == 720) return {0, 1, 1440, 241};
            if (f.width == 352 || f.width == 176) return {0, 1, 1408, 241};
            // Its field starts at line 1: the 5150's lines 13..253 do not fit.
            return {92, 1, 1372, 241};
        } else {
            if (f.width == 720) return {0, 13, 1440, 253};
            if (f.width == 352 || f.width == 176) return {8, 13, 1416, 253};
        }
        return startup;
    }
    if (f.width == 720 && f.height == 576) return {0, 1, 1440, 285};
    if ((f.width == 352 && f.height == 288) || (f.width == 176 && f.height == 144)) return {8, 1, 1416, 285};
    return startup;
}

class StandardSwitch : public HwTest {
protected:
    void SetFormat(Format f)
    {
        Ctx()->frameWidth = f.width;
        Ctx()->frameHeight = f.height;
    }

    // Sets a frame interval no switch would give, to see whether one is given.
    void MarkFrameInterval() { USBCAMD_SetFrameInterval(Ctx(), 12345); }

    void Switch(LONG index)
    {
        Ctx()->standardIndex = index;
        SetVideoStandard(Ctx(), index);
    }
};

TEST_F(StandardSwitch, WindowAndFrameIntervalForEveryStandardFormatAndDecoder)
{
    struct Board_ {
        DecoderKind kind;
        LONG type;
    };
    for (const Board_ b : {Board_{DecoderKind::Type110, 110}, Board_{DecoderKind::Type111, 111},
                           Board_{DecoderKind::Type113, 113}}) {
        sim::BoardConfig c = WithDecoder(b.kind);
        c.decoder5150.id[3] = 0x00;
        Start(c);
        for (LONG index = 1; index <= 5; ++index) {
            for (const Format& f : kFormats) {
                SCOPED_TRACE(testing::Message() << "type " << b.type << ", standard " << index << ", " << f.width
                                                << "x" << f.height);
                SetFormat(f);
                // Scramble the window so that a missing write shows.
                for (uint16_t r = 0x110; r <= 0x117; ++r) Board().WriteRegister(r, 0xEE);
                Ctx()->decoderType = 0;
                MarkFrameInterval();
                Switch(index);
                EXPECT_EQ(Window(), ExpectedWindow(b.type, index, f));
                EXPECT_EQ(Ctx()->decoderType, b.type) << "restored from the detected type";
                ULONG interval = 390;
                if (index == 1 || index == 4) interval = 320;
                EXPECT_EQ(FrameInterval(), interval);
                // The bridge took the 5150 start-up table for the line system.
                EXPECT_EQ(Board().BridgeRegister(0x000), 0x28);
            }
        }
        TearDown();
        SetUp();
    }
}

TEST_F(StandardSwitch, SwitchProgramsTheBridgeThenThe5150ThenTheInputThenTheWindow)
{
    Start(WithDecoder(DecoderKind::Type111));
    SetFormat({352, 240});
    Ctx()->inputChannel = 1;
    ClearDecoderWrites();
    Clear();
    Switch(4);  // PAL-M: the 525-line path
    EXPECT_EQ(FrameInterval(), 320u);
    const std::vector<uint16_t> addresses = WritesTo(0x203);
    EXPECT_EQ(addresses, (std::vector<uint16_t>{0xBA, 0x4A}));
    // The 5150 table for PAL-M went to 0xBA, the input to the detected decoder.
    std::vector<uint16_t> subaddresses = WritesTo(0x204);
    EXPECT_EQ(subaddresses, (std::vector<uint16_t>{0x08, 0x04, 0x28, 0x30, 0x0F, 0x02, 0x09}));
    EXPECT_EQ(Board().GetDecoder()->Peek(0x02), 0x89);
    // The last eight writes are the window of the actual decoder.
    const std::vector<Access> all = Accesses();
    ASSERT_GE(all.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(all[all.size() - 8 + i].reg, 0x110 + i);
    EXPECT_EQ(Window(), (Window4{8, 13, 1416, 253}));
}

TEST_F(StandardSwitch, UnknownIndicesTouchNothing)
{
    sim::BoardConfig c;
    c.decoder5150.id[3] = 0x00;
    Start(c);
    MarkFrameInterval();
    for (LONG index : {0, 6, -1, 0x7FFFFFFF}) {
        Clear();
        SetVideoStandard(Ctx(), index);
        EXPECT_EQ(TransferCount(), 0u) << index;
    }
    EXPECT_EQ(FrameInterval(), 12345u);
}

TEST_F(StandardSwitch, BeforeDetectionOnlyA625LineWindowForSomeWidths)
{
    sim::BoardConfig c;
    c.decoder5150.id[3] = 0x00;
    Start(c);
    Ctx()->detectedDecoderType = 0;
    Ctx()->decoderType = 0;
    MarkFrameInterval();
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.width);
        SetFormat(f);
        Clear();
        Switch(1);
        EXPECT_EQ(TransferCount(), 0u);
        Switch(4);
        EXPECT_EQ(TransferCount(), 0u);
        for (LONG index : {2, 3, 5}) {
            Clear();
            Switch(index);
            if (f.width == 640 || f.width == 320 || f.width == 160) {
                EXPECT_EQ(Shapes().size(), 8u);
                EXPECT_EQ(Window(), (Window4{72, 25, 1352, 265}));
            } else {
                EXPECT_EQ(TransferCount(), 0u);
            }
        }
    }
    EXPECT_EQ(FrameInterval(), 12345u);
    EXPECT_EQ(Ctx()->decoderType, 0);
}

// ------------------------------------------------------------------ input --

TEST_F(StandardSwitch, InputsOfDecoderType110)
{
    Start(WithDecoder(DecoderKind::Type110));
    sim::Decoder& d = *Board().GetDecoder();

    d.Poke(0x02, 0xFF);
    d.Poke(0x06, 0xFF);
    SelectVideoInput(Ctx(), 1);
    EXPECT_EQ(d.Peek(0x02), 0x54);  // bit 6 kept, 0x14 set, the rest cleared
    EXPECT_EQ(d.Peek(0x06), 0xF9);
    EXPECT_EQ(d.SelectedInput(), 1);

    SelectVideoInput(Ctx(), 0);
    EXPECT_EQ(d.Peek(0x02), 0x40);
    EXPECT_EQ(d.Peek(0x06), 0x43);
    EXPECT_EQ(d.SelectedInput(), 0);

    // Read-modify-write from a register with bit 6 clear.
    d.Poke(0x02, 0x00);
    d.Poke(0x06, 0x00);
    SelectVideoInput(Ctx(), 1);
    EXPECT_EQ(d.Peek(0x02), 0x14);
    EXPECT_EQ(d.Peek(0x06), 0x01);

    Clear();
    for (LONG input : {2, 3, -1}) SelectVideoInput(Ctx(), input);
    EXPECT_EQ(TransferCount(), 0u);
}

TEST_F(StandardSwitch, InputsOfDecoderType111)
{
    Start(WithDecoder(DecoderKind::Type111));
    sim::Decoder& d = *Board().GetDecoder();

    // Input 0 forces bit 7 of register 0x02 only under PAL, otherwise keeps it.
    struct Case {
        LONG index;
        uint8_t before, after;
    };
    for (const Case& c : {Case{2, 0x3F, 0xB0}, Case{1, 0x8F, 0x80}, Case{1, 0x0F, 0x00}, Case{4, 0x7F, 0x70}}) {
        Ctx()->standardIndex = c.index;
        d.Poke(0x02, c.before);
        d.Poke(0x09, 0xFF);
        SelectVideoInput(Ctx(), 0);
        EXPECT_EQ(d.Peek(0x02), c.after) << "standard " << c.index;
        EXPECT_EQ(d.Peek(0x09), 0x7F);
        EXPECT_EQ(d.SelectedInput(), 0);
    }

    d.Poke(0x09, 0x01);
    Clear();
    SelectVideoInput(Ctx(), 1);
    EXPECT_EQ(d.Peek(0x02), 0x89);
    EXPECT_EQ(d.Peek(0x09), 0x81);
    EXPECT_EQ(d.SelectedInput(), 1);
    // Write, then read-modify-write, all at the decoder's address.
    EXPECT_EQ(WritesTo(0x204), (std::vector<uint16_t>{0x02, 0x09}));
    EXPECT_EQ(WritesTo(0x208), (std::vector<uint16_t>{0x09}));

    Clear();
    SelectVideoInput(Ctx(), 2);
    EXPECT_EQ(TransferCount(), 0u);
}

TEST_F(StandardSwitch, InputsOfThe5150AndOfNoDecoder)
{
    sim::BoardConfig c;
    c.decoder5150.id[3] = 0x00;
    Start(c);
    sim::Decoder& d = *Board().GetDecoder();
    struct Case {
        LONG input;
        uint8_t reg00, reg03;
    };
    for (const Case& k : {Case{0, 0x02, 0x6F}, Case{1, 0x01, 0x2F}, Case{2, 0x00, 0x6F}}) {
        SelectI2cDevice(Ctx(), 0x42);  // the addressed form selects the decoder again
        SelectVideoInput(Ctx(), k.input);
        EXPECT_EQ(d.Peek(0x00), k.reg00);
        EXPECT_EQ(d.Peek(0x03), k.reg03);
        EXPECT_EQ(d.SelectedInput(), k.input);
    }
    Clear();
    SelectVideoInput(Ctx(), 3);
    SelectVideoInput(Ctx(), -1);
    Ctx()->decoderType = 0;
    SelectVideoInput(Ctx(), 0);
    EXPECT_EQ(TransferCount(), 0u);
}

}  // namespace
