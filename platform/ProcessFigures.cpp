#include "platform/ProcessFigures.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace {

std::string ReadWhole(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<double> BootTimeSeconds() {
    std::istringstream stat(ReadWhole("/proc/stat"));
    std::string line;
    while (std::getline(stat, line)) {
        if (line.rfind("btime ", 0) != 0) continue;
        try {
            return std::stod(line.substr(6));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

double OpenDescriptors() {
    std::error_code error;
    double count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return count;
}

}  // namespace

std::optional<ProcessFigures> FiguresFromStat(const std::string& statLine, double ticksPerSecond,
                                              double pageBytes, double bootTimeSeconds) {
    // The command name in parentheses may hold spaces and parentheses of its own: the fields
    // start after the last closing one, with field 3 (the state) first.
    const std::size_t close = statLine.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream rest(statLine.substr(close + 1));
    std::vector<std::string> fields{std::istream_iterator<std::string>(rest),
                                    std::istream_iterator<std::string>()};
    const auto field = [&fields](std::size_t number) { return std::stod(fields.at(number - 3)); };
    try {
        ProcessFigures f;
        f.CpuSeconds = (field(14) + field(15)) / ticksPerSecond;
        f.StartTimeSeconds = bootTimeSeconds + field(22) / ticksPerSecond;
        f.VirtualBytes = field(23);
        f.ResidentBytes = field(24) * pageBytes;
        return f;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<ProcessFigures> ReadProcessFigures() {
    // The moment of boot does not move while the system runs.
    static const std::optional<double> boot = BootTimeSeconds();
    if (!boot) return std::nullopt;
    std::optional<ProcessFigures> f =
        FiguresFromStat(ReadWhole("/proc/self/stat"), static_cast<double>(sysconf(_SC_CLK_TCK)),
                        static_cast<double>(sysconf(_SC_PAGESIZE)), *boot);
    if (!f) return std::nullopt;
    f->OpenDescriptors = OpenDescriptors();
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        f->MaxDescriptors = static_cast<double>(limit.rlim_cur);
    return f;
}
