#pragma once

#include <cstdio>

#include "platform/StartupOptions.h"

// Whether the command line asks for one of the account commands (--add-user, --remove-user,
// --list-users) instead of a run of the monitor.
bool WantsUserCommand(const StartupOptions& options);

// Manages the web service's accounts in the accounts file beside the settings file and returns
// the exit status: 0 done, 1 refused or failed (the reason on err). A new account's password
// comes from in: asked for twice without echo when it is a terminal, else its first line.
// A running monitor reads the file when its service starts.
int RunUserCommand(const StartupOptions& options, std::FILE* in, std::FILE* out, std::FILE* err);
