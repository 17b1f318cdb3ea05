// Status messages as a device might send them, valid or not: validation and parsing must
// never read outside the buffer, and a parse that succeeds must give only 0/1 flags.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/Mca.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);  // exact-size heap copy
    CMca codec;
    const int len = static_cast<int>(text.size());
    (void)codec.IsValidStatus(text.data(), len);
    DeviceStatus status;
    std::uint8_t model = 0;
    std::string serial;
    if (codec.ParseStatus(text.data(), len, status, model, serial)) {
        const std::uint8_t* flags[] = {status.ChannelOn, status.ChannelOk, status.TempOk,
                                       status.FanOk, status.CurrentOk};
        for (const std::uint8_t* f : flags) {
            for (int i = 0; i < 7; ++i) {
                if (f[i] > 1) std::abort();
            }
        }
        if (status.Mode > 1 || model > 4 || serial.size() > 8) std::abort();
        (void)codec.EvaluateCondition(status);
    }
    return 0;
}
