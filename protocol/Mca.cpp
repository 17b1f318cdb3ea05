#include "protocol/Mca.h"

#include <string_view>

namespace {

constexpr std::size_t ChannelFieldWidth = 7;
constexpr std::size_t SupplyFieldWidth = 4;
constexpr std::size_t SerialWidth = 8;
constexpr std::size_t MinutesWidth = 8;

std::string_view View(const char* buf, int len) {
    if (buf == nullptr || len <= 0) return {};
    return {buf, static_cast<std::size_t>(len)};
}

// The value that follows the first occurrence of letter, at most width characters;
// npos in found when the letter does not occur.
std::string_view FieldAfter(std::string_view text, char letter, std::size_t width,
                            std::size_t& found) {
    found = text.find(letter);
    if (found == std::string_view::npos) return {};
    return text.substr(found + 1, width);
}

bool IsFlag(char c) { return c == '0' || c == '1'; }

// Reads a field of 0/1 characters; channel fields are stored last character first.
bool DecodeFlags(std::string_view value, std::size_t width, bool reversed, std::uint8_t* out) {
    for (std::size_t k = 0; k < width; ++k) {
        const std::size_t pos = reversed ? width - 1 - k : k;
        if (pos >= value.size() || !IsFlag(value[pos])) return false;
        out[k] = static_cast<std::uint8_t>(value[pos] - '0');
    }
    return true;
}

bool ExtractFlags(std::string_view text, char letter, std::size_t width, bool reversed,
                  std::uint8_t* out) {
    std::size_t found;
    const std::string_view value = FieldAfter(text, letter, width, found);
    return found != std::string_view::npos && DecodeFlags(value, width, reversed, out);
}

// The A field: a serial number that begins with "A" ("RA...") would otherwise be taken for it.
bool ExtractChannelOn(std::string_view text, std::uint8_t* out) {
    std::size_t found = text.find('A');
    if (found == std::string_view::npos) return false;
    if (found > 0 && text[found - 1] == 'R') {
        found = text.find('A', found + 1);
        if (found == std::string_view::npos) return false;
    }
    return DecodeFlags(text.substr(found + 1, ChannelFieldWidth), ChannelFieldWidth, true, out);
}

bool ParseMinutes(std::string_view value, std::int32_t& out) {
    out = 0;
    if (value.size() != MinutesWidth) return false;
    std::size_t pos = 0;
    bool negative = false;
    if (value[0] == '-' || value[0] == '+') {
        negative = value[0] == '-';
        pos = 1;
    }
    if (pos == value.size()) return false;
    std::int64_t n = 0;
    for (; pos < value.size(); ++pos) {
        if (value[pos] < '0' || value[pos] > '9') return false;
        n = n * 10 + (value[pos] - '0');
    }
    out = static_cast<std::int32_t>(negative ? -n : n);
    return true;
}

}  // namespace

CMca::CMca()
    : modelTexts_{"00", "01", "02", "03"},
      standby_("*p0\n"),
      active_("*p1\n"),
      statusQuery_("*s?\n"),
      channelsPrefix_("*m="),
      discoveryRequest_("VELKAN\n"),
      replyPrefix_("VELKAN:") {}

std::string CMca::RequestText(int kind) const {
    switch (kind) {
        case StatusQuery: return statusQuery_;
        case SetActive: return active_;
        case SetStandby: return standby_;
        case SetChannels: return channelsPrefix_;
        default: return {};
    }
}

std::string CMca::DiscoveryRequest() const { return discoveryRequest_; }

int CMca::FindStart(const char* buf, int len) const {
    const std::size_t pos = View(buf, len).find('*');
    return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

int CMca::FindEnd(const char* buf, int len) const {
    const std::size_t pos = View(buf, len).find('\n');
    return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

bool CMca::IsValidStatus(const char* buf, int len) const {
    const std::string_view text = View(buf, len);
    if (text.empty() || text[0] != '*') return false;
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    for (const char letter : std::string_view("MRPVATCDFH")) {
        const std::size_t pos = text.find(letter);
        if (pos == std::string_view::npos || pos > end) return false;
    }
    return true;
}

bool CMca::IsDiscoveryReply(const char* buf, int len) const {
    const std::string_view text = View(buf, len);
    return text.starts_with(replyPrefix_) && text.find('M') != std::string_view::npos &&
           text.find('R') != std::string_view::npos && text.find('\n') != std::string_view::npos;
}

std::uint8_t CMca::ModelOf(const char* buf, int len) const {
    std::size_t found;
    const std::string_view value = FieldAfter(View(buf, len), 'M', 2, found);
    if (found == std::string_view::npos) return ModelUnknown;
    for (int code = 0; code < 4; ++code) {
        if (value == modelTexts_[code]) return static_cast<std::uint8_t>(code + 1);
    }
    return ModelUnknown;
}

namespace {

bool ExtractModel(const CMca& codec, std::string_view text, std::uint8_t& model) {
    if (text.find('M') == std::string_view::npos) return false;
    model = codec.ModelOf(text.data(), static_cast<int>(text.size()));
    return true;
}

bool ExtractSerial(std::string_view text, std::string_view prefix, std::string& serial) {
    if (text.find(prefix) != std::string_view::npos) text.remove_prefix(prefix.size());
    std::size_t found;
    const std::string_view value = FieldAfter(text, 'R', SerialWidth, found);
    if (found == std::string_view::npos) return false;
    serial.assign(value);
    return true;
}

}  // namespace

bool CMca::ParseDiscoveryReply(const char* buf, int len, const std::uint8_t* addr,
                               BcastData_Type* out) const {
    if (buf == nullptr || len <= 0 || addr == nullptr || out == nullptr) return false;
    out->ModelCode = 0;
    out->IpAddress.clear();
    out->Serial.clear();
    const std::string_view text = View(buf, len);
    if (!ExtractModel(*this, text, out->ModelCode)) return false;
    if (!ExtractSerial(text, replyPrefix_, out->Serial)) return false;
    out->IpAddress = std::to_string(addr[0]) + '.' + std::to_string(addr[1]) + '.' +
                     std::to_string(addr[2]) + '.' + std::to_string(addr[3]);
    return true;
}

bool CMca::ParseStatus(const char* buf, int len, DeviceStatus& status, std::uint8_t& modelCode,
                       std::string& serial) const {
    const std::string_view text = View(buf, len);
    if (text.empty()) return false;
    if (!ExtractModel(*this, text, modelCode)) return false;
    if (!ExtractSerial(text, replyPrefix_, serial)) return false;

    std::size_t found;
    const std::string_view mode = FieldAfter(text, 'P', 1, found);
    if (found == std::string_view::npos || mode.size() != 1 || !IsFlag(mode[0])) return false;
    status.Mode = static_cast<std::uint8_t>(mode[0] - '0');

    if (!ExtractFlags(text, 'V', SupplyFieldWidth, false, status.SupplyOk)) return false;
    if (!ExtractChannelOn(text, status.ChannelOn)) return false;
    if (!ExtractFlags(text, 'D', ChannelFieldWidth, true, status.ChannelOk)) return false;
    if (!ExtractFlags(text, 'T', ChannelFieldWidth, true, status.TempOk)) return false;
    if (!ExtractFlags(text, 'F', ChannelFieldWidth, true, status.FanOk)) return false;
    if (!ExtractFlags(text, 'C', ChannelFieldWidth, true, status.CurrentOk)) return false;

    const std::string_view minutes = FieldAfter(text, 'H', MinutesWidth, found);
    if (found == std::string_view::npos) return false;
    return ParseMinutes(minutes, status.OperatingMinutes);
}

bool CMca::EvaluateCondition(const DeviceStatus& status, std::uint8_t* faults) const {
    std::uint8_t flags[FaultFlagCount] = {};
    for (int ch = 0; ch < 7; ++ch) {
        if (status.ChannelOk[ch] == 0) flags[FaultChannel] = 1;
        if (status.TempOk[ch] == 0) flags[FaultTemperature] = 1;
        if (status.FanOk[ch] == 0) flags[FaultFan] = 1;
        if (status.CurrentOk[ch] == 0) flags[FaultCurrent] = 1;
    }
    for (int rail = 0; rail < 4; ++rail) {
        if (status.SupplyOk[rail] == 0) flags[FaultMinus5V + rail] = 1;
    }
    bool ok = true;
    for (int i = 0; i < FaultFlagCount; ++i) {
        if (faults) faults[i] = flags[i];
        if (flags[i]) ok = false;
    }
    return ok;
}

const char* CMca::ModelName(std::uint8_t modelCode) const {
    switch (modelCode) {
        case ModelRV10: return "RV10";
        case ModelRV11: return "RV11";
        case ModelRV12: return "RV12";
        case ModelRV13: return "RV13";
        default: return "Unknown";
    }
}

std::uint8_t CMca::ChannelMask(const std::uint8_t on[7]) const {
    std::uint8_t mask = 0;
    for (int i = 0; i < 7; ++i) {
        if (on[i] == 1) mask = static_cast<std::uint8_t>(mask | (1u << i));
    }
    return mask;
}
