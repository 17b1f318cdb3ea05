#pragma once

// A monitor on a simulated site, for tests: a fresh folder with its own configuration file and
// lock, captured message boxes and events, and simulated devices on loopback addresses of the
// test's own network 127.0.<net>.x. The core's tests and the window's tests build on it; each
// says how the monitor starts and stops and how a row reads.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "monitoring/MonitorCore.h"
#include "notify/Eventlog.h"
#include "platform/Clock.h"
#include "platform/EventSink.h"
#include "platform/MessageBox.h"
#include "tools/devsim/Site.h"

// A status with every supply rail and every channel healthy and on, in Active mode.
inline DeviceStatus HealthyStatus() {
    DeviceStatus s;
    s.Mode = 1;
    for (int i = 0; i < 4; ++i) s.SupplyOk[i] = 1;
    for (int ch = 0; ch < 7; ++ch) {
        s.ChannelOn[ch] = s.ChannelOk[ch] = s.TempOk[ch] = s.FanOk[ch] = s.CurrentOk[ch] = 1;
    }
    return s;
}

class SimulatedSiteFixture : public testing::Test {
protected:
    // net: the third address byte of this test program's devices; each program uses its own
    // so that programs run side by side without meeting.
    explicit SimulatedSiteFixture(int net) : net_(net) {}

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        // The monitor writes the user's autostart entry at start-up: here it goes to the
        // test's folder, never to the real user's.
        savedXdgConfig_ = qgetenv("XDG_CONFIG_HOME");
        hadXdgConfig_ = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
        MessageBoxSeam::Capture(true);
        SetProcessEventSink(&sink_);
        options_.configPath = Path("avlo-monitor.ini");
        options_.lockPath = Path("avlo.lock");
        options_.discoveryPort = static_cast<std::uint16_t>(63000 + net_);
        options_.discoveryAddress = Hub();
    }

    void TearDown() override {
        StopMonitor();
        site_.reset();
        SetProcessEventSink(nullptr);
        MessageBoxSeam::Capture(false);
        SetClockOverride({});
        if (hadXdgConfig_) {
            qputenv("XDG_CONFIG_HOME", savedXdgConfig_);
        } else {
            qunsetenv("XDG_CONFIG_HOME");
        }
    }

    // The monitor under test: its core, and its end (with the shutdown sequence).
    virtual CMonitorCore& Monitor() = 0;
    virtual void StopMonitor() = 0;
    // What a row of the device list shows: column 1 name, 2 address, 3 status, 4 condition;
    // and its check box.
    virtual QString Cell(int row, int column) const = 0;
    virtual bool Ticked(int row) const = 0;
    enum Column : int { ColName = 1, ColAddress = 2, ColStatus = 3, ColCondition = 4 };
    bool Shows(int row, const QString& status, const QString& condition) const {
        return Cell(row, ColStatus) == status && Cell(row, ColCondition) == condition;
    }
    // A row's "status | condition", empty while there is no such row.
    std::function<QString()> RowState(int row) const {
        return [this, row] {
            const QString status = Cell(row, 3);
            return status.isEmpty() ? QString() : status + " | " + Cell(row, 4);
        };
    }

    std::string Path(const std::string& name) const {
        return dir_.filePath(QString::fromStdString(name)).toStdString();
    }
    std::string Address(int host) const {
        return "127.0." + std::to_string(net_) + "." + std::to_string(host);
    }
    std::string Hub() const { return Address(254); }

    void WriteConfig(const std::string& content) {
        std::ofstream out(options_.configPath, std::ios::binary);
        out << content;
    }
    std::string ReadConfig() const {
        std::ifstream in(options_.configPath, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    // The simulated site: devices answer discovery sent to the hub address.
    devsim::Site& Site() {
        if (!site_) {
            site_ =
                std::make_unique<devsim::Site>(devsim::SiteOptions{Hub(), options_.discoveryPort});
            EXPECT_TRUE(site_->Start());
        }
        return *site_;
    }
    int AddSimDevice(int host, const std::string& model, const std::string& serial,
                     bool acceptTcp = true) {
        devsim::DeviceConfig c;
        c.address = Address(host);
        c.modelText = model;
        c.serial = serial;
        c.udpPort = options_.discoveryPort;
        c.acceptTcp = acceptTcp;
        const int index = Site().AddDevice(c);
        EXPECT_GE(index, 0) << Site().LastError();
        return index;
    }

    // The monitor after its first poll (the discovery thread's start runs one at once), so that
    // no later poll comes unless a test asks for it.
    void WaitForFirstPoll() {
        ASSERT_TRUE(WaitUntil([this] { return Monitor().PollTimer->isActive(); }));
    }

    // A simulated amplifier that does not answer discovery: the start-up poll's broadcast
    // would otherwise register it a second time under a generated name.
    int QuietSim(int host, const std::string& serialPrefix,
                 const std::function<void(devsim::DeviceConfig&)>& tweak = {}) {
        devsim::DeviceConfig c;
        c.address = Address(host);
        c.serial = serialPrefix + std::to_string(1000 + host);
        c.answerDiscovery = false;
        if (tweak) tweak(c);
        const int index = Site().AddDevice(c);
        EXPECT_GE(index, 0) << Site().LastError();
        return index;
    }

    // Registers a device by hand, as the register dialog does; returns its id.
    int Add(const std::string& name, const std::string& address, bool avlo = true) {
        DeviceContext c = Ctx(name, address, avlo);
        const int id = Monitor().AddDevice(&c);
        EXPECT_GT(id, 0) << name;
        return id;
    }

    // Waits for the simulated device while the event loop runs, so that the monitor goes on
    // handling its threads' reports meanwhile.
    bool SimWait(int sim, const std::function<bool(const devsim::DeviceSnapshot&)>& pred,
                 int ms = 3000) {
        return WaitUntil([&] { return pred(Site().Snapshot(sim)); }, ms);
    }

    // Runs the event loop until pred holds or the time passes.
    static bool WaitUntil(const std::function<bool()>& pred, int ms = 5000) {
        QElapsedTimer timer;
        timer.start();
        while (!pred()) {
            if (timer.elapsed() > ms) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
        return true;
    }
    static void Pump(int ms) {
        WaitUntil([] { return false; }, ms);
    }

    std::vector<CapturedEvent> EventsWithId(std::uint32_t id) const {
        std::vector<CapturedEvent> out;
        for (const auto& e : sink_.Events()) {
            if (e.id == id) out.push_back(e);
        }
        return out;
    }

    DeviceContext Ctx(const std::string& name, const std::string& address, bool avlo) {
        DeviceContext c;
        c.Name = name;
        c.IpAddress = address;
        c.AvloEnabled = avlo;
        c.RegisterMode = true;
        return c;
    }

    int net_;
    QTemporaryDir dir_;
    QByteArray savedXdgConfig_;
    bool hadXdgConfig_ = false;
    StartupOptions options_;
    CCapturingSink sink_;
    std::unique_ptr<devsim::Site> site_;
};
