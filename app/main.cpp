#include <cstdio>
#include <string>
#include <vector>

#include "headless/UserCommands.h"
#include "history/EventQuery.h"
#include "platform/StartupOptions.h"
#ifdef AVLO_WITH_WINDOWS
#include "app/ProgramEntry.h"
#else
#include "headless/HeadlessEntry.h"
#endif

namespace {

std::string HelpText() {
#ifdef AVLO_WITH_WINDOWS
    return StartupHelpText();
#else
    return StartupHelpText() +
           "\nThis build has no windows: it always runs headless, as with --headless.\n";
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    StartupOptions options = ParseStartupOptions(args, ExecutablePath());
    if (!options.error.empty()) {
        std::fprintf(stderr, "avlo-monitor: %s\n\n%s", options.error.c_str(), HelpText().c_str());
        return 2;
    }
    if (options.showHelp) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    if (options.showVersion) {
        std::printf("AVLO Monitor %s\n", AVLO_VERSION);
        return 0;
    }
    // A question to the history, asked from a terminal of a site without a display and while
    // the monitor runs: no application object, no window, no lock.
    if (options.events) return RunEventQuery(options, stdout, stderr);
    // The web service's accounts, kept up from the same terminal, also while the monitor runs.
    if (WantsUserCommand(options)) return RunUserCommand(options, stdin, stdout, stderr);
#ifdef AVLO_WITH_WINDOWS
    return RunProgram(options, argc, argv);
#else
    options.headless = true;
    return RunHeadless(options, argc, argv);
#endif
}
