#pragma once

#include <netinet/in.h>

#include <atomic>
#include <string>

#include "notify/SmtpProtocol.h"

class CEvent;

// Finds the IPv4 address of the SMTP server at `host`:`port` (a numeric port). An address
// typed as such is read at once; a name goes to the system's resolver on a look-up thread of
// its own, while the delivery waits for its answer or for `abort`. A name server that never
// answers holds the resolver for its whole time-out (several times over with several
// servers), and the end of the program must not wait for that: on `abort` the delivery
// leaves the look-up behind, and its answer, when it comes, is dropped.
// SmtpOk with `address` filled, SmtpHostNotFound, or SmtpStopped.
SmtpResult ResolveSmtpServer(const std::string& host, const std::string& port, CEvent& abort,
                             const std::atomic<bool>& stop, sockaddr_in& address);
