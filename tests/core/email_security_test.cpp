// The secure e-mail settings of the core: the keys of the settings file, the password's
// store (keyring, or the file beside the settings where there is none), and alerts that go
// out through STARTTLS with sign-in to Debian's aiosmtpd, the password never written or
// logged anywhere.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "CoreFixture.h"
#include "integration/SmtpSink.h"

namespace {

using namespace std::chrono_literals;

const std::string Password = "c0rrect h\xC3\xB6rse";
const std::string User = "alarm@site.test";

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// As an administrator writes the password file by hand: for its user alone.
void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), 0600);
}

class EmailSecurityTest : public CoreFixture {
protected:
    EmailSecurityTest() : CoreFixture(92) {}

    std::string SecretPath() const { return options_.configPath + ".secret"; }
    // The store's answer to a Load, within a bound.
    bool LoadPassword(CPasswordStore& store) {
        bool loaded = false;
        const auto c =
            QObject::connect(&store, &CPasswordStore::Loaded, &store, [&loaded] { loaded = true; });
        store.Load();
        WaitUntil([&] { return loaded; }, 3000);
        QObject::disconnect(c);
        return loaded;
    }
    bool SavePassword(CPasswordStore& store, const std::string& password) {
        std::optional<bool> saved;
        const auto c = QObject::connect(&store, &CPasswordStore::Saved, &store,
                                        [&saved](bool ok, const QString&) { saved = ok; });
        store.Save(password);
        WaitUntil([&] { return saved.has_value(); }, 3000);
        QObject::disconnect(c);
        return saved.value_or(false);
    }
    std::vector<std::string> EventTexts(std::uint32_t id) const {
        std::vector<std::string> texts;
        for (const CapturedEvent& e : sink_.Events()) {
            if (e.id == id) texts.push_back(e.text.value_or(""));
        }
        return texts;
    }
    // Loads the password through the core and expects the file refused for the reason why:
    // no password, and a warning that names the file and the reason.
    void ExpectFileRefused(const std::string& why) {
        StartCore();
        CPasswordStore& store = core_->PasswordStore();
        ASSERT_TRUE(LoadPassword(store));
        EXPECT_EQ(store.Password(), "");
        EXPECT_EQ(store.Where(), CPasswordStore::Place::File);
        const std::string said =
            "The e-mail password file \"" + SecretPath() + "\" is not used: " + why + ".";
        EXPECT_EQ(store.PlaceText(), said);
        std::optional<CapturedEvent> logged;
        for (const CapturedEvent& e : sink_.Events()) {
            if (e.id == EV_EMAIL_PASSWORD_PLACE) logged = e;
        }
        ASSERT_TRUE(logged);
        EXPECT_EQ(logged->text, said);
        EXPECT_EQ(logged->type, EVENTLOG_WARNING_TYPE);
        StopCore();
    }
    void ExpectPasswordNowhere() {
        EXPECT_EQ(ReadConfig().find(Password), std::string::npos) << "the password is in the INI";
        for (const CapturedEvent& e : sink_.Events()) {
            EXPECT_EQ(e.text.value_or("").find(Password), std::string::npos)
                << "the password is in an event: " << e.text.value_or("");
        }
    }
};

// ---- the settings file ----

TEST_F(EmailSecurityTest, AFileWithoutTheNewKeysMeansPlainAnonymousDeliveryAndGainsThemLast) {
    WriteConfig("[Email]\r\nAlerts=1\r\nServerIp=mail.example.com\r\nEmail 3=\r\n");
    StartCore();
    const EmailSettings_Type& e = core_->EmailSettings;
    EXPECT_EQ(e.Security, 0);
    EXPECT_FALSE(e.SignIn);
    EXPECT_EQ(e.SignInUser, "");
    EXPECT_EQ(e.CaFile, "");
    EXPECT_EQ(keyring_->reads, 0) << "a run without sign-in asked the keyring";
    core_->SaveConfiguration();
    EXPECT_NE(ReadConfig().find("Email 3=\r\nSecurity=0\r\nSignIn=0\r\nSignInUser=\r\nCaFile=\r\n"
                                "[Options]"),
              std::string::npos)
        << ReadConfig();
}

TEST_F(EmailSecurityTest, TheNewKeysAreReadAndWrittenBack) {
    const struct {
        const char* file;
        int security;
        bool signIn;
        const char* written;
    } cases[] = {
        {"Security=2\r\nSignIn=1\r\nSignInUser=alarm@site.test\r\nCaFile=/etc/site/ca.pem\r\n", 2,
         true,
         "Security=2\r\nSignIn=1\r\nSignInUser=alarm@site.test\r\nCaFile=/etc/site/ca.pem\r\n"},
        {"Security=1\r\n", 1, false, "Security=1\r\nSignIn=0\r\nSignInUser=\r\nCaFile=\r\n"},
        // A mode this version does not know is the plain delivery, not a guess.
        {"Security=7\r\n", 0, false, "Security=0\r\nSignIn=0\r\nSignInUser=\r\nCaFile=\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        WriteConfig(std::string("[Email]\r\n") + c.file);
        StartCore();
        EXPECT_EQ(core_->EmailSettings.Security, c.security);
        EXPECT_EQ(core_->EmailSettings.SignIn, c.signIn);
        core_->SaveConfiguration();
        EXPECT_NE(ReadConfig().find(std::string("Email 3=\r\n") + c.written), std::string::npos)
            << ReadConfig();
        StopCore();
    }
}

// ---- the password's store ----

TEST_F(EmailSecurityTest, WithoutAKeyringThePasswordGoesToAFileOnlyTheUserCanRead) {
    StartCore();
    CPasswordStore& store = core_->PasswordStore();
    ASSERT_TRUE(SavePassword(store, Password));
    EXPECT_EQ(store.Where(), CPasswordStore::Place::File);
    EXPECT_EQ(FileText(SecretPath()), Password);  // as it is, no line end
    struct stat st {};
    ASSERT_EQ(stat(SecretPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Said once where it is kept, with the file's path.
    const auto said = EventTexts(EV_EMAIL_PASSWORD_PLACE);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find(SecretPath()), std::string::npos) << said[0];
    ASSERT_TRUE(SavePassword(store, "second"));
    EXPECT_EQ(EventTexts(EV_EMAIL_PASSWORD_PLACE).size(), 1u);
    // Atomically: no temporary left beside it.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Path(""))) {
        entries += entry.path().string().starts_with(SecretPath()) ? 1 : 0;
    }
    EXPECT_EQ(entries, 1);

    CPasswordStore again(options_.configPath, std::make_unique<FakeKeyring>(keyring_));
    ASSERT_TRUE(LoadPassword(again));
    EXPECT_EQ(again.Password(), "second");
    ExpectPasswordNowhere();
}

TEST_F(EmailSecurityTest, AHandWrittenFileLosesOnlyItsOneFinalLineEnd) {
    const struct {
        const char* written;
        const char* password;
    } cases[] = {
        {"pw", "pw"}, {"pw\n", "pw"}, {"pw\r\n", "pw"}, {"pw\n\n", "pw\n"}, {" p w \n", " p w "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        WriteText(SecretPath(), c.written);
        CPasswordStore store(options_.configPath, std::make_unique<FakeKeyring>(keyring_));
        ASSERT_TRUE(LoadPassword(store));
        EXPECT_EQ(store.Password(), c.password);
        EXPECT_EQ(store.Where(), CPasswordStore::Place::File);
    }
}

// A password file that others may read has given the password away; one they may change,
// one of theirs or a link chooses what is sent as the password. None is used, and the log
// says why instead of calling it private.
TEST_F(EmailSecurityTest, APasswordFileOthersCanReachOrALinkIsNotUsed) {
    const std::string elsewhere = Path("elsewhere.secret");
    WriteText(elsewhere, "from a link");
    const struct {
        mode_t mode;  // 0: a link to a private file
        const char* why;
    } cases[] = {
        {0644, "other users can read or change it (mode 0644); only its owner may (chmod 600)"},
        {0640, "other users can read or change it (mode 0640); only its owner may (chmod 600)"},
        {0602, "other users can read or change it (mode 0602); only its owner may (chmod 600)"},
        {0, "it is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        std::filesystem::remove(SecretPath());
        if (c.mode == 0) {
            ASSERT_EQ(symlink(elsewhere.c_str(), SecretPath().c_str()), 0);
        } else {
            WriteText(SecretPath(), "pw\n");
            ASSERT_EQ(chmod(SecretPath().c_str(), c.mode), 0);
        }
        ExpectFileRefused(c.why);
    }
}

// CI runs as root, which can give a file away; elsewhere the case needs that right.
TEST_F(EmailSecurityTest, APasswordFileOfAnotherUserIsNotUsed) {
    WriteText(SecretPath(), "pw\n");
    if (chown(SecretPath().c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "cannot give a file to user 65534 (needs root): " << std::strerror(errno);
    }
    ExpectFileRefused("it belongs to another user (uid 65534)");
}

TEST_F(EmailSecurityTest, WithAKeyringThePasswordIsKeptThereAndNoFileRemains) {
    keyring_->available = true;
    WriteText(SecretPath(), "old password from a time without a keyring");
    CPasswordStore store(options_.configPath, std::make_unique<FakeKeyring>(keyring_));
    ASSERT_TRUE(SavePassword(store, Password));
    EXPECT_EQ(store.Where(), CPasswordStore::Place::Keyring);
    EXPECT_EQ(keyring_->entries[options_.configPath], Password);
    EXPECT_FALSE(std::filesystem::exists(SecretPath()));

    CPasswordStore again(options_.configPath, std::make_unique<FakeKeyring>(keyring_));
    ASSERT_TRUE(LoadPassword(again));
    EXPECT_EQ(again.Password(), Password);
    EXPECT_EQ(again.Where(), CPasswordStore::Place::Keyring);
}

TEST_F(EmailSecurityTest, AKeyringThatNeverAnswersGivesWayToTheFile) {
    keyring_->available = true;
    keyring_->answers = false;
    WriteText(SecretPath(), "from the file\n");
    CPasswordStore store(options_.configPath, std::make_unique<FakeKeyring>(keyring_));
    store.SetKeyringWaitMs(200);
    ASSERT_TRUE(LoadPassword(store));
    EXPECT_EQ(store.Password(), "from the file");
}

// ---- alerts through STARTTLS with sign-in ----

class EmailSecurityDeliveryTest : public EmailSecurityTest {
protected:
    void SetUp() override {
        EmailSecurityTest::SetUp();
        if (!smtpsink::AiosmtpdInstalled()) {
            const char* ci = std::getenv("CI");
            if (ci && std::string(ci) == "true") FAIL() << "python3-aiosmtpd is missing";
            GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
        }
        certs_ = std::make_unique<smtpsink::Certificates>(std::vector<std::string>{"127.0.0.1"});
        ASSERT_TRUE(certs_->Made());
        std::vector<std::string> options = certs_->ServeOptions();
        for (const char* o : {"--starttls", "--auth", "PLAIN,LOGIN", "--user"})
            options.push_back(o);
        options.push_back(User);
        options.push_back("--password");
        options.push_back(Password);
        server_ = std::make_unique<smtpsink::Server>("127.0.0.1", options);
        ASSERT_TRUE(server_->Running());
        WriteConfig(
            "[Email]\r\nAlerts=1\r\nServerIp=127.0.0.1\r\nServerPort=" + server_->PortText() +
            "\r\nUserName=AVLO Monitor\r\nUserEmail=monitor@site.test\r\n"
            "Email 1=tech1@example.com\r\nEmail 2=\r\nEmail 3=\r\nSecurity=1\r\n"
            "SignIn=1\r\nSignInUser=" +
            User + "\r\nCaFile=" + certs_->Ca() + "\r\n");
    }
    void TearDown() override {
        EmailSecurityTest::TearDown();
        server_.reset();
        certs_.reset();
    }
    std::unique_ptr<smtpsink::Certificates> certs_;
    std::unique_ptr<smtpsink::Server> server_;
};

TEST_F(EmailSecurityDeliveryTest, TheTestEmailSignsInWithThePasswordFromTheFile) {
    WriteText(SecretPath(), Password + "\n");
    StartCore();
    ASSERT_TRUE(SendTestEmail());
    const auto shown = WaitShownOutcomes(15000);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].outcome, SmtpOk) << shown[0].Dialog();
    ASSERT_TRUE(server_->WaitMessage(1, 5s).has_value());
    EXPECT_EQ(server_->SignIn(1), "PLAIN " + User);
    core_->SaveConfiguration();
    ExpectPasswordNowhere();
}

// The keyring keeps its answer back for a while: the e-mail waits for the password instead
// of going out without it, and counts as on its way meanwhile.
TEST_F(EmailSecurityDeliveryTest, AnEmailStartedBeforeThePasswordIsReadWaitsForIt) {
    WriteText(SecretPath(), Password);
    keyring_->available = true;
    keyring_->answers = false;
    keyringWaitMs_ = 700;
    StartCore();
    ASSERT_TRUE(SendTestEmail());
    EXPECT_TRUE(testEmailBusy_);
    EXPECT_TRUE(core_->TestEmailInFlight());
    const auto shown = WaitShownOutcomes(15000);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].outcome, SmtpOk) << shown[0].Dialog();
    EXPECT_EQ(server_->SignIn(1), "PLAIN " + User);
}

TEST_F(EmailSecurityDeliveryTest, AWrongPasswordIsLoggedWithTheServersWordsAndNotTheOnesSent) {
    WriteText(SecretPath(), "not " + Password);
    StartCore();
    ASSERT_TRUE(SendTestEmail());
    const auto shown = WaitShownOutcomes(15000);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].outcome, SmtpSignInRefused);
    EXPECT_EQ(shown[0].Dialog(),
              "The e-mail server refused the user name or password:\r\n535 5.7.8 Authentication "
              "credentials invalid.\r\nCheck the user name and password in the server security "
              "settings, then try again.");
    const auto failed = EventTexts(EV_EMAIL_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_TRUE(
        failed[0].starts_with("[30] The SMTP server 127.0.0.1 refused the user name or "
                              "password: 535 5.7.8 Authentication credentials invalid."
                              "\r\n\r\n\nTo : tech1@example.com,,"))
        << failed[0];
    EXPECT_EQ(server_->Stored(), 0);
    for (const CapturedEvent& e : sink_.Events()) {
        EXPECT_EQ(e.text.value_or("").find("not " + Password), std::string::npos);
    }
}

}  // namespace
