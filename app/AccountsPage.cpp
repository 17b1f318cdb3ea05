#include "app/AccountsPage.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/AddAccountDlg.h"
#include "dialogs/DialogParts.h"
#include "web/UserStore.h"

TAccountsPage::TAccountsPage(QWidget* parent, CUserStore& store) : QWidget(parent), store_(store) {
    setObjectName(QStringLiteral("AccountsPage"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Heading(this, QStringLiteral("Accounts")));

    AccountsList = new QTreeWidget(this);
    AccountsList->setObjectName(QStringLiteral("AccountsList"));
    AccountsList->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Role")});
    AccountsList->setRootIsDecorated(false);
    AccountsList->header()->setStretchLastSection(false);
    AccountsList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    // Room for the longer role and a margin, which the column's own fit leaves out.
    AccountsList->header()->setSectionResizeMode(1, QHeaderView::Fixed);
    AccountsList->setColumnWidth(1,
                                 fontMetrics().horizontalAdvance(QStringLiteral("operator")) + 24);
    AccountsList->setFixedHeight(110);
    layout->addWidget(AccountsList);

    ProblemLabel = WrappedText(this, QString());
    ProblemLabel->setObjectName(QStringLiteral("AccountsProblemLabel"));
    ProblemLabel->hide();
    layout->addWidget(ProblemLabel);

    AddBtn = NamedButton(this, "AddAccountBtn", "A&dd...");
    RemoveBtn = NamedButton(this, "RemoveAccountBtn", "Re&move");
    RoleBtn = NamedButton(this, "AccountRoleBtn", "Make Opera&tor");
    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : {AddBtn, RemoveBtn, RoleBtn}) buttons->addWidget(button);
    buttons->addStretch();
    layout->addLayout(buttons);

    connect(AddBtn, &QPushButton::clicked, this, &TAccountsPage::AddBtnClick);
    connect(RemoveBtn, &QPushButton::clicked, this, &TAccountsPage::RemoveBtnClick);
    connect(RoleBtn, &QPushButton::clicked, this, &TAccountsPage::RoleBtnClick);
    connect(AccountsList, &QTreeWidget::itemSelectionChanged, this,
            &TAccountsPage::FollowSelection);

    std::string failure;
    if (!store_.Load(&failure)) {
        ShowProblem(QString::fromStdString(failure));
        AddBtn->setEnabled(false);
    }
    ShowAccounts();
}

void TAccountsPage::ShowAccounts(const QString& select) {
    AccountsList->clear();
    for (const UserAccount& account : store_.Accounts()) {
        auto* item = new QTreeWidgetItem(
            AccountsList, {QString::fromStdString(account.name), UserRoleName(account.role)});
        if (item->text(0) == select) AccountsList->setCurrentItem(item);
    }
    FollowSelection();
}

QString TAccountsPage::Selected() const {
    const QTreeWidgetItem* item = AccountsList->currentItem();
    return item && item->isSelected() ? item->text(0) : QString();
}

void TAccountsPage::FollowSelection() {
    const QString name = Selected();
    const bool editable = AddBtn->isEnabled() && !name.isEmpty();
    RemoveBtn->setEnabled(editable);
    RoleBtn->setEnabled(editable);
    const auto role = store_.RoleOf(name.toStdString());
    RoleBtn->setText(role == UserRole::Operator ? QStringLiteral("Make &Viewer")
                                                : QStringLiteral("Make Opera&tor"));
}

void TAccountsPage::AddBtnClick() {
    TAddAccountDlg dialog(this, store_);
    if (dialog.exec() != QDialog::Accepted) return;
    ShowProblem({});
    ShowAccounts(dialog.NameEdit->text());
}

void TAccountsPage::RemoveBtnClick() {
    const QString name = Selected();
    if (name.isEmpty()) return;
    const auto answer = QMessageBox::question(
        this, QStringLiteral("Remove Account"),
        QStringLiteral("Remove the account \"%1\"? It can no longer sign in.").arg(name));
    if (answer != QMessageBox::Yes) return;
    store_.Remove(name.toStdString());
    SaveChange(name);
}

void TAccountsPage::RoleBtnClick() {
    const QString name = Selected();
    const auto role = store_.RoleOf(name.toStdString());
    if (!role) return;
    store_.SetRole(name.toStdString(),
                   *role == UserRole::Operator ? UserRole::Viewer : UserRole::Operator);
    SaveChange(name);
}

void TAccountsPage::SaveChange(const QString& select) {
    std::string failure;
    if (store_.Save(&failure)) {
        ShowProblem({});
    } else {
        // The list shows what the file holds, not a change that did not reach it.
        ShowProblem(QStringLiteral("The accounts file was not written: ") +
                    QString::fromStdString(failure) + '.');
        store_.Load();
    }
    ShowAccounts(select);
}

void TAccountsPage::ShowProblem(const QString& problem) {
    ProblemLabel->setText(problem);
    ProblemLabel->setVisible(!problem.isEmpty());
}
