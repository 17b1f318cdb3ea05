#pragma once

#include <QApplication>

#include "monitoring/MonitorEntry.h"
#include "platform/StartupOptions.h"

// The application object of the program with windows; see TCatchingApplication.
using CMonitorApplication = TCatchingApplication<QApplication>;

// The program's life from the single-instance check to the end of the event loop: the window,
// or with --headless the monitor without any (RunHeadless). Returns the process's exit
// status: 0 after a normal end, non-zero after an error.
int RunProgram(const StartupOptions& options, int& argc, char** argv);

// The program's name as the desktop knows it (session manager, notifications, settings).
void NameApplication();
