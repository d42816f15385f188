// A started device on a simulated board, driven through the stream class
// emulation with property requests as an application sends them, and the
// pieces those tests read back: stored settings, the board's traffic and the
// caller-memory regions.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel.h"
#include "host/streamclass.h"
#include "host/usermem.h"
#include "props/Properties.h"
#include "sim/board.h"
#include "tests/support/system_fixture.h"

namespace propstest {

namespace sc = kv::streamclass;
namespace reg = kv::kernel::registry;

// A vendor request: the header, the instance behind it when given, and a
// zeroed data buffer of dataSize bytes.
inline sc::PropertyRequest Vendor(ULONG id, size_t dataSize, std::optional<ULONG> instance = std::nullopt)
{
    sc::PropertyRequest r =
        sc::PropertyRequest::Make(PROPSETID_PRIVATE_CONTROL, id, dataSize, sizeof(KSPROPERTY) + (instance ? 4 : 0));
    if (instance) std::memcpy(r.property.data() + sizeof(KSPROPERTY), &*instance, 4);
    return r;
}

// A value record (56 bytes) carrying value at byte 24.
inline sc::PropertyRequest VendorRecord(ULONG id, ULONG value, size_t size = VALUE_RECORD_BYTES)
{
    sc::PropertyRequest r = Vendor(id, size);
    std::memcpy(r.data.data() + RECORD_VALUE_OFFSET, &value, 4);
    return r;
}

// A request with a 4-byte data buffer holding data0.
inline sc::PropertyRequest VendorWord(ULONG id, ULONG data0, std::optional<ULONG> instance = std::nullopt)
{
    sc::PropertyRequest r = Vendor(id, 4, instance);
    std::memcpy(r.data.data(), &data0, 4);
    return r;
}

inline ULONG WordAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    ULONG v = 0;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

class PropsTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        kv::usermem::Reset();
    }

    void TearDown() override
    {
        SystemTest::TearDown();
        kv::usermem::Reset();
    }

    void Start(sim::DecoderKind decoder = sim::DecoderKind::Type113)
    {
        sim::BoardConfig config;
        config.decoder = decoder;
        Start(config);
    }

    void Start(const sim::BoardConfig& config) { ASSERT_EQ(StartDevice(config), STATUS_SUCCESS); }

    sc::Result Get(sc::PropertyRequest& r) { return Device().GetProperty(r); }
    sc::Result Set(sc::PropertyRequest& r) { return Device().SetProperty(r); }

    std::string SettingsKey() { return reg::DriverKeyPath(port_->Pdo()) + "\\Settings"; }
    std::optional<uint32_t> Setting(std::string_view name) { return reg::GetDword(SettingsKey(), name); }

    // Records the control transfers from now on.
    void WatchControl()
    {
        sim::TraceOptions options;
        options.control = true;
        Board().SetTraceOptions(options);
        Board().ClearTrace();
    }
    size_t ControlTransfers() { return Board().GetTrace().Records().size(); }

    // Vendor writes (request 0x01) of one bridge register seen since
    // WatchControl, as the values written.
    std::vector<uint16_t> WritesOf(uint16_t reg)
    {
        std::vector<uint16_t> values;
        for (const sim::TraceRecord& r : Board().GetTrace().Records()) {
            const uint16_t value = static_cast<uint16_t>(r.setup[2] | (r.setup[3] << 8));
            const uint16_t index = static_cast<uint16_t>(r.setup[4] | (r.setup[5] << 8));
            if (r.setup[0] == 0x40 && r.setup[1] == 0x01 && index == reg) values.push_back(value);
        }
        return values;
    }
};

}  // namespace propstest
