// One alert through STARTTLS with AUTH PLAIN to a local aiosmtpd (certificate authority made
// for the run), against curl --ssl-reqd sending the same message to the same server in the
// same run. Prints the medians of a fixed number of rounds and the ratio. Loopback only.
//
//   avlo_smtp_tls_bench [ROUNDS]   (default 20, at most 200)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "integration/SmtpSink.h"
#include "notify/SmtpClientThread.h"
#include "notify/SmtpMessage.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string Host = "127.0.0.1";
const std::string User = "alarm@site.test";
const std::string Password = "bench password";
const std::string Sender = "monitor@site.test";
const std::string Recipient = "tech1@example.com";
const std::string Subject = "AVLO alert: S/N 1234";
const std::string Body =
    "Amplifier fault\r\n\xC2\xB7 Channel 3: protect\r\n\xC2\xB7 Supply +72 V A: fault\r\n";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = std::clamp(argc > 1 ? std::atoi(argv[1]) : 20, 1, 200);
    if (!smtpsink::AiosmtpdInstalled()) {
        std::fprintf(stderr, "python3-aiosmtpd is not installed for /usr/bin/python3\n");
        return 2;
    }
    smtpsink::Certificates certs({Host});
    if (!certs.Made()) {
        std::fprintf(stderr, "python3-trustme could not make the certificates\n");
        return 2;
    }
    std::vector<std::string> options = certs.ServeOptions();
    for (const std::string& o :
         {std::string("--starttls"), std::string("--auth"), std::string("PLAIN"),
          std::string("--user"), User, std::string("--password"), Password}) {
        options.push_back(o);
    }
    smtpsink::Server server(Host, options);
    if (!server.Running()) {
        std::fprintf(stderr, "the SMTP server did not start\n");
        return 2;
    }

    // curl sends the very message the client composes.
    SmtpMessageFields fields;
    fields.userName = "AVLO Monitor";
    fields.sender = Sender;
    fields.recipients = {Recipient, "", ""};
    fields.subject = Subject;
    fields.date = std::time(nullptr);
    fields.messageId = MakeSmtpMessageId(Sender);
    char messagePath[] = "/tmp/avlo-bench-message-XXXXXX";
    const int fd = mkstemp(messagePath);
    if (fd < 0) return 2;
    close(fd);
    std::ofstream(messagePath, std::ios::binary)
        << BuildSmtpHeader(fields) << PrepareSmtpBody(Body) << "\r\n";

    std::vector<double> client, curlWall, curlOwn;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        CSmtpClient smtp(0, nullptr, 0);
        smtp.SetServer(Host, server.PortText());
        smtp.SetSender(Sender, "AVLO Monitor");
        smtp.SetRecipients(Recipient, "", "");
        smtp.SetSubject(Subject);
        smtp.SetBody(Body);
        smtp.SetSecurity(SmtpSecurity::StartTls, certs.Ca());
        smtp.SetSignIn(User, Password);
        const auto start = Clock::now();
        const SmtpResult result = smtp.Send(true);
        client.push_back(Ms(Clock::now() - start));
        failures += result == SmtpOk ? 0 : 1;

        const auto spawned = Clock::now();
        smtpsink::Child curl({"/usr/bin/curl",
                              "--silent",
                              "--show-error",
                              "--max-time",
                              "10",
                              "--url",
                              "smtp://" + Host + ":" + server.PortText(),
                              "--ssl-reqd",
                              "--cacert",
                              certs.Ca(),
                              "--user",
                              User + ":" + Password,
                              "--login-options",
                              "AUTH=PLAIN",
                              "--mail-from",
                              Sender,
                              "--mail-rcpt",
                              Recipient,
                              "--upload-file",
                              messagePath,
                              "--write-out",
                              "%{time_total}"});
        const std::string own = curl.Read(15s);
        const std::optional<int> exit = curl.Wait(15s);
        curlWall.push_back(Ms(Clock::now() - spawned));
        curlOwn.push_back(std::atof(own.c_str()) * 1000.0);
        failures += exit == 0 ? 0 : 1;
    }
    unlink(messagePath);
    const int stored = server.Stored();

    std::printf("rounds: %d, messages stored: %d of %d, failures: %d\n", rounds, stored, 2 * rounds,
                failures);
    std::printf("CSmtpClient, STARTTLS + AUTH PLAIN, one alert:    median %.2f ms\n",
                Median(client));
    std::printf("curl --ssl-reqd, same message, whole process:     median %.2f ms\n",
                Median(curlWall));
    std::printf("curl --ssl-reqd, its own time_total:              median %.2f ms\n",
                Median(curlOwn));
    std::printf("ratio client / curl process: %.2f; client / curl time_total: %.2f\n",
                Median(client) / Median(curlWall), Median(client) / Median(curlOwn));
    return failures == 0 && stored == 2 * rounds ? 0 : 1;
}
