#pragma once

#include <array>
#include <atomic>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "notify/SmtpProtocol.h"
#include "support/ScriptedSmtpPeer.h"

// Outcome names instead of numbers in test messages.
inline void PrintTo(SmtpResult result, std::ostream* os) {
    *os << SmtpResultName(result) << " (" << static_cast<int>(result) << ")";
}

// The texts of the dialogue tests and a script builder: a test names, in a few tokens, the
// commands the client must send, and the peer answers each with the reply the test chose.
namespace smtptest {

inline const std::string User = "Monitor";
// The host name the test clients are given for their HELO (see HostNameSource).
inline const std::string HostName = "monitor-pc.site.test";
inline const std::string Sender = "monitor@example.com";
inline const std::array<std::string, 3> Recipients = {"tech1@example.com", "tech2@example.com",
                                                      "tech3@example.com"};

// What a test client calls instead of the machine's own host name look-up.
inline std::string TestHostName() {
    return HostName;
}

struct Replies {
    std::string greeting = "220 peer.example ready";
    std::string helo = "250 peer.example";
    std::string rset = "250 reset";
    std::string mail = "250 sender ok";
    std::array<std::string, 3> rcpt = {"250 ok 1", "250 ok 2", "250 ok 3"};
    std::string data = "354 end with <CRLF>.<CRLF>";
    std::string end = "250 queued";
    std::string quit = "221 bye";
};

// The standard replies with the test's changes, for a table of cases.
inline Replies With(void (*change)(Replies&)) {
    Replies replies;
    change(replies);
    return replies;
}

inline std::vector<std::string> Tokens(const std::string& tokens) {
    std::istringstream in(tokens);
    std::vector<std::string> out;
    for (std::string token; in >> token;) out.push_back(token);
    return out;
}

inline int RecipientIndex(const std::string& token) {
    return token.size() == 2 && token[0] == 'R' ? token[1] - '1' : -1;
}

// The command line a token stands for; MSG (the message itself) has none.
inline std::string LineOf(const std::string& token) {
    if (token == "HELO") return "HELO " + HostName;
    if (token == "MAIL") return "MAIL FROM:<" + Sender + ">";
    const int r = RecipientIndex(token);
    if (r >= 0) return "RCPT TO:<" + Recipients[static_cast<std::size_t>(r)] + ">";
    return token;  // RSET, DATA, QUIT
}

// Tokens: HELO RSET MAIL R1 R2 R3 DATA MSG QUIT, in the order the client must send them.
inline std::vector<std::string> ExpectedLines(const std::string& tokens) {
    std::vector<std::string> lines;
    for (const std::string& token : Tokens(tokens)) {
        if (token != "MSG") lines.push_back(LineOf(token));
    }
    return lines;
}

inline std::string ReplyOf(const std::string& token, const Replies& replies) {
    if (token == "HELO") return replies.helo;
    if (token == "RSET") return replies.rset;
    if (token == "MAIL") return replies.mail;
    if (token == "DATA") return replies.data;
    if (token == "MSG") return replies.end;
    if (token == "QUIT") return replies.quit;
    return replies.rcpt[static_cast<std::size_t>(RecipientIndex(token))];
}

inline ScriptedSmtpPeer::Script BuildScript(const Replies& replies, const std::string& tokens) {
    using P = ScriptedSmtpPeer;
    P::Script script{P::Reply(replies.greeting)};
    for (const std::string& token : Tokens(tokens)) {
        script.push_back(token == "MSG" ? P::Data() : P::Expect(LineOf(token)));
        script.push_back(P::Reply(ReplyOf(token, replies)));
    }
    return script;
}

// The bytes of base64 text (an encoded-word's middle).
inline std::string DecodeBase64(const std::string& text) {
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        value = value << 6 | static_cast<unsigned>(digits.find(c));
        if ((bits += 6) >= 8) out += static_cast<char>((value >> (bits -= 8)) & 0xFF);
    }
    return out;
}

// A loopback address of its own for each peer of a test binary.
inline std::string NextPeerAddress() {
    static std::atomic<int> next{0};
    return "127.0.12." + std::to_string(2 + next++ % 250);
}

}  // namespace smtptest
