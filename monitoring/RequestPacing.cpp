// Sequences of requests handed to the connections one at a time, a second apart, by a timer:
// the main thread never sleeps between them, so statuses, the tray and the end of the session
// are handled while a sequence runs.
#include <QTimer>
#include <algorithm>

#include "monitoring/MonitorCore.h"

namespace {

using PaceClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A connection still holding a request (behind a slow status reply) is looked at again this
// soon, so that the next request follows the spacing after the held one has left.
constexpr int RecheckMs = 50;

int CeilMs(PaceClock::duration d) {
    return static_cast<int>(std::chrono::ceil<milliseconds>(d).count());
}

}  // namespace

bool CMonitorCore::QueueRequests(std::uint16_t deviceId,
                                 const std::vector<PacedRequest>& requests) {
    if (requests.empty() || FindDeviceById(deviceId) == nullptr) return false;
    const auto found = lanes_.find(deviceId);
    const std::size_t waiting = found == lanes_.end() ? 0 : found->second.Items.size();
    if (waiting + requests.size() > static_cast<std::size_t>(MaxPacedRequests)) {
        std::string texts;
        for (const PacedRequest& r : requests) texts += RequestText(r.Kind, r.Mask);
        LogRefusedRequests(deviceId, texts, PacedQueue);
        return false;
    }
    RequestsAccepted(deviceId, PacedQueue);
    if (found != lanes_.end()) {
        // Behind the device's waiting requests, with the spacing after the last of them.
        found->second.Items.insert(found->second.Items.end(), requests.begin(), requests.end());
        return true;
    }
    StartLane(deviceId, requests, {});
    return true;
}

int CMonitorCore::PacedRequestsWaiting(std::uint16_t deviceId) const {
    int count = 0;
    for (const auto& [key, lane] : lanes_) {
        count += static_cast<int>(
            std::count_if(lane.Items.begin(), lane.Items.end(),
                          [&](const PacedRequest& r) { return r.DeviceId == deviceId; }));
    }
    return count;
}

void CMonitorCore::StartLane(std::uint16_t lane, std::vector<PacedRequest> items,
                             std::function<void()> done) {
    if (items.empty()) {
        if (done) done();
        return;
    }
    PaceLane& added = lanes_[lane];
    added.Items.assign(items.begin(), items.end());
    added.Due = PaceClock::now();
    added.Done = std::move(done);
    PaceRequests();
}

void CMonitorCore::PaceRequests() {
    if (closing_) return;
    const PaceClock::time_point now = PaceClock::now();
    std::vector<std::function<void()>> finished;
    for (auto it = lanes_.begin(); it != lanes_.end();) {
        PaceLane& lane = it->second;
        if (lane.Due > now) {
            ++it;
            continue;
        }
        if (lane.Items.empty()) {
            if (lane.Done) finished.push_back(std::move(lane.Done));
            it = lanes_.erase(it);
            continue;
        }
        const PacedRequest next = lane.Items.front();
        if (const int busyMs = ConnectionBusyMs(next.DeviceId, now); busyMs > 0) {
            lane.Due = now + milliseconds(busyMs);
            ++it;
            continue;
        }
        lane.Items.pop_front();
        SendRequest(next.DeviceId, next.Kind, next.Mask);
        // The status that answers a device's last request ends what the view shows as sending.
        if (it->first != TestLane && lane.Items.empty()) awaitingStatus_.insert(next.DeviceId);
        lane.Due = now + milliseconds(RequestSpacingMs);
        ++it;
    }
    ArmPaceTimer();
    // After the lanes are in order: an ending may start the next sequence.
    for (const auto& done : finished) done();
}

int CMonitorCore::ConnectionBusyMs(std::uint16_t deviceId, PaceClock::time_point now) const {
    const Device* device = FindDeviceById(deviceId);
    if (device == nullptr || !device->Connection) return 0;  // SendRequest drops it
    if (device->Connection->QueuedRequests() > 0) return RecheckMs;
    const PaceClock::duration quiet = now - device->Connection->LastSent();
    const PaceClock::duration spacing = milliseconds(RequestSpacingMs);
    return quiet >= spacing ? 0 : std::max(1, CeilMs(spacing - quiet));
}

void CMonitorCore::ArmPaceTimer() {
    if (lanes_.empty()) {
        PaceTimer->stop();
        return;
    }
    PaceClock::time_point first = PaceClock::time_point::max();
    for (const auto& [key, lane] : lanes_) first = std::min(first, lane.Due);
    PaceTimer->start(std::max(0, CeilMs(first - PaceClock::now())));
}

void CMonitorCore::RequestsAccepted(std::uint16_t deviceId, RefusingQueue queue) {
    if (Device* device = FindDeviceById(deviceId)) device->RefusalsLogged &= ~queue;
}

// Only the first refusal of a series is logged: a queue that stays full (a link that cannot
// take requests) would otherwise add an entry with every poll or every apply.
void CMonitorCore::LogRefusedRequests(std::uint16_t deviceId, const std::string& requests,
                                      RefusingQueue queue) {
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr || (device->RefusalsLogged & queue) != 0) return;
    device->RefusalsLogged |= queue;
    if (!Options.Log || !eventLog_) return;
    std::string shown = requests;
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    while (!shown.empty() && shown.back() == ' ') shown.pop_back();
    eventLog_->WriteEvent(EV_MONITOR_ERROR, EVENTLOG_ERROR_TYPE,
                          device->Name + " at " + device->IpAddress +
                              ": too many requests are waiting; refused: " + shown);
}
