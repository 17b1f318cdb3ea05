#include "tools/devsim/DeviceModel.h"

#include <algorithm>
#include <cstdio>

namespace devsim {

namespace {

constexpr std::string_view FieldLetters = "MRPVADTFCH";
constexpr int MaxChannels = 7;

int ChannelsOfModel(const std::string& text) {
    if (text == "00") return 2;
    if (text == "01") return 3;
    if (text == "02") return 5;
    // Unknown models get every channel so that nothing they might report is hidden.
    return MaxChannels;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::uint8_t Bit(int index) {
    return static_cast<std::uint8_t>(1u << index);
}

}  // namespace

DeviceModel::DeviceModel(const DeviceConfig& config, Clock::time_point now)
    : model_(config.modelText),
      serial_(config.serial),
      order_(config.fieldOrder),
      channels_(ChannelsOfModel(config.modelText)),
      active_(config.active),
      minutesBase_(config.operatingMinutes),
      minutesSince_(now) {
    SetChannelMask(config.channelMask);
}

bool DeviceModel::IsFieldOrder(const std::string& order) {
    return std::all_of(order.begin(), order.end(),
                       [](char c) { return FieldLetters.find(c) != std::string_view::npos; });
}

std::string DeviceModel::StatusMessage(Clock::time_point now) const {
    std::string message = "*";
    for (const char letter : order_) message += Field(letter, now);
    message += '\n';
    return message;
}

std::string DeviceModel::DiscoveryReply() const {
    return "VELKAN:M" + model_ + "R" + serial_ + "\n";
}

RequestKind DeviceModel::Apply(std::string_view line) {
    if (line == "*s?\n") return RequestKind::StatusQuery;
    if (line == "*p1\n" || line == "*p0\n") {
        active_ = line[2] == '1';
        return RequestKind::Mode;
    }
    if (line.size() == 6 && line.starts_with("*m=") && line[5] == '\n') {
        const int high = HexDigit(line[3]);
        const int low = HexDigit(line[4]);
        if (high < 0 || low < 0) return RequestKind::Unknown;
        SetChannelMask(static_cast<std::uint8_t>(high * 16 + low));
        return RequestKind::Mask;
    }
    return RequestKind::Unknown;
}

void DeviceModel::SetChannelFault(int channel, ChannelFault kind, bool present) {
    if (channel < 1 || channel > MaxChannels) return;
    std::uint8_t& flags = channelFaults_[static_cast<int>(kind)];
    flags = present ? (flags | Bit(channel - 1)) : (flags & ~Bit(channel - 1));
}

void DeviceModel::SetSupplyFault(int rail, bool present) {
    if (rail < 0 || rail > 3) return;
    supplyFaults_ = present ? (supplyFaults_ | Bit(rail)) : (supplyFaults_ & ~Bit(rail));
}

void DeviceModel::ClearFaults() {
    std::fill(std::begin(channelFaults_), std::end(channelFaults_), 0);
    supplyFaults_ = 0;
}

void DeviceModel::SetChannelMask(std::uint8_t mask) {
    // A real amplifier cannot switch on an output it does not have.
    mask_ = static_cast<std::uint8_t>(mask & (Bit(channels_) - 1));
}

void DeviceModel::SetOperatingMinutes(std::int32_t minutes, Clock::time_point now) {
    minutesBase_ = minutes;
    minutesSince_ = now;
}

bool DeviceModel::SetFieldOrder(const std::string& order) {
    if (!IsFieldOrder(order)) return false;
    order_ = order;
    return true;
}

std::string DeviceModel::Field(char letter, Clock::time_point now) const {
    const auto faults = [this](ChannelFault kind) { return ChannelFlags(static_cast<int>(kind)); };
    switch (letter) {
        case 'M':
            return letter + model_;
        case 'R':
            return letter + serial_;
        case 'P':
            return std::string(1, letter) + (active_ ? '1' : '0');
        case 'V':
            return letter + SupplyFlags();
        case 'A':
            return letter + OnFlags();
        case 'D':
            return letter + faults(ChannelFault::Channel);
        case 'T':
            return letter + faults(ChannelFault::Temperature);
        case 'F':
            return letter + faults(ChannelFault::Fan);
        case 'C':
            return letter + faults(ChannelFault::Current);
        case 'H':
            return letter + Minutes(now);
        default:
            return {};
    }
}

// Channel fields run from channel 7 down to channel 1; absent channels read healthy.
std::string DeviceModel::ChannelFlags(int kind) const {
    std::string flags(MaxChannels, '1');
    for (int ch = 1; ch <= channels_; ++ch) {
        if (channelFaults_[kind] & Bit(ch - 1)) flags[MaxChannels - ch] = '0';
    }
    return flags;
}

std::string DeviceModel::OnFlags() const {
    std::string flags(MaxChannels, '0');
    for (int ch = 1; ch <= channels_; ++ch) {
        if (mask_ & Bit(ch - 1)) flags[MaxChannels - ch] = '1';
    }
    return flags;
}

std::string DeviceModel::SupplyFlags() const {
    std::string flags(4, '1');
    for (int rail = 0; rail < 4; ++rail) {
        if (supplyFaults_ & Bit(rail)) flags[rail] = '0';
    }
    return flags;
}

// Eight characters, sign included, so the counter saturates rather than widen the field.
std::string DeviceModel::Minutes(Clock::time_point now) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::minutes>(now - minutesSince_);
    const long long value =
        std::clamp(static_cast<long long>(minutesBase_) + elapsed.count(), -9999999LL, 99999999LL);
    char text[24];
    if (value < 0) {
        std::snprintf(text, sizeof text, "-%07lld", -value);
    } else {
        std::snprintf(text, sizeof text, "%08lld", value);
    }
    return text;
}

}  // namespace devsim
