// The simulated capture board: a USB device (descriptors, control endpoint,
// alternate settings, isochronous video endpoint) with the bridge, the
// decoder, the tuner and the other devices of its I2C bus, the bit-driven bus
// and its devices, the snapshot button and the analog sources behind the
// decoder's inputs.
//
// It sits at the end of the emulated host controller's port
// (kv::usbport::UsbFunction) and sees only bus traffic: setup packets with
// their data stages, and isochronous IN transactions. Tests and tools also
// call the same operations directly and inspect the hardware through the
// accessors. The board keeps its own bus time in microframes: IsochronousIn
// advances it by one per packet, and AdvanceMicroframes moves it on when
// nobody is reading the video endpoint.
// All entry points are serialised by one lock, so the transfer path and the
// control path may run on different threads.
//
// Choices the board makes (details at the top of each file):
//   control endpoint (this file's .cpp): vendor request 0x01 writes a bridge
//     register (wValue, wIndex), 0x00 reads one byte; standard requests for
//     descriptors, configuration, interface and status; everything else stalls
//   bridge register map, I2C master commands, status values 0 busy,
//     1 acknowledged, 2 not acknowledged, block mode: bridge.cpp
//   descriptors and packet sizes per alternate setting: usb_descriptors.cpp
//   field timing, packet format, faults: video_stream.h
//   decoders: decoder_5150.cpp, decoder_110.cpp, decoder_111.cpp
//   tuner and default channel map: tuner.h
//   inputs: the tuner feeds input tunerInput (0 unless configured); an input
//     without a configured source shows a test pattern (input 1 a 625-line
//     one, inputs 0 and 2 a 525-line one) unless defaultPatterns is off, in
//     which case it has no signal.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/usbport.h"
#include "sim/bitbus/bitbus.h"
#include "sim/bridge.h"
#include "sim/decoder.h"
#include "sim/faults.h"
#include "sim/i2c.h"
#include "sim/trace.h"
#include "sim/tuner.h"
#include "sim/usb_descriptors.h"
#include "sim/video/source.h"
#include "sim/video_stream.h"

namespace sim {

// Fault knobs of the control endpoint. A failed transfer does not reach the
// device: a write changes nothing, a read returns no data.
struct ControlFaults {
    FaultKnob nth;                        // counts every control transfer
    std::optional<uint16_t> everyRegister;  // every vendor request with this wIndex
    FaultKnob random;                     // counts every control transfer
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
};

constexpr int kPreviewWidth = 162;  // pixels of a preview field line
constexpr int kPreviewLines = 44;

struct BoardConfig {
    DecoderKind decoder = DecoderKind::Type113;
    Decoder5150Options decoder5150;

    bool lowBandwidth = false;
    uint16_t lowBandwidthDescriptorLength = 99;  // 99, or 195, or any length above 100

    BridgeOptions bridge;
    // Bytes per microframe of isochronous bandwidth the host controller the
    // board is plugged into grants (its port takes it from here); alternate
    // settings needing more are refused.
    uint32_t bandwidthBudget = 0xFFFFFFFFu;

    // Sources of inputs 0..2 (the tuner's input ignores its entry).
    std::array<std::shared_ptr<VideoSource>, 3> inputs;
    bool defaultPatterns = true;
    int tunerInput = 0;  // -1: no input carries the tuner
    std::vector<Station> channelMap = DefaultChannelMap();
    uint32_t tunerIfHz = kDefaultTunerIfHz;

    bool bitBusDevices = true;  // EEPROM and 16-bit device on the bit-driven bus

    uint64_t seed = 1;
    ControlFaults controlFaults;
    IsoFaults isoFaults;
    TraceOptions trace;
};

class Board final : public kv::usbport::UsbFunction, private FieldProvider {
public:
    // Throws std::invalid_argument for a configuration that cannot be built
    // (a low-bandwidth descriptor length below 99 or of 100).
    explicit Board(BoardConfig config = {});
    ~Board() override;
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // ---- the USB device, as the host controller's port reaches it ----
    NTSTATUS ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET* setup, uint8_t* buffer,
                             ULONG* length, USBD_STATUS* usbdStatus) override;
    NTSTATUS IsochronousIn(uint8_t endpoint, ULONG packetCount, USBD_ISO_PACKET_DESCRIPTOR* packets,
                           uint8_t* buffer, ULONG bufferLength) override;
    uint64_t CurrentMicroframe() const override;
    void AdvanceMicroframes(uint64_t count) override;
    // What a host controller does for SET_INTERFACE, for tests that drive the
    // board without one: the bandwidth check, then the request.
    NTSTATUS SelectAlternateSetting(uint8_t interfaceNumber, uint8_t alternateSetting,
                                    USBD_STATUS* usbdStatus);
    uint32_t BandwidthBudget() const { return config_.bandwidthBudget; }

    // ---- shortcuts for tests: one vendor request each ----
    NTSTATUS WriteRegister(uint16_t reg, uint16_t value);
    // The byte, or nullopt when the transfer failed.
    std::optional<uint8_t> ReadRegister(uint16_t reg);

    // ---- inspection and physical actions ----
    const UsbLayout& Usb() const { return usb_; }
    uint8_t Configuration() const;
    uint8_t AlternateSetting() const;
    uint8_t BridgeRegister(uint16_t reg) const;  // without read side effects
    Bridge& GetBridge() { return *bridge_; }
    // Decoder of the board (null for DecoderKind::None) and the 5150's patch
    // report (null unless the decoder is the 5150).
    Decoder* GetDecoder() { return decoder_.get(); }
    const PatchReport* DecoderPatch() const;
    // Register-file device at an 8-bit address: the decoder or one of the
    // plain devices at 0x42, 0x86, 0xB6; null otherwise.
    RegisterFileDevice* Device(uint8_t address8);
    Tuner& GetTuner() { return *tuner_; }
    uint32_t TunedFrequencyHz() const;
    BitBus* GetBitBus() { return bitBus_.get(); }
    BitBusEeprom* Eeprom() { return eeprom_.get(); }
    BitBusWord16Device* Word16Device() { return word16_.get(); }

    void PressButton();
    void ReleaseButton();
    void Unplug();
    bool Unplugged() const override;

    // Whether the decoder is locked to a signal right now (what its status
    // register reports).
    bool SignalLocked() const;
    // The source the decoder's selected input carries now (null: none).
    VideoSource* SelectedSource();

    void SetControlFaults(const ControlFaults& faults);
    void SetIsoFaults(const IsoFaults& faults);
    void SetTraceOptions(const TraceOptions& options);
    const Trace& GetTrace() const { return trace_; }
    void ClearTrace();
    StreamCounters VideoCounters() const;
    uint64_t ControlTransfersFailed() const;

private:
    // FieldProvider
    LineSystem TimingSystem() override;
    FieldContent ProduceField(const FieldId& id, LineSystem sys) override;

    struct Picture;  // what the decoder makes of its input right now
    Picture CurrentPicture();
    VideoSource* SourceForInput(int input);
    bool LockedNow();

    NTSTATUS Control(const USB_DEFAULT_PIPE_SETUP_PACKET& s, uint8_t* buffer, ULONG* length,
                     USBD_STATUS* usbd, bool& faulted);
    NTSTATUS StandardRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, uint8_t* buffer,
                             ULONG* length, USBD_STATUS* usbd);
    NTSTATUS VendorRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, uint8_t* buffer,
                           ULONG* length, USBD_STATUS* usbd);
    const uint8_t* Render(VideoSource* src, LineSystem sys, const FieldId& id, const Window& w,
                          const PictureAdjust& adj, bool preview, size_t& size);


    BoardConfig config_;
    mutable std::recursive_mutex lock_;
    UsbLayout usb_;
    uint64_t busTime_ = 0;
    bool unplugged_ = false;
    uint8_t configuration_ = 0;
    uint8_t alternate_ = 0;

    I2cBus i2c_;
    std::unique_ptr<BitBus> bitBus_;
    std::shared_ptr<BitBusEeprom> eeprom_;
    std::shared_ptr<BitBusWord16Device> word16_;
    std::unique_ptr<Bridge> bridge_;
    std::shared_ptr<Decoder> decoder_;
    std::shared_ptr<Tuner> tuner_;
    std::map<uint8_t, std::shared_ptr<RegisterFileDevice>> plainDevices_;

    std::array<std::shared_ptr<VideoSource>, 3> inputs_;
    std::map<int, std::unique_ptr<VideoSource>> stations_;
    std::unique_ptr<VideoSource> noise_;

    FaultSchedule controlNth_, controlRandom_;
    uint64_t controlFailed_ = 0;
    Trace trace_;
    std::unique_ptr<VideoStream> stream_;

    // Render cache: the last field made, and the key it was made for.
    struct RenderKey {
        VideoSource* src = nullptr;
        LineSystem sys = LineSystem::L525;
        uint64_t frame = 0;
        bool first = true;
        int h0 = 0, v0 = 0, h1 = 0, v1 = 0;
        int brightness = 0, contrast = 0, saturation = 0, hue = 0;
        bool preview = false;
        bool operator==(const RenderKey&) const = default;
    };
    std::optional<RenderKey> cachedKey_;
    std::vector<uint8_t> field_;
    std::vector<uint8_t> scratch_;
};

}  // namespace sim
