// A started device on a simulated board, for driving the hardware access
// operations directly on its DeviceContext and reading back what reached the
// board: the control transfers it saw, its bridge registers and the register
// files of the devices on its buses.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <vector>

#include "classlib/usbcamd_internal.h"
#include "driver/Driver.h"
#include "host/kernel.h"
#include "host/streamclass.h"
#include "host/usbport.h"
#include "hw/Hardware.h"
#include "sim/board.h"
#include "tests/support/kernel_test.h"

namespace hwtest {

// One bridge register access as it crossed the control endpoint.
struct Access {
    bool write = false;
    uint16_t reg = 0;
    uint16_t value = 0;  // the value written, or the byte read (0 when the read failed)
    bool failed = false;

    bool operator==(const Access& o) const { return write == o.write && reg == o.reg && value == o.value; }
};

inline Access W(uint16_t reg, uint16_t value) { return {true, reg, value}; }
inline Access R(uint16_t reg, uint16_t value = 0) { return {false, reg, value}; }

inline std::ostream& operator<<(std::ostream& os, const Access& a)
{
    char text[48];
    std::snprintf(text, sizeof text, "%s(0x%03X, 0x%02X)%s", a.write ? "W" : "R", a.reg, a.value,
                  a.failed ? " failed" : "");
    return os << text;
}

// Register accesses without the values of reads, for sequences where only
// the order of registers matters.
struct Shape {
    bool write;
    uint16_t reg;
    bool operator==(const Shape&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Shape& s)
{
    char text[24];
    std::snprintf(text, sizeof text, "%s(0x%03X)", s.write ? "W" : "R", s.reg);
    return os << text;
}

class HwTest : public KernelTest {
protected:
    // Builds the board, loads the driver and starts a device on it; the trace
    // and the debug output start empty afterwards.
    void Start(sim::BoardConfig config = {})
    {
        config.trace.control = true;
        board_ = std::make_unique<sim::Board>(std::move(config));
        driver_ = kv::streamclass::Driver::Load(&DriverEntry);
        ASSERT_TRUE(driver_->Registered());
        {
            kv::usbport::PortOptions options;
            options.bandwidthBudget = board_->BandwidthBudget();
            port_ = kv::usbport::Port::Attach(*board_, options);
        }
        device_ = kv::streamclass::Device::Add(*driver_, port_->Pdo());
        ASSERT_NE(device_, nullptr);
        ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
        UsbcamdDevice* record = UsbcamdDeviceFromExtension(device_->HwDeviceExtension());
        ASSERT_NE(record, nullptr);
        ctx_ = static_cast<DeviceContext*>(record->deviceContext);
        ASSERT_NE(ctx_, nullptr);
        Clear();
    }

    void TearDown() override
    {
        device_.reset();
        port_.reset();
        driver_.reset();
        board_.reset();
        KernelTest::TearDown();
    }

    // Forgets the transfers and debug lines seen so far.
    void Clear()
    {
        board_->ClearTrace();
        kv::kernel::debug::Clear();
    }

    sim::Board& Board() { return *board_; }
    DeviceContext* Ctx() { return ctx_; }
    kv::streamclass::Device& Dev() { return *device_; }

    // The frame interval last handed to the class library.
    ULONG FrameInterval() { return UsbcamdDeviceFromContext(ctx_)->frameInterval; }

    // Vendor register accesses since the last Clear, in order.
    std::vector<Access> Accesses() const
    {
        std::vector<Access> out;
        for (const sim::TraceRecord& r : board_->GetTrace().Records()) {
            if (r.kind != sim::TraceRecord::Kind::Control || ((r.setup[0] >> 5) & 3) != 2) continue;
            Access a;
            a.write = (r.setup[0] & 0x80) == 0;
            a.reg = static_cast<uint16_t>(r.setup[4] | (r.setup[5] << 8));
            a.value = a.write ? static_cast<uint16_t>(r.setup[2] | (r.setup[3] << 8))
                              : static_cast<uint16_t>(r.data.empty() ? 0 : r.data[0]);
            a.failed = !NT_SUCCESS(r.status);
            out.push_back(a);
        }
        return out;
    }

    std::vector<Shape> Shapes() const
    {
        std::vector<Shape> out;
        for (const Access& a : Accesses()) out.push_back({a.write, a.reg});
        return out;
    }

    size_t TransferCount() const { return board_->GetTrace().Records().size(); }

    // Writes to one bridge register since the last Clear, in order.
    std::vector<uint16_t> WritesTo(uint16_t reg) const
    {
        std::vector<uint16_t> out;
        for (const Access& a : Accesses())
            if (a.write && a.reg == reg) out.push_back(a.value);
        return out;
    }

    // The capture window registers 0x110..0x117 as the four 16-bit values.
    std::vector<int> Window() const
    {
        std::vector<int> w;
        for (int i = 0; i < 4; ++i) {
            const uint16_t lo = static_cast<uint16_t>(0x110 + 2 * i);
            w.push_back(board_->BridgeRegister(lo) | (board_->BridgeRegister(static_cast<uint16_t>(lo + 1)) << 8));
        }
        return w;
    }

    // Fails the n-th control transfer from now (1 = the next one), once.
    void FailTransfer(uint64_t n)
    {
        sim::ControlFaults faults;
        faults.nth = sim::FaultKnob::Once(n);
        board_->SetControlFaults(faults);
    }

    // Fails every vendor access to one register.
    void FailRegister(uint16_t reg)
    {
        sim::ControlFaults faults;
        faults.everyRegister = reg;
        board_->SetControlFaults(faults);
    }

    void NoFaults() { board_->SetControlFaults(sim::ControlFaults{}); }

    // Register writes that reached the decoder since it was last cleared.
    std::vector<std::pair<uint8_t, uint8_t>> DecoderWrites() { return board_->GetDecoder()->WriteLog(); }
    void ClearDecoderWrites() { board_->GetDecoder()->ClearWriteLog(); }

    static sim::BoardConfig WithDecoder(sim::DecoderKind kind)
    {
        sim::BoardConfig c;
        c.decoder = kind;
        return c;
    }

private:
    std::unique_ptr<sim::Board> board_;
    std::unique_ptr<kv::streamclass::Driver> driver_;
    std::unique_ptr<kv::usbport::Port> port_;
    std::unique_ptr<kv::streamclass::Device> device_;
    DeviceContext* ctx_ = nullptr;
};

}  // namespace hwtest
