// Settings files as a disk, an editor or an attacker might leave them: parsing must never
// read outside the text, and what the program writes back must read back the same values
// (a save followed by a load never changes or loses a setting, and adds no line).
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/IniFile.h"

namespace {

struct Probe {
    std::string section;
    std::string key;
};

// Section and key names taken from the text itself, so that the round trip is checked on
// the entries the fuzzer actually made.
std::vector<Probe> ProbesOf(std::string_view text) {
    std::vector<Probe> probes;
    std::string section;
    std::size_t start = 0;
    while (start <= text.size() && probes.size() < 64) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close != std::string_view::npos) section = std::string(line.substr(1, close - 1));
        } else if (const std::size_t eq = line.find('='); eq != std::string_view::npos) {
            probes.push_back({section, std::string(line.substr(0, eq))});
        }
        start = end + 1;
    }
    return probes;
}

std::size_t Lines(const std::string& text) {
    std::size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16384) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const CIniFile first = CIniFile::Parse(text);
    const std::string saved = first.Serialize();
    const CIniFile second = CIniFile::Parse(saved);
    // Writing what was read back gives the same file again.
    if (second.Serialize() != saved) std::abort();
    for (const Probe& p : ProbesOf(text)) {
        if (first.Find(p.section, p.key) != second.Find(p.section, p.key)) std::abort();
        const std::int32_t a = first.ReadInteger(p.section, p.key, -7);
        if (a != second.ReadInteger(p.section, p.key, -7)) std::abort();
        (void)first.ReadBool(p.section, p.key, false);
    }
    // A value written by the program, whatever bytes it holds, adds one key line (and its
    // section's line when the section is new) and nothing else, and reads back as one value
    // that the next save keeps.
    CIniFile written = first;
    written.WriteString("Fuzz", "Value", text.substr(0, 256));
    const std::string out = written.Serialize();
    const std::size_t added = Lines(out) - Lines(saved);
    if (added != 1 && added != 2) std::abort();
    const CIniFile reread = CIniFile::Parse(out);
    const std::optional<std::string> value = reread.Find("Fuzz", "Value");
    if (!value || value->find_first_of("\r\n") != std::string::npos) std::abort();
    if (CIniFile::Parse(reread.Serialize()).Serialize() != reread.Serialize()) std::abort();
    return 0;
}
