#include "platform/PrintableText.h"

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

unsigned char At(std::string_view text, std::size_t i) {
    return static_cast<unsigned char>(text[i]);
}

void AppendEscaped(std::string& out, unsigned char byte) {
    out += "\\x";
    out += HexDigits[byte >> 4];
    out += HexDigits[byte & 15];
}

// The length of the well-formed UTF-8 sequence (RFC 3629) that starts at i; 0 for none.
std::size_t SequenceLength(std::string_view text, std::size_t i) {
    const unsigned char lead = At(text, i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;   // the second byte's range; overlong forms and surrogates
    unsigned char high = 0xBF;  // are outside it
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    if (length == 0 || i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char c = At(text, i + k);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

bool IsC0OrDel(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool IsC1(std::string_view text, std::size_t i, std::size_t length) {
    return length == 2 && At(text, i) == 0xC2 && At(text, i + 1) <= 0x9F;
}

}  // namespace

std::string PrintableText(std::string_view text, std::string_view keep) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = At(text, i);
        const std::size_t length = SequenceLength(text, i);
        const bool kept = keep.find(static_cast<char>(c)) != std::string_view::npos;
        if (length == 0 || (IsC0OrDel(c) && !kept)) {
            AppendEscaped(out, c);
            ++i;
        } else if (IsC1(text, i, length)) {
            AppendEscaped(out, c);
            AppendEscaped(out, At(text, i + 1));
            i += 2;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}
