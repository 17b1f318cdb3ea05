#include "app/OptionsDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/AccountsPage.h"
#include "app/WebAccessPage.h"
#include "dialogs/DialogParts.h"

namespace {

constexpr std::int32_t PollValues[] = {60000, 300000, 600000};
constexpr int DefaultPollIndex = 1;

}  // namespace

TOptionsDlg::TOptionsDlg(QWidget* owner, Options_Type* options, WebSettings_Type* web,
                         CUserStore* accounts)
    : QDialog(owner), options_(options), web_(web) {
    setObjectName(QStringLiteral("OptionsDlg"));
    setWindowTitle(QStringLiteral("Options"));
    SetFixedDialogFrame(*this);

    auto* outer = new QVBoxLayout(this);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    auto* columns = new QHBoxLayout;
    columns->addLayout(BuildMonitoringColumn(), 1);
    if (web_ || accounts) {
        auto* webColumn = new QVBoxLayout;
        if (web_) webColumn->addWidget(WebAccess = new TWebAccessPage(this, *web_));
        if (web_ && accounts) webColumn->addSpacing(8);
        if (accounts) webColumn->addWidget(Accounts = new TAccountsPage(this, *accounts));
        webColumn->addStretch();
        columns->addSpacing(16);
        columns->addLayout(webColumn, 1);
    }
    outer->addLayout(columns);

    outer->addSpacing(8);
    OKBtn = NamedButton(this, "OKBtn", "&OK");
    CancelBtn = NamedButton(this, "CancelBtn", "&Cancel");
    OKBtn->setDefault(true);
    outer->addLayout(ButtonRow({OKBtn, CancelBtn}));
    setMinimumWidth(313);

    connect(OKBtn, &QPushButton::clicked, this, &TOptionsDlg::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    if (options_) {
        EnableAvloForNewCheckBox->setChecked(options_->Avlo);
        EnableLogCheckBox->setChecked(options_->Log);
        AddToStartupCheckBox->setChecked(options_->Startup);
        NotifyCheckBox->setChecked(options_->Notify);
        PollIntervalComboBox->setCurrentIndex(PollIndex(options_->Poll));
    }
}

QLayout* TOptionsDlg::BuildMonitoringColumn() {
    auto* layout = new QVBoxLayout;
    layout->addWidget(Heading(this, QStringLiteral("Device Monitoring")));
    layout->addWidget(WrappedText(
        this, QStringLiteral(
                  "AVLO Monitor periodically reads the conditions of connected Velkan devices.")));

    PollIntervalComboBox = new QComboBox(this);
    PollIntervalComboBox->setObjectName(QStringLiteral("PollIntervalComboBox"));
    PollIntervalComboBox->addItems(
        {QStringLiteral("1 Minute"), QStringLiteral("5 Minutes"), QStringLiteral("10 Minutes")});
    auto* pollLabel = new QLabel(QStringLiteral("&Read condition of the devices every:"), this);
    pollLabel->setBuddy(PollIntervalComboBox);
    auto* pollRow = new QHBoxLayout;
    pollRow->addWidget(pollLabel);
    pollRow->addWidget(PollIntervalComboBox);
    pollRow->addStretch();
    layout->addLayout(pollRow);

    layout->addWidget(WrappedText(this, QStringLiteral("AVLO Monitor periodically searches the "
                                                       "local network for newly connected "
                                                       "Velkan devices.")));
    EnableAvloForNewCheckBox = NamedCheckBox(this, "EnableAvloForNewCheckBox",
                                             "&Always enable AVLO for newly discovered devices");
    layout->addWidget(EnableAvloForNewCheckBox);

    layout->addSpacing(8);
    layout->addWidget(Heading(this, QStringLiteral("Event Logging")));
    layout->addWidget(WrappedText(
        this, QStringLiteral(
                  "AVLO Monitor can log status messages received from Velkan devices. "
                  "Logged messages can be viewed in the event history (Tools > Event Viewer).")));
    EnableLogCheckBox = NamedCheckBox(this, "EnableLogCheckBox", "&Enable logging of AVLO events");
    layout->addWidget(EnableLogCheckBox);
    layout->addSpacing(8);
    AddToStartupCheckBox =
        NamedCheckBox(this, "AddToStartupCheckBox", "&Run AVLO Monitor when you log in");
    layout->addWidget(AddToStartupCheckBox);
    NotifyCheckBox = NamedCheckBox(this, "NotifyCheckBox", "Show desktop &notifications");
    layout->addWidget(NotifyCheckBox);
    layout->addStretch();
    return layout;
}

int TOptionsDlg::PollIndex(std::int32_t poll) {
    for (int i = 0; i < 3; ++i) {
        if (PollValues[i] == poll) return i;
    }
    return DefaultPollIndex;
}

std::int32_t TOptionsDlg::PollValue(int index) {
    return index >= 0 && index < 3 ? PollValues[index] : PollValues[DefaultPollIndex];
}

void TOptionsDlg::OKBtnClick() {
    if (options_) {
        options_->Avlo = EnableAvloForNewCheckBox->isChecked();
        options_->Log = EnableLogCheckBox->isChecked();
        options_->Startup = AddToStartupCheckBox->isChecked();
        options_->Notify = NotifyCheckBox->isChecked();
        options_->Poll = PollValue(PollIntervalComboBox->currentIndex());
    }
    if (web_ && WebAccess) *web_ = WebAccess->Edited();
    accept();
}
