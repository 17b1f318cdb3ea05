// The live stream's feed on a monitor with a simulated amplifier: a fault reaches the stream
// while the status that brings it is being handled, with its history event; statuses that
// change nothing send nothing; a removed device is told of.
#include <QJsonDocument>
#include <QJsonObject>
#include <sstream>

#include "core/CoreFixture.h"
#include "platform/EventIds.h"
#include "web/DevicesJson.h"
#include "web/EventStreamFeed.h"
#include "web/SiteSnapshot.h"

namespace {

struct Sent {
    std::string name;
    QJsonObject data;
};

class EventStreamFeedTest : public CoreFixture {
protected:
    EventStreamFeedTest() : CoreFixture(147) {}

    void StartWithOneDevice(CEventStreamFeed::DeviceJsonFn deviceJson = CEventStreamFeed::RowJson) {
        sim_ = QuietSim(2, "8800");
        WriteConfig("[AVLO]\r\nRegistered=1\r\nName 0=Stage \"L\"\r\nIP 0=" + Address(2) +
                    "\r\navlo 0=1\r\n");
        StartQuiet();
        feed_ = std::make_unique<CEventStreamFeed>(*core_, hub_, std::move(deviceJson));
        ASSERT_TRUE(WaitUntil([&] { return Cell(0, ColStatus) == "Connected"; }));
        ASSERT_TRUE(WaitUntil([&] { return core_->Devices()[0]->StatusKnown; }));
        // The feed tells of each device the first time it hears of it; from here on only of
        // changes.
        core_->RefreshDeviceRows();
        Pump(100);
        Take();
    }
    void TearDown() override {
        feed_.reset();
        CoreFixture::TearDown();
    }

    // What the stream has queued since the last call, in order.
    std::vector<Sent> Take() {
        std::vector<Sent> sent;
        std::istringstream in(stream_->Take());
        Sent current;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("event: ", 0) == 0) current.name = line.substr(7);
            if (line.rfind("data: ", 0) == 0)
                current.data =
                    QJsonDocument::fromJson(QByteArray::fromStdString(line.substr(6))).object();
            if (line.empty()) sent.push_back(std::exchange(current, {}));
        }
        return sent;
    }
    static std::vector<Sent> Named(const std::vector<Sent>& all, const std::string& name) {
        std::vector<Sent> some;
        for (const Sent& s : all) {
            if (s.name == name) some.push_back(s);
        }
        return some;
    }

    CEventStream hub_;
    std::shared_ptr<CStreamSubscriber> stream_ = hub_.Subscribe(nullptr);
    std::unique_ptr<CEventStreamFeed> feed_;
    int sim_ = -1;
};

TEST_F(EventStreamFeedTest, AFaultIsOnTheStreamWhileItsStatusIsHandled) {
    StartWithOneDevice();
    const std::uint16_t id = core_->Devices()[0]->DeviceId;
    // Connected after the feed: runs when the core has handled a status and the feed has
    // seen it, so what is queued by then went out without any wait.
    std::vector<Sent> atHandled;
    QObject::connect(core_.get(), &CMonitorCore::DeviceReportHandled, core_.get(),
                     [&](std::uint16_t) {
                         for (Sent& s : Take()) atHandled.push_back(s);
                     });
    Site().SetChannelFault(sim_, 2, devsim::ChannelFault::Fan, true);
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return !Named(atHandled, "event").empty(); }));

    const std::vector<Sent> devices = Named(atHandled, "device");
    ASSERT_EQ(devices.size(), 1u);
    const QJsonObject row = devices[0].data;
    EXPECT_EQ(row.value("id").toInt(), id);
    EXPECT_EQ(row.value("name").toString(), "Stage \"L\"");
    EXPECT_EQ(row.value("connection").toString(), "Connected");
    EXPECT_EQ(row.value("condition").toString(), Cell(0, ColCondition));
    EXPECT_NE(row.value("condition").toString(), "OK");
    EXPECT_TRUE(row.value("monitored").toBool());
    EXPECT_TRUE(row.value("statusKnown").toBool());
    EXPECT_TRUE(row.value("active").toBool());

    const std::vector<Sent> events = Named(atHandled, "event");
    ASSERT_EQ(events.size(), EventsWithId(EV_DEVICE_ALERT).size());
    EXPECT_EQ(events[0].data.value("event").toString(), "EV_DEVICE_ALERT");
    EXPECT_EQ(events[0].data.value("device").toString(), "Stage \"L\"");
    EXPECT_EQ(events[0].data.value("address").toString().toStdString(), Address(2));
    EXPECT_EQ(events[0].data.value("type").toString(), "error");
}

// Both what the feed sends by default and the service's whole device (whose "lastStatus"
// moves with every status) send nothing for statuses that change nothing else.
class EventStreamFeedJsonTest : public EventStreamFeedTest,
                                public ::testing::WithParamInterface<bool> {};

TEST_P(EventStreamFeedJsonTest, StatusesThatChangeNothingSendNothing) {
    if (GetParam()) {
        StartWithOneDevice([this](const CMonitorCore::Device& d) {
            return DeviceJson(TakeDeviceSnapshot(*core_, d));
        });
    } else {
        StartWithOneDevice();
    }
    int statuses = 0;
    QObject::connect(core_.get(), &CMonitorCore::DeviceReportHandled, core_.get(),
                     [&](std::uint16_t) { ++statuses; });
    for (int poll = 1; poll <= 3; ++poll) {
        // "lastStatus" counts whole seconds: each status a second later than the last.
        if (GetParam()) Pump(1100);
        core_->PollAll();
        ASSERT_TRUE(WaitUntil([&] { return statuses >= poll; }));
    }
    for (const Sent& s : Named(Take(), "device"))
        ADD_FAILURE() << QJsonDocument(s.data).toJson().toStdString();

    // A change of mode, which the row does not show, is a change of the status: one event,
    // and none for the same status again.
    Site().SetActive(sim_, false);
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return core_->Devices()[0]->Status.Mode == 0; }));
    const int before = statuses;
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return statuses > before; }));
    const std::vector<Sent> devices = Named(Take(), "device");
    ASSERT_EQ(devices.size(), 1u);
    const QJsonValue active = devices[0].data.value(GetParam() ? "mode" : "active");
    EXPECT_EQ(active, GetParam() ? QJsonValue("standby") : QJsonValue(false));
    if (GetParam()) {
        EXPECT_TRUE(devices[0].data.contains("lastStatus"));
    }
}

INSTANTIATE_TEST_SUITE_P(Feed, EventStreamFeedJsonTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ServiceJson" : "RowJson"; });

TEST_F(EventStreamFeedTest, ARemovedDeviceIsToldOf) {
    StartWithOneDevice();
    const std::uint16_t id = core_->Devices()[0]->DeviceId;
    core_->DeleteDevice(0);
    const std::vector<Sent> devices = Named(Take(), "device");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].data, (QJsonObject{{"id", id}, {"removed", true}}));
}

}  // namespace
