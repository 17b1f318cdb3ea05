#pragma once

// The monitor core on a simulated site, without any window: the rows read as the core's row
// texts, which every view shows.
#include <utility>

#include "notify/EmailOutcome.h"
#include "support/FakeKeyring.h"
#include "support/SimulatedSiteFixture.h"

class CoreFixture : public SimulatedSiteFixture {
protected:
    using SimulatedSiteFixture::SimulatedSiteFixture;
    using Device = CMonitorCore::Device;

    void StartCore(std::vector<std::string> arguments = {}) {
        options_.arguments = std::move(arguments);
        core_ = std::make_unique<CMonitorCore>(options_);
        core_->ShutdownPauseMs = 0;
        if (changeCheckMs_ > 0) core_->ChangeCheckMs = changeCheckMs_;
        // Never the user's own keyring: the test's, unavailable (as on a machine without a
        // session bus) unless a test says otherwise.
        core_->SetKeyring(std::make_unique<FakeKeyring>(keyring_));
        if (keyringWaitMs_ > 0) core_->PasswordStore().SetKeyringWaitMs(keyringWaitMs_);
        testEmailBusy_ = false;
        shownOutcomes_.clear();
        // What the core asks a window to show of the test e-mail.
        QObject::connect(core_.get(), &CMonitorCore::TestEmailBusyChanged, core_.get(),
                         [this](bool busy) { testEmailBusy_ = busy; });
        QObject::connect(core_.get(), &CMonitorCore::EmailOutcomeToShow, core_.get(),
                         [this](int outcome, const EmailFields& fields) {
                             shownOutcomes_.push_back({outcome, fields});
                         });
        BeforeCoreStart();
        core_->Start();
    }
    // What a test connects to the core before it starts (a view that must see the settings
    // arrive).
    virtual void BeforeCoreStart() {}
    void StopCore() { core_.reset(); }
    void StartQuiet() {
        StartCore();
        WaitForFirstPoll();
    }

    CMonitorCore& Monitor() override { return *core_; }
    void StopMonitor() override { StopCore(); }

    // What the row shows in the list: column 1 name, 2 address, 3 status, 4 condition.
    QString Cell(int row, int column) const override {
        const Device* device = core_->FindDeviceByListIndex(row);
        if (!device || column < 1 || column > 4) return QString();
        return CMonitorCore::RowTexts(*device).value(column - 1);
    }
    bool Ticked(int row) const override {
        const Device* device = core_->FindDeviceByListIndex(row);
        return device && device->AvloEnabled;
    }
    // The e-mail settings, as the page would hold them after typing.
    void SetEmail(const std::string& server, const std::string& port, const std::string& user,
                  const std::string& sender, const std::string& r1, const std::string& r2 = "",
                  const std::string& r3 = "") {
        EmailSettings_Type& e = core_->EmailSettings;
        e.server = server;
        e.port = port;
        e.userName = user;
        e.sender = sender;
        e.recipient[0] = r1;
        e.recipient[1] = r2;
        e.recipient[2] = r3;
    }

    // The test e-mail, as the window's command sends it.
    bool SendTestEmail() {
        return core_->SendEmail("AVLO TEST EMAIL", "This is a test e-mail.\r\n", true);
    }
    struct ShownOutcome {
        int outcome;
        EmailFields fields;
        // The text the window's dialog shows for it.
        std::string Dialog() const { return EmailOutcomeDialogText(outcome, fields); }
    };
    std::vector<ShownOutcome> TakeShownOutcomes() { return std::exchange(shownOutcomes_, {}); }
    // The outcomes to show until the first one comes, or none after ms.
    std::vector<ShownOutcome> WaitShownOutcomes(int ms) {
        std::vector<ShownOutcome> shown;
        WaitUntil(
            [&] {
                shown = TakeShownOutcomes();
                return !shown.empty();
            },
            ms);
        return shown;
    }

    std::unique_ptr<CMonitorCore> core_;
    std::shared_ptr<FakeKeyring::State> keyring_ = [] {
        auto state = std::make_shared<FakeKeyring::State>();
        state->available = false;
        return state;
    }();
    int keyringWaitMs_ = 0;       // the password store's own limit when 0
    int changeCheckMs_ = 0;       // the core's own interval of the change check when 0
    bool testEmailBusy_ = false;  // the window's test e-mail command is unavailable
    std::vector<ShownOutcome> shownOutcomes_;
};
