// A byte stream cut into reads at arbitrary points: the framer must hand over only frames
// that start with "*", end with their first "\n", fit the buffer and pass validation, and
// the same stream fed whole must give the same frames when no frame is longer than a read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comms/StatusFramer.h"
#include "protocol/Mca.h"

namespace {

std::vector<std::string> Frame(const std::uint8_t* data, std::size_t size, std::size_t cutSeed) {
    CMca codec;
    CStatusFramer framer(codec);
    std::vector<std::string> frames;
    const CStatusFramer::FrameSink sink = [&](const char* f, int len) {
        if (len < 1 || len > CStatusFramer::BufferBytes || f[0] != '*' || f[len - 1] != '\n' ||
            std::memchr(f, '\n', static_cast<std::size_t>(len - 1)) != nullptr ||
            !codec.IsValidStatus(f, len)) {
            std::abort();
        }
        frames.emplace_back(f, static_cast<std::size_t>(len));
    };
    std::size_t pos = 0;
    std::size_t seed = cutSeed;
    while (pos < size) {
        char* area = framer.FreeArea();
        std::size_t n = 1 + seed % 97;
        seed = seed * 1103515245u + 12345u;
        if (n > size - pos) n = size - pos;
        if (n > static_cast<std::size_t>(framer.FreeBytes())) n = static_cast<std::size_t>(framer.FreeBytes());
        std::memcpy(area, data + pos, n);
        pos += n;
        framer.Commit(static_cast<int>(n), sink);
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 8192) return 0;
    const std::size_t seed = data[0];
    const auto frames = Frame(data + 1, size - 1, seed);
    // With no run of 256 bytes without a frame end, the cut points cannot matter.
    const auto again = Frame(data + 1, size - 1, seed + 7);
    bool shortRuns = true;
    std::size_t run = 0;
    for (std::size_t i = 1; i < size; ++i) {
        run = data[i] == '\n' || data[i] == '*' ? 0 : run + 1;
        if (run >= 200) shortRuns = false;
    }
    if (shortRuns && size < 256 && frames != again) std::abort();
    return 0;
}
