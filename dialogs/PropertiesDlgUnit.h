#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>

#include "dialogs/StatusDlgUnit.h"
#include "monitoring/DeviceRecord.h"
#include "platform/MessageTarget.h"

class CMonitorCore;
class QLabel;
class QLayout;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;

// Everything the monitor knows about one registered device, and the one place where the user
// changes a device's configuration. The dialog mirrors the device record: the main window
// calls RefreshDevice whenever something about the device changes, and the dialog never talks
// to the device itself; Apply goes to the main window as WM_APPLYCONFIG. The dialog stays one
// size while it is open, sized for the widest texts its tabs can show.
class TPropertiesDlg : public QDialog, public IMessageTarget {
public:
    using DeviceRecord = CMca::DeviceDescr_Type;

    // device and mainWindowHandle may be none; without a main window Apply does nothing.
    TPropertiesDlg(QWidget* owner, bool showStatistics, DeviceRecord* device,
                   IMessageTarget* mainWindowHandle);
    ~TPropertiesDlg() override;

    // Re-reads the device record into every tab. Never after the dialog has closed.
    void RefreshDevice();
    // Gives the dialog the monitor its device belongs to, and refreshes it.
    void SetMonitor(CMonitorCore* monitor);

    // Messages from the dialog's own windows on the main thread (the condition window's
    // close), handled at once, inside the call.
    void Post(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam) override;
    void Dispatch(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam);

    // ---- event handlers, under their form names ----
    void PageControlChanging();
    void PSupplyBtnClick();
    void ChanBtnClick(int channel /*1..7*/);
    void ActiveModeRadioBtnClick();
    void ApplyButton1Click();
    void RefreshNowBtnClick();
    void ResetStatsLabelClick();
    void ResetStatsLabelMouseEnter();
    void ResetStatsLabelMouseLeave();
    void TimerTimer();

    // Alternates the colours of faulty condition buttons; one phase for every properties
    // dialog of the process.
    static inline bool BlinkPhase = false;

    DeviceRecord* Device = nullptr;
    IMessageTarget* MainWindowHandle = nullptr;
    // The monitor, for "Refresh now", Reset Statistics and the progress of an Apply; none for
    // a dialog on a record of its own, which then takes the first status after Apply as the
    // device's answer.
    CMonitorCore* Monitor = nullptr;
    // An Apply whose requests are on their way: what was chosen.
    bool Applying = false;
    std::uint8_t AppliedActive = 0;
    std::uint8_t AppliedMask = 0;
    // Mutes the device's alerts until the moment given (0 unmutes); the main window sets it so
    // that the list shows the mute at once. Unset, the dialog asks the monitor itself.
    std::function<void(std::int64_t until)> MuteChosen;
    TStatusDlg* StatusDlg = nullptr;  // owned; none until a condition button is pressed
    TStatusDlg::Context StatusContext;
    int SelectedCondition = -1;       // -1 power supply, 0..6 channel 1..7
    std::uint8_t SelectedButton = 8;  // 0 "PS", 1..7 a channel, 8 none

    // ---- controls (named as on the form; index 0 is channel 1) ----
    QTabWidget* PageControl = nullptr;
    QWidget* GeneralTab = nullptr;
    QWidget* ConfigurationTab = nullptr;
    QWidget* StatisticsTab = nullptr;
    QWidget* SummaryTab = nullptr;
    QPushButton* CloseBtn = nullptr;
    // The device's mute, beside Close: what it is, a menu of how long, and its end.
    QLabel* MuteStateLabel = nullptr;
    QPushButton* MuteBtn = nullptr;
    QPushButton* UnmuteBtn = nullptr;
    QTimer* Timer = nullptr;
    // General
    QLabel* ModelLabel = nullptr;
    QLabel* SerialNrLabel = nullptr;
    QLabel* ModeLabel = nullptr;
    QLabel* ChanLabel[7] = {};  // Chan1Label..Chan7Label
    QLabel* NetworkStatusLabel = nullptr;
    QLabel* StatusTimeLabel = nullptr;  // when the shown status arrived
    QPushButton* RefreshNowBtn = nullptr;
    QPushButton* PSupplyBtn = nullptr;
    QPushButton* ChanBtn[7] = {};  // Chan1Btn..Chan7Btn
    // Configuration
    QLabel* ModeConfigLabel = nullptr;
    QRadioButton* ActiveModeRadioBtn = nullptr;
    QRadioButton* StandbyModeRadioBtn = nullptr;
    QLabel* ChLabel[7] = {};                // Ch1Label..Ch7Label
    QRadioButton* ChanOnRadioBtn[7] = {};   // Chan1OnRadioBtn..Chan7OnRadioBtn
    QRadioButton* ChanOffRadioBtn[7] = {};  // Chan1OffRadioBtn..Chan7OffRadioBtn
    QPushButton* ApplyButton = nullptr;
    QLabel* ApplyStateLabel = nullptr;  // "Sending...", or what the device did instead
    // Statistics and Summary grids, by column: "Fatal", "Current", "Fan", "Temp.".
    QLabel* ErrLabel[4][7] = {};     // Chan1FatalErrLabel, Chan1OvcErrLabel, ...
    QLabel* SupplyErrLabel[4] = {};  // Minus5VErrLabel, Plus12VErrLabel, Plus72VA.., Plus72VB..
    QLabel* TimeOnLabel = nullptr;
    QLabel* ResetStatsLabel = nullptr;
    QLabel* StatsSinceLabel = nullptr;
    QLabel* ModelSummaryLabel = nullptr;
    QLabel* SerialNrSummaryLabel = nullptr;
    QLabel* ModeStateLabel = nullptr;
    QLabel* StateLabel[4][7] = {};     // Chan1FatalStateLabel, Chan1OvclStateLabel, ...
    QLabel* SupplyStateLabel[4] = {};  // Minus5VStateLabel, Plus12VStateLabel, ...

    // The colours the dialog paints with.
    static QColor OkColor() { return QColor(0, 128, 0); }
    static QColor FaultColor() { return QColor(255, 0, 0); }

    void done(int result) override;  // FormClose

private:
    void BuildGeneralTab();
    void BuildConfigurationTab();
    void BuildStatisticsTab();
    void BuildSummaryTab();
    void WireControls();
    QLayout* BuildMuteRow();
    void Mute(std::int64_t until);
    void RefreshMute();

    void ReserveWidths();
    void FixSize();
    void RefreshConfiguration(const DeviceStatus& s);
    void ShowChosenConfiguration();
    void SetConfigurationEnabled(bool enabled);
    QString ConfigurationMismatch(const DeviceStatus& s) const;
    void RefreshStatusTime();
    void StopBlinking();
    void RefreshStatistics();
    void RefreshSummary();
    void ShowConditionDetails(int index);
    void GetStatusDlgPosition();
    void SelectConditionButton(int button);
    void CloseStatusDlg();
    QPushButton* ConditionButton(int button) const;  // 0 "PS", 1..7 a channel
    int ChannelCount() const;
    bool StatisticsShown() const;

    bool showStatistics_ = false;
};
