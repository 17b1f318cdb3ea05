#pragma once

#include <string>
#include <vector>

// Starting the program when the user logs on: the desktop's autostart entry
// avlo-monitor.desktop in $XDG_CONFIG_HOME/autostart (~/.config/autostart when the variable is
// unset or not an absolute path). Desktops that follow the XDG autostart rules start every
// entry of that folder at log-on.

// The entry's full path; empty when no settings folder can be told (no home folder).
std::string AutostartEntryPath();

// The Exec value that passes `argument` as one argument: the argument itself when it holds
// nothing the desktop-entry format reserves, else quoted and escaped as that format requires.
std::string DesktopExecValue(const std::string& argument);

// The Exec value of a whole command line: each argument as above, separated by blanks.
std::string DesktopExecLine(const std::vector<std::string>& command);

// The whole entry that runs `command`: the program's full path, then its arguments.
std::string AutostartEntryText(const std::vector<std::string>& command);

// Writes the entry that runs `command` (on) or removes it (off); an entry that is already gone
// is no error. Returns false when the step failed; failure (when given) then says what went
// wrong.
bool SetRunAtLogon(bool on, const std::vector<std::string>& command,
                   std::string* failure = nullptr);
