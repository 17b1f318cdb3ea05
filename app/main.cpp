#include <cstdio>
#include <string>
#include <vector>

#include "app/ProgramEntry.h"
#include "platform/StartupOptions.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const StartupOptions options = ParseStartupOptions(args, ExecutablePath());
    if (!options.error.empty()) {
        std::fprintf(stderr, "avlo-monitor: %s\n\n%s", options.error.c_str(), StartupHelpText().c_str());
        return 2;
    }
    if (options.showHelp) {
        std::fputs(StartupHelpText().c_str(), stdout);
        return 0;
    }
    if (options.showVersion) {
        std::printf("AVLO Monitor %s\n", AVLO_VERSION);
        return 0;
    }
    return RunProgram(options, argc, argv);
}
