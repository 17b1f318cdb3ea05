#pragma once

#include <cstdint>

// Event ids as the message file defines them: the top two bits carry the severity, the low
// word the message number. notify/Eventlog.h re-exports them; they live here so that the
// sinks can name an event without depending on notify/.
constexpr std::uint32_t EV_DEVICE_REGISTERED = 0x40000004;
constexpr std::uint32_t EV_DEVICE_CONNECTED = 0x40000005;
constexpr std::uint32_t EV_DEVICE_CONNECTION_LOST = 0x80000006;
constexpr std::uint32_t EV_EMAIL_SENT = 0x00000007;
constexpr std::uint32_t EV_EMAIL_FAILED = 0xC0000008;
constexpr std::uint32_t EV_DEVICE_ALERT = 0xC0000009;
constexpr std::uint32_t EV_MONITOR_STARTED = 0x4000000A;
constexpr std::uint32_t EV_MONITOR_STOPPED = 0x4000000B;
// Something went wrong with the program itself rather than with a device or a mail: the
// settings file could not be read or saved, or an unexpected error ended the program.
constexpr std::uint32_t EV_MONITOR_ERROR = 0xC000000C;
// Where the e-mail sign-in password is kept (the desktop keyring, or the file beside the
// settings where there is none): said once a run, so that an administrator can find it.
constexpr std::uint32_t EV_EMAIL_PASSWORD_PLACE = 0x4000000D;
// A registered device answers from another address than before (DHCP gave it a new one), and
// a status query there carried its serial number: it is polled at the new address from now.
constexpr std::uint32_t EV_DEVICE_MOVED = 0x8000000E;
// More devices with new serial numbers answered one discovery request than a site sets up at
// once: forged replies, most likely. None of them was registered.
constexpr std::uint32_t EV_DISCOVERY_BURST = 0x8000000F;
// Someone signed in to the web service (by its form or with HTTP Basic), and a sign-in the
// service refused (a wrong name or password, or too many failed tries from one address).
constexpr std::uint32_t EV_WEB_SIGN_IN = 0x40000010;
constexpr std::uint32_t EV_WEB_SIGN_IN_REFUSED = 0x80000011;
// A monitored device from which no status has arrived for the hold time of the notifiable
// events (its connection is down, or it is connected but silent).
constexpr std::uint32_t EV_DEVICE_UNREACHABLE = 0x80000012;
// A technician muted a device's alerts (until a moment, or until unmuted), and the mute ended
// (it ran out, or somebody unmuted the device).
constexpr std::uint32_t EV_ALERTS_MUTED = 0x40000013;
constexpr std::uint32_t EV_ALERTS_UNMUTED = 0x40000014;
// An alert, notice or test went to a webhook target, and one that failed after its retries.
constexpr std::uint32_t EV_WEBHOOK_SENT = 0x40000015;
constexpr std::uint32_t EV_WEBHOOK_FAILED = 0xC0000016;
