// The device properties dialog and its condition window: what each tab shows for every state of
// the device record, the fault blinking, the condition buttons and their window, change detection
// and Apply, Reset Statistics; and the main window's side: opening the dialog for the selected
// row and refreshing it for every change of its device, against simulated devices.
#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>
#include <chrono>

#include "MainFormFixture.h"
#include "comms/Mymessages.h"
#include "dialogs/PropertiesDlgUnit.h"
#include "dialogs/StatusDlgUnit.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "support/AcceleratorKeys.h"
#include "support/LocalTimes.h"
#include "support/RequestArrivals.h"

namespace {

using devsim::ChannelFault;
using DeviceRecord = TPropertiesDlg::DeviceRecord;

// A message target that keeps what it is sent.
struct RecordingTarget : IMessageTarget {
    struct Message {
        std::uint32_t msg, wParam, lParam;
    };
    void Post(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam) override {
        messages.push_back({msg, wParam, lParam});
    }
    std::vector<Message> messages;
};

template <typename W = QLabel>
W* Control(const QWidget& dialog, const char* name) {
    W* w = dialog.findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

std::string Text(const QWidget& dialog, const char* name) {
    const QLabel* label = Control(dialog, name);
    return label ? label->text().toStdString() : "<missing>";
}

QColor TextColor(const QWidget* w) {
    return w->palette().color(QPalette::WindowText);
}

// A button's face and text colours.
std::pair<QColor, QColor> Colors(const QPushButton* b) {
    return {b->palette().color(QPalette::Button), b->palette().color(QPalette::ButtonText)};
}

// ... as the button shows them while it is enabled.
std::pair<QColor, QColor> ActiveColors(const QPushButton* b) {
    return {b->palette().color(QPalette::Active, QPalette::Button),
            b->palette().color(QPalette::Active, QPalette::ButtonText)};
}

// A control that is off looks as the style draws every control that is off: grey.
bool DisabledGroupIsTheStyles(const QWidget* w) {
    const QPalette style = QApplication::palette(w);
    for (QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::Button, QPalette::ButtonText}) {
        if (w->palette().color(QPalette::Disabled, role) != style.color(QPalette::Disabled, role))
            return false;
    }
    return true;
}

// Pixels of a widget as drawn that are clearly red or clearly green: what a colour claims.
int ColouredPixels(QWidget* w) {
    const QImage image = w->grab().toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const bool red = c.red() > 150 && c.green() < 100 && c.blue() < 100;
            const bool green = c.green() > 90 && c.red() < 60 && c.blue() < 60;
            if (red || green) ++count;
        }
    }
    return count;
}

// The wall clock fixed at a moment, in seconds since 1970 as the monitor reads it.
std::int64_t FixClock(int year, int month, int day, int hour, int minute, int second) {
    const LocalDateTime t = LocalAt(year, month, day, hour, minute, second);
    SetClockOverride([t] { return t; });
    return CMonitorCore::WallSeconds();
}

const QColor Red(255, 0, 0);
const QColor White(255, 255, 255);
const QColor Green(0, 128, 0);

// A record as the device table holds it once a status is known.
DeviceRecord KnownRecord(std::uint8_t model, const DeviceStatus& status = HealthyStatus()) {
    DeviceRecord r;
    r.DeviceId = 7;
    r.Name = "Bench Amp";
    r.ConnState = Connected;
    r.StatusKnown = true;
    r.ModelCode = model;
    r.Serial = "61000007";
    r.Status = status;
    return r;
}

// ---- the dialog on a record of its own ----

TEST(PropertiesDialogRecord, OperationTimeIsHoursAndMinutesOfAnUnsignedCount) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {0, "0 hr 0 min"}, {61, "1 hr 1 min"}, {59, "0 hr 59 min"}, {-1, "71582788 hr 15 min"}};
    for (const auto& [minutes, text] : cases) {
        DeviceStatus s = HealthyStatus();
        s.OperatingMinutes = minutes;
        DeviceRecord record = KnownRecord(ModelRV13, s);
        TPropertiesDlg dlg(nullptr, true, &record, nullptr);
        EXPECT_EQ(Text(dlg, "TimeOnLabel"), text) << minutes;
    }
}

// Apply sends the device id, the mode and all seven "On" switches to the main window, and only
// after a change; a change undone disables it again.
TEST(PropertiesDialogRecord, ApplyAfterAChangeSendsModeAndChannelMask) {
    DeviceRecord record = KnownRecord(ModelRV10);  // two channels, Active, both on
    RecordingTarget main;
    TPropertiesDlg dlg(nullptr, false, &record, &main);
    EXPECT_TRUE(dlg.ActiveModeRadioBtn->isChecked());
    EXPECT_FALSE(dlg.ApplyButton->isEnabled());

    dlg.ChanOffRadioBtn[1]->click();
    EXPECT_TRUE(dlg.ApplyButton->isEnabled());
    dlg.ChanOnRadioBtn[1]->click();
    EXPECT_FALSE(dlg.ApplyButton->isEnabled());
    dlg.StandbyModeRadioBtn->click();
    dlg.ChanOffRadioBtn[0]->click();
    ASSERT_TRUE(dlg.ApplyButton->isEnabled());

    dlg.ApplyButton->click();
    // The radio buttons of channels 3..7 were never set: their "On" buttons are unchecked.
    ASSERT_EQ(main.messages.size(), 1u);
    EXPECT_EQ(main.messages[0].msg, WM_APPLYCONFIG);
    EXPECT_EQ(main.messages[0].wParam, 7u | (0u << 16) | (0x02u << 24));
    EXPECT_EQ(main.messages[0].lParam, 0u);
    EXPECT_FALSE(dlg.ApplyButton->isEnabled());

    // Without a main window Apply does nothing at all.
    TPropertiesDlg alone(nullptr, false, &record, nullptr);
    alone.StandbyModeRadioBtn->click();
    alone.ApplyButton->click();
    EXPECT_TRUE(alone.ApplyButton->isEnabled());
}

// A model the monitor does not know: the channel lines keep their text and nothing can be
// pressed or switched, but the mode and the grids are shown and a supply fault still blinks the
// disabled "PS" button.
TEST(PropertiesDialogRecord, UnknownModelShowsWhatIsKnownAndEnablesNothing) {
    DeviceStatus s = HealthyStatus();
    s.Mode = 0;
    s.SupplyOk[2] = 0;
    DeviceRecord record = KnownRecord(ModelUnknown, s);
    TPropertiesDlg dlg(nullptr, true, &record, nullptr);
    EXPECT_EQ(Text(dlg, "ModelLabel"), "Unknown");
    EXPECT_EQ(Text(dlg, "ModeLabel"), "Standby");
    for (int ch = 0; ch < 7; ++ch) {
        EXPECT_EQ(dlg.ChanLabel[ch]->text(), QString::number(ch + 1) + " - ");
        EXPECT_FALSE(dlg.ChanBtn[ch]->isEnabled());
        EXPECT_FALSE(dlg.ChanOnRadioBtn[ch]->isEnabled());
    }
    EXPECT_FALSE(dlg.PSupplyBtn->isEnabled());
    EXPECT_FALSE(dlg.ActiveModeRadioBtn->isEnabled());
    EXPECT_FALSE(dlg.StandbyModeRadioBtn->isEnabled());
    EXPECT_EQ(Text(dlg, "ModeStateLabel"), "Standby");
    EXPECT_EQ(Text(dlg, "Plus72VAStateLabel"), "FAILURE");
    EXPECT_EQ(Text(dlg, "Chan7FatalStateLabel"), "OK");

    // The timer runs and alternates the button's colours, which a disabled button does not
    // show: it stays grey.
    ASSERT_TRUE(dlg.Timer->isActive());
    dlg.TimerTimer();
    const auto first = ActiveColors(dlg.PSupplyBtn);
    dlg.TimerTimer();
    const auto second = ActiveColors(dlg.PSupplyBtn);
    EXPECT_EQ(first.first, first.second == White ? Red : White);
    EXPECT_EQ(second, std::make_pair(first.second, first.first));
    EXPECT_TRUE(dlg.Timer->isActive());
    EXPECT_TRUE(DisabledGroupIsTheStyles(dlg.PSupplyBtn));
}

// The Statistics grid colours a counter red when it is not zero, whatever the model; Reset
// Statistics clears all 32 and nothing else.
TEST(PropertiesDialogRecord, StatisticsShowEveryCounterAndResetClearsThemAll) {
    DeviceStatus s = HealthyStatus();
    s.OperatingMinutes = 125;
    DeviceRecord record = KnownRecord(ModelRV10, s);
    for (int i = 0; i < StatsCount; ++i) record.Stats[i] = i % 3 == 0 ? 0 : i;
    TPropertiesDlg dlg(nullptr, true, &record, nullptr);
    const QColor normal = dlg.palette().color(QPalette::WindowText);

    const std::pair<const char*, int> cells[] = {
        {"Chan1FatalErrLabel", StatsChanErr},      {"Chan7FatalErrLabel", StatsChanErr + 6},
        {"Chan3OvcErrLabel", StatsCurrentErr + 2}, {"Chan5FanErrLabel", StatsFanErr + 4},
        {"Chan2TempErrLabel", StatsTempErr + 1},   {"Minus5VErrLabel", StatsMinus5VErr},
        {"Plus12VErrLabel", StatsPlus12VErr},      {"Plus72VAErrLabel", StatsPlus72VAErr},
        {"Plus72VBErrLabel", StatsPlus72VBErr},    {"Chan4TempErrLabel", StatsTempErr + 3}};
    for (const auto& [name, index] : cells) {
        const QLabel* cell = Control(dlg, name);
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(cell->text(), QString::number(record.Stats[index])) << name;
        EXPECT_EQ(TextColor(cell), record.Stats[index] != 0 ? Red : normal) << name;
    }

    // The question comes first, and No keeps every counter.
    MessageBoxSeam::Capture(true);
    MessageBoxSeam::SetNextAnswer(MsgResultNo);
    dlg.ResetStatsLabelClick();
    std::vector<MessageBoxSeam::Shown> shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, MsgKind::Confirmation);
    EXPECT_TRUE(shown[0].text.contains("\"Bench Amp\"")) << shown[0].text.toStdString();
    EXPECT_EQ(record.Stats[1], 1);
    EXPECT_EQ(Text(dlg, "Chan2FatalErrLabel"), "1");

    const std::int64_t now = FixClock(2031, 7, 4, 9, 15, 30);
    dlg.ResetStatsLabelClick();
    EXPECT_EQ(MessageBoxSeam::TakeShown().size(), 1u);
    MessageBoxSeam::Capture(false);
    SetClockOverride({});
    EXPECT_EQ(record.StatsSince, now);
    EXPECT_TRUE(record.StatsSinceKnown);
    EXPECT_EQ(Text(dlg, "StatsSinceLabel"), "Counting since 2031-07-04 09:15");
    for (std::int32_t counter : record.Stats) EXPECT_EQ(counter, 0);
    const QList<QLabel*> all = dlg.StatisticsTab->findChildren<QLabel*>();
    int counterCells = 0;
    for (const QLabel* label : all) {
        if (!label->objectName().endsWith("ErrLabel")) continue;
        ++counterCells;
        EXPECT_EQ(label->text(), "0") << label->objectName().toStdString();
        EXPECT_EQ(TextColor(label), normal) << label->objectName().toStdString();
    }
    EXPECT_EQ(counterCells, StatsCount);
    EXPECT_EQ(record.Status.OperatingMinutes, 125);
    EXPECT_EQ(Text(dlg, "TimeOnLabel"), "2 hr 5 min");
}

// A lost status leaves nothing in green or red: the Summary's "Unknown" cells and the condition
// buttons that are off are grey, and the buttons stop blinking.
TEST(PropertiesDialogRecord, LostStatusTurnsTheSummaryAndTheButtonsGrey) {
    DeviceStatus s = HealthyStatus();
    s.FanOk[2] = 0;
    s.SupplyOk[1] = 0;
    DeviceRecord record = KnownRecord(ModelRV13, s);
    TPropertiesDlg dlg(nullptr, true, &record, nullptr);
    dlg.setAttribute(Qt::WA_DontShowOnScreen);
    dlg.show();
    dlg.PageControl->setCurrentWidget(dlg.SummaryTab);
    QCoreApplication::processEvents();
    const QList<QLabel*> cells =
        dlg.SummaryTab->findChildren<QLabel*>(QRegularExpression(QStringLiteral("StateLabel$")));
    const auto colouredCells = [&cells] {
        int count = 0;
        for (QLabel* cell : cells) count += ColouredPixels(cell);
        return count;
    };
    ASSERT_GT(colouredCells(), 0);
    dlg.TimerTimer();
    ASSERT_GT(ColouredPixels(dlg.ChanBtn[2]), 0);
    ASSERT_GT(ColouredPixels(dlg.PSupplyBtn), 0);

    record.StatusKnown = false;
    record.ConnState = Connecting;
    dlg.RefreshDevice();
    EXPECT_EQ(Text(dlg, "Chan3FanlStateLabel"), "Unknown");
    EXPECT_EQ(colouredCells(), 0);
    for (const QLabel* cell : cells) {
        EXPECT_FALSE(cell->isEnabled()) << cell->objectName().toStdString();
        EXPECT_TRUE(DisabledGroupIsTheStyles(cell)) << cell->objectName().toStdString();
    }
    // Ticks that come after find nothing to blink.
    EXPECT_FALSE(dlg.Timer->isActive());
    for (int tick = 0; tick < 2; ++tick) {
        dlg.TimerTimer();
        EXPECT_FALSE(dlg.Timer->isActive()) << tick;
        for (QPushButton* button : dlg.findChildren<QPushButton*>(
                 QRegularExpression(QStringLiteral("^(PSupply|Chan\\d)Btn$")))) {
            const std::string name = button->objectName().toStdString();
            EXPECT_FALSE(button->isEnabled()) << name;
            EXPECT_TRUE(DisabledGroupIsTheStyles(button)) << name;
            EXPECT_EQ(ColouredPixels(button), 0) << name << " " << tick;
        }
    }
}

// The dialog keeps one size while its texts change, large enough for the widest of them, and a
// tab that is not shown takes no room.
TEST(PropertiesDialogRecord, OneSizeWhileOpenWideEnoughForEveryText) {
    DeviceStatus faulty = HealthyStatus();
    for (int ch = 0; ch < 7; ++ch) faulty.ChannelOn[ch] = 0;
    for (int ch = 0; ch < 7; ++ch) faulty.TempOk[ch] = 0;
    for (std::uint8_t& rail : faulty.SupplyOk) rail = 0;
    faulty.Mode = 0;
    faulty.OperatingMinutes = -1;
    for (bool stats : {false, true}) {
        SCOPED_TRACE(stats);
        DeviceRecord record = KnownRecord(ModelRV13);
        record.StatusKnown = false;
        record.ConnState = Disconnected;
        record.Serial.clear();
        TPropertiesDlg dlg(nullptr, stats, &record, nullptr);
        dlg.setAttribute(Qt::WA_DontShowOnScreen);
        dlg.show();
        QCoreApplication::processEvents();
        const QSize size = dlg.size();
        const auto connecting = [&] { record.ConnState = Connecting; };
        const auto known = [&] {
            record.ConnState = Connected;
            record.StatusKnown = true;
            record.Serial = "61000007";
        };
        const auto faults = [&] {
            record.Status = faulty;
            for (std::int32_t& counter : record.Stats) counter = -999999;
        };
        const auto lost = [&] {
            record.StatusKnown = false;
            record.ConnState = Disconnected;
        };
        const std::function<void()> states[] = {connecting, known, faults, lost};
        for (int step = 0; step < 4; ++step) {
            states[step]();
            dlg.RefreshDevice();
            for (QWidget* page :
                 {dlg.GeneralTab, dlg.ConfigurationTab, dlg.StatisticsTab, dlg.SummaryTab}) {
                if (!dlg.PageControl->isTabVisible(dlg.PageControl->indexOf(page))) continue;
                dlg.PageControl->setCurrentWidget(page);
                QCoreApplication::processEvents();
                EXPECT_EQ(dlg.size(), size) << step;
                for (const QLabel* label : page->findChildren<QLabel*>()) {
                    if (!label->isVisible() || label->wordWrap()) continue;
                    EXPECT_GE(label->width(), label->sizeHint().width())
                        << step << " " << label->objectName().toStdString() << " "
                        << label->text().toStdString();
                }
            }
        }
        if (!stats) {
            const int content = std::max(dlg.GeneralTab->sizeHint().width(),
                                         dlg.ConfigurationTab->sizeHint().width());
            EXPECT_LE(dlg.GeneralTab->width(), content + 8);
        }
    }
}

// Apply shows the choice and "Sending..." until the device answers; an answer that contradicts
// the choice is said in words, until a later status reports the choice after all.
TEST(PropertiesDialogRecord, ApplySaysSendingAndWhatTheDeviceDidInstead) {
    DeviceRecord record = KnownRecord(ModelRV13);  // Active, every channel on
    RecordingTarget main;
    TPropertiesDlg dlg(nullptr, false, &record, &main);
    dlg.ChanOffRadioBtn[1]->click();
    dlg.ApplyButton->click();
    ASSERT_EQ(main.messages.size(), 1u);
    EXPECT_EQ(Text(dlg, "ApplyStateLabel"), "Sending...");
    EXPECT_TRUE(dlg.ChanOffRadioBtn[1]->isChecked());
    EXPECT_FALSE(dlg.ApplyButton->isEnabled());

    record.Status.Mode = 0;
    dlg.RefreshDevice();
    EXPECT_EQ(Text(dlg, "ApplyStateLabel"),
              "The device did not take the new configuration: it reports Standby, channel 2 On.");
    EXPECT_TRUE(dlg.ChanOnRadioBtn[1]->isChecked());
    EXPECT_TRUE(dlg.StandbyModeRadioBtn->isChecked());
    EXPECT_TRUE(dlg.ChanOnRadioBtn[1]->isEnabled());

    record.Status.Mode = 1;
    record.Status.ChannelOn[1] = 0;
    dlg.RefreshDevice();
    EXPECT_EQ(Text(dlg, "ApplyStateLabel"), "");
}

// "Status of 14:32:05": when the shown status arrived, with its day when that is not today.
TEST(PropertiesDialogRecord, StatusTimeSaysWhenTheShownStatusArrived) {
    const std::int64_t now = FixClock(2031, 7, 4, 9, 15, 30);
    const struct {
        bool known;
        std::int64_t at;
        const char* text;
    } cases[] = {{true, now - 25, "Status of 09:15:05"},
                 {true, now - (9 * 3600 + 15 * 60 + 31), "Status of 2031-07-03 23:59:59"},
                 {false, now - 25, "No status since 09:15:05"},
                 {false, 0, "No status yet"}};
    for (const auto& c : cases) {
        DeviceRecord record = KnownRecord(ModelRV10);
        record.StatusKnown = c.known;
        record.StatusTime = c.at;
        TPropertiesDlg dlg(nullptr, false, &record, nullptr);
        EXPECT_EQ(Text(dlg, "StatusTimeLabel"), c.text);
    }
    SetClockOverride({});
}

// ---- the condition window ----

TStatusDlg::Context SampleContext() {
    TStatusDlg::Context c;
    c.Caption = QStringLiteral("  Channel 2 Condition");
    c.Left = 300;
    c.Top = 400;
    c.Labels[0] = {QStringLiteral("Temperature:"), true, QColor(Qt::black)};
    c.Labels[1] = {QStringLiteral("Above the Limit"), true, Red};
    c.Labels[2] = {QStringLiteral("hidden text"), false, Green};
    c.Labels[3] = {QString(), true, Green};
    c.Labels[4] = {QStringLiteral("Output Current:"), true, QColor(Qt::black)};
    c.Labels[5] = {QStringLiteral("Out of the Limits"), true, Red};
    c.Labels[6] = {QStringLiteral("This channel is faulty."), true, Red};
    c.Labels[7] = {QString(), true, QColor(Qt::black)};
    return c;
}

TEST(StatusDialog, ContextPlacesTheBottomEdgeAtTopAndSetsEveryLabel) {
    const TStatusDlg::Context c = SampleContext();
    TStatusDlg dlg(nullptr, &c, nullptr);
    EXPECT_TRUE(dlg.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(dlg.windowType(), Qt::Tool);
    EXPECT_EQ(dlg.height(), TStatusDlg::ClientHeight);
    EXPECT_GE(dlg.width(), TStatusDlg::ClientWidth);
    // Whatever the desktop's font, no text is cut, and a value never covers its name.
    for (int i = 0; i < 8; ++i) {
        const QLabel* label = dlg.Labels[i];
        if (label->isHidden()) continue;
        EXPECT_GE(label->width(), label->sizeHint().width()) << i;
        EXPECT_LE(label->geometry().right(), dlg.width()) << i;
    }
    for (int row : {0, 2}) {
        EXPECT_LT(dlg.Labels[2 * row]->geometry().right(), dlg.Labels[2 * row + 1]->x()) << row;
    }
    EXPECT_EQ(dlg.windowTitle(), "  Channel 2 Condition");
    EXPECT_EQ(dlg.frameGeometry().left(), 300);
    EXPECT_EQ(dlg.frameGeometry().bottom() + 1, 400);

    EXPECT_EQ(dlg.Labels[1]->text(), "Above the Limit");
    EXPECT_EQ(TextColor(dlg.Labels[1]), Red);
    EXPECT_FALSE(dlg.Labels[0]->isHidden());
    EXPECT_TRUE(dlg.Labels[2]->isHidden());
    EXPECT_EQ(dlg.Labels[2]->text(), "hidden text");
    EXPECT_FALSE(dlg.Labels[3]->isHidden());
    EXPECT_EQ(dlg.Labels[3]->text(), "");
    // The rows the context leaves out keep the empty window's hidden placeholders.

    // The empty window: placeholders, all hidden.
    const TStatusDlg empty(nullptr, nullptr, nullptr);
    EXPECT_EQ(empty.size(), QSize(TStatusDlg::ClientWidth, TStatusDlg::ClientHeight));
    EXPECT_EQ(empty.findChild<QLabel*>("ParameterLabel4")->text(), "Parameter 4:");
    EXPECT_EQ(empty.findChild<QLabel*>("ValueLabel1")->text(), "Unknown");
    for (const QLabel* label : empty.Labels) EXPECT_TRUE(label->isHidden());
}

// Its close box only hides it and tells the owner, once per close; destroying it says nothing.
TEST(StatusDialog, CloseHidesItAndNotifiesTheOwnerOncePerClose) {
    RecordingTarget owner;
    const TStatusDlg::Context c = SampleContext();
    {
        TStatusDlg dlg(nullptr, &c, &owner);
        for (int round = 1; round <= 2; ++round) {
            dlg.show();
            ASSERT_TRUE(dlg.close());
            EXPECT_TRUE(dlg.isHidden());
            ASSERT_EQ(owner.messages.size(), static_cast<std::size_t>(round));
            EXPECT_EQ(owner.messages.back().msg, WM_STATUSDLGCLOSED);
            EXPECT_EQ(owner.messages.back().wParam, 0u);
            EXPECT_EQ(owner.messages.back().lParam, 0u);
        }
        dlg.show();
    }
    EXPECT_EQ(owner.messages.size(), 2u);
}

// ---- against simulated devices, opened from the main window ----

class PropertiesDialogTest : public MainFormFixture {
protected:
    PropertiesDialogTest() : MainFormFixture(61) {}

    int Sim(int host, const std::function<void(devsim::DeviceConfig&)>& tweak = {}) {
        return QuietSim(host, "6100", tweak);
    }

    // A device registered by hand and connected with its status known.
    void StartWithDevice(int host, const std::string& name,
                         std::vector<std::string> arguments = {}) {
        StartForm(std::move(arguments));
        WaitForFirstPoll();
        Add(name, Address(host), true);
        ASSERT_TRUE(WaitUntil([this] {
            const Device* d = Monitor().FindDeviceByListIndex(0);
            return d && d->StatusKnown;
        }));
    }
    using Device = CMonitorCore::Device;

    // Opens the properties of a row as the user does (by default: the row made current, then
    // the button) and runs body inside the dialog's modal loop; the dialog is closed with its
    // Close button afterwards, whatever body found.
    void WithProperties(int row, const std::function<void(TPropertiesDlg&)>& body,
                        const std::function<void()>& open = {}) {
        if (!open) form_->ListView->setCurrentItem(form_->ListView->topLevelItem(row));
        bool ran = false;
        QTimer driver;
        driver.setSingleShot(true);
        QObject::connect(&driver, &QTimer::timeout, [&] {
            auto* dlg = dynamic_cast<TPropertiesDlg*>(QApplication::activeModalWidget());
            ASSERT_NE(dlg, nullptr);
            ran = true;
            EXPECT_EQ(form_->PropertiesDevice, Monitor().FindDeviceByListIndex(row)->DeviceId);
            body(*dlg);
            dlg->CloseBtn->click();
        });
        driver.start(0);
        if (open) {
            open();
        } else {
            form_->ShowPropertiesBtn1Click();
        }
        driver.stop();
        EXPECT_TRUE(ran) << "the dialog did not open";
        EXPECT_EQ(form_->PropertiesDevice, -1);
    }

    // Asks the device for its status now, as a poll does.
    void Poll() { Monitor().PollAll(); }
};

TEST_F(PropertiesDialogTest, TwoChannelDeviceShowsItsTwoChannelsOnly) {
    Sim(2, [](devsim::DeviceConfig& c) {
        c.modelText = "00";
        c.channelMask = 0x01;
    });
    StartWithDevice(2, "Foyer");
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        EXPECT_EQ(dlg.windowTitle(), "Properties :  Foyer");
        EXPECT_EQ(Text(dlg, "ModelLabel"), "RV10");
        EXPECT_EQ(Text(dlg, "SerialNrLabel"), "61001002");
        EXPECT_EQ(Text(dlg, "ModeLabel"), "Active");
        EXPECT_TRUE(dlg.ModeLabel->isEnabled());
        EXPECT_EQ(Text(dlg, "NetworkStatusLabel"), "Connected");
        EXPECT_EQ(Text(dlg, "Chan1Label"), "1 - On");
        EXPECT_EQ(Text(dlg, "Chan2Label"), "2 - Off");
        for (int ch = 0; ch < 7; ++ch) {
            SCOPED_TRACE(ch + 1);
            const bool present = ch < 2;
            if (!present) {
                EXPECT_EQ(dlg.ChanLabel[ch]->text(), QString::number(ch + 1) + " - ");
            }
            EXPECT_EQ(dlg.ChanLabel[ch]->isEnabled(), present);
            EXPECT_EQ(dlg.ChanBtn[ch]->isEnabled(), present);
            EXPECT_EQ(dlg.ChLabel[ch]->isEnabled(), present);
            EXPECT_EQ(dlg.ChanOnRadioBtn[ch]->isEnabled(), present);
            EXPECT_EQ(dlg.ChanOffRadioBtn[ch]->isEnabled(), present);
        }
        EXPECT_TRUE(dlg.PSupplyBtn->isEnabled());
        EXPECT_TRUE(Control<QRadioButton>(dlg, "Chan1OnRadioBtn")->isChecked());
        EXPECT_TRUE(Control<QRadioButton>(dlg, "Chan2OffRadioBtn")->isChecked());
        EXPECT_TRUE(Control<QRadioButton>(dlg, "ActiveModeRadioBtn")->isChecked());
        EXPECT_TRUE(Control<QLabel>(dlg, "ModeConfigLabel")->isEnabled());
        EXPECT_FALSE(Control<QPushButton>(dlg, "ApplyButton")->isEnabled());
        // Nothing is faulty: one tick finds no fault and the timer stops.
        dlg.TimerTimer();
        EXPECT_FALSE(dlg.Timer->isActive());
        EXPECT_EQ(Colors(dlg.ChanBtn[0]),
                  std::make_pair(dlg.palette().color(QPalette::Button),
                                 dlg.palette().color(QPalette::ButtonText)));
    });
}

// A faulty channel is marked on its line and blinks its button every tick; the highlighted
// button keeps its highlight; the condition window shows the channel's four rows; when the fault
// clears, the buttons return to normal and the timer stops.
TEST_F(PropertiesDialogTest, SevenChannelDeviceWithAFaultyChannelBlinksAndShowsItsCondition) {
    const int sim = Sim(3);
    Site().SetChannelFault(sim, 3, ChannelFault::Fan, true);
    Site().SetChannelFault(sim, 3, ChannelFault::Channel, true);
    StartWithDevice(3, "Main Hall");
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        const auto normal = std::make_pair(dlg.palette().color(QPalette::Button),
                                           dlg.palette().color(QPalette::ButtonText));
        EXPECT_EQ(Text(dlg, "ModelLabel"), "RV13");
        EXPECT_EQ(Text(dlg, "Chan3Label"), "3 - On       FAULTY");
        for (int ch : {0, 1, 3, 4, 5, 6})
            EXPECT_EQ(dlg.ChanLabel[ch]->text(), QString::number(ch + 1) + " - On");
        for (QPushButton* b : dlg.ChanBtn) EXPECT_TRUE(b->isEnabled());

        ASSERT_TRUE(dlg.Timer->isActive());
        EXPECT_EQ(dlg.Timer->interval(), 500);
        dlg.TimerTimer();
        const auto first = Colors(dlg.ChanBtn[2]);
        EXPECT_TRUE(first == std::make_pair(Red, White) || first == std::make_pair(White, Red));
        dlg.TimerTimer();
        EXPECT_EQ(Colors(dlg.ChanBtn[2]), std::make_pair(first.second, first.first));
        EXPECT_EQ(Colors(dlg.ChanBtn[1]), normal);
        EXPECT_EQ(Colors(dlg.PSupplyBtn), normal);
        EXPECT_TRUE(dlg.Timer->isActive());

        // Pressing the faulty channel's button highlights it, and the blinking leaves it so.
        Control<QPushButton>(dlg, "Chan3Btn")->click();
        const auto highlight = std::make_pair(dlg.palette().color(QPalette::Highlight),
                                              dlg.palette().color(QPalette::HighlightedText));
        for (int tick = 0; tick < 3; ++tick) {
            dlg.TimerTimer();
            EXPECT_EQ(Colors(dlg.ChanBtn[2]), highlight) << tick;
        }
        EXPECT_TRUE(dlg.Timer->isActive());
        ASSERT_NE(dlg.StatusDlg, nullptr);
        const TStatusDlg& window = *dlg.StatusDlg;
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(window.windowTitle(), "  Channel 3 Condition");
        const std::pair<const char*, QColor> rows[] = {
            {"Temperature:", Green}, {"Output Current:", Green}, {"Fan:", Red}};
        const char* values[] = {"OK", "OK", "Faulty"};
        for (int r = 0; r < 3; ++r) {
            EXPECT_EQ(window.Labels[2 * r]->text(), rows[r].first);
            EXPECT_EQ(window.Labels[2 * r + 1]->text(), values[r]);
            EXPECT_EQ(TextColor(window.Labels[2 * r + 1]), rows[r].second);
        }
        EXPECT_EQ(window.Labels[6]->text(), "This channel is faulty.");
        EXPECT_EQ(TextColor(window.Labels[6]), Red);
        EXPECT_FALSE(window.Labels[6]->isHidden());
        // The window's bottom edge lies on the top of the condition button row.
        const QPoint row = dlg.PSupplyBtn->mapToGlobal(QPoint(0, 0));
        EXPECT_EQ(window.frameGeometry().left(), row.x());
        EXPECT_EQ(window.frameGeometry().bottom() + 1, row.y());

        // A healthy channel's window: no fourth row.
        dlg.ChanBtn[0]->click();
        EXPECT_EQ(window.windowTitle(), "  Channel 1 Condition");
        EXPECT_TRUE(window.Labels[6]->isHidden());
        EXPECT_EQ(Colors(dlg.ChanBtn[0]), highlight);

        Site().ClearFaults(sim);
        Poll();
        ASSERT_TRUE(WaitUntil([&] { return dlg.ChanLabel[2]->text() == "3 - On"; }));
        dlg.TimerTimer();
        EXPECT_EQ(Colors(dlg.ChanBtn[2]), normal);
        EXPECT_FALSE(dlg.Timer->isActive());
        EXPECT_EQ(Colors(dlg.ChanBtn[0]), highlight);
    });
}

// Devices whose status is not known: one that cannot be reached and one that is not monitored,
// whose model and serial number the file gave.
TEST_F(PropertiesDialogTest, StatusNotKnownShowsUnknownAndEnablesNothing) {
    WriteConfig(
        "[AVLO]\r\nRegistered=2\r\n"
        "Name 0=Unreachable\r\nIP 0=" +
        Address(9) +
        "\r\navlo 0=1\r\n"
        "Name 1=Stored\r\nIP 1=" +
        Address(8) +
        "\r\navlo 1=0\r\nModel 1=2\r\n"
        "Serial 1=61009999\r\n");
    StartForm({"stats"});
    WaitForFirstPoll();
    const struct {
        int row;
        const char* network;
        const char* model;
        const char* serial;
    } cases[] = {{0, "Connecting...", "Unknown", "Unknown"},
                 {1, "Disconnected", "RV11", "61009999"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        WithProperties(c.row, [&](TPropertiesDlg& dlg) {
            EXPECT_EQ(Text(dlg, "NetworkStatusLabel"), c.network);
            EXPECT_EQ(Text(dlg, "ModelLabel"), c.model);
            EXPECT_EQ(Text(dlg, "SerialNrLabel"), c.serial);
            EXPECT_EQ(Text(dlg, "ModeLabel"), "Unknown");
            EXPECT_FALSE(dlg.ModeLabel->isEnabled());
            for (int ch = 0; ch < 7; ++ch) {
                EXPECT_EQ(dlg.ChanLabel[ch]->text(), QString::number(ch + 1) + " - ");
                EXPECT_FALSE(dlg.ChanLabel[ch]->isEnabled());
                EXPECT_FALSE(dlg.ChanBtn[ch]->isEnabled());
                EXPECT_FALSE(dlg.ChanOnRadioBtn[ch]->isEnabled());
                EXPECT_FALSE(dlg.ChanOffRadioBtn[ch]->isEnabled());
                EXPECT_FALSE(dlg.ChLabel[ch]->isEnabled());
            }
            EXPECT_FALSE(dlg.PSupplyBtn->isEnabled());
            EXPECT_FALSE(dlg.ActiveModeRadioBtn->isEnabled());
            EXPECT_FALSE(dlg.ApplyButton->isEnabled());
            EXPECT_EQ(Text(dlg, "StatusTimeLabel"), "No status yet");
            const auto* refresh = Control<QPushButton>(dlg, "RefreshNowBtn");
            EXPECT_TRUE(refresh && !refresh->isEnabled());
            for (const char* name : {"ModelSummaryLabel", "SerialNrSummaryLabel", "ModeStateLabel",
                                     "Chan7TemplStateLabel", "Minus5VStateLabel"}) {
                const QLabel* label = Control(dlg, name);
                ASSERT_NE(label, nullptr);
                EXPECT_EQ(label->text(), "Unknown") << name;
                EXPECT_FALSE(label->isEnabled()) << name;
            }
        });
    }
}

// A serial is whatever the device sent: markup in it is shown as written, a control byte as
// its escape.
TEST_F(PropertiesDialogTest, SerialIsShownAsPlainTextNeverAsMarkup) {
    WriteConfig("[AVLO]\r\nRegistered=1\r\nName 0=Stored\r\nIP 0=" + Address(8) +
                "\r\navlo 0=0\r\nModel 0=2\r\nSerial 0=<b>x</b>\x1B[2J\r\n");
    StartForm({"stats"});
    WaitForFirstPoll();
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        EXPECT_EQ(Text(dlg, "SerialNrLabel"), "<b>x</b>\\x1B[2J");
        for (const char* name : {"SerialNrLabel", "SerialNrSummaryLabel"}) {
            const QLabel* label = Control(dlg, name);
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->textFormat(), Qt::PlainText) << name;
        }
    });
}

// The condition window open on the power supply when the device goes away: it closes, and the
// highlight goes with it.
TEST_F(PropertiesDialogTest, DisconnectClosesTheConditionWindowAndTheHighlight) {
    const int sim = Sim(4);
    Site().SetSupplyFault(sim, 1, true);
    StartWithDevice(4, "Balcony");
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        dlg.PSupplyBtn->click();
        ASSERT_NE(dlg.StatusDlg, nullptr);
        QPointer<TStatusDlg> window = dlg.StatusDlg;
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->windowTitle(), "  Power Supply Condition");
        const char* names[] = {"-5V:", "+12V:", "+72V (A):", "+72V (B):"};
        for (int r = 0; r < 4; ++r) {
            EXPECT_EQ(window->Labels[2 * r]->text(), names[r]);
            EXPECT_EQ(window->Labels[2 * r + 1]->text(), r == 1 ? "Out of the Limits" : "OK");
        }
        EXPECT_EQ(dlg.SelectedButton, 0);
        const auto normal = std::make_pair(dlg.palette().color(QPalette::Button),
                                           dlg.palette().color(QPalette::ButtonText));
        EXPECT_NE(Colors(dlg.PSupplyBtn), normal);

        // Gone for good: it refuses the reconnection.
        Site().SetRefuseConnections(sim, true);
        Site().DropConnection(sim);
        ASSERT_TRUE(WaitUntil([&] { return window.isNull(); }));
        EXPECT_EQ(dlg.StatusDlg, nullptr);
        EXPECT_EQ(dlg.SelectedButton, 8);
        EXPECT_EQ(ActiveColors(dlg.PSupplyBtn), normal);
        EXPECT_FALSE(dlg.PSupplyBtn->isEnabled());
        EXPECT_TRUE(DisabledGroupIsTheStyles(dlg.PSupplyBtn));
        EXPECT_NE(Text(dlg, "NetworkStatusLabel"), "Connected");
    });
}

// The condition window's close box hides it and clears the highlight; the next status brings
// it back. A tab change closes it for good.
TEST_F(PropertiesDialogTest, ConditionWindowCloseBoxHidesItUntilTheNextStatus) {
    Sim(5);
    StartWithDevice(5, "Gallery");
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        dlg.ChanBtn[4]->click();
        ASSERT_NE(dlg.StatusDlg, nullptr);
        QPointer<TStatusDlg> window = dlg.StatusDlg;
        EXPECT_EQ(dlg.SelectedButton, 5);
        window->close();
        EXPECT_FALSE(window.isNull());
        EXPECT_TRUE(window->isHidden());
        EXPECT_EQ(dlg.SelectedButton, 8);

        Poll();
        ASSERT_TRUE(WaitUntil([&] { return window->isVisible(); }));
        EXPECT_EQ(window->windowTitle(), "  Channel 5 Condition");

        dlg.PageControl->setCurrentWidget(dlg.ConfigurationTab);
        EXPECT_TRUE(window.isNull());
        EXPECT_EQ(dlg.StatusDlg, nullptr);
    });
}

TEST_F(PropertiesDialogTest, StatisticsAndSummaryTabsOnlyWithTheStatsSwitch) {
    Sim(6);
    for (bool stats : {false, true}) {
        SCOPED_TRACE(stats);
        StartWithDevice(6, "Studio",
                        stats ? std::vector<std::string>{"stats"} : std::vector<std::string>{});
        WithProperties(0, [&](TPropertiesDlg& dlg) {
            QTabWidget* tabs = dlg.PageControl;
            const std::pair<QWidget*, const char*> pages[] = {
                {dlg.GeneralTab, "&General"},
                {dlg.ConfigurationTab, "C&onfiguration"},
                {dlg.StatisticsTab, "&Statistics"},
                {dlg.SummaryTab, "S&ummary"}};
            for (int i = 0; i < 4; ++i) {
                const int index = tabs->indexOf(pages[i].first);
                EXPECT_EQ(index, i);
                EXPECT_EQ(tabs->tabText(index), pages[i].second);
                EXPECT_EQ(tabs->isTabVisible(index), i < 2 || stats) << pages[i].second;
            }
            if (stats) {
                EXPECT_EQ(Text(dlg, "ModelSummaryLabel"), "RV13");
                EXPECT_EQ(Text(dlg, "Chan4FanlStateLabel"), "OK");
                EXPECT_EQ(TextColor(Control(dlg, "Chan4FanlStateLabel")), Green);
            }
        });
        StopForm();
        std::remove(options_.configPath.c_str());
    }
}

// Reset Statistics from the link: the counters the file gave become zeros in the dialog, in the
// record and, after the shutdown, in the file; the operation time stays the device's.
TEST_F(PropertiesDialogTest, ResetStatisticsLinkClearsTheCountersAndTheFileKeepsTheZeros) {
    Sim(7, [](devsim::DeviceConfig& c) { c.operatingMinutes = 61; });
    WriteConfig("[AVLO]\r\nRegistered=1\r\nName 0=Annex\r\nIP 0=" + Address(7) +
                "\r\navlo 0=1\r\n[STATS]\r\nFanErr2device 0=4\r\nPlus12VErrdevice 0=9\r\n"
                "ChanErr6device 0=3\r\n");
    StartForm({"stats"});
    ASSERT_TRUE(WaitUntil([this] { return Monitor().FindDeviceByListIndex(0)->StatusKnown; }));
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        dlg.PageControl->setCurrentWidget(dlg.StatisticsTab);
        EXPECT_EQ(Text(dlg, "TimeOnLabel"), "1 hr 1 min");
        EXPECT_EQ(Text(dlg, "Chan3FanErrLabel"), "4");
        EXPECT_EQ(TextColor(Control(dlg, "Chan3FanErrLabel")), Red);
        EXPECT_EQ(Text(dlg, "Plus12VErrLabel"), "9");
        EXPECT_EQ(Text(dlg, "Chan7FatalErrLabel"), "3");

        QLabel* link = Control(dlg, "ResetStatsLabel");
        ASSERT_NE(link, nullptr);
        QEvent enter(QEvent::Enter);
        QCoreApplication::sendEvent(link, &enter);
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(link, &leave);
        EXPECT_EQ(link->cursor().shape(), Qt::ArrowCursor);

        const QPointF at(5, 5);
        QMouseEvent press(QEvent::MouseButtonPress, at, link->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(link, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, link->mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(link, &release);
        const std::vector<MessageBoxSeam::Shown> asked = MessageBoxSeam::TakeShown();
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].kind, MsgKind::Confirmation);
        for (const char* name : {"Chan3FanErrLabel", "Plus12VErrLabel", "Chan7FatalErrLabel"}) {
            EXPECT_EQ(Text(dlg, name), "0") << name;
            EXPECT_EQ(TextColor(Control(dlg, name)), dlg.palette().color(QPalette::WindowText));
        }
        EXPECT_EQ(Text(dlg, "TimeOnLabel"), "1 hr 1 min");
    });
    for (std::int32_t counter : Monitor().FindDeviceByListIndex(0)->Stats) EXPECT_EQ(counter, 0);
    EXPECT_EQ(Monitor().FindDeviceByListIndex(0)->Status.OperatingMinutes, 61);

    StopForm();
    const std::string file = ReadConfig();
    const std::size_t stats = file.find("[STATS]\r\n");
    ASSERT_NE(stats, std::string::npos) << file;
    int counters = 0;
    std::istringstream lines(file.substr(stats + 9));
    for (std::string line; std::getline(lines, line) && !line.starts_with('[');) {
        ++counters;
        EXPECT_TRUE(line.ends_with("=0\r")) << line;
    }
    EXPECT_EQ(counters, StatsCount);
}

// Apply from the Configuration tab: the device receives the mode, the channels and a status
// query, in this order and about a second apart, and the dialog then shows what it reports.
TEST_F(PropertiesDialogTest, ApplyReachesTheDeviceAndTheDialogShowsTheNewConfiguration) {
    const int sim = Sim(8);
    RequestArrivals arrivals(Site());
    StartWithDevice(8, "Stage");
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        dlg.PageControl->setCurrentWidget(dlg.ConfigurationTab);
        const std::size_t before = arrivals.Count();
        Control<QRadioButton>(dlg, "StandbyModeRadioBtn")->click();
        Control<QRadioButton>(dlg, "Chan2OffRadioBtn")->click();
        Control<QRadioButton>(dlg, "Chan6OffRadioBtn")->click();
        ASSERT_TRUE(dlg.ApplyButton->isEnabled());
        dlg.ApplyButton->click();
        EXPECT_FALSE(dlg.ApplyButton->isEnabled());

        ASSERT_TRUE(WaitUntil([&] { return arrivals.Count() >= before + 3; }));
        {
            const std::vector<RequestArrivals::Arrival> all = arrivals.Of();
            const std::vector<RequestArrivals::Arrival> requests(
                all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
            ASSERT_EQ(requests.size(), 3u);
            EXPECT_EQ(requests[0].text, "*p0\n");
            EXPECT_EQ(requests[1].text, "*m=5D\n");
            EXPECT_EQ(requests[2].text, "*s?\n");
            for (std::size_t i = 1; i < 3; ++i) {
                EXPECT_GE(requests[i].at - requests[i - 1].at, std::chrono::milliseconds(800))
                    << requests[i].text;
            }
        }
        EXPECT_TRUE(WaitUntil([&] {
            return Text(dlg, "ModeLabel") == "Standby" && Text(dlg, "Chan2Label") == "2 - Off" &&
                   Text(dlg, "Chan6Label") == "6 - Off";
        })) << Text(dlg, "ModeLabel")
            << ", " << Text(dlg, "Chan2Label") << ", " << Text(dlg, "Chan6Label");
        EXPECT_EQ(Text(dlg, "Chan1Label"), "1 - On");
        EXPECT_TRUE(dlg.StandbyModeRadioBtn->isChecked());
        EXPECT_TRUE(dlg.ChanOffRadioBtn[1]->isChecked());
        EXPECT_TRUE(dlg.ChanOnRadioBtn[2]->isChecked());
        EXPECT_FALSE(dlg.ApplyButton->isEnabled());
    });
    const devsim::DeviceSnapshot seen = Site().Snapshot(sim);
    EXPECT_FALSE(seen.active);
    EXPECT_EQ(seen.channelMask, 0x5D);
    EXPECT_TRUE(EventsWithId(EV_DEVICE_CONNECTION_LOST).empty());
}

// The dialog's mute: its label says what holds; a length from the button's menu mutes the
// device and its row shows it at once; a mute the core reports refreshes the label; Unmute,
// available only while muted, ends it.
TEST_F(PropertiesDialogTest, MuteButtonMutesTheDeviceAndUnmuteEndsIt) {
    // Tomorrow 10:00 by the core's clock: the end lies ahead of the real time as well.
    const QDate day = QDate::currentDate().addDays(1);
    FixClock(day.year(), day.month(), day.day(), 10, 0, 0);
    Sim(13);
    StartWithDevice(13, "Booth");
    const std::uint16_t id = Monitor().FindDeviceByListIndex(0)->DeviceId;
    const QTreeWidgetItem* row = form_->ListView->topLevelItem(0);
    const auto choose = [](TPropertiesDlg& dlg, const char* name) {
        dlg.MuteBtn->menu()->findChild<QAction*>(QString::fromLatin1(name))->trigger();
    };
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        EXPECT_EQ(dlg.MuteStateLabel->text(), "Alerts not muted");
        EXPECT_TRUE(dlg.MuteBtn->isEnabled());
        EXPECT_FALSE(dlg.UnmuteBtn->isEnabled());
        // Each key of the dialog's buttons and tabs once.
        QStringList captions;
        for (const QPushButton* b : dlg.findChildren<QPushButton*>()) captions << b->text();
        for (int tab = 0; tab < dlg.PageControl->count(); ++tab)
            captions << dlg.PageControl->tabText(tab);
        EXPECT_EQ(ClashingKeys(captions), "");

        choose(dlg, "MuteFourHoursAction");
        EXPECT_EQ(Monitor().FindDeviceById(id)->MutedUntil,
                  QDateTime(day, QTime(14, 0)).toSecsSinceEpoch());
        EXPECT_EQ(dlg.MuteStateLabel->text(), "Alerts muted until 14:00");
        EXPECT_TRUE(dlg.UnmuteBtn->isEnabled());
        EXPECT_FALSE(row->icon(ColName).isNull());

        Monitor().MuteDevice(id, CMonitorCore::MutedIndefinitely);
        emit Monitor().DeviceRowChanged(id);
        EXPECT_EQ(dlg.MuteStateLabel->text(), "Alerts muted");

        dlg.UnmuteBtn->click();
        EXPECT_EQ(Monitor().FindDeviceById(id)->MutedUntil, 0);
        EXPECT_EQ(dlg.MuteStateLabel->text(), "Alerts not muted");
        EXPECT_FALSE(dlg.UnmuteBtn->isEnabled());
        EXPECT_TRUE(row->icon(ColName).isNull());
    });
    SetClockOverride({});
}

// A device that leaves the table while its dialog is open closes the dialog, which no longer
// refers to the record.
TEST_F(PropertiesDialogTest, DeletedDeviceClosesItsDialog) {
    const int sim = Sim(12);
    Site().SetSupplyFault(sim, 0, true);
    StartWithDevice(12, "Loft");
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        ASSERT_TRUE(dlg.isVisible());
        ASSERT_TRUE(dlg.Timer->isActive());
        Monitor().DeleteDevice(0);
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(dlg.Device, nullptr);
        EXPECT_FALSE(dlg.Timer->isActive());
    });
}

// The dialog follows every change of its own device, also one that only rewrites its row
// (monitoring switched off), and no other device's: a choice not yet applied outlives another
// device's change. The menu command and a double-click on a row open it for that row.
TEST_F(PropertiesDialogTest, OpenedFromMenuOrDoubleClickAndRefreshedForItsDeviceOnly) {
    Sim(10);
    Sim(11);
    StartWithDevice(10, "Left");
    Add("Right", Address(11), true);
    ASSERT_TRUE(WaitUntil([this] { return Monitor().FindDeviceByListIndex(1)->StatusKnown; }));
    QTreeWidget* list = form_->ListView;
    form_->setAttribute(Qt::WA_DontShowOnScreen);
    form_->show();
    ASSERT_TRUE(WaitUntil([&] { return list->isVisible(); }));
    Pump(50);  // let the list lay out its rows
    // The user's presses on a row: one click, or two that make a double-click.
    const auto click = [list](int row, bool twice) {
        const QPoint pos = list->visualItemRect(list->topLevelItem(row)).center();
        const QPointF local(pos);
        const QPointF global(list->viewport()->mapToGlobal(pos));
        std::vector<QEvent::Type> types = {QEvent::MouseButtonPress, QEvent::MouseButtonRelease};
        if (twice)
            types.insert(types.end(), {QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease});
        for (QEvent::Type type : types) {
            const bool down = type != QEvent::MouseButtonRelease;
            QMouseEvent e(type, local, global, Qt::LeftButton, down ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
            QCoreApplication::sendEvent(list->viewport(), &e);
        }
    };

    WithProperties(
        1,
        [&](TPropertiesDlg& dlg) {
            EXPECT_EQ(dlg.windowTitle(), "Properties :  Right");
            dlg.StandbyModeRadioBtn->click();
            ASSERT_TRUE(dlg.ApplyButton->isEnabled());
            DeviceContext off = Ctx("Left", Address(10), false);
            Monitor().UpdateDevice(0, &off, true);
            Pump(200);
            EXPECT_TRUE(dlg.StandbyModeRadioBtn->isChecked());
            EXPECT_TRUE(dlg.ApplyButton->isEnabled());
            EXPECT_EQ(Text(dlg, "NetworkStatusLabel"), "Connected");

            DeviceContext rightOff = Ctx("Right", Address(11), false);
            Monitor().UpdateDevice(1, &rightOff, true);
            // At once, from the rewrite of the row, before the thread's end is reported.
            EXPECT_EQ(Text(dlg, "NetworkStatusLabel"), "Disconnected");
            ASSERT_TRUE(WaitUntil([&] { return Text(dlg, "ModeLabel") == "Unknown"; }));
        },
        [&] {
            click(1, false);
            form_->ShowPropertiesMainMenu->trigger();
        });

    WithProperties(
        0, [&](TPropertiesDlg& dlg) { EXPECT_EQ(dlg.windowTitle(), "Properties :  Left"); },
        [&] { click(0, true); });
}

// While an Apply's requests are on their way, the device's answers to the first of them do not
// put the old channels back: the page shows the choice and "Sending..." until the answer to the
// last request, which here agrees with the choice.
TEST_F(PropertiesDialogTest, ApplyShowsTheChoiceAndSendingUntilTheFinalStatus) {
    Sim(13);
    StartWithDevice(13, "Wings");
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        dlg.PageControl->setCurrentWidget(dlg.ConfigurationTab);
        Control<QRadioButton>(dlg, "StandbyModeRadioBtn")->click();
        Control<QRadioButton>(dlg, "Chan2OffRadioBtn")->click();
        Control<QRadioButton>(dlg, "Chan6OffRadioBtn")->click();
        struct Seen {
            bool choiceShown, applyEnabled, radiosEnabled;
            std::string state, modeLine;
        };
        std::vector<Seen> seen;
        // After the dialog's own refresh, which was connected when it opened.
        QObject::connect(&Monitor(), &CMonitorCore::DeviceReportHandled, &dlg, [&] {
            seen.push_back(
                {dlg.StandbyModeRadioBtn->isChecked() && dlg.ChanOffRadioBtn[1]->isChecked() &&
                     dlg.ChanOffRadioBtn[5]->isChecked() && dlg.ChanOnRadioBtn[0]->isChecked(),
                 dlg.ApplyButton->isEnabled(), dlg.ChanOnRadioBtn[0]->isEnabled(),
                 Text(dlg, "ApplyStateLabel"), Text(dlg, "ModeLabel")});
        });
        dlg.ApplyButton->click();
        EXPECT_EQ(Text(dlg, "ApplyStateLabel"), "Sending...");
        ASSERT_TRUE(WaitUntil([&] { return Text(dlg, "ApplyStateLabel") != "Sending..."; }, 8000));
        // The answers to the mode and the channels came while it was sending, the answer to
        // the status query ended it (reports without a status may come in between).
        for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_TRUE(seen[i].choiceShown) << i;
        std::size_t sending = 0;
        while (sending < seen.size() && seen[sending].state == "Sending...") ++sending;
        EXPECT_GE(sending, 2u);
        ASSERT_LT(sending, seen.size());
        for (std::size_t i = 0; i < seen.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_FALSE(seen[i].applyEnabled);
            EXPECT_EQ(seen[i].state, i < sending ? "Sending..." : "");
            EXPECT_EQ(seen[i].radiosEnabled, i >= sending);
        }
        // The General tab shows the answers as they come.
        EXPECT_EQ(seen.back().modeLine, "Standby");
    });
}

// "Refresh now" asks for a status through the device's queue, behind an Apply's requests and a
// second after the last of them, and the status says when it arrived.
TEST_F(PropertiesDialogTest, RefreshNowQueriesThroughThePacedQueue) {
    Sim(14);
    RequestArrivals arrivals(Site());
    StartWithDevice(14, "Choir");
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        auto* refresh = Control<QPushButton>(dlg, "RefreshNowBtn");
        ASSERT_NE(refresh, nullptr);
        EXPECT_EQ(refresh->text(), "&Refresh now");
        ASSERT_TRUE(refresh->isEnabled());
        FixClock(2031, 7, 4, 9, 15, 30);
        const std::size_t before = arrivals.Count();
        dlg.StandbyModeRadioBtn->click();
        dlg.ApplyButton->click();
        refresh->click();
        ASSERT_TRUE(WaitUntil([&] { return arrivals.Count() >= before + 4; }, 8000));
        {
            const std::vector<RequestArrivals::Arrival> all = arrivals.Of();
            const std::vector<RequestArrivals::Arrival> requests(
                all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
            const char* expected[] = {"*p0\n", "*m=7F\n", "*s?\n", "*s?\n"};
            for (std::size_t i = 0; i < 4; ++i) {
                EXPECT_EQ(requests[i].text, expected[i]) << i;
                if (i > 0) {
                    EXPECT_GE(requests[i].at - requests[i - 1].at, std::chrono::milliseconds(800))
                        << i;
                }
            }
        }
        EXPECT_TRUE(WaitUntil([&] { return Text(dlg, "StatusTimeLabel") == "Status of 09:15:30"; }))
            << Text(dlg, "StatusTimeLabel");
    });
}

// Since when the counters count: a file from before that was kept says so honestly, and keeps
// saying so with the first start that kept it; a reset and a new registration count from their
// moment; the file keeps the moments outside the counters' section across starts.
TEST_F(PropertiesDialogTest, StatisticsSayWhenCountingBeganAcrossStarts) {
    WriteConfig("[AVLO]\r\nRegistered=1\r\nName 0=Annex\r\nIP 0=" + Address(9) +
                "\r\navlo 0=0\r\n[STATS]\r\nFanErr2device 0=4\r\n");
    const auto since = [this](int row) {
        std::string text;
        WithProperties(row, [&](TPropertiesDlg& dlg) { text = Text(dlg, "StatsSinceLabel"); });
        return text;
    };
    const std::string before =
        "Counting since before 2031-07-04 09:15\n(when counting began was not kept)";
    FixClock(2031, 7, 4, 9, 15, 30);
    StartForm({"stats"});
    EXPECT_EQ(since(0), before);
    StopForm();
    const std::string file = ReadConfig();
    const std::size_t stats = file.find("[STATS]\r\n");
    const std::size_t kept = file.find("[StatsSince]\r\nKept=2031-07-04T");
    ASSERT_NE(stats, std::string::npos) << file;
    ASSERT_NE(kept, std::string::npos) << file;
    EXPECT_LT(stats, kept);
    // The counters' section holds counters only, for readers that take every value there for one.
    std::istringstream lines(file.substr(stats + 9, kept - stats - 9));
    for (std::string line; std::getline(lines, line);) {
        const std::string value = line.substr(line.find('=') + 1);
        EXPECT_EQ(value, std::to_string(std::stoi(value)) + "\r") << line;
    }

    FixClock(2031, 8, 1, 10, 0, 0);
    StartForm({"stats"});
    EXPECT_EQ(since(0), before);
    WithProperties(0, [&](TPropertiesDlg& dlg) {
        dlg.ResetStatsLabelClick();
        EXPECT_EQ(Text(dlg, "StatsSinceLabel"), "Counting since 2031-08-01 10:00");
    });
    FixClock(2031, 8, 2, 11, 30, 0);
    Add("Porch", Address(10), false);
    StopForm();

    FixClock(2031, 9, 1, 8, 0, 0);
    StartForm({"stats"});
    EXPECT_EQ(since(0), "Counting since 2031-08-01 10:00");
    EXPECT_EQ(since(1), "Counting since 2031-08-02 11:30");
}

}  // namespace
