// Fixture for tests that run the whole driver: the kernel and stream class
// emulation, the class library, the driver itself and a simulated capture
// board behind an emulated USB port.
//
//     class MyTest : public SystemTest {};
//     TEST_F(MyTest, Something) {
//         ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
//         DeviceContext* ctx = Context();
//         ...
//     }
#pragma once

#include <memory>

#include "driver/DeviceContext.h"
#include "driver/Driver.h"
#include "host/streamclass.h"
#include "host/usbport.h"
#include "sim/board.h"
#include "tests/support/kernel_test.h"

class SystemTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        kv::streamclass::Reset();
    }

    void TearDown() override
    {
        // Devices first, then the port they sit on, then the board.
        device_.reset();
        driver_.reset();
        port_.reset();
        board_.reset();
        KernelTest::TearDown();
    }

    // Builds the board and the device above it without sending a request.
    kv::streamclass::Device& AddDevice(const sim::BoardConfig& config = {},
                                       const kv::streamclass::DeviceOptions& options = {})
    {
        board_ = std::make_unique<sim::Board>(config);
        {
            kv::usbport::PortOptions options;
            options.bandwidthBudget = board_->BandwidthBudget();
            port_ = kv::usbport::Port::Attach(*board_, options);
        }
        driver_ = kv::streamclass::Driver::Load(&DriverEntry);
        device_ = kv::streamclass::Device::Add(*driver_, port_->Pdo(), options);
        return *device_;
    }

    // Adds the device (when not yet added) and runs the stream class's start
    // sequence: initialize, stream information, initialization complete.
    NTSTATUS StartDevice(const sim::BoardConfig& config = {}, const kv::streamclass::DeviceOptions& options = {})
    {
        if (!device_) {
            AddDevice(config, options);
        }
        return device_->Start();
    }

    // The driver's record for the device, as the class library hands it out.
    DeviceContext* Context()
    {
        HW_STREAM_REQUEST_BLOCK srb{};
        srb.HwDeviceExtension = device_->HwDeviceExtension();
        return static_cast<DeviceContext*>(USBCAMD_AdapterReceivePacket(&srb, nullptr, nullptr, FALSE));
    }

    sim::Board& Board() { return *board_; }
    kv::streamclass::Device& Device() { return *device_; }

    std::unique_ptr<sim::Board> board_;
    std::unique_ptr<kv::usbport::Port> port_;
    std::unique_ptr<kv::streamclass::Driver> driver_;
    std::unique_ptr<kv::streamclass::Device> device_;
};
