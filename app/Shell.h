#pragma once

#include <QString>
#include <vector>

// Hands a URL (web page, mailto: link, file) to the desktop's handler for it, as ShellExecute
// "open" did. Failures are ignored: there is nothing useful to tell the user beyond what the
// desktop already shows.
void OpenUrl(const QString& url);

// The maker's home page, opened from the Help menu, the notification area's menu and the
// about box.
inline constexpr const char* HomePageUrl = "https://www.example.com/avlo";

namespace ShellSeam {

// Tests: while on, OpenUrl launches nothing and records the URL text exactly as passed.
// Switching capture on or off forgets what was recorded.
void Capture(bool on);
// What was recorded since the last call, oldest first.
std::vector<QString> TakeOpened();

}  // namespace ShellSeam
