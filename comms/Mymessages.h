#pragma once

#include <cstdint>

// Window message identifiers and the thread event codes they carry.
constexpr std::uint32_t WM_UDPTHREAD = 0x8309;
constexpr std::uint32_t WM_TCPTHREAD = 0x830A;
constexpr std::uint32_t WM_STATUSDLGCLOSED = 0x830B;
constexpr std::uint32_t WM_APPLYCONFIG = 0x830C;
constexpr std::uint32_t WM_SMTPRESULT = 0x830D;
// A webhook delivery ended: its WebhookOutcome in wParam, its job id in lParam.
constexpr std::uint32_t WM_WEBHOOKRESULT = 0x830E;

enum ThreadEvent : std::uint16_t {
    EvStarted = 1,
    EvEnded = 2,
    EvError = 3,
    EvReceived = 4,
    EvReplyTimeout = 5,
    EvConnected = 6,
    EvConnectTimeout = 7,
    EvLost = 8,
};

// WM_TCPTHREAD: the event code in the low half of wParam, the device id in the high half.
constexpr std::uint32_t TcpThreadWParam(std::uint16_t deviceId, std::uint16_t code) {
    return (static_cast<std::uint32_t>(deviceId) << 16) | code;
}
// WM_TCPTHREAD's lParam with EvConnected: the link is one more of a series of short-lived
// links whose first was reported already, so it is not worth an entry of its own until it
// lives (the thread then reports EvConnected again without this flag).
constexpr std::uint32_t TcpLinkInSeries = 1;

// WM_UDPTHREAD: wParam holds the code and the first two address bytes, lParam the last two
// address bytes and the model code.
constexpr std::uint32_t UdpThreadWParam(std::uint16_t code, const std::uint8_t* addr = nullptr) {
    if (addr == nullptr) return code;
    return code | (static_cast<std::uint32_t>(addr[0]) << 16) |
           (static_cast<std::uint32_t>(addr[1]) << 24);
}
constexpr std::uint32_t UdpThreadLParam(const std::uint8_t* addr, std::uint8_t modelCode) {
    return static_cast<std::uint32_t>(addr[2]) | (static_cast<std::uint32_t>(addr[3]) << 8) |
           (static_cast<std::uint32_t>(modelCode) << 16);
}
// The sender's four address bytes of a WM_UDPTHREAD message, first byte first.
inline void UdpThreadAddress(std::uint32_t wParam, std::uint32_t lParam, std::uint8_t* addr) {
    addr[0] = static_cast<std::uint8_t>(wParam >> 16);
    addr[1] = static_cast<std::uint8_t>(wParam >> 24);
    addr[2] = static_cast<std::uint8_t>(lParam);
    addr[3] = static_cast<std::uint8_t>(lParam >> 8);
}
constexpr std::uint8_t UdpThreadModel(std::uint32_t lParam) {
    return static_cast<std::uint8_t>(lParam >> 16);
}

// WM_APPLYCONFIG: device id, mode (1 Active, 0 Standby) and channel mask.
constexpr std::uint32_t ApplyConfigWParam(std::uint16_t deviceId, std::uint8_t active,
                                          std::uint8_t mask) {
    return deviceId | (static_cast<std::uint32_t>(active) << 16) |
           (static_cast<std::uint32_t>(mask) << 24);
}
