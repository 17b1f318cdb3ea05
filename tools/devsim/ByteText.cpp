#include "tools/devsim/ByteText.h"

#include <cstdio>

namespace devsim {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string ShownBytes(std::string_view bytes, std::string_view keep) {
    std::string text;
    for (const char c : bytes) {
        if (keep.find(c) != std::string_view::npos) {
            text += c;
        } else if (c == '\n') {
            text += "\\n";
        } else if (c >= 0x20 && c < 0x7F) {
            text += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X",
                          static_cast<unsigned>(static_cast<unsigned char>(c)));
            text += hex;
        }
    }
    return text;
}

std::optional<std::string> DecodeByteEscapes(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
                   HexValue(text[i + 3]) >= 0) {
            bytes += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return bytes;
}

}  // namespace devsim
