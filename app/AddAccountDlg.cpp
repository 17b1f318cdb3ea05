#include "app/AddAccountDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/DialogParts.h"
#include "web/UserStore.h"

namespace {

QLineEdit* NamedEdit(QWidget* parent, const char* name, bool secret) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMinimumWidth(220);
    if (secret) edit->setEchoMode(QLineEdit::Password);
    return edit;
}

}  // namespace

QString AsSentence(const std::string& reason) {
    QString text = QString::fromStdString(reason);
    if (text.isEmpty()) return text;
    text[0] = text[0].toUpper();
    return text.endsWith(QLatin1Char('.')) ? text : text + '.';
}

TAddAccountDlg::TAddAccountDlg(QWidget* owner, CUserStore& store) : QDialog(owner), store_(store) {
    setObjectName(QStringLiteral("AddAccountDlg"));
    setWindowTitle(QStringLiteral("Add Account"));
    SetFixedDialogFrame(*this);
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    NameEdit = NamedEdit(this, "NameEdit", false);
    RoleComboBox = new QComboBox(this);
    RoleComboBox->setObjectName(QStringLiteral("RoleComboBox"));
    RoleComboBox->addItems({QString::fromLatin1(UserRoleName(UserRole::Viewer)),
                            QString::fromLatin1(UserRoleName(UserRole::Operator))});
    PasswordEdit = NamedEdit(this, "PasswordEdit", true);
    RepeatEdit = NamedEdit(this, "RepeatEdit", true);
    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("&Name:"), NameEdit);
    fields->addRow(QStringLiteral("&Role:"), RoleComboBox);
    fields->addRow(QStringLiteral("&Password:"), PasswordEdit);
    fields->addRow(QStringLiteral("Re&type password:"), RepeatEdit);
    layout->addLayout(fields);

    ProblemLabel = WrappedText(this, QString());
    ProblemLabel->setObjectName(QStringLiteral("ProblemLabel"));
    QPalette palette = ProblemLabel->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    ProblemLabel->setPalette(palette);
    ProblemLabel->hide();
    layout->addWidget(ProblemLabel);

    OKBtn = NamedButton(this, "OKBtn", "&OK");
    CancelBtn = NamedButton(this, "CancelBtn", "&Cancel");
    OKBtn->setDefault(true);
    layout->addLayout(ButtonRow({OKBtn, CancelBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TAddAccountDlg::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TAddAccountDlg::OKBtnClick() {
    const QString problem = AddAccount();
    if (problem.isEmpty()) {
        accept();
        return;
    }
    ProblemLabel->setText(problem);
    ProblemLabel->show();
}

QString TAddAccountDlg::AddAccount() {
    if (PasswordEdit->text() != RepeatEdit->text())
        return QStringLiteral("The two passwords are not the same.");
    const auto role = ParseUserRole(RoleComboBox->currentText().toStdString());
    std::string failure;
    // Hashing takes a good part of a second and is meant to.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool added = store_.Add(NameEdit->text().toStdString(), role.value_or(UserRole::Viewer),
                                  PasswordEdit->text().toStdString(), &failure);
    QApplication::restoreOverrideCursor();
    if (!added) return AsSentence(failure);
    if (store_.Save(&failure)) return {};
    store_.Remove(NameEdit->text().toStdString());
    return QStringLiteral("The accounts file was not written: ") + QString::fromStdString(failure) +
           '.';
}
