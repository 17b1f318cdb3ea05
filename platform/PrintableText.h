#pragma once

#include <string>
#include <string_view>

// Text that came from a device or a server, made safe for a terminal, a log line, a mail
// header or a label: every C0 control (0x00-0x1F), DEL (0x7F), C1 control (U+0080-U+009F,
// the bytes C2 80 to C2 9F) and every byte that is not part of well-formed UTF-8 is written
// as "\xNN", NN being the byte in upper-case hex (a C1 control gives two: "\xC2\x9B").
// Controls listed in `keep` (say "\r\n\t" for a CSV field or a mail body) stay as they are.
//
// A backslash is left as it is. The result holds no control and no broken UTF-8, so writing
// it again changes nothing: each output can guard itself without escaping twice what an
// earlier layer already escaped, and names typed with a backslash read as typed. The price
// is that a device sending the four characters "\x1B" reads the same as one sending ESC;
// the raw bytes stay in the device record for comparison.
std::string PrintableText(std::string_view text, std::string_view keep = {});
