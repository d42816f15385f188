// The devices on the bridge's I2C bus as the driver uses them: the 5150's
// identification, patch port, standard and input registers, the lock status
// of every decoder type, the picture registers seen in the pixels, and the
// tuner with its channel map.
#include <cmath>

#include "tests/sim/board_test_util.h"

using namespace simtest;
using sim::Board;
using sim::BoardConfig;
using sim::LineSystem;

namespace {

std::shared_ptr<sim::VideoSource> StillBars(LineSystem sys)
{
    sim::TestPatternOptions o;
    o.marks = false;
    o.objectSpeed = 0;
    o.digits = false;
    return sim::MakeTestPattern(sys, o);
}

// Writes register/value pairs to one device, selecting it once, the way a
// table load through the bridge goes.
void LoadTable(Board& b, uint8_t address, const std::vector<std::pair<uint8_t, uint8_t>>& pairs)
{
    b.WriteRegister(0x203, address);
    for (auto [reg, value] : pairs) {
        b.WriteRegister(0x204, reg);
        b.WriteRegister(0x205, value);
        b.WriteRegister(0x200, 0x05);
        WaitI2c(b);
    }
}

std::vector<uint8_t> MakeImage(uint32_t seed)
{
    std::vector<uint8_t> img(1716);
    for (auto& x : img) {
        seed = seed * 1103515245u + 12345u;
        x = static_cast<uint8_t>(seed >> 16);
    }
    return img;
}

std::vector<std::pair<uint8_t, uint8_t>> PatchTable(const std::vector<uint8_t>& image)
{
    std::vector<std::pair<uint8_t, uint8_t>> t = {{0x21, 0x51}, {0x22, 0x50}, {0x23, 0xFF}, {0x24, 0x04}};
    for (uint8_t x : image)
        t.emplace_back(0x7E, x);
    t.emplace_back(0x7F, 0x00);
    for (auto p : std::vector<std::pair<uint8_t, uint8_t>>{
             {0x21, 0x00}, {0x22, 0x00}, {0x23, 0xFF}, {0x24, 0x04}, {0x0F, 0x0A}, {0x03, 0x6F}})
        t.push_back(p);
    return t;
}

// A read without a sub-address, as the tuner's status byte is read.
I2cReadResult ReadCurrent(Board& b, uint8_t address)
{
    b.WriteRegister(0x203, address);
    b.WriteRegister(0x200, 0x20);
    uint8_t s = WaitI2c(b);
    return {s, b.ReadRegister(0x209).value_or(0xEE)};
}

bool StatusSaysLocked(Board& b, uint8_t address)
{
    auto r = I2cRead(b, address, 0x1F);
    EXPECT_EQ(r.status, sim::kI2cStatusAcknowledged);
    return (r.value & 0x40) == 0;
}

}  // namespace

TEST(Decoder5150, PatchImageArrivesIntactAndInOrder)
{
    const auto image = MakeImage(42);
    BoardConfig c;
    c.defaultPatterns = false;
    c.decoder5150.expectedPatch = image;
    Board b(c);
    EXPECT_FALSE(b.DecoderPatch()->completed);

    LoadTable(b, 0xBA, PatchTable(image));
    const sim::PatchReport* r = b.DecoderPatch();
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->completed);
    EXPECT_EQ(r->loads, 1u);
    EXPECT_EQ(r->image, image);
    EXPECT_EQ(r->matchesExpected, true);
    EXPECT_EQ(r->bytesRejected, 0u);
    // The postamble's ordinary registers landed.
    EXPECT_EQ(b.Device(0xBA)->Peek(0x03), 0x6F);
    EXPECT_EQ(b.Device(0xBA)->Peek(0x0F), 0x0A);

    // Two bytes swapped: same length and bytes, wrong order.
    auto swapped = image;
    std::swap(swapped[100], swapped[101]);
    ASSERT_NE(swapped, image);
    LoadTable(b, 0xBA, PatchTable(swapped));
    EXPECT_EQ(r->loads, 2u);
    EXPECT_EQ(r->matchesExpected, false);
    EXPECT_EQ(r->image.size(), 1716u);
}

TEST(Decoder5150, PatchCrcIdentifiesTheImageWithoutAnExpectation)
{
    BoardConfig c;
    c.defaultPatterns = false;
    Board a(c), b(c);
    LoadTable(a, 0xBA, PatchTable(MakeImage(1)));
    LoadTable(b, 0xBA, PatchTable(MakeImage(2)));
    EXPECT_FALSE(a.DecoderPatch()->matchesExpected.has_value());
    EXPECT_NE(a.DecoderPatch()->crc32, b.DecoderPatch()->crc32);

    // CRC-32 of "123456789" is the standard check value.
    Board k(c);
    std::vector<uint8_t> check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    LoadTable(k, 0xBA, PatchTable(check));
    EXPECT_EQ(k.DecoderPatch()->crc32, 0xCBF43926u);
}

TEST(Decoder5150, PatchPortRefusesBytesWhileLocked)
{
    BoardConfig c;
    c.defaultPatterns = false;
    Board b(c);
    LoadTable(b, 0xBA, {{0x7E, 1}, {0x7E, 2}, {0x7F, 0}});
    EXPECT_FALSE(b.DecoderPatch()->completed);
    EXPECT_EQ(b.DecoderPatch()->bytesRejected, 2u);
    // A half-open key (the first two key bytes only) keeps the port locked.
    LoadTable(b, 0xBA, {{0x21, 0x51}, {0x22, 0x50}, {0x7E, 3}});
    EXPECT_EQ(b.DecoderPatch()->bytesRejected, 3u);
}

TEST(Decoder5150, IdentificationRegistersAreConfiguredAndReadOnly)
{
    BoardConfig c;
    c.defaultPatterns = false;
    Board dflt(c);
    EXPECT_EQ(I2cRead(dflt, 0xBA, 0x83).value, 0x21);
    EXPECT_EQ(I2cRead(dflt, 0xBA, 0x82).value, 0x03);

    c.decoder5150.id = {0x51, 0x50, 0x01, 0x04};
    Board b(c);
    EXPECT_EQ(I2cRead(b, 0xBA, 0x80).value, 0x51);
    EXPECT_EQ(I2cRead(b, 0xBA, 0x82).value, 0x01);
    EXPECT_EQ(I2cRead(b, 0xBA, 0x83).value, 0x04);
    I2cWrite(b, 0xBA, 0x83, 0x21);
    EXPECT_EQ(I2cRead(b, 0xBA, 0x83).value, 0x04);
}

TEST(Decoder5150, StandardAndInputRegistersDecideTheLock)
{
    BoardConfig c;
    c.defaultPatterns = false;
    c.inputs[1] = StillBars(LineSystem::L625);
    c.inputs[2] = StillBars(LineSystem::L525);
    Board b(c);
    // Reset: input 2 (register 0x00 = 0), standard follows the signal.
    EXPECT_TRUE(StatusSaysLocked(b, 0xBA));
    struct Case {
        uint8_t input, standard;
        bool locked;
    };
    const Case cases[] = {
        {0x00, 0x02, true},  {0x00, 0x06, true},  {0x00, 0x04, false}, {0x00, 0x0C, false},
        {0x00, 0x08, false}, {0x01, 0x04, true},  {0x01, 0x08, true},  {0x01, 0x0C, true},
        {0x01, 0x02, false}, {0x01, 0x00, true},  {0x00, 0x55, false}, {0x03, 0x00, false},
        {0x02, 0x00, false},  // input 0 is the tuner, tuned nowhere: snow
    };
    for (const Case& k : cases) {
        I2cWrite(b, 0xBA, 0x00, k.input);
        I2cWrite(b, 0xBA, 0x28, k.standard);
        EXPECT_EQ(StatusSaysLocked(b, 0xBA), k.locked)
            << "input reg " << int(k.input) << " standard " << int(k.standard);
        EXPECT_EQ(b.SignalLocked(), k.locked);
    }
}

TEST(Decoders110And111, InputsAndLock)
{
    for (auto kind : {sim::DecoderKind::Type110, sim::DecoderKind::Type111}) {
        BoardConfig c;
        c.decoder = kind;
        c.defaultPatterns = false;
        c.tunerInput = -1;
        c.inputs[0] = StillBars(LineSystem::L525);  // input 1 has nothing connected
        Board b(c);
        uint8_t a = sim::DecoderAddress(kind);
        EXPECT_TRUE(StatusSaysLocked(b, a));
        if (kind == sim::DecoderKind::Type110) {
            I2cWrite(b, a, 0x02, 0x14);  // bits 4-5 select input 1
            EXPECT_FALSE(StatusSaysLocked(b, a));
            I2cWrite(b, a, 0x02, 0x40);
            EXPECT_TRUE(StatusSaysLocked(b, a));
        } else {
            I2cWrite(b, a, 0x02, 0x89);  // low nibble: input 1
            EXPECT_FALSE(StatusSaysLocked(b, a));
            I2cWrite(b, a, 0x02, 0x80);
            EXPECT_TRUE(StatusSaysLocked(b, a));
            // Device start writes 0x08 = 0x08 here (another decoder's
            // table): the decoder still locks to the 525-line signal.
            I2cWrite(b, a, 0x08, 0x08);
            EXPECT_TRUE(StatusSaysLocked(b, a));
        }
        // The status register is read-only.
        I2cWrite(b, a, 0x1F, 0x40);
        EXPECT_TRUE(StatusSaysLocked(b, a));
    }
}

TEST(Decoders110And111, Type111FreeRunsAtTheRateOfItsSyncControlWithoutSignal)
{
    BoardConfig c;
    c.decoder = sim::DecoderKind::Type111;
    c.defaultPatterns = false;
    c.tunerInput = -1;
    Board b(c);  // nothing connected anywhere
    SetWindow(b, 0, 13, 16, 14);
    Configure(b, 5);
    auto headerSays625 = [&b] {
        auto fields = Reassemble(ReadPackets(b, 400));
        EXPECT_GE(fields.size(), 2u);
        return !fields.empty() && (fields.back().word0 & 0x1000) != 0;
    };
    I2cWrite(b, 0x4A, 0x08, 0x58);
    EXPECT_FALSE(headerSays625());
    I2cWrite(b, 0x4A, 0x08, 0x18);
    EXPECT_TRUE(headerSays625());
    EXPECT_FALSE(b.SignalLocked());
}

// Picture registers, per decoder type, in the bytes the board sends.
struct PictureCase {
    sim::DecoderKind kind;
    uint8_t brightness, contrast, saturation, hue;  // registers
    uint8_t brighter, lowContrast, hueQuarter;       // values that change the picture
    sim::Window window;
};

class DecoderPicture : public ::testing::TestWithParam<PictureCase> {};

TEST_P(DecoderPicture, RegistersVisiblyChangeThePixels)
{
    const PictureCase& k = GetParam();
    BoardConfig c;
    c.decoder = k.kind;
    c.defaultPatterns = false;
    c.tunerInput = -1;
    c.inputs[0] = c.inputs[2] = StillBars(LineSystem::L525);
    Board b(c);
    uint8_t a = sim::DecoderAddress(k.kind);
    SetWindow(b, k.window.hStartByte, k.window.vStartLine, k.window.hEndByte, k.window.vEndLine);
    Configure(b, 5);

    auto neutral = CaptureField(b);
    ASSERT_EQ(neutral.size(), 1440u * 240u);
    auto again = CaptureField(b);
    EXPECT_EQ(again, neutral) << "a still picture repeats byte for byte";

    auto regBefore = b.Device(a)->Peek(k.brightness);
    I2cWrite(b, a, k.brightness, k.brighter);
    auto bright = CaptureField(b);
    EXPECT_NEAR(MeanLuma(bright) - MeanLuma(neutral), 64.0, 8.0);
    I2cWrite(b, a, k.brightness, regBefore);

    regBefore = b.Device(a)->Peek(k.contrast);
    I2cWrite(b, a, k.contrast, k.lowContrast);
    auto flat = CaptureField(b);
    // Half the gain: luma stays above black but its spread halves.
    auto spread = [](const std::vector<uint8_t>& f) {
        int lo = 255, hi = 0;
        for (size_t i = 0; i < f.size(); i += 2) {
            lo = std::min<int>(lo, f[i]);
            hi = std::max<int>(hi, f[i]);
        }
        return hi - lo;
    };
    EXPECT_NEAR(spread(flat), spread(neutral) / 2.0, 4.0);
    I2cWrite(b, a, k.contrast, regBefore);

    regBefore = b.Device(a)->Peek(k.saturation);
    I2cWrite(b, a, k.saturation, 0);
    auto grey = CaptureField(b);
    EXPECT_GT(MeanChromaDistance(neutral), 20.0);
    EXPECT_LT(MeanChromaDistance(grey), 0.5);
    EXPECT_EQ(MeanLuma(grey), MeanLuma(neutral));
    I2cWrite(b, a, k.saturation, regBefore);

    I2cWrite(b, a, k.hue, k.hueQuarter);
    auto turned = CaptureField(b);
    EXPECT_EQ(MeanLuma(turned), MeanLuma(neutral));
    EXPECT_NEAR(MeanChromaDistance(turned), MeanChromaDistance(neutral), 6.0);
    EXPECT_NE(turned, neutral);
    I2cWrite(b, a, k.hue, 0);
    EXPECT_EQ(CaptureField(b), neutral);
}

INSTANTIATE_TEST_SUITE_P(
    AllTypes, DecoderPicture,
    ::testing::Values(
        PictureCase{sim::DecoderKind::Type113, 0x09, 0x0C, 0x0A, 0x0B, 0xC0, 0x40, 0x40, {0, 13, 1440, 253}},
        PictureCase{sim::DecoderKind::Type110, 0x10, 0x11, 0x13, 0x15, 0x40, 0x30, 0x40, {0, 1, 1440, 241}},
        PictureCase{sim::DecoderKind::Type111, 0x0A, 0x0B, 0x0C, 0x0D, 0xC0, 0x20, 0x40, {0, 13, 1440, 253}}),
    [](const auto& info) {
        switch (info.param.kind) {
        case sim::DecoderKind::Type110: return std::string("Type110");
        case sim::DecoderKind::Type111: return std::string("Type111");
        default: return std::string("Type113");
        }
    });

TEST(Tuner, ControlBandAndDividerBytesGiveTheTunedFrequency)
{
    BoardConfig c;
    c.defaultPatterns = false;
    Board b(c);
    EXPECT_EQ(b.TunedFrequencyHz(), 0u);

    // 55.25 MHz with a 45.75 MHz IF: divider 1616 = 0x0650, low VHF.
    EXPECT_EQ(I2cWrite(b, 0xC2, 0x8E, 0x91), sim::kI2cStatusAcknowledged);
    EXPECT_EQ(I2cWrite(b, 0xC2, 0x06, 0x50), sim::kI2cStatusAcknowledged);
    EXPECT_EQ(b.GetTuner().Divider(), 1616);
    EXPECT_EQ(b.GetTuner().ControlByte(), 0x8E);
    EXPECT_EQ(b.TunedFrequencyHz(), 55'250'000u);
    ASSERT_TRUE(b.GetTuner().ReceivedStation().has_value());
    EXPECT_EQ(b.GetTuner().ReceivedStation()->channel, 2);

    // 0xC0 reaches the same tuner. Divider 8940 (0x22EC): 513.0 MHz on UHF,
    // an empty channel.
    EXPECT_EQ(I2cWrite(b, 0xC0, 0xCE, 0x08), sim::kI2cStatusAcknowledged);
    EXPECT_EQ(I2cWrite(b, 0xC0, 0x22, 0xEC), sim::kI2cStatusAcknowledged);
    EXPECT_EQ(b.GetTuner().LastAddress(), 0xC0);
    EXPECT_EQ(b.TunedFrequencyHz(), 513'000'000u);
    EXPECT_TRUE(b.GetTuner().PllLocked());
    EXPECT_FALSE(b.GetTuner().ReceivedStation().has_value());

    // The wrong band for the frequency: no PLL lock, no station.
    I2cWrite(b, 0xC2, 0x8E, 0x91);
    EXPECT_FALSE(b.GetTuner().PllLocked());
    I2cWrite(b, 0xC2, 0x8E, 0x99);  // two bands at once
    EXPECT_FALSE(b.GetTuner().PllLocked());
}

TEST(Tuner, StatusByteReadsWithoutARegister)
{
    BoardConfig c;
    c.defaultPatterns = false;
    Board b(c);
    I2cWrite(b, 0xC2, 0x8E, 0x92);
    I2cWrite(b, 0xC2, 0x0B, 0x8C);  // 2956 x 62.5 kHz - 45.75 MHz = 139.0 MHz: empty
    auto first = ReadCurrent(b, 0xC3);
    EXPECT_EQ(first.status, sim::kI2cStatusAcknowledged);
    EXPECT_EQ(first.value, 0x80 | 0x40);  // power-on flag, PLL locked
    I2cWrite(b, 0xC2, 0x0E, 0x2C);      // 3628: 181.0 MHz, no station
    EXPECT_EQ(ReadCurrent(b, 0xC3).value, 0x40);
    I2cWrite(b, 0xC2, 0x0D, 0xD0);      // 3536: 175.25 MHz, channel 7
    EXPECT_EQ(ReadCurrent(b, 0xC3).value, 0x42);
    // Written bytes never disturb the tuning: the status read leaves it alone.
    EXPECT_EQ(b.TunedFrequencyHz(), 175'250'000u);
}

TEST(Tuner, TunerInputShowsTheStationOrSnow)
{
    BoardConfig c;
    c.defaultPatterns = false;
    Board b(c);
    I2cWrite(b, 0xBA, 0x00, 0x02);  // input 0: the tuner
    EXPECT_FALSE(b.SignalLocked());
    ASSERT_NE(b.SelectedSource(), nullptr);
    EXPECT_FALSE(b.SelectedSource()->HasSignal());

    // Divider and band in one transaction, through block mode.
    b.WriteRegister(0x203, 0xC2);
    b.WriteRegister(0x200, 0x00);
    const uint8_t pairs[2][2] = {{0x06, 0x50}, {0x8E, 0x91}};
    for (auto& p : pairs) {
        b.WriteRegister(0x204, p[0]);
        b.WriteRegister(0x205, p[1]);
    }
    b.WriteRegister(0x200, 0x06);
    EXPECT_EQ(WaitI2c(b), sim::kI2cStatusAcknowledged);
    EXPECT_EQ(b.TunedFrequencyHz(), 55'250'000u);
    EXPECT_TRUE(b.SignalLocked());
    sim::VideoSource* station = b.SelectedSource();
    ASSERT_NE(station, nullptr);
    EXPECT_EQ(station->NativeSystem(), LineSystem::L525);

    // A 625-line station needs the decoder on 625 lines (or following the signal).
    I2cWrite(b, 0xC2, 0x8E, 0x98);
    I2cWrite(b, 0xC2, 0x1D, 0x3C);  // 7484 x 62.5 kHz - 45.75 MHz = 422.0 MHz: empty
    EXPECT_FALSE(b.SignalLocked());
    I2cWrite(b, 0xC2, 0x20, 0x48);  // 8264: 470.75 MHz, 500 kHz off channel 21
    EXPECT_FALSE(b.SignalLocked());
    I2cWrite(b, 0xC2, 0x20, 0x50);  // 8272: 471.25 MHz, channel 21 (625 lines)
    EXPECT_TRUE(b.SignalLocked());
    I2cWrite(b, 0xBA, 0x28, 0x02);  // NTSC
    EXPECT_FALSE(b.SignalLocked());
    I2cWrite(b, 0xBA, 0x28, 0x04);  // PAL
    EXPECT_TRUE(b.SignalLocked());
}
