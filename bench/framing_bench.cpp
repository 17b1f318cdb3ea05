#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "comms/Data.h"
#include "comms/StatusFramer.h"
#include "protocol/Mca.h"

namespace {

const std::string kMsg = "*M03R12345678P1V1111A1111111D1111111T1111111F1111111C1111111H00012345\n";

// Framing throughput of the read routine's core: a stream of status messages with some
// noise, fed in reads of the given size, each valid frame stored as the thread stores it.
void BM_FrameStream(benchmark::State& state) {
    const std::size_t readSize = static_cast<std::size_t>(state.range(0));
    std::string stream;
    for (int i = 0; i < 200; ++i) stream += (i % 10 == 0 ? "noise" : "") + kMsg;
    CMca codec;
    CData store;
    CStatusFramer framer(codec);
    std::size_t frames = 0;
    const CStatusFramer::FrameSink sink = [&](const char* f, int len) {
        store.PutStatusMessage(1, f, len);
        ++frames;
    };
    for (auto _ : state) {
        std::size_t pos = 0;
        while (pos < stream.size()) {
            char* area = framer.FreeArea();
            const std::size_t n = std::min({readSize, stream.size() - pos,
                                            static_cast<std::size_t>(framer.FreeBytes())});
            std::memcpy(area, stream.data() + pos, n);
            pos += n;
            framer.Commit(static_cast<int>(n), sink);
        }
    }
    benchmark::DoNotOptimize(frames);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_FrameStream)->Arg(7)->Arg(71)->Arg(256);

}  // namespace
