#pragma once

#include <QDialog>
#include <string>

#include "notify/PasswordStore.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The e-mail server's security: how the connection is protected (None, STARTTLS, SSL/TLS),
// whether the server requires sign-in and with which user name and password, and a file of
// one more certificate authority for a site's own relay. Choosing a mode proposes its usual
// port while the page's port is still another mode's default. The dialog has a fixed size
// that follows what it shows. The password goes to the
// password store (keyring or the file beside the settings), never into the settings.
class TServerSecurityDlg : public QDialog {
    Q_OBJECT

public:
    struct Context {
        int Security = 0;  // an SmtpSecurity value
        bool SignIn = false;
        std::string SignInUser;
        std::string CaFile;
        std::string Port;  // the page's port text
    };

    // pageUserName: proposed as the sign-in name when none is set.
    TServerSecurityDlg(const Context& context, const std::string& pageUserName,
                       CPasswordStore& passwords, QWidget* parent = nullptr);

    // The settings as the dialog holds them; the password is not part of them.
    Context Result() const;
    // A new password was typed (an empty field keeps the stored one).
    bool PasswordChanged() const;
    std::string NewPassword() const;

    QRadioButton* NoSecurityRadioBtn = nullptr;
    QRadioButton* StartTlsRadioBtn = nullptr;
    QRadioButton* SslTlsRadioBtn = nullptr;
    QLabel* PortLabel = nullptr;
    QCheckBox* SignInCheckBox = nullptr;
    QLineEdit* SignInUserEdit = nullptr;
    QLineEdit* PasswordEdit = nullptr;
    QLabel* PasswordPlaceLabel = nullptr;
    QLineEdit* CaFileEdit = nullptr;
    QPushButton* CaFileBrowseBtn = nullptr;
    QLabel* PlainSignInLabel = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

    // OK: refuses sign-in without encryption, which the mail client would refuse at every
    // alert, and says why; the dialog stays open to be put right.
    void accept() override;

private:
    int Security() const;
    void SecurityChanged();
    void UpdateControls();
    void ShowPasswordPlace();
    void CaFileBrowseBtnClick();

    CPasswordStore& passwords_;
    std::string port_;
};
