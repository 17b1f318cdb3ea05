#pragma once

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/DeviceRecord.h"
#include "comms/Data.h"
#include "comms/UdpCommsThread.h"
#include "dialogs/AdvancedEmailSettingsDlgUnit.h"
#include "dialogs/RegisterDlgUnit.h"
#include "notify/EmailOutcome.h"
#include "notify/Eventlog.h"
#include "notify/SmtpClientThread.h"
#include "platform/Clock.h"
#include "platform/MessageTarget.h"
#include "platform/StartupOptions.h"
#include "protocol/Mca.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class CIniFile;

// The main window: owns the device table, the settings, the receive store, the worker
// threads and the event-log writer, and does all the main thread's work on them. Its
// members are defined in several files, one per concern.
class TMainForm : public QMainWindow, public IMessageTarget {
public:
    static constexpr int MaxDevices = 50;

    struct NotifiableEvents_Type {
        bool ChanErr = true;
        bool PSupplyErr = false;
        bool FanErr = false;
        bool TempErr = false;
        bool OvcErr = false;
    };
    struct Options_Type {
        std::int32_t Poll = 300000;
        bool Log = true;
        bool Avlo = true;
        bool Startup = true;
    };
    struct TestModeSettings_Type {
        bool On = false;
        std::int32_t Active = 2;
        std::int32_t Standby = 2;
    };
    using Device = CMca::DeviceDescr_Type;

    explicit TMainForm(const StartupOptions& options, QWidget* parent = nullptr);
    ~TMainForm() override;

    // Window messages from any thread (worker threads post; the main thread's own are
    // handled at once, inside the call).
    void Post(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam) override;
    void Dispatch(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam);

    // The normal end of the program: the notification-area menu's exit command, or a
    // termination signal.
    void EndProgram();

    // ---- device table ----
    int AddDevice(const TRegisterDlg::Context* context, const std::int32_t* stats = nullptr);
    bool UpdateDevice(int listIndex, const TRegisterDlg::Context* context, bool refresh);
    void DeleteDevice(int listIndex);
    Device* FindDeviceByListIndex(int listIndex) const;
    Device* FindDeviceById(std::uint16_t deviceId) const;
    Device* FindDeviceBySerial(const std::string& serial) const;
    Device* FindDeviceByName(const std::string& name) const;
    Device* FindDeviceByAddress(const std::string& address) const;
    int DevicePosition(int listIndex) const;
    bool IsNameFree(const std::string& name) const;
    bool IsAddressFree(const std::string& address) const;
    bool IsSerialFree(const std::string& serial) const;
    void ClearNotified();
    static std::uint16_t NextDeviceId();
    int DeviceCount() const { return static_cast<int>(devices_.size()); }

    // ---- configuration file ----
    void LoadConfiguration();
    void SaveConfiguration();
    const std::string& ConfigPath() const { return options_.configPath; }

    // ---- device list, commands, notification area ----
    void RefreshDeviceRows();
    QString ListViewInfoTip(int row) const;
    void RegisterDeviceBtn1Click();
    void EditBtn1Click();
    void DeleteBtn1Click();
    void ShowPropertiesBtn1Click();
    void ShowWebPageBtn1Click();
    void ListViewChange(QTreeWidgetItem* item);
    void ListViewMouseDown(int row);
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
    void TestModeSettingsMenuClick();
    void SendTestEmailBtn1Click();

    // ---- connections and dispatch ----
    void SendRequest(std::uint16_t deviceId, int kind, std::uint8_t mask = 0);
    void StartConnection(int listIndex, bool refresh);
    void StopConnection(int listIndex, bool refresh);
    void PollAll();
    void BroadcastDiscovery();
    void PollTimerTimer();

    // ---- status interpretation ----
    void HandleStatusMessage(std::uint16_t deviceId);
    void ApplyStatus(std::uint16_t deviceId, const DeviceStatus& status, const std::string& serial,
                     std::uint8_t modelCode);
    void DetectEvents(Device& device, const DeviceStatus& status);
    void ConditionText(std::uint16_t deviceId);
    std::string NewDeviceName(std::uint8_t modelCode) const;

    // ---- discovery and network search ----
    void ProcessDiscoveryReplies();
    void SearchNetworkBtn1Click();
    void NetworkSearchTimerTimer();

    // ---- alerts ----
    std::string AlertSubject(const Device& device, const DeviceStatus& status) const;
    void LogDeviceAlert(const Device& device, const DeviceStatus& status);
    // Starts the alert e-mail for the fault items `faults` (one bit per counter index, as in
    // Stats); AlertResult marks them once the server has accepted it.
    void SendDeviceAlert(Device& device, const DeviceStatus& status, std::uint32_t faults);
    void AlertResult(std::uint16_t deviceId, std::uint32_t faults, bool delivered);
    std::string AlertBody(const Device& device, const DeviceStatus& status) const;
    std::string ChannelSection(const Device& device, const DeviceStatus& status) const;
    static std::string ChannelLine(int channel, const DeviceStatus& status);
    static std::string SupplySection(const DeviceStatus& status);
    static std::string OnTimeSection(const DeviceStatus& status);
    std::string CustomerSection() const;
    std::string InstallerSection() const;

    // ---- e-mail dispatch ----
    // One delivery on its way: its own client, and what its result must do besides the log.
    struct EmailJob {
        std::uint32_t JobId = 0;
        std::unique_ptr<CSmtpClient> Client;
        std::string Summary;
        EmailFields Fields;          // the settings it went out with, for the outcome's texts
        bool Test = false;           // the test e-mail: its outcome is shown in a dialog
        std::uint16_t DeviceId = 0;  // an alert: the device it reports (ids are never reused)
        std::uint32_t Faults = 0;    // an alert: the fault items it reports, as for SendDeviceAlert
    };
    // Starts one delivery as a job of its own and returns at once; the outcome arrives as
    // WM_SMTPRESULT. False when nothing went out: settings not usable (logged here) or a
    // client that could not start (reported here).
    bool SendEmail(const std::string& subject, const std::string& body, bool test,
                   std::uint16_t deviceId = 0, std::uint32_t faults = 0);
    void LogEmailOutcome(const std::string& summary, int outcome);
    void LogEmailOutcome(const std::string& summary, int outcome, const EmailFields& fields);
    void ShowEmailOutcome(int outcome);
    void ShowEmailOutcome(int outcome, const EmailFields& fields);
    static std::uint32_t NextEmailJobId();
    EmailJob* FindEmailJob(std::uint32_t jobId);
    void RemoveEmailJob(std::uint32_t jobId, bool keepClient);
    void ClearEmailJobs();
    std::string EmailSummary(const std::string& subject, const std::string& body) const;
    EmailFields CurrentEmailFields() const;
    // The fault items of the device that alerts still on their way report.
    std::uint32_t AlertsInFlight(std::uint16_t deviceId) const;
    bool TestEmailInFlight() const;
    std::vector<std::unique_ptr<EmailJob>>& EmailJobs() { return emailJobs_; }

    // ---- e-mail settings page ----
    void SetEmailControlsEnabled(bool enabled);
    void EnableEmailRadioBtnEnter();
    void DisableEmailRadioBtnEnter();
    void ServerPortEditChange();
    bool CheckEmailSettings(bool interactive);

    // ---- state that tests and the other concerns read ----
    const std::vector<std::unique_ptr<Device>>& Devices() const { return devices_; }
    NotifiableEvents_Type NotifiableEvents;
    TAdvancedEmailDlg::Context AdvancedEmail;
    Options_Type Options;
    TestModeSettings_Type TestModeSettings;
    Switches SwitchFlags;  // stats, alerts, nolimit (lifts the limit), test
    bool LimitOn() const { return !SwitchFlags.nolimit; }
    bool Closing() const { return closing_; }
    bool HasDiscoveryThread() const { return udpThread_ != nullptr; }
    int PropertiesDevice = -1;
    LocalDateTime ReferenceDate{};
    std::string LastServerPortText;
    std::int32_t FoundCount = 0;
    std::int32_t UnregisteredCount = 0;
    // Length of the pause at the end of shutdown; tests shorten it.
    int ShutdownPauseMs = 1000;
    // Tests of the alert decision observe it here instead of a delivery: when set, it stands
    // in for the alert e-mail, and its result, taken at once, for the server's acceptance.
    std::function<bool(Device&, const DeviceStatus&)> AlertRecorder;
    // Whether the desktop shows notification-area icons (not every desktop has the area);
    // when unset, the system is asked. Tests set it: the offscreen platform has none.
    std::function<bool()> NotificationAreaAvailable;

    // ---- controls (named as on the form) ----
    QToolBar* ToolBar1 = nullptr;
    QTabWidget* PageControl = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QTreeWidget* ListView = nullptr;
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
    QTimer* PollTimer = nullptr;
    QTimer* NetworkSearchTimer = nullptr;
    QTimer* TestModeTimer = nullptr;
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
    QPushButton* SendTestEmailBtn = nullptr;

    // ---- ends outside the shutdown sequence, and errors of the program itself ----
    // The whole save for a process that is ending without the shutdown sequence (the display
    // went away): a failure is only written to standard error and the log.
    void SaveBeforeExit();
    // Says what went wrong (a box, or standard error when no box may be shown or when
    // headless) and logs it as an error event.
    void ReportProgramError(const std::string& text, bool mayShowBox);

protected:
    bool event(QEvent* e) override;
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
    void FormDestroy();
    bool HasNotificationArea();
    int AddDeviceRecord(const TRegisterDlg::Context& context, const std::int32_t* stats);
    std::string UniqueName(const std::string& base,
                           const std::vector<std::string>& reserved = {}) const;
    void ReleaseAddress(Device& device);

    // helpers of the concerns
    void SetDeviceCommandsEnabled(bool enabled);
    void ShowRegisteredCount();
    void LogDeviceEvent(std::uint32_t id, std::uint16_t type, const Device& device);
    void OnTcpThreadMessage(std::uint16_t code, std::uint16_t deviceId);
    void OnUdpThreadMessage(std::uint16_t code);
    void OnApplyConfig(std::uint32_t wParam);
    void OnSmtpResult(std::uint32_t wParam, std::uint32_t lParam);
    std::unique_ptr<EmailJob> TakeEmailJob(std::uint32_t jobId);
    void ReportEmailOutcome(const EmailJob& job, std::uint32_t wParam);
    void DailySave();
    void RefreshPropertiesDialog(std::uint16_t deviceId);
    void ReadEmailSettings(const CIniFile& ini);
    void WriteEmailSettings(CIniFile& ini) const;
    void ApplyRunAtLogon();
    void PrintRowChange(int row, const QStringList& texts);

    StartupOptions options_;
    std::string devicePortText_;
    std::vector<std::unique_ptr<Device>> devices_;
    bool tableExists_ = false;
    std::unique_ptr<CData> store_;
    std::unique_ptr<CMca> codec_;
    std::unique_ptr<CEventLog> eventLog_;
    std::unique_ptr<TUdpCommsThread> udpThread_;
    // Made at start-up and stopped at shutdown; every delivery has a client of its own.
    std::unique_ptr<CSmtpClient> smtpClient_;
    std::vector<std::unique_ptr<EmailJob>> emailJobs_;
    bool closing_ = false;
    bool quitRequested_ = false;  // the application is ending: a close is no longer refused
    bool destroyed_ = false;
    std::vector<QStringList> shownRows_;  // what headless mode last printed per row

    // the configuration file between the saves of the shutdown and the day
    bool WriteConfiguration(bool mayShowBox);
    void SaveIfChanged();
    std::string ConfigurationText() const;
    void FillConfiguration(CIniFile& ini) const;
    QTimer* changeSaveTimer_ = nullptr;
    std::string savedText_;    // what the file holds since the last save (or the load)
    std::string pendingText_;  // a change not yet written, as last seen
    int pendingChecks_ = 0;
    bool fileProtected_ = false;  // it could not be read: never written over in this run
    bool saveFailureReported_ = false;
};
