#include <gtest/gtest.h>

#include <string>

#include "platform/PrintableText.h"

using namespace std::string_literals;

namespace {

struct Case {
    const char* what;
    std::string text;
    std::string keep;
    std::string printable;
};

const Case Cases[] = {
    {"plain text stays", "Amp 1 at 127.0.0.2", "", "Amp 1 at 127.0.0.2"},
    {"a terminal title sequence", "H1\x1B]0;owned\x07", "", "H1\\x1B]0;owned\\x07"},
    {"a clear-screen sequence", "\x1B[2JH2", "", "\\x1B[2JH2"},
    {"a NUL inside", "H\0003"s, "", "H\\x003"},
    {"DEL", "a\x7F", "", "a\\x7F"},
    {"line breaks and tabs", "a\r\nb\tc", "", "a\\x0D\\x0Ab\\x09c"},
    {"kept controls stay, others do not", "a\r\nb\tc\x1B", "\r\n\t", "a\r\nb\tc\\x1B"},
    {"C1 CSI as UTF-8",
     "x\xC2\x9B"
     "2J",
     "", "x\\xC2\\x9B2J"},
    {"C1 NEL as UTF-8", "\xC2\x85", "", "\\xC2\\x85"},
    {"no-break space and middle dot stay", "\xC2\xA0\xC2\xB7", "", "\xC2\xA0\xC2\xB7"},
    {"three- and four-byte characters stay", "\xE2\x82\xAC \xF0\x9F\x94\x8A", "",
     "\xE2\x82\xAC \xF0\x9F\x94\x8A"},
    {"a lone C1 byte",
     "a\x9B"
     "b",
     "", "a\\x9Bb"},
    {"a character cut short at the end", "a\xE2\x82", "", "a\\xE2\\x82"},
    {"an overlong NUL", "\xC0\x80", "", "\\xC0\\x80"},
    {"a surrogate half", "\xED\xA0\x80", "", "\\xED\\xA0\\x80"},
    {"above U+10FFFF", "\xF4\x90\x80\x80", "", "\\xF4\\x90\\x80\\x80"},
    {"a backslash stays", "Rack\\x1B", "", "Rack\\x1B"},
    {"empty", "", "", ""},
};

TEST(PrintableText, EscapesEveryControlAndBrokenByte) {
    for (const Case& c : Cases) {
        EXPECT_EQ(PrintableText(c.text, c.keep), c.printable) << c.what;
    }
}

// Several layers guard the same text (an event line, then the log); the second must not
// escape the first one's escapes again.
TEST(PrintableText, WritingItAgainChangesNothing) {
    for (const Case& c : Cases) {
        const std::string once = PrintableText(c.text);
        EXPECT_EQ(PrintableText(once), once) << c.what;
    }
}

}  // namespace
