#pragma once

// The monitor core on a real link: its sockets live in the monitor namespace of a test bed and
// the simulated amplifiers in the device namespace, so the discovery request really goes to
// 255.255.255.255 and crosses a veth pair, while nothing can leave the machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTimer>
#include <cstdlib>
#include <optional>

#include "CoreFixture.h"
#include "support/NetnsTestBed.h"

// A discovery round (the replies to one request) and a little more.
constexpr int kRoundMs = 2300;

class DiscoveryBedFixture : public CoreFixture {
protected:
    // net: as for the simulated site; bedDevices: addresses 10.77.0.2 on of the device namespace.
    DiscoveryBedFixture(int net, int bedDevices) : CoreFixture(net), bedDevices_(bedDevices) {}

    void SetUp() override {
        CoreFixture::SetUp();
        if (HasFatalFailure()) return;
        AVLO_REQUIRE_NETNS();
        bed_ = std::make_unique<NetnsTestBed>(bedDevices_);
        ASSERT_TRUE(bed_->ok()) << bed_->error();
        // A real limited broadcast, possible only because the core lives inside the bed.
        options_.discoveryAddress = NetnsTestBed::BroadcastAddress();
        options_.discoveryPort = 60003;
        // The core's discovery socket is made at its start and each connection thread
        // starts in the namespace of the thread that creates it: the test thread stays in
        // the monitor namespace until TearDown.
        monitorNs_.emplace(bed_->MonitorNs());
        ASSERT_TRUE(monitorNs_->ok()) << monitorNs_->error();
    }

    void TearDown() override {
        StopCore();  // still inside the monitor namespace
        sites_.clear();
        monitorNs_.reset();
        bed_.reset();
        CoreFixture::TearDown();
    }

    // A simulated site in the device namespace; its sockets stay there for good.
    devsim::Site& NewSite() {
        ScopedNetns dev(bed_->DeviceNs());
        EXPECT_TRUE(dev.ok()) << dev.error();
        sites_.push_back(std::make_unique<devsim::Site>(devsim::SiteOptions{"0.0.0.0", 60003}));
        EXPECT_TRUE(sites_.back()->DiscoveryListening()) << sites_.back()->LastError();
        return *sites_.back();
    }
    int AddBedDevice(devsim::Site& site, int i, const std::string& model, const std::string& serial,
                     bool answerDiscovery = true) {
        ScopedNetns dev(bed_->DeviceNs());
        EXPECT_TRUE(dev.ok()) << dev.error();
        devsim::DeviceConfig c;
        c.address = NetnsTestBed::DeviceAddress(i);
        c.modelText = model;
        c.serial = serial;
        c.answerDiscovery = answerDiscovery;
        const int index = site.AddDevice(c);
        EXPECT_GE(index, 0) << site.LastError();
        return index;
    }
    void StartSite(devsim::Site& site) {
        ScopedNetns dev(bed_->DeviceNs());
        ASSERT_TRUE(dev.ok()) << dev.error();
        ASSERT_TRUE(site.Start()) << site.LastError();
    }

    // A discovery request of the monitor's own, out on the link: replies are taken from now
    // until its round ends.
    void OpenRound() {
        core_->BroadcastDiscovery();
        Pump(100);
    }

    // A second network on the devices' side of the cable, which the monitor's side lacks.
    void AddOffNetAddress(const std::string& cidr) {
        const std::string command =
            "ip -n " + bed_->DeviceNs() + " addr add " + cidr + " dev veth-dev";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // One datagram to the monitor's discovery port, from a device address of the bed.
    void SendFromDevice(const std::string& bytes, const std::string& from) {
        ScopedNetns dev(bed_->DeviceNs());
        ASSERT_TRUE(dev.ok()) << dev.error();
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &a.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        a.sin_port = htons(60003);
        inet_pton(AF_INET, NetnsTestBed::MonitorAddress().c_str(), &a.sin_addr);
        EXPECT_EQ(
            sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
            static_cast<ssize_t>(bytes.size()));
        close(fd);
    }

    CMonitorCore::Device* BySerial(const std::string& serial) const {
        for (const auto& d : core_->Devices()) {
            if (d->Serial == serial) return d.get();
        }
        return nullptr;
    }
    CMonitorCore::Device* ByName(const std::string& name) const {
        for (const auto& d : core_->Devices()) {
            if (d->Name == name) return d.get();
        }
        return nullptr;
    }
    bool AllConnected() const {
        for (const auto& d : core_->Devices()) {
            if (d->ConnState != Connected) return false;
        }
        return true;
    }

    // The core after its first discovery round: `count` devices in the table, all connected
    // when `connected`.
    void StartAndSettle(int count, bool connected = true) {
        StartSearchableCore();
        ASSERT_TRUE(WaitUntil([&] { return core_->PollTimer->isActive(); }))
            << "the discovery thread never reported that it started";
        ASSERT_TRUE(WaitUntil([&] { return core_->DeviceCount() == count; }))
            << "devices in the table: " << core_->DeviceCount();
        if (connected) {
            ASSERT_TRUE(WaitUntil([&] { return AllConnected(); }));
        }
        Pump(300);  // late replies of the start-up broadcast, if any
    }

    // The core with the search results it reports (the window shows each in a box).
    void StartSearchableCore() {
        StartCore();
        QObject::connect(core_.get(), &CMonitorCore::SearchResult, core_.get(),
                         [this](const QString& text) { results_.push_back(text); });
    }
    std::vector<QString> TakeResults() { return std::exchange(results_, {}); }

    // Starts a network search and waits for its result; returns it and the time it took.
    struct SearchResult {
        std::vector<QString> texts;
        qint64 ms = 0;
    };
    SearchResult Search() {
        SearchResult result;
        TakeResults();
        QElapsedTimer clock;
        clock.start();
        EXPECT_TRUE(core_->SearchNetwork());
        EXPECT_TRUE(core_->NetworkSearchTimer->isActive());
        WaitUntil(
            [&] {
                auto texts = TakeResults();
                result.texts.insert(result.texts.end(), texts.begin(), texts.end());
                return !result.texts.empty();
            },
            5000);
        result.ms = clock.elapsed();
        return result;
    }
    static void ExpectSingleResult(const SearchResult& r, const std::string& text) {
        ASSERT_EQ(r.texts.size(), 1u) << "no result, or more than one";
        EXPECT_EQ(r.texts[0].toStdString(), text);
    }

    int bedDevices_;
    std::vector<QString> results_;
    std::unique_ptr<NetnsTestBed> bed_;
    std::optional<ScopedNetns> monitorNs_;
    std::vector<std::unique_ptr<devsim::Site>> sites_;
};
