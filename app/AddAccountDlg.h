#pragma once

#include <QDialog>

class CUserStore;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Asks for a new web access account: name, role and the password twice. OK adds it to the
// store and writes the accounts file; what stops that is said in the dialog, which stays open.
class TAddAccountDlg : public QDialog {
public:
    TAddAccountDlg(QWidget* owner, CUserStore& store);

    void OKBtnClick();

    QLineEdit* NameEdit = nullptr;
    QComboBox* RoleComboBox = nullptr;
    QLineEdit* PasswordEdit = nullptr;
    QLineEdit* RepeatEdit = nullptr;
    QLabel* ProblemLabel = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

private:
    // Empty when the account was added and saved, else why not, as a sentence.
    QString AddAccount();

    CUserStore& store_;
};

// "the name is empty" -> "The name is empty.": the store's reasons as the dialogs show them.
QString AsSentence(const std::string& reason);
