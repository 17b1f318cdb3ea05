#include "dialogs/ServerSecurityDlgUnit.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "dialogs/DialogParts.h"
#include "notify/SmtpProtocol.h"
#include "platform/MessageBox.h"

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

}  // namespace

TServerSecurityDlg::TServerSecurityDlg(const Context& context, const std::string& pageUserName,
                                       CPasswordStore& passwords, QWidget* parent)
    : QDialog(parent), passwords_(passwords), port_(context.Port) {
    setObjectName(QStringLiteral("ServerSecurityDlg"));
    setWindowTitle(QStringLiteral("Server Security"));
    SetFixedDialogFrame(*this);

    auto* connection = new QGroupBox(QStringLiteral("Connection"), this);
    NoSecurityRadioBtn =
        Named(new QRadioButton(QStringLiteral("&None"), connection), "NoSecurityRadioBtn");
    StartTlsRadioBtn =
        Named(new QRadioButton(QStringLiteral("S&TARTTLS"), connection), "StartTlsRadioBtn");
    SslTlsRadioBtn =
        Named(new QRadioButton(QStringLiteral("SS&L/TLS"), connection), "SslTlsRadioBtn");
    PortLabel = Named(new QLabel(connection), "PortLabel");
    auto* modes = new QHBoxLayout(connection);
    modes->addWidget(NoSecurityRadioBtn);
    modes->addWidget(StartTlsRadioBtn);
    modes->addWidget(SslTlsRadioBtn);
    modes->addStretch(1);
    modes->addWidget(PortLabel);
    QRadioButton* const chosen[] = {NoSecurityRadioBtn, StartTlsRadioBtn, SslTlsRadioBtn};
    const int security = context.Security >= 0 && context.Security <= 2 ? context.Security : 0;
    chosen[security]->setChecked(true);

    auto* signIn = new QGroupBox(QStringLiteral("Sign-in"), this);
    SignInCheckBox =
        Named(new QCheckBox(QStringLiteral("Server requires sign-&in"), signIn), "SignInCheckBox");
    SignInCheckBox->setChecked(context.SignIn);
    SignInUserEdit = Named(new QLineEdit(signIn), "SignInUserEdit");
    SignInUserEdit->setText(
        QString::fromStdString(context.SignInUser.empty() ? pageUserName : context.SignInUser));
    PasswordEdit = Named(new QLineEdit(signIn), "PasswordEdit");
    PasswordEdit->setEchoMode(QLineEdit::Password);
    PasswordEdit->setPlaceholderText(QStringLiteral("(unchanged)"));
    PasswordPlaceLabel = Named(new QLabel(signIn), "PasswordPlaceLabel");
    PasswordPlaceLabel->setWordWrap(true);
    PlainSignInLabel = Named(
        new QLabel(QStringLiteral("A password is never sent without encryption: choose STARTTLS "
                                  "or SSL/TLS."),
                   signIn),
        "PlainSignInLabel");
    PlainSignInLabel->setWordWrap(true);
    auto* signInForm = new QFormLayout(signIn);
    signInForm->addRow(SignInCheckBox);
    auto* userLabel = new QLabel(QStringLiteral("&User name:"), signIn);
    userLabel->setBuddy(SignInUserEdit);
    signInForm->addRow(userLabel, SignInUserEdit);
    auto* passwordLabel = new QLabel(QStringLiteral("&Password:"), signIn);
    passwordLabel->setBuddy(PasswordEdit);
    signInForm->addRow(passwordLabel, PasswordEdit);
    signInForm->addRow(PasswordPlaceLabel);
    signInForm->addRow(PlainSignInLabel);

    auto* trust =
        new QGroupBox(QStringLiteral("Certificate authority of your own (optional)"), this);
    CaFileEdit = Named(new QLineEdit(trust), "CaFileEdit");
    CaFileEdit->setText(QString::fromStdString(context.CaFile));
    CaFileBrowseBtn =
        Named(new QPushButton(QStringLiteral("&Browse..."), trust), "CaFileBrowseBtn");
    auto* trustRow = new QHBoxLayout(trust);
    trustRow->addWidget(CaFileEdit, 1);
    trustRow->addWidget(CaFileBrowseBtn);

    auto* buttons = new QDialogButtonBox(this);
    OkBtn = Named(buttons->addButton(QDialogButtonBox::Ok), "OkBtn");
    CancelBtn = Named(buttons->addButton(QDialogButtonBox::Cancel), "CancelBtn");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(connection);
    layout->addWidget(signIn);
    layout->addWidget(trust);
    layout->addWidget(buttons);
    // Grows when the warning about sign-in without encryption shows, shrinks when it goes.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    for (QRadioButton* radio : chosen) {
        connect(radio, &QRadioButton::toggled, this, [this](bool on) {
            if (on) SecurityChanged();
        });
    }
    connect(SignInCheckBox, &QCheckBox::toggled, this, &TServerSecurityDlg::UpdateControls);
    connect(CaFileBrowseBtn, &QPushButton::clicked, this,
            &TServerSecurityDlg::CaFileBrowseBtnClick);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(&passwords_, &CPasswordStore::PlaceKnown, this, &TServerSecurityDlg::ShowPasswordPlace);
    connect(&passwords_, &CPasswordStore::Loaded, this, &TServerSecurityDlg::ShowPasswordPlace);

    UpdateControls();
    ShowPasswordPlace();
    // Where the password is kept is known once the store has looked.
    if (passwords_.Where() == CPasswordStore::Place::Unknown) passwords_.Load();
}

int TServerSecurityDlg::Security() const {
    if (StartTlsRadioBtn->isChecked()) return static_cast<int>(SmtpSecurity::StartTls);
    if (SslTlsRadioBtn->isChecked()) return static_cast<int>(SmtpSecurity::Tls);
    return static_cast<int>(SmtpSecurity::None);
}

void TServerSecurityDlg::SecurityChanged() {
    port_ = ProposeSmtpPort(port_, static_cast<SmtpSecurity>(Security()));
    UpdateControls();
}

void TServerSecurityDlg::UpdateControls() {
    PortLabel->setText(QStringLiteral("Port: ") + QString::fromStdString(port_));
    const bool signIn = SignInCheckBox->isChecked();
    SignInUserEdit->setEnabled(signIn);
    PasswordEdit->setEnabled(signIn);
    PlainSignInLabel->setVisible(signIn && Security() == static_cast<int>(SmtpSecurity::None));
}

void TServerSecurityDlg::ShowPasswordPlace() {
    PasswordPlaceLabel->setText(QString::fromStdString(passwords_.PlaceText()));
}

void TServerSecurityDlg::CaFileBrowseBtnClick() {
    const QString file = QFileDialog::getOpenFileName(
        this, QStringLiteral("Certificate Authority"), CaFileEdit->text(),
        QStringLiteral("Certificates (*.pem *.crt);;All files (*)"));
    if (!file.isEmpty()) CaFileEdit->setText(file);
}

void TServerSecurityDlg::accept() {
    if (SignInCheckBox->isChecked() && Security() == static_cast<int>(SmtpSecurity::None)) {
        ShowMessage(this, MsgKind::Warning, windowTitle(),
                    QStringLiteral("The password would travel in the clear: a password is never "
                                   "sent without encryption. Choose STARTTLS or SSL/TLS, or "
                                   "clear \"Server requires sign-in\"."));
        return;
    }
    QDialog::accept();
}

TServerSecurityDlg::Context TServerSecurityDlg::Result() const {
    Context context;
    context.Security = Security();
    context.SignIn = SignInCheckBox->isChecked();
    context.SignInUser = SignInUserEdit->text().toStdString();
    context.CaFile = CaFileEdit->text().trimmed().toStdString();
    context.Port = port_;
    return context;
}

bool TServerSecurityDlg::PasswordChanged() const {
    return !PasswordEdit->text().isEmpty();
}

std::string TServerSecurityDlg::NewPassword() const {
    return PasswordEdit->text().toStdString();
}
