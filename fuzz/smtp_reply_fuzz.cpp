// A mail server's replies, as any server might send them, in any pieces: the reader must never
// read outside what it was given, must give the same replies however the bytes are split,
// and must not grow without bound on a reply that never ends.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "notify/SmtpProtocol.h"

namespace {

std::vector<int> Replies(const std::string& bytes, std::size_t piece) {
    CSmtpReplyReader reader;
    std::vector<int> codes;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t n = std::min(piece, bytes.size() - at);
        const std::string chunk = bytes.substr(at, n);  // exact-size heap copy
        reader.Add(chunk.data(), chunk.size());
        int code = 0;
        while (reader.TakeReply(code)) {
            if (code != -1 && (code < 0 || code > 999)) std::abort();
            codes.push_back(code);
        }
    }
    return codes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 8192) return 0;
    // The first byte chooses how the rest arrives.
    const std::size_t piece = 1 + data[0] % 17;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::vector<int> whole = Replies(bytes, bytes.size() + 1);
    if (whole != Replies(bytes, piece)) std::abort();
    return 0;
}
