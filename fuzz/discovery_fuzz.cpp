// Discovery datagrams from anyone on the network: recognising and parsing them must be safe
// for any bytes, and a parsed reply must carry a sane address, serial and model.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/Mca.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64) return 0;  // the discovery thread never receives more
    const std::string text(reinterpret_cast<const char*>(data), size);
    CMca codec;
    const int len = static_cast<int>(text.size());
    const std::uint8_t addr[4] = {127, 0, 0, 1};
    if (codec.IsDiscoveryReply(text.data(), len)) {
        (void)codec.ModelOf(text.data(), len);
        CMca::BcastData_Type out;
        if (codec.ParseDiscoveryReply(text.data(), len, addr, &out)) {
            if (out.IpAddress != "127.0.0.1" || out.Serial.size() > 8 || out.ModelCode > 4) std::abort();
        }
    }
    return 0;
}
