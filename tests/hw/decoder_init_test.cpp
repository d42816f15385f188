// Decoder detection and initialisation on boards with each decoder and with
// none: probe sequences and budgets, the bridge start-up tables and windows,
// the decoder tables as the decoders received them, and the 5150 patch image.
#include "tests/hw/hw_fixture.h"

#include <array>

using namespace hwtest;
using sim::DecoderKind;

namespace {

using Window4 = std::vector<int>;
using Pairs = std::vector<std::pair<uint8_t, uint8_t>>;

std::vector<uint8_t> PatchImage()
{
    std::vector<uint8_t> image;
    for (ULONG i = 0; i < DECODER_PATCH_IMAGE_BYTES; ++i) image.push_back(DecoderPatchImageByte(i));
    return image;
}

sim::BoardConfig Board5150(std::array<uint8_t, 4> id)
{
    sim::BoardConfig c;
    c.decoder5150.id = id;
    c.decoder5150.expectedPatch = PatchImage();
    return c;
}

constexpr std::array<uint8_t, 4> kIdPatchAtStart = {0x51, 0x50, 0x02, 0x21};
constexpr std::array<uint8_t, 4> kIdNoPatch = {0x51, 0x50, 0x02, 0x00};
constexpr std::array<uint8_t, 4> kIdPatchOnReinit = {0x51, 0x50, 0x03, 0x00};

class Decoders : public HwTest {
protected:
    // The 5150's standard table for each index, as the part expects it.
    static Pairs StandardPairs(int index)
    {
        switch (index) {
        case 1: return {{0x08, 0x08}, {0x28, 0x02}, {0x30, 0x01}, {0x0F, 0x0A}};
        case 3: return {{0x08, 0x08}, {0x28, 0x0C}, {0x30, 0x00}, {0x0F, 0x0A}};
        case 4: return {{0x08, 0x08}, {0x04, 0xD8}, {0x28, 0x06}, {0x30, 0x01}, {0x0F, 0x0A}};
        case 5: return {{0x08, 0x08}, {0x04, 0xD4}, {0x28, 0x08}, {0x30, 0x00}, {0x0F, 0x0A}};
        default: return {{0x08, 0x08}, {0x28, 0x04}, {0x30, 0x00}, {0x0F, 0x0A}};
        }
    }
};

// ---------------------------------------------------------------- detection --

TEST_F(Decoders, EachBoardComesUpWithItsDecoderAndABoardWithoutOneAsThe5150)
{
    struct Case {
        DecoderKind kind;
        LONG type;
        uint8_t address;
        uint8_t control;
    };
    for (const Case& c : {Case{DecoderKind::Type110, 110, 0x88, 0x20}, Case{DecoderKind::Type111, 111, 0x4A, 0x20},
                          Case{DecoderKind::Type113, 113, 0xBA, 0x28}, Case{DecoderKind::None, 113, 0xBA, 0x28}}) {
        SCOPED_TRACE(c.type);
        Start(WithDecoder(c.kind));
        EXPECT_EQ(Ctx()->decoderType, c.type);
        EXPECT_EQ(Ctx()->detectedDecoderType, c.type);
        EXPECT_EQ(Board().BridgeRegister(0x203), c.address);
        EXPECT_EQ(Board().BridgeRegister(0x000), c.control);

        // The probes on their own: each answers on its own decoder only.
        EXPECT_EQ(ProbeDecoder88(Ctx()), c.kind == DecoderKind::Type110);
        EXPECT_EQ(ProbeDecoder4A(Ctx()), c.kind == DecoderKind::Type111);
        TearDown();
        SetUp();
    }
}

TEST_F(Decoders, ProbeWritesTheTestValueAfterAPauseAndReadsItBack)
{
    Start(WithDecoder(DecoderKind::Type110));
    const LONGLONG delayed = kv::kernel::clock::TotalDelayed();
    ASSERT_TRUE(ProbeDecoder88(Ctx()));
    EXPECT_EQ(kv::kernel::clock::TotalDelayed() - delayed, 3 * kv::kernel::clock::kUnitsPerMillisecond);
    // Default board: the status reads 0 once, then 1.
    EXPECT_EQ(Accesses(), (std::vector<Access>{W(0x203, 0x88), W(0x204, 0x0C), W(0x205, 0x8C), W(0x200, 0x05),
                                               R(0x201, 0x00), R(0x201, 0x01), W(0x208, 0x0C), W(0x200, 0x20),
                                               R(0x201, 0x00), R(0x201, 0x01), R(0x209, 0x8C)}));
    EXPECT_EQ(Board().GetDecoder()->Peek(0x0C), 0x8C);
    EXPECT_EQ(Ctx()->decoderI2cAddress, 0x88);

    Clear();
    EXPECT_FALSE(ProbeDecoder4A(Ctx()));
    EXPECT_EQ(Ctx()->decoderI2cAddress, 0x4A);
    // Nothing answers at 0x4A: the status says so at once (non-zero), the
    // read-back finds the released line.
    EXPECT_EQ(Accesses().back(), R(0x209, 0xFF));
}

TEST_F(Decoders, ProbesGiveUpAtTheirOwnBudgets)
{
    sim::BoardConfig c = WithDecoder(DecoderKind::Type110);
    c.bridge.statusStuck = true;
    c.decoder5150.id[3] = 0x00;
    Start(c);
    EXPECT_FALSE(ProbeDecoder88(Ctx()));
    // Select, three writes, the first status read and 256 more; no read-back.
    EXPECT_EQ(TransferCount(), 1u + 3u + 1u + 256u);
    EXPECT_TRUE(WritesTo(0x208).empty());
    Clear();
    EXPECT_FALSE(ProbeDecoder4A(Ctx()));
    EXPECT_EQ(TransferCount(), 1u + 3u + 1u + 64u);
}

TEST_F(Decoders, AFailedStatusReadCountsAsFinished)
{
    Start(WithDecoder(DecoderKind::Type110));
    FailRegister(0x201);
    // The failure value ends the wait; the read-back still finds the value.
    EXPECT_TRUE(ProbeDecoder88(Ctx()));
    EXPECT_EQ(Shapes(), (std::vector<Shape>{{true, 0x203}, {true, 0x204}, {true, 0x205}, {true, 0x200},
                                            {false, 0x201}, {true, 0x208}, {true, 0x200}, {false, 0x201},
                                            {false, 0x209}}));
    // A failed read-back is never a match.
    FailRegister(0x209);
    EXPECT_FALSE(ProbeDecoder88(Ctx()));
}

// ---------------------------------------------------------- 5150 patch ----

TEST_F(Decoders, PatchImageArrivesWholeAndInOrderWhenRegister83AsksForIt)
{
    for (uint8_t id83 : {0x21, 0xA8}) {
        SCOPED_TRACE(id83);
        Start(Board5150({0x51, 0x50, 0x02, id83}));
        const sim::PatchReport* patch = Board().DecoderPatch();
        ASSERT_NE(patch, nullptr);
        EXPECT_TRUE(patch->completed);
        EXPECT_EQ(patch->loads, 1u);
        EXPECT_EQ(patch->bytesRejected, 0u);
        EXPECT_EQ(patch->image, PatchImage());
        EXPECT_EQ(patch->matchesExpected, std::optional<bool>(true));
        // The postamble closed the port and set the output registers.
        EXPECT_EQ(Board().GetDecoder()->Peek(0x21), 0x00);
        EXPECT_EQ(Board().GetDecoder()->Peek(0x03), 0x6F);
        TearDown();
        SetUp();
    }
}

TEST_F(Decoders, ShortTableWhenRegister83DoesNotAsk)
{
    sim::BoardConfig c = Board5150(kIdNoPatch);
    Start(c);
    EXPECT_EQ(Board().DecoderPatch()->loads, 0u);
    EXPECT_EQ(DecoderWrites(), (Pairs{{0x08, 0x08}, {0x0F, 0x0A}, {0x30, 0x01}, {0x03, 0x6F}}));
}

// ---------------------------------------------------------------- Init5150 --

TEST_F(Decoders, Init5150PatchesOnlyWhenRegister82Reads3)
{
    Start(Board5150(kIdPatchOnReinit));
    ASSERT_EQ(Board().DecoderPatch()->loads, 0u);  // register 0x83 said no at start
    Ctx()->inputChannel = 0;
    Ctx()->standardIndex = 1;
    ClearDecoderWrites();
    Init5150(Ctx());
    EXPECT_EQ(Board().DecoderPatch()->loads, 1u);
    EXPECT_EQ(Board().DecoderPatch()->matchesExpected, std::optional<bool>(true));
    EXPECT_TRUE(kv::kernel::debug::Text().find("InitTI5150HI2C") != std::string::npos);
    // After the patch: input, then standard.
    Pairs writes = DecoderWrites();
    ASSERT_EQ(writes.size(), 1727u + 2u + 4u);
    Pairs after(writes.end() - 6, writes.end());
    Pairs expected = {{0x00, 0x02}, {0x03, 0x6F}};
    for (auto p : StandardPairs(1)) expected.push_back(p);
    EXPECT_EQ(after, expected);
}

TEST_F(Decoders, Init5150WithoutPatchStillWritesInputAndStandard)
{
    Start(Board5150(kIdNoPatch));
    Ctx()->inputChannel = 1;
    Ctx()->standardIndex = 3;
    ClearDecoderWrites();
    Clear();
    Init5150(Ctx());
    Pairs expected = {{0x00, 0x01}, {0x03, 0x2F}};
    for (auto p : StandardPairs(3)) expected.push_back(p);
    EXPECT_EQ(DecoderWrites(), expected);
    EXPECT_EQ(Board().GetDecoder()->SelectedInput(), 1);
    EXPECT_EQ(Board().DecoderPatch()->loads, 0u);
    // The read of register 0x82 went to the decoder that was selected first.
    EXPECT_EQ(WritesTo(0x203), std::vector<uint16_t>{0xBA});
    EXPECT_EQ(WritesTo(0x208), std::vector<uint16_t>{0x82});

    // An input outside 0..2 writes no input register.
    for (LONG input : {3, -1}) {
        Ctx()->inputChannel = input;
        ClearDecoderWrites();
        Init5150(Ctx());
        EXPECT_EQ(DecoderWrites(), StandardPairs(3));
    }
}

TEST_F(Decoders, StandardTablesForEveryIndex)
{
    Start(Board5150(kIdNoPatch));
    for (LONG index : {0, 1, 2, 3, 4, 5, 6, -7}) {
        SCOPED_TRACE(index);
        Ctx()->standardIndex = index;
        ClearDecoderWrites();
        kv::kernel::debug::Clear();
        Init5150Standard(Ctx());
        EXPECT_EQ(DecoderWrites(), StandardPairs(index));
        EXPECT_EQ(kv::kernel::debug::Text(), "InitTI5150HI2C1");
    }
    EXPECT_EQ(Board().GetDecoder()->Peek(0x28), 0x04);
}

// ------------------------------------------------------- bridge start-up ----

TEST_F(Decoders, StartupWindowOfThe5150PathByLineSystemAndFormat)
{
    struct Case {
        LONG index, width, height;
        Window4 window;
    };
    const Case cases[] = {
        {1, 720, 480, {0, 13, 1440, 253}},  {4, 720, 480, {0, 13, 1440, 253}},
        {1, 352, 240, {8, 13, 1416, 253}},  {4, 352, 240, {8, 13, 1416, 253}},
        {1, 640, 480, {72, 13, 1352, 253}}, {1, 176, 120, {72, 13, 1352, 253}},
        {1, 720, 576, {72, 13, 1352, 253}}, {2, 720, 576, {0, 1, 1440, 285}},
        {3, 352, 288, {8, 1, 1416, 285}},   {5, 176, 144, {8, 1, 1416, 285}},
        {2, 640, 480, {72, 13, 1352, 253}}, {3, 352, 240, {72, 13, 1352, 253}},
        {5, 720, 480, {72, 13, 1352, 253}}, {0, 720, 576, {0, 1, 1440, 285}},
    };
    Start(Board5150(kIdNoPatch));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.index << " " << c.width << "x" << c.height);
        Ctx()->standardIndex = c.index;
        Ctx()->frameWidth = c.width;
        Ctx()->frameHeight = c.height;
        Board().WriteRegister(0x000, 0x00);
        Clear();
        InitBridgeFor5150(Ctx());
        EXPECT_EQ(Window(), c.window);
        EXPECT_EQ(Board().BridgeRegister(0x000), 0x28);
        EXPECT_EQ(kv::kernel::debug::Text(), "InitKV33005150H");
        // The table's 21 writes, the 0x100 merge, then the eight window bytes;
        // no I2C address is selected.
        std::vector<Shape> shapes = Shapes();
        ASSERT_EQ(shapes.size(), 21u + 2u + 8u);
        EXPECT_EQ(shapes[21], (Shape{false, 0x100}));
        EXPECT_EQ(shapes[22], (Shape{true, 0x100}));
        for (int i = 0; i < 8; ++i) EXPECT_EQ(shapes[23 + i], (Shape{true, static_cast<uint16_t>(0x110 + i)}));
        EXPECT_TRUE(WritesTo(0x203).empty());
    }
}

TEST_F(Decoders, FailedTableWriteStopsTheWalkButNotTheMerge)
{
    Start(WithDecoder(DecoderKind::Type110));
    Board().WriteRegister(0x100, 0xC0);
    Board().WriteRegister(0x300, 0x00);
    Clear();
    FailTransfer(6);  // select, then pairs 1-4 go through, pair 5 (0x300) fails
    InitBridgeFor88(Ctx());
    EXPECT_EQ(Shapes(), (std::vector<Shape>{{true, 0x203}, {true, 0x000}, {true, 0x002}, {true, 0x00D},
                                            {true, 0x00F}, {true, 0x300}, {false, 0x100}, {true, 0x100}}));
    EXPECT_EQ(Board().BridgeRegister(0x300), 0x00);
    EXPECT_EQ(Board().BridgeRegister(0x100), 0xF3);
}

TEST_F(Decoders, ApplyDecoderStandardProgramsThe5150PathOnEveryDecoderType)
{
    Start(WithDecoder(DecoderKind::Type110));
    Ctx()->standardIndex = 2;
    Ctx()->frameWidth = 720;
    Ctx()->frameHeight = 576;
    ClearDecoderWrites();
    const LONGLONG delayed = kv::kernel::clock::TotalDelayed();
    ApplyDecoderStandard(Ctx());
    EXPECT_EQ(kv::kernel::clock::TotalDelayed() - delayed, 30 * kv::kernel::clock::kUnitsPerMillisecond);
    EXPECT_EQ(Board().BridgeRegister(0x000), 0x28);
    EXPECT_EQ(Window(), (Window4{0, 1, 1440, 285}));
    // The 5150 table goes to 0xBA, where this board has nothing; the decoder
    // at 0x88 is not touched and nobody notices.
    EXPECT_EQ(WritesTo(0x203), std::vector<uint16_t>{0xBA});
    std::vector<uint16_t> subaddresses = WritesTo(0x204);
    EXPECT_EQ(subaddresses, (std::vector<uint16_t>{0x08, 0x28, 0x30, 0x0F}));
    EXPECT_TRUE(DecoderWrites().empty());
    EXPECT_EQ(Ctx()->decoderI2cAddress, 0x88);
    EXPECT_EQ(kv::kernel::debug::Text(), "InitKV33005150HInitTI5150HI2C1");
}

// -------------------------------------------------------- re-initialisation --

TEST_F(Decoders, ReinitType110)
{
    Start(WithDecoder(DecoderKind::Type110));
    Ctx()->standardIndex = 2;
    Board().WriteRegister(0x000, 0x00);
    ClearDecoderWrites();
    ReinitDecoder(Ctx());
    EXPECT_EQ(Board().BridgeRegister(0x000), 0x20);
    EXPECT_EQ(Board().BridgeRegister(0x203), 0x88);
    EXPECT_EQ(Window(), (Window4{92, 1, 1372, 241}));
    EXPECT_EQ(Board().BridgeRegister(0x100), 0x33);
    EXPECT_EQ(DecoderWrites(), (Pairs{{0x02, 0x40}, {0x03, 0xA2}, {0x06, 0x40}, {0x08, 0x13}, {0x0A, 0x85},
                                      {0x20, 0x50}}));
}

TEST_F(Decoders, ReinitType111ByStandard)
{
    Start(WithDecoder(DecoderKind::Type111));
    struct Case {
        LONG index;
        Window4 window;
        uint8_t reg08, reg5A;
    };
    // PAL-M is a 525-line standard but takes the alternate tables here.
    for (const Case& c : {Case{1, {56, 3, 1336, 243}, 0x58, 0x0A}, Case{2, {8, 19, 1288, 259}, 0x18, 0x07},
                          Case{4, {8, 19, 1288, 259}, 0x18, 0x07}}) {
        SCOPED_TRACE(c.index);
        Ctx()->standardIndex = c.index;
        ClearDecoderWrites();
        ReinitDecoder(Ctx());
        EXPECT_EQ(Board().BridgeRegister(0x000), 0x20);
        EXPECT_EQ(Window(), c.window);
        const Pairs writes = DecoderWrites();
        ASSERT_EQ(writes.size(), 31u);
        EXPECT_EQ(writes.front(), (std::pair<uint8_t, uint8_t>{0x01, 0x08}));
        EXPECT_EQ(writes[7], (std::pair<uint8_t, uint8_t>{0x08, c.reg08}));
        EXPECT_EQ(writes[29], (std::pair<uint8_t, uint8_t>{0x5A, c.reg5A}));
        EXPECT_EQ(writes.back(), (std::pair<uint8_t, uint8_t>{0x5B, 0x83}));
        EXPECT_EQ(Board().GetDecoder()->Peek(0x0E), 0x01);
    }
}

TEST_F(Decoders, ReinitType113AndNone)
{
    Start(Board5150(kIdNoPatch));
    Ctx()->standardIndex = 5;
    Ctx()->inputChannel = 2;
    Ctx()->frameWidth = 352;
    Ctx()->frameHeight = 288;
    ClearDecoderWrites();
    const LONGLONG delayed = kv::kernel::clock::TotalDelayed();
    ReinitDecoder(Ctx());
    EXPECT_EQ(kv::kernel::clock::TotalDelayed() - delayed, 30 * kv::kernel::clock::kUnitsPerMillisecond);
    EXPECT_EQ(Board().BridgeRegister(0x000), 0x28);
    EXPECT_EQ(Window(), (Window4{8, 1, 1416, 285}));
    Pairs expected = {{0x00, 0x00}, {0x03, 0x6F}};
    for (auto p : StandardPairs(5)) expected.push_back(p);
    EXPECT_EQ(DecoderWrites(), expected);
    EXPECT_EQ(kv::kernel::debug::Text(), "InitKV33005150HInitTI5150HI2C");

    Ctx()->decoderType = 0;
    Clear();
    ReinitDecoder(Ctx());
    EXPECT_EQ(TransferCount(), 0u);
    EXPECT_EQ(kv::kernel::debug::Text(), "");
}

}  // namespace
