#include "sim/i2c.h"

namespace sim {

void I2cBus::Attach(uint8_t address8, std::shared_ptr<I2cDevice> dev)
{
    devices_[static_cast<uint8_t>(address8 & 0xFE)] = std::move(dev);
}

bool I2cBus::Present(uint8_t address8) const
{
    return devices_.count(static_cast<uint8_t>(address8 & 0xFE)) != 0;
}

bool I2cBus::Start(uint8_t address8)
{
    // A repeated start to another device ends the first device's part.
    auto it = devices_.find(static_cast<uint8_t>(address8 & 0xFE));
    I2cDevice* next = it == devices_.end() ? nullptr : it->second.get();
    if (current_ && current_ != next)
        current_->Stop();
    current_ = next;
    if (!current_)
        return false;
    if (!current_->Start(address8)) {
        current_->Stop();
        current_ = nullptr;
        return false;
    }
    return true;
}

bool I2cBus::WriteByte(uint8_t value)
{
    return current_ ? current_->WriteByte(value) : false;
}

uint8_t I2cBus::ReadByte(bool masterAck)
{
    return current_ ? current_->ReadByte(masterAck) : 0xFF;
}

void I2cBus::Stop()
{
    if (current_)
        current_->Stop();
    current_ = nullptr;
}

bool RegisterFileDevice::Start(uint8_t address8)
{
    active_ = true;
    expectSubAddress_ = (address8 & 1) == 0;
    if (recording_)
        traffic_.push_back(I2cTransaction{address8, (address8 & 1) != 0, {}});
    return true;
}

bool RegisterFileDevice::WriteByte(uint8_t value)
{
    if (!active_)
        return false;
    if (recording_ && !traffic_.empty())
        traffic_.back().bytes.push_back(value);
    if (expectSubAddress_) {
        pointer_ = value;
        expectSubAddress_ = false;
        return true;
    }
    writeLog_.emplace_back(pointer_, value);
    OnWrite(pointer_, value);
    pointer_ = static_cast<uint8_t>(pointer_ + 1);
    return true;
}

uint8_t RegisterFileDevice::ReadByte(bool /*masterAck*/)
{
    if (!active_)
        return 0xFF;
    uint8_t v = OnRead(pointer_);
    pointer_ = static_cast<uint8_t>(pointer_ + 1);
    if (recording_ && !traffic_.empty())
        traffic_.back().bytes.push_back(v);
    return v;
}

void RegisterFileDevice::Stop()
{
    active_ = false;
    expectSubAddress_ = false;
}

void RegisterFileDevice::OnWrite(uint8_t reg, uint8_t value)
{
    if (!readOnly_[reg])
        regs_[reg] = value;
}

}  // namespace sim
