#include "dialogs/WebhooksDlgUnit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/DialogParts.h"
#include "platform/MessageBox.h"

namespace {

template <typename W>
W* Named(W* widget, const std::string& name) {
    widget->setObjectName(QString::fromStdString(name));
    return widget;
}

const char* const Formats[] = {"json", "chat", "ntfy"};

}  // namespace

TWebhooksDlg::TWebhooksDlg(const WebhookSettings_Type& settings, CMonitorCore& core,
                           QWidget* parent)
    : QDialog(parent), core_(core) {
    setObjectName(QStringLiteral("WebhooksDlg"));
    setWindowTitle(QStringLiteral("Webhooks"));
    SetFixedDialogFrame(*this);

    auto* targets = new QGroupBox(QStringLiteral("Targets"), this);
    auto* grid = new QGridLayout(targets);
    grid->addWidget(new QLabel(QStringLiteral("URL (http or https)"), targets), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Format"), targets), 0, 2);
    for (int row = 0; row < Rows; ++row) {
        AddRow(targets, row, settings.Targets[static_cast<std::size_t>(row)]);
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnMinimumWidth(1, 360);

    auto* trust =
        new QGroupBox(QStringLiteral("Certificate authority of your own (optional)"), this);
    CaFileEdit = Named(new QLineEdit(trust), "CaFileEdit");
    CaFileEdit->setText(QString::fromStdString(settings.CaFile));
    CaFileBrowseBtn =
        Named(new QPushButton(QStringLiteral("&Browse..."), trust), "CaFileBrowseBtn");
    auto* trustRow = new QHBoxLayout(trust);
    trustRow->addWidget(CaFileEdit, 1);
    trustRow->addWidget(CaFileBrowseBtn);

    auto* buttons = new QDialogButtonBox(this);
    OkBtn = Named(buttons->addButton(QDialogButtonBox::Ok), "OkBtn");
    CancelBtn = Named(buttons->addButton(QDialogButtonBox::Cancel), "CancelBtn");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(WrappedText(
        this, QStringLiteral("Alerts and notices also go to these targets: team chat (format "
                             "chat), phone push (ntfy) or any receiver of JSON (json).")));
    layout->addWidget(targets);
    layout->addWidget(trust);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(CaFileBrowseBtn, &QPushButton::clicked, this, &TWebhooksDlg::CaFileBrowseBtnClick);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(&core_, &CMonitorCore::WebhookTestFinished, this, &TWebhooksDlg::TestFinished);
}

void TWebhooksDlg::AddRow(QWidget* parent, int row, const WebhookTarget_Type& target) {
    auto* grid = static_cast<QGridLayout*>(parent->layout());
    const std::string n = std::to_string(row + 1);
    OnCheckBox[row] = Named(new QCheckBox(QString::fromStdString(n), parent), "OnCheckBox" + n);
    OnCheckBox[row]->setChecked(target.On);
    UrlEdit[row] = Named(new QLineEdit(parent), "UrlEdit" + n);
    UrlEdit[row]->setText(QString::fromStdString(target.Url));
    UrlEdit[row]->setPlaceholderText(QStringLiteral("https://ntfy.example.com/site-alerts"));
    FormatComboBox[row] = Named(new QComboBox(parent), "FormatComboBox" + n);
    for (const char* format : Formats) FormatComboBox[row]->addItem(QString::fromLatin1(format));
    // A value the program does not know stays as it was, to be seen and put right.
    const QString format = QString::fromStdString(target.Format);
    if (FormatComboBox[row]->findText(format) < 0) FormatComboBox[row]->addItem(format);
    FormatComboBox[row]->setCurrentText(format);
    SendTestBtn[row] =
        Named(new QPushButton(QStringLiteral("Send test"), parent), "SendTestBtn" + n);
    OutcomeLabel[row] = Named(new QLabel(parent), "OutcomeLabel" + n);
    OutcomeLabel[row]->setWordWrap(true);
    const int line = 1 + 2 * row;
    grid->addWidget(OnCheckBox[row], line, 0);
    grid->addWidget(UrlEdit[row], line, 1);
    grid->addWidget(FormatComboBox[row], line, 2);
    grid->addWidget(SendTestBtn[row], line, 3);
    grid->addWidget(OutcomeLabel[row], line + 1, 1, 1, 3);
    connect(SendTestBtn[row], &QPushButton::clicked, this, [this, row] { SendTestBtnClick(row); });
}

WebhookTarget_Type TWebhooksDlg::Target(int row) const {
    WebhookTarget_Type t;
    t.On = OnCheckBox[row]->isChecked();
    t.Url = UrlEdit[row]->text().trimmed().toStdString();
    t.Format = FormatComboBox[row]->currentText().toStdString();
    return t;
}

WebhookSettings_Type TWebhooksDlg::Result() const {
    WebhookSettings_Type settings;
    for (int row = 0; row < Rows; ++row)
        settings.Targets[static_cast<std::size_t>(row)] = Target(row);
    settings.CaFile = CaFileEdit->text().trimmed().toStdString();
    return settings;
}

void TWebhooksDlg::SendTestBtnClick(int row) {
    std::string fault;
    const std::uint32_t job =
        core_.SendWebhookTest(Target(row), CaFileEdit->text().trimmed().toStdString(), &fault);
    if (job == 0) {
        OutcomeLabel[row]->setText(QStringLiteral("Not sent: ") + QString::fromStdString(fault) +
                                   QStringLiteral("."));
        return;
    }
    testsInFlight_[job] = row;
    SendTestBtn[row]->setEnabled(false);
    OutcomeLabel[row]->setText(QStringLiteral("Sending..."));
}

void TWebhooksDlg::TestFinished(std::uint32_t jobId, bool sent, const QString& reason) {
    const auto it = testsInFlight_.find(jobId);
    if (it == testsInFlight_.end()) return;
    const int row = it->second;
    testsInFlight_.erase(it);
    SendTestBtn[row]->setEnabled(true);
    OutcomeLabel[row]->setText(sent ? QStringLiteral("Test sent.")
                                    : QStringLiteral("Test failed: ") + reason);
}

void TWebhooksDlg::CaFileBrowseBtnClick() {
    const QString file = QFileDialog::getOpenFileName(
        this, QStringLiteral("Certificate Authority"), CaFileEdit->text(),
        QStringLiteral("Certificates (*.pem *.crt);;All files (*)"));
    if (!file.isEmpty()) CaFileEdit->setText(file);
}

void TWebhooksDlg::accept() {
    for (int row = 0; row < Rows; ++row) {
        const WebhookTarget_Type t = Target(row);
        if (!t.On) continue;
        if (const std::optional<std::string> fault = CMonitorCore::WebhookTargetFault(t)) {
            UrlEdit[row]->setFocus(Qt::OtherFocusReason);
            ShowMessage(this, MsgKind::Warning, windowTitle(),
                        QStringLiteral("Target %1 cannot be used: %2. Put it right, or clear its "
                                       "tick.")
                            .arg(row + 1)
                            .arg(QString::fromStdString(*fault)));
            return;
        }
    }
    QDialog::accept();
}
