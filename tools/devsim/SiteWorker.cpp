#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

#include "tools/devsim/SiteImpl.h"

namespace devsim {

namespace {

constexpr int MaxReadsPerWake = 16;

int MillisecondsUntil(Device::Clock::time_point now, Device::Clock::time_point due) {
    if (due <= now) return 0;
    // Rounded up: waking a little early would only spin until the time has come.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return wait > 60000 ? 60000 : static_cast<int>(wait);
}

}  // namespace

Site::Impl::Impl(SiteOptions siteOptions)
    : options(std::move(siteOptions)), wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!wake.Valid()) lastError = ErrnoText("eventfd");
    if (options.discoveryListen.empty()) return;
    in_addr address{};
    if (!ParseIPv4(options.discoveryListen, address)) {
        lastError = "not an IPv4 address: " + options.discoveryListen;
        return;
    }
    // Broadcast requests only reach a socket bound to the wildcard (or broadcast) address,
    // which is why the site listens once on behalf of all its devices.
    discovery = OpenUdpSocket(address, options.udpPort, true, lastError);
}

Device* Site::Impl::Find(int dev) {
    if (dev < 0 || dev >= static_cast<int>(devices.size())) return nullptr;
    return devices[static_cast<std::size_t>(dev)].get();
}

const Device* Site::Impl::Find(int dev) const {
    return const_cast<Impl*>(this)->Find(dev);
}

void Site::Impl::Touched() {
    ++generation;
    changed.notify_all();
}

void Site::Impl::Wake() {
    if (!wake.Valid()) return;
    const std::uint64_t one = 1;
    // A full counter already means "wake up", so a failed write loses nothing.
    static_cast<void>(::write(wake.Get(), &one, sizeof one));
}

void Site::Impl::DrainWake() {
    std::uint64_t count = 0;
    while (::read(wake.Get(), &count, sizeof count) > 0) {
    }
}

void Site::Impl::RunOnWorker(const std::function<void()>& fn) {
    bool inline_ = false;
    {
        std::unique_lock lock(mutex);
        const bool onWorker = std::this_thread::get_id() == worker.get_id();
        if (!running || onWorker) {
            fn();
            Touched();
            inline_ = !onWorker;
        } else {
            auto task = std::make_shared<Task>();
            task->run = fn;
            tasks.push_back(task);
            Wake();
            changed.wait(lock, [&] { return task->done; });
        }
    }
    if (inline_) DeliverEvents();
}

void Site::Impl::DeliverEvents() {
    std::vector<DeviceEvent> batch;
    std::function<void(const DeviceEvent&)> call;
    {
        std::lock_guard lock(mutex);
        batch.swap(events);
        if (!batch.empty()) call = handler;
    }
    if (!call) return;
    for (const DeviceEvent& event : batch) call(event);
}

void Site::Impl::Loop() {
    std::unique_lock lock(mutex);
    for (;;) {
        RunTasks();
        if (stopping) break;
        const int timeout = BuildPollSet(Clock::now());
        lock.unlock();
        DeliverEvents();
        ::poll(pollSet.data(), pollSet.size(), timeout);
        lock.lock();
        RunTasks();
        const Clock::time_point now = Clock::now();
        Dispatch(now);
        for (auto& device : devices) device->FlushDue(now, events);
        Touched();
    }
    running = false;
    Touched();
    lock.unlock();
    DeliverEvents();
}

void Site::Impl::RunTasks() {
    while (!tasks.empty()) {
        const std::shared_ptr<Task> task = tasks.front();
        tasks.pop_front();
        task->run();
        task->done = true;
        Touched();
    }
}

int Site::Impl::BuildPollSet(Clock::time_point now) {
    pollSet.clear();
    slots.clear();
    auto add = [&](int fd, short want, Slot::Kind kind, int device) {
        if (fd < 0) return;
        pollSet.push_back({fd, want, 0});
        slots.push_back({kind, device});
    };
    add(wake.Get(), POLLIN, Slot::Wake, -1);
    add(discovery.Get(), POLLIN, Slot::Discovery, -1);
    int timeout = -1;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const Device& device = *devices[i];
        const int index = static_cast<int>(i);
        add(device.ListenerFd(), POLLIN, Slot::Listener, index);
        const short connWant = static_cast<short>(POLLIN | (device.WantsWrite() ? POLLOUT : 0));
        add(device.ConnectionFd(), connWant, Slot::Connection, index);
        add(device.UdpFd(), POLLIN, Slot::Udp, index);
        if (const auto due = device.NextDue()) {
            const int wait = MillisecondsUntil(now, *due);
            if (timeout < 0 || wait < timeout) timeout = wait;
        }
    }
    return timeout;
}

void Site::Impl::Dispatch(Clock::time_point now) {
    for (std::size_t i = 0; i < pollSet.size(); ++i) {
        const pollfd& entry = pollSet[i];
        if (entry.revents == 0) continue;
        const Slot& slot = slots[i];
        Device* device = Find(slot.device);
        switch (slot.kind) {
            case Slot::Wake:
                DrainWake();
                break;
            case Slot::Discovery:
                if (entry.fd == discovery.Get()) OnDiscoveryReady();
                break;
            case Slot::Listener:
                device->OnListenerReady(entry.fd, events);
                break;
            case Slot::Connection:
                device->OnConnectionReady(entry.fd, entry.revents, now, events);
                break;
            case Slot::Udp:
                device->OnUdpReady(entry.fd, events);
                break;
        }
    }
}

void Site::Impl::OnDiscoveryReady() {
    char buffer[512];
    for (int i = 0; i < MaxReadsPerWake; ++i) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(discovery.Get(), buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        // Anything else, other devices' replies included, is not addressed to us.
        if (std::string_view(buffer, static_cast<std::size_t>(n)) != "VELKAN\n") continue;
        for (auto& device : devices) device->AnswerDiscovery(from, events);
    }
}

}  // namespace devsim
