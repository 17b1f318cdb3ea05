#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace devsim {

// Bytes as a terminal may show them: printable ASCII and the bytes in keep as they are, a
// newline as "\n", every other byte as "\xNN". What a simulated device sends can be hostile
// on purpose (a serial number with an escape sequence); the simulator's own printout, and a
// test's report of what it saw, must not act on it.
std::string ShownBytes(std::string_view bytes, std::string_view keep = {});

// "\xNN" (two hex digits, either case) as that byte and "\\" as one backslash; every other
// character as it is. Nothing for a backslash followed by anything else, so that a typing slip
// is refused rather than sent.
std::optional<std::string> DecodeByteEscapes(std::string_view text);

}  // namespace devsim
