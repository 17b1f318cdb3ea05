#pragma once

#include <cstdint>
#include <string>

#include "protocol/DeviceStatus.h"

// The requests the monitor sends to a device.
enum RequestKind : int {
    StatusQuery = 0,
    SetActive = 1,
    SetStandby = 2,
    SetChannels = 4,
};

// The device protocol codec: the only place that knows the bytes on the wire. It holds
// nothing but the protocol's constant texts, so every operation is a pure function of its
// arguments and each thread may use its own instance freely.
class CMca {
public:
    // A registered device, as the device table holds it; defined with the table, since it
    // owns the device's connection thread.
    struct DeviceDescr_Type;

    // A parsed discovery reply.
    struct BcastData_Type {
        std::string IpAddress;  // the sender's IPv4 address, dotted decimal
        std::string Serial;
        std::uint8_t ModelCode = 0;
    };

    CMca();

    // "*s?\n", "*p1\n", "*p0\n", or for SetChannels only the prefix "*m=";
    // any other kind gives the empty text.
    std::string RequestText(int kind) const;
    std::string DiscoveryRequest() const;

    int FindStart(const char* buf, int len) const;  // first '*', or -1
    int FindEnd(const char* buf, int len) const;    // first '\n', or -1

    bool IsValidStatus(const char* buf, int len) const;
    bool IsDiscoveryReply(const char* buf, int len) const;

    // addr: the sender's four address bytes, first byte first.
    bool ParseDiscoveryReply(const char* buf, int len, const std::uint8_t* addr,
                             BcastData_Type* out) const;
    std::uint8_t ModelOf(const char* buf, int len) const;
    bool ParseStatus(const char* buf, int len, DeviceStatus& status, std::uint8_t& modelCode,
                     std::string& serial) const;

    // True when the status shows no fault; fills the 8-flag fault summary when given.
    bool EvaluateCondition(const DeviceStatus& status, std::uint8_t* faults = nullptr) const;
    const char* ModelName(std::uint8_t modelCode) const;
    std::uint8_t ChannelMask(const std::uint8_t on[7]) const;

private:
    std::string modelTexts_[4];
    std::string standby_, active_, statusQuery_, channelsPrefix_;
    std::string discoveryRequest_, replyPrefix_;
};
