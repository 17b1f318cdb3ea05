#include "comms/UdpCommsThread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "comms/Data.h"
#include "comms/Mymessages.h"
#include "platform/MessageTarget.h"
#include "platform/ThreadName.h"
#include "platform/Wait.h"

TUdpCommsThread::TUdpCommsThread(CData& store, std::uint16_t port, IMessageTarget* window,
                                 std::string destination)
    : store_(store), port_(port), window_(window), destination_(std::move(destination)) {
    if (!sendEvent_.IsValid() || !stopEvent_.IsValid() || !OpenSocket()) {
        CloseSocket();
        startFailed_ = true;
        Notify(EvEnded);
    }
    thread_ = std::thread(&TUdpCommsThread::Run, this);
}

TUdpCommsThread::~TUdpCommsThread() {
    Stop();
    if (thread_.joinable()) thread_.join();
    CloseSocket();
}

bool TUdpCommsThread::OpenSocket() {
    socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (socket_ < 0) return false;
    const int one = 1;
    // Address reuse lets simulated devices on this machine bind the same port at their own
    // loopback addresses; it does not let a second socket share our wildcard binding unnoticed
    // by the single-instance lock, which keeps one monitor per machine.
    if (setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port_);
    if (bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
    // The interface a reply came in on tells which local network its sender must be on.
    if (setsockopt(socket_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0) return false;
    return setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0;
}

void TUdpCommsThread::CloseSocket() {
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
}

void TUdpCommsThread::SendDiscovery(const char* text, int len) {
    store_.SetDiscoveryRequest(text, len);
    sendEvent_.Set();
}

void TUdpCommsThread::Stop() {
    terminated_.store(true, std::memory_order_release);
    stopEvent_.Set();
}

void TUdpCommsThread::Notify(std::uint16_t code, const std::uint8_t* addr, std::uint8_t model) {
    if (!window_) return;
    window_->Post(WM_UDPTHREAD, UdpThreadWParam(code, addr), addr ? UdpThreadLParam(addr, model) : 0);
}

void TUdpCommsThread::Run() {
    SetCurrentThreadName("UDP Thread");
    Notify(EvStarted);
    if (startFailed_) return;
    while (!Terminated()) {
        ReceiveOne();
        // The send event also ends the wait, so a request goes out without waiting for the
        // read timeout; it is consumed below.
        const WaitResult read = WaitForAny({WaitItem::Peek(stopEvent_), WaitItem::Peek(sendEvent_),
                                            WaitItem::Socket(socket_, POLLIN)},
                                           ReadWaitMs);
        if (Terminated()) break;
        if (read.index == 2) ReceiveOne();

        const WaitResult events =
            WaitForAny({WaitItem::Of(sendEvent_), WaitItem::Of(stopEvent_)}, 0);
        if (Terminated() || events.index == 1) break;
        if (events.index == 0) {
            SendRequest();
        } else if (events.index != WaitTimeout) {
            Notify(EvError);
        }
    }
    CloseSocket();
    Notify(EvEnded);
}

void TUdpCommsThread::ReceiveOne() {
    char buf[ReceiveBytes];
    sockaddr_in from{};
    iovec part{buf, sizeof buf};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    // MSG_TRUNC reports a datagram's full length, so one longer than the buffer is seen and
    // dropped instead of being taken cut short.
    const ssize_t n = recvmsg(socket_, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 || n > ReceiveBytes || from.sin_family != AF_INET) return;
    unsigned int interfaceIndex = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            interfaceIndex = static_cast<unsigned int>(info.ipi_ifindex);
        }
    }
    const int len = static_cast<int>(n);
    if (!codec_.IsDiscoveryReply(buf, len) || !Expected(from, interfaceIndex)) return;
    std::uint8_t addr[4];
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&from.sin_addr.s_addr);
    for (int i = 0; i < 4; ++i) addr[i] = raw[i];
    if (!store_.PutReply(addr, buf, len)) return;
    Notify(EvReceived, addr, codec_.ModelOf(buf, len));
}

bool TUdpCommsThread::Expected(const sockaddr_in& from, unsigned int interfaceIndex) const {
    if (std::chrono::steady_clock::now() > replyWindowEnd_) return false;
    return networks_.Contains(interfaceIndex, from.sin_addr);
}

void TUdpCommsThread::SendRequest() {
    char request[RequestCopyBytes];
    const int len = store_.GetDiscoveryRequest(request, sizeof request);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(port_);
    if (len < 1 || inet_pton(AF_INET, destination_.c_str(), &dest.sin_addr) != 1) {
        Notify(EvError);
        return;
    }
    int sent = 0;
    while (sent < len) {
        const ssize_t n = sendto(socket_, request + sent, static_cast<std::size_t>(len - sent),
                                 MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
        if (n >= 0) {
            sent += static_cast<int>(n);
            continue;
        }
        const int err = errno;
        if (err == EINTR) continue;
        const bool lost = err == ECONNABORTED || err == ECONNRESET || err == ENOTCONN ||
                          err == ESHUTDOWN || err == EPIPE;
        Notify(lost ? EvLost : EvError);
        return;
    }
    // The request is out: its replies may come. The machine's own addresses may have changed
    // since the last request.
    networks_.Refresh();
    replyWindowEnd_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ReplyWindowMs);
}
