// The board's USB device and the way its parts are wired.
//
// Control endpoint:
//   vendor, OUT, bRequest 0x01: bridge register write, wValue = value (the
//     low byte is kept), wIndex = register; a data stage is accepted and
//     ignored
//   vendor, IN, bRequest 0x00: bridge register read, wIndex = register, one
//     byte returned (wLength must be at least 1)
//   a register number above 0x3FF, any other vendor request, any class
//     request and a vendor request in the wrong direction stall
//   standard: GET_DESCRIPTOR (device, configuration, strings 0-3, device
//     qualifier), SET_CONFIGURATION (0 or 1), GET_CONFIGURATION,
//     SET_INTERFACE and GET_INTERFACE (interface 0, configured state only),
//     GET_STATUS (two zero bytes), SET_ADDRESS, CLEAR_FEATURE and SET_FEATURE
//     (accepted, no effect); everything else stalls.
//   A stall returns STATUS_UNSUCCESSFUL with USBD_STATUS_STALL_PID; after
//   Unplug every transfer returns STATUS_DEVICE_NOT_CONNECTED with
//   USBD_STATUS_DEVICE_GONE. An injected fault returns the configured status
//   and the request never reaches the device.
//
// Alternate settings: SelectAlternateSetting is what the host controller does
// for SET_INTERFACE: it refuses a setting whose isochronous bytes per
// microframe exceed the bandwidth budget (STATUS_INSUFFICIENT_RESOURCES,
// USBD_STATUS_NO_BANDWIDTH), then selects it on the device. It is traced as the
// SET_INTERFACE transfer it stands for.
//
// Video path: the decoder's selected input gives the source (the tuner's
// input the station the tuner receives, or snow); the decoder's standard gives
// the line system (a decoder that follows the signal takes the source's, and
// runs at its own free-running rate while there is none). A
// source of the other line system gives black fields and no lock; snow is
// shown whatever the standard and never locks. The capture window, shifted by
// the decoder's line offset and clamped to the raster, crops the field; the
// horizontal span is cut to whole pixel pairs (a multiple of 4 bytes). With
// the preview scaler (0x104-0x106 = 3, 5, 0x1F) each field is sampled down to
// 162 x 44 pixels (nearest pixel pair and line). No decoder, or bridge
// power-down, sends no fields at all.
#include "sim/board.h"

#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

constexpr uint8_t kVendorWrite = 0x01;
constexpr uint8_t kVendorRead = 0x00;
constexpr uint8_t kTypeStandard = 0;
constexpr uint8_t kTypeVendor = 2;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kPlainDeviceAddresses[] = {0x42, 0x86, 0xB6};

NTSTATUS StallResult(USBD_STATUS* usbd, ULONG* length)
{
    *usbd = USBD_STATUS_STALL_PID;
    *length = 0;
    return STATUS_UNSUCCESSFUL;
}

// Copies as much of src as the host asked for.
NTSTATUS ReturnData(const uint8_t* src, size_t n, uint8_t* buffer, ULONG* length,
                    uint16_t wLength, USBD_STATUS* usbd)
{
    size_t want = std::min<size_t>(*length, wLength);
    size_t k = std::min(want, n);
    if (k)
        std::memcpy(buffer, src, k);
    *length = static_cast<ULONG>(k);
    *usbd = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

void FillBlack(uint8_t* out, size_t bytes, int span, int hStart)
{
    if (span <= 0)
        return;
    // Luma on even raster byte offsets, chroma on odd ones.
    for (size_t i = 0; i < bytes; ++i) {
        size_t x = static_cast<size_t>(hStart) + i % static_cast<size_t>(span);
        out[i] = (x & 1) ? 128 : 16;
    }
}

}  // namespace

struct Board::Picture {
    bool video = false;                    // the decoder produces fields at all
    LineSystem sys = LineSystem::L525;
    VideoSource* shown = nullptr;          // null: black
    bool locked = false;
};

Board::Board(BoardConfig config) : config_(std::move(config))
{
    std::string error;
    if (!BuildUsbLayout(config_.lowBandwidth, config_.lowBandwidthDescriptorLength, usb_, &error))
        throw std::invalid_argument(error);

    bitBus_ = std::make_unique<BitBus>();
    if (config_.bitBusDevices) {
        eeprom_ = std::make_shared<BitBusEeprom>(kBitBusEepromAddress, kBitBusEepromSize);
        word16_ = std::make_shared<BitBusWord16Device>(kBitBusWord16Address);
        bitBus_->Attach(eeprom_);
        bitBus_->Attach(word16_);
    }
    bridge_ = std::make_unique<Bridge>(i2c_, bitBus_.get(), config_.bridge);

    switch (config_.decoder) {
    case DecoderKind::Type110: decoder_ = std::make_shared<Decoder110>(); break;
    case DecoderKind::Type111: decoder_ = std::make_shared<Decoder111>(); break;
    case DecoderKind::Type113:
        decoder_ = std::make_shared<Decoder5150>(config_.decoder5150);
        break;
    case DecoderKind::None: break;
    }
    if (decoder_) {
        decoder_->SetLockQuery([this] { return LockedNow(); });
        i2c_.Attach(DecoderAddress(config_.decoder), decoder_);
    }
    tuner_ = std::make_shared<Tuner>(config_.channelMap, config_.tunerIfHz);
    i2c_.Attach(kTunerAddress, tuner_);
    i2c_.Attach(kTunerAltAddress, tuner_);
    for (uint8_t a : kPlainDeviceAddresses) {
        auto dev = std::make_shared<PlainRegisterDevice>();
        plainDevices_[a] = dev;
        i2c_.Attach(a, dev);
    }

    for (int i = 0; i < 3; ++i) {
        inputs_[i] = config_.inputs[i];
        if (!inputs_[i] && config_.defaultPatterns && i != config_.tunerInput) {
            TestPatternOptions o;
            o.sourceId = static_cast<uint16_t>(i);
            inputs_[i] = MakeTestPattern(i == 1 ? LineSystem::L625 : LineSystem::L525, o);
        }
    }
    noise_ = MakeNoiseSource(SeedFor(config_.seed, "noise"));

    trace_.SetOptions(config_.trace);
    stream_ = std::make_unique<VideoStream>(static_cast<FieldProvider&>(*this), config_.seed);
    SetControlFaults(config_.controlFaults);
    stream_->SetFaults(config_.isoFaults);
}

Board::~Board() = default;

// ---- control endpoint ------------------------------------------------------------

NTSTATUS Board::ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET* setup, uint8_t* buffer,
                                ULONG* length, USBD_STATUS* usbdStatus)
{
    std::lock_guard g(lock_);
    USBD_STATUS scratch = 0;
    USBD_STATUS* usbd = usbdStatus ? usbdStatus : &scratch;
    if (!setup || !length) {
        *usbd = USBD_STATUS_ERROR;
        return STATUS_INVALID_PARAMETER;
    }
    const USB_DEFAULT_PIPE_SETUP_PACKET s = *setup;
    bool in = (s.bmRequestType & 0x80) != 0;
    if ((*length > 0 && !buffer) || (!in && *length != s.wLength)) {
        *usbd = USBD_STATUS_ERROR;
        return STATUS_INVALID_PARAMETER;
    }

    TraceRecord rec;
    bool tracing = trace_.WantsControl();
    if (tracing) {
        rec.kind = TraceRecord::Kind::Control;
        rec.microframe = busTime_;
        std::memcpy(rec.setup.data(), &s, sizeof s);
        if (!in && *length)
            rec.data.assign(buffer, buffer + *length);
    }

    NTSTATUS status;
    bool faulted = false;
    if (unplugged_) {
        *length = 0;
        *usbd = USBD_STATUS_DEVICE_GONE;
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else {
        status = Control(s, buffer, length, usbd, faulted);
    }

    if (tracing) {
        if (in && NT_SUCCESS(status))
            rec.data.assign(buffer, buffer + *length);
        rec.status = status;
        rec.usbdStatus = *usbd;
        rec.injectedFault = faulted;
        trace_.Add(std::move(rec));
    }
    return status;
}

NTSTATUS Board::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& s, uint8_t* buffer, ULONG* length,
                        USBD_STATUS* usbd, bool& faulted)
{
    uint8_t type = (s.bmRequestType >> 5) & 3;
    // Each knob sees every transfer, so the schedules do not depend on each other.
    bool nth = controlNth_.Fire();
    bool random = controlRandom_.Fire();
    bool reg = type == kTypeVendor && config_.controlFaults.everyRegister &&
               *config_.controlFaults.everyRegister == s.wIndex;
    if (nth || random || reg) {
        faulted = true;
        ++controlFailed_;
        if (s.bmRequestType & 0x80)
            *length = 0;
        *usbd = config_.controlFaults.usbdStatus;
        return config_.controlFaults.status;
    }
    if (type == kTypeStandard)
        return StandardRequest(s, buffer, length, usbd);
    if (type == kTypeVendor)
        return VendorRequest(s, buffer, length, usbd);
    return StallResult(usbd, length);
}

NTSTATUS Board::VendorRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, uint8_t* buffer,
                              ULONG* length, USBD_STATUS* usbd)
{
    bool in = (s.bmRequestType & 0x80) != 0;
    if (s.bRequest == kVendorWrite && !in) {
        if (!bridge_->Write(s.wIndex, s.wValue))
            return StallResult(usbd, length);
        *usbd = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    if (s.bRequest == kVendorRead && in && s.wLength >= 1 && *length >= 1) {
        uint8_t v = 0;
        if (!bridge_->Read(s.wIndex, v))
            return StallResult(usbd, length);
        buffer[0] = v;
        *length = 1;
        *usbd = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    return StallResult(usbd, length);
}

NTSTATUS Board::StandardRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, uint8_t* buffer,
                                ULONG* length, USBD_STATUS* usbd)
{
    bool in = (s.bmRequestType & 0x80) != 0;
    uint8_t recipient = s.bmRequestType & 0x1F;
    switch (s.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
        if (!in)
            break;
        uint8_t kind = static_cast<uint8_t>(s.wValue >> 8);
        uint8_t index = static_cast<uint8_t>(s.wValue & 0xFF);
        if (kind == USB_DEVICE_DESCRIPTOR_TYPE)
            return ReturnData(usb_.deviceDescriptor.data(), usb_.deviceDescriptor.size(), buffer,
                              length, s.wLength, usbd);
        if (kind == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
            return ReturnData(usb_.configuration.data(), usb_.configuration.size(), buffer,
                              length, s.wLength, usbd);
        if (kind == USB_STRING_DESCRIPTOR_TYPE) {
            std::vector<uint8_t> d;
            if (index == 0) {
                d = {4, USB_STRING_DESCRIPTOR_TYPE, kLanguageId & 0xFF, kLanguageId >> 8};
            } else if (index <= usb_.strings.size()) {
                const std::u16string& str = usb_.strings[index - 1];
                d.push_back(static_cast<uint8_t>(2 + 2 * str.size()));
                d.push_back(USB_STRING_DESCRIPTOR_TYPE);
                for (char16_t c : str) {
                    d.push_back(static_cast<uint8_t>(c & 0xFF));
                    d.push_back(static_cast<uint8_t>(c >> 8));
                }
            } else {
                break;
            }
            return ReturnData(d.data(), d.size(), buffer, length, s.wLength, usbd);
        }
        if (kind == 0x06) {  // device qualifier: what the device would be at the other speed
            const uint8_t q[10] = {10, 0x06, 0x00, 0x02, 0, 0, 0, 64, 1, 0};
            return ReturnData(q, sizeof q, buffer, length, s.wLength, usbd);
        }
        break;
    }
    case USB_REQUEST_SET_CONFIGURATION:
        if (in || (s.wValue != 0 && s.wValue != kConfigurationValue))
            break;
        configuration_ = static_cast<uint8_t>(s.wValue);
        alternate_ = 0;
        stream_->Select(0, busTime_);
        *usbd = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    case 0x08:  // GET_CONFIGURATION
        if (!in)
            break;
        return ReturnData(&configuration_, 1, buffer, length, s.wLength, usbd);
    case USB_REQUEST_SET_INTERFACE:
        if (in || recipient != kRecipientInterface || configuration_ == 0 ||
            s.wIndex != kVideoInterface || s.wValue >= usb_.AlternateSettings())
            break;
        alternate_ = static_cast<uint8_t>(s.wValue);
        stream_->Select(usb_.VideoBytesPerMicroframe(alternate_), busTime_);
        *usbd = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    case 0x0A:  // GET_INTERFACE
        if (!in || configuration_ == 0 || s.wIndex != kVideoInterface)
            break;
        return ReturnData(&alternate_, 1, buffer, length, s.wLength, usbd);
    case USB_REQUEST_GET_STATUS: {
        if (!in)
            break;
        const uint8_t zero[2] = {0, 0};
        return ReturnData(zero, 2, buffer, length, s.wLength, usbd);
    }
    case USB_REQUEST_SET_ADDRESS:
    case 0x01:  // CLEAR_FEATURE
    case 0x03:  // SET_FEATURE
        if (in || recipient > 2)
            break;
        *usbd = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    default:
        break;
    }
    return StallResult(usbd, length);
}

NTSTATUS Board::SelectAlternateSetting(uint8_t interfaceNumber, uint8_t alternateSetting,
                                       USBD_STATUS* usbdStatus)
{
    std::lock_guard g(lock_);
    USBD_STATUS scratch = 0;
    USBD_STATUS* usbd = usbdStatus ? usbdStatus : &scratch;
    if (unplugged_) {
        *usbd = USBD_STATUS_DEVICE_GONE;
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (interfaceNumber != kVideoInterface || alternateSetting >= usb_.AlternateSettings()) {
        *usbd = USBD_STATUS_ERROR;
        return STATUS_INVALID_PARAMETER;
    }
    if (usb_.isoBytesPerMicroframe[alternateSetting] > config_.bandwidthBudget) {
        *usbd = USBD_STATUS_NO_BANDWIDTH;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    USB_DEFAULT_PIPE_SETUP_PACKET s{};
    s.bmRequestType = BMREQUEST_HOST_TO_DEVICE | BMREQUEST_STANDARD | BMREQUEST_TO_INTERFACE;
    s.bRequest = USB_REQUEST_SET_INTERFACE;
    s.wValue = alternateSetting;
    s.wIndex = interfaceNumber;
    ULONG zero = 0;
    return ControlTransfer(&s, nullptr, &zero, usbd);
}

NTSTATUS Board::WriteRegister(uint16_t reg, uint16_t value)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{};
    s.bmRequestType = BMREQUEST_HOST_TO_DEVICE | BMREQUEST_VENDOR | BMREQUEST_TO_DEVICE;
    s.bRequest = kVendorWrite;
    s.wValue = value;
    s.wIndex = reg;
    ULONG len = 0;
    USBD_STATUS usbd = 0;
    return ControlTransfer(&s, nullptr, &len, &usbd);
}

std::optional<uint8_t> Board::ReadRegister(uint16_t reg)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{};
    s.bmRequestType = BMREQUEST_DEVICE_TO_HOST | BMREQUEST_VENDOR | BMREQUEST_TO_DEVICE;
    s.bRequest = kVendorRead;
    s.wIndex = reg;
    s.wLength = 1;
    uint8_t b = 0;
    ULONG len = 1;
    USBD_STATUS usbd = 0;
    NTSTATUS st = ControlTransfer(&s, &b, &len, &usbd);
    if (!NT_SUCCESS(st) || len != 1)
        return std::nullopt;
    return b;
}

// ---- isochronous endpoint --------------------------------------------------------------

NTSTATUS Board::IsochronousIn(uint8_t endpoint, ULONG packetCount,
                              USBD_ISO_PACKET_DESCRIPTOR* packets, uint8_t* buffer,
                              ULONG bufferLength)
{
    std::lock_guard g(lock_);
    if (unplugged_)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (endpoint != kVideoEndpoint || configuration_ == 0 || !stream_->Streaming())
        return STATUS_INVALID_PARAMETER;
    if (packetCount == 0)
        return STATUS_SUCCESS;
    if (!packets || !buffer)
        return STATUS_INVALID_PARAMETER;
    const uint64_t cap = stream_->Capacity();
    for (ULONG i = 0; i < packetCount; ++i) {
        uint64_t off = packets[i].Offset;
        if (off > bufferLength || bufferLength - off < cap)
            return STATUS_INVALID_PARAMETER;
    }

    const bool tracing = trace_.WantsIso();
    for (ULONG i = 0; i < packetCount; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& p = packets[i];
        if (unplugged_) {
            p.Length = 0;
            p.Status = USBD_STATUS_DEVICE_GONE;
            continue;
        }
        uint8_t* out = buffer + p.Offset;
        PacketResult r = stream_->Fill(busTime_, out);
        p.Length = r.length;
        p.Status = r.usbdStatus;
        if (tracing) {
            TraceRecord rec;
            rec.kind = TraceRecord::Kind::Isochronous;
            rec.microframe = busTime_;
            rec.endpoint = endpoint;
            rec.length = r.length;
            rec.usbdStatus = r.usbdStatus;
            rec.injectedFault = r.faulted;
            if (trace_.Options().isoData && r.length)
                rec.data.assign(out, out + r.length);
            trace_.Add(std::move(rec));
        }
        ++busTime_;
        if (r.unplug)
            unplugged_ = true;
    }
    return unplugged_ ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
}

uint64_t Board::CurrentMicroframe() const
{
    std::lock_guard g(lock_);
    return busTime_;
}

void Board::AdvanceMicroframes(uint64_t count)
{
    std::lock_guard g(lock_);
    // Bus time stays far below the point where field arithmetic (in fifteenths
    // of a microframe) would wrap: that is millions of years of bus time.
    constexpr uint64_t kLimit = UINT64_MAX / 32;
    busTime_ = count > kLimit - busTime_ ? kLimit : busTime_ + count;
}

// ---- the video path ----------------------------------------------------------------------

VideoSource* Board::SourceForInput(int input)
{
    if (input < 0 || input > 2)
        return nullptr;
    if (input == config_.tunerInput) {
        auto station = tuner_->ReceivedStation();
        if (!station)
            return noise_.get();
        auto& src = stations_[station->channel];
        if (!src)
            src = MakeStationSource(station->channel, station->system);
        return src.get();
    }
    return inputs_[input].get();
}

Board::Picture Board::CurrentPicture()
{
    Picture p;
    if (!decoder_)
        return p;
    p.video = true;
    VideoSource* src = SourceForInput(decoder_->SelectedInput());
    StandardSetting st = decoder_->Standard();
    if (!st.valid) {
        p.sys = st.system;
        return p;
    }
    bool signal = src && src->HasSignal();
    p.sys = st.automatic && signal ? src->NativeSystem() : st.system;
    if (!src)
        return p;
    bool sameSystem = src->NativeSystem() == p.sys;
    // Snow has no line system to disagree with; a real signal of the other
    // system gives the decoder nothing to show.
    if (!signal || sameSystem)
        p.shown = src;
    p.locked = signal && sameSystem;
    return p;
}

bool Board::LockedNow()
{
    return CurrentPicture().locked;
}

LineSystem Board::TimingSystem()
{
    return CurrentPicture().sys;
}

FieldContent Board::ProduceField(const FieldId& id, LineSystem sys)
{
    FieldContent c;
    Picture p = CurrentPicture();
    if (!p.video || bridge_->PoweredDown())
        return c;
    Window w = bridge_->CaptureWindow();
    int offset = decoder_->VerticalOffset(sys);
    w.vStartLine += offset;
    w.vEndLine += offset;
    w = ClampToRaster(sys, w);
    int span = std::max(0, w.hEndByte - w.hStartByte) & ~3;
    int lines = std::max(0, w.vEndLine - w.vStartLine);
    w.hEndByte = w.hStartByte + span;
    if (span == 0 || lines == 0) {
        span = 0;
        lines = 0;
        w.hEndByte = w.hStartByte;
        w.vEndLine = w.vStartLine;
    }
    bool preview = bridge_->PreviewScaler();
    c.present = true;
    c.data = Render(p.shown, sys, id, w, decoder_->Adjust(), preview, c.size);
    if (preview) {
        c.lines = kPreviewLines;
        c.bytesPerLine = kPreviewWidth * 2;
    } else {
        c.lines = static_cast<uint16_t>(lines);
        c.bytesPerLine = static_cast<uint16_t>(span);
    }
    return c;
}

const uint8_t* Board::Render(VideoSource* src, LineSystem sys, const FieldId& id, const Window& w,
                             const PictureAdjust& adj, bool preview, size_t& size)
{
    RenderKey key;
    key.src = src;
    key.sys = sys;
    key.h0 = w.hStartByte;
    key.v0 = w.vStartLine;
    key.h1 = w.hEndByte;
    key.v1 = w.vEndLine;
    key.preview = preview;
    if (src) {
        // Black does not move and takes no picture controls.
        key.frame = id.frameNumber;
        key.first = id.firstField;
        key.brightness = adj.brightness;
        key.contrast = adj.contrast;
        key.saturation = adj.saturation;
        key.hue = adj.hueDegrees;
    }
    if (cachedKey_ && *cachedKey_ == key) {
        size = field_.size();
        return field_.data();
    }

    const int span = w.hEndByte - w.hStartByte;
    const int lines = w.vEndLine - w.vStartLine;
    const size_t bytes = static_cast<size_t>(span) * static_cast<size_t>(lines);
    std::vector<uint8_t>& target = preview ? scratch_ : field_;
    target.resize(bytes);
    if (bytes) {
        if (src)
            src->RenderField(sys, id, w, adj, target.data());
        else
            FillBlack(target.data(), bytes, span, w.hStartByte);
    }
    if (preview) {
        const size_t outLine = kPreviewWidth * 2;
        field_.resize(outLine * kPreviewLines);
        const int pairs = span / 4;
        if (pairs == 0 || lines == 0) {
            FillBlack(field_.data(), field_.size(), static_cast<int>(outLine), 0);
        } else {
            for (int i = 0; i < kPreviewLines; ++i) {
                const uint8_t* srcLine = scratch_.data() + static_cast<size_t>(i * lines / kPreviewLines) * span;
                uint8_t* dst = field_.data() + i * outLine;
                for (int j = 0; j < kPreviewWidth / 2; ++j)
                    std::memcpy(dst + 4 * j, srcLine + 4 * (j * pairs / (kPreviewWidth / 2)), 4);
            }
        }
    }
    cachedKey_ = key;
    size = field_.size();
    return field_.data();
}

// ---- inspection and actions ----------------------------------------------------------------

uint8_t Board::Configuration() const
{
    std::lock_guard g(lock_);
    return configuration_;
}

uint8_t Board::AlternateSetting() const
{
    std::lock_guard g(lock_);
    return alternate_;
}

uint8_t Board::BridgeRegister(uint16_t reg) const
{
    std::lock_guard g(lock_);
    return bridge_->Peek(reg);
}

const PatchReport* Board::DecoderPatch() const
{
    std::lock_guard g(lock_);
    auto* d = dynamic_cast<const Decoder5150*>(decoder_.get());
    return d ? &d->Patch() : nullptr;
}

RegisterFileDevice* Board::Device(uint8_t address8)
{
    std::lock_guard g(lock_);
    uint8_t a = static_cast<uint8_t>(address8 & 0xFE);
    if (decoder_ && a == DecoderAddress(config_.decoder))
        return decoder_.get();
    auto it = plainDevices_.find(a);
    return it == plainDevices_.end() ? nullptr : it->second.get();
}

uint32_t Board::TunedFrequencyHz() const
{
    std::lock_guard g(lock_);
    return tuner_->TunedFrequencyHz();
}

void Board::PressButton()
{
    std::lock_guard g(lock_);
    bridge_->SetButtonPressed(true);
}

void Board::ReleaseButton()
{
    std::lock_guard g(lock_);
    bridge_->SetButtonPressed(false);
}

void Board::Unplug()
{
    std::lock_guard g(lock_);
    unplugged_ = true;
}

bool Board::Unplugged() const
{
    std::lock_guard g(lock_);
    return unplugged_;
}

bool Board::SignalLocked() const
{
    std::lock_guard g(lock_);
    return const_cast<Board*>(this)->LockedNow();
}

VideoSource* Board::SelectedSource()
{
    std::lock_guard g(lock_);
    return decoder_ ? SourceForInput(decoder_->SelectedInput()) : nullptr;
}

void Board::SetControlFaults(const ControlFaults& faults)
{
    std::lock_guard g(lock_);
    config_.controlFaults = faults;
    controlNth_ = FaultSchedule(faults.nth, SeedFor(config_.seed, "controlNth"));
    controlRandom_ = FaultSchedule(faults.random, SeedFor(config_.seed, "controlRandom"));
}

void Board::SetIsoFaults(const IsoFaults& faults)
{
    std::lock_guard g(lock_);
    config_.isoFaults = faults;
    stream_->SetFaults(faults);
}

void Board::SetTraceOptions(const TraceOptions& options)
{
    std::lock_guard g(lock_);
    trace_.SetOptions(options);
}

void Board::ClearTrace()
{
    std::lock_guard g(lock_);
    trace_.Clear();
}

StreamCounters Board::VideoCounters() const
{
    std::lock_guard g(lock_);
    return stream_->Counters();
}

uint64_t Board::ControlTransfersFailed() const
{
    std::lock_guard g(lock_);
    return controlFailed_;
}

}  // namespace sim
