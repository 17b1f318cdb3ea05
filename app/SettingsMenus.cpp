// The commands that open the settings dialogs and the about box. Each dialog but the about box
// is made anew for every use, so that it shows the records as they are now.
#include <QPointer>
#include <utility>

#include "app/AboutDlg.h"
#include "app/MainUnit.h"
#include "app/OptionsDlg.h"
#include "dialogs/AdvancedEmailSettingsDlgUnit.h"
#include "dialogs/SelectEventsDlgUnit.h"
#include "web/UserStore.h"

namespace {

// Destroys an instance still held from an earlier use, makes a new one, shows it modally and
// destroys it. The dialog may be gone when the nested loop returns (the program ending while
// it was open takes it with the window), which the guarded pointer notices.
template <class Dialog, class... Args>
int RunHeldDialog(QPointer<Dialog>& held, Args&&... args) {
    delete held.data();
    held = new Dialog(std::forward<Args>(args)...);
    const int result = held->exec();
    delete held.data();
    return result;
}

}  // namespace

void TMainForm::CreateAboutBox() {
    if (!AboutDlg) AboutDlg = new TAboutDlg(this);
}

void TMainForm::OptionsMenuClick() {
    // A new poll interval is put to work at once, not kept for the next start.
    CUserStore accounts(UsersFilePath(core_->ConfigPath()));
    if (RunHeldDialog(OptionsDlg, this, &core_->Options, &core_->WebSettings, &accounts) ==
        QDialog::Accepted) {
        core_->ApplyPollInterval();
    }
    // Whatever the result: a failed attempt at an earlier start or use is tried again.
    core_->ApplyRunAtLogon();
}

void TMainForm::AboutMenuClick() {
    CreateAboutBox();
    AboutDlg->exec();
}

void TMainForm::SelectEventsBtn1Click() {
    RunHeldDialog(SelectEventsDlg, this, core_->SwitchFlags.alerts, &core_->NotifiableEvents);
}

void TMainForm::AdvancedEmailBtn1Click() {
    RunHeldDialog(AdvancedEmailDlg, this, &core_->AdvancedEmail);
}
