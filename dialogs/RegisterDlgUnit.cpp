// The register/edit device dialog: a name and an IPv4 address typed by hand, in four octet
// fields that take digits only.
#include "dialogs/RegisterDlgUnit.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <algorithm>
#include <optional>

#include "platform/MessageBox.h"

// The pictures live in a static library: nothing links their resource file in unless it is
// named (from the global namespace, as the macro requires).
static void InitRegisterDlgResources() {
    Q_INIT_RESOURCE(RegisterDlgUnit);
}

namespace {

const QString kNameMissing =
    QStringLiteral("The Velkan device must be given a name.\r\nEnter a name, then try again.");
const QString kAddressIncomplete = QStringLiteral(
    "The IP address of the Velkan device is incomplete.\r\n"
    "Check the four sections of the IP address, then try again.");
const QString kOctetTooLarge = QStringLiteral(
    "The value of any field of the IP address must not exceed 255.\r\n"
    "Check the IP address, then try again.");

// The frame of the address: the three dots sit where the octet fields leave gaps.
const QString kAddressFrame = QStringLiteral("         .          .          .");

constexpr int kPictureSize = 48;
constexpr int kPictureTop = 28;

bool IsDigits(const QString& text) {
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    }
    return true;
}

// The four octets of an address as it is copied from elsewhere ("10.0.0.5", blanks and line
// ends around it allowed); none when the text is anything else.
std::optional<QStringList> PastedAddress(const QString& text) {
    const QStringList parts = text.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4) return std::nullopt;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3 || !IsDigits(part) || part.toInt() > 255) {
            return std::nullopt;
        }
    }
    return parts;
}

// Blanks and control characters at either end are never part of a name.
QString TrimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first).unicode() <= 0x20) ++first;
    while (last > first && text.at(last - 1).unicode() <= 0x20) --last;
    return text.mid(first, last - first);
}

QLabel* Picture(QWidget* parent, const char* name, const QString& resource) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setPixmap(QIcon(resource).pixmap(kPictureSize, kPictureSize));
    label->setGeometry(12, kPictureTop, kPictureSize, kPictureSize);
    return label;
}

}  // namespace

TRegisterDlg::TRegisterDlg(QWidget* owner, Context* context, FreeCheck isNameFree,
                           FreeCheck isAddressFree)
    : QDialog(owner),
      context_(context),
      isNameFree_(std::move(isNameFree)),
      isAddressFree_(std::move(isAddressFree)) {
    InitRegisterDlgResources();
    BuildControls();

    if (context_->RegisterMode) {
        RegisterImage->move(12, kPictureTop);
        RegisterImage->show();
        EditImage->hide();
    } else {
        setWindowTitle(QStringLiteral("Edit : ") + QString::fromStdString(context_->Name));
        DeviceNameEdit->setText(QString::fromStdString(context_->Name));
        EnableAvloCheckBox->setChecked(context_->AvloEnabled);
        OkBtn->setText(QStringLiteral("&OK"));
        StaticText->setText(MessageBoxSeam::ForDisplay(
            QStringLiteral("Enter a name and an IP address of the Velkan\r\n"
                           "device that you wish to register. Press \"OK\"\r\n"
                           "to have the device registered.")));
        // Through the fields' own filtering, so that text from a file that is no number
        // (a host name, say) does not come into the octet fields.
        const QStringList parts =
            QString::fromStdString(context_->IpAddress).split(QLatin1Char('.'));
        if (!context_->IpAddress.empty()) {
            for (int k = 0; k < 4 && k < parts.size(); ++k) {
                OctetEdit(k)->setText(k < 3 ? parts[k] : parts.mid(3).join(QLatin1Char('.')));
            }
        }
    }
    for (int k = 0; k < 4; ++k) LastOctetText[k] = OctetEdit(k)->text();
    DeviceNameEdit->setFocus();
}

void TRegisterDlg::BuildControls() {
    setWindowTitle(QStringLiteral("Register Device"));
    // A fixed single border with the system menu only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    QFont face(QStringLiteral("Tahoma"));
    face.setPointSize(8);
    setFont(face);
    setFixedSize(344, 228);

    TitleLabel = new QLabel(QStringLiteral("Details of Velkan Device "), this);
    TitleLabel->setObjectName(QStringLiteral("TitleLabel"));
    QFont bold = font();
    bold.setBold(true);
    TitleLabel->setFont(bold);
    QPalette blue = TitleLabel->palette();
    blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
    TitleLabel->setPalette(blue);
    TitleLabel->move(12, 8);
    TitleLabel->adjustSize();

    StaticText = new QLabel(MessageBoxSeam::ForDisplay(QStringLiteral(
                                "Enter a name and an IP address for the Velkan \r\n"
                                "device you wish to register. Press \"Register\" \r\n"
                                "to have the device registered.")),
                            this);
    StaticText->setObjectName(QStringLiteral("StaticText"));
    StaticText->setTextFormat(Qt::PlainText);
    StaticText->setGeometry(72, kPictureTop, 260, 52);
    StaticText->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    EditImage = Picture(this, "EditImage", QStringLiteral(":/register/edit-device.svg"));
    RegisterImage =
        Picture(this, "RegisterImage", QStringLiteral(":/register/register-device.svg"));
    RegisterImage->hide();

    DeviceNameEdit = new QLineEdit(this);
    DeviceNameEdit->setObjectName(QStringLiteral("DeviceNameEdit"));
    DeviceNameEdit->setGeometry(104, 94, 228, 21);
    NameLabel = new QLabel(QStringLiteral("&Name:"), this);
    NameLabel->setObjectName(QStringLiteral("NameLabel"));
    NameLabel->setBuddy(DeviceNameEdit);
    NameLabel->setGeometry(20, 94, 80, 21);

    IpAddrEdit = new QLineEdit(kAddressFrame, this);
    IpAddrEdit->setObjectName(QStringLiteral("IpAddrEdit"));
    IpAddrEdit->setReadOnly(true);
    IpAddrEdit->setEnabled(false);
    IpAddrEdit->setFocusPolicy(Qt::NoFocus);
    IpAddrEdit->setFont(bold);
    // Disabled only so that it never takes the focus or a click: it reads as the one field
    // the four octets make up, dots in the text colour on the usual white.
    QPalette frame = IpAddrEdit->palette();
    frame.setColor(QPalette::Disabled, QPalette::Base,
                   frame.color(QPalette::Active, QPalette::Base));
    frame.setColor(QPalette::Disabled, QPalette::Text,
                   frame.color(QPalette::Active, QPalette::WindowText));
    IpAddrEdit->setPalette(frame);
    IpAddrEdit->setGeometry(104, 124, QFontMetrics(bold).horizontalAdvance(kAddressFrame) + 36, 21);
    IpAddrLabel = new QLabel(QStringLiteral("IP &Address:"), this);
    IpAddrLabel->setObjectName(QStringLiteral("IpAddrLabel"));
    IpAddrLabel->setGeometry(20, 124, 80, 21);

    QLineEdit** octets[4] = {&Ip1Edit, &Ip2Edit, &Ip3Edit, &Ip4Edit};
    for (int k = 0; k < 4; ++k) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("Ip%1Edit").arg(k + 1));
        edit->setMaxLength(3);
        edit->setAlignment(Qt::AlignCenter);
        edit->setFrame(false);
        *octets[k] = edit;
    }
    IpAddrLabel->setBuddy(Ip1Edit);
    PlaceOctetFields();
    connect(Ip1Edit, &QLineEdit::textChanged, this, &TRegisterDlg::Ip1EditChange);
    connect(Ip2Edit, &QLineEdit::textChanged, this, &TRegisterDlg::Ip2EditChange);
    connect(Ip3Edit, &QLineEdit::textChanged, this, &TRegisterDlg::Ip3EditChange);
    connect(Ip4Edit, &QLineEdit::textChanged, this, &TRegisterDlg::Ip4EditChange);
    for (int k = 0; k < 4; ++k) OctetEdit(k)->installEventFilter(this);

    EnableAvloCheckBox = new QCheckBox(QStringLiteral("&Enable AVLO for this device"), this);
    EnableAvloCheckBox->setObjectName(QStringLiteral("EnableAvloCheckBox"));
    EnableAvloCheckBox->setChecked(true);
    EnableAvloCheckBox->setGeometry(104, 154, 228, 21);

    OkBtn = new QPushButton(QStringLiteral("&Register"), this);
    OkBtn->setObjectName(QStringLiteral("OkBtn"));
    OkBtn->setDefault(true);
    OkBtn->setGeometry(170, 192, 78, 25);
    CancelBtn = new QPushButton(QStringLiteral("&Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setGeometry(254, 192, 78, 25);
    connect(OkBtn, &QPushButton::clicked, this, &TRegisterDlg::OkBtn1Click);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(DeviceNameEdit, Ip1Edit);
    setTabOrder(Ip1Edit, Ip2Edit);
    setTabOrder(Ip2Edit, Ip3Edit);
    setTabOrder(Ip3Edit, Ip4Edit);
    setTabOrder(Ip4Edit, EnableAvloCheckBox);
    setTabOrder(EnableAvloCheckBox, OkBtn);
    setTabOrder(OkBtn, CancelBtn);
}

// Each octet field covers the gap between two dots of the frame's text.
void TRegisterDlg::PlaceOctetFields() {
    const QFontMetrics metrics(IpAddrEdit->font());
    const QRect outer = IpAddrEdit->geometry();
    const int inset = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, IpAddrEdit) + 1;
    // Where the line edit starts drawing its text: inside the frame, after its own margin.
    const int textLeft = outer.left() + inset + 1;
    const int dotWidth = metrics.horizontalAdvance(QLatin1Char('.'));
    int left = outer.left() + inset;
    qsizetype from = 0;
    for (int k = 0; k < 4; ++k) {
        const qsizetype dot = kAddressFrame.indexOf(QLatin1Char('.'), from);
        const int right = dot >= 0
                              ? textLeft + metrics.horizontalAdvance(kAddressFrame.left(dot)) - 1
                              : outer.right() - inset;
        OctetEdit(k)->setGeometry(left, outer.top() + inset, right - left,
                                  outer.height() - 2 * inset);
        if (dot < 0) break;
        left = textLeft + metrics.horizontalAdvance(kAddressFrame.left(dot)) + dotWidth + 1;
        from = dot + 1;
    }
}

QLineEdit* TRegisterDlg::OctetEdit(int k) const {
    switch (k) {
        case 0:
            return Ip1Edit;
        case 1:
            return Ip2Edit;
        case 2:
            return Ip3Edit;
        default:
            return Ip4Edit;
    }
}

void TRegisterDlg::OctetEditChange(int k) {
    if (restoring_) return;
    QLineEdit* edit = OctetEdit(k);
    bool dotTyped = false;
    if (!edit->text().isEmpty() && !IsDigits(edit->text())) {
        // Whatever is not a digit is refused; a dot is the user's way to say "next octet".
        dotTyped = k < 3 && edit->text().contains(QLatin1Char('.'));
        const int cursor = edit->cursorPosition();
        restoring_ = true;
        edit->setText(LastOctetText[k]);
        restoring_ = false;
        edit->setCursorPosition(std::max(0, cursor - 1));
    }
    const QString text = edit->text();
    LastOctetText[k] = text;
    if (text.isEmpty()) return;
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Text, text.toInt() < 256
                                         ? this->palette().color(QPalette::WindowText)
                                         : QColor(Qt::red));
    edit->setPalette(palette);
    if (k < 3 && (text.size() == 3 || dotTyped)) {
        QLineEdit* next = OctetEdit(k + 1);
        next->setFocus();
        next->selectAll();
    }
}

// The octet fields' own paste would cut an address to its first three characters; and a
// field that is empty has nothing to delete, so Backspace goes back to the one before.
bool TRegisterDlg::eventFilter(QObject* watched, QEvent* e) {
    int k = 0;
    while (k < 4 && OctetEdit(k) != watched) ++k;
    if (k == 4) return QDialog::eventFilter(watched, e);
    QLineEdit* edit = OctetEdit(k);
    switch (e->type()) {
        case QEvent::KeyPress: {
            const auto* key = static_cast<QKeyEvent*>(e);
            if (key->matches(QKeySequence::Paste)) {
                PasteIntoOctet(k, QGuiApplication::clipboard()->text());
                return true;
            }
            if (key->key() != Qt::Key_Backspace || k == 0 || !edit->text().isEmpty()) break;
            QLineEdit* previous = OctetEdit(k - 1);
            previous->setFocus();
            previous->deselect();
            previous->end(false);
            return true;
        }
        case QEvent::ContextMenu:
            ShowOctetMenu(k, static_cast<QContextMenuEvent*>(e)->globalPos());
            return true;
        case QEvent::MouseButtonRelease: {
            // X11's middle-button paste of the selected text.
            QClipboard* clipboard = QGuiApplication::clipboard();
            if (static_cast<QMouseEvent*>(e)->button() != Qt::MiddleButton ||
                !clipboard->supportsSelection()) {
                break;
            }
            PasteIntoOctet(k, clipboard->text(QClipboard::Selection));
            return true;
        }
        default:
            break;
    }
    return QDialog::eventFilter(watched, e);
}

// The field's usual menu, whose Paste goes the octet fields' way.
void TRegisterDlg::ShowOctetMenu(int k, const QPoint& globalPos) {
    QLineEdit* edit = OctetEdit(k);
    QMenu* menu = edit->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (QAction* paste : menu->actions()) {
        // Newer Qt names the entry; older Qt only gives it the field's own caption.
        if (paste->objectName() != QLatin1String("edit-paste") &&
            !paste->text().startsWith(QLineEdit::tr("&Paste"))) {
            continue;
        }
        paste->disconnect(edit);  // the field's own paste
        connect(paste, &QAction::triggered, this,
                [this, k] { PasteIntoOctet(k, QGuiApplication::clipboard()->text()); });
    }
    menu->popup(globalPos);
}

// A whole address fills the four fields, wherever it is pasted; digits go into the field as
// typed ones do; anything else is refused and the fields keep what they have.
void TRegisterDlg::PasteIntoOctet(int k, const QString& text) {
    if (const std::optional<QStringList> octets = PastedAddress(text)) {
        for (int i = 0; i < 4; ++i) OctetEdit(i)->setText(octets->at(i));
        Ip4Edit->setFocus();
        Ip4Edit->deselect();
        Ip4Edit->end(false);
        return;
    }
    const QString digits = text.trimmed();
    if (!digits.isEmpty() && IsDigits(digits)) OctetEdit(k)->insert(digits);
}

void TRegisterDlg::Refuse(QWidget* focus, const QString& text) {
    ShowMessage(this, MsgKind::Error, QStringLiteral("AVLO Monitor"), text);
    focus->setFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(focus)) edit->selectAll();
}

void TRegisterDlg::OkBtn1Click() {
    const QString name = TrimBlanks(DeviceNameEdit->text());
    if (name.isEmpty()) return Refuse(DeviceNameEdit, kNameMissing);

    QStringList octets;
    for (int k = 0; k < 4; ++k) {
        QLineEdit* edit = OctetEdit(k);
        if (edit->text().isEmpty()) return Refuse(edit, kAddressIncomplete);
        const int value = edit->text().toInt();
        if (value > 255) return Refuse(edit, kOctetTooLarge);
        // One spelling per address: "010" is stored, shown and compared as "10".
        octets << QString::number(value);
    }
    const QString address = octets.join(QLatin1Char('.'));

    // The device's own name and address are free when it is edited; the caller's checks
    // know which device that is.
    if (isNameFree_ && !isNameFree_(name.toStdString())) {
        return Refuse(DeviceNameEdit,
                      QStringLiteral("Another Velkan device has already been given the name \"") +
                          name + QStringLiteral("\".\r\nPlease enter another name."));
    }
    if (isAddressFree_ && !isAddressFree_(address.toStdString())) {
        return Refuse(
            Ip1Edit,
            QStringLiteral("A Velkan device with the \"") + address +
                QStringLiteral("\" IP address has already been registered.\r\n"
                               "It appears that you are trying to register the same device "
                               "twice.\r\n"
                               "AVLO Monitor does not allow any device to have more than one "
                               "registration."));
    }

    context_->Name = name.toStdString();
    context_->IpAddress = address.toStdString();
    context_->AvloEnabled = EnableAvloCheckBox->isChecked();
    accept();
}
