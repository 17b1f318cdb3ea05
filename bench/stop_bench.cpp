#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "comms/Data.h"
#include "comms/TcpCommsThread.h"

namespace {

using Clock = std::chrono::steady_clock;

// A listening socket on a loopback address that accepts and otherwise keeps quiet, so the
// thread sits in its idle read wait.
struct QuietDevice {
    int listener = -1;
    QuietDevice() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(60002);
        inet_pton(AF_INET, "127.0.9.1", &addr.sin_addr);
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 64) != 0) {
            close(listener);
            listener = -1;
        }
    }
    ~QuietDevice() {
        if (listener >= 0) close(listener);
    }
};

// Time from Stop to the end of the thread (the destructor's join), while the thread is
// connected and waiting in its read phase, or retrying an address where nothing listens.
void StopToEnd(benchmark::State& state, const char* host) {
    CData store;
    for (auto _ : state) {
        state.PauseTiming();
        auto thread = std::make_unique<TTcpCommsThread>(store, "60002", host, nullptr, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // let it settle into its wait
        state.ResumeTiming();
        thread->Stop();
        thread.reset();
    }
}

void BM_StopWhileConnected(benchmark::State& state) {
    QuietDevice device;
    if (device.listener < 0) {
        state.SkipWithError("cannot listen on 127.0.9.1:60002");
        return;
    }
    StopToEnd(state, "127.0.9.1");
}
BENCHMARK(BM_StopWhileConnected)->Unit(benchmark::kMicrosecond)->Iterations(20)->UseRealTime();

void BM_StopWhileIdle(benchmark::State& state) { StopToEnd(state, "127.0.9.2"); }
BENCHMARK(BM_StopWhileIdle)->Unit(benchmark::kMicrosecond)->Iterations(20)->UseRealTime();

}  // namespace
