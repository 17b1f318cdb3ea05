// Delivery through TLS and with sign-in, against Debian's aiosmtpd with a test certificate
// authority made for the run: STARTTLS, TLS from the first byte, AUTH PLAIN and LOGIN, and
// every way the client must refuse to go on. Stalls and Stop in the handshake against a
// scripted server.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>

#include "integration/SmtpSink.h"
#include "notify/SmtpClientThread.h"
#include "support/QueueTarget.h"
#include "support/ScriptedSmtpPeer.h"
#include "support/SmtpTestDialogue.h"

namespace {

using namespace std::chrono_literals;
using P = ScriptedSmtpPeer;

const std::string Host = "127.0.0.1";
const std::string User = "alarm@site.test";
const std::string Password = "c0rrect h\xC3\xB6rse";  // a blank and a non-ASCII letter
const std::string Sender = "monitor@site.test";
const std::array<std::string, 3> To = {"tech1@example.com", "", "tech3@example.org"};

bool UnderCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

// The servers of the suite, made once: the certificates take a while.
enum class ServerKind {
    Full,       // STARTTLS required, AUTH PLAIN and LOGIN offered only once encrypted, and TLS
                // from the first byte on a second port; certificate for 127.0.0.1 and localhost
    LoginOnly,  // as Full, AUTH LOGIN only
    Plain,      // no TLS, no sign-in
    OtherName,  // STARTTLS, certificate for another name
};

struct Servers {
    smtpsink::Certificates certs{{"127.0.0.1", "localhost"}};
    smtpsink::Certificates otherCerts{{"mail.other.test"}};
    std::unique_ptr<smtpsink::Server> full, loginOnly, plain, otherName;

    static std::vector<std::string> Options(const smtpsink::Certificates& c,
                                            std::vector<std::string> more) {
        std::vector<std::string> options = c.ServeOptions();
        options.insert(options.end(), more.begin(), more.end());
        return options;
    }
    Servers() {
        const std::vector<std::string> auth = {"--user", User, "--password", Password};
        auto with = [&](std::vector<std::string> a) {
            a.insert(a.end(), auth.begin(), auth.end());
            return a;
        };
        full = std::make_unique<smtpsink::Server>(
            Host, Options(certs, with({"--starttls", "--implicit", "--auth", "PLAIN,LOGIN"})));
        loginOnly = std::make_unique<smtpsink::Server>(
            Host, Options(certs, with({"--starttls", "--auth", "LOGIN"})));
        plain = std::make_unique<smtpsink::Server>(Host);
        otherName = std::make_unique<smtpsink::Server>(Host, Options(otherCerts, {"--starttls"}));
    }
    // The CA that signed the server's certificate: the user's CA file for that server.
    const smtpsink::Certificates& CertsOf(ServerKind kind) const {
        return kind == ServerKind::OtherName ? otherCerts : certs;
    }
    smtpsink::Server& Of(ServerKind kind) {
        switch (kind) {
            case ServerKind::Full:
                return *full;
            case ServerKind::LoginOnly:
                return *loginOnly;
            case ServerKind::Plain:
                return *plain;
            case ServerKind::OtherName:
                return *otherName;
        }
        return *full;
    }
};

class SmtpTlsTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (smtpsink::AiosmtpdInstalled()) servers_ = new Servers;
    }
    static void TearDownTestSuite() {
        delete servers_;
        servers_ = nullptr;
    }
    void SetUp() override {
        if (!servers_) {
            if (UnderCi()) FAIL() << "python3-aiosmtpd is missing for /usr/bin/python3";
            GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
        }
        ASSERT_TRUE(servers_->certs.Made() && servers_->otherCerts.Made())
            << "python3-trustme could not make the test certificates";
        for (auto kind :
             {ServerKind::Full, ServerKind::LoginOnly, ServerKind::Plain, ServerKind::OtherName}) {
            ASSERT_TRUE(servers_->Of(kind).Running()) << "a test SMTP server did not start";
        }
    }
    static Servers* servers_;
};
Servers* SmtpTlsTest::servers_ = nullptr;

struct TlsCase {
    const char* name;
    ServerKind server;
    bool implicitPort;  // the server's TLS-from-the-first-byte port
    const char* host;   // as the user typed it
    SmtpSecurity security;
    bool caFile;  // the test CA as the user's CA file
    const char* password;
    SmtpResult result;
    const char* reason;  // what FailureReason must contain
    const char* signIn;  // how the server saw the sign-in, for a stored mail
};

const char* const Right = "";  // stands for the right password
const TlsCase TlsCases[] = {
    {"StartTlsAndPlain", ServerKind::Full, false, "127.0.0.1", SmtpSecurity::StartTls, true, Right,
     SmtpOk, "", "PLAIN"},
    // The server offers sign-in only after STARTTLS: the client must greet again to see it.
    {"SignInOfferedOnlyOnceEncrypted", ServerKind::LoginOnly, false, "127.0.0.1",
     SmtpSecurity::StartTls, true, Right, SmtpOk, "", "LOGIN"},
    {"ImplicitTlsOnItsOwnPort", ServerKind::Full, true, "127.0.0.1", SmtpSecurity::Tls, true, Right,
     SmtpOk, "", "PLAIN"},
    {"CertificateNameCheckedForATypedHostName", ServerKind::Full, false, "localhost",
     SmtpSecurity::StartTls, true, Right, SmtpOk, "", "PLAIN"},
    {"WrongPassword", ServerKind::Full, false, "127.0.0.1", SmtpSecurity::StartTls, true, "wrong",
     SmtpSignInRefused, "535", nullptr},
    {"WrongPasswordWithLogin", ServerKind::LoginOnly, false, "127.0.0.1", SmtpSecurity::StartTls,
     true, "wrong", SmtpSignInRefused, "535", nullptr},
    // The same relay without its CA file: the system's store does not know the test CA.
    {"UntrustedCertificate", ServerKind::Full, false, "127.0.0.1", SmtpSecurity::StartTls, false,
     Right, SmtpCertificateRejected, "local issuer", nullptr},
    {"UntrustedCertificateFromTheFirstByte", ServerKind::Full, true, "127.0.0.1", SmtpSecurity::Tls,
     false, Right, SmtpCertificateRejected, "local issuer", nullptr},
    {"CertificateForAnotherName", ServerKind::OtherName, false, "127.0.0.1", SmtpSecurity::StartTls,
     true, Right, SmtpCertificateRejected, "mismatch", nullptr},
    {"CertificateForAnotherHostName", ServerKind::OtherName, false, "localhost",
     SmtpSecurity::StartTls, true, Right, SmtpCertificateRejected, "mismatch", nullptr},
    {"StartTlsNotOffered", ServerKind::Plain, false, "127.0.0.1", SmtpSecurity::StartTls, true,
     Right, SmtpStartTlsNotOffered, "", nullptr},
    {"TlsSpokenToAPlainServer", ServerKind::Plain, false, "127.0.0.1", SmtpSecurity::Tls, true,
     Right, SmtpTlsHandshakeFailed, "", nullptr},
    {"SignInWithoutEncryption", ServerKind::Full, false, "127.0.0.1", SmtpSecurity::None, true,
     Right, SmtpSignInNotEncrypted, "", nullptr},
};

void PrintTo(const TlsCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpTlsCaseTest : public SmtpTlsTest, public testing::WithParamInterface<TlsCase> {};

TEST_P(SmtpTlsCaseTest, DeliversOnlyThroughAVerifiedConnectionAndAnAcceptedSignIn) {
    const TlsCase& c = GetParam();
    smtpsink::Server& server = servers_->Of(c.server);
    CSmtpClient client(0, nullptr, 0);
    ASSERT_EQ(
        client.SetServer(c.host, c.implicitPort ? server.ImplicitPortText() : server.PortText()),
        SmtpOk);
    ASSERT_EQ(client.SetSender(Sender, "AVLO Monitor"), SmtpOk);
    ASSERT_EQ(client.SetRecipients(To[0], To[1], To[2]), SmtpOk);
    ASSERT_EQ(client.SetSubject("AVLO alert: S/N 1234"), SmtpOk);
    ASSERT_EQ(client.SetBody("Amplifier fault\r\n\xC2\xB7 Channel 3: protect\r\n.end"), SmtpOk);
    ASSERT_EQ(client.SetSecurity(c.security, c.caFile ? servers_->CertsOf(c.server).Ca() : ""),
              SmtpOk);
    ASSERT_EQ(client.SetSignIn(User, *c.password ? c.password : Password), SmtpOk);
    const int storedBefore = server.Stored();

    EXPECT_EQ(client.Send(true), c.result);
    EXPECT_NE(client.FailureReason().find(c.reason), std::string::npos)
        << "reason: " << client.FailureReason();
    EXPECT_EQ(client.FailureReason().find(Password), std::string::npos);
    if (c.result != SmtpOk) {
        EXPECT_EQ(server.Stored(), storedBefore) << "a mail went out after a failure";
        return;
    }
    const int n = storedBefore + 1;
    const auto path = server.WaitMessage(n, 10s);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(server.SignIn(n), std::string(c.signIn) + " " + User);
    EXPECT_EQ(server.Envelope(n), (std::vector<std::string>{Sender, To[0], To[2]}));
    // Headers and body as a plain delivery gives them.
    auto f = smtpsink::Parse(*path);
    ASSERT_FALSE(f.empty()) << "the mail parser could not read the stored message";
    EXPECT_EQ(f["defects"], "0") << f["defect-list"];
    EXPECT_EQ(f["from-name"], "AVLO Monitor");
    EXPECT_EQ(f["from-address"], Sender);
    EXPECT_EQ(f["to"], To[0] + "," + To[2]);
    EXPECT_EQ(f["subject"], "AVLO alert: S/N 1234");
    EXPECT_EQ(f["charset"], "utf-8");
    EXPECT_EQ(f["body"], "Amplifier fault\r\n\xC2\xB7 Channel 3: protect\r\n.end\r\n");
    EXPECT_EQ(
        f["header-names"],
        "FROM,TO,SUBJECT,Date,Message-ID,MIME-Version,Content-Type,Content-Transfer-Encoding");
}

INSTANTIATE_TEST_SUITE_P(Cases, SmtpTlsCaseTest, testing::ValuesIn(TlsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmtpTlsTest, ACaFileThatCannotBeReadEndsTheDeliveryAndSaysWhy) {
    CSmtpClient client(0, nullptr, 0);
    ASSERT_EQ(client.SetServer(Host, servers_->full->PortText()), SmtpOk);
    ASSERT_EQ(client.SetSender(Sender, "AVLO Monitor"), SmtpOk);
    ASSERT_EQ(client.SetRecipients(To[0], "", ""), SmtpOk);
    ASSERT_EQ(client.SetSecurity(SmtpSecurity::StartTls, "/nonexistent/site-ca.pem"), SmtpOk);
    EXPECT_EQ(client.Send(true), SmtpTlsHandshakeFailed);
    EXPECT_NE(client.FailureReason().find("/nonexistent/site-ca.pem"), std::string::npos)
        << client.FailureReason();
}

// Against a scripted server: what the client sends when it must not go on, and how long it
// waits for a server that stalls in the handshake.
class SmtpTlsScriptedTest : public testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> next{0};
        peer_ = std::make_unique<ScriptedSmtpPeer>("127.0.91." + std::to_string(2 + next++ % 250));
        ASSERT_TRUE(peer_->Listening());
        ASSERT_EQ(client_.SetHostNameSource(smtptest::TestHostName), SmtpOk);
        ASSERT_EQ(client_.SetServer(peer_->Address(), peer_->PortText()), SmtpOk);
        ASSERT_EQ(client_.SetSender(Sender, "AVLO Monitor"), SmtpOk);
        ASSERT_EQ(client_.SetRecipients(To[0], "", ""), SmtpOk);
        ASSERT_EQ(client_.SetSecurity(SmtpSecurity::StartTls), SmtpOk);
        ASSERT_EQ(client_.SetSignIn(User, Password), SmtpOk);
    }
    // Greets, answers EHLO with `extensions` and, when it offers STARTTLS, takes it.
    static P::Script UpToStartTls(const std::string& extensions) {
        return {P::Reply("220 peer.example ready"), P::Expect("EHLO " + smtptest::HostName),
                P::Send("250-peer.example\r\n" + extensions + "\r\n")};
    }
    std::unique_ptr<ScriptedSmtpPeer> peer_;
    CSmtpClient client_{0, nullptr, 0};
};

TEST_F(SmtpTlsScriptedTest, WithoutStartTlsOfferedNothingButEhloIsSentAndNoPasswordEver) {
    // Sign-in offered in the clear: taking it would give the password away.
    P::Script script = UpToStartTls("250 AUTH PLAIN LOGIN");
    script.push_back(P::Silent(1500));
    peer_->Serve(script);
    EXPECT_EQ(client_.Send(true), SmtpStartTlsNotOffered);
    ASSERT_TRUE(peer_->WaitFinished(10s));
    EXPECT_EQ(peer_->Get(0).lines, std::vector<std::string>{"EHLO " + smtptest::HostName});
    EXPECT_EQ(peer_->Failures(), std::vector<std::string>{});
}

TEST_F(SmtpTlsScriptedTest, AServerThatStallsInTheHandshakeIsCutOffByTheReplyLimit) {
    P::Script script = UpToStartTls("250 STARTTLS");
    script.push_back(P::Expect("STARTTLS"));
    script.push_back(P::Reply("220 go ahead"));
    script.push_back(P::Silent(CSmtpClient::ReplyWaitMs + 3000));
    peer_->Serve(script);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client_.Send(true), SmtpReplyTimeout);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(CSmtpClient::ReplyWaitMs - 100));
    EXPECT_LT(took, std::chrono::milliseconds(CSmtpClient::ReplyWaitMs + 2000));
}

TEST_F(SmtpTlsScriptedTest, StopEndsADeliveryInTheHandshakeAtOnce) {
    QueueTarget target;
    CSmtpClient posting(0x830D, &target, 7);
    ASSERT_EQ(posting.SetServer(peer_->Address(), peer_->PortText()), SmtpOk);
    ASSERT_EQ(posting.SetSender(Sender, "AVLO Monitor"), SmtpOk);
    ASSERT_EQ(posting.SetRecipients(To[0], "", ""), SmtpOk);
    ASSERT_EQ(posting.SetSecurity(SmtpSecurity::Tls), SmtpOk);
    // TLS from the first byte: the client's hello is the first thing it sends.
    peer_->Serve({P::Silent(8000)});
    ASSERT_EQ(posting.Send(false), SmtpOk);
    ASSERT_TRUE(peer_->WaitAccepted(1, 5s));
    std::this_thread::sleep_for(300ms);
    const auto stopped = std::chrono::steady_clock::now();
    posting.Stop();
    const auto result = target.WaitFor([](const QueueTarget::Message&) { return true; }, 2s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->Code(), SmtpStopped);
    EXPECT_EQ(result->lParam, 7u);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 500ms);
}

// A security value that names no mode (a damaged or hand-edited setting, a caller's slip):
// the client refuses it itself, before any connection, even after a valid mode was set, and
// whatever the server offers, the password never goes out in the clear.
class SmtpUnknownSecurityTest : public SmtpTlsScriptedTest,
                                public testing::WithParamInterface<int> {};

TEST_P(SmtpUnknownSecurityTest, IsRefusedAndNoCredentialsEverReachTheServer) {
    EXPECT_EQ(client_.SetSecurity(static_cast<SmtpSecurity>(GetParam())), SmtpBadSecurity);
    // A server that offers sign-in in the clear and listens to whatever comes.
    peer_->Serve({P::Reply("220 peer.example ready"), P::Expect("*"),
                  P::Reply("250-peer.example\r\n250 AUTH PLAIN LOGIN"), P::Silent(1500)});
    EXPECT_EQ(client_.Send(true), SmtpBadSecurity);
    EXPECT_FALSE(peer_->WaitAccepted(1, 300ms)) << "the client connected all the same";
    for (const std::string& line : peer_->Get(0).lines) {
        EXPECT_NE(line.rfind("AUTH", 0), 0u) << "sent in the clear: " << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Values, SmtpUnknownSecurityTest, testing::Values(3, 7, -1),
                         [](const auto& info) {
                             return info.param < 0 ? "Minus" + std::to_string(-info.param)
                                                   : std::to_string(info.param);
                         });

}  // namespace
