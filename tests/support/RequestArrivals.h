#pragma once

// Every request the simulated devices receive, with the time it arrived: for the tests of the
// order and spacing of paced requests.
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/devsim/Site.h"

class RequestArrivals {
public:
    using Clock = std::chrono::steady_clock;
    struct Arrival {
        int device;
        std::string text;
        Clock::time_point at;
    };

    // Takes over the site's event handler.
    explicit RequestArrivals(devsim::Site& site) : shared_(std::make_shared<Shared>()) {
        // The simulator may still call the handler while the test ends, hence the shared log.
        site.SetEventHandler([shared = shared_](const devsim::DeviceEvent& e) {
            if (e.kind != devsim::EventKind::Request) return;
            std::lock_guard lock(shared->mutex);
            shared->arrivals.push_back({e.device, e.text, Clock::now()});
        });
    }

    // In arrival order; of one device only when device >= 0; without the status queries
    // when commandsOnly.
    std::vector<Arrival> Of(int device = -1, bool commandsOnly = false) const {
        std::lock_guard lock(shared_->mutex);
        std::vector<Arrival> out;
        for (const Arrival& a : shared_->arrivals) {
            if (device >= 0 && a.device != device) continue;
            if (commandsOnly && a.text == "*s?\n") continue;
            out.push_back(a);
        }
        return out;
    }
    std::size_t Count(int device = -1, bool commandsOnly = false) const {
        return Of(device, commandsOnly).size();
    }
    static std::vector<std::string> Texts(const std::vector<Arrival>& arrivals,
                                          std::size_t from = 0) {
        std::vector<std::string> out;
        for (std::size_t i = from; i < arrivals.size(); ++i) out.push_back(arrivals[i].text);
        return out;
    }
    // The gaps between successive arrivals from index from on, in milliseconds.
    static std::vector<long> GapsMs(const std::vector<Arrival>& arrivals, std::size_t from = 0) {
        std::vector<long> out;
        for (std::size_t i = from + 1; i < arrivals.size(); ++i) {
            out.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                arrivals[i].at - arrivals[i - 1].at)
                                                .count()));
        }
        return out;
    }

private:
    struct Shared {
        std::mutex mutex;
        std::vector<Arrival> arrivals;
    };
    std::shared_ptr<Shared> shared_;
};
