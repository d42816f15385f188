// Picture controls on each decoder type, asserted on the decoder's registers
// on the simulated board and on the pipeline's settings: the encodings and
// ranges, the settings applied at every capture start, the defaults sequence
// and the factory restore.
#include <vector>

#include "tests/capture_setup/setup_fixture.h"

using namespace setuptest;

namespace {

using Writes = std::vector<std::pair<uint8_t, uint8_t>>;

class PictureTest : public SetupTest {
protected:
    void Start(sim::DecoderKind kind)
    {
        ASSERT_EQ(StartDevice(WithDecoder(kind)), STATUS_SUCCESS);
        ResetDefaultsSequence();
    }

    sim::RegisterFileDevice& Decoder() { return DecoderAt((uint8_t)Ctx()->decoderI2cAddress); }

    uint8_t Reg(uint8_t r) { return Decoder().Peek(r); }

    // The decoder register writes one request makes.
    Writes WritesOf(LONG code, LONG value)
    {
        Decoder().ClearWriteLog();
        Apply(code, value);
        return Decoder().WriteLog();
    }

    // Writes to the picture registers only (the start also selects inputs
    // and standards).
    static Writes Only(const Writes& all, std::initializer_list<uint8_t> regs)
    {
        Writes out;
        for (const auto& w : all) {
            if (std::find(regs.begin(), regs.end(), w.first) != regs.end()) out.push_back(w);
        }
        return out;
    }

    void SendSequence(std::initializer_list<LONG> values, LONG code = 0)
    {
        for (LONG v : values) Apply(code, v);
    }
};

const sim::DecoderKind kAllKinds[] = {sim::DecoderKind::Type110, sim::DecoderKind::Type111,
                                      sim::DecoderKind::Type113};

}  // namespace

// ------------------------------------------------------------ encodings ---

TEST_F(PictureTest, BrightnessOnDecoder110)
{
    Start(sim::DecoderKind::Type110);
    struct Case {
        LONG value;
        int written;  // -1: nothing
    } cases[] = {{126, 254}, {127, 0}, {0, 128}, {254, 127}, {255, 127}, {256, -1}, {-1, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Ctx()->brightness = 1;
        const Writes writes = WritesOf(CONTROL_BRIGHTNESS, c.value);
        if (c.written < 0) {
            EXPECT_TRUE(writes.empty());
            EXPECT_EQ(Ctx()->brightness, 1);
        } else {
            EXPECT_EQ(writes, (Writes{{0x10, (uint8_t)c.written}}));
            EXPECT_EQ(Ctx()->brightness, c.value);
        }
    }
}

TEST_F(PictureTest, BrightnessOnDecoders111And113)
{
    Start(sim::DecoderKind::Type111);
    EXPECT_EQ(WritesOf(CONTROL_BRIGHTNESS, 200), (Writes{{0x0A, 200}}));
    EXPECT_EQ(Ctx()->brightness, 200);
    EXPECT_EQ(WritesOf(CONTROL_BRIGHTNESS, 300), (Writes{{0x0A, 300 & 0xFF}}));
    EXPECT_EQ(Ctx()->brightness, 128) << "stored default";
    Discard();

    Start(sim::DecoderKind::Type113);
    EXPECT_EQ(WritesOf(CONTROL_BRIGHTNESS, 300), (Writes{{0x09, 300 & 0xFF}}));
    EXPECT_EQ(Ctx()->brightness, 300) << "no range check";
    EXPECT_EQ(WritesOf(CONTROL_BRIGHTNESS, -1), (Writes{{0x09, 0xFF}}));
    EXPECT_EQ(Ctx()->brightness, -1);
}

TEST_F(PictureTest, SaturationEncodings)
{
    Start(sim::DecoderKind::Type110);
    EXPECT_EQ(WritesOf(CONTROL_SATURATION, 1), (Writes{{0x13, 255}, {0x14, 218}}));
    EXPECT_EQ(WritesOf(CONTROL_SATURATION, 0), (Writes{{0x13, 0}, {0x14, 0}}));
    EXPECT_EQ(WritesOf(CONTROL_SATURATION, 74), (Writes{{0x13, 36}, {0x14, 0}}));
    EXPECT_EQ(WritesOf(CONTROL_SATURATION, 511), (Writes{{0x13, 254}, {0x14, 217}}));
    EXPECT_EQ(Ctx()->saturation, 511);
    EXPECT_TRUE(WritesOf(CONTROL_SATURATION, 512).empty());
    EXPECT_EQ(Ctx()->saturation, 511);
    Discard();

    Start(sim::DecoderKind::Type111);
    EXPECT_EQ(WritesOf(CONTROL_SATURATION, 256), (Writes{{0x0C, 64}}));
    EXPECT_EQ(WritesOf(CONTROL_SATURATION, 600), (Writes{{0x0C, (600 >> 2) & 0x7F}}));
    EXPECT_EQ(Ctx()->saturation, 256);
    Discard();

    Start(sim::DecoderKind::Type113);
    EXPECT_EQ(WritesOf(CONTROL_SATURATION, 256), (Writes{{0x0A, 128}}));
    EXPECT_EQ(Ctx()->saturation, 256);
    EXPECT_EQ(WritesOf(CONTROL_SATURATION, 600), (Writes{{0x0A, (600 >> 2) & 0x7F}})) << "not doubled outside";
    EXPECT_EQ(WritesOf(CONTROL_SATURATION, -4), (Writes{{0x0A, 0x7F}})) << "arithmetic shift";
    EXPECT_EQ(Ctx()->saturation, 256);
}

TEST_F(PictureTest, ContrastEncodings)
{
    Start(sim::DecoderKind::Type113);
    EXPECT_EQ(WritesOf(CONTROL_CONTRAST, 100), (Writes{{0x0C, 200}}));
    EXPECT_EQ(Ctx()->contrast, 100);
    EXPECT_EQ(WritesOf(CONTROL_CONTRAST, 200), (Writes{{0x0C, 72}}));
    EXPECT_EQ(Ctx()->contrast, 64);
    Discard();

    Start(sim::DecoderKind::Type110);
    EXPECT_EQ(WritesOf(CONTROL_CONTRAST, 64), (Writes{{0x11, 128}}));
    EXPECT_TRUE(WritesOf(CONTROL_CONTRAST, 128).empty());
    EXPECT_EQ(Ctx()->contrast, 64);
    Discard();

    Start(sim::DecoderKind::Type111);
    EXPECT_EQ(WritesOf(CONTROL_CONTRAST, 200), (Writes{{0x0B, 72}}));
    EXPECT_EQ(Ctx()->contrast, 64);
    EXPECT_EQ(WritesOf(CONTROL_CONTRAST, 127), (Writes{{0x0B, 127}}));
    EXPECT_EQ(Ctx()->contrast, 127);
}

TEST_F(PictureTest, HueOnEveryDecoder)
{
    for (sim::DecoderKind kind : kAllKinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        Start(kind);
        const uint8_t hueReg = kind == sim::DecoderKind::Type110 ? 0x15 : kind == sim::DecoderKind::Type111 ? 0x0D : 0x0B;
        struct Case {
            LONG value;
            uint8_t written;
            LONG stored;
        } cases[] = {{0, 128, 0},     {90, 192, 90},   {180, 0, 180},  {179, 255, 179},
                     {360, 127, 360}, {400, 155, 180}, {-1, 233, 180}};
        for (const Case& c : cases) {
            SCOPED_TRACE(c.value);
            Writes expected;
            if (kind == sim::DecoderKind::Type113) expected.push_back({hueReg, 0});
            expected.push_back({hueReg, c.written});
            EXPECT_EQ(WritesOf(CONTROL_HUE, c.value), expected);
            EXPECT_EQ(Ctx()->hue, c.stored);
        }
        Discard();
    }
}

TEST_F(PictureTest, Sharpness)
{
    Start(sim::DecoderKind::Type110);
    Decoder().Poke(0x12, 0xA7);
    EXPECT_EQ(WritesOf(CONTROL_SHARPNESS, 16), (Writes{{0x12, 0xA0}}));
    EXPECT_EQ(Ctx()->sharpness, 16);
    EXPECT_EQ(WritesOf(CONTROL_SHARPNESS, 9), (Writes{{0x12, 0xA9}}));
    EXPECT_TRUE(WritesOf(CONTROL_SHARPNESS, 17).empty());
    EXPECT_EQ(Ctx()->sharpness, 9);
    Discard();

    for (sim::DecoderKind kind : {sim::DecoderKind::Type111, sim::DecoderKind::Type113}) {
        Start(kind);
        EXPECT_TRUE(WritesOf(CONTROL_SHARPNESS, 9).empty());
        EXPECT_EQ(Ctx()->sharpness, 3);
        EXPECT_TRUE(WritesOf(CONTROL_SHARPNESS, 7).empty());
        EXPECT_EQ(Ctx()->sharpness, 7);
        Discard();
    }
}

TEST_F(PictureTest, GammaAndWhiteBalance)
{
    Start(sim::DecoderKind::Type113);
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    const PPL_HANDLE handle = Ctx()->pipelineHandle;
    struct Case {
        LONG value;
        int pipeline;  // gamma the pipeline holds afterwards
        LONG stored;
    } cases[] = {{64, 32, 64}, {0, -32, 0}, {32, 0, 32}, {65, 0, 32}, {-1, 0, 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_TRUE(WritesOf(CONTROL_GAMMA, c.value).empty());
        EXPECT_EQ(ReadPipeline(handle).gamma, c.pipeline);
        EXPECT_EQ(Ctx()->gamma, c.stored);
    }

    for (auto [value, stored] : {std::pair<LONG, LONG>{256, 256}, {0, 0}, {257, 0}, {-1, 0}}) {
        EXPECT_TRUE(WritesOf(CONTROL_WHITE_BALANCE, value).empty());
        EXPECT_EQ(Ctx()->whiteBalance, stored);
    }
}

TEST_F(PictureTest, EveryRequestSelectsThe5150AddressFirst)
{
    Start(sim::DecoderKind::Type110);
    Board().ClearTrace();
    Apply(CONTROL_BRIGHTNESS, 10);
    const std::vector<BridgeAccess> accesses = BridgeAccesses();
    ASSERT_GE(accesses.size(), 2u);
    EXPECT_EQ(accesses[0].reg, BRIDGE_REG_I2C_ADDRESS);
    EXPECT_EQ(accesses[0].value, DECODER_ADDRESS_5150);
    EXPECT_EQ(accesses[1].reg, BRIDGE_REG_I2C_ADDRESS);
    EXPECT_EQ(accesses[1].value, DECODER_ADDRESS_88);

    // A code that is no control changes nothing else.
    Board().ClearTrace();
    Apply(2, 10);
    ASSERT_EQ(BridgeAccesses().size(), 1u);
    EXPECT_EQ(Ctx()->currentI2cAddress, DECODER_ADDRESS_5150);
}

TEST_F(PictureTest, MalformedRequestsAreIgnored)
{
    Start(sim::DecoderKind::Type113);
    Board().ClearTrace();
    PictureRequest shortData(10);
    shortData.descriptor.PropertyOutputSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S) - 1;
    EXPECT_EQ(ApplyPictureControl(CONTROL_BRIGHTNESS, Ctx(), &shortData.srb), STATUS_SUCCESS);
    PictureRequest noData(10);
    noData.descriptor.PropertyInfo = nullptr;
    EXPECT_EQ(ApplyPictureControl(CONTROL_BRIGHTNESS, Ctx(), &noData.srb), STATUS_SUCCESS);
    PictureRequest noDescriptor(10);
    noDescriptor.srb.CommandData.PropertyInfo = nullptr;
    EXPECT_EQ(ApplyPictureControl(CONTROL_BRIGHTNESS, Ctx(), &noDescriptor.srb), STATUS_SUCCESS);
    EXPECT_TRUE(BridgeAccesses().empty());
}

// ------------------------------------------------------ capture start ---

// The type 110 decoder starts from its own neutral values where nothing is
// stored, and from the user's stored values otherwise.
TEST_F(PictureTest, Decoder110KeepsTheStoredValuesAndStartsNeutral)
{
    Start(sim::DecoderKind::Type110);
    const std::string key = SettingsKey();
    Decoder().Poke(0x12, 0x50);
    Decoder().ClearWriteLog();
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    EXPECT_EQ(Ctx()->contrast, 48);
    EXPECT_EQ(Ctx()->saturation, 254);
    EXPECT_EQ(Ctx()->hue, 180);
    EXPECT_EQ(Ctx()->sharpness, 3);
    EXPECT_EQ(Ctx()->brightness, 127);
    EXPECT_EQ(Only(Decoder().WriteLog(), {0x10, 0x11, 0x12, 0x13, 0x14, 0x15}),
              (Writes{{0x11, 96}, {0x13, 126}, {0x14, 89}, {0x15, 0}, {0x12, 0x53}, {0x10, 0}}));
    ASSERT_EQ(CamStopCaptureEx(nullptr, Ctx(), 0), (NTSTATUS)1);
    ASSERT_EQ(CamFreeBandwidthEx(nullptr, Ctx(), 0), STATUS_SUCCESS);

    for (auto [name, value] : {std::pair<const char*, uint32_t>{"Brightness", 10}, {"Contrast", 20},
                               {"Saturation", 30}, {"Hue", 40}, {"Sharpness", 5}}) {
        reg::SetDword(key, name, value);
    }
    Decoder().ClearWriteLog();
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    EXPECT_EQ(Ctx()->brightness, 10);
    EXPECT_EQ(Ctx()->contrast, 20);
    EXPECT_EQ(Ctx()->sharpness, 5);
    EXPECT_EQ(Only(Decoder().WriteLog(), {0x10, 0x11, 0x13}), (Writes{{0x11, 40}, {0x13, 14}, {0x10, 138}}));
    ASSERT_EQ(CamStopCaptureEx(nullptr, Ctx(), 0), (NTSTATUS)1);
    for (auto [name, value] : {std::pair<const char*, uint32_t>{"Brightness", 10}, {"Contrast", 20},
                               {"Saturation", 30}, {"Hue", 40}, {"Sharpness", 5}}) {
        EXPECT_EQ(reg::GetDword(key, name), value) << name << " survives the capture";
    }
    ASSERT_EQ(CamFreeBandwidthEx(nullptr, Ctx(), 0), STATUS_SUCCESS);
}

TEST_F(PictureTest, Decoders111And113ApplyTheLoadedValues)
{
    struct Case {
        sim::DecoderKind kind;
        Writes expected;  // contrast, saturation, hue, brightness
    } cases[] = {
        {sim::DecoderKind::Type111, {{0x0B, 100}, {0x0C, 50}, {0x0D, 192}, {0x0A, 30}}},
        {sim::DecoderKind::Type113, {{0x0C, 200}, {0x0A, 100}, {0x0B, 0}, {0x0B, 192}, {0x09, 30}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        Start(c.kind);
        const std::string key = SettingsKey();
        for (auto [name, value] : {std::pair<const char*, uint32_t>{"Brightness", 30}, {"Contrast", 100},
                                   {"Saturation", 200}, {"Hue", 90}, {"Sharpness", 5}}) {
            reg::SetDword(key, name, value);
        }
        Decoder().ClearWriteLog();
        ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
        const uint8_t picture[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D};
        Writes seen;
        for (const auto& w : Decoder().WriteLog()) {
            if (std::find(std::begin(picture), std::end(picture), w.first) != std::end(picture) &&
                !(c.kind == sim::DecoderKind::Type111 && w.first == 0x09)) {
                seen.push_back(w);
            }
        }
        EXPECT_EQ(seen, c.expected);
        EXPECT_EQ(Ctx()->sharpness, 5) << "loaded, not applied";
        Discard();
    }
}

TEST_F(PictureTest, StartClampsStandardInputMirrorAndGamma)
{
    Start(sim::DecoderKind::Type113);
    const std::string key = SettingsKey();
    struct Case {
        std::optional<uint32_t> gamma, mirror, flip, input, standard;
        int pipelineGamma;
        LONG storedGamma;
        bool mirrored, flipped;
        LONG inputChannel, standardIndex;
    } cases[] = {
        {std::nullopt, 5, 1, 7, 9, -7, 25, false, true, 2, 1},
        {65, 1, 0xFFFFFFFF, 1, 2, -7, 25, true, false, 1, 2},
        {40, 0, 2, 0, 5, 8, 40, false, false, 0, 5},
        {0, 0x101, 0, 0xFFFFFFFF, 0, -32, 0, false, false, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pipelineGamma * 100 + c.inputChannel);
        auto put = [&](const char* name, std::optional<uint32_t> v) {
            if (v) {
                reg::SetDword(key, name, *v);
            } else {
                reg::DeleteValue(key, name);
            }
        };
        put("Gamma", c.gamma);
        put("Mirror", c.mirror);
        put("Flip", c.flip);
        put("InputChannel", c.input);
        put("InputSource", c.standard);
        reg::SetDword(key, "InputConf", 9);
        ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
        const PipelineSettings pipe = ReadPipeline(Ctx()->pipelineHandle);
        EXPECT_EQ(pipe.gamma, c.pipelineGamma);
        EXPECT_EQ(Ctx()->gamma, c.storedGamma);
        EXPECT_EQ(pipe.mirror, c.mirrored);
        EXPECT_EQ(pipe.flip, c.flipped);
        EXPECT_EQ(Ctx()->mirror, c.mirrored ? 1 : 0);
        EXPECT_EQ(Ctx()->flip, c.flipped ? 1 : 0);
        EXPECT_EQ(Ctx()->inputChannel, c.inputChannel);
        EXPECT_EQ(Ctx()->standardIndex, c.standardIndex);
        EXPECT_EQ(Ctx()->inputConf, 1);
        ASSERT_EQ(CamFreeBandwidthEx(nullptr, Ctx(), 0), STATUS_SUCCESS);
    }
}

TEST_F(PictureTest, StartAppliesTheStandardAndInput)
{
    Start(sim::DecoderKind::Type113);
    reg::SetDword(SettingsKey(), "InputSource", 2);   // PAL
    reg::SetDword(SettingsKey(), "InputChannel", 1);
    ASSERT_EQ(Allocate(720, 576), STATUS_SUCCESS);
    EXPECT_EQ(Decoder().Peek(0x28), 0x04) << "PAL in the 5150's standard register";
    EXPECT_EQ(Decoder().Peek(0x00), 0x01) << "input 1";
}

// ---------------------------------------------------- defaults sequence ---

TEST_F(PictureTest, CompletedSequenceRestoresTheFactoryValues)
{
    struct Case {
        sim::DecoderKind kind;
        LONG contrast, saturation, brightness, hue, sharpness;
        Writes registers;
    } cases[] = {
        {sim::DecoderKind::Type110, 48, 254, 127, 180, 3,
         {{0x10, 0}, {0x11, 96}, {0x12, 0xC3}, {0x13, 127}, {0x14, 90}, {0x15, 0}}},
        // Contrast stays inside 0..127: the value the register written stands for.
        {sim::DecoderKind::Type111, 71, 256, 128, 180, -5, {{0x0A, 128}, {0x0B, 71}, {0x0C, 64}, {0x0D, 0}}},
        {sim::DecoderKind::Type113, 64, 128, 128, 0, -5, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        Start(c.kind);
        Decoder().Poke(0x12, 0xCA);
        Ctx()->sharpness = -5;
        Ctx()->hue = 77;
        const std::string key = SettingsKey();
        SendSequence({58, 39, 114});
        EXPECT_EQ(DefaultsSequencePosition(), 3);
        EXPECT_EQ(Ctx()->hue, 77) << "nothing before the fourth value";
        EXPECT_EQ(WritesOf(0, 301), c.registers);
        EXPECT_EQ(DefaultsSequencePosition(), 0);
        EXPECT_EQ(Ctx()->contrast, c.contrast);
        EXPECT_EQ(Ctx()->saturation, c.saturation);
        EXPECT_EQ(Ctx()->brightness, c.brightness);
        EXPECT_EQ(Ctx()->hue, c.hue);
        EXPECT_EQ(Ctx()->sharpness, c.sharpness);
        EXPECT_FALSE(reg::KeyExists(key)) << "the restore saves nothing";
        Discard();
    }
}

TEST_F(PictureTest, CompletingRequestIsAppliedBeforeTheRestore)
{
    Start(sim::DecoderKind::Type110);
    SendSequence({58, 39, 114}, CONTROL_HUE);
    // 301 is a hue of 121 degrees past no shift: written, then the restore.
    const Writes writes = WritesOf(CONTROL_HUE, 301);
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes.front(), (std::pair<uint8_t, uint8_t>{0x15, (301 - 180) * 127 / 180}));
    EXPECT_EQ(writes.back(), (std::pair<uint8_t, uint8_t>{0x15, 0}));
    EXPECT_EQ(Ctx()->hue, 180);
}

TEST_F(PictureTest, BrokenSequenceStartsAgainAndCanResume)
{
    Start(sim::DecoderKind::Type113);
    Ctx()->hue = 77;
    SendSequence({58, 39, 7, 114, 301});
    EXPECT_EQ(Ctx()->hue, 77);
    EXPECT_EQ(DefaultsSequencePosition(), 0);

    // The wrong value is not taken as a new first element.
    SendSequence({58, 39, 58, 39, 114, 301});
    EXPECT_EQ(Ctx()->hue, 77);

    // Resumed from the start, with the further value in third place, on
    // mixed controls.
    SendSequence({58, 39});
    EXPECT_EQ(DefaultsSequencePosition(), 2);
    Apply(CONTROL_WHITE_BALANCE, DEFAULTS_SEQUENCE_THIRD_ALTERNATE);
    EXPECT_EQ(DefaultsSequencePosition(), 3);
    Apply(CONTROL_GAMMA, 301);
    EXPECT_EQ(Ctx()->hue, 0);
    EXPECT_EQ(Ctx()->brightness, 128);

    // The further value counts only in third place.
    Ctx()->hue = 77;
    SendSequence({DEFAULTS_SEQUENCE_THIRD_ALTERNATE, 39, 114, 301});
    SendSequence({58, DEFAULTS_SEQUENCE_THIRD_ALTERNATE, 114, 301});
    SendSequence({58, 39, 114, DEFAULTS_SEQUENCE_THIRD_ALTERNATE});
    EXPECT_EQ(Ctx()->hue, 77);
}

TEST_F(PictureTest, CaptureStartTakesPartInTheSequence)
{
    // The start's own requests count, so a sequence begun before it is gone.
    Start(sim::DecoderKind::Type113);
    SendSequence({58, 39});
    ASSERT_EQ(Allocate(640, 480), STATUS_SUCCESS);
    EXPECT_EQ(DefaultsSequencePosition(), 0);
}
