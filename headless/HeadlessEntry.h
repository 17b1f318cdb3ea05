#pragma once

#include "platform/StartupOptions.h"

// The headless monitor's life from the single-instance check to the end of the shutdown:
// the core under a QCoreApplication with the headless reporter; no window, no display.
int RunHeadless(const StartupOptions& options, int& argc, char** argv);
