#include <benchmark/benchmark.h>

#include <string>

#include "protocol/Mca.h"

namespace {

const std::string kMsg = "*M03R12345678P1V1111A1111111D1111111T1111111F1111111C1111111H00012345\n";

// What the monitor does with every status reply: validate the frame, then parse it.
void BM_ValidateAndParseStatus(benchmark::State& state) {
    CMca codec;
    DeviceStatus status;
    std::uint8_t model = 0;
    std::string serial;
    serial.reserve(16);
    for (auto _ : state) {
        const bool ok = codec.IsValidStatus(kMsg.data(), static_cast<int>(kMsg.size())) &&
                        codec.ParseStatus(kMsg.data(), static_cast<int>(kMsg.size()), status, model, serial);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(status);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValidateAndParseStatus);

void BM_ParseDiscoveryReply(benchmark::State& state) {
    CMca codec;
    const std::string reply = "VELKAN:M02R00001234\n";
    const std::uint8_t addr[4] = {127, 0, 0, 2};
    CMca::BcastData_Type out;
    for (auto _ : state) {
        const bool ok = codec.IsDiscoveryReply(reply.data(), static_cast<int>(reply.size())) &&
                        codec.ParseDiscoveryReply(reply.data(), static_cast<int>(reply.size()), addr, &out);
        benchmark::DoNotOptimize(ok);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseDiscoveryReply);

}  // namespace
