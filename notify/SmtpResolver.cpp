#include "notify/SmtpResolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Event.h"
#include "platform/ThreadName.h"
#include "platform/Wait.h"

namespace {

// One look-up, shared by the delivery and the look-up thread: whichever lets go of it last
// frees it, so a delivery that has given up never leaves the thread writing into freed memory.
struct Lookup {
    Lookup(std::string h, std::string p) : host(std::move(h)), port(std::move(p)) {}
    const std::string host;
    const std::string port;
    CEvent done;
    std::mutex mutex;
    bool found = false;  // under mutex, as address
    sockaddr_in address{};
};

bool Resolve(const std::string& host, const std::string& port, int flags, sockaddr_in& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    addrinfo* addresses = nullptr;
    const bool found = getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) == 0 &&
                       addresses && addresses->ai_addrlen >= sizeof address;
    if (found) std::memcpy(&address, addresses->ai_addr, sizeof address);
    if (addresses) freeaddrinfo(addresses);
    return found;
}

void RunLookup(const std::shared_ptr<Lookup>& lookup) {
    sockaddr_in address{};
    const bool found = Resolve(lookup->host, lookup->port, 0, address);
    {
        std::lock_guard lock(lookup->mutex);
        lookup->found = found;
        lookup->address = address;
    }
    lookup->done.Set();
}

// Starts the look-up thread; false when no thread can be made (the caller then looks up
// the name itself, as it did before there was a thread for it).
bool StartLookup(const std::shared_ptr<Lookup>& lookup) {
    if (!lookup->done.IsValid()) return false;
    try {
        std::thread([lookup] {
            SetCurrentThreadName("SMTP Look-up");
            RunLookup(lookup);
        }).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace

SmtpResult ResolveSmtpServer(const std::string& host, const std::string& port, CEvent& abort,
                             const std::atomic<bool>& stop, sockaddr_in& address) {
    // An address needs no name server, so no thread either.
    if (Resolve(host, port, AI_NUMERICHOST, address)) return SmtpOk;
    const auto lookup = std::make_shared<Lookup>(host, port);
    if (StartLookup(lookup)) {
        const WaitResult wait = WaitForAny({WaitItem::Peek(abort), WaitItem::Of(lookup->done)}, -1);
        if (stop.load(std::memory_order_acquire) || wait.index == 0) return SmtpStopped;
        if (wait.index != 1) return SmtpHostNotFound;
    } else {
        RunLookup(lookup);
    }
    std::lock_guard lock(lookup->mutex);
    if (!lookup->found) return SmtpHostNotFound;
    address = lookup->address;
    return SmtpOk;
}
