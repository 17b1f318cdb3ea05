#pragma once

// The log and dialog texts of every e-mail outcome for one fixed set of e-mail settings,
// written out in full: the outcome tests compare with these, never with texts the code
// under test builds.
#include <string>
#include <vector>

#include "notify/EmailOutcome.h"

namespace emailoutcome {

inline EmailFields Fields() {
    EmailFields f;
    f.server = "mail.example.com";
    f.port = "2525";
    f.userName = "tech";
    f.sender = "tech@example.com";
    f.recipient[0] = "r1@example.com";
    f.recipient[1] = "r2@example.com";
    f.recipient[2] = "r3@example.com";
    return f;
}

inline const std::string kNoConnectionLog =
    "AVLO Monitor could not establish connection with mail.example.com SMTP server via port "
    "2525.\r\n";
inline const std::string kNetwork = "The network subsystem has failed.\r\n";
inline const std::string kSendError = "An error occured while sending your e-mail.\r\nTry again.";
inline const std::string kSenderLog = "Invalid sender address 'tech@example.com'.\r\n";
inline const std::string kSenderDialog =
    "The e-mail server could not validate your e-mail address\r\n\"tech@example.com\".\r\nCheck "
    "your e-mail "
    "address, then try again.";
inline const std::string kOne =
    "The SMTP server could not send your e-mail to the following recipient:\r\n    ";
inline const std::string kMany =
    "The SMTP server could not send your e-mail to the following recipients:\r\n    ";
inline const std::string kTo = "The SMTP server could not send e-mail to ";

struct OutcomeCase {
    int outcome;
    std::string log;
    std::string dialog;
};

inline const std::vector<OutcomeCase> kCases = {
    {0, "", ""},
    {1, "", "Your e-mail has been sent."},
    {2, kNoConnectionLog,
     "The application could not establish connection with\r\n \"mail.example.com\" SMTP server via "
     "port 2525.\r\n"
     "Check the IP address of the SMTP server, then try again."},
    {3, kNoConnectionLog,
     "The application could not establish connection with\r\n \"mail.example.com\" SMTP server via "
     "port 2525.\r\n"
     "Check the port number of the SMTP server, then try again."},
    {4, "Invalid username 'tech'.\r\n",
     "The application could not establish connection with SMTP server.\r\nCheck your username, "
     "then try again."},
    {5, kSenderLog, kSenderDialog},
    {6, "Invalid destination address(es).\r\n",
     "The e-mail server could not validate the addresses of e-mail recipients.\r\nCheck e-mail "
     "addresses of "
     "recipients, then try again."},
    {7, "", ""},
    {8, kTo + "r1@example.com.\r\n", kOne + "r1@example.com."},
    {9, kTo + "r2@example.com.\r\n", kOne + "r2@example.com."},
    {10, kTo + "r3@example.com.\r\n", kOne + "r3@example.com."},
    {11, kTo + "r1@example.com and r2@example.com.\r\n",
     kMany + "r1@example.com\r\n    r2@example.com."},
    {12, kTo + "r1@example.com and r3@example.com.\r\n",
     kMany + "r1@example.com\r\n    r3@example.com."},
    {13, kTo + "r2@example.com and r3@example.com.\r\n",
     kMany + "r2@example.com\r\n    r3@example.com."},
    {14, kTo + "r1@example.com, r2@example.com, and r3@example.com.\r\n",
     kMany + "r1@example.com\r\n    r2@example.com\r\n    r3@example.com."},
    {15, kNoConnectionLog,
     "The application could not establish connection with \r\n\"mail.example.com\" SMTP server via "
     "port 2525.\r\n"
     "Check that the address of SMTP server is correct and that \r\nthis computer is connected to "
     "your Internet "
     "Service Provider."},
    {16, kNetwork, kSendError},
    {17, kNetwork, kSendError},
    {18, kNetwork, kSendError},
    {19, kNoConnectionLog,
     "The application could not establish connection with \r\n\"mail.example.com\" SMTP server via "
     "port 2525.\r\n"
     "Check your e-mail address and port number of the SMTP server, then try again."},
    {20, kNetwork,
     "The e-mail server did not respond within the allowed time.\r\nCheck the network connection, "
     "then try again."},
    {21, kNetwork, kSendError},
    {22, kNetwork,
     "The e-mail server could not send your e-mail.\r\nCheck the IP address of the SMTP server, "
     "then try again."},
    {23, kSenderLog, kSenderDialog},
    {24, kNetwork, kSendError},
    {25, kNetwork, kSendError},
    // Encryption and sign-in; without a reason from the delivery (see the test with one).
    {26,
     "The SMTP server mail.example.com via port 2525 does not offer an encrypted connection "
     "(STARTTLS); the e-mail was not sent unencrypted.\r\n",
     "The e-mail server \"mail.example.com\" does not offer an encrypted connection (STARTTLS) "
     "on port 2525.\r\nYour e-mail was not sent unencrypted. Check the security setting and the "
     "port number of the SMTP server, then try again."},
    {27, "The secure connection with mail.example.com SMTP server via port 2525 failed.\r\n",
     "The application could not establish a secure connection with\r\n\"mail.example.com\" "
     "SMTP server via port 2525.\r\nCheck the security setting and the port number of the SMTP "
     "server, then try again."},
    {28, "The certificate of mail.example.com SMTP server is not trusted.\r\n",
     "The certificate of the e-mail server \"mail.example.com\" is not trusted.\r\nCheck the "
     "name of the SMTP server, or add the certificate of your own certificate authority in the "
     "server security settings, then try again."},
    {29,
     "The SMTP server mail.example.com offers no sign-in method that AVLO Monitor supports "
     "(PLAIN, LOGIN).\r\n",
     "The e-mail server \"mail.example.com\" offers no sign-in method that the application "
     "supports.\r\nCheck the server security settings, then try again."},
    {30, "The SMTP server mail.example.com refused the user name or password.\r\n",
     "The e-mail server refused the user name or password.\r\nCheck the user name and password "
     "in the server security settings, then try again."},
    {31,
     "Sign-in to the SMTP server needs an encrypted connection: choose STARTTLS or SSL/TLS in "
     "the server security settings.\r\n",
     "Sign-in to the e-mail server needs an encrypted connection.\r\nChoose STARTTLS or SSL/TLS "
     "in the server security settings, then try again."},
    {32,
     "The security setting of the SMTP server is not valid: choose None, STARTTLS or SSL/TLS in "
     "the server security settings; the e-mail was not sent.\r\n",
     "The security setting of the e-mail server is not valid.\r\nChoose None, STARTTLS or "
     "SSL/TLS in the server security settings, then try again."},
    {33, "", ""},
    {-1, "", ""},
};

}  // namespace emailoutcome
