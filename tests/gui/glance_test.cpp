// The site at a glance: state icons and condition colours of the rows, the notification-area
// icon's worst state and hint, and the desktop notifications of new faults and recoveries.
#include <QColor>
#include <QImage>
#include <QPalette>
#include <QSystemTrayIcon>
#include <algorithm>
#include <functional>

#include "MainFormFixture.h"
#include "app/DesktopNotifier.h"
#include "app/DeviceStateLook.h"
#include "app/TrayState.h"

namespace {

using devsim::ChannelFault;

// How the condition text is coloured, as a person sees it.
enum class Tint { Normal, Red, Grey, Other };

const char* TintName(Tint t) {
    switch (t) {
        case Tint::Normal:
            return "normal";
        case Tint::Red:
            return "red";
        case Tint::Grey:
            return "grey";
        case Tint::Other:
            break;
    }
    return "other";
}

Tint TintOf(const QColor& c) {
    if (c.red() > 150 && c.red() > 2 * std::max(c.green(), c.blue())) return Tint::Red;
    const int spread =
        std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()});
    return spread < 20 ? Tint::Grey : Tint::Other;
}

class GlanceTest : public MainFormFixture {
protected:
    GlanceTest() : MainFormFixture(101) {}

    void SetUp() override {
        MainFormFixture::SetUp();
        NotifySeam::Capture(true);
    }
    void TearDown() override {
        MainFormFixture::TearDown();
        NotifySeam::Capture(false);
    }

    // A quiet simulated amplifier (an RV12, serial 7000 + 1000 + host).
    int Sim(int host, const std::function<void(devsim::DeviceConfig&)>& tweak = {}) {
        return QuietSim(host, "7000", [&](devsim::DeviceConfig& c) {
            c.modelText = "02";
            if (tweak) tweak(c);
        });
    }
    void StartGlance(int gatherMs) {
        StartQuiet();
        form_->Notifier->GatherMs = gatherMs;
    }

    QTreeWidgetItem* Row(int row) const { return form_->ListView->topLevelItem(row); }

    Tint ConditionTint(int row) const {
        const QVariant v = Row(row)->data(ColCondition, Qt::ForegroundRole);
        if (!v.isValid() || v.value<QBrush>().style() == Qt::NoBrush) return Tint::Normal;
        const QColor c = v.value<QBrush>().color();
        // Grey must also read as something other than the list's own text.
        if (c == form_->ListView->palette().color(QPalette::Active, QPalette::Text))
            return Tint::Normal;
        return TintOf(c);
    }

    // The row shows the icon of the look, and the colour a person expects for it.
    ::testing::AssertionResult RowLooks(int row, DeviceLook look, Tint tint) const {
        const QIcon shown = Row(row)->icon(0);
        const QIcon& expected = form_->StateIcons->Row(look);
        if (expected.isNull() ? !shown.isNull() : shown.cacheKey() != expected.cacheKey()) {
            return ::testing::AssertionFailure()
                   << "row " << row << " (" << Cell(row, ColStatus).toStdString() << " | "
                   << Cell(row, ColCondition).toStdString() << ") has another icon";
        }
        if (ConditionTint(row) != tint) {
            return ::testing::AssertionFailure()
                   << "row " << row << " condition is " << TintName(ConditionTint(row)) << ", not "
                   << TintName(tint);
        }
        return ::testing::AssertionSuccess();
    }

    // The tray's variant is the one of the level, and the hint says the counts.
    ::testing::AssertionResult TrayShows(TrayLevel level, const QString& hint) const {
        const QSystemTrayIcon* tray = form_->TrayIcon;
        if (form_->TrayLook->Level() != level)
            return ::testing::AssertionFailure() << "level " << static_cast<int>(level);
        if (tray->icon().cacheKey() != form_->TrayLook->Icon(level).cacheKey())
            return ::testing::AssertionFailure() << "the icon is not the level's variant";
        if (tray->toolTip() != hint)
            return ::testing::AssertionFailure() << "hint " << tray->toolTip().toStdString();
        return ::testing::AssertionSuccess();
    }
    bool WaitForTray(TrayLevel level, const QString& hint) {
        return WaitUntil([&] { return TrayShows(level, hint); });
    }

    // Everything notified from now until the gathering after pred has passed.
    std::vector<DesktopNotification> NotifiedOnceSettled(const std::function<bool()>& pred) {
        EXPECT_TRUE(WaitUntil(pred));
        Pump(form_->Notifier->GatherMs + 300);
        return NotifySeam::TakeShown();
    }

    static std::vector<QString> Titles(const std::vector<DesktopNotification>& shown) {
        std::vector<QString> titles;
        for (const auto& n : shown) titles.push_back(n.Title);
        return titles;
    }
};

// The corner of a picture where the tray variants carry their badge.
QColor BadgeColour(const QIcon& icon) {
    const QImage image = icon.pixmap(32, 32).toImage();
    return image.pixelColor(25, 25);
}

TEST_F(GlanceTest, EachKindOfRowGetsItsIconAndColourAndFollowsTheDevice) {
    const int healthy = Sim(2);
    const int faulty = Sim(3);
    Site().SetChannelFault(faulty, 2, ChannelFault::Fan, true);
    Sim(5);
    StartGlance(300);
    // The four icons are four different pictures, and a device not monitored has none.
    const TStateIcons& icons = *form_->StateIcons;
    const DeviceLook iconLooks[] = {DeviceLook::Ok, DeviceLook::Fault, DeviceLook::NotConnected};
    for (DeviceLook a : iconLooks) {
        EXPECT_FALSE(icons.Row(a).isNull());
        for (DeviceLook b : iconLooks) {
            if (a != b) {
                EXPECT_NE(icons.Row(a).cacheKey(), icons.Row(b).cacheKey());
            }
        }
    }
    EXPECT_TRUE(icons.Row(DeviceLook::Off).isNull());

    Add("Healthy", Address(2));
    Add("Faulty", Address(3));
    Add("Unreachable", Address(4));  // nothing listens there
    Add("Spare", Address(5), false);
    ASSERT_TRUE(WaitUntil([&] {
        return Shows(0, "Connected", "OK") && Shows(1, "Connected", "Fan Failure") &&
               Shows(2, "Connecting...", "Unknown");
    }));
    ASSERT_TRUE(Shows(3, "Disconnected", "Unknown"));
    EXPECT_TRUE(RowLooks(0, DeviceLook::Ok, Tint::Normal));
    EXPECT_TRUE(RowLooks(1, DeviceLook::Fault, Tint::Red));
    EXPECT_TRUE(RowLooks(2, DeviceLook::NotConnected, Tint::Grey));
    EXPECT_TRUE(RowLooks(3, DeviceLook::Off, Tint::Grey));

    // Each changes: the healthy one loses its connection for good, the faulty one recovers,
    // the spare is ticked and connects; the texts are the list's own, unchanged.
    Site().SetRefuseConnections(healthy, true);
    Site().DropConnection(healthy);
    Site().ClearFaults(faulty);
    form_->Core().PollAll();
    Row(3)->setCheckState(0, Qt::Checked);
    ASSERT_TRUE(WaitUntil([&] {
        return Cell(0, ColStatus) != "Connected" && Shows(1, "Connected", "OK") &&
               Shows(3, "Connected", "OK");
    })) << RowState(0)().toStdString()
        << " / " << RowState(1)().toStdString() << " / " << RowState(3)().toStdString();
    EXPECT_EQ(Cell(0, ColCondition), "Unknown");
    EXPECT_TRUE(RowLooks(0, DeviceLook::NotConnected, Tint::Grey));
    EXPECT_TRUE(RowLooks(1, DeviceLook::Ok, Tint::Normal));
    EXPECT_TRUE(RowLooks(3, DeviceLook::Ok, Tint::Normal));

    // And back to a fault: the red comes with the text.
    Site().SetSupplyFault(faulty, 1, true);
    form_->Core().PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Shows(1, "Connected", "Power Supply Failure"); }));
    EXPECT_TRUE(RowLooks(1, DeviceLook::Fault, Tint::Red));
}

TEST_F(GlanceTest, TrayIconAndHintFollowTheWorstState) {
    const int left = Sim(10);
    const int right = Sim(11);
    StartGlance(300);
    EXPECT_TRUE(TrayShows(TrayLevel::Normal, "AVLO Monitor"));
    // The three variants: the program's icon, and it with a warning and with an error badge.
    const TTrayLook& look = *form_->TrayLook;
    const QColor normal = BadgeColour(look.Icon(TrayLevel::Normal));
    const QColor warning = BadgeColour(look.Icon(TrayLevel::Warning));
    const QColor error = BadgeColour(look.Icon(TrayLevel::Error));
    EXPECT_NE(normal, warning);
    EXPECT_NE(normal, error);
    EXPECT_NE(warning, error);

    Add("Left", Address(10));
    Add("Right", Address(11));
    ASSERT_TRUE(
        WaitUntil([&] { return Shows(0, "Connected", "OK") && Shows(1, "Connected", "OK"); }));
    EXPECT_TRUE(WaitForTray(TrayLevel::Normal, "AVLO Monitor"));

    Site().SetChannelFault(left, 1, ChannelFault::Channel, true);
    form_->Core().PollAll();
    EXPECT_TRUE(WaitForTray(TrayLevel::Error, "AVLO Monitor\n1 fault"));
    Site().SetChannelFault(right, 3, ChannelFault::Temperature, true);
    form_->Core().PollAll();
    EXPECT_TRUE(WaitForTray(TrayLevel::Error, "AVLO Monitor\n2 faults"));

    Add("Unreachable", Address(12));  // nothing listens there
    EXPECT_TRUE(WaitForTray(TrayLevel::Error, "AVLO Monitor\n2 faults, 1 not connected"));

    Site().ClearFaults(left);
    Site().ClearFaults(right);
    form_->Core().PollAll();
    EXPECT_TRUE(WaitForTray(TrayLevel::Warning, "AVLO Monitor\n1 not connected"));

    // A device that is not monitored is not wrong.
    Row(2)->setCheckState(0, Qt::Unchecked);
    EXPECT_TRUE(WaitForTray(TrayLevel::Normal, "AVLO Monitor"));
    Add("Spare", Address(13), false);
    Pump(100);
    EXPECT_TRUE(TrayShows(TrayLevel::Normal, "AVLO Monitor"));

    // A faulty device that is deleted takes its fault with it.
    Site().SetSupplyFault(right, 2, true);
    form_->Core().PollAll();
    EXPECT_TRUE(WaitForTray(TrayLevel::Error, "AVLO Monitor\n1 fault"));
    form_->Core().DeleteDevice(1);
    EXPECT_TRUE(WaitForTray(TrayLevel::Normal, "AVLO Monitor"));
}

// One device through a fault and back: one notification for the onset, titled with the alert
// subject line, none while the fault stands, one when it has cleared.
TEST_F(GlanceTest, FaultOnsetAndRecoveryEachGiveOneNotification) {
    const int sim = Sim(20);
    StartGlance(400);
    Add("Stage Left", Address(20));
    // The first status, OK, is no news.
    EXPECT_TRUE(NotifiedOnceSettled([&] { return Shows(0, "Connected", "OK"); }).empty());

    // Two polls within one gathering, the second with one more fault: still one notification,
    // and it names what the device shows now.
    Site().SetChannelFault(sim, 2, ChannelFault::Fan, true);
    form_->Core().PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "Fan Failure"); }));
    Site().SetSupplyFault(sim, 1, true);
    form_->Core().PollAll();
    auto shown = NotifiedOnceSettled(
        [&] { return Shows(0, "Connected", "Fan Failure, Power Supply Failure"); });
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Title, "AVLO Alert [RV12, # 70001020]: FAN FAILURE, POWER SUPPLY FAILURE");
    EXPECT_EQ(shown[0].Text, "Fan Failure, Power Supply Failure");
    EXPECT_EQ(shown[0].Icon, QSystemTrayIcon::Warning);

    // The fault stands through further polls, a lost connection and a reconnection.
    form_->Core().PollAll();
    EXPECT_TRUE(
        NotifiedOnceSettled([&] { return Site().Snapshot(sim).statusQueries == 4; }).empty());
    Site().DropConnection(sim);
    ASSERT_TRUE(SimWait(sim, [](const auto& s) { return s.connections == 2 && s.connected; }));
    EXPECT_TRUE(NotifiedOnceSettled([&] {
                    return Site().Snapshot(sim).statusQueries == 5 &&
                           Shows(0, "Connected", "Fan Failure, Power Supply Failure");
                }).empty());

    Site().ClearFaults(sim);
    form_->Core().PollAll();
    shown = NotifiedOnceSettled([&] { return Shows(0, "Connected", "OK"); });
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Title, "Stage Left: back to OK");
    EXPECT_EQ(shown[0].Icon, QSystemTrayIcon::Information);

    // A fault that comes and goes again within one gathering has nothing left to tell.
    Site().SetChannelFault(sim, 1, ChannelFault::Channel, true);
    form_->Core().PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "Channel Failure"); }));
    Site().ClearFaults(sim);
    form_->Core().PollAll();
    EXPECT_TRUE(NotifiedOnceSettled([&] {
                    return Site().Snapshot(sim).statusQueries == 8 && Shows(0, "Connected", "OK");
                }).empty());
}

// A device whose very first status shows a fault has a fault nobody was told of.
TEST_F(GlanceTest, FaultInTheFirstStatusIsNews) {
    const int sim = Sim(25);
    Site().SetChannelFault(sim, 4, ChannelFault::Current, true);
    StartGlance(300);
    Add("Balcony", Address(25));
    const auto shown = NotifiedOnceSettled([&] { return Shows(0, "Connected", "Over-current"); });
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Title, "AVLO Alert [RV12, # 70001025]: OVER-CURRENT");
}

// Many devices failing in one poll come as one summary, a few one by one; so do recoveries.
TEST_F(GlanceTest, BurstOfFaultsInOnePollGivesOneSummary) {
    constexpr int Count = 10;
    std::vector<int> sims;
    for (int i = 0; i < Count; ++i) sims.push_back(Sim(30 + i));
    StartQuiet();  // the program's own gathering time
    for (int i = 0; i < Count; ++i) Add("Amp " + std::to_string(i + 1), Address(30 + i));
    const auto allShow = [&](const char* condition) {
        return [&, condition] {
            for (int i = 0; i < Count; ++i) {
                if (!Shows(i, "Connected", condition)) return false;
            }
            return true;
        };
    };
    EXPECT_TRUE(NotifiedOnceSettled(allShow("OK")).empty());

    for (int sim : sims) Site().SetChannelFault(sim, 1, ChannelFault::Channel, true);
    form_->Core().PollAll();
    auto shown = NotifiedOnceSettled(allShow("Channel Failure"));
    ASSERT_EQ(shown.size(), 1u) << Titles(shown).size();
    EXPECT_EQ(shown[0].Title, "10 devices report faults");
    EXPECT_EQ(shown[0].Text,
              "Amp 1, Amp 2, Amp 3, Amp 4, Amp 5, Amp 6, Amp 7, Amp 8, Amp 9, Amp 10");
    EXPECT_EQ(shown[0].Icon, QSystemTrayIcon::Warning);

    for (int sim : sims) Site().ClearFaults(sim);
    form_->Core().PollAll();
    shown = NotifiedOnceSettled(allShow("OK"));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Title, "10 devices back to OK");

    // Two at once are told one by one, in the list's order.
    Site().SetSupplyFault(sims[7], 0, true);
    Site().SetChannelFault(sims[2], 3, ChannelFault::Fan, true);
    form_->Core().PollAll();
    shown = NotifiedOnceSettled([&] {
        return Shows(2, "Connected", "Fan Failure") &&
               Shows(7, "Connected", "Power Supply Failure");
    });
    EXPECT_EQ(Titles(shown),
              (std::vector<QString>{"AVLO Alert [RV12, # 70001032]: FAN FAILURE",
                                    "AVLO Alert [RV12, # 70001037]: POWER SUPPLY FAILURE"}));
}

// With the option off nothing is shown, while the list and the tray still follow; turned on
// again, what passed meanwhile stays untold and the next fault is told.
TEST_F(GlanceTest, OptionOffGivesNoNotifications) {
    const int sim = Sim(45);
    StartGlance(300);
    form_->Core().Options.Notify = false;
    Add("Foyer", Address(45));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));

    Site().SetChannelFault(sim, 1, ChannelFault::Temperature, true);
    form_->Core().PollAll();
    EXPECT_TRUE(
        NotifiedOnceSettled([&] { return Shows(0, "Connected", "High Temperature"); }).empty());
    EXPECT_TRUE(TrayShows(TrayLevel::Error, "AVLO Monitor\n1 fault"));
    EXPECT_TRUE(RowLooks(0, DeviceLook::Fault, Tint::Red));
    Site().ClearFaults(sim);
    form_->Core().PollAll();
    EXPECT_TRUE(NotifiedOnceSettled([&] { return Shows(0, "Connected", "OK"); }).empty());
    Site().SetChannelFault(sim, 1, ChannelFault::Temperature, true);
    form_->Core().PollAll();
    EXPECT_TRUE(
        NotifiedOnceSettled([&] { return Shows(0, "Connected", "High Temperature"); }).empty());

    form_->Core().Options.Notify = true;
    form_->Core().PollAll();
    EXPECT_TRUE(
        NotifiedOnceSettled([&] { return Site().Snapshot(sim).statusQueries == 5; }).empty());
    Site().ClearFaults(sim);
    form_->Core().PollAll();
    const auto shown = NotifiedOnceSettled([&] { return Shows(0, "Connected", "OK"); });
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Title, "Foyer: back to OK");
}

}  // namespace
