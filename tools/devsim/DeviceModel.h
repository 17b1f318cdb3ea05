#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/devsim/Site.h"

namespace devsim {

enum class RequestKind { Unknown, StatusQuery, Mode, Mask };

// What an amplifier knows about itself and how it puts that into bytes. Deliberately free
// of the monitor's codec, so that tests can check one against the other.
class DeviceModel {
public:
    using Clock = std::chrono::steady_clock;

    DeviceModel(const DeviceConfig& config, Clock::time_point now);

    static bool IsFieldOrder(const std::string& order);

    std::string StatusMessage(Clock::time_point now) const;
    std::string DiscoveryReply() const;
    // line is one request including its "\n"; obeys it and says what it was.
    RequestKind Apply(std::string_view line);

    void SetChannelFault(int channel, ChannelFault kind, bool present);
    void SetSupplyFault(int rail, bool present);
    void ClearFaults();
    void SetActive(bool active) { active_ = active; }
    bool Active() const { return active_; }
    void SetChannelMask(std::uint8_t mask);
    std::uint8_t ChannelMask() const { return mask_; }
    void SetOperatingMinutes(std::int32_t minutes, Clock::time_point now);
    bool SetFieldOrder(const std::string& order);
    int ChannelCount() const { return channels_; }
    const std::string& ModelText() const { return model_; }
    const std::string& Serial() const { return serial_; }

private:
    std::string Field(char letter, Clock::time_point now) const;
    std::string ChannelFlags(int kind) const;
    std::string OnFlags() const;
    std::string SupplyFlags() const;
    std::string Minutes(Clock::time_point now) const;

    std::string model_;
    std::string serial_;
    std::string order_;
    int channels_;
    bool active_;
    std::uint8_t mask_ = 0;
    std::uint8_t channelFaults_[4] = {};  // per ChannelFault, bit 0 = channel 1
    std::uint8_t supplyFaults_ = 0;       // bit 0 = -5 V rail
    std::int32_t minutesBase_ = 0;
    Clock::time_point minutesSince_;
};

}  // namespace devsim
