// The log and dialog texts of every e-mail outcome.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "notify/EmailOutcome.h"
#include "support/EmailOutcomeCases.h"

namespace {

using emailoutcome::Fields;
using emailoutcome::kCases;
using emailoutcome::OutcomeCase;

TEST(EmailOutcomeTexts, EveryOutcome) {
    for (const OutcomeCase& c : kCases) {
        EXPECT_EQ(EmailOutcomeLogText(c.outcome, Fields()), c.log) << c.outcome;
        EXPECT_EQ(EmailOutcomeDialogText(c.outcome, Fields()), c.dialog) << c.outcome;
    }
}

// The reason a delivery gives goes into the texts of the outcomes that have one.
TEST(EmailOutcomeTexts, TheDeliverysReasonIsNamed) {
    const struct {
        int outcome;
        const char* reason;
        const char* log;
        const char* dialog;
    } cases[] = {
        {SmtpCertificateRejected, "certificate has expired",
         "The certificate of mail.example.com SMTP server is not trusted: certificate has "
         "expired.\r\n",
         "The certificate of the e-mail server \"mail.example.com\" is not trusted:\r\n"
         "certificate has expired.\r\nCheck the name of the SMTP server, or add the certificate "
         "of your own certificate authority in the server security settings, then try again."},
        {SmtpTlsHandshakeFailed, "wrong version number",
         "The secure connection with mail.example.com SMTP server via port 2525 failed: wrong "
         "version number.\r\n",
         "The application could not establish a secure connection with\r\n"
         "\"mail.example.com\" SMTP server via port 2525:\r\nwrong version number.\r\n"
         "Check the security setting and the port number of the SMTP server, then try again."},
        {SmtpSignInRefused, "535 5.7.8 Authentication credentials invalid",
         "The SMTP server mail.example.com refused the user name or password: 535 5.7.8 "
         "Authentication credentials invalid.\r\n",
         "The e-mail server refused the user name or password:\r\n535 5.7.8 Authentication "
         "credentials invalid.\r\nCheck the user name and password in the server security "
         "settings, then try again."},
        // The older outcomes keep their texts whatever a delivery said.
        {SmtpReplyTimeout, "anything", "The network subsystem has failed.\r\n",
         "The e-mail server did not respond within the allowed time.\r\nCheck the network "
         "connection, then try again."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome);
        EmailFields f = Fields();
        f.reason = c.reason;
        EXPECT_EQ(EmailOutcomeLogText(c.outcome, f), c.log);
        EXPECT_EQ(EmailOutcomeDialogText(c.outcome, f), c.dialog);
    }
}

TEST(EmailOutcomeTexts, DisclaimerIsExactAndUtf8) {
    const std::string d = EmailDisclaimer;
    EXPECT_EQ(d.size(), 550u);
    EXPECT_EQ(d.rfind("\r\n______________________________\r\nIMPORTANT / DISCLAIMER\r\n\xC2\xB7 "
                      "The information",
                      0),
              0u);
    EXPECT_EQ(d.substr(d.size() - 20), "electronic defect.\r\n");
    std::size_t bullets = 0;
    for (std::size_t pos = d.find("\xC2\xB7"); pos != std::string::npos;
         pos = d.find("\xC2\xB7", pos + 1))
        ++bullets;
    EXPECT_EQ(bullets, 4u);
}

}  // namespace
