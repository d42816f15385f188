// The bit-driven bus slaves, driven by hand at pin level. The master below
// moves the lines in the same order as the driver's software bus: one line
// change per step, data set up while the clock is low.
#include "sim/bitbus/bitbus.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using sim::BitBus;
using sim::BitBusEvent;

class PinMaster {
public:
    explicit PinMaster(BitBus& bus) : bus_(bus) {}

    void C(bool level) { scl_ = level; bus_.SetMasterLines(scl_, sda_); }
    void D(bool level) { sda_ = level; bus_.SetMasterLines(scl_, sda_); }
    bool SampleD() { return bus_.Sda(); }

    void Release() { C(true); D(true); }
    void Start() { D(true); C(true); D(false); C(false); }
    void Stop() { C(false); D(false); C(true); D(true); }
    // Returns true when acknowledged.
    bool ReadAck() {
        C(false);
        D(true);
        C(true);
        const bool a = SampleD();
        C(false);
        return !a;
    }
    bool WriteByte(uint8_t b) {
        for (int i = 7; i >= 0; --i) {
            C(false);
            D(((b >> i) & 1) != 0);
            C(true);
        }
        return ReadAck();
    }
    uint8_t ReadByte(bool ack) {
        C(false);
        D(true);
        uint8_t out = 0;
        for (int i = 0; i < 8; ++i) {
            C(false);
            C(true);
            out = static_cast<uint8_t>(out * 2 + (SampleD() ? 1 : 0));
        }
        C(false);
        D(!ack);
        C(true);
        C(false);
        return out;
    }

    // Device-level forms with a sub-address of 0..3 bytes (low, high, zeros).
    void SendSub(uint16_t sub, int len) {
        for (int i = 0; i < len; ++i) {
            WriteByte(i == 0 ? static_cast<uint8_t>(sub) : i == 1 ? static_cast<uint8_t>(sub >> 8) : 0);
        }
    }
    std::vector<uint8_t> Read(uint8_t addr, uint16_t sub, int subLen, int count) {
        Release();
        Start();
        WriteByte(addr);
        SendSub(sub, subLen);
        Start();
        WriteByte(static_cast<uint8_t>(addr | 1));
        std::vector<uint8_t> out;
        for (int i = 0; i < count; ++i) {
            out.push_back(ReadByte(i + 1 < count));
        }
        Stop();
        return out;
    }
    void Write(uint8_t addr, uint16_t sub, int subLen, const std::vector<uint8_t>& data) {
        Release();
        Start();
        WriteByte(addr);
        SendSub(sub, subLen);
        for (uint8_t b : data) {
            WriteByte(b);
        }
        Stop();
    }

private:
    BitBus& bus_;
    bool scl_ = true, sda_ = true;
};

struct Board {
    BitBus bus;
    std::shared_ptr<sim::BitBusEeprom> eeprom =
        std::make_shared<sim::BitBusEeprom>(sim::kBitBusEepromAddress, sim::kBitBusEepromSize);
    std::shared_ptr<sim::BitBusWord16Device> word =
        std::make_shared<sim::BitBusWord16Device>(sim::kBitBusWord16Address);
    PinMaster m{bus};
    Board() {
        bus.Attach(eeprom);
        bus.Attach(word);
    }
};

TEST(BitBusEeprom, WritesAreProgrammedAtStopAndReadBack) {
    Board b;
    b.m.Write(0xA0, 0x10, 1, {0x12, 0x34, 0x56});
    EXPECT_EQ(b.eeprom->Peek(0x10), 0x12);
    EXPECT_EQ(b.eeprom->Peek(0x11), 0x34);
    EXPECT_EQ(b.eeprom->Peek(0x12), 0x56);
    EXPECT_EQ(b.eeprom->Peek(0x13), 0xFF);  // erased
    EXPECT_EQ(b.m.Read(0xA0, 0x11, 1, 1), (std::vector<uint8_t>{0x34}));
    EXPECT_EQ(b.m.Read(0xA0, 0x10, 1, 3), (std::vector<uint8_t>{0x12, 0x34, 0x56}));
    // The other device saw nothing addressed to it.
    EXPECT_TRUE(b.word->Events().empty());
}

TEST(BitBusEeprom, PageWriteWrapsWithinItsPageAndSequentialReadWrapsTheMemory) {
    Board b;
    // 0x1E, 0x1F, then back to the page start 0x10, 0x11.
    b.m.Write(0xA0, 0x1E, 1, {1, 2, 3, 4});
    EXPECT_EQ(b.eeprom->Peek(0x1E), 1);
    EXPECT_EQ(b.eeprom->Peek(0x1F), 2);
    EXPECT_EQ(b.eeprom->Peek(0x10), 3);
    EXPECT_EQ(b.eeprom->Peek(0x11), 4);
    EXPECT_EQ(b.eeprom->Peek(0x20), 0xFF);
    // More than a page: the latch rolls over and later bytes win.
    std::vector<uint8_t> many(18);
    for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(0x40 + i);
    b.m.Write(0xA0, 0x30, 1, many);
    EXPECT_EQ(b.eeprom->Peek(0x30), 0x50);
    EXPECT_EQ(b.eeprom->Peek(0x31), 0x51);
    EXPECT_EQ(b.eeprom->Peek(0x32), 0x42);
    EXPECT_EQ(b.eeprom->Peek(0x3F), 0x4F);

    b.eeprom->Poke(0xFE, 0xAA);
    b.eeprom->Poke(0xFF, 0xBB);
    b.eeprom->Poke(0x00, 0xCC);
    EXPECT_EQ(b.m.Read(0xA0, 0xFE, 1, 3), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
    // Current-address read (no sub-address) continues after the last byte.
    EXPECT_EQ(b.m.Read(0xA0, 0, 0, 1), (std::vector<uint8_t>{b.eeprom->Peek(0x01)}));
}

TEST(BitBusEeprom, WriteCutByRepeatedStartProgramsNothing) {
    Board b;
    b.m.Release();
    b.m.Start();
    EXPECT_TRUE(b.m.WriteByte(0xA0));
    EXPECT_TRUE(b.m.WriteByte(0x05));
    EXPECT_TRUE(b.m.WriteByte(0x99));
    b.m.Start();
    EXPECT_TRUE(b.m.WriteByte(0xA1));
    // The pointer moved past the latched byte, which was never programmed.
    EXPECT_EQ(b.m.ReadByte(false), 0xFF);
    b.m.Stop();
    EXPECT_EQ(b.eeprom->Peek(0x05), 0xFF);
    EXPECT_EQ(b.eeprom->Peek(0x06), 0xFF);
}

TEST(BitBusEeprom, LongerSubAddressesArriveAsData) {
    Board b;
    // Length 3: 0x20 is the sub-address, 0x01 and 0x00 become data before 0x77.
    b.m.Write(0xA0, 0x0120, 3, {0x77});
    EXPECT_EQ(b.eeprom->Peek(0x20), 0x01);
    EXPECT_EQ(b.eeprom->Peek(0x21), 0x00);
    EXPECT_EQ(b.eeprom->Peek(0x22), 0x77);
}

TEST(BitBusWord16, RegistersTravelHighByteFirstWithAutoIncrement) {
    Board b;
    b.m.Write(0x90, 0x12, 1, {0xBE, 0xEF});
    EXPECT_EQ(b.word->Register(0x12), 0xBEEF);
    EXPECT_EQ(b.m.Read(0x90, 0x12, 1, 2), (std::vector<uint8_t>{0xBE, 0xEF}));

    b.m.Write(0x90, 0x20, 1, {0x11, 0x22, 0x33, 0x44, 0x55});  // lone 0x55 dropped
    EXPECT_EQ(b.word->Register(0x20), 0x1122);
    EXPECT_EQ(b.word->Register(0x21), 0x3344);
    EXPECT_EQ(b.word->Register(0x22), 0x0000);
    EXPECT_EQ(b.m.Read(0x90, 0x20, 1, 4), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
    // Current register: the pointer stands after the two words just read.
    b.word->SetRegister(0x22, 0xA1B2);
    EXPECT_EQ(b.m.Read(0x90, 0, 0, 2), (std::vector<uint8_t>{0xA1, 0xB2}));
}

TEST(BitBusWord16, IdentityRegisterIsReadOnlyAndPointerWraps) {
    Board b;
    EXPECT_EQ(b.m.Read(0x90, 0xFF, 1, 2), (std::vector<uint8_t>{0x57, 0x16}));
    b.m.Write(0x90, 0xFF, 1, {0x00, 0x00, 0xAB, 0xCD});
    EXPECT_EQ(b.word->Register(0xFF), 0x5716);
    EXPECT_EQ(b.word->Register(0x00), 0xABCD);  // wrapped from 0xFF to 0x00
    // One-byte read of a word register gives its high byte.
    EXPECT_EQ(b.m.Read(0x90, 0x00, 1, 1), (std::vector<uint8_t>{0xAB}));
}

TEST(BitBusLines, AbsentAddressIsNotAcknowledgedAndLeavesTheBusFree) {
    Board b;
    b.m.Release();
    b.m.Start();
    EXPECT_FALSE(b.m.WriteByte(0x50));
    EXPECT_TRUE(b.bus.Sda());  // nobody holds the data line
    b.m.Stop();
    EXPECT_TRUE(b.eeprom->Events().empty());
    EXPECT_TRUE(b.word->Events().empty());
    // A present device still answers afterwards.
    b.m.Start();
    EXPECT_TRUE(b.m.WriteByte(0xA0));
    b.m.Stop();
    EXPECT_TRUE(b.bus.Scl());
    EXPECT_TRUE(b.bus.Sda());
}

TEST(BitBusLines, ByteA5DrivesTheDataLineInOrderAndEventsRecordIt) {
    Board b;
    b.m.Release();
    b.m.Start();
    b.m.WriteByte(0xA0);
    b.bus.SetTrace(true);
    b.m.WriteByte(0x10);  // sub-address
    b.bus.ClearTrace();
    b.m.WriteByte(0xA5);
    std::vector<bool> atRise;
    bool prevScl = false;
    for (const auto& l : b.bus.Trace()) {
        if (l.scl && !prevScl) atRise.push_back(l.sda);
        prevScl = l.scl;
    }
    ASSERT_EQ(atRise.size(), 9u);
    const std::vector<bool> expect{true, false, true, false, false, true, false, true, false /*ack*/};
    EXPECT_EQ(atRise, expect);
    b.m.Stop();
    const auto& ev = b.eeprom->Events();
    ASSERT_EQ(ev.size(), 5u);
    EXPECT_EQ(ev[0].kind, BitBusEvent::Kind::Start);
    EXPECT_EQ(ev[1].kind, BitBusEvent::Kind::Address);
    EXPECT_EQ(ev[1].value, 0xA0);
    EXPECT_EQ(ev[3].kind, BitBusEvent::Kind::Write);
    EXPECT_EQ(ev[3].value, 0xA5);
    EXPECT_TRUE(ev[3].acked);
    EXPECT_EQ(ev[4].kind, BitBusEvent::Kind::Stop);
}

TEST(BitBusLines, SimultaneousLineChangesNeverFormStartOrStop) {
    Board b;
    b.m.Release();
    b.m.Start();
    b.m.WriteByte(0xA0);
    b.m.WriteByte(0x00);
    // Clock low, data low -> both high at once, then both low at once: with
    // data moving while the clock is low this is a 0 bit, then the clock falls.
    b.bus.SetMasterLines(false, false);
    b.bus.SetMasterLines(true, true);   // data set up (1) before the rise
    b.bus.SetMasterLines(false, false);
    // Still in the transaction: no stop was seen.
    EXPECT_EQ(b.eeprom->Events().back().kind, BitBusEvent::Kind::Write);
    b.bus.SetMasterLines(false, true);
    b.m.Stop();
}

TEST(BitBusLines, MasterAbandoningAReadRecoversWithNineClocksAndStop) {
    Board b;
    b.eeprom->Poke(0, 0x00);
    b.eeprom->Poke(1, 0x00);
    b.m.Release();
    b.m.Start();
    b.m.WriteByte(0xA0);
    b.m.WriteByte(0x00);
    b.m.Start();
    b.m.WriteByte(0xA1);
    b.m.ReadByte(true);  // the slave now drives bit 7 of 0x00: SDA held low
    EXPECT_FALSE(b.bus.Sda());
    b.m.Release();
    EXPECT_FALSE(b.bus.Sda());  // release alone does not free it
    for (int i = 0; i < 9 && !b.bus.Sda(); ++i) {
        b.m.C(false);
        b.m.C(true);
    }
    EXPECT_TRUE(b.bus.Sda());
    b.m.Stop();
    EXPECT_EQ(b.m.Read(0xA0, 0x10, 1, 1), (std::vector<uint8_t>{0xFF}));
}

TEST(BitBusLines, RandomLineNoiseThenNormalTrafficStillWorks) {
    Board b;
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        b.bus.SetMasterLines((rng() & 1) != 0, (rng() & 1) != 0);
    }
    // Whatever state the noise left, nine clocks with data released and a
    // stop bring every slave back to idle.
    b.m.D(true);
    for (int i = 0; i < 9; ++i) {
        b.m.C(false);
        b.m.C(true);
    }
    b.m.Stop();
    b.m.Write(0xA0, 0x40, 1, {0x5A});
    EXPECT_EQ(b.eeprom->Peek(0x40), 0x5A);
    b.m.Write(0x90, 0x40, 1, {0x12, 0x34});
    EXPECT_EQ(b.m.Read(0x90, 0x40, 1, 2), (std::vector<uint8_t>{0x12, 0x34}));
}

TEST(BitBusFactories, MakeReturnsWorkingDevicesAndClampsSize) {
    BitBus bus;
    auto e = sim::MakeEeprom(0xA2, 0);
    auto w = sim::MakeWord16Device(0x92);
    bus.Attach(e);
    bus.Attach(w);
    bus.Attach(nullptr);
    EXPECT_EQ(e->Address(), 0xA2);
    EXPECT_EQ(static_cast<sim::BitBusEeprom&>(*e).Size(), 1u);
    EXPECT_EQ(sim::BitBusEeprom(0xA0, 100000).Size(), 256u);
    PinMaster m(bus);
    m.Write(0xA2, 0x07, 1, {0x3C});  // one-byte part: every address is 0
    EXPECT_EQ(static_cast<sim::BitBusEeprom&>(*e).Peek(0), 0x3C);
    EXPECT_EQ(m.Read(0xA2, 0x33, 1, 2), (std::vector<uint8_t>{0x3C, 0x3C}));
    EXPECT_EQ(m.Read(0x92, 0xFF, 1, 2), (std::vector<uint8_t>{0x57, 0x16}));
}

}  // namespace
