#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialogs/AdvancedEmailSettingsDlgUnit.h"
#include "dialogs/RegisterDlgUnit.h"
#include "monitoring/MonitorCore.h"
#include "platform/StartupOptions.h"

class CWebService;

class QAction;
class TDesktopNotifier;
class TStateIcons;
class TTrayLook;
class TAboutDlg;
class TAdvancedEmailDlg;
class TOptionsDlg;
class TSelectEventsDlg;
class QLabel;
class QLineEdit;
class QMenu;
class QPoint;
class QPushButton;
class QRadioButton;
class QSystemTrayIcon;
class QTabWidget;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TEventHistoryWindow;

// The main window: the view on the monitor core. It owns the core, shows the device table
// and the settings the core holds, and turns the user's commands into the core's operations.
// Its members are defined in several files, one per concern.
class TMainForm : public QMainWindow {
public:
    static constexpr int MaxDevices = CMonitorCore::MaxDevices;
    using Device = CMonitorCore::Device;

    explicit TMainForm(const StartupOptions& options, QWidget* parent = nullptr);
    ~TMainForm() override;

    CMonitorCore& Core() { return *core_; }
    const CMonitorCore& Core() const { return *core_; }

    // The normal end of the program: the notification-area menu's exit command, or a
    // termination signal.
    void EndProgram();

    // ---- device list, commands, notification area ----
    QString ListViewInfoTip(int row) const;
    void RegisterDeviceBtn1Click();
    void EditBtn1Click();
    void DeleteBtn1Click();
    void ShowPropertiesBtn1Click();
    void ShowWebPageBtn1Click();
    void ListViewChange(QTreeWidgetItem* item);
    void ListViewMouseDown(int row);
    // The device commands at the list itself: the right-click menu at pos (in the list's
    // viewport), Enter and Delete (true when the key is one of them, whether or not its
    // command was enabled), and the commands following a selection the keyboard moved.
    void ListViewContextPopup(const QPoint& pos);
    bool ListViewKeyDown(int key);
    void ListViewSelectionMoved();
    void OptionsMenuClick();
    void AboutMenuClick();
    void EventViewerMenuClick();
    void VisitVelkanHomePageMenu1Click();
    void SendVelkanEmailMenuClick();
    void OpenMenuClick();
    void ExitMenu1Click();
    void ExitMenuClick();
    void TrayIconDblClick();
    void SelectEventsBtn1Click();
    void AdvancedEmailBtn1Click();
    void ServerSecurityBtnClick();
    void WebhooksBtnClick();
    void TestModeSettingsMenuClick();
    void SearchNetworkBtn1Click();
    void SendTestEmailBtn1Click();

    // ---- muting a device's alerts ----
    // Mutes the device's alerts until `until` (seconds since 1970, UTC, or
    // CMonitorCore::MutedIndefinitely; 0 unmutes), and its row shows it at once.
    void MuteDeviceAlerts(std::uint16_t deviceId, std::int64_t until);
    // The hint's line about the device's mute ("(muted until 14:30)", "(muted)"); empty when
    // its alerts are not muted.
    QString MuteHint(const Device& device) const;

    // ---- e-mail page ----
    void SetEmailControlsEnabled(bool enabled);
    void EnableEmailRadioBtnEnter();
    void DisableEmailRadioBtnEnter();
    void ServerPortEditChange();
    // The core's settings check; interactively the focus goes to the faulty field before the
    // message is shown.
    bool CheckEmailSettings(bool interactive);
    void ShowEmailOutcome(int outcome);
    void ShowEmailOutcome(int outcome, const EmailFields& fields);

    // The about box, made once at start-up and shown at every "About...".
    void CreateAboutBox();

    int PropertiesDevice = -1;
    // The dialogs while one is open (null otherwise); the about box for the whole run.
    QPointer<TSelectEventsDlg> SelectEventsDlg;
    QPointer<TAdvancedEmailDlg> AdvancedEmailDlg;
    QPointer<TOptionsDlg> OptionsDlg;
    QPointer<TAboutDlg> AboutDlg;
    std::string LastServerPortText;
    // Whether the desktop shows notification-area icons (not every desktop has the area);
    // when unset, the system is asked. Tests set it: the offscreen platform has none.
    std::function<bool()> NotificationAreaAvailable;

    // ---- at a glance: state icons and colours of the rows, the notification-area icon's
    // worst state, desktop notifications of faults and recoveries ----
    std::unique_ptr<TStateIcons> StateIcons;
    std::unique_ptr<TTrayLook> TrayLook;
    std::unique_ptr<TDesktopNotifier> Notifier;

    // ---- controls (named as on the form) ----
    QToolBar* ToolBar1 = nullptr;
    QTabWidget* PageControl = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QTreeWidget* ListView = nullptr;
    QMenu* ListViewMenu = nullptr;
    QMenu* MuteAlertsMenu = nullptr;      // in the list's menu, for the current row's device
    QAction* UnmuteAlertsMenu = nullptr;  // shown while that device is muted
    QPushButton* SearchNetworkBtn = nullptr;
    QPushButton* RegisterDeviceBtn = nullptr;
    QPushButton* EditBtn = nullptr;
    QPushButton* DeleteBtn = nullptr;
    QPushButton* ShowPropertiesBtn = nullptr;
    QPushButton* ShowWebPageBtn = nullptr;
    QLabel* RegisteredNumLabel = nullptr;
    QLabel* HintPanel = nullptr;
    QMenu* DeviceMenu = nullptr;
    QAction* SearchNetworkMenu = nullptr;
    QAction* RegisterDeviceMenu = nullptr;
    QAction* EditDeviceMenu = nullptr;
    QAction* DeleteDeviceMenu = nullptr;
    QAction* ShowPropertiesMainMenu = nullptr;
    QAction* ShowWebPage1MainMenu = nullptr;
    QAction* ExitMenu = nullptr;
    QMenu* ToolsMenu = nullptr;
    QAction* EventViewerMenu = nullptr;
    QAction* OptionsMenu = nullptr;
    QAction* TestModeSettingsMenu = nullptr;
    QMenu* HelpMenu = nullptr;
    QAction* VisitVelkanHomePageMenu = nullptr;
    QAction* SendVelkananEmailMenu = nullptr;
    QAction* AboutMenu = nullptr;
    QSystemTrayIcon* TrayIcon = nullptr;
    QMenu* PopupMenu = nullptr;
    QMenu* InfoMenu = nullptr;
    QAction* VisitVelkanHomePageMenu1 = nullptr;
    QAction* SendVelkanEmailMenu = nullptr;
    QMenu* ToolsMenu1 = nullptr;
    QAction* EventViewerMenu1 = nullptr;
    QAction* Options1 = nullptr;
    QAction* OpenMenu = nullptr;
    QAction* ExitMenu1 = nullptr;
    // e-mail page
    QRadioButton* EnableEmailRadioBtn = nullptr;
    QRadioButton* DisableEmailRadioBtn = nullptr;
    QLineEdit* ServerIpAddrEdit = nullptr;
    QLineEdit* ServerPortEdit = nullptr;
    QLineEdit* UserNameEdit = nullptr;
    QLineEdit* UserEmailEdit = nullptr;
    QLineEdit* Email1Edit = nullptr;
    QLineEdit* Email2Edit = nullptr;
    QLineEdit* Email3Edit = nullptr;
    QLabel* ServerIpAddrLabel = nullptr;
    QLabel* ServerPortLabel = nullptr;
    QLabel* UserNameLabel = nullptr;
    QLabel* UserEmailLabel = nullptr;
    QLabel* Email1Label = nullptr;
    QLabel* Email2Label = nullptr;
    QLabel* Email3Label = nullptr;
    QPushButton* SelectEventsBtn = nullptr;
    QPushButton* AdvancedEmailBtn = nullptr;
    QPushButton* ServerSecurityBtn = nullptr;
    // Beside the e-mail settings, and usable whether e-mail alerts are on or not.
    QPushButton* WebhooksBtn = nullptr;
    QPushButton* SendTestEmailBtn = nullptr;
    // The event history window, made at the first use of the event viewer command and kept
    // (hidden when closed) for the rest of the run.
    TEventHistoryWindow* EventHistory = nullptr;

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    // construction pieces
    void BuildControls();
    void BuildMenus();
    void BuildDevicePage();
    void BuildEmailPage();
    void BuildStatusBar();
    void BuildTrayIcon();
    void WireControls();
    void WireCore();
    void FormDestroy();
    bool HasNotificationArea();

    // what the core says changed
    void AddDeviceRow(std::uint16_t deviceId);
    void ShowDeviceRow(std::uint16_t deviceId);
    void RemoveDeviceRow(int listIndex);
    void ShowRegisteredCount(int count);
    void FillEmailPage();
    void ShowEmailSettingsFault(const EmailSettingsFault& fault);
    QLineEdit* EmailFieldEdit(EmailField field) const;

    void SetDeviceCommandsEnabled(bool enabled);
    void BuildMuteMenu();
    // The mute entries of the list's menu for the current row's device.
    void ShowMuteChoices();
    Device* CurrentDevice();
    bool RunRegisterDlg(TRegisterDlg::Context* context, int row);

    std::unique_ptr<CMonitorCore> core_;
    std::unique_ptr<CWebService> web_;  // the web service, beside the core
    bool quitRequested_ = false;  // the application is ending: a close is no longer refused
    bool destroyed_ = false;
};
