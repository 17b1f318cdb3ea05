// The device list as it mirrors the device table: rows, states, condition texts, check boxes,
// the device commands, the register limit, and the window's close box.
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDateTime>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "MainFormFixture.h"
#include "app/DeviceStateLook.h"
#include "comms/Mymessages.h"
#include "platform/Clock.h"
#include "support/LocalTimes.h"
#include "support/MessageWatch.h"

namespace {

using devsim::ChannelFault;

class DeviceListTest : public MainFormFixture {
protected:
    DeviceListTest() : MainFormFixture(7) {}

    int Sim(int host, const std::function<void(devsim::DeviceConfig&)>& tweak = {}) {
        return QuietSim(host, "7000", tweak);
    }

    // A press and release as the user makes them; row -1 presses below the rows.
    void Press(int row, Qt::MouseButton button = Qt::LeftButton) {
        QTreeWidget* list = form_->ListView;
        QPoint pos(10, list->viewport()->height() - 4);
        if (row >= 0) pos = list->visualItemRect(list->topLevelItem(row)).center();
        ASSERT_EQ(list->itemAt(pos), row >= 0 ? list->topLevelItem(row) : nullptr);
        const QPointF local(pos);
        const QPointF global(list->viewport()->mapToGlobal(pos));
        QMouseEvent press(QEvent::MouseButtonPress, local, global, button, button, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &press);
        QMouseEvent release(QEvent::MouseButtonRelease, local, global, button, Qt::NoButton,
                            Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &release);
    }
    // A right-click on the row (-1: below the rows) as the desktop delivers it, the press and
    // then the request for a menu; the menu that came up, if any.
    QMenu* RightClick(int row) {
        Press(row, Qt::RightButton);
        QTreeWidget* list = form_->ListView;
        QPoint pos(10, list->viewport()->height() - 4);
        if (row >= 0) pos = list->visualItemRect(list->topLevelItem(row)).center();
        QContextMenuEvent request(QContextMenuEvent::Mouse, pos,
                                  list->viewport()->mapToGlobal(pos));
        QCoreApplication::sendEvent(list->viewport(), &request);
        return qobject_cast<QMenu*>(QApplication::activePopupWidget());
    }
    void Key(int key) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(form_->ListView, &press);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
        QCoreApplication::sendEvent(form_->ListView, &release);
    }
    // Runs the action and cancels the dialog it opens; the properties device while it was
    // open, -1 when no dialog came up.
    int PropertiesOpenedBy(const std::function<void()>& action) {
        int shown = -1;
        QTimer::singleShot(0, form_.get(), [this, &shown] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                shown = form_->PropertiesDevice;
                dialog->reject();
            }
        });
        action();
        Pump(20);
        return shown;
    }
    // Shown for the layout and the mouse, but never painted: painting a window this size
    // hands image work to Qt's own worker threads, whose locking the thread sanitizer cannot
    // see (Qt is not built with it), so it would report races that are none of ours.
    void ShowWindow() {
        form_->setAttribute(Qt::WA_DontShowOnScreen);
        form_->setUpdatesEnabled(false);
        form_->show();
        ASSERT_TRUE(WaitUntil([this] { return form_->isVisible() && form_->ListView->isVisible(); }));
        Pump(50);  // let the list lay out its rows
    }

    // The four device commands, button and main-menu item each: all enabled or all disabled.
    ::testing::AssertionResult DeviceCommandsEnabled(bool enabled) const {
        const std::pair<const char*, bool> states[] = {
            {"EditBtn", form_->EditBtn->isEnabled()},
            {"DeleteBtn", form_->DeleteBtn->isEnabled()},
            {"ShowPropertiesBtn", form_->ShowPropertiesBtn->isEnabled()},
            {"ShowWebPageBtn", form_->ShowWebPageBtn->isEnabled()},
            {"EditDeviceMenu", form_->EditDeviceMenu->isEnabled()},
            {"DeleteDeviceMenu", form_->DeleteDeviceMenu->isEnabled()},
            {"ShowPropertiesMainMenu", form_->ShowPropertiesMainMenu->isEnabled()},
            {"ShowWebPage1MainMenu", form_->ShowWebPage1MainMenu->isEnabled()},
        };
        for (const auto& [name, state] : states) {
            if (state != enabled) {
                return ::testing::AssertionFailure()
                       << name << " is " << (state ? "enabled" : "disabled");
            }
        }
        return ::testing::AssertionSuccess();
    }

    std::size_t CountEvents(std::uint32_t id) const { return EventsWithId(id).size(); }
};

TEST_F(DeviceListTest, EnabledDeviceShowsConnectingThenConnectedAndItsConditionOnceKnown) {
    const int sim = Sim(2, [](devsim::DeviceConfig& c) { c.modelText = "02"; });
    StartQuiet();
    const int id = Add("Stage Left", Address(2), true);

    // At once, before any message of the new thread has been handled.
    ASSERT_EQ(form_->ListView->topLevelItemCount(), 1);
    EXPECT_TRUE(Ticked(0));
    EXPECT_EQ(Cell(0, ColName), "Stage Left");
    EXPECT_EQ(Cell(0, ColAddress), "127.0.7.2");
    EXPECT_EQ(Cell(0, ColStatus), "Connecting...");
    EXPECT_EQ(Cell(0, ColCondition), "Unknown");
    EXPECT_EQ(form_->RegisteredNumLabel->text(), "1");

    MessageWatch history(Monitor(), RowState(0));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }))
        << history.States().join(" / ").toStdString();
    // Connected first with the condition still unknown; the status query that follows the
    // connection (no poll was made) turns it into OK.
    EXPECT_EQ(history.States(), QStringList({"Connecting... | Unknown", "Connected | Unknown",
                                             "Connected | OK"}));
    const devsim::DeviceSnapshot seen = Site().Snapshot(sim);
    EXPECT_EQ(seen.connections, 1);
    EXPECT_EQ(seen.statusQueries, 1);
    const TMainForm::Device* device = form_->Core().FindDeviceById(static_cast<std::uint16_t>(id));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->ModelCode, ModelRV12);
    EXPECT_EQ(device->Serial, "70001002");
}

// Condition texts, one simulated device per case, all polled at once.
TEST_F(DeviceListTest, ConditionTextNamesThePresentFaultClassesInFixedOrder) {
    struct Case {
        const char* what;
        std::function<void(devsim::Site&, int)> faults;
        const char* condition;
    };
    const Case cases[] = {
        {"healthy", [](devsim::Site&, int) {}, "OK"},
        {"fan and +12 V rail",
         [](devsim::Site& s, int d) {
             s.SetChannelFault(d, 2, ChannelFault::Fan, true);
             s.SetSupplyFault(d, 1, true);
         },
         "Fan Failure, Power Supply Failure"},
        {"every class, given in reverse",
         [](devsim::Site& s, int d) {
             s.SetSupplyFault(d, 3, true);
             s.SetChannelFault(d, 2, ChannelFault::Current, true);
             s.SetChannelFault(d, 5, ChannelFault::Fan, true);
             s.SetChannelFault(d, 3, ChannelFault::Temperature, true);
             s.SetChannelFault(d, 1, ChannelFault::Channel, true);
         },
         "Channel Failure, High Temperature, Fan Failure, Over-current, Power Supply Failure"},
        {"three rails name the supply once",
         [](devsim::Site& s, int d) {
             s.SetSupplyFault(d, 0, true);
             s.SetSupplyFault(d, 2, true);
             s.SetSupplyFault(d, 3, true);
         },
         "Power Supply Failure"},
        {"temperature on channel 7 only",
         [](devsim::Site& s, int d) { s.SetChannelFault(d, 7, ChannelFault::Temperature, true); },
         "High Temperature"},
        {"over-current and channel failure on two channels",
         [](devsim::Site& s, int d) {
             s.SetChannelFault(d, 4, ChannelFault::Current, true);
             s.SetChannelFault(d, 6, ChannelFault::Channel, true);
         },
         "Channel Failure, Over-current"},
    };
    StartQuiet();
    const int count = static_cast<int>(std::size(cases));
    for (int i = 0; i < count; ++i) {
        const int sim = Sim(10 + i);
        cases[i].faults(Site(), sim);
        Add(std::string("Amp ") + cases[i].what, Address(10 + i), true);
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (int i = 0; i < count; ++i) {
            if (Cell(i, ColCondition) == "Unknown") return false;
        }
        return true;
    }));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(Cell(i, ColStatus), "Connected") << cases[i].what;
        EXPECT_EQ(Cell(i, ColCondition), cases[i].condition) << cases[i].what;
    }
}

TEST_F(DeviceListTest, ConditionFollowsEveryNewStatus) {
    const int sim = Sim(20);
    StartQuiet();
    Add("Foyer", Address(20), true);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));

    Site().SetChannelFault(sim, 3, ChannelFault::Fan, true);
    Site().SetSupplyFault(sim, 1, true);
    form_->Core().PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Cell(0, ColCondition) != "OK"; }));
    EXPECT_EQ(Cell(0, ColCondition), "Fan Failure, Power Supply Failure");

    Site().ClearFaults(sim);
    form_->Core().PollAll();
    EXPECT_TRUE(WaitUntil([&] { return Cell(0, ColCondition) == "OK"; }));
    EXPECT_EQ(Site().Snapshot(sim).statusQueries, 3);
}

TEST_F(DeviceListTest, CheckBoxStopsAndRestartsTheConnection) {
    const int sim = Sim(30);
    StartQuiet();
    Add("Balcony", Address(30), true);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    QTreeWidgetItem* item = form_->ListView->topLevelItem(0);

    // Unticking, as the user's click does it: the list reports the change.
    item->setCheckState(0, Qt::Unchecked);
    EXPECT_TRUE(Shows(0, "Disconnected", "Unknown"));
    EXPECT_FALSE(form_->Core().Devices()[0]->AvloEnabled);
    EXPECT_EQ(form_->Core().Devices()[0]->Connection, nullptr);
    EXPECT_TRUE(SimWait(sim, [](const auto& s) { return !s.connected; }));
    Pump(100);  // the old thread's end report changes nothing more
    EXPECT_TRUE(Shows(0, "Disconnected", "Unknown"));
    EXPECT_FALSE(Ticked(0));

    item->setCheckState(0, Qt::Checked);
    EXPECT_EQ(Cell(0, ColStatus), "Connecting...");
    EXPECT_TRUE(form_->Core().Devices()[0]->AvloEnabled);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    devsim::DeviceSnapshot seen = Site().Snapshot(sim);
    EXPECT_EQ(seen.connections, 2);
    EXPECT_TRUE(seen.connected);

    // Unticked and ticked again before the old thread's end report has been handled: that
    // late report must not take the new connection away.
    item->setCheckState(0, Qt::Unchecked);
    item->setCheckState(0, Qt::Checked);
    EXPECT_EQ(Cell(0, ColStatus), "Connecting...");
    ASSERT_TRUE(SimWait(sim, [](const auto& s) { return s.connections == 3 && s.connected; }));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    Pump(200);
    EXPECT_TRUE(Shows(0, "Connected", "OK"));
    ASSERT_NE(form_->Core().Devices()[0]->Connection, nullptr);
    EXPECT_FALSE(form_->Core().Devices()[0]->Connection->Ended());
    EXPECT_TRUE(Site().Snapshot(sim).connected);
}

TEST_F(DeviceListTest, DisabledDeviceIsShownDisconnectedAndNeverConnected) {
    const int sim = Sim(35);
    StartQuiet();
    Add("Spare", Address(35), false);
    EXPECT_FALSE(Ticked(0));
    EXPECT_TRUE(Shows(0, "Disconnected", "Unknown"));
    EXPECT_EQ(form_->Core().Devices()[0]->Connection, nullptr);
    form_->Core().PollAll();
    EXPECT_FALSE(SimWait(sim, [](const auto& s) { return s.connections > 0; }, 600));
    Pump(50);
    EXPECT_TRUE(Shows(0, "Disconnected", "Unknown"));
}

// Deleting each of three rows through the Delete button, after selecting it with the mouse.
class DeleteRowTest : public DeviceListTest, public ::testing::WithParamInterface<int> {};

TEST_P(DeleteRowTest, RemainingRowsMoveUpKeepTheirIdsAndTheCommandsAreDisabled) {
    const int deleted = GetParam();
    StartQuiet();
    const std::string names[] = {"Left", "Centre", "Right"};
    std::vector<int> ids;
    for (int i = 0; i < 3; ++i) ids.push_back(Add(names[i], Address(50 + i), false));
    ShowWindow();
    EXPECT_TRUE(DeviceCommandsEnabled(false));

    form_->DeleteBtn1Click();  // nothing selected: nothing happens
    EXPECT_EQ(form_->Core().DeviceCount(), 3);

    Press(deleted);
    EXPECT_EQ(form_->ListView->currentItem(), form_->ListView->topLevelItem(deleted));
    EXPECT_TRUE(DeviceCommandsEnabled(true));
    form_->DeleteBtn->click();

    ASSERT_EQ(form_->Core().DeviceCount(), 2);
    ASSERT_EQ(form_->ListView->topLevelItemCount(), 2);
    EXPECT_EQ(form_->RegisteredNumLabel->text(), "2");
    EXPECT_TRUE(DeviceCommandsEnabled(false));
    int row = 0;
    for (int i = 0; i < 3; ++i) {
        if (i == deleted) {
            EXPECT_EQ(form_->Core().FindDeviceById(static_cast<std::uint16_t>(ids[i])), nullptr);
            continue;
        }
        const TMainForm::Device* device =
            form_->Core().FindDeviceById(static_cast<std::uint16_t>(ids[i]));
        ASSERT_NE(device, nullptr) << names[i];
        EXPECT_EQ(device->ListIndex, row) << names[i];
        EXPECT_EQ(form_->Core().Devices()[static_cast<std::size_t>(row)].get(), device) << names[i];
        EXPECT_EQ(Cell(row, ColName).toStdString(), names[i]);
        EXPECT_EQ(Cell(row, ColAddress).toStdString(), Address(50 + i));
        ++row;
    }

    // A press beside the rows leaves the commands disabled; one on a row enables them.
    Press(-1);
    EXPECT_TRUE(DeviceCommandsEnabled(false));
    Press(1);
    EXPECT_TRUE(DeviceCommandsEnabled(true));
    Press(-1);
    EXPECT_TRUE(DeviceCommandsEnabled(false));
}

// The list's own habit of selecting the next row when the selected one goes away must not
// survive a deletion: the commands are disabled, so no row may look selected, and a further
// delete must find nothing selected.
TEST_F(DeviceListTest, DeletionLeavesNoRowSelected) {
    StartQuiet();
    for (int i = 0; i < 3; ++i) Add("Amp " + std::to_string(i + 1), Address(55 + i), false);
    ShowWindow();
    Press(0);
    form_->DeleteBtn->click();
    ASSERT_EQ(form_->Core().DeviceCount(), 2);
    EXPECT_TRUE(DeviceCommandsEnabled(false));
    EXPECT_TRUE(form_->ListView->selectedItems().isEmpty());
    form_->DeleteBtn1Click();
    EXPECT_EQ(form_->Core().DeviceCount(), 2);
}

INSTANTIATE_TEST_SUITE_P(EachRow, DeleteRowTest, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return "Row" + std::to_string(info.param); });

// A right-click offers the device commands on the spot: the very commands of the main menu,
// enabled or disabled as they are there.
TEST_F(DeviceListTest, RightClickOffersTheDeviceCommandsAsTheMainMenuHasThem) {
    StartQuiet();
    const int left = Add("Left", Address(60), false);
    const int right = Add("Right", Address(61), false);
    ShowWindow();

    QMenu* menu = RightClick(1);
    ASSERT_NE(menu, nullptr) << "no menu came up";
    const QList<QAction*> commands = {form_->ShowPropertiesMainMenu, form_->EditDeviceMenu,
                                      form_->DeleteDeviceMenu, form_->ShowWebPage1MainMenu};
    EXPECT_EQ(menu->actions().mid(0, commands.size()), commands);
    EXPECT_EQ(menu->defaultAction(), form_->ShowPropertiesMainMenu);
    EXPECT_EQ(form_->ListView->currentItem(), form_->ListView->topLevelItem(1));
    EXPECT_TRUE(DeviceCommandsEnabled(true));
    // Chosen from the menu as with the keyboard: the row's own web page.
    menu->setActiveAction(form_->ShowWebPage1MainMenu);
    QKeyEvent choose(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(menu, &choose);
    EXPECT_FALSE(menu->isVisible());
    EXPECT_EQ(ShellSeam::TakeOpened(),
              std::vector<QString>({QString::fromStdString("http://" + Address(61))}));

    // Beside the rows nothing is selected, and the menu says so.
    menu = RightClick(-1);
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(DeviceCommandsEnabled(false));
    menu->close();

    EXPECT_EQ(PropertiesOpenedBy([&] { RightClick(0)->defaultAction()->trigger(); }), left);
    RightClick(1);
    form_->DeleteDeviceMenu->trigger();
    EXPECT_EQ(form_->Core().FindDeviceById(static_cast<std::uint16_t>(right)), nullptr);
    EXPECT_EQ(form_->Core().DeviceCount(), 1);
}

// The keys a list answers to: Enter shows the selected device's properties, Delete deletes
// it (as the command does, only while it is enabled), and the arrow keys move the selection
// with the commands following it.
TEST_F(DeviceListTest, EnterShowsThePropertiesAndDeleteDeletesTheSelectedDevice) {
    StartQuiet();
    std::vector<int> ids;
    for (int i = 0; i < 3; ++i)
        ids.push_back(Add("Amp " + std::to_string(i), Address(65 + i), false));
    ShowWindow();
    // Nothing selected: neither key does anything.
    EXPECT_EQ(PropertiesOpenedBy([&] { Key(Qt::Key_Return); }), -1);
    Key(Qt::Key_Delete);
    EXPECT_EQ(form_->Core().DeviceCount(), 3);

    Press(0);
    Press(-1);
    ASSERT_TRUE(DeviceCommandsEnabled(false));
    Key(Qt::Key_Down);
    EXPECT_EQ(form_->ListView->selectedItems(),
              QList<QTreeWidgetItem*>{form_->ListView->topLevelItem(1)});
    EXPECT_TRUE(DeviceCommandsEnabled(true));
    for (const int enter : {Qt::Key_Return, Qt::Key_Enter}) {
        EXPECT_EQ(PropertiesOpenedBy([&] { Key(enter); }), ids[1]) << enter;
    }
    EXPECT_EQ(form_->PropertiesDevice, -1);

    Key(Qt::Key_Delete);
    ASSERT_EQ(form_->Core().DeviceCount(), 2);
    EXPECT_EQ(form_->Core().FindDeviceById(static_cast<std::uint16_t>(ids[1])), nullptr);
    EXPECT_TRUE(DeviceCommandsEnabled(false));
    Key(Qt::Key_Delete);  // the command is disabled now
    EXPECT_EQ(form_->Core().DeviceCount(), 2);
    EXPECT_EQ(PropertiesOpenedBy([&] { Key(Qt::Key_Return); }), -1);
}

TEST_F(DeviceListTest, TooltipShowsTheRowsFourTexts) {
    Sim(70);
    StartQuiet();
    Add("Stage Left", Address(70), true);
    Add("Spare", Address(71), false);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));

    const QString connected = " Name:    Stage Left\r\n IP Address:    127.0.7.70\r\n"
                              " Status:    Connected\r\n Condition:    OK";
    const QString disabled = " Name:    Spare\r\n IP Address:    127.0.7.71\r\n"
                             " Status:    Disconnected\r\n Condition:    Unknown";
    EXPECT_EQ(form_->ListViewInfoTip(0), connected);
    EXPECT_EQ(form_->ListViewInfoTip(1), disabled);
    for (int column = 0; column < 5; ++column) {
        EXPECT_EQ(form_->ListView->topLevelItem(0)->toolTip(column), connected) << column;
        EXPECT_EQ(form_->ListView->topLevelItem(1)->toolTip(column), disabled) << column;
    }

    form_->ListView->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    const QString unticked = " Name:    Stage Left\r\n IP Address:    127.0.7.70\r\n"
                             " Status:    Disconnected\r\n Condition:    Unknown";
    EXPECT_EQ(form_->ListViewInfoTip(0), unticked);
    EXPECT_EQ(form_->ListView->topLevelItem(0)->toolTip(ColStatus), unticked);
}

// The core's clock fixed at 10:00 tomorrow for the life of the object: every mute chosen then
// ends after the real time as well.
class TomorrowAtTen {
public:
    TomorrowAtTen() : day_(QDate::currentDate().addDays(1)) {
        const LocalDateTime t = LocalAt(day_.year(), day_.month(), day_.day(), 10);
        SetClockOverride([t] { return t; });
    }
    ~TomorrowAtTen() { SetClockOverride({}); }
    TomorrowAtTen(const TomorrowAtTen&) = delete;
    TomorrowAtTen& operator=(const TomorrowAtTen&) = delete;

    std::int64_t At(int daysOn, int hour) const {
        return QDateTime(day_.addDays(daysOn), QTime(hour, 0)).toSecsSinceEpoch();
    }

private:
    QDate day_;
};

// The mute from the list's menu: each length sets the end the core's clock gives; the row
// shows the muted picture beside its state and says so in its hint; "Unmute alerts", offered
// only while the device is muted, takes both away. The other row is left alone.
TEST_F(DeviceListTest, RightClickMutesAndUnmutesTheDeviceAndItsRowShowsIt) {
    const TomorrowAtTen clock;
    StartQuiet();
    const auto left = static_cast<std::uint16_t>(Add("Left", Address(60), false));
    const auto right = static_cast<std::uint16_t>(Add("Right", Address(61), false));
    ShowWindow();
    const QTreeWidgetItem* row = form_->ListView->topLevelItem(0);
    const QString plainTip = form_->ListViewInfoTip(0);
    const qint64 muted = form_->StateIcons->Get(TStateIcons::MutedPicture).cacheKey();

    const struct {
        const char* action;
        std::int64_t until;
        const char* hint;  // how the hint's last line begins
    } cases[] = {
        {"MuteOneHourAction", clock.At(0, 11), "(muted until 11:00)"},
        {"MuteFourHoursAction", clock.At(0, 14), "(muted until 14:00)"},
        {"MuteUntilMorningAction", clock.At(1, 8), "(muted until "},
        {"MuteUntilUnmutedAction", CMonitorCore::MutedIndefinitely, "(muted)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        QMenu* menu = RightClick(0);
        ASSERT_NE(menu, nullptr);
        EXPECT_TRUE(form_->MuteAlertsMenu->menuAction()->isEnabled());
        menu->findChild<QAction*>(QString::fromLatin1(c.action))->trigger();
        menu->close();

        EXPECT_EQ(Monitor().FindDeviceById(left)->MutedUntil, c.until);
        EXPECT_EQ(row->icon(ColName).cacheKey(), muted);
        const QString tip = row->toolTip(ColStatus);
        EXPECT_TRUE(tip.startsWith(plainTip + QStringLiteral("\r\n ") + c.hint))
            << tip.toStdString();
        EXPECT_EQ(tip.endsWith(QStringLiteral(" 08:00)")), c.until == clock.At(1, 8));
        RightClick(0)->close();
        EXPECT_TRUE(form_->UnmuteAlertsMenu->isVisible());
    }

    RightClick(0);
    form_->UnmuteAlertsMenu->trigger();
    QApplication::activePopupWidget()->close();
    EXPECT_EQ(Monitor().FindDeviceById(left)->MutedUntil, 0);
    EXPECT_TRUE(row->icon(ColName).isNull());
    EXPECT_EQ(row->toolTip(ColStatus), plainTip);
    RightClick(0)->close();
    EXPECT_FALSE(form_->UnmuteAlertsMenu->isVisible());

    EXPECT_EQ(Monitor().FindDeviceById(right)->MutedUntil, 0);
    EXPECT_TRUE(form_->ListView->topLevelItem(1)->icon(ColName).isNull());
    // Below the rows there is no device to mute.
    RightClick(-1)->close();
    EXPECT_FALSE(form_->MuteAlertsMenu->menuAction()->isEnabled());
    EXPECT_FALSE(form_->UnmuteAlertsMenu->isVisible());
}

// A mute that the core changes by itself (the web service, an end that passed) shows as soon
// as the core says the row changed.
TEST_F(DeviceListTest, RowFollowsAMuteTheCoreReports) {
    StartQuiet();
    const auto id = static_cast<std::uint16_t>(Add("Left", Address(60), false));
    const QTreeWidgetItem* row = form_->ListView->topLevelItem(0);
    Monitor().MuteDevice(id, CMonitorCore::MutedIndefinitely);
    emit Monitor().DeviceRowChanged(id);
    EXPECT_FALSE(row->icon(ColName).isNull());
    EXPECT_TRUE(row->toolTip(ColName).endsWith(QStringLiteral("\r\n (muted)")));
    Monitor().MuteDevice(id, 0);
    emit Monitor().DeviceRowChanged(id);
    EXPECT_TRUE(row->icon(ColName).isNull());
    EXPECT_FALSE(row->toolTip(ColName).contains(QStringLiteral("muted")));
}

TEST_F(DeviceListTest, RegisterCommandWarnsOnlyWhenTheListIsFull) {
    StartQuiet();
    for (int i = 0; i < 49; ++i) Add("Amp " + std::to_string(i + 1), Address(100 + i), false);
    ASSERT_EQ(form_->Core().DeviceCount(), 49);
    // The register dialog that a command opens, cancelled at once: its caption, or empty
    // when none opened.
    QString opened;
    const auto cancelDialog = [this, &opened] {
        opened.clear();
        QTimer::singleShot(0, form_.get(), [&opened] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                opened = dialog->windowTitle();
                dialog->reject();
            }
        });
    };
    cancelDialog();
    form_->RegisterDeviceBtn->click();
    EXPECT_EQ(opened, "Register Device");
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    EXPECT_EQ(form_->Core().DeviceCount(), 49);

    Add("Amp 50", Address(149), false);
    const QString full = "The list of Registered Velkan Devices is full.\r\n"
                         "You cannot register more than 50 devices.";
    cancelDialog();
    form_->RegisterDeviceBtn->click();
    form_->RegisterDeviceMenu->trigger();
    Pump(20);
    EXPECT_TRUE(opened.isEmpty()) << opened.toStdString();
    const auto shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), 2u);
    for (const auto& box : shown) {
        EXPECT_EQ(box.kind, MsgKind::Warning);
        EXPECT_EQ(box.text, full);
    }
    EXPECT_EQ(form_->Core().DeviceCount(), 50);

    // The table itself takes a 51st device, as the configuration load may add it.
    Add("Amp 51", Address(150), false);
    EXPECT_EQ(form_->Core().DeviceCount(), 51);
    EXPECT_EQ(form_->RegisteredNumLabel->text(), "51");
    EXPECT_EQ(Cell(50, ColName), "Amp 51");
}

TEST_F(DeviceListTest, ShowWebPageOpensTheSelectedDevicesAddress) {
    StartQuiet();
    Add("Left", Address(40), false);
    Add("Right", Address(41), false);
    ShowWindow();
    form_->ShowWebPageBtn1Click();  // no current row: nothing opens
    EXPECT_TRUE(ShellSeam::TakeOpened().empty());

    Press(1);
    form_->ShowWebPageBtn->click();
    form_->ShowWebPage1MainMenu->trigger();
    EXPECT_EQ(ShellSeam::TakeOpened(), std::vector<QString>({"http://127.0.7.41", "http://127.0.7.41"}));
}

TEST_F(DeviceListTest, CloseBoxOnlyHidesTheWindowAndMonitoringGoesOn) {
    const int sim = Sim(90);
    StartQuiet();
    form_->NotificationAreaAvailable = [] { return true; };
    Add("Lobby", Address(90), true);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    ShowWindow();

    EXPECT_FALSE(form_->close());
    EXPECT_FALSE(form_->isVisible());
    EXPECT_FALSE(form_->Core().Closing());

    Site().SetChannelFault(sim, 1, ChannelFault::Channel, true);
    form_->Core().PollAll();
    EXPECT_TRUE(WaitUntil([&] { return Cell(0, ColCondition) == "Channel Failure"; }));
    EXPECT_TRUE(Site().Snapshot(sim).connected);

    form_->OpenMenu->trigger();
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(Cell(0, ColName), "Lobby");
    EXPECT_TRUE(Shows(0, "Connected", "Channel Failure"));

    form_->ExitMenu->trigger();  // the main menu's exit only hides the window as well
    EXPECT_FALSE(form_->isVisible());
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    EXPECT_TRUE(Site().Snapshot(sim).connected);
    form_->OpenMenu->trigger();
    EXPECT_TRUE(form_->isVisible());
}

// Two records with one address would both poll the one device behind it; two with one name
// could not be told apart. The table refuses either change and keeps the record as it was.
// A device whose address went to another device (and was saved so) is listed without an
// address and "Disconnected", whatever its box says, until discovery finds it again: it gets
// no connection, has no web page, and late reports of the thread it had change nothing.
TEST_F(DeviceListTest, DeviceWithoutAnAddressIsListedDisconnectedAndNeverConnects) {
    WriteConfig(
        "[AVLO]\r\nRegistered=2\r\nName 0=Wings\r\nIP 0=\r\navlo 0=1\r\nSerial 0=70001234\r\n"
        "Name 1=Lobby\r\nIP 1=" +
        Address(95) + "\r\navlo 1=0\r\n");
    StartQuiet();
    ASSERT_EQ(form_->Core().DeviceCount(), 2);
    const TMainForm::Device& wings = *form_->Core().Devices()[0];
    EXPECT_EQ(Cell(0, ColName), "Wings");
    EXPECT_EQ(Cell(0, ColAddress), "");
    EXPECT_TRUE(Shows(0, "Disconnected", "Unknown"));
    EXPECT_TRUE(Ticked(0));
    EXPECT_FALSE(wings.Connection);

    form_->ListView->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    EXPECT_FALSE(wings.AvloEnabled);
    form_->ListView->topLevelItem(0)->setCheckState(0, Qt::Checked);
    EXPECT_TRUE(wings.AvloEnabled);
    EXPECT_FALSE(wings.Connection);
    EXPECT_TRUE(Shows(0, "Disconnected", "Unknown"));

    const std::size_t events = sink_.Events().size();
    for (std::uint16_t code : {EvConnected, EvReceived, EvError, EvLost}) {
        form_->Core().Dispatch(WM_TCPTHREAD, TcpThreadWParam(wings.DeviceId, code), 0);
    }
    EXPECT_EQ(wings.ConnState, Disconnected);
    EXPECT_TRUE(Shows(0, "Disconnected", "Unknown"));
    EXPECT_EQ(sink_.Events().size(), events);

    ShowWindow();
    Press(0);
    form_->ShowWebPageBtn->click();
    EXPECT_TRUE(ShellSeam::TakeOpened().empty());
    Press(1);
    form_->ShowWebPageBtn->click();
    EXPECT_EQ(ShellSeam::TakeOpened(),
              std::vector<QString>({QString::fromStdString("http://" + Address(95))}));
}

// Without a notification area (a bare X server, some desktops) a hidden window could never
// be shown again: the close box minimises it instead, and the main menu's exit ends the
// program once the user confirms. The end of the program must not be held up by the close
// box's refusal either, whether it comes from that exit or from a signal or the session.
TEST_F(DeviceListTest, WithoutANotificationAreaCloseMinimisesAndExitEndsTheProgram) {
    const int sim = Sim(91);
    StartQuiet();
    form_->NotificationAreaAvailable = [] { return false; };
    Add("Lobby", Address(91), true);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    // Shown as on a screen (a window kept off the screen would not hold up the end of the
    // program), but never painted, for the reason given at ShowWindow.
    const auto showWindow = [this] {
        form_->setUpdatesEnabled(false);
        form_->showNormal();
        return WaitUntil([this] { return form_->isVisible() && !form_->isMinimized(); });
    };
    ASSERT_TRUE(showWindow());

    EXPECT_FALSE(form_->close());
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(form_->isMinimized());
    EXPECT_FALSE(form_->Core().Closing());
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    form_->Core().PollAll();
    EXPECT_TRUE(SimWait(sim, [](const auto& s) { return s.statusQueries >= 2; }));

    MessageBoxSeam::SetNextAnswer(MsgResultNo);
    form_->ExitMenu->trigger();
    auto shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, MsgKind::Confirmation);
    EXPECT_EQ(shown[0].title, "AVLO Monitor");
    EXPECT_EQ(shown[0].text, "Stop monitoring and close AVLO Monitor?");
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(Site().Snapshot(sim).connected);

    // Each way to end runs the program's event loop to its end; a watchdog ends a loop that
    // would not stop with another code.
    const std::pair<const char*, std::function<void()>> ends[] = {
        {"exit menu, answered Yes",
         [this] {
             MessageBoxSeam::SetNextAnswer(MsgResultYes);
             form_->ExitMenu->trigger();
         }},
        {"end of the program (signal, session, notification-area menu)",
         [this] { form_->EndProgram(); }},
    };
    for (const auto& [how, end] : ends) {
        SCOPED_TRACE(how);
        ASSERT_TRUE(showWindow());
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, &watchdog,
                         [] { QCoreApplication::exit(99); });
        watchdog.start(3000);
        QTimer::singleShot(0, form_.get(), end);
        EXPECT_EQ(QCoreApplication::exec(), 0);
        watchdog.stop();
        Pump(20);
    }
    EXPECT_EQ(MessageBoxSeam::TakeShown().size(), 1u);  // only the exit menu asked
}

// "Search Network": the wait cursor while the search runs, then the core's result in an
// information box (nothing answers on this test's network), and the cursor back.
TEST_F(DeviceListTest, SearchShowsTheWaitCursorThenTheResultInABox) {
    StartQuiet();
    MessageBoxSeam::TakeShown();
    ASSERT_EQ(QApplication::overrideCursor(), nullptr);
    form_->SearchNetworkBtn->click();
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    std::vector<MessageBoxSeam::Shown> shown;
    ASSERT_TRUE(WaitUntil([&] {
        shown = MessageBoxSeam::TakeShown();
        return !shown.empty();
    }));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, MsgKind::Information);
    EXPECT_EQ(shown[0].title, "AVLO Monitor");
    EXPECT_EQ(shown[0].text, "No Velkan devices have been found on the local network.");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The test mode menu is there only for a process started with the "test" switch.
TEST_F(DeviceListTest, TestModeMenuOnlyWithTheTestSwitch) {
    StartForm();
    EXPECT_FALSE(form_->TestModeSettingsMenu->isVisible());
    StopForm();
    StartForm({"Test"});
    EXPECT_TRUE(form_->TestModeSettingsMenu->isVisible());
}

}  // namespace
