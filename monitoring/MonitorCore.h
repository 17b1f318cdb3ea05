#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "comms/Data.h"
#include "comms/UdpCommsThread.h"
#include "history/EventHistory.h"
#include "monitoring/AlertNotice.h"
#include "monitoring/ConfigRecords.h"
#include "monitoring/DeviceRecord.h"
#include "monitoring/Settings.h"
#include "monitoring/SiteCounters.h"
#include "notify/EmailOutcome.h"
#include "notify/Eventlog.h"
#include "notify/PasswordStore.h"
#include "notify/SmtpClientThread.h"
#include "notify/WebhookClient.h"
#include "platform/Clock.h"
#include "platform/MessageTarget.h"
#include "platform/StartupOptions.h"
#include "protocol/Mca.h"

class CIniFile;
class QTimer;

// The monitor: the settings, the device table, the receive store, the worker threads, the
// timers, the event-log writer and the e-mail dispatch, and all the main thread's work on
// them. It has no window: a view (the main window, or the headless reporter) shows what its
// signals say changed and calls its operations. Its members are defined in several files, one
// per concern.
class CMonitorCore : public QObject, public IMessageTarget {
    Q_OBJECT

public:
    static constexpr int MaxDevices = 50;
    using Device = CMca::DeviceDescr_Type;

    explicit CMonitorCore(const StartupOptions& options, QObject* parent = nullptr);
    ~CMonitorCore() override;

    // Loads the configuration, registers the stored devices and starts the threads. A view
    // connects its signals first, so that it sees the settings and every device arrive.
    void Start();
    // The shutdown sequence: the last save, every thread stopped, the log's last entry and
    // the closing pause. Runs once; the destructor runs it when nobody did.
    void Shutdown();

    // Window messages from any thread (worker threads post; the main thread's own are
    // handled at once, inside the call).
    void Post(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam) override;
    void Dispatch(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam);

    // The normal end of the program: the notification-area menu's exit command, or a
    // termination signal. Asks for the end with EndRequested.
    void EndProgram();

    // ---- device table ----
    int AddDevice(const DeviceContext* context, const std::int32_t* stats = nullptr);
    bool UpdateDevice(int listIndex, const DeviceContext* context, bool refresh);
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
    // Whether a name or an address may be given to the device in row listIndex (-1: a device
    // still to be registered) without another device holding it already. Addresses compare
    // in their plain decimal spelling: "192.168.1.2" and "192.168.001.002" are one device.
    bool IsNameFreeFor(const std::string& name, int listIndex) const;
    bool IsAddressFreeFor(const std::string& address, int listIndex) const;
    // The plain decimal spelling of a dotted address of four numbers ("192.168.001.010" is
    // "192.168.1.10"): the resolver would read a leading zero as octal, or refuse "08". Any
    // other text comes back unchanged.
    static std::string DecimalAddress(const std::string& address);
    void ClearNotified();
    static std::uint16_t NextDeviceId();
    int DeviceCount() const { return static_cast<int>(devices_.size()); }
    // Brings every row's condition up to date and tells the view to redraw each row.
    void RefreshDeviceRows();
    // What a device's row shows, the same in the window and in the headless printout: name,
    // address, connection state and condition (the check box is AvloEnabled).
    static QStringList RowTexts(const Device& device);

    // Writes or removes the desktop's autostart entry after the Startup option, for the
    // program as it was started; a failure is ignored. The headless monitor leaves the entry
    // alone and says so on standard error when the option is on.
    void ApplyRunAtLogon();

    // ---- configuration file ----
    void LoadConfiguration();
    void SaveConfiguration();
    // The whole save for a process that is ending without the shutdown sequence (the display
    // went away): a failure is only written to standard error and the log.
    void SaveBeforeExit();
    const std::string& ConfigPath() const { return options_.configPath; }

    // ---- event history ----
    // The history file of this site (beside the settings file); empty when there is none.
    std::string HistoryPath() const;
    // The writer of the history while the monitor runs; null before Start and after Shutdown.
    CEventHistory* History() const { return history_.get(); }
    // A device as the history keeps it with its events.
    static EventDevice HistoryDevice(const Device& device);

    // ---- connections and dispatch ----
    // Hands one request to the device's connection at once, behind what it still has to
    // send. A request its connection cannot take is refused and logged; one for a device
    // without a connection is dropped.
    void SendRequest(std::uint16_t deviceId, int kind, std::uint8_t mask = 0);
    // A connection thread for the device at its address, its retries bounded by the poll
    // interval in force.
    std::unique_ptr<TTcpCommsThread> MakeConnection(const Device& device);
    void StartConnection(int listIndex, bool refresh);
    void StopConnection(int listIndex, bool refresh);
    void PollAll();
    // Puts the poll interval of the options to work, counting from now when it changed; the
    // timer never runs faster than once a second, whatever the options say.
    void ApplyPollInterval();
    // The poll interval in force: the setting, but never below the shortest.
    int PollIntervalMs() const;
    void BroadcastDiscovery();
    void PollTimerTimer();
    void DailySave();

    // ---- paced requests ----
    // A request that waits in the core for its turn.
    struct PacedRequest {
        std::uint16_t DeviceId = 0;
        int Kind = 0;  // a CMca::RequestKind
        std::uint8_t Mask = 0;
    };
    // Sequences of requests (a configuration, a test-mode cycle) reach a device one at a
    // time, this far apart, so that it has dealt with one before the next arrives.
    static constexpr int RequestSpacingMs = 1000;
    // Requests one device may have waiting in the core.
    static constexpr int MaxPacedRequests = 8;
    // Queues the requests for their device behind those it still has waiting; the first goes
    // out at once when the device's connection has been quiet for the spacing. False, with
    // nothing queued and the refusal logged, when they do not all fit.
    bool QueueRequests(std::uint16_t deviceId, const std::vector<PacedRequest>& requests);
    // Requests of the device still waiting in the core (not yet handed to its connection).
    int PacedRequestsWaiting(std::uint16_t deviceId) const;
    void PaceRequests();

    // ---- what the properties dialog asks for ----
    // A status query through the device's paced queue, behind what it still has waiting;
    // false when it is refused (logged) or the device is gone.
    bool RefreshNow(std::uint16_t deviceId);
    // The device's requests of a configuration (or a refresh) are still waiting, or the
    // status that answers the last of them has not arrived yet.
    bool ConfigurationPending(std::uint16_t deviceId) const;
    // Sets the device's 32 failure counters to zero; they count from now.
    void ResetStatistics(std::uint16_t deviceId);
    static void ClearStatistics(Device& device);
    // The wall clock in seconds since 1970 (UTC), read through the clock tests can set.
    static std::int64_t WallSeconds();

    // ---- test mode ----
    void TestModeTimerTimer();
    // The settings dialog's OK: the next cycle in 100 ms when test mode is on; when off, none,
    // and what a running cycle has not yet handed over is dropped.
    void TestModeSettingsChanged();
    // A cycle is handing its requests over.
    bool TestCycleRunning() const;
    // Which way the next cycle switches the devices: false to Active, true to Standby.
    bool TestPhase = false;
    // The length of a minute of the test-mode durations; tests shorten it. A cycle that finds
    // no device registered looks again after one such minute.
    int TestModeMinuteMs = 60000;

    // ---- status interpretation ----
    void HandleStatusMessage(std::uint16_t deviceId);
    void ApplyStatus(std::uint16_t deviceId, const DeviceStatus& status, const std::string& serial,
                     std::uint8_t modelCode);
    void DetectEvents(Device& device, const DeviceStatus& status);
    void ConditionText(std::uint16_t deviceId);
    std::string NewDeviceName(std::uint8_t modelCode) const;

    // ---- discovery and network search ----
    // More new serial numbers than this answering one request is not a site being set up
    // but somebody sending forged replies: none of them is registered.
    static constexpr int MaxNewDevicesPerRound = 10;
    void ProcessDiscoveryReplies();
    // Replies are taken from the moment a discovery request goes out until its round ends
    // (the discovery thread's reply window); new devices are registered at the round's end.
    void OpenDiscoveryRound();
    void CloseDiscoveryRound();
    bool DiscoveryRoundOpen() const { return discoveryRoundOpen_; }
    // Status queries under way at addresses that registered devices claim to have moved to.
    int AddressChecksRunning() const { return static_cast<int>(addressChecks_.size()); }
    // Starts a network search; false while one is under way. Its result comes as SearchResult.
    bool SearchNetwork();
    void NetworkSearchTimerTimer();

    // ---- alerts ----
    // Mutes the device's alerts until the moment `until` (seconds since 1970, UTC), or
    // MutedIndefinitely; 0 unmutes. Muted devices are still counted, logged and shown, but no
    // e-mail, webhook or desktop notification goes out for them.
    static constexpr std::int64_t MutedIndefinitely = INT64_MAX;
    void MuteDevice(std::uint16_t deviceId, std::int64_t until);
    bool AlertsMuted(const Device& device) const;
    // The one way out for an alert or notice of a device: e-mail when it is enabled (faults:
    // the fault items the alert reports, marked once the server has accepted it, or at once
    // without e-mail), the webhooks and AlertRaised. False, with nothing sent, while the
    // device is muted. status: the status a fault alert reports (the device's own when
    // null), which AlertRecorder sees.
    bool RaiseAlert(Device& device, const AlertNotice& notice, std::uint32_t faults = 0,
                    const DeviceStatus* status = nullptr);
    // The messages themselves: a fault alert for a status, the alert of a device that has
    // not been heard from, and the notice that the alerted problems cleared.
    AlertNotice FaultAlert(const Device& device, const DeviceStatus& status) const;
    AlertNotice UnreachableAlert(const Device& device) const;
    AlertNotice RecoveryNotice(const Device& device) const;
    // The bracket that starts each subject: "AVLO Alert [RV12, # 31000100]: ".
    std::string SubjectStart(const char* kind, const Device& device) const;
    // The condition words of a status ("Fan Failure, Power Supply Failure"; "OK").
    std::string StatusWords(const DeviceStatus& status) const;
    // Looks for monitored devices silent for the hold time and mutes that ran out; runs
    // every ReachabilityCheckMs from Start on, and tests may call it after setting the clock.
    void CheckReachability();
    // How often CheckReachability runs; tests shorten it before Start.
    int ReachabilityCheckMs = 5000;
    // The fault items of a status (one bit per counter index, as in Stats), and the items
    // marked in a Notified block.
    static std::uint32_t FaultItems(const DeviceStatus& status);
    static std::uint32_t MarkedItems(const DeviceStatus& notified);
    static void MarkItems(DeviceStatus& notified, std::uint32_t items);
    // The day the alert marks belong to, as the settings file keeps it ("2024-05-01").
    std::string MarksDay() const;
    // Hands an alert, notice or test to every webhook target that is on; returns at once,
    // delivery and its outcome events happen off the main thread.
    void SendWebhooks(const AlertNotice& notice);
    // Sends a test notice to one target as given (a dialog's row, saved or not), with the CA
    // file given. Returns the job id that WebhookTestFinished reports; 0 when the target is
    // not usable (*fault then says why, and nothing went out).
    std::uint32_t SendWebhookTest(const WebhookTarget_Type& target, const std::string& caFile,
                                  std::string* fault = nullptr);
    // Why a target counts as off although ticked (its format or URL); nullopt when usable.
    static std::optional<std::string> WebhookTargetFault(const WebhookTarget_Type& target);
    // Deliveries run side by side up to this many; more wait their turn, up to the second
    // figure, beyond which a delivery fails at once.
    static constexpr std::size_t MaxWebhooksInFlight = 8;
    static constexpr std::size_t MaxWebhooksWaiting = 64;
    std::size_t WebhooksInFlight() const { return webhookJobs_.size(); }
    std::size_t WebhooksWaiting() const { return webhooksWaiting_.size(); }
    // The try limit and the waits before the retries of every delivery; tests shorten them.
    WebhookTiming WebhookTimes;
    // One delivery: to target 1..3 of the settings (0: a test of a dialog's row).
    struct WebhookJob {
        std::uint32_t JobId = 0;
        int Target = 0;
        bool Test = false;
        std::string Subject;
        CWebhookClient::Request Request;
        std::unique_ptr<CWebhookClient> Client;
    };
    std::string AlertSubject(const Device& device, const DeviceStatus& status) const;
    void LogDeviceAlert(const Device& device, const DeviceStatus& status);
    // An alert e-mail of the fault items `faults` (one bit per counter index, as in Stats)
    // had its outcome: delivered, they are marked.
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
        EmailFields Fields;             // the settings it went out with, for the outcome's texts
        bool Test = false;              // the test e-mail: its outcome is shown in a dialog
        std::uint16_t DeviceId = 0;     // an alert: the device it reports (ids are never reused)
        std::uint32_t Faults = 0;       // an alert: the fault items it reports, as for AlertResult
        bool AwaitingPassword = false;  // sent once the password store has read the password
    };
    // Starts one delivery as a job of its own and returns at once; the outcome arrives as
    // WM_SMTPRESULT. False when nothing went out: settings not usable (logged here; for the
    // test e-mail also shown through EmailSettingsFaultFound) or a client that could not start
    // (reported here).
    bool SendEmail(const std::string& subject, const std::string& body, bool test,
                   std::uint16_t deviceId = 0, std::uint32_t faults = 0);
    void LogEmailOutcome(const std::string& summary, int outcome);
    // device: the device an alert e-mail reports, for the history; null for the test e-mail.
    void LogEmailOutcome(const std::string& summary, int outcome, const EmailFields& fields,
                         const Device* device = nullptr);
    static std::uint32_t NextEmailJobId();
    EmailJob* FindEmailJob(std::uint32_t jobId);
    void RemoveEmailJob(std::uint32_t jobId, bool keepClient);
    void ClearEmailJobs();
    std::string EmailSummary(const std::string& subject, const std::string& body) const;
    EmailFields CurrentEmailFields() const { return EmailSettings; }
    // The fault items of the device that alerts still on their way report.
    std::uint32_t AlertsInFlight(std::uint16_t deviceId) const;
    bool TestEmailInFlight() const;
    std::vector<std::unique_ptr<EmailJob>>& EmailJobs() { return emailJobs_; }

    // The sign-in password's store. Replaced before Start by tests (a keyring of their own)
    // and at any time by nobody else.
    CPasswordStore& PasswordStore() { return *passwordStore_; }
    void SetKeyring(std::unique_ptr<IKeyring> keyring);

    // ---- e-mail settings ----
    // The settings check, in the page's fixed order: the first fault, or none.
    std::optional<EmailSettingsFault> CheckEmailSettings() const;
    // Whether a port text is one the page's field takes (empty, or a number as the SMTP
    // client reads it); anything else is refused as it is typed.
    static bool PortTextAccepted(const std::string& text);

    // ---- state that the view, the tests and the other concerns read ----
    // Alert e-mails, events and poll durations since the start; SiteCountersChanged tells
    // when they moved.
    const SiteCounters& Counters() const { return counters_; }
    const std::vector<std::unique_ptr<Device>>& Devices() const { return devices_; }
    NotifiableEvents_Type NotifiableEvents;
    AdvancedEmail_Type AdvancedEmail;
    Options_Type Options;
    TestModeSettings_Type TestModeSettings;
    WebSettings_Type WebSettings;
    WebhookSettings_Type WebhookSettings;
    EmailSettings_Type EmailSettings;  // the e-mail page; the window writes it as the user types
    Switches SwitchFlags;              // stats, alerts, nolimit (lifts the limit), test
    bool LimitOn() const { return !SwitchFlags.nolimit; }
    bool Closing() const { return closing_; }
    bool HasDiscoveryThread() const { return udpThread_ != nullptr; }
    LocalDateTime ReferenceDate{};
    std::int32_t FoundCount = 0;
    std::int32_t UnregisteredCount = 0;
    // Length of the pause at the end of shutdown; tests shorten it.
    int ShutdownPauseMs = 1000;
    // How often the records are checked for a change to save, from Start on; tests shorten it.
    int ChangeCheckMs = 1000;
    // Tests of the alert decision observe it here instead of a delivery: when set, it stands
    // in for the alert e-mail, and its result, taken at once, for the server's acceptance.
    std::function<bool(Device&, const DeviceStatus&)> AlertRecorder;
    // The window that the core's own boxes (errors of the program) belong to, when one is
    // shown; none by default.
    std::function<QObject*()> MessageParent;

    QTimer* PollTimer = nullptr;
    QTimer* NetworkSearchTimer = nullptr;
    QTimer* TestModeTimer = nullptr;
    QTimer* PaceTimer = nullptr;

    // Says what went wrong (a box, or standard error when no box may be shown or when
    // headless) and logs it as an error event.
    void ReportProgramError(const std::string& text, bool mayShowBox);
    // Logs an event of the web service (a sign-in, a failure to listen) as the core logs its
    // own, with no box and no line of its own: a headless monitor's sink echoes every event to
    // standard error already. The core's thread only.
    void LogServiceEvent(std::uint32_t id, std::uint16_t type, const std::string& text);

signals:
    // The settings are loaded: a view fills its pages from the records.
    void SettingsLoaded();
    // A row was added at the end of the list for the device (its texts follow as
    // DeviceRowChanged), a device's row may show other texts, a row was taken out (the rows
    // below it move up), the number of registered devices.
    void DeviceAdded(std::uint16_t deviceId);
    void DeviceRowChanged(std::uint16_t deviceId);
    void DeviceRemoved(int listIndex);
    void DeviceCountChanged(int count);
    // A thread's report about the device was handled: an open properties dialog refreshes.
    void DeviceReportHandled(std::uint16_t deviceId);
    // An event went to the history (stamped, not yet written; its rowId is 0).
    void EventRecorded(const EventRecord& record);
    // The network search's result, to show in a box.
    void SearchResult(const QString& text);
    // The test e-mail: under way (its command is unavailable) or done, its outcome to show,
    // and the first fault of the settings that kept it from going out.
    void TestEmailBusyChanged(bool busy);
    void EmailOutcomeToShow(int outcome, const EmailFields& fields);
    void EmailSettingsFaultFound(const EmailSettingsFault& fault);
    // A webhook test started by SendWebhookTest ended: sent, or failed for the reason.
    void WebhookTestFinished(std::uint32_t jobId, bool sent, const QString& reason);
    // A step that keeps the main thread busy for a while starts or ends (the wait cursor).
    void Busy(bool busy);
    // The program should end: the event loop is to stop, then the view and the core go.
    void EndRequested();
    // Counters() moved (an event was written, an alert's outcome came, a poll ended).
    void SiteCountersChanged();
    // The records differ from what was last saved or loaded (a dialog's OK, a page's field): at
    // each change check that sees it, before the change is saved.
    void RecordsChanged();
    // An alert or notice of a device went out (every route, e-mail or not): the desktop
    // shows it. Never while the device is muted.
    void AlertRaised(std::uint16_t deviceId, const AlertNotice& notice);

private:
    int AddDeviceRecord(const DeviceContext& context, const std::int32_t* stats);
    std::string UniqueName(const std::string& base,
                           const std::vector<std::string>& reserved = {}) const;
    void ReleaseAddress(Device& device);
    // One discovery reply of the open round.
    void TakeDiscoveryReply(const CMca::BcastData_Type& found);
    void NoteNewcomer(const CMca::BcastData_Type& found);
    void RegisterNewcomers();
    void RegisterNewcomer(const CMca::BcastData_Type& found);
    // A device is believed to have moved only when a status at its new address carries its
    // serial number: a connection of its own asks there.
    void StartAddressCheck(const Device& device, const std::string& address);
    bool HandleAddressCheck(std::uint16_t code, std::uint16_t checkId);
    void CheckedAddressAnswered(std::uint16_t checkId);
    void EndAddressCheck(std::uint16_t checkId);
    void MoveDevice(Device& device, const std::string& address, std::uint8_t modelCode);
    void LogDeviceEvent(std::uint32_t id, std::uint16_t type, const Device& device);
    void LogConnectionLost(Device& device);
    void OnTcpThreadMessage(std::uint16_t code, std::uint16_t deviceId, std::uint32_t lParam);
    void OnLinkConnected(Device& device, bool inSeries);
    void OnUdpThreadMessage(std::uint16_t code);
    void OnApplyConfig(std::uint32_t wParam);
    std::string RequestText(int kind, std::uint8_t mask) const;
    // Which queue refused: each reports the first refusal of a series, until it accepts again.
    enum RefusingQueue : std::uint8_t { ConnectionQueue = 1, PacedQueue = 2 };
    void LogRefusedRequests(std::uint16_t deviceId, const std::string& requests,
                            RefusingQueue queue);
    void RequestsAccepted(std::uint16_t deviceId, RefusingQueue queue);
    // How long the device's connection needs before it may take the next paced request: it
    // still has one to send, or sent one less than the spacing ago. 0: free (or no connection).
    int ConnectionBusyMs(std::uint16_t deviceId, std::chrono::steady_clock::time_point now) const;
    void ArmPaceTimer();
    void EndTestCycle();
    void CancelTestCycle();
    void OnHistoryReport(std::uint32_t report);
    // Called by name from the event loop: the queued call is then made entirely inside Qt, whose
    // posted-event lock orders it after the worker's post (a call through a member-function
    // pointer would allocate its slot object in the worker, where the thread sanitizer cannot
    // see that lock).
    Q_INVOKABLE void DispatchPosted();
    void OnSmtpResult(std::uint32_t wParam, std::uint32_t lParam);
    std::unique_ptr<EmailJob> TakeEmailJob(std::uint32_t jobId);
    void ReportEmailOutcome(const EmailJob& job, std::uint32_t wParam);
    // A status of the device arrived: when, and whether it answers its last paced request.
    void NoteStatusArrived(std::uint16_t deviceId);
    // Since when the counters of the device stored as number n count (section "StatsSince").
    void ReadStatsSince(const CIniFile& ini, int n, Device& device);
    void WriteStatsSince(CIniFile& ini) const;
    void ReadEmailSettings(const CIniFile& ini);
    // Gives the client the page's security settings and, with sign-in, the password; false
    // when the client refuses them.
    bool ConfigureSecurity(CSmtpClient& client) const;
    void SendAwaitingEmail();
    void LogPasswordPlace();
    void WriteEmailSettings(CIniFile& ini) const;
    // The fault items of the status that have been seen in Confirm statuses in a row.
    std::uint32_t ConfirmedFaults(Device& device, const DeviceStatus& status) const;
    // The alert decision for a status (onset: a confirmed item became due with it).
    bool AlertWanted(const Device& device, std::uint32_t confirmed, bool onset) const;
    void AlertFaults(Device& device, const DeviceStatus& status, std::uint32_t faults);
    bool AnyFaultOption() const;
    // Problems still standing when a mute ends are alerted once.
    void AlertStandingProblems(Device& device);
    void CheckDeviceReachability(Device& device, std::int64_t now);
    // A status arrived: the outage is over, and when the status has no fault, so are the
    // alerted problems (their notice, when Recovery is on).
    void NoticeIfRecovered(Device& device);
    void EndExpiredMutes();
    void LogMuteEvent(const Device& device);
    // The mute and the day's alert marks of the device stored as number n (section "Alerts").
    void ReadAlertMarks(const CIniFile& ini, int n, Device& device, bool sameDay);
    void WriteAlertMarks(CIniFile& ini) const;
    void ReadWebSettings(const CIniFile& ini);
    void WriteWebSettings(CIniFile& ini) const;
    void ReadWebhookSettings(const CIniFile& ini);
    void WriteWebhookSettings(CIniFile& ini) const;
    // Says once, at the load, which ticked targets count as off and why.
    void ReportUnusableWebhooks();

    // ---- webhook dispatch ----
    void QueueWebhook(std::unique_ptr<WebhookJob> job);
    void StartWaitingWebhooks();
    void OnWebhookResult(std::uint32_t wParam, std::uint32_t lParam);
    void LogWebhookOutcome(const WebhookJob& job, bool sent, const std::string& reason);
    void ClearWebhookJobs();

    // the configuration file between the saves of the shutdown and the day
    bool WriteConfiguration(bool mayShowBox);
    // The folder of the settings file, which a new user's default place does not have yet.
    void MakeSettingsFolder() const;
    void SaveIfChanged();
    std::string ConfigurationText() const;
    void FillConfiguration(CIniFile& ini) const;
    // What the file holds now, as records; FillConfiguration writes the same.
    ConfigurationRecords FileRecords() const;
    // A debug build's check that the records show every change of the file's text: a change
    // they miss would never be saved by the change check.
    void CheckRecordsCoverText() const;

    StartupOptions options_;
    SiteCounters counters_;
    std::unique_ptr<CEventCounter> eventCounter_;
    CPollRound pollRound_;
    std::string devicePortText_;
    std::vector<std::unique_ptr<Device>> devices_;
    bool tableExists_ = false;
    std::unique_ptr<CData> store_;
    std::unique_ptr<CMca> codec_;
    std::unique_ptr<CEventLog> eventLog_;
    std::unique_ptr<CEventHistory> history_;
    std::unique_ptr<TUdpCommsThread> udpThread_;
    // Made at start-up and stopped at shutdown; every delivery has a client of its own.
    std::unique_ptr<CSmtpClient> smtpClient_;
    std::vector<std::unique_ptr<EmailJob>> emailJobs_;
    // Webhook deliveries on their way (each on its client's thread), and those waiting for a
    // free place, oldest first.
    std::vector<std::unique_ptr<WebhookJob>> webhookJobs_;
    std::deque<std::unique_ptr<WebhookJob>> webhooksWaiting_;
    std::unique_ptr<CPasswordStore> passwordStore_;
    // Messages posted from other threads, oldest first; each has its call of DispatchPosted
    // queued in the event loop. The lock is the program's own, so that what a worker hands
    // over is handed over under a lock every tool can see.
    struct PostedMessage {
        std::uint32_t msg, wParam, lParam;
    };
    std::mutex postedMutex_;
    std::deque<PostedMessage> posted_;
    // Requests waiting for their turn, in lanes that run side by side: one per device for its
    // configurations, and one for the test-mode cycle across the devices. A lane ends one
    // spacing after its last hand-over, then runs its Done.
    struct PaceLane {
        std::deque<PacedRequest> Items;
        std::chrono::steady_clock::time_point Due{};
        std::function<void()> Done;
    };
    static constexpr std::uint16_t TestLane = 0;  // no device has id 0
    void StartLane(std::uint16_t lane, std::vector<PacedRequest> items, std::function<void()> done);
    std::map<std::uint16_t, PaceLane> lanes_;
    // Devices whose last paced request has been handed over and not yet answered.
    std::set<std::uint16_t> awaitingStatus_;
    // The first start that kept the moments the counters count from (0 until the load).
    std::int64_t statsKeptSince_ = 0;
    bool started_ = false;
    bool closing_ = false;
    bool shutDown_ = false;

    QTimer* changeSaveTimer_ = nullptr;
    std::string savedText_;                // what the file holds since the last save (or the load)
    ConfigurationRecords savedRecords_;    // the same as records
    ConfigurationRecords pendingRecords_;  // a change not yet written, as last seen
    int pendingChecks_ = 0;
    bool fileProtected_ = false;  // it could not be read: never written over in this run
    bool saveFailureReported_ = false;

    QTimer* reachabilityTimer_ = nullptr;
    QTimer* discoveryRoundTimer_ = nullptr;
    bool discoveryRoundOpen_ = false;
    std::vector<CMca::BcastData_Type> newcomers_;  // new serial numbers of the open round
    struct AddressCheck {
        std::uint16_t DeviceId = 0;
        std::string IpAddress;
        std::string Serial;
        std::unique_ptr<TTcpCommsThread> Connection;
    };
    std::map<std::uint16_t, AddressCheck> addressChecks_;  // by the check's own id
};
