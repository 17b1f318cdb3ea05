#pragma once

#include <string>

// Starting the program when the user logs on: the desktop's autostart entry
// avlo-monitor.desktop in $XDG_CONFIG_HOME/autostart (~/.config/autostart when the variable is
// unset or not an absolute path). Desktops that follow the XDG autostart rules start every
// entry of that folder at log-on.

// The entry's full path; empty when no settings folder can be told (no home folder).
std::string AutostartEntryPath();

// The Exec value that starts exactly `path` without arguments: the path itself when it holds
// nothing the desktop-entry format reserves, else quoted and escaped as that format requires.
std::string DesktopExecValue(const std::string& path);

// The whole entry that starts the program at `executablePath`.
std::string AutostartEntryText(const std::string& executablePath);

// Writes the entry (on) or removes it (off); an entry that is already gone is no error.
// Returns false when the step failed; failure (when given) then says what went wrong.
bool SetRunAtLogon(bool on, const std::string& executablePath, std::string* failure = nullptr);
