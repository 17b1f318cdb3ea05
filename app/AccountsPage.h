#pragma once

#include <QWidget>

class CUserStore;
class QLabel;
class QPushButton;
class QTreeWidget;

// The web access accounts in the options dialog: the list with each account's role, and
// Add, Remove and the change of role. Each change is written to the accounts file at once, as
// the account commands of the program do; Cancel of the dialog does not take it back.
class TAccountsPage : public QWidget {
public:
    // The store is loaded here; one the file of which is refused is shown with the reason and
    // cannot be changed, so that the file is not written over with an empty list.
    TAccountsPage(QWidget* parent, CUserStore& store);

    void AddBtnClick();
    void RemoveBtnClick();
    void RoleBtnClick();

    QTreeWidget* AccountsList = nullptr;
    QPushButton* AddBtn = nullptr;
    QPushButton* RemoveBtn = nullptr;
    QPushButton* RoleBtn = nullptr;
    QLabel* ProblemLabel = nullptr;

private:
    void ShowAccounts(const QString& select = {});
    void FollowSelection();
    QString Selected() const;
    // After a change in the store: writes it, and shows why when that failed.
    void SaveChange(const QString& select);
    void ShowProblem(const QString& problem);

    CUserStore& store_;
};
