#pragma once

#include "platform/StartupOptions.h"

// The program's life from the single-instance check to the end of the event loop.
int RunProgram(const StartupOptions& options, int& argc, char** argv);
