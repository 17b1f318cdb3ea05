// Test mode: every connected device switched between Active and Standby, all channels on,
// for the durations of the settings, forever. A cycle's requests go through the paced lanes,
// so the window keeps working while a cycle over many devices runs.
#include <QTimer>
#include <algorithm>
#include <cstdint>

#include "monitoring/MonitorCore.h"

namespace {

// After the settings dialog's OK the first cycle follows at once, as good as.
constexpr int RestartMs = 100;
// A duration in the file outside what the dialog offers is kept as written, but the timer
// waits at least a minute and at most what its interval can hold.
constexpr std::int64_t MaxIntervalMs = 0x7FFFFFFF;

}  // namespace

void CMonitorCore::TestModeTimerTimer() {
    TestModeTimer->stop();
    if (!TestModeSettings.On || !SwitchFlags.test) return;
    // A cycle that is still sending arms the next one when it ends.
    if (TestCycleRunning()) return;
    if (devices_.empty()) {
        TestModeTimer->setInterval(TestModeMinuteMs);
        TestModeTimer->start();
        return;
    }
    // The devices of this cycle are the ones connected now; one that connects meanwhile is
    // switched by the next cycle.
    const int mode = TestPhase ? SetStandby : SetActive;
    std::vector<PacedRequest> cycle;
    for (const auto& device : devices_) {
        if (!device->Connection || device->ConnState != Connected) continue;
        cycle.push_back({device->DeviceId, mode, 0});
        cycle.push_back({device->DeviceId, SetChannels, 0xFF});
    }
    StartLane(TestLane, std::move(cycle), [this] { EndTestCycle(); });
}

// One spacing after the cycle's last request, so the next interval counts from the end of
// the sending.
void CMonitorCore::EndTestCycle() {
    const std::int32_t minutes = TestPhase ? TestModeSettings.Standby : TestModeSettings.Active;
    const std::int64_t ms = std::clamp<std::int64_t>(
        std::int64_t{std::max(minutes, 1)} * TestModeMinuteMs, 0, MaxIntervalMs);
    TestModeTimer->setInterval(static_cast<int>(ms));
    TestPhase = !TestPhase;
    if (TestModeSettings.On && SwitchFlags.test) TestModeTimer->start();
}

void CMonitorCore::TestModeSettingsChanged() {
    TestModeTimer->setInterval(RestartMs);
    if (TestModeSettings.On) {
        TestModeTimer->start();
    } else {
        TestModeTimer->stop();
        CancelTestCycle();
    }
}

// A cycle over many devices runs for minutes; "Disable" has to stop it now, not at its end.
// Only the cycle's own lane goes: a configuration the user applied keeps its place. The phase
// stays, so a cycle cut short is done again whole when test mode comes back.
void CMonitorCore::CancelTestCycle() {
    if (lanes_.erase(TestLane) != 0) ArmPaceTimer();
}

bool CMonitorCore::TestCycleRunning() const {
    return lanes_.count(TestLane) != 0;
}
