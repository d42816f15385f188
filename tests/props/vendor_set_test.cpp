// The vendor property set through the stream class emulation on the
// simulated board: stored settings and what reaches the registry, bridge
// registers and the I2C devices behind the bridge, block writes, the tuner
// and the picture it brings, the input read-back of each decoder, and the
// bit-driven bus reached through the application's own memory.
#include "tests/props/props_fixture.h"

#include <array>

#include "sim/video/source.h"
#include "tests/sim/board_test_util.h"

using namespace propstest;

namespace {

using DecoderKind = sim::DecoderKind;

class VendorSetTest : public PropsTest {
protected:
    // A software-I2C request record in caller memory: device address,
    // sub-address, its length, the data bytes' caller address and length.
    struct SoftRequest {
        std::array<uint8_t, SOFT_I2C_REQUEST_BYTES> record{};
        ULONG address = 0;
    };
    void Fill(SoftRequest& r, uint16_t device, uint16_t sub, uint16_t subLength, ULONG data, ULONG length)
    {
        std::memcpy(r.record.data() + 0, &device, 2);
        std::memcpy(r.record.data() + 4, &sub, 2);
        std::memcpy(r.record.data() + 8, &subLength, 2);
        std::memcpy(r.record.data() + 12, &data, 4);
        std::memcpy(r.record.data() + 16, &length, 4);
        r.address = kv::usermem::Map(r.record.data(), r.record.size());
    }
    sc::Result SoftI2c(bool read, const SoftRequest& r)
    {
        auto request = Vendor(read ? 71 : 72, 4, r.address);
        return read ? Get(request) : Set(request);
    }

    sc::Result Block(ULONG id, ULONG first, const std::vector<ULONG>& words)
    {
        auto r = VendorWord(id, first);
        r.property.resize(sizeof(KSPROPERTY) + 4 * words.size());
        std::memcpy(r.property.data() + sizeof(KSPROPERTY), words.data(), 4 * words.size());
        return Set(r);
    }

    // The tuner and register records travel, like the standard sets'
    // records, in a property buffer of the record's size as well.
    static sc::PropertyRequest Record(ULONG id, size_t size, ULONG at24 = 0, ULONG at28 = 0)
    {
        auto r = sc::PropertyRequest::Make(PROPSETID_PRIVATE_CONTROL, id, size, size);
        for (auto* bytes : {&r.property, &r.data}) {
            std::memcpy(bytes->data() + 24, &at24, 4);
            std::memcpy(bytes->data() + 28, &at28, 4);
        }
        return r;
    }

    sc::Result Tune(ULONG frequency, ULONG mode)
    {
        auto r = Record(40, TUNER_RECORD_BYTES, frequency, mode);
        return Set(r);
    }

    ULONG GetWord(ULONG id, std::optional<ULONG> instance = std::nullopt, NTSTATUS expect = STATUS_SUCCESS)
    {
        auto r = Vendor(id, 4, instance);
        const sc::Result result = Get(r);
        EXPECT_EQ(result.status, expect) << "id " << id;
        if (expect == STATUS_SUCCESS) {
            EXPECT_EQ(result.actualBytes, 4u) << "id " << id;
        }
        return WordAt(r.data, 0);
    }

    ULONG GetRecord(ULONG id)
    {
        auto r = Vendor(id, VALUE_RECORD_BYTES);
        const sc::Result result = Get(r);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << "id " << id;
        EXPECT_EQ(result.actualBytes, 56u) << "id " << id;
        return WordAt(r.data, 24);
    }

    // The source id the tuned station shows in a field the board sends now.
    uint16_t PictureSourceId(sim::LineSystem sys)
    {
        simtest::Configure(Board(), 5);
        const sim::Window window = sys == sim::LineSystem::L525 ? sim::Window{0, 13, 1440, 253}
                                                                  : sim::Window{0, 1, 1440, 285};
        simtest::SetWindow(Board(), window.hStartByte, window.vStartLine, window.hEndByte, window.vEndLine);
        const std::vector<uint8_t> field = simtest::CaptureField(Board(), 2000);
        sim::MarkImage image{sim::MarkPixelFormat::YUYV, field.data(), field.size(),
                             (window.hEndByte - window.hStartByte) / 2, window.vEndLine - window.vStartLine};
        const sim::FieldMarks marks = sim::DecodeFieldMarks(image, sim::MarkLayout{sys, window});
        EXPECT_TRUE(marks.valid);
        return marks.sourceId;
    }
};

class InputByDecoder : public VendorSetTest, public ::testing::WithParamInterface<DecoderKind> {};

}  // namespace

TEST_F(VendorSetTest, MirrorTravelsInValueRecordAndWord)
{
    Start();
    auto set = VendorRecord(8, 1);
    const sc::Result done = Set(set);
    ASSERT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(Setting("Mirror"), 1u);

    // A get writes the value at byte 24 and leaves the rest of the record.
    auto get = Vendor(8, VALUE_RECORD_BYTES);
    std::fill(get.data.begin(), get.data.end(), 0xEE);
    const sc::Result answer = Get(get);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.actualBytes, 56u);
    EXPECT_EQ(WordAt(get.data, 24), 1u);
    for (size_t i = 0; i < get.data.size(); ++i) {
        if (i < 24 || i >= 28) {
            EXPECT_EQ(get.data[i], 0xEE) << i;
        }
    }
    EXPECT_EQ(GetWord(53), 1u);

    auto clear = Vendor(53, 4, 0u);
    ASSERT_EQ(Set(clear).status, STATUS_SUCCESS);
    EXPECT_EQ(Context()->mirror, 0);
    EXPECT_EQ(Setting("Mirror"), 0u);

    // The table announces the record's 56 bytes: a 4-byte buffer for the
    // value-record form never reaches the driver.
    auto shortGet = Vendor(8, 4);
    const sc::Result refused = Get(shortGet);
    EXPECT_EQ(refused.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(refused.delivered);
}

TEST_F(VendorSetTest, AeLevelKeepsToItsRange)
{
    Start();
    auto tooHigh = VendorRecord(12, 256);
    const sc::Result refused = Set(tooHigh);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.actualBytes, 0u);
    EXPECT_FALSE(Setting("AELevel"));

    auto top = VendorRecord(12, 255);
    ASSERT_EQ(Set(top).status, STATUS_SUCCESS);
    EXPECT_EQ(GetRecord(12), 255u);
    EXPECT_NE(reg::SaveToText().find("\"AELevel\"=dword:000000ff"), std::string::npos);

    auto negative = Vendor(57, 4, 0xFFFFFFFFu);
    EXPECT_EQ(Set(negative).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Context()->aeLevel, 255);
}

TEST_F(VendorSetTest, StandardIndexSwitchesAndSaves)
{
    Start();
    auto secam = VendorRecord(24, 3);
    ASSERT_EQ(Set(secam).status, STATUS_SUCCESS);
    EXPECT_EQ(Context()->videoStandard, 0x1000);
    EXPECT_EQ(Setting("InputSource"), 3u);
    EXPECT_EQ(Setting("VideoStandard"), 0x1000u);
    EXPECT_EQ(Board().GetDecoder()->Standard().system, sim::LineSystem::L625);
    EXPECT_EQ(GetRecord(24), 3u);

    // An index the switch does not know: stored and saved, nothing switched.
    WatchControl();
    auto unknown = VendorRecord(24, 9);
    ASSERT_EQ(Set(unknown).status, STATUS_SUCCESS);
    EXPECT_EQ(ControlTransfers(), 0u);
    EXPECT_EQ(Context()->videoStandard, 0x1000);
    EXPECT_EQ(Setting("InputSource"), 9u);
    EXPECT_EQ(Setting("VideoStandard"), 0x1000u);
    EXPECT_EQ(GetWord(65), 9u);
}

TEST_F(VendorSetTest, TunerLowBandBringsItsStation)
{
    Start();
    ASSERT_EQ(Tune(55250000, 0).status, STATUS_SUCCESS);
    sim::Tuner& tuner = Board().GetTuner();
    EXPECT_EQ(tuner.LastAddress(), 0xC2);
    EXPECT_EQ(tuner.ControlByte(), 0x8E);
    EXPECT_EQ(tuner.BandByte(), 0x91);
    EXPECT_EQ(tuner.Divider(), 1616);  // sent as 0x06 0x50
    EXPECT_EQ(Board().TunedFrequencyHz(), 55250000u);
    ASSERT_TRUE(tuner.ReceivedStation());
    // The bridge is left addressed to 0x42.
    EXPECT_EQ(Board().BridgeRegister(0x203), 0x42);
    EXPECT_EQ(Context()->currentI2cAddress, 0x42);

    // The tuner feeds input 0; channel 2 is a 525-line station.
    KSPROPERTY_VIDEODECODER_S ntsc{};
    ntsc.Value = KS_AnalogVideo_NTSC_M;
    auto standard = sc::PropertyRequest::Record(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, ntsc);
    ASSERT_EQ(Set(standard).status, STATUS_SUCCESS);
    auto input = VendorRecord(26, 0);
    ASSERT_EQ(Set(input).status, STATUS_SUCCESS);
    EXPECT_TRUE(Board().SignalLocked());
    EXPECT_EQ(PictureSourceId(sim::LineSystem::L525), 2);
}

TEST_F(VendorSetTest, TunerHighBandAtTheSecondAddress)
{
    sim::BoardConfig config;
    config.tunerIfHz = 58750000;
    config.channelMap = {{500000000, 30, sim::LineSystem::L625}};
    Start(config);
    ASSERT_EQ(Tune(500000000, 3).status, STATUS_SUCCESS);
    sim::Tuner& tuner = Board().GetTuner();
    EXPECT_EQ(tuner.LastAddress(), 0xC0);
    EXPECT_EQ(tuner.ControlByte(), 0xCE);
    EXPECT_EQ(tuner.BandByte(), 0x08);
    EXPECT_EQ(tuner.Divider(), 8940);  // sent as 0x22 0xEC
    EXPECT_EQ(Board().TunedFrequencyHz(), 500000000u);

    auto pal = VendorRecord(24, 2);
    ASSERT_EQ(Set(pal).status, STATUS_SUCCESS);
    auto input = VendorRecord(26, 0);
    ASSERT_EQ(Set(input).status, STATUS_SUCCESS);
    EXPECT_EQ(PictureSourceId(sim::LineSystem::L625), 30);
}

TEST_F(VendorSetTest, TunerRefusesWhatItCannotTune)
{
    Start();
    WatchControl();
    EXPECT_EQ(Tune(55250000, 4).status, STATUS_NOT_SUPPORTED);
    // A divider whose low 16 bits are zero: the sum wraps to zero.
    EXPECT_EQ(Tune(0u - 45750000u, 0).status, STATUS_NOT_SUPPORTED);
    // A divider too wide for the tuner's 15 bits.
    EXPECT_EQ(Tune(3000000000u, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ControlTransfers(), 0u);
}

TEST_F(VendorSetTest, BridgeRegisterWriteAndRead)
{
    Start();
    auto select = VendorWord(2, 0x4A, 0x203u);
    ASSERT_EQ(Set(select).status, STATUS_SUCCESS);
    EXPECT_EQ(Context()->currentI2cAddress, 0x4A);
    EXPECT_EQ(Board().BridgeRegister(0x203), 0x4A);
    EXPECT_EQ(GetWord(1, 0x203u), 0x4Au);

    // A size query.
    auto sizeQuery = Vendor(1, 0, 0x203u);
    const sc::Result size = Get(sizeQuery);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size.actualBytes, 4u);

    // The transfer's failure reaches the caller, and the cache keeps what
    // the bridge holds.
    sim::ControlFaults faults;
    faults.everyRegister = 0x203;
    Board().SetControlFaults(faults);
    auto failing = VendorWord(2, 0x88, 0x203u);
    const sc::Result failed = Set(failing);
    EXPECT_FALSE(NT_SUCCESS(failed.status));
    EXPECT_EQ(failed.actualBytes, 0u);
    EXPECT_EQ(Context()->currentI2cAddress, 0x4A);
    auto read = Vendor(1, 4, 0x203u);
    EXPECT_FALSE(NT_SUCCESS(Get(read).status));
}

TEST_F(VendorSetTest, BlockWritesStayInsideThePropertyBuffer)
{
    Start();
    sim::RegisterFileDevice* device86 = Board().Device(0x86);
    ASSERT_NE(device86, nullptr);

    WatchControl();
    ASSERT_EQ(Block(5, 2, {0, 0}).status, STATUS_SUCCESS);
    EXPECT_EQ(WritesOf(0x200), (std::vector<uint16_t>{0x00, 0x06}));
    EXPECT_TRUE(WritesOf(0x205).empty());

    ASSERT_EQ(Block(33, 4, {0, 0, 0x001000AB, 0x001100CD}).status, STATUS_SUCCESS);
    EXPECT_EQ(device86->Peek(0x10), 0xAB);
    EXPECT_EQ(device86->Peek(0x11), 0xCD);
    EXPECT_EQ(Board().BridgeRegister(0x203), 0x42);

    // A count that reaches past the buffer: refused, nothing on the bus.
    WatchControl();
    EXPECT_EQ(Block(33, 5, {0, 0, 0x001200EF, 0x001300EF}).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Block(50, (0x86u << 16) | 0xFFFF, {0, 0, 0x001200EF}).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ControlTransfers(), 0u);
    EXPECT_EQ(device86->Peek(0x12), 0x00);

    // Id 50 takes the address from data[0].
    ASSERT_EQ(Block(50, (0x86u << 16) | 3, {0, 0, 0x001400BE}).status, STATUS_SUCCESS);
    EXPECT_EQ(device86->Peek(0x14), 0xBE);
    EXPECT_EQ(Context()->currentI2cAddress, 0x86);
}

TEST_F(VendorSetTest, FixedAddressAndChosenAddressAccess)
{
    Start();
    sim::RegisterFileDevice* device42 = Board().Device(0x42);
    sim::RegisterFileDevice* device86 = Board().Device(0x86);
    ASSERT_TRUE(device42 && device86);

    auto write42 = VendorWord(37, 0x99, 0x07u);
    ASSERT_EQ(Set(write42).status, STATUS_SUCCESS);
    EXPECT_EQ(device42->Peek(0x07), 0x99);
    EXPECT_EQ(GetWord(36, 0x07u), 0x99u);

    auto writeB6 = VendorWord(32, 0x5A, 0x02u);
    ASSERT_EQ(Set(writeB6).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Device(0xB6)->Peek(0x02), 0x5A);
    EXPECT_EQ(Context()->currentI2cAddress, 0xB6);  // a write leaves its address

    auto writeTo = VendorWord(47, 0x5C, (0x86u << 16) | 0x03);
    ASSERT_EQ(Set(writeTo).status, STATUS_SUCCESS);
    EXPECT_EQ(device86->Peek(0x03), 0x5C);
    EXPECT_EQ(GetWord(46, (0x86u << 16) | 0x03), 0x5Cu);
    EXPECT_EQ(GetWord(48, (0x42u << 16) | 0x07), 0x99u);

    // Fixed-address reads leave the bridge at 0x42.
    auto select = VendorWord(2, 0x4A, 0x203u);
    ASSERT_EQ(Set(select).status, STATUS_SUCCESS);
    GetWord(34);
    EXPECT_EQ(Board().BridgeRegister(0x203), 0x42);
    EXPECT_EQ(Context()->currentI2cAddress, 0x42);

    // A write needs the register in the instance.
    auto noInstance = VendorWord(37, 0x11);
    EXPECT_EQ(Set(noInstance).status, STATUS_NOT_SUPPORTED);
}

TEST_F(VendorSetTest, LatchesKeepTheLastRead)
{
    Start();
    auto latch = Record(17, REGISTER_RECORD_BYTES, 0, 0x203);
    ASSERT_EQ(Set(latch).status, STATUS_SUCCESS);
    auto answer = Record(17, REGISTER_RECORD_BYTES);
    const sc::Result got = Get(answer);
    ASSERT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(got.actualBytes, 40u);  // the record's size, never past the buffer
    EXPECT_EQ(WordAt(answer.data, 24), Board().BridgeRegister(0x203));
    EXPECT_EQ(WordAt(answer.data, 28), 0x203u);

    auto bridgeWrite = Record(18, REGISTER_RECORD_BYTES, 0x1E, 0x202);
    ASSERT_EQ(Set(bridgeWrite).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().BridgeRegister(0x202), 0x1E);

    // Through the current address: select the plain device at 0x42, write
    // a register of it, latch it.
    auto select = Vendor(41, 4, 0x42u);
    ASSERT_EQ(Set(select).status, STATUS_SUCCESS);
    auto write = Record(20, REGISTER_RECORD_BYTES, 0x3C, 0x21);
    ASSERT_EQ(Set(write).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Device(0x42)->Peek(0x21), 0x3C);
    auto i2cLatch = Record(19, REGISTER_RECORD_BYTES, 0, 0x21);
    ASSERT_EQ(Set(i2cLatch).status, STATUS_SUCCESS);
    auto i2cAnswer = Record(19, REGISTER_RECORD_BYTES);
    ASSERT_EQ(Get(i2cAnswer).status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(i2cAnswer.data, 24), 0x3Cu);
    EXPECT_EQ(WordAt(i2cAnswer.data, 28), 0x21u);

    // In the 56-byte record the other ids use, the whole record is reported.
    for (ULONG id : {17u, 19u}) {
        auto wide = Record(id, VALUE_RECORD_BYTES);
        const sc::Result r = Get(wide);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.actualBytes, 56u) << id;
    }
}

TEST_F(VendorSetTest, FrameTimingSwitchesBitSix)
{
    Start();
    ASSERT_EQ(Board().WriteRegister(0x100, 0x33), STATUS_SUCCESS);
    auto on = VendorRecord(22, 1);
    ASSERT_EQ(Set(on).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().BridgeRegister(0x100), 0x73);
    EXPECT_EQ(GetRecord(22), 1u);
    auto off = Vendor(63, 4, 0u);
    ASSERT_EQ(Set(off).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().BridgeRegister(0x100), 0x33);

    // A register that cannot be read is not rewritten from a guess.
    sim::ControlFaults faults;
    faults.everyRegister = 0x100;
    Board().SetControlFaults(faults);
    EXPECT_FALSE(NT_SUCCESS(Set(on = VendorRecord(22, 1)).status));
    Board().SetControlFaults({});
    EXPECT_EQ(Board().BridgeRegister(0x100), 0x33);
}

TEST_F(VendorSetTest, DescriptorsAndConstants)
{
    Start();
    auto device = Vendor(42, 18);
    ASSERT_EQ(Get(device).status, STATUS_SUCCESS);
    EXPECT_EQ(device.data[0], 18);
    EXPECT_EQ(device.data[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(std::memcmp(device.data.data(), &Context()->deviceDescriptor, 18), 0);
    auto config = Vendor(43, 9);
    const sc::Result header = Get(config);
    ASSERT_EQ(header.status, STATUS_SUCCESS);
    EXPECT_EQ(header.actualBytes, 9u);
    EXPECT_EQ(config.data[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(GetWord(44), 0u);
    EXPECT_EQ(GetWord(6), 0u);
    EXPECT_EQ(GetRecord(11), 0x00FF0000u);
    EXPECT_EQ(GetWord(56), 0x00FF0000u);

    // An empty buffer learns that 4 bytes are due; a short one is left
    // alone.
    auto sizeQuery = Vendor(6, 0);
    const sc::Result due = Get(sizeQuery);
    EXPECT_EQ(due.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(due.actualBytes, 4u);
    auto shortSix = Vendor(6, 3);
    std::fill(shortSix.data.begin(), shortSix.data.end(), 0xEE);
    EXPECT_FALSE(NT_SUCCESS(Get(shortSix).status));
    EXPECT_EQ(shortSix.data, std::vector<uint8_t>(3, 0xEE));
}

TEST_P(InputByDecoder, InputIsReadBackFromTheDecoder)
{
    Start(GetParam());
    for (ULONG input : {1u, 0u}) {
        auto select = Vendor(67, 4, input);
        ASSERT_EQ(Set(select).status, STATUS_SUCCESS);
        EXPECT_EQ(Setting("InputChannel"), input);
        Context()->inputChannel = 7;  // the answer comes from the decoder
        EXPECT_EQ(GetRecord(26), input);
        EXPECT_EQ(Context()->inputChannel, (LONG)input);
        EXPECT_EQ(GetWord(67), input);
    }
    if (GetParam() == DecoderKind::Type113) {
        auto select = VendorRecord(26, 2);
        ASSERT_EQ(Set(select).status, STATUS_SUCCESS);
        EXPECT_EQ(GetRecord(26), 2u);
        EXPECT_EQ(Board().GetDecoder()->SelectedInput(), 2);
    }
    // A decoder that does not answer changes nothing.
    sim::ControlFaults faults;
    faults.everyRegister = 0x209;
    Board().SetControlFaults(faults);
    Context()->inputChannel = 1;
    auto get = Vendor(26, VALUE_RECORD_BYTES);
    EXPECT_EQ(Get(get).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Context()->inputChannel, 1);
}

INSTANTIATE_TEST_SUITE_P(Decoders, InputByDecoder,
                         ::testing::Values(DecoderKind::Type110, DecoderKind::Type111, DecoderKind::Type113));

TEST_F(VendorSetTest, SoftwareI2cReachesTheBitDrivenBus)
{
    Start();
    sim::BitBusEeprom* eeprom = Board().Eeprom();
    sim::BitBusWord16Device* word16 = Board().Word16Device();
    ASSERT_TRUE(eeprom && word16);

    // One byte, then a block, into the EEPROM and back.
    std::vector<uint8_t> one{0x5D};
    SoftRequest writeOne;
    Fill(writeOne, sim::kBitBusEepromAddress, 0x10, 1, kv::usermem::Map(one.data(), one.size()), 1);
    const sc::Result written = SoftI2c(false, writeOne);
    ASSERT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.actualBytes, 4u);
    EXPECT_EQ(eeprom->Peek(0x10), 0x5D);

    std::vector<uint8_t> many{1, 2, 3, 4, 5, 6, 7};
    SoftRequest writeMany;
    Fill(writeMany, sim::kBitBusEepromAddress, 0x20, 1, kv::usermem::Map(many.data(), many.size()), 7);
    ASSERT_EQ(SoftI2c(false, writeMany).status, STATUS_SUCCESS);
    for (size_t i = 0; i < many.size(); ++i) EXPECT_EQ(eeprom->Peek(0x20 + i), many[i]);

    std::vector<uint8_t> back(7, 0);
    SoftRequest readMany;
    Fill(readMany, sim::kBitBusEepromAddress, 0x20, 1, kv::usermem::Map(back.data(), back.size()), 7);
    ASSERT_EQ(SoftI2c(true, readMany).status, STATUS_SUCCESS);
    EXPECT_EQ(back, many);
    std::vector<uint8_t> oneBack(1, 0);
    SoftRequest readOne;
    Fill(readOne, sim::kBitBusEepromAddress, 0x10, 1, kv::usermem::Map(oneBack.data(), 1), 1);
    ASSERT_EQ(SoftI2c(true, readOne).status, STATUS_SUCCESS);
    EXPECT_EQ(oneBack[0], 0x5D);

    // Two bytes: the 16-bit device takes the value's high byte first.
    std::vector<uint8_t> word{0x34, 0x12};
    SoftRequest writeWord;
    Fill(writeWord, sim::kBitBusWord16Address, 0x05, 1, kv::usermem::Map(word.data(), 2), 2);
    ASSERT_EQ(SoftI2c(false, writeWord).status, STATUS_SUCCESS);
    EXPECT_EQ(word16->Register(0x05), 0x1234);
    std::vector<uint8_t> id(2, 0);
    SoftRequest readId;
    Fill(readId, sim::kBitBusWord16Address, sim::BitBusWord16Device::kIdRegister, 1, kv::usermem::Map(id.data(), 2), 2);
    ASSERT_EQ(SoftI2c(true, readId).status, STATUS_SUCCESS);
    EXPECT_EQ(id[0] | (id[1] << 8), sim::BitBusWord16Device::kIdValue);
}

TEST_F(VendorSetTest, SoftwareI2cRefusesMemoryThatIsNotTheCallers)
{
    Start();
    sim::BitBusEeprom* eeprom = Board().Eeprom();
    std::vector<uint8_t> four{9, 9, 9, 9};
    const ULONG fourAt = kv::usermem::Map(four.data(), four.size());
    std::vector<uint8_t> readOnly{7, 7};
    const ULONG readOnlyAt = kv::usermem::Map(readOnly.data(), readOnly.size(), false);
    WatchControl();

    // The request itself is nowhere, or hangs over the end of its region.
    SoftRequest nowhere;
    nowhere.address = 0x00001000;
    EXPECT_EQ(SoftI2c(false, nowhere).status, STATUS_ACCESS_VIOLATION);
    std::array<uint8_t, 12> cut{};
    nowhere.address = kv::usermem::Map(cut.data(), cut.size());
    EXPECT_EQ(SoftI2c(true, nowhere).status, STATUS_ACCESS_VIOLATION);

    // The data bytes run one past their region, or a read would write into
    // memory the caller may only read.
    SoftRequest pastEnd;
    Fill(pastEnd, sim::kBitBusEepromAddress, 0x40, 1, fourAt, 5);
    EXPECT_EQ(SoftI2c(false, pastEnd).status, STATUS_ACCESS_VIOLATION);
    SoftRequest intoReadOnly;
    Fill(intoReadOnly, sim::kBitBusEepromAddress, 0x40, 1, readOnlyAt, 2);
    EXPECT_EQ(SoftI2c(true, intoReadOnly).status, STATUS_ACCESS_VIOLATION);

    // Lengths: none, and more than the bus is asked to carry.
    SoftRequest empty;
    Fill(empty, sim::kBitBusEepromAddress, 0x40, 1, fourAt, 0);
    const sc::Result none = SoftI2c(false, empty);
    EXPECT_EQ(none.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none.actualBytes, 0u);
    SoftRequest huge;
    Fill(huge, sim::kBitBusEepromAddress, 0x40, 1, fourAt, 0xFFFFFFFFu);
    EXPECT_EQ(SoftI2c(false, huge).status, STATUS_INVALID_PARAMETER);
    SoftRequest longSubAddress;
    Fill(longSubAddress, sim::kBitBusEepromAddress, 0x40, SOFT_I2C_MAX_SUBADDRESS_BYTES + 1, fourAt, 1);
    EXPECT_EQ(SoftI2c(false, longSubAddress).status, STATUS_INVALID_PARAMETER);

    // No instance at all.
    auto bare = Vendor(72, 4);
    EXPECT_EQ(Set(bare).status, STATUS_INVALID_PARAMETER);

    EXPECT_EQ(ControlTransfers(), 0u);
    EXPECT_EQ(eeprom->Peek(0x40), 0xFF);
    EXPECT_EQ(readOnly, (std::vector<uint8_t>{7, 7}));
    EXPECT_EQ(kv::usermem::RefusedAccesses(), 4u);
}
