#include "sim/bitbus/bitbus.h"

#include <algorithm>

namespace sim {

// ---- slave protocol engine ---------------------------------------------------

BitBusSlave::BitBusSlave(uint8_t address8bit) : address_(static_cast<uint8_t>(address8bit & 0xFE)) {}

void BitBusSlave::OnLines(bool scl, bool sda) {
    // Split a double change the way the bus does, so a slave driven directly
    // sees the same sequence.
    if (scl != scl_ && sda != sda_) {
        if (!scl) {
            OnLines(scl, sda_);
        } else {
            OnLines(scl_, sda);
        }
    }
    const bool pscl = scl_;
    const bool psda = sda_;
    scl_ = scl;
    sda_ = sda;

    if (pscl && scl) {
        if (psda && !sda) {
            BeginStart();
        } else if (!psda && sda) {
            EndTransaction(false);
            phase_ = Phase::Idle;
        }
        return;
    }

    if (!pscl && scl) {
        // Rising edge: the receiver samples.
        switch (phase_) {
        case Phase::Receive:
            shift_ = static_cast<uint8_t>((shift_ << 1) | (sda ? 1 : 0));
            ++bits_;
            break;
        case Phase::AckIn:
            nextAck_ = !sda;
            break;
        default:
            break;
        }
        return;
    }

    if (pscl && !scl) {
        // Falling edge: the transmitter may change the data line.
        switch (phase_) {
        case Phase::Receive:
            if (bits_ < 8) {
                break;
            }
            if (addressPhase_) {
                const uint8_t byte = shift_;
                if ((byte & 0xFE) != address_) {
                    // Someone else's transaction: wait for the next start.
                    phase_ = Phase::Idle;
                    break;
                }
                selected_ = true;
                readMode_ = (byte & 1) != 0;
                events_.push_back({BitBusEvent::Kind::Start, 0, false});
                events_.push_back({BitBusEvent::Kind::Address, byte, true});
                OnAddressed(readMode_);
                pullSda_ = true;
            } else {
                const bool ack = OnWrite(shift_);
                events_.push_back({BitBusEvent::Kind::Write, shift_, ack});
                pullSda_ = ack;
            }
            phase_ = Phase::AckOut;
            break;
        case Phase::AckOut:
            pullSda_ = false;
            addressPhase_ = false;
            bits_ = 0;
            shift_ = 0;
            if (readMode_) {
                shift_ = OnRead();
                phase_ = Phase::Transmit;
                SetDataBit();
            } else {
                phase_ = Phase::Receive;
            }
            break;
        case Phase::Transmit:
            ++bits_;
            if (bits_ < 8) {
                SetDataBit();
            } else {
                pullSda_ = false;
                nextAck_ = false;
                phase_ = Phase::AckIn;
            }
            break;
        case Phase::AckIn:
            events_.push_back({BitBusEvent::Kind::Read, shift_, nextAck_});
            OnReadAck(nextAck_);
            if (nextAck_) {
                shift_ = OnRead();
                bits_ = 0;
                phase_ = Phase::Transmit;
                SetDataBit();
            } else {
                // Not acknowledged: let go and wait for stop or start.
                pullSda_ = false;
                phase_ = Phase::Idle;
            }
            break;
        case Phase::Idle:
            break;
        }
    }
}

void BitBusSlave::SetDataBit() {
    const int bit = (shift_ >> (7 - bits_)) & 1;
    pullSda_ = bit == 0;
}

void BitBusSlave::BeginStart() {
    EndTransaction(true);
    pullSda_ = false;
    phase_ = Phase::Receive;
    addressPhase_ = true;
    readMode_ = false;
    bits_ = 0;
    shift_ = 0;
}

void BitBusSlave::EndTransaction(bool restart) {
    pullSda_ = false;
    if (selected_) {
        selected_ = false;
        if (!restart) {
            events_.push_back({BitBusEvent::Kind::Stop, 0, false});
        }
        OnEnd(restart);
    }
}

// ---- the bus -------------------------------------------------------------------

void BitBus::Attach(std::shared_ptr<BitBusSlave> slave) {
    if (!slave) {
        return;
    }
    // The newcomer starts from the present levels, not from an edge.
    slave->scl_ = scl_;
    slave->sda_ = sda_;
    slaves_.push_back(std::move(slave));
    Settle();
}

void BitBus::SetMasterLines(bool sclReleased, bool sdaReleased) {
    if (sclReleased != masterScl_ && sdaReleased != masterSda_) {
        // Data moves while the clock is low: after a falling clock, before a
        // rising one.
        if (!sclReleased) {
            masterScl_ = sclReleased;
            Settle();
        } else {
            masterSda_ = sdaReleased;
            Settle();
        }
    }
    masterScl_ = sclReleased;
    masterSda_ = sdaReleased;
    Settle();
}

bool BitBus::SlavesReleaseSda() const {
    return std::none_of(slaves_.begin(), slaves_.end(),
                        [](const std::shared_ptr<BitBusSlave>& s) { return s->PullsSdaLow(); });
}

void BitBus::Settle() {
    // Each pass lets the slaves answer a level change; an answer only moves
    // SDA while SCL is low, so this settles within a couple of passes. The
    // bound keeps a misbehaving slave from hanging the bus.
    for (int pass = 0; pass < 16; ++pass) {
        const bool scl = masterScl_;
        const bool sda = masterSda_ && SlavesReleaseSda();
        if (scl == scl_ && sda == sda_) {
            return;
        }
        scl_ = scl;
        sda_ = sda;
        if (trace_) {
            traceLog_.push_back({scl, sda});
        }
        for (auto& s : slaves_) {
            s->OnLines(scl, sda);
        }
    }
}

// ---- EEPROM ------------------------------------------------------------------------

BitBusEeprom::BitBusEeprom(uint8_t address8bit, size_t size)
    : BitBusSlave(address8bit), memory_(std::clamp<size_t>(size, 1, 256), 0xFF) {}

void BitBusEeprom::OnAddressed(bool read) {
    if (!read) {
        haveSubAddress_ = false;
        pageUsed_ = 0;
    }
}

bool BitBusEeprom::OnWrite(uint8_t byte) {
    const size_t size = memory_.size();
    if (!haveSubAddress_) {
        pointer_ = byte % size;
        haveSubAddress_ = true;
        return true;
    }
    // The page buffer: bytes past the end of the page wrap to its start and
    // replace what was there, as the part's page latch does.
    const size_t pageBase = pointer_ - pointer_ % kPageSize;
    const size_t inPage = pointer_ - pageBase;
    page_[inPage] = byte;
    pageUsed_ |= 1u << inPage;
    pageBase_ = pageBase;
    size_t next = pageBase + (inPage + 1) % kPageSize;
    if (next >= size) {
        next = pageBase;
    }
    pointer_ = next;
    return true;
}

uint8_t BitBusEeprom::OnRead() {
    const uint8_t v = memory_[pointer_];
    pointer_ = (pointer_ + 1) % memory_.size();
    return v;
}

void BitBusEeprom::OnEnd(bool restart) {
    if (!restart) {
        for (size_t i = 0; i < kPageSize; ++i) {
            if ((pageUsed_ >> i) & 1u) {
                const size_t at = pageBase_ + i;
                if (at < memory_.size()) {
                    memory_[at] = page_[i];
                }
            }
        }
    }
    pageUsed_ = 0;
}

// ---- 16-bit register device --------------------------------------------------

BitBusWord16Device::BitBusWord16Device(uint8_t address8bit) : BitBusSlave(address8bit) {
    regs_[kIdRegister] = kIdValue;
}

void BitBusWord16Device::SetRegister(uint8_t reg, uint16_t value) {
    if (reg != kIdRegister) {
        regs_[reg] = value;
    }
}

void BitBusWord16Device::OnAddressed(bool read) {
    if (read) {
        lowNext_ = false;
    } else {
        havePointer_ = false;
        haveHigh_ = false;
    }
}

bool BitBusWord16Device::OnWrite(uint8_t byte) {
    if (!havePointer_) {
        pointer_ = byte;
        havePointer_ = true;
    } else if (!haveHigh_) {
        high_ = byte;
        haveHigh_ = true;
    } else {
        SetRegister(pointer_, static_cast<uint16_t>((high_ << 8) | byte));
        ++pointer_;
        haveHigh_ = false;
    }
    return true;
}

uint8_t BitBusWord16Device::OnRead() {
    if (!lowNext_) {
        lowNext_ = true;
        return static_cast<uint8_t>(regs_[pointer_] >> 8);
    }
    lowNext_ = false;
    const uint8_t v = static_cast<uint8_t>(regs_[pointer_] & 0xFF);
    ++pointer_;
    return v;
}

std::shared_ptr<BitBusSlave> MakeEeprom(uint8_t address8bit, size_t size) {
    return std::make_shared<BitBusEeprom>(address8bit, size);
}

std::shared_ptr<BitBusSlave> MakeWord16Device(uint8_t address8bit) {
    return std::make_shared<BitBusWord16Device>(address8bit);
}

}  // namespace sim
