#pragma once

#include <QDialog>
#include <QString>
#include <optional>

#include "monitoring/Settings.h"

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The advanced e-mail settings dialog: the customer's and installer's details that alert
// e-mails carry. It only guides the typing of the installation date; OK stores every field as
// typed, Cancel nothing.
class TAdvancedEmailDlg : public QDialog {
public:
    using Context = AdvancedEmail_Type;

    TAdvancedEmailDlg(QWidget* owner, Context* context);

    void CustomerDetailsCheckBoxClick();
    void InstallerDetailsCheckBoxClick();
    void DayEditChange();
    void MonthEditChange();
    void YearEditChange();
    void OKBtn1Click();

    QCheckBox* CustomerDetailsCheckBox = nullptr;
    QLabel* CustomerNameLabel = nullptr;
    QLineEdit* CustomerNameEdit = nullptr;
    QLabel* MethodOfContactLabel = nullptr;
    QRadioButton* EmailNotificationRadioButton = nullptr;
    QRadioButton* PhoneNotificationRadioButton = nullptr;
    QLabel* PhoneNrLabel = nullptr;
    QLineEdit* PhoneNrEdit = nullptr;
    QCheckBox* InstallerDetailsCheckBox = nullptr;
    QLabel* InstallerNameLabel = nullptr;
    QLineEdit* InstallerNameEdit = nullptr;
    QLabel* InstallationDateLabel = nullptr;
    QLineEdit* DateEdit = nullptr;
    QLineEdit* DayEdit = nullptr;
    QLineEdit* MonthEdit = nullptr;
    QLineEdit* YearEdit = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

    QString LastDayText;
    QString LastMonthText;
    QString LastYearText;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* Group(const QString& title, const QString& picture, QCheckBox* box,
                   QGridLayout* controls);
    QWidget* BuildCustomerGroup();
    QWidget* BuildInstallerGroup();
    QWidget* BuildDateBox();
    // Steps common to the three date fields: a text that is no integer is put back to the last
    // accepted one. Returns the field's value when it holds one.
    std::optional<int> FilterDateField(QLineEdit* edit, QString& lastText);
    // A day or month out of range shows red.
    static void MarkDateField(QLineEdit* edit, const std::optional<int>& value, int limit);
    static void HandOnWhenFull(QLineEdit* edit, QLineEdit* next);
    void EnableInstallerGroup();
    void SetGroupEnabled(const std::initializer_list<QWidget*>& group, bool on);

    Context* context_;
};
