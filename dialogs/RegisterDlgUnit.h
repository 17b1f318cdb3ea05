#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <string>

#include "monitoring/DeviceRecord.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The register/edit device dialog. Its context record is how devices are described to the
// device table, by the dialog, the configuration load, the network search and the list's
// check boxes.
//
// The dialog writes the context only when the user's input has passed every check; the
// address it writes is dotted decimal without leading zeros, so that one device has one
// spelling (address parsers read "010" as octal, or not at all).
class TRegisterDlg : public QDialog {
public:
    using Context = DeviceContext;
    // Whether a name or an address may be given to the device being registered or edited:
    // false when another registered device already has it.
    using FreeCheck = std::function<bool(const std::string&)>;

    TRegisterDlg(QWidget* owner, Context* context, FreeCheck isNameFree, FreeCheck isAddressFree);

    void Ip1EditChange() { OctetEditChange(0); }
    void Ip2EditChange() { OctetEditChange(1); }
    void Ip3EditChange() { OctetEditChange(2); }
    void Ip4EditChange() { OctetEditChange(3); }
    void OkBtn1Click();

    // ---- controls (named as on the form) ----
    QLabel* TitleLabel = nullptr;
    QLabel* StaticText = nullptr;
    QLabel* EditImage = nullptr;
    QLabel* RegisterImage = nullptr;
    QLabel* NameLabel = nullptr;
    QLineEdit* DeviceNameEdit = nullptr;
    QLabel* IpAddrLabel = nullptr;
    QLineEdit* IpAddrEdit = nullptr;
    QLineEdit* Ip1Edit = nullptr;
    QLineEdit* Ip2Edit = nullptr;
    QLineEdit* Ip3Edit = nullptr;
    QLineEdit* Ip4Edit = nullptr;
    QCheckBox* EnableAvloCheckBox = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

    QString LastOctetText[4];

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void BuildControls();
    void PlaceOctetFields();
    void OctetEditChange(int k);
    QLineEdit* OctetEdit(int k) const;
    void ShowOctetMenu(int k, const QPoint& globalPos);
    void PasteIntoOctet(int k, const QString& text);
    // Shows the error box and puts the focus where the user has to mend the input.
    void Refuse(QWidget* focus, const QString& text);

    Context* context_;
    FreeCheck isNameFree_;
    FreeCheck isAddressFree_;
    bool restoring_ = false;  // an octet field is being put back: no second round of filtering
};
