#include "tools/devsim/Site.h"

#include <system_error>

#include "tools/devsim/SiteImpl.h"

namespace devsim {

namespace {

// Applies a change that needs no socket work; the lock makes it visible to the worker
// before the next request is read.
template <class Impl, class Change>
void Modify(Impl& impl, int dev, Change change) {
    std::lock_guard lock(impl.mutex);
    if (Device* device = impl.Find(dev)) {
        change(*device);
        impl.Touched();
    }
}

}  // namespace

Site::Site(SiteOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Site::~Site() {
    Stop();
}

int Site::AddDevice(const DeviceConfig& config) {
    in_addr address{};
    std::string error;
    Fd listener;
    Fd udp;
    if (!ParseIPv4(config.address, address)) {
        error = "not an IPv4 address: '" + config.address + "'";
    } else if (!DeviceModel::IsFieldOrder(config.fieldOrder)) {
        error = "field order may only use the letters MRPVADTFCH: '" + config.fieldOrder + "'";
    } else {
        if (config.acceptTcp) listener = OpenTcpListener(address, config.tcpPort, error);
        if (error.empty() && config.answerDiscovery) {
            udp = OpenUdpSocket(address, config.udpPort, false, error);
        }
    }
    std::lock_guard lock(impl_->mutex);
    if (!error.empty()) {
        impl_->lastError = error;
        return -1;
    }
    const int index = static_cast<int>(impl_->devices.size());
    impl_->devices.push_back(std::make_unique<Device>(index, config, address, std::move(listener),
                                                      std::move(udp), Device::Clock::now()));
    impl_->Touched();
    impl_->Wake();
    return index;
}

std::string Site::LastError() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastError;
}

bool Site::DiscoveryListening() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->discovery.Valid();
}

int Site::DeviceCount() const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<int>(impl_->devices.size());
}

bool Site::Start() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->running) return true;
    if (!impl_->wake.Valid()) return false;
    // A worker told to stop from its own event handler has ended but was never joined.
    if (impl_->worker.joinable()) impl_->worker.join();
    impl_->stopping = false;
    impl_->running = true;
    try {
        impl_->worker = std::thread([this] { impl_->Loop(); });
    } catch (const std::system_error& e) {
        impl_->running = false;
        impl_->lastError = std::string("worker thread: ") + e.what();
        return false;
    }
    return true;
}

void Site::Stop() {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->worker.joinable()) return;
        impl_->stopping = true;
        impl_->Wake();
        // From the event handler the worker cannot wait for itself; it stops after the call.
        if (std::this_thread::get_id() == impl_->worker.get_id()) return;
    }
    impl_->worker.join();
    std::lock_guard lock(impl_->mutex);
    impl_->worker = std::thread();
    impl_->stopping = false;
}

void Site::SetEventHandler(std::function<void(const DeviceEvent&)> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

void Site::SetChannelFault(int dev, int channel, ChannelFault kind, bool present) {
    Modify(*impl_, dev, [&](Device& d) { d.model.SetChannelFault(channel, kind, present); });
}

void Site::SetSupplyFault(int dev, int rail, bool present) {
    Modify(*impl_, dev, [&](Device& d) { d.model.SetSupplyFault(rail, present); });
}

void Site::ClearFaults(int dev) {
    Modify(*impl_, dev, [](Device& d) { d.model.ClearFaults(); });
}

void Site::SetActive(int dev, bool active) {
    Modify(*impl_, dev, [&](Device& d) { d.model.SetActive(active); });
}

void Site::SetChannelMask(int dev, std::uint8_t mask) {
    Modify(*impl_, dev, [&](Device& d) { d.model.SetChannelMask(mask); });
}

void Site::SetOperatingMinutes(int dev, std::int32_t minutes) {
    Modify(*impl_, dev,
           [&](Device& d) { d.model.SetOperatingMinutes(minutes, Device::Clock::now()); });
}

void Site::SetFieldOrder(int dev, std::string order) {
    Modify(*impl_, dev, [&](Device& d) { d.model.SetFieldOrder(order); });
}

void Site::SetSilent(int dev, bool silent) {
    Modify(*impl_, dev, [&](Device& d) { d.style.silent = silent; });
}

void Site::SetHangUp(int dev, bool on) {
    Modify(*impl_, dev, [&](Device& d) { d.style.hangUp = on; });
}

void Site::SetReplyDelay(int dev, int ms) {
    Modify(*impl_, dev, [&](Device& d) { d.style.delayMs = ms; });
}

void Site::SetConfirmCommands(int dev, bool on) {
    Modify(*impl_, dev, [&](Device& d) { d.style.confirmCommands = on; });
}

void Site::SetSplitReply(int dev, int pieces, int gapMs) {
    Modify(*impl_, dev, [&](Device& d) {
        d.style.pieces = pieces;
        d.style.gapMs = gapMs;
    });
}

void Site::SetDoubleReply(int dev, bool on) {
    Modify(*impl_, dev, [&](Device& d) { d.style.doubled = on; });
}

void Site::ScriptNextReply(int dev, std::vector<std::string> writes, int gapMs) {
    Modify(*impl_, dev, [&](Device& d) {
        d.style.script = std::move(writes);
        d.style.scriptGapMs = gapMs;
    });
}

void Site::PrefixNextReply(int dev, std::string bytes) {
    Modify(*impl_, dev, [&](Device& d) { d.style.prefix = std::move(bytes); });
}

void Site::DropConnection(int dev) {
    impl_->RunOnWorker([&] {
        if (Device* d = impl_->Find(dev)) d->CloseConnection(false, impl_->events);
    });
}

void Site::ResetConnection(int dev) {
    impl_->RunOnWorker([&] {
        if (Device* d = impl_->Find(dev)) d->CloseConnection(true, impl_->events);
    });
}

void Site::SendRaw(int dev, std::string bytes) {
    impl_->RunOnWorker([&] {
        if (Device* d = impl_->Find(dev)) d->SendRaw(bytes, impl_->events);
    });
}

std::string Site::StatusMessage(int dev) const {
    std::lock_guard lock(impl_->mutex);
    const Device* d = impl_->Find(dev);
    return d ? d->model.StatusMessage(Device::Clock::now()) : std::string();
}

DeviceSnapshot Site::Snapshot(int dev) const {
    std::lock_guard lock(impl_->mutex);
    const Device* d = impl_->Find(dev);
    return d ? d->Snapshot() : DeviceSnapshot{};
}

}  // namespace devsim

namespace devsim {

void Site::SetRefuseConnections(int dev, bool refuse) {
    if (refuse) {
        impl_->RunOnWorker([&] {
            if (Device* d = impl_->Find(dev)) d->CloseListener();
        });
        return;
    }
    in_addr address{};
    std::uint16_t port = 0;
    {
        std::lock_guard lock(impl_->mutex);
        const Device* d = impl_->Find(dev);
        if (d == nullptr || !d->AcceptsTcp() || d->ListenerFd() >= 0) return;
        address = d->Address();
        port = d->TcpPort();
    }
    // Opened here rather than on the worker: the socket must belong to the caller's
    // network namespace, like the one it replaces.
    std::string error;
    Fd listener = OpenTcpListener(address, port, error);
    if (!listener.Valid()) {
        std::lock_guard lock(impl_->mutex);
        impl_->lastError = error;
        return;
    }
    impl_->RunOnWorker([&] {
        if (Device* d = impl_->Find(dev)) d->InstallListener(std::move(listener));
    });
}

bool Site::WaitFor(int dev, const std::function<bool(const DeviceSnapshot&)>& pred,
                   std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(impl_->mutex);
    for (;;) {
        const Device* d = impl_->Find(dev);
        if (d == nullptr) return false;
        const DeviceSnapshot snapshot = d->Snapshot();
        const std::uint64_t seen = impl_->generation;
        lock.unlock();
        const bool held = pred(snapshot);
        lock.lock();
        if (held) return true;
        if (!impl_->changed.wait_until(lock, deadline, [&] { return impl_->generation != seen; })) {
            return false;
        }
    }
}

}  // namespace devsim
