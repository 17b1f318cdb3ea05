// Desktop notifications through the desktop's notification service: what reaches it, that a
// click on one opens the window, that a recovery replaces its fault, and that the
// notification-area icon takes over while no service answers. The test runs a bus of its own
// and a notification service of its own on it.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QIcon>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <optional>

#include "MainFormFixture.h"
#include "app/DesktopNotifier.h"
#include "app/NotificationService.h"

namespace {

using devsim::ChannelFault;

const QString ServiceName = QString::fromLatin1(TNotificationService::Service);
const QString ServicePath = QString::fromLatin1(TNotificationService::Path);

// A session bus for this test program alone: no activatable services, so a notification
// service is there exactly while the test has one registered.
class PrivateBus {
public:
    bool Start() {
        if (!dir_.isValid()) return false;
        const QString config = dir_.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) return false;
        file.write(R"(<busconfig>
  <type>session</type>
  <listen>unix:dir=)" +
                   dir_.path().toUtf8() + R"(</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
        file.close();
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--nofork"), QStringLiteral("--print-address"),
                       QStringLiteral("--config-file=") + config});
        if (!daemon_.waitForStarted(5000)) return false;
        while (!daemon_.canReadLine()) {
            if (!daemon_.waitForReadyRead(5000)) return false;
        }
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        return !address_.isEmpty();
    }
    ~PrivateBus() {
        daemon_.terminate();
        daemon_.waitForFinished(3000);
    }
    const QString& Address() const { return address_; }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
};

PrivateBus* Bus = nullptr;

}  // namespace

// The notification service of a desktop, as far as this program uses it: it keeps every
// notification it is given and can say that the user clicked one.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown {
        QString app;
        uint replaces = 0;
        QString icon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int timeout = 0;
        uint id = 0;
    };

    // connection: a name of its own, so that each service is a new owner on the bus.
    explicit FakeNotifications(const QString& connection)
        : bus_(QDBusConnection::connectToBus(Bus->Address(), connection)) {}
    ~FakeNotifications() override {
        Leave();
        QDBusConnection::disconnectFromBus(bus_.name());
    }

    bool Take() {
        return bus_.registerObject(ServicePath, this, QDBusConnection::ExportAllSlots) &&
               bus_.registerService(ServiceName);
    }
    void Leave() {
        bus_.unregisterService(ServiceName);
        bus_.unregisterObject(ServicePath);
    }
    // The user clicks the notification (or, from an impostor's connection, pretends to).
    void Click(uint id, const QDBusConnection& from) const {
        QDBusMessage signal =
            QDBusMessage::createSignal(ServicePath, ServiceName, QStringLiteral("ActionInvoked"));
        signal << id << QStringLiteral("default");
        from.send(signal);
    }
    void Click(uint id) const { Click(id, bus_); }

    QStringList capabilities{QStringLiteral("actions"), QStringLiteral("body")};
    std::vector<Shown> shown;

public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int timeout) {
        const uint id = replaces != 0 ? replaces : nextId_++;
        shown.push_back({app, replaces, icon, summary, body, actions, hints, timeout, id});
        return id;
    }
    void CloseNotification(uint) {}

private:
    QDBusConnection bus_;
    uint nextId_ = 41;
};

namespace {

class DesktopNotificationsTest : public MainFormFixture {
protected:
    DesktopNotificationsTest() : MainFormFixture(117) {}

    static void SetUpTestSuite() {
        Bus = new PrivateBus;
        ASSERT_TRUE(Bus->Start()) << "dbus-daemon (package dbus) did not start";
        // Before the program's first use of the session bus, which it keeps for the run.
        qputenv("DBUS_SESSION_BUS_ADDRESS", Bus->Address().toUtf8());
    }
    static void TearDownTestSuite() {
        delete Bus;
        Bus = nullptr;
    }

    void SetUp() override {
        MainFormFixture::SetUp();
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
    }
    void TearDown() override {
        MainFormFixture::TearDown();
        services_.clear();
    }

    // A new service, owning the name until the next one.
    FakeNotifications& NewService() {
        if (!services_.empty()) services_.back()->Leave();
        services_.push_back(std::make_unique<FakeNotifications>(QStringLiteral("service-") +
                                                                QString::number(++serviceCount_)));
        EXPECT_TRUE(services_.back()->Take());
        EXPECT_TRUE(WaitUntil([] {
            return QDBusConnection::sessionBus().interface()->isServiceRegistered(ServiceName);
        }));
        return *services_.back();
    }
    void NoService() {
        services_.back()->Leave();
        EXPECT_TRUE(WaitUntil([] {
            return !QDBusConnection::sessionBus().interface()->isServiceRegistered(ServiceName);
        }));
    }

    // A quiet simulated amplifier (an RV12), and the window watching it.
    int Sim(int host) {
        return QuietSim(host, "7000", [](devsim::DeviceConfig& c) { c.modelText = "02"; });
    }
    void Start() {
        StartQuiet();
        form_->Notifier->GatherMs = 200;
        form_->Notifier->ShowInTray = [this](const DesktopNotification& n) {
            inTray_.push_back(n.Title);
        };
    }

    // Waits for the condition, then for the gathering and the service's answer.
    void Settle(const std::function<bool()>& pred) {
        ASSERT_TRUE(WaitUntil(pred));
        Pump(form_->Notifier->GatherMs + 400);
    }

    static int Urgency(const FakeNotifications::Shown& shown) {
        const QVariant urgency = shown.hints.value(QStringLiteral("urgency"));
        // A byte, as the service reads it.
        if (urgency.metaType() != QMetaType::fromType<uchar>()) return -1;
        return urgency.value<uchar>();
    }

    std::vector<std::unique_ptr<FakeNotifications>> services_;
    int serviceCount_ = 0;
    std::vector<QString> inTray_;
};

// A fault and its recovery, told by the desktop's service: the program's name and icon, the
// urgency, a default action that opens the window; the recovery takes the fault's place.
TEST_F(DesktopNotificationsTest, FaultAndRecoveryReachTheServiceAndAClickOpensTheWindow) {
    FakeNotifications& service = NewService();
    const int sim = Sim(2);
    Start();
    Add("Stage Left", Address(2));
    Settle([&] { return Shows(0, "Connected", "OK"); });

    Site().SetChannelFault(sim, 2, ChannelFault::Fan, true);
    form_->Core().PollAll();
    Settle([&] { return Shows(0, "Connected", "Fan Failure"); });
    ASSERT_EQ(service.shown.size(), 1u);
    const FakeNotifications::Shown fault = service.shown[0];
    EXPECT_EQ(fault.app, "AVLO Monitor");
    EXPECT_EQ(fault.icon, "avlo-monitor");
    EXPECT_EQ(fault.summary, "AVLO Alert [RV12, # 70001002]: FAN FAILURE");
    EXPECT_EQ(fault.body, "Fan Failure");
    EXPECT_EQ(fault.replaces, 0u);
    EXPECT_EQ(Urgency(fault), 2);
    EXPECT_EQ(fault.hints.value(QStringLiteral("desktop-entry")).toString(), "avlo-monitor");
    const QStringList& actions = fault.actions;
    ASSERT_EQ(actions.size() % 2, 0);
    EXPECT_TRUE(actions.indexOf(QStringLiteral("default")) % 2 == 0)
        << actions.join(' ').toStdString();
    EXPECT_EQ(fault.timeout, -1);
    // Run from its build folder the program has no installed icon: the picture comes along.
    if (!QIcon::hasThemeIcon(QStringLiteral("avlo-monitor"))) {
        NotificationImage picture;
        fault.hints.value(QStringLiteral("image-data")).value<QDBusArgument>() >> picture;
        EXPECT_EQ(picture.Width, 64);
        EXPECT_EQ(picture.Height, 64);
        EXPECT_EQ(picture.Data.size(), picture.RowStride * picture.Height);
        EXPECT_GT(picture.Data.count('\0'), 0);
        EXPECT_LT(picture.Data.count('\0'), picture.Data.size());
    }
    EXPECT_TRUE(inTray_.empty());

    // A click on it brings the hidden window back; the same signal from another program on
    // the bus does not.
    form_->hide();
    const QDBusConnection impostor =
        QDBusConnection::connectToBus(Bus->Address(), QStringLiteral("impostor"));
    service.Click(fault.id, impostor);
    Pump(300);
    QDBusConnection::disconnectFromBus(impostor.name());
    EXPECT_FALSE(form_->isVisible());
    service.Click(fault.id);
    EXPECT_TRUE(WaitUntil([&] { return form_->isVisible() && !form_->isMinimized(); }));

    Site().ClearFaults(sim);
    form_->Core().PollAll();
    Settle([&] { return Shows(0, "Connected", "OK"); });
    ASSERT_EQ(service.shown.size(), 2u);
    EXPECT_EQ(service.shown[1].summary, "Stage Left: back to OK");
    EXPECT_EQ(service.shown[1].replaces, fault.id);
    EXPECT_EQ(Urgency(service.shown[1]), 1);
    EXPECT_TRUE(inTray_.empty());
}

// Nothing is told of a muted device, neither its fault nor its recovery, while the other
// device's are; after the unmute what happened meanwhile stays untold, and its next fault is
// news again.
TEST_F(DesktopNotificationsTest, NothingIsToldOfAMutedDevice) {
    FakeNotifications& service = NewService();
    const int quiet = Sim(2);
    const int loud = Sim(3);
    Start();
    Add("Quiet", Address(2));
    Add("Loud", Address(3));
    Settle([&] { return Shows(0, "Connected", "OK") && Shows(1, "Connected", "OK"); });
    const std::uint16_t quietId = form_->Core().FindDeviceByListIndex(0)->DeviceId;
    form_->MuteDeviceAlerts(quietId, CMonitorCore::MutedIndefinitely);

    Site().SetChannelFault(quiet, 1, ChannelFault::Fan, true);
    Site().SetChannelFault(loud, 1, ChannelFault::Fan, true);
    form_->Core().PollAll();
    Settle([&] {
        return Shows(0, "Connected", "Fan Failure") && Shows(1, "Connected", "Fan Failure");
    });
    ASSERT_EQ(service.shown.size(), 1u);
    EXPECT_EQ(service.shown[0].summary, "AVLO Alert [RV12, # 70001003]: FAN FAILURE");

    Site().ClearFaults(quiet);
    Site().ClearFaults(loud);
    form_->Core().PollAll();
    Settle([&] { return Shows(0, "Connected", "OK") && Shows(1, "Connected", "OK"); });
    ASSERT_EQ(service.shown.size(), 2u);
    EXPECT_EQ(service.shown[1].summary, "Loud: back to OK");

    Site().SetChannelFault(quiet, 1, ChannelFault::Fan, true);
    form_->Core().PollAll();
    Settle([&] { return Shows(0, "Connected", "Fan Failure"); });
    form_->MuteDeviceAlerts(quietId, 0);
    Pump(form_->Notifier->GatherMs + 400);
    EXPECT_EQ(service.shown.size(), 2u);  // the fault of the muted time is not told late

    Site().ClearFaults(quiet);
    form_->Core().PollAll();
    Settle([&] { return Shows(0, "Connected", "OK"); });
    Site().SetChannelFault(quiet, 2, ChannelFault::Fan, true);
    form_->Core().PollAll();
    Settle([&] { return Shows(0, "Connected", "Fan Failure"); });
    ASSERT_EQ(service.shown.size(), 4u);
    EXPECT_EQ(service.shown[2].summary, "Quiet: back to OK");
    EXPECT_EQ(service.shown[3].summary, "AVLO Alert [RV12, # 70001002]: FAN FAILURE");
    EXPECT_TRUE(inTray_.empty());
}

// A device not reachable is told as the core raises it; the core's other alerts and notices
// come from the rows, and are not told twice.
TEST_F(DesktopNotificationsTest, ADeviceNotReachableIsToldOnce) {
    FakeNotifications& service = NewService();
    Sim(2);
    Start();
    Add("Quiet", Address(2));
    Settle([&] { return Shows(0, "Connected", "OK"); });
    const std::uint16_t id = form_->Core().FindDeviceByListIndex(0)->DeviceId;

    AlertNotice lost;
    lost.What = AlertNotice::Kind::Alert;
    lost.DeviceName = "Quiet";
    lost.Address = Address(2);
    lost.Problems = {"unreachable"};
    lost.Since = 1765444615;
    lost.Subject = "AVLO Alert [RV12, # 70001002]: NOT REACHABLE";
    AlertNotice fault = lost;
    fault.Problems = {"fan"};
    AlertNotice back = lost;
    back.What = AlertNotice::Kind::Notice;
    emit form_->Core().AlertRaised(id, fault);
    emit form_->Core().AlertRaised(id, back);
    emit form_->Core().AlertRaised(id, lost);
    Pump(400);
    ASSERT_EQ(service.shown.size(), 1u);
    EXPECT_EQ(service.shown[0].summary, "AVLO Alert [RV12, # 70001002]: NOT REACHABLE");
    EXPECT_TRUE(service.shown[0].body.startsWith("Quiet (" + QString::fromStdString(Address(2)) +
                                                 "): no status since "))
        << service.shown[0].body.toStdString();

    form_->Core().Options.Notify = false;
    emit form_->Core().AlertRaised(id, lost);
    Pump(400);
    EXPECT_EQ(service.shown.size(), 1u);
}

// The service goes and comes back: meanwhile the notification-area icon tells; a new service
// does not know the numbers of the old one, so nothing is replaced there.
TEST_F(DesktopNotificationsTest, WithoutAServiceTheTrayTellsUntilOneIsBack) {
    FakeNotifications& first = NewService();
    const int sim = Sim(3);
    Start();
    Add("Balcony", Address(3));
    Settle([&] { return Shows(0, "Connected", "OK"); });
    Site().SetSupplyFault(sim, 1, true);
    form_->Core().PollAll();
    Settle([&] { return Shows(0, "Connected", "Power Supply Failure"); });
    ASSERT_EQ(first.shown.size(), 1u);

    NoService();
    Site().ClearFaults(sim);
    form_->Core().PollAll();
    Settle([&] { return Shows(0, "Connected", "OK"); });
    EXPECT_EQ(inTray_, std::vector<QString>{"Balcony: back to OK"});
    EXPECT_EQ(first.shown.size(), 1u);

    FakeNotifications& second = NewService();
    Site().SetChannelFault(sim, 1, ChannelFault::Current, true);
    form_->Core().PollAll();
    Settle([&] { return Shows(0, "Connected", "Over-current"); });
    ASSERT_EQ(second.shown.size(), 1u);
    EXPECT_EQ(second.shown[0].summary, "AVLO Alert [RV12, # 70001003]: OVER-CURRENT");
    EXPECT_EQ(second.shown[0].replaces, 0u);
    EXPECT_EQ(inTray_.size(), 1u);
}

// Device names go into a summary's body: escaped where the service reads markup, as they are
// where it does not. Summaries stand on their own and replace nothing.
TEST_F(DesktopNotificationsTest, SummaryBodyIsEscapedOnlyForAServiceThatReadsMarkup) {
    FakeNotifications& service = NewService();
    std::vector<int> sims;
    for (int host : {4, 5, 6}) sims.push_back(Sim(host));
    Start();
    Add("R&D <1>", Address(4));
    Add("R&D <2>", Address(5));
    Add("Hall", Address(6));
    const auto all = [&](const char* condition) {
        return [&, condition] {
            return Shows(0, "Connected", condition) && Shows(1, "Connected", condition) &&
                   Shows(2, "Connected", condition);
        };
    };
    Settle(all("OK"));

    const struct {
        bool markup;
        const char* body;
    } cases[] = {
        {false, "R&D <1>, R&D <2>, Hall"},
        {true, "R&amp;D &lt;1&gt;, R&amp;D &lt;2&gt;, Hall"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.markup ? "body-markup" : "plain");
        service.capabilities = {QStringLiteral("actions"), QStringLiteral("body")};
        if (c.markup) service.capabilities << QStringLiteral("body-markup");
        service.shown.clear();
        for (int sim : sims) Site().SetChannelFault(sim, 1, ChannelFault::Channel, true);
        form_->Core().PollAll();
        Settle(all("Channel Failure"));
        ASSERT_EQ(service.shown.size(), 1u);
        EXPECT_EQ(service.shown[0].summary, "3 devices report faults");
        EXPECT_EQ(service.shown[0].body, c.body);
        EXPECT_EQ(service.shown[0].replaces, 0u);
        for (int sim : sims) Site().ClearFaults(sim);
        form_->Core().PollAll();
        Settle(all("OK"));
        ASSERT_EQ(service.shown.size(), 2u);
        EXPECT_EQ(service.shown[1].summary, "3 devices back to OK");
        EXPECT_EQ(service.shown[1].replaces, 0u);
    }
}

// The session's bus where the session announces one; none otherwise, since libdbus would start
// one for the X display that outlives the program.
TEST_F(DesktopNotificationsTest, OnlyTheSessionsOwnBusIsUsed) {
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const bool hadRuntime = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    const struct {
        const char* what;
        bool address;
        bool runtimeBus;
        bool used;
    } cases[] = {
        {"address", true, false, true},
        {"the runtime folder's bus", false, true, true},
        {"neither", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.address) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        } else {
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        }
        QFile bus(runtime.filePath(QStringLiteral("bus")));
        if (c.runtimeBus) {
            ASSERT_TRUE(bus.open(QIODevice::WriteOnly));
            bus.close();
        } else {
            bus.remove();
        }
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        const QDBusConnection chosen = TNotificationService::SessionBus();
        EXPECT_EQ(chosen.isConnected(), c.used);
        EXPECT_EQ(chosen.name() == QDBusConnection::sessionBus().name(), c.used);
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    if (hadRuntime) {
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
    } else {
        qunsetenv("XDG_RUNTIME_DIR");
    }
}

// Without a session bus at all, the fallback is all there is, and it comes at once.
TEST(NotificationServiceTest, WithoutABusTheFallbackShowsItAtOnce) {
    TNotificationService service(QDBusConnection(QStringLiteral("no bus")), QImage(), [] {});
    int fallbacks = 0;
    service.Show({QStringLiteral("title"), QStringLiteral("text"), true}, std::nullopt,
                 [&] { ++fallbacks; });
    EXPECT_EQ(fallbacks, 1);
}

}  // namespace

#include "desktop_notifications_test.moc"
