// The monitor's life: construction, start-up in its fixed order, message dispatch, and the
// shutdown sequence.
#include "monitoring/MonitorCore.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "comms/Mymessages.h"
#include "platform/Autostart.h"
#include "platform/MessageBox.h"

namespace {

// A poll interval below a second (Poll=0 in a hand-edited file) would fire the poll timer on
// every turn of the event loop: a flood of broadcasts and status queries. The timer never runs
// faster than this; the value in the file is kept as written.
constexpr std::int32_t MinPollMs = 1000;
constexpr int NetworkSearchMs = 2000;

constexpr const char* HeadlessLogonNotice =
    "Run at log-on: the headless monitor leaves the desktop's autostart entry as it is (the "
    "windowed monitor writes it); to start this one at log-on or boot, enable its service: "
    "systemctl --user enable avlo-monitor.service\n";
std::string MessageFilePath() {
    const std::filesystem::path exe(ExecutablePath());
    return (exe.parent_path() / "AvloEventMsg.dll").string();
}

QTimer* AddTimer(QObject* owner, const char* name) {
    auto* timer = new QTimer(owner);
    timer->setObjectName(QString::fromLatin1(name));
    return timer;
}

}  // namespace

CMonitorCore::CMonitorCore(const StartupOptions& options, QObject* parent)
    : QObject(parent), options_(options) {
    PollTimer = AddTimer(this, "PollTimer");
    PollTimer->setInterval(Options.Poll);
    NetworkSearchTimer = AddTimer(this, "NetworkSearchTimer");
    NetworkSearchTimer->setInterval(NetworkSearchMs);
    NetworkSearchTimer->setSingleShot(true);
    TestModeTimer = AddTimer(this, "TestModeTimer");
    TestModeTimer->setInterval(1000);
    PaceTimer = AddTimer(this, "PaceTimer");
    PaceTimer->setSingleShot(true);
    // The spacing is a second; a coarse timer could fire a twentieth of it early.
    PaceTimer->setTimerType(Qt::PreciseTimer);
    connect(PollTimer, &QTimer::timeout, this, &CMonitorCore::PollTimerTimer);
    connect(NetworkSearchTimer, &QTimer::timeout, this, &CMonitorCore::NetworkSearchTimerTimer);
    connect(TestModeTimer, &QTimer::timeout, this, &CMonitorCore::TestModeTimerTimer);
    connect(PaceTimer, &QTimer::timeout, this, &CMonitorCore::PaceRequests);
    discoveryRoundTimer_ = AddTimer(this, "DiscoveryRoundTimer");
    discoveryRoundTimer_->setSingleShot(true);
    discoveryRoundTimer_->setInterval(TUdpCommsThread::ReplyWindowMs);
    connect(discoveryRoundTimer_, &QTimer::timeout, this, &CMonitorCore::CloseDiscoveryRound);

    devicePortText_ = std::to_string(options_.devicePort);
    devices_.clear();
    tableExists_ = true;

    store_ = std::make_unique<CData>();
    codec_ = std::make_unique<CMca>();

    SwitchFlags = ReadSwitches(options_.arguments);
    SetKeyring(MakeDesktopKeyring());
}

void CMonitorCore::SetKeyring(std::unique_ptr<IKeyring> keyring) {
    passwordStore_ = std::make_unique<CPasswordStore>(options_.configPath, std::move(keyring));
    connect(passwordStore_.get(), &CPasswordStore::Loaded, this, &CMonitorCore::SendAwaitingEmail);
    connect(passwordStore_.get(), &CPasswordStore::PlaceKnown, this,
            &CMonitorCore::LogPasswordPlace);
}

void CMonitorCore::LogPasswordPlace() {
    if (Options.Log && eventLog_) {
        const bool refused = !passwordStore_->FileRefusal().empty();
        eventLog_->WriteEvent(EV_EMAIL_PASSWORD_PLACE,
                              refused ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE,
                              passwordStore_->PlaceText());
    }
}

CMonitorCore::~CMonitorCore() {
    if (started_) Shutdown();
}

void CMonitorCore::Start() {
    if (started_) return;
    started_ = true;
    smtpClient_ = std::make_unique<CSmtpClient>(WM_SMTPRESULT, this, NextEmailJobId());

    eventLog_ = std::make_unique<CEventLog>("AVLO", MessageFilePath());
    eventCounter_ =
        std::make_unique<CEventCounter>(counters_, [this] { emit SiteCountersChanged(); });
    eventLog_->SetRecorder(eventCounter_.get());
    // A new user's first start: the history beside the settings file keeps the first day's
    // events only if their folder is there before the first save would make it.
    MakeSettingsFolder();
    if (!HistoryPath().empty()) {
        history_ = std::make_unique<CEventHistory>(HistoryPath(), this);
        eventCounter_->SetNext(history_.get());
        history_->SetListener([this](const EventRecord& record) { emit EventRecorded(record); });
    }
    ReferenceDate = LocalNow();
    LoadConfiguration();
    // Read now, so that the first alert does not wait for the keyring; a run without sign-in
    // never asks the keyring anything.
    if (EmailSettings.SignIn) passwordStore_->Load();
    ApplyPollInterval();
    // A monitor restarted every day would never see a daily save: old events also go at start.
    if (history_ && Options.Log) history_->Prune(CEventHistory::NowMicros());
    udpThread_ = std::make_unique<TUdpCommsThread>(*store_, options_.discoveryPort, this,
                                                   options_.discoveryAddress);
    ApplyRunAtLogon();

    savedText_ = ConfigurationText();
    savedRecords_ = FileRecords();
    changeSaveTimer_ = new QTimer(this);
    changeSaveTimer_->setInterval(options_.saveEveryMs > 0 ? options_.saveEveryMs : ChangeCheckMs);
    connect(changeSaveTimer_, &QTimer::timeout, this, &CMonitorCore::SaveIfChanged);
    if (!fileProtected_) changeSaveTimer_->start();
    reachabilityTimer_ = new QTimer(this);
    reachabilityTimer_->setInterval(ReachabilityCheckMs);
    connect(reachabilityTimer_, &QTimer::timeout, this, &CMonitorCore::CheckReachability);
    reachabilityTimer_->start();
}

int CMonitorCore::PollIntervalMs() const {
    return std::max(Options.Poll, MinPollMs);
}

void CMonitorCore::ApplyPollInterval() {
    const int interval = PollIntervalMs();
    // A running timer starts counting again when its interval is set: an OK that leaves the
    // interval as it was must not put off the next poll.
    if (PollTimer->interval() != interval) PollTimer->setInterval(interval);
    for (const auto& device : devices_) {
        if (device->Connection) device->Connection->SetLongestWait(interval);
    }
}

void CMonitorCore::Shutdown() {
    if (shutDown_ || !started_) return;
    shutDown_ = true;
    closing_ = true;
    PollTimer->stop();
    NetworkSearchTimer->stop();
    discoveryRoundTimer_->stop();
    if (changeSaveTimer_) changeSaveTimer_->stop();
    if (reachabilityTimer_) reachabilityTimer_->stop();
    SwitchFlags.test = false;
    TestModeTimer->stop();
    PaceTimer->stop();
    lanes_.clear();

    SaveConfiguration();

    if (udpThread_) {
        udpThread_->Stop();
        udpThread_.reset();
    }
    ClearEmailJobs();
    ClearWebhookJobs();

    // Every thread is told to stop first, so that they all wind down together.
    for (auto& device : devices_) {
        if (device->Connection) device->Connection->Stop();
    }
    for (auto& device : devices_) device->Connection.reset();
    addressChecks_.clear();
    devices_.clear();
    tableExists_ = false;

    if (smtpClient_) {
        smtpClient_->Stop();
        smtpClient_.reset();
    }

    store_.reset();
    codec_.reset();
    if (Options.Log) eventLog_->WriteEvent(EV_MONITOR_STOPPED, EVENTLOG_INFORMATION_TYPE);
    eventLog_.reset();
    history_.reset();  // after the last event: the writer keeps what is still queued

    std::this_thread::sleep_for(std::chrono::milliseconds(ShutdownPauseMs));
}

void CMonitorCore::EndProgram() {
    if (closing_) return;
    emit EndRequested();
}

void CMonitorCore::Post(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam) {
    // Messages between windows of the main thread are handled inside the call, as
    // send-notify does; a worker's report always goes through the queue, so it is never
    // handled in the middle of the call that created the worker.
    const bool workerMessage = msg == WM_TCPTHREAD || msg == WM_UDPTHREAD ||
                               msg == WM_SMTPRESULT || msg == WM_WEBHOOKRESULT;
    if (!workerMessage && QThread::currentThread() == thread()) {
        Dispatch(msg, wParam, lParam);
        return;
    }
    {
        const std::lock_guard lock(postedMutex_);
        posted_.push_back({msg, wParam, lParam});
    }
    QMetaObject::invokeMethod(this, "DispatchPosted", Qt::QueuedConnection);
}

// One call per posted message: the messages keep their order, and each takes its own turn
// of the event loop, as a posted window message does.
void CMonitorCore::DispatchPosted() {
    PostedMessage m{};
    {
        const std::lock_guard lock(postedMutex_);
        if (posted_.empty()) return;
        m = posted_.front();
        posted_.pop_front();
    }
    Dispatch(m.msg, m.wParam, m.lParam);
}

void CMonitorCore::Dispatch(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam) {
    switch (msg) {
        case WM_TCPTHREAD:
            OnTcpThreadMessage(static_cast<std::uint16_t>(wParam & 0xFFFF),
                               static_cast<std::uint16_t>(wParam >> 16), lParam);
            break;
        case WM_UDPTHREAD:
            OnUdpThreadMessage(static_cast<std::uint16_t>(wParam & 0xFFFF));
            break;
        case WM_APPLYCONFIG:
            OnApplyConfig(wParam);
            break;
        case WM_SMTPRESULT:
            if (!closing_) OnSmtpResult(wParam, lParam);
            break;
        case WM_WEBHOOKRESULT:
            if (!closing_) OnWebhookResult(wParam, lParam);
            break;
        case WM_EVENTHISTORY:
            OnHistoryReport(wParam);
            break;
        default:
            break;
    }
}

void CMonitorCore::ReportProgramError(const std::string& text, bool mayShowBox) {
    if (mayShowBox) {
        ShowMessage(MessageParent ? MessageParent() : nullptr, MsgKind::Error,
                    QStringLiteral("AVLO Monitor"), QString::fromStdString(text));
    } else {
        std::fprintf(stderr, "Error: %s\n", text.c_str());
    }
    if (Options.Log && eventLog_)
        eventLog_->WriteEvent(EV_MONITOR_ERROR, EVENTLOG_ERROR_TYPE, text);
}

void CMonitorCore::LogServiceEvent(std::uint32_t id, std::uint16_t type, const std::string& text) {
    if (Options.Log && eventLog_) eventLog_->WriteEvent(id, type, text);
}

std::string CMonitorCore::HistoryPath() const {
    return options_.configPath.empty() ? std::string() : EventStorePath(options_.configPath);
}

EventDevice CMonitorCore::HistoryDevice(const Device& device) {
    return EventDevice{device.Name, device.IpAddress, device.Serial};
}

void CMonitorCore::OnHistoryReport(std::uint32_t report) {
    if (!history_ || report != HistoryFailed) return;
    // Monitoring goes on without the history; the system log (and a headless monitor's
    // standard error, which echoes it) says once why, until the next daily save tries again.
    const std::string why = history_->TakeFailure();
    if (!why.empty() && Options.Log && eventLog_)
        eventLog_->WriteEvent(EV_MONITOR_ERROR, EVENTLOG_ERROR_TYPE, why);
}

void CMonitorCore::ApplyRunAtLogon() {
    // The headless monitor is started by its service unit. An entry would start a second,
    // windowed monitor at every desktop log-on, which would stop at "already running"; the
    // entry is the windowed monitor's to write or remove.
    if (options_.headless) {
        if (Options.Startup) std::fputs(HeadlessLogonNotice, stderr);
        return;
    }
    // A failure is told to nobody: the option still holds and is tried again at the next
    // start and the next use of the options dialog.
    SetRunAtLogon(Options.Startup, LogonCommandLine(options_, ExecutablePath()));
}
