#pragma once

#include <poll.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/devsim/Device.h"
#include "tools/devsim/Net.h"
#include "tools/devsim/Site.h"

namespace devsim {

// The shared state of a site. One mutex guards all of it; the worker thread owns the
// sockets' life after creation, so every close happens there while it runs and no poll()
// can ever watch a descriptor that has been reused.
struct Site::Impl {
    using Clock = Device::Clock;

    struct Task {
        std::function<void()> run;
        bool done = false;
    };

    // What one entry of the poll set stands for.
    struct Slot {
        enum Kind { Wake, Discovery, Listener, Connection, Udp } kind;
        int device;
    };

    explicit Impl(SiteOptions siteOptions);

    Device* Find(int dev);
    const Device* Find(int dev) const;
    void Touched();  // wakes WaitFor() callers
    void Wake();

    // Runs fn on the worker thread and returns when it has, or runs it here when the worker
    // is not running; either way the lock is held while fn runs.
    void RunOnWorker(const std::function<void()>& fn);
    void DeliverEvents();

    void Loop();
    void RunTasks();
    int BuildPollSet(Clock::time_point now);
    void Dispatch(Clock::time_point now);
    void OnDiscoveryReady();
    void DrainWake();

    SiteOptions options;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::uint64_t generation = 0;
    std::vector<std::unique_ptr<Device>> devices;
    Fd discovery;
    Fd wake;
    std::thread worker;
    bool running = false;
    bool stopping = false;
    std::deque<std::shared_ptr<Task>> tasks;
    std::string lastError;
    std::function<void(const DeviceEvent&)> handler;
    std::vector<DeviceEvent> events;
    std::vector<pollfd> pollSet;
    std::vector<Slot> slots;
};

}  // namespace devsim
