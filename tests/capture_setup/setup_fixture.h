// Fixture for the device start, capture set-up and settings suites: a started
// device on the simulated board, with the bridge traffic read back from the
// board's control trace, the decoder's register writes, the device's
// "Settings" key and the image pipeline's recorded settings.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "capture/Capture.h"
#include "classlib/usbcamd_internal.h"
#include "host/kernel.h"
#include "host/streamclass.h"
#include "hw/Hardware.h"
#include "pipeline/pipeline_internal.h"
#include "settings/Settings.h"
#include "tests/support/system_fixture.h"

namespace setuptest {

namespace reg = kv::kernel::registry;
namespace pool = kv::kernel::pool;

constexpr ULONG kDriverTag = pool::Tag("Wdm ");

// One vendor request to the bridge as the board saw it.
struct BridgeAccess {
    uint64_t number = 0;  // 1-based count of control transfers since the board was made
    bool write = false;
    uint16_t reg = 0;
    uint16_t value = 0;  // written value, or the byte read
    bool failed = false;
};

// What the pipeline holds for a handle.
struct PipelineSettings {
    bool mirror = false;
    bool flip = false;
    int gamma = 0;
    LONG sensorType = 0;
};

inline PipelineSettings ReadPipeline(PPL_HANDLE handle)
{
    const auto* state = static_cast<const zelpipe::PipelineState*>(handle);
    const LONG word = __atomic_load_n(&state->settings, __ATOMIC_ACQUIRE);
    PipelineSettings s;
    s.mirror = (word & zelpipe::kSettingMirror) != 0;
    s.flip = (word & zelpipe::kSettingFlip) != 0;
    s.gamma = ((word & zelpipe::kSettingGammaMask) >> zelpipe::kSettingGammaShift) + zelpipe::kGammaMin;
    s.sensorType = __atomic_load_n(&state->sensorType, __ATOMIC_RELAXED);
    return s;
}

// The format an application starts the pin with; only the bitmap header
// matters to bandwidth allocation.
inline KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height, ULONG fourcc = 0x32595559 /* YUY2 */)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof(format);
    KS_BITMAPINFOHEADER& bmi = format.VideoInfoHeader.bmiHeader;
    bmi.biSize = sizeof(KS_BITMAPINFOHEADER);
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biPlanes = 1;
    bmi.biBitCount = 16;
    bmi.biCompression = fourcc;
    bmi.biSizeImage = (ULONG)(width * height * 2);
    return format;
}

// A VIDEOPROCAMP set request as the property handler hands it on.
struct PictureRequest {
    HW_STREAM_REQUEST_BLOCK srb{};
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    KSPROPERTY_VIDEOPROCAMP_S data{};

    explicit PictureRequest(LONG value)
    {
        data.Property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
        data.Property.Flags = KSPROPERTY_TYPE_SET;
        data.Value = value;
        descriptor.Property = &data.Property;
        descriptor.PropertyInfo = &data;
        descriptor.PropertyInputSize = sizeof(data);
        descriptor.PropertyOutputSize = sizeof(data);
        srb.Command = SRB_SET_DEVICE_PROPERTY;
        srb.CommandData.PropertyInfo = &descriptor;
    }
};

class SetupTest : public SystemTest {
protected:
    static sim::BoardConfig Traced(sim::BoardConfig config = {})
    {
        config.trace.control = true;
        return config;
    }

    static sim::BoardConfig WithDecoder(sim::DecoderKind kind)
    {
        sim::BoardConfig config;
        config.decoder = kind;
        return Traced(config);
    }

    DeviceContext* Ctx() { return Context(); }

    std::string SettingsKey() { return reg::DriverKeyPath(port_->Pdo()) + "\\Settings"; }

    // Vendor requests to the bridge in the control trace, in order.
    std::vector<BridgeAccess> BridgeAccesses() const
    {
        std::vector<BridgeAccess> out;
        for (const sim::TraceRecord& r : board_->GetTrace().Records()) {
            if (r.kind != sim::TraceRecord::Kind::Control || (r.setup[0] & 0x60) != 0x40) {
                continue;
            }
            BridgeAccess a;
            a.number = r.sequence + 1;
            a.write = (r.setup[0] & 0x80) == 0;
            a.reg = (uint16_t)(r.setup[4] | (r.setup[5] << 8));
            a.value = a.write ? (uint16_t)(r.setup[2] | (r.setup[3] << 8)) : (r.data.empty() ? 0 : r.data[0]);
            a.failed = r.status < 0;
            out.push_back(a);
        }
        return out;
    }

    std::vector<BridgeAccess> WritesTo(uint16_t reg) const
    {
        std::vector<BridgeAccess> out;
        for (const BridgeAccess& a : BridgeAccesses()) {
            if (a.write && a.reg == reg) out.push_back(a);
        }
        return out;
    }

    // Decoder sub-addresses read through the bridge's I2C master.
    std::vector<uint16_t> I2cReadsOf(uint16_t deviceRegister) const
    {
        std::vector<uint16_t> out;
        for (const BridgeAccess& a : BridgeAccesses()) {
            if (a.write && a.reg == BRIDGE_REG_I2C_READ_SUBADDRESS && a.value == deviceRegister) out.push_back(a.value);
        }
        return out;
    }

    // Runs a clean start of a board made from `config` and returns the
    // number of the control transfer that is the `occurrence`-th (1-based)
    // match, counted the way the board's fault knobs count; 0 when there is
    // none. Everything is torn down and reset afterwards, so the next board
    // made from the same configuration sees the same transfers.
    uint64_t TransferNumberDuringStart(sim::BoardConfig config, const std::function<bool(const BridgeAccess&)>& match,
                                       int occurrence = 1)
    {
        config.trace.control = true;
        StartDevice(config);
        uint64_t found = 0;
        for (const BridgeAccess& a : BridgeAccesses()) {
            if (match(a) && --occurrence == 0) {
                found = a.number;
                break;
            }
        }
        Discard();
        return found;
    }

    // Tears the whole set-up down and resets the emulation, for tests that
    // go through several boards.
    void Discard()
    {
        device_.reset();
        driver_.reset();
        port_.reset();
        board_.reset();
        kv::kernel::Reset();
        kv::streamclass::Reset();
    }

    NTSTATUS Allocate(LONG width, LONG height, ULONG* rawFrameLength = nullptr, ULONG stream = 0)
    {
        KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat(width, height);
        ULONG scratch = 0;
        return CamAllocateBandwidthEx(nullptr, Ctx(), rawFrameLength ? rawFrameLength : &scratch, &format, stream);
    }

    NTSTATUS Apply(LONG code, LONG value)
    {
        PictureRequest request(value);
        return ApplyPictureControl(code, Ctx(), &request.srb);
    }

    // Puts the driver-wide defaults sequence back at its start: a value that
    // is no first element, on a code that changes nothing.
    void ResetDefaultsSequence()
    {
        Apply(0, 12345);
        ASSERT_EQ(DefaultsSequencePosition(), 0);
    }

    sim::RegisterFileDevice& DecoderAt(uint8_t address) { return *board_->Device(address); }
};

}  // namespace setuptest
