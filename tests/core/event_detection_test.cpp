// Status replies as the monitor interprets them: fault onsets counted, the fault report
// logged, the alert decision taken; the condition text and the names of found devices.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "CoreFixture.h"
#include "platform/EventIds.h"

namespace {

// One fault position of a status: a class and a channel (0 = channel 1), or a rail
// (0 -5 V, 1 +12 V, 2 +72 V A, 3 +72 V B).
enum class K { Chan, Temp, Fan, Ovc, Rail };
struct Item {
    K k;
    int i;
};

std::uint8_t& Flag(DeviceStatus& s, Item it) {
    switch (it.k) {
        case K::Chan: return s.ChannelOk[it.i];
        case K::Temp: return s.TempOk[it.i];
        case K::Fan: return s.FanOk[it.i];
        case K::Ovc: return s.CurrentOk[it.i];
        case K::Rail: break;
    }
    return s.SupplyOk[it.i];
}

DeviceStatus Healthy() {
    DeviceStatus s = HealthyStatus();
    s.OperatingMinutes = 600;
    return s;
}

// A healthy status with the given faults.
DeviceStatus Faulty(const std::vector<Item>& faults) {
    DeviceStatus s = Healthy();
    for (const Item& it : faults) Flag(s, it) = 0;
    return s;
}

// A Notified block with the given items marked.
DeviceStatus Marks(const std::vector<Item>& items) {
    DeviceStatus s{};
    for (const Item& it : items) Flag(s, it) = 1;
    return s;
}

std::string Describe(const DeviceStatus& s) {
    std::string out = "Supply";
    for (int r = 0; r < 4; ++r) out += std::to_string(s.SupplyOk[r]);
    const auto row = [&](const char* name, const std::uint8_t (&f)[7]) {
        out += std::string(" ") + name;
        for (int ch = 0; ch < 7; ++ch) out += std::to_string(f[ch]);
    };
    row("Chan", s.ChannelOk);
    row("Temp", s.TempOk);
    row("Fan", s.FanOk);
    row("Ovc", s.CurrentOk);
    out += " Mode" + std::to_string(s.Mode) + " On";
    for (int ch = 0; ch < 7; ++ch) out += std::to_string(s.ChannelOn[ch]);
    return out;
}

// Options in the order ChanErr, PSupplyErr, FanErr, TempErr, OvcErr.
using Events = NotifiableEvents_Type;
const Events kNone{false, false, false, false, false};
const Events kChan{true, false, false, false, false};
const Events kPsu{false, true, false, false, false};
const Events kFan{false, false, true, false, false};
const Events kTemp{false, false, false, true, false};
const Events kOvc{false, false, false, false, true};
const Events kAll{true, true, true, true, true};

struct SentAlert {
    std::uint16_t deviceId;
    DeviceStatus status;
    DeviceStatus notifiedAtCall;
    std::size_t alertLogsAtCall;
};

class EventDetectionTest : public CoreFixture {
protected:
    EventDetectionTest() : CoreFixture(9) {}

    // A fresh form (no configuration file left from an earlier one) whose alert decisions
    // are recorded.
    void Restart(std::vector<std::string> arguments) {
        StopCore();
        std::remove(options_.configPath.c_str());
        StartCore(std::move(arguments));
        sent_.clear();
        core_->AlertRecorder = [this](CMonitorCore::Device& d, const DeviceStatus& s) {
            sent_.push_back({d.DeviceId, s, d.Notified, EventsWithId(EV_DEVICE_ALERT).size()});
            return deliver_;
        };
    }

    // A registered device without a connection.
    std::uint16_t Register(const std::string& name, int host, std::uint8_t model = 3,
                           const std::string& serial = "10203040") {
        DeviceContext c = Ctx(name, Address(host), false);
        c.ModelCode = model;
        c.Serial = serial;
        const int id = core_->AddDevice(&c);
        EXPECT_GT(id, 0) << name;
        return static_cast<std::uint16_t>(id);
    }
    CMonitorCore::Device& Dev(std::uint16_t id) { return *core_->FindDeviceById(id); }
    void Reply(std::uint16_t id, const DeviceStatus& s) { core_->ApplyStatus(id, s, "10203040", 3); }
    std::size_t AlertLogs() const { return EventsWithId(EV_DEVICE_ALERT).size(); }

    std::vector<SentAlert> sent_;
    bool deliver_ = true;
};

// ---------------------------------------------------------------- counting

TEST_F(EventDetectionTest, OnsetsAreCountedOnEdgesWhateverTheMailSettings) {
    const struct {
        Item item;
        int counter;
    } items[] = {
        {{K::Chan, 2}, StatsChanErr + 2},    {{K::Temp, 5}, StatsTempErr + 5},
        {{K::Fan, 0}, StatsFanErr + 0},      {{K::Ovc, 6}, StatsCurrentErr + 6},
        {{K::Rail, 0}, StatsMinus5VErr},     {{K::Rail, 1}, StatsPlus12VErr},
        {{K::Rail, 2}, StatsPlus72VAErr},    {{K::Rail, 3}, StatsPlus72VBErr},
    };
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        Events events;
        bool email;
        bool deliver;
        bool log;
    } configs[] = {
        {"no mail, no class", {"alerts"}, kNone, false, true, true},
        {"all classes mailed", {"alerts"}, kAll, true, true, true},
        {"nolimit, delivery fails", {"alerts", "nolimit"}, kAll, true, false, true},
        {"nolimit, log off", {"alerts", "nolimit"}, kChan, true, true, false},
    };
    for (const auto& cfg : configs) {
        Restart(cfg.arguments);
        core_->NotifiableEvents = cfg.events;
        core_->EmailSettings.Enabled = cfg.email;
        core_->Options.Log = cfg.log;
        deliver_ = cfg.deliver;
        int host = 10;
        for (const auto& row : items) {
            SCOPED_TRACE(std::string(cfg.name) + ", counter " + std::to_string(row.counter));
            const std::uint16_t id = Register("Amp " + std::to_string(host), host);
            ++host;
            // The flag goes 1, 0, 0, 1, 0: two onsets.
            for (const int ok : {1, 0, 0, 1, 0}) {
                Reply(id, ok ? Healthy() : Faulty({row.item}));
            }
            for (int c = 0; c < StatsCount; ++c) {
                EXPECT_EQ(Dev(id).Stats[c], c == row.counter ? 2 : 0) << "counter " << c;
            }
        }
    }
}

TEST_F(EventDetectionTest, FaultsOfTheFirstStatusAndStandingFaultsAreNotCountedAgain) {
    Restart({});
    const std::vector<Item> faults = {{K::Chan, 2}, {K::Temp, 1}, {K::Fan, 3}, {K::Ovc, 4}, {K::Rail, 1}};
    const std::uint16_t id = Register("Stage", 2);
    Reply(id, Faulty(faults));  // previous status all zero: nothing is new
    Reply(id, Faulty(faults));
    for (int c = 0; c < StatsCount; ++c) EXPECT_EQ(Dev(id).Stats[c], 0) << c;

    Reply(id, Healthy());
    Reply(id, Faulty(faults));
    // The connection drops and comes back: the stored status still holds the faults.
    Dev(id).StatusKnown = false;
    Dev(id).ConnState = Connecting;
    Reply(id, Faulty(faults));
    Reply(id, Faulty(faults));
    const int counted[] = {StatsChanErr + 2, StatsTempErr + 1, StatsFanErr + 3, StatsCurrentErr + 4,
                           StatsPlus12VErr};
    for (int c = 0; c < StatsCount; ++c) {
        const bool expected = std::find(std::begin(counted), std::end(counted), c) != std::end(counted);
        EXPECT_EQ(Dev(id).Stats[c], expected ? 1 : 0) << c;
    }
}

TEST_F(EventDetectionTest, StatusWithoutFaultOnlyUpdatesModelSerialStatusAndKnown) {
    Restart({});
    core_->EmailSettings.Enabled = true;
    const std::uint16_t id = Register("Stage", 2, 1, "11111111");
    CMonitorCore::Device& d = Dev(id);
    d.Status = Faulty({{K::Chan, 2}, {K::Rail, 3}});
    d.Notified = Marks({{K::Chan, 2}, {K::Rail, 3}});
    for (int c = 0; c < StatsCount; ++c) d.Stats[c] = 100 + c;
    d.StatusKnown = false;
    d.ConnState = Connected;
    const std::size_t logsBefore = sink_.Events().size();

    DeviceStatus healthy = Healthy();
    healthy.Mode = 0;
    healthy.ChannelOn[6] = 0;
    healthy.OperatingMinutes = 1234;
    core_->ApplyStatus(id, healthy, "99887766", 4);

    EXPECT_EQ(d.ModelCode, 4);
    EXPECT_EQ(d.Serial, "99887766");
    EXPECT_EQ(d.Status, healthy);
    EXPECT_TRUE(d.StatusKnown);
    EXPECT_EQ(d.Notified, Marks({{K::Chan, 2}, {K::Rail, 3}})) << Describe(d.Notified);
    for (int c = 0; c < StatsCount; ++c) EXPECT_EQ(d.Stats[c], 100 + c) << c;
    EXPECT_EQ(d.ConnState, Connected);
    EXPECT_EQ(d.Name, "Stage");
    EXPECT_EQ(sink_.Events().size(), logsBefore);
    EXPECT_TRUE(sent_.empty());

    // A reply for a device that is not in the table changes nothing either.
    core_->ApplyStatus(65000, Faulty({{K::Chan, 0}}), "1", 1);
    EXPECT_EQ(sink_.Events().size(), logsBefore);
    EXPECT_TRUE(sent_.empty());
    EXPECT_EQ(core_->DeviceCount(), 1);
}

// ---------------------------------------------------------------- alert decision

TEST_F(EventDetectionTest, AlertDecisionTable) {
    const struct {
        const char* name;
        bool nolimit;
        Events events;
        bool email;
        bool known;                  // StatusKnown before the reply
        std::vector<Item> previous;  // faults of the stored status
        std::vector<Item> notified;
        std::vector<Item> now;
        bool mail;
        std::vector<Item> notifiedAfter;
    } table[] = {
        {"limit: first fault of a selected class; every fault present is marked", false, kChan, true, false,
         {}, {}, {{K::Chan, 2}, {K::Fan, 0}, {K::Temp, 4}, {K::Ovc, 6}, {K::Rail, 1}}, true,
         {{K::Chan, 2}, {K::Fan, 0}, {K::Temp, 4}, {K::Ovc, 6}, {K::Rail, 1}}},
        // Without e-mail the other routes (webhooks, desktop) are told at once, so it is marked.
        {"limit: e-mail disabled", false, kChan, false, false, {}, {}, {{K::Chan, 2}}, false, {{K::Chan, 2}}},
        {"limit: all five classes off", false, kNone, true, false, {}, {},
         {{K::Chan, 2}, {K::Fan, 0}, {K::Rail, 1}}, false, {}},
        {"limit: channel failure, only fans selected", false, kFan, true, false, {}, {}, {{K::Chan, 2}}, false, {}},
        {"limit: fan failure, fans selected", false, kFan, true, false, {}, {}, {{K::Fan, 3}}, true, {{K::Fan, 3}}},
        {"limit: temperature selected", false, kTemp, true, false, {}, {}, {{K::Temp, 6}}, true, {{K::Temp, 6}}},
        {"limit: fan failure, only temperature selected", false, kTemp, true, false, {}, {}, {{K::Fan, 6}}, false, {}},
        {"limit: over-current selected", false, kOvc, true, false, {}, {}, {{K::Ovc, 0}}, true, {{K::Ovc, 0}}},
        {"limit: channel failure, only over-current selected", false, kOvc, true, false, {}, {}, {{K::Chan, 0}},
         false, {}},
        {"limit: rail, supply selected", false, kPsu, true, false, {}, {}, {{K::Rail, 3}}, true, {{K::Rail, 3}}},
        {"limit: rail, only channels selected", false, kChan, true, false, {}, {}, {{K::Rail, 3}}, false, {}},
        {"limit: channel failure, only supply selected", false, kPsu, true, false, {}, {}, {{K::Chan, 0}}, false, {}},
        {"limit: standing fault already notified", false, kChan, true, true, {{K::Chan, 2}}, {{K::Chan, 2}},
         {{K::Chan, 2}}, false, {{K::Chan, 2}}},
        {"limit: notified fault back after a recovery", false, kChan, true, true, {}, {{K::Chan, 2}},
         {{K::Chan, 2}}, false, {{K::Chan, 2}}},
        {"limit: a second channel fails", false, kChan, true, true, {{K::Chan, 2}}, {{K::Chan, 2}},
         {{K::Chan, 2}, {K::Chan, 4}}, true, {{K::Chan, 2}, {K::Chan, 4}}},
        {"limit: standing fault not yet notified", false, kChan, true, true, {{K::Chan, 2}}, {}, {{K::Chan, 2}},
         true, {{K::Chan, 2}}},
        {"limit: notified rail plus new unselected fan", false, kPsu, true, true, {{K::Rail, 1}}, {{K::Rail, 1}},
         {{K::Rail, 1}, {K::Fan, 2}}, false, {{K::Rail, 1}}},
        {"limit: notified rail plus another rail", false, kPsu, true, true, {{K::Rail, 1}}, {{K::Rail, 1}},
         {{K::Rail, 1}, {K::Rail, 2}}, true, {{K::Rail, 1}, {K::Rail, 2}}},
        {"nolimit: onset of a notified fault", true, kChan, true, true, {}, {{K::Chan, 2}}, {{K::Chan, 2}}, true,
         {{K::Chan, 2}}},
        {"nolimit: onset in an unselected class", true, kChan, true, true, {}, {}, {{K::Fan, 1}}, true,
         {{K::Fan, 1}}},
        {"nolimit: onset of a rail, supply not selected", true, kChan, true, true, {}, {}, {{K::Rail, 0}}, true,
         {{K::Rail, 0}}},
        {"nolimit: onset while another notified fault stands", true, kChan, true, true, {{K::Chan, 2}},
         {{K::Chan, 2}}, {{K::Chan, 2}, {K::Temp, 5}}, true, {{K::Chan, 2}, {K::Temp, 5}}},
        {"nolimit: all five classes off", true, kNone, true, true, {}, {}, {{K::Chan, 2}}, false, {}},
        {"nolimit: e-mail disabled", true, kChan, false, true, {}, {}, {{K::Chan, 2}}, false, {{K::Chan, 2}}},
        {"nolimit: standing selected fault, not notified, no onset", true, kChan, true, true, {{K::Chan, 2}}, {},
         {{K::Chan, 2}}, false, {}},
        {"nolimit, status not known: standing selected fault is mailed", true, kChan, true, false, {{K::Chan, 2}},
         {}, {{K::Chan, 2}}, true, {{K::Chan, 2}}},
        {"nolimit, status not known: onset in an unselected class", true, kChan, true, false, {}, {}, {{K::Fan, 1}},
         false, {}},
        {"nolimit, status not known: notified fault back", true, kChan, true, false, {}, {{K::Chan, 2}},
         {{K::Chan, 2}}, false, {{K::Chan, 2}}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        Restart(row.nolimit ? std::vector<std::string>{"alerts", "nolimit"} : std::vector<std::string>{"alerts"});
        ASSERT_EQ(core_->LimitOn(), !row.nolimit);
        core_->NotifiableEvents = row.events;
        core_->EmailSettings.Enabled = row.email;
        const std::uint16_t id = Register("Stage", 2);
        CMonitorCore::Device& d = Dev(id);
        d.Status = Faulty(row.previous);
        d.Notified = Marks(row.notified);
        d.StatusKnown = row.known;
        d.ConnState = Connected;

        const DeviceStatus now = Faulty(row.now);
        Reply(id, now);

        ASSERT_EQ(sent_.size(), row.mail ? 1u : 0u);
        if (row.mail) {
            EXPECT_EQ(sent_[0].deviceId, id);
            EXPECT_EQ(sent_[0].status, now);
            EXPECT_EQ(sent_[0].notifiedAtCall, Marks(row.notified));
        }
        EXPECT_EQ(d.Notified, Marks(row.notifiedAfter)) << Describe(d.Notified);
    }
}

TEST_F(EventDetectionTest, LimitModeMailsEachFaultOnceADay) {
    Restart({});  // limit mode, channel failures selected
    ASSERT_TRUE(core_->NotifiableEvents.ChanErr);
    core_->EmailSettings.Enabled = true;
    const std::uint16_t id = Register("Stage", 2);
    CMonitorCore::Device& d = Dev(id);

    Reply(id, Faulty({{K::Chan, 2}}));
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(d.Notified, Marks({{K::Chan, 2}}));

    Reply(id, Faulty({{K::Chan, 2}}));
    Reply(id, Faulty({{K::Chan, 2}}));
    EXPECT_EQ(sent_.size(), 1u);

    Reply(id, Faulty({{K::Chan, 2}, {K::Chan, 4}}));
    ASSERT_EQ(sent_.size(), 2u);
    EXPECT_EQ(sent_[1].status.ChannelOk[2], 0);
    EXPECT_EQ(sent_[1].status.ChannelOk[4], 0);
    const std::string body = core_->AlertBody(d, sent_[1].status);
    EXPECT_NE(body.find("\tChannel 3: \tCHANNEL FAILURE\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("\tChannel 5: \tCHANNEL FAILURE\r\n"), std::string::npos) << body;
    EXPECT_EQ(d.Notified, Marks({{K::Chan, 2}, {K::Chan, 4}}));

    // Recovery clears no mark: the same fault back on the same day is not mailed again, but
    // it is counted.
    Reply(id, Healthy());
    EXPECT_EQ(d.Notified, Marks({{K::Chan, 2}, {K::Chan, 4}}));
    Reply(id, Faulty({{K::Chan, 2}}));
    EXPECT_EQ(sent_.size(), 2u);
    EXPECT_EQ(d.Stats[StatsChanErr + 2], 1);  // the first reply's fault was not an onset
    EXPECT_EQ(d.Stats[StatsChanErr + 4], 1);

    // A new day clears the marks: the standing fault is mailed again.
    core_->ClearNotified();
    Reply(id, Faulty({{K::Chan, 2}}));
    EXPECT_EQ(sent_.size(), 3u);
}

TEST_F(EventDetectionTest, FailedDeliveryMarksNothingAndIsRetried) {
    Restart({});
    core_->EmailSettings.Enabled = true;
    const std::uint16_t id = Register("Stage", 2);
    CMonitorCore::Device& d = Dev(id);
    Reply(id, Healthy());

    deliver_ = false;
    Reply(id, Faulty({{K::Chan, 2}, {K::Fan, 1}}));
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(d.Notified, DeviceStatus{});
    Reply(id, Faulty({{K::Chan, 2}, {K::Fan, 1}}));
    ASSERT_EQ(sent_.size(), 2u);
    EXPECT_EQ(d.Notified, DeviceStatus{});

    deliver_ = true;
    Reply(id, Faulty({{K::Chan, 2}, {K::Fan, 1}}));
    ASSERT_EQ(sent_.size(), 3u);
    EXPECT_EQ(d.Notified, Marks({{K::Chan, 2}, {K::Fan, 1}}));
    Reply(id, Faulty({{K::Chan, 2}, {K::Fan, 1}}));
    EXPECT_EQ(sent_.size(), 3u);
    EXPECT_EQ(d.Stats[StatsChanErr + 2], 1);
    EXPECT_EQ(d.Stats[StatsFanErr + 1], 1);
}

// The fault items, one bit per counter index, that an alert in flight reports.
std::uint32_t ItemBits(const std::vector<Item>& items) {
    std::uint32_t bits = 0;
    for (const Item& it : items) {
        const int base[] = {StatsChanErr, StatsTempErr, StatsFanErr, StatsCurrentErr,
                            StatsMinus5VErr};
        bits |= std::uint32_t{1} << (base[static_cast<int>(it.k)] + it.i);
    }
    return bits;
}

// An alert whose result has not come yet holds back a second mail for the faults it reports,
// and only for those, of that device only, in both modes.
TEST_F(EventDetectionTest, AlertInFlightHoldsBackOnlyItsOwnFaults) {
    const struct {
        const char* name;
        bool nolimit;
        bool known;
        std::vector<Item> previous;
        std::vector<Item> inFlight;  // reported by an alert of this device still under way
        bool otherDevice;            // ... or of another device
        std::vector<Item> now;
        bool mail;
        std::vector<Item> notifiedAfter;
    } table[] = {
        // The rows read as a table.
        // clang-format off
        {"limit: the same fault again", false, true, {{K::Chan, 2}}, {{K::Chan, 2}}, false, {{K::Chan, 2}}, false, {}},
        {"limit: first status after reconnection", false, false, {{K::Chan, 2}}, {{K::Chan, 2}}, false,
         {{K::Chan, 2}}, false, {}},
        {"limit: a new fault of the same device", false, true, {{K::Chan, 2}}, {{K::Chan, 2}}, false,
         {{K::Chan, 2}, {K::Chan, 4}}, true, {{K::Chan, 2}, {K::Chan, 4}}},
        {"limit: a rail beside an alert for another rail", false, true, {}, {{K::Rail, 1}}, false,
         {{K::Rail, 1}, {K::Rail, 2}}, true, {{K::Rail, 1}, {K::Rail, 2}}},
        {"limit: the alert in flight is another device's", false, true, {}, {{K::Chan, 2}}, true, {{K::Chan, 2}},
         true, {{K::Chan, 2}}},
        {"nolimit: onset of the fault in flight", true, true, {}, {{K::Chan, 2}}, false, {{K::Chan, 2}}, false, {}},
        {"nolimit: onset of another fault", true, true, {{K::Chan, 2}}, {{K::Chan, 2}}, false,
         {{K::Chan, 2}, {K::Fan, 1}}, true, {{K::Chan, 2}, {K::Fan, 1}}},
        {"nolimit, status not known: the fault in flight", true, false, {{K::Chan, 2}}, {{K::Chan, 2}}, false,
         {{K::Chan, 2}}, false, {}},
        // clang-format on
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        Restart(row.nolimit ? std::vector<std::string>{"alerts", "nolimit"}
                            : std::vector<std::string>{"alerts"});
        core_->NotifiableEvents = kAll;
        core_->EmailSettings.Enabled = true;
        const std::uint16_t id = Register("Stage", 2);
        const std::uint16_t other = Register("Balcony", 3);
        CMonitorCore::Device& d = Dev(id);
        d.Status = Faulty(row.previous);
        d.StatusKnown = row.known;
        d.ConnState = Connected;
        auto job = std::make_unique<CMonitorCore::EmailJob>();
        job->JobId = 7000;
        job->DeviceId = row.otherDevice ? other : id;
        job->Faults = ItemBits(row.inFlight);
        core_->EmailJobs().push_back(std::move(job));

        const DeviceStatus now = Faulty(row.now);
        Reply(id, now);

        ASSERT_EQ(sent_.size(), row.mail ? 1u : 0u);
        if (row.mail) {
            EXPECT_EQ(sent_[0].status, now);
        }
        EXPECT_EQ(d.Notified, Marks(row.notifiedAfter)) << Describe(d.Notified);
        // Held back or not, an onset is counted.
        for (const Item& it : row.now) {
            const bool onset =
                std::none_of(row.previous.begin(), row.previous.end(),
                             [&](const Item& p) { return p.k == it.k && p.i == it.i; });
            const int counter = std::countr_zero(ItemBits({it}));
            EXPECT_EQ(d.Stats[counter], onset ? 1 : 0) << "counter " << counter;
        }
    }
}

TEST_F(EventDetectionTest, WithoutDeliveryNothingIsMarked) {
    Restart({});
    core_->AlertRecorder = nullptr;
    core_->EmailSettings.Enabled = true;
    const std::uint16_t id = Register("Stage", 2);
    Reply(id, Faulty({{K::Chan, 2}}));
    Reply(id, Faulty({{K::Chan, 2}}));
    EXPECT_EQ(Dev(id).Notified, DeviceStatus{});
    EXPECT_EQ(AlertLogs(), 2u);
}

// ---------------------------------------------------------------- fault report in the log

TEST_F(EventDetectionTest, EveryFaultyReplyIsLoggedBeforeTheDecision) {
    Restart({});
    core_->EmailSettings.Enabled = true;
    // Registered without model and serial: the log shows those of the reply.
    const std::uint16_t id = Register("Stage", 2, 0, "");
    const std::size_t before = AlertLogs();

    Reply(id, Faulty({{K::Chan, 2}}));
    Reply(id, Faulty({{K::Chan, 2}, {K::Fan, 1}}));
    Reply(id, Healthy());
    Reply(id, Faulty({{K::Fan, 1}}));

    const auto logs = EventsWithId(EV_DEVICE_ALERT);
    ASSERT_EQ(logs.size(), before + 3);
    const std::string texts[] = {
        "AVLO Alert [RV12, # 10203040]: CHANNEL FAILURE\r\n\nMessage: ",
        "AVLO Alert [RV12, # 10203040]: CHANNEL FAILURE, FAN FAILURE\r\n\nMessage: ",
        "AVLO Alert [RV12, # 10203040]: FAN FAILURE\r\n\nMessage: ",
    };
    for (int i = 0; i < 3; ++i) {
        const CapturedEvent& e = logs[before + i];
        EXPECT_EQ(e.id, 0xC0000009u);
        EXPECT_EQ(e.type, EVENTLOG_ERROR_TYPE);
        ASSERT_TRUE(e.text.has_value());
        EXPECT_EQ(*e.text, texts[i]);
    }
    // The mail of the first reply was decided after its entry was written.
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(sent_[0].alertLogsAtCall, before + 1);
}

TEST_F(EventDetectionTest, LogOffWritesNoFaultReportButDecidesAndCountsAlike) {
    Restart({});
    core_->EmailSettings.Enabled = true;
    core_->Options.Log = false;
    const std::uint16_t id = Register("Stage", 2);
    const std::size_t before = sink_.Events().size();
    Reply(id, Healthy());
    Reply(id, Faulty({{K::Chan, 2}}));
    Reply(id, Faulty({{K::Chan, 2}}));
    EXPECT_EQ(sink_.Events().size(), before);
    EXPECT_EQ(sent_.size(), 1u);
    EXPECT_EQ(Dev(id).Notified, Marks({{K::Chan, 2}}));
    EXPECT_EQ(Dev(id).Stats[StatsChanErr + 2], 1);

    // With only fan failures selected, a channel failure alone is not mailed, yet it is
    // logged and counted.
    core_->Options.Log = true;
    core_->NotifiableEvents = kFan;
    const std::uint16_t other = Register("Balcony", 3);
    Reply(other, Healthy());
    Reply(other, Faulty({{K::Chan, 2}}));
    EXPECT_EQ(sent_.size(), 1u);
    EXPECT_EQ(AlertLogs(), 1u);
    EXPECT_EQ(Dev(other).Stats[StatsChanErr + 2], 1);
}

// A simulated device with a channel and a rail fault, end to end: the logged text holds the
// raw message exactly as the device sent it.
TEST_F(EventDetectionTest, LoggedFaultReportCarriesTheDevicesRawMessage) {
    const int dev = AddSimDevice(2, "02", "10203040");
    ASSERT_GE(dev, 0);
    Site().SetChannelFault(dev, 3, devsim::ChannelFault::Channel, true);
    Site().SetSupplyFault(dev, 1, true);
    Restart({});
    core_->EmailSettings.Enabled = true;
    DeviceContext c = Ctx("Stage", Address(2), true);
    const int added = core_->AddDevice(&c);
    ASSERT_GT(added, 0);
    const auto id = static_cast<std::uint16_t>(added);

    ASSERT_TRUE(WaitUntil([&] { return AlertLogs() >= 1; }, 10000));
    const std::string raw = Site().StatusMessage(dev);
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(EventsWithId(EV_DEVICE_ALERT)[0].text.value_or(""),
              "AVLO Alert [RV12, # 10203040]: CHANNEL FAILURE, POWER SUPPLY FAILURE\r\n\nMessage: " + raw);
    const CMonitorCore::Device& d = Dev(id);
    EXPECT_EQ(d.ModelCode, 3);
    EXPECT_EQ(d.Serial, "10203040");
    EXPECT_TRUE(d.StatusKnown);
    EXPECT_EQ(d.ConnState, Connected);
    EXPECT_EQ(d.Status.ChannelOk[2], 0);
    EXPECT_EQ(d.Status.SupplyOk[1], 0);
    for (int i = 0; i < StatsCount; ++i) EXPECT_EQ(d.Stats[i], 0) << i;  // first status
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(d.Notified, Marks({{K::Chan, 2}, {K::Rail, 1}}));
    EXPECT_EQ(Cell(0, 4), "Channel Failure, Power Supply Failure");

    // The faults clear, then channel 3 fails again: counted, logged, not mailed again today.
    Site().ClearFaults(dev);
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Dev(id).Status.ChannelOk[2] == 1; }, 10000));
    EXPECT_EQ(Cell(0, 4), "OK");
    const std::size_t logged = AlertLogs();  // replies already under way may have added some
    Site().SetChannelFault(dev, 3, devsim::ChannelFault::Channel, true);
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return AlertLogs() > logged; }, 10000));
    EXPECT_EQ(EventsWithId(EV_DEVICE_ALERT).back().text.value_or(""),
              "AVLO Alert [RV12, # 10203040]: CHANNEL FAILURE\r\n\nMessage: " + Site().StatusMessage(dev));
    EXPECT_EQ(Dev(id).Stats[StatsChanErr + 2], 1);
    EXPECT_EQ(Dev(id).Stats[StatsPlus12VErr], 0);
    EXPECT_EQ(sent_.size(), 1u);
}

// ---------------------------------------------------------------- texts

TEST_F(EventDetectionTest, AlertSubjectTexts) {
    Restart({});
    const std::uint16_t id = Register("Stage", 2);
    const struct {
        std::uint8_t model;
        const char* serial;
        std::vector<Item> faults;
        const char* subject;
    } table[] = {
        {3, "10203040", {{K::Fan, 1}, {K::Rail, 1}},
         "AVLO Alert [RV12, # 10203040]: FAN FAILURE, POWER SUPPLY FAILURE"},
        {4, "10203040", {{K::Rail, 3}, {K::Ovc, 0}, {K::Fan, 6}, {K::Temp, 2}, {K::Chan, 4}},
         "AVLO Alert [RV13, # 10203040]: CHANNEL FAILURE, HIGH TEMPERATURE, FAN FAILURE, OVER-CURRENT, "
         "POWER SUPPLY FAILURE"},
        {2, "10203040", {{K::Ovc, 3}, {K::Temp, 0}}, "AVLO Alert [RV11, # 10203040]: HIGH TEMPERATURE, OVER-CURRENT"},
        {1, "10203040", {{K::Chan, 4}}, "AVLO Alert [RV10, # 10203040]: CHANNEL FAILURE"},  // not on a 2-channel model
        {0, "10203040", {{K::Chan, 0}}, "AVLO Alert [Unknown, # 10203040]: CHANNEL FAILURE"},
        {3, "", {{K::Temp, 6}}, "AVLO Alert [RV12, # ]: HIGH TEMPERATURE"},
        {3, "10203040", {{K::Rail, 0}, {K::Rail, 1}, {K::Rail, 2}, {K::Rail, 3}},
         "AVLO Alert [RV12, # 10203040]: POWER SUPPLY FAILURE"},
        {3, "10203040", {{K::Rail, 3}}, "AVLO Alert [RV12, # 10203040]: POWER SUPPLY FAILURE"},
        {3, "10203040", {{K::Rail, 0}}, "AVLO Alert [RV12, # 10203040]: POWER SUPPLY FAILURE"},
    };
    for (const auto& row : table) {
        Dev(id).ModelCode = row.model;
        Dev(id).Serial = row.serial;
        EXPECT_EQ(core_->AlertSubject(Dev(id), Faulty(row.faults)), row.subject);
    }
}

TEST_F(EventDetectionTest, ConditionTexts) {
    Restart({});
    const std::uint16_t id = Register("Stage", 2);
    const struct {
        std::uint8_t conn;
        bool known;
        std::vector<Item> faults;
        const char* text;
    } table[] = {
        {Connected, true, {}, "OK"},
        {Connected, true, {{K::Fan, 1}, {K::Rail, 1}}, "Fan Failure, Power Supply Failure"},
        {Connected, true, {{K::Rail, 3}, {K::Ovc, 0}, {K::Fan, 6}, {K::Temp, 2}, {K::Chan, 4}},
         "Channel Failure, High Temperature, Fan Failure, Over-current, Power Supply Failure"},
        {Connected, true, {{K::Rail, 0}, {K::Rail, 2}, {K::Rail, 3}}, "Power Supply Failure"},
        {Connected, true, {{K::Ovc, 6}, {K::Temp, 6}}, "High Temperature, Over-current"},
        {Connected, true, {{K::Chan, 6}}, "Channel Failure"},
        {Connecting, true, {{K::Fan, 1}, {K::Rail, 1}}, "Unknown"},
        {Connecting, true, {}, "Unknown"},
        {Disconnected, true, {}, "Unknown"},
        {Connected, false, {}, "Unknown"},
        {Connected, false, {{K::Chan, 0}}, "Unknown"},
    };
    for (const auto& row : table) {
        CMonitorCore::Device& d = Dev(id);
        d.ConnState = row.conn;
        d.StatusKnown = row.known;
        d.Status = Faulty(row.faults);
        d.Condition = "stale";
        core_->ConditionText(id);
        EXPECT_EQ(d.Condition, row.text) << "state " << int(row.conn) << " known " << row.known;
    }
    core_->ConditionText(65000);  // not in the table: nothing to do
}

TEST_F(EventDetectionTest, NewDeviceNames) {
    Restart({});
    EXPECT_EQ(core_->NewDeviceName(1), "My Velkan RV10");
    EXPECT_EQ(core_->NewDeviceName(2), "My Velkan RV11");
    EXPECT_EQ(core_->NewDeviceName(3), "My Velkan RV12");
    EXPECT_EQ(core_->NewDeviceName(4), "My Velkan RV13");
    EXPECT_EQ(core_->NewDeviceName(0), "My Velkan Unknown");

    Register("My Velkan RV10 1", 3);
    EXPECT_EQ(core_->NewDeviceName(1), "My Velkan RV10");  // the base is free
    Register("My Velkan RV10", 2);
    EXPECT_EQ(core_->NewDeviceName(1), "My Velkan RV10 2");
    EXPECT_EQ(core_->NewDeviceName(4), "My Velkan RV13");
    Register("My Velkan RV10 3", 4);
    EXPECT_EQ(core_->NewDeviceName(1), "My Velkan RV10 2");
    Register("My Velkan RV10 2", 5);
    EXPECT_EQ(core_->NewDeviceName(1), "My Velkan RV10 4");
    Register("My Velkan Unknown", 6);
    EXPECT_EQ(core_->NewDeviceName(0), "My Velkan Unknown 1");
}

}  // namespace
