#include "dialogs/AdvancedEmailSettingsDlgUnit.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "dialogs/DialogParts.h"
#include "platform/Clock.h"

// The resource initialiser lives outside any namespace, as Qt's macro requires.
static void LoadAdvancedEmailPictures() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(AdvancedEmailSettingsDlgUnit);
        return true;
    }();
    (void)loaded;
}

namespace {

const char* const DateFrame = "       /       /         ";

// A whole integer, as the date fields take it: an optional sign and decimal digits.
std::optional<int> IntegerValue(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || text.trimmed() != text) return std::nullopt;
    return value;
}

QLineEdit* NamedEdit(QWidget* parent, const char* name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

QLabel* BuddyLabel(QWidget* parent, const char* name, const char* text, QWidget* buddy) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    if (buddy) label->setBuddy(buddy);
    return label;
}

// A group's blue title beside its picture.
QLayout* GroupTitle(QWidget* parent, const QString& title, const QString& picture) {
    auto* row = new QHBoxLayout;
    auto* image = new QLabel(parent);
    image->setPixmap(RenderPicture(picture, QSize(32, 32)));
    row->addWidget(image);
    row->addWidget(Heading(parent, title, true));
    row->addStretch();
    return row;
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

std::string Text(const QLineEdit* edit) {
    return edit->text().toStdString();
}

}  // namespace

TAdvancedEmailDlg::TAdvancedEmailDlg(QWidget* owner, Context* context)
    : QDialog(owner), context_(context) {
    LoadAdvancedEmailPictures();
    setObjectName(QStringLiteral("AdvancedEmailDlg"));
    setWindowTitle(QStringLiteral("Advanced E-mail Settings"));
    SetFixedDialogFrame(*this);

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(BuildCustomerGroup());
    layout->addSpacing(6);
    layout->addWidget(BuildInstallerGroup());
    layout->addSpacing(6);
    OkBtn = NamedButton(this, "OkBtn", "&OK");
    CancelBtn = NamedButton(this, "CancelBtn", "&Cancel");
    OkBtn->setDefault(true);
    layout->addLayout(ButtonRow({OkBtn, CancelBtn}));

    if (context_) {
        CustomerDetailsCheckBox->setChecked(context_->Customer);
        CustomerNameEdit->setText(Text(context_->CustomerName));
        if (context_->ByEmail) EmailNotificationRadioButton->setChecked(true);
        PhoneNrEdit->setText(Text(context_->CustomerPhone));
        InstallerDetailsCheckBox->setChecked(context_->Installer);
        InstallerNameEdit->setText(Text(context_->InstallerName));
        DayEdit->setText(Text(context_->InstallDay));
        MonthEdit->setText(Text(context_->InstallMonth));
        YearEdit->setText(Text(context_->InstallYear));
    }
    LastDayText = DayEdit->text();
    LastMonthText = MonthEdit->text();
    LastYearText = YearEdit->text();
    MarkDateField(DayEdit, IntegerValue(LastDayText), 32);
    MarkDateField(MonthEdit, IntegerValue(LastMonthText), 13);
    CustomerDetailsCheckBoxClick();
    EnableInstallerGroup();

    connect(CustomerDetailsCheckBox, &QCheckBox::clicked, this,
            &TAdvancedEmailDlg::CustomerDetailsCheckBoxClick);
    connect(InstallerDetailsCheckBox, &QCheckBox::clicked, this,
            &TAdvancedEmailDlg::InstallerDetailsCheckBoxClick);
    connect(DayEdit, &QLineEdit::textChanged, this, &TAdvancedEmailDlg::DayEditChange);
    connect(MonthEdit, &QLineEdit::textChanged, this, &TAdvancedEmailDlg::MonthEditChange);
    connect(YearEdit, &QLineEdit::textChanged, this, &TAdvancedEmailDlg::YearEditChange);
    connect(OkBtn, &QPushButton::clicked, this, &TAdvancedEmailDlg::OKBtn1Click);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

// A group of the form: its blue title beside its picture, the check box that switches it, and
// its controls, indented below the box.
QWidget* TAdvancedEmailDlg::Group(const QString& title, const QString& picture, QCheckBox* box,
                                  QGridLayout* controls) {
    auto* group = new QWidget(this);
    auto* layout = new QVBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(GroupTitle(group, title, picture));
    layout->addWidget(box);
    controls->setContentsMargins(24, 0, 0, 0);
    layout->addLayout(controls);
    return group;
}

QWidget* TAdvancedEmailDlg::BuildCustomerGroup() {
    CustomerDetailsCheckBox =
        NamedCheckBox(this, "CustomerDetailsCheckBox",
                      "Include cu&stomer's contact details in the e-mail notifications");
    CustomerNameEdit = NamedEdit(this, "CustomerNameEdit");
    CustomerNameLabel =
        BuddyLabel(this, "CustomerNameLabel", "Customer's &Name:", CustomerNameEdit);
    MethodOfContactLabel =
        BuddyLabel(this, "MethodOfContactLabel", "Preffered Method of Contact:", nullptr);
    EmailNotificationRadioButton = new QRadioButton(QStringLiteral("&E-Mail"), this);
    EmailNotificationRadioButton->setObjectName(QStringLiteral("EmailNotificationRadioButton"));
    PhoneNotificationRadioButton = new QRadioButton(QStringLiteral("Te&lephone"), this);
    PhoneNotificationRadioButton->setObjectName(QStringLiteral("PhoneNotificationRadioButton"));
    PhoneNotificationRadioButton->setChecked(true);
    PhoneNrEdit = NamedEdit(this, "PhoneNrEdit");
    PhoneNrLabel = BuddyLabel(this, "PhoneNrLabel", "&Telephone Number:", PhoneNrEdit);

    auto* grid = new QGridLayout;
    grid->addWidget(CustomerNameLabel, 0, 0);
    grid->addWidget(CustomerNameEdit, 0, 1, 1, 2);
    grid->addWidget(MethodOfContactLabel, 1, 0);
    grid->addWidget(EmailNotificationRadioButton, 1, 1);
    grid->addWidget(PhoneNotificationRadioButton, 1, 2);
    grid->addWidget(PhoneNrLabel, 2, 0);
    grid->addWidget(PhoneNrEdit, 2, 1, 1, 2);
    return Group(QStringLiteral("Customer's Contact Details"),
                 QStringLiteral(":/dialogs/pictures/customer.svg"), CustomerDetailsCheckBox, grid);
}

QWidget* TAdvancedEmailDlg::BuildInstallerGroup() {
    InstallerDetailsCheckBox =
        NamedCheckBox(this, "InstallerDetailsCheckBox",
                      "Incl&ude installer's details in the e-mail notifications");
    InstallerNameEdit = NamedEdit(this, "InstallerNameEdit");
    InstallerNameLabel =
        BuddyLabel(this, "InstallerNameLabel", "&Installer's Name:", InstallerNameEdit);
    QWidget* dateBox = BuildDateBox();
    InstallationDateLabel =
        BuddyLabel(this, "InstallationDateLabel", "Installation &Date (dd/mm/yy):", DayEdit);

    auto* grid = new QGridLayout;
    grid->addWidget(InstallerNameLabel, 0, 0);
    grid->addWidget(InstallerNameEdit, 0, 1);
    grid->addWidget(InstallationDateLabel, 1, 0);
    grid->addWidget(dateBox, 1, 1, Qt::AlignLeft);
    return Group(QStringLiteral("Installer's Details"),
                 QStringLiteral(":/dialogs/pictures/installer.svg"), InstallerDetailsCheckBox,
                 grid);
}

// The frame "  /  /  " with the three small fields laid over its gaps.
QWidget* TAdvancedEmailDlg::BuildDateBox() {
    auto* box = new QWidget(this);
    DateEdit = NamedEdit(box, "DateEdit");
    DateEdit->setText(QString::fromLatin1(DateFrame));
    DateEdit->setReadOnly(true);
    DateEdit->setFocusPolicy(Qt::NoFocus);
    const QFontMetrics metrics(DateEdit->font());
    const QString frame = QString::fromLatin1(DateFrame);
    // Where the field draws its text: inside its frame and the line edit's own margin.
    const int textLeft = DateEdit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 2;
    const int firstSlash = textLeft + metrics.horizontalAdvance(frame.left(frame.indexOf('/')));
    const int secondSlash =
        textLeft + metrics.horizontalAdvance(frame.left(frame.lastIndexOf('/')));
    const int slashWidth = metrics.horizontalAdvance(QLatin1Char('/'));
    const int width = textLeft * 2 + metrics.horizontalAdvance(frame);
    const int height = DateEdit->sizeHint().height();
    box->setFixedSize(width, height);
    DateEdit->setGeometry(0, 0, width, height);

    const int gap = 2;
    const int gaps[3][2] = {{textLeft, firstSlash - gap},
                            {firstSlash + slashWidth + gap, secondSlash - gap},
                            {secondSlash + slashWidth + gap, width - textLeft}};
    QLineEdit** fields[3] = {&DayEdit, &MonthEdit, &YearEdit};
    const char* const names[3] = {"DayEdit", "MonthEdit", "YearEdit"};
    for (int i = 0; i < 3; ++i) {
        QLineEdit* edit = NamedEdit(box, names[i]);
        edit->setFrame(false);
        edit->setMaxLength(2);
        edit->setAlignment(Qt::AlignCenter);
        edit->setGeometry(gaps[i][0], 3, gaps[i][1] - gaps[i][0], height - 6);
        edit->installEventFilter(this);
        edit->raise();
        *fields[i] = edit;
    }
    return box;
}

bool TAdvancedEmailDlg::eventFilter(QObject* watched, QEvent* event) {
    // Entering a date field selects its text, so that typing replaces it.
    if (event->type() == QEvent::FocusIn) {
        if (auto* edit = qobject_cast<QLineEdit*>(watched)) {
            QTimer::singleShot(0, edit, &QLineEdit::selectAll);
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TAdvancedEmailDlg::SetGroupEnabled(const std::initializer_list<QWidget*>& group, bool on) {
    const QPalette standard = QApplication::palette(this);
    const QColor background = on ? standard.color(QPalette::Active, QPalette::Base)
                                 : standard.color(QPalette::Active, QPalette::Midlight);
    for (QWidget* widget : group) {
        widget->setEnabled(on);
        if (!qobject_cast<QLineEdit*>(widget)) continue;
        QPalette palette = widget->palette();
        for (const QPalette::ColorGroup g :
             {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setColor(g, QPalette::Base, background);
        }
        widget->setPalette(palette);
    }
}

void TAdvancedEmailDlg::CustomerDetailsCheckBoxClick() {
    SetGroupEnabled(
        {CustomerNameEdit, PhoneNrEdit, EmailNotificationRadioButton, PhoneNotificationRadioButton,
         CustomerNameLabel, MethodOfContactLabel, PhoneNrLabel},
        CustomerDetailsCheckBox->isChecked());
}

void TAdvancedEmailDlg::EnableInstallerGroup() {
    SetGroupEnabled({InstallerNameEdit, DayEdit, MonthEdit, YearEdit, DateEdit, InstallerNameLabel,
                     InstallationDateLabel},
                    InstallerDetailsCheckBox->isChecked());
}

void TAdvancedEmailDlg::InstallerDetailsCheckBoxClick() {
    EnableInstallerGroup();
    // Whether the box was checked or cleared: an installation date nobody typed is today's.
    if (DayEdit->text().isEmpty() && MonthEdit->text().isEmpty() && YearEdit->text().isEmpty()) {
        const LocalDateTime today = LocalNow();
        char text[16];
        std::snprintf(text, sizeof text, "%02i", today.day);
        DayEdit->setText(QString::fromLatin1(text));
        std::snprintf(text, sizeof text, "%02i", today.month);
        MonthEdit->setText(QString::fromLatin1(text));
        std::snprintf(text, sizeof text, "%02i", today.year - 2000);
        YearEdit->setText(QString::fromLatin1(text));
    }
}

std::optional<int> TAdvancedEmailDlg::FilterDateField(QLineEdit* edit, QString& lastText) {
    if (!edit->text().isEmpty() && !IntegerValue(edit->text())) {
        const QSignalBlocker quiet(edit);
        edit->setText(lastText);
    }
    lastText = edit->text();
    return lastText.isEmpty() ? std::nullopt : IntegerValue(lastText);
}

void TAdvancedEmailDlg::MarkDateField(QLineEdit* edit, const std::optional<int>& value, int limit) {
    if (!value) return;
    QPalette palette = edit->palette();
    const QColor text = *value < limit
                            ? QApplication::palette(edit).color(QPalette::Active, QPalette::Text)
                            : QColor(Qt::red);
    for (const QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(g, QPalette::Text, text);
    }
    edit->setPalette(palette);
}

// Only typing moves on: the date the installer box fills in is set, not typed (setText clears
// the modified mark), and taking the focus then would send the user's next keys into the year.
void TAdvancedEmailDlg::HandOnWhenFull(QLineEdit* edit, QLineEdit* next) {
    if (edit->isModified() && edit->text().size() == 2) next->setFocus();
}

void TAdvancedEmailDlg::DayEditChange() {
    MarkDateField(DayEdit, FilterDateField(DayEdit, LastDayText), 32);
    HandOnWhenFull(DayEdit, MonthEdit);
}

void TAdvancedEmailDlg::MonthEditChange() {
    MarkDateField(MonthEdit, FilterDateField(MonthEdit, LastMonthText), 13);
    HandOnWhenFull(MonthEdit, YearEdit);
}

void TAdvancedEmailDlg::YearEditChange() {
    FilterDateField(YearEdit, LastYearText);
}

void TAdvancedEmailDlg::OKBtn1Click() {
    if (context_) {
        context_->Customer = CustomerDetailsCheckBox->isChecked();
        context_->CustomerName = Text(CustomerNameEdit);
        context_->ByEmail = EmailNotificationRadioButton->isChecked();
        context_->CustomerPhone = Text(PhoneNrEdit);
        context_->Installer = InstallerDetailsCheckBox->isChecked();
        context_->InstallerName = Text(InstallerNameEdit);
        context_->InstallDay = Text(DayEdit);
        context_->InstallMonth = Text(MonthEdit);
        context_->InstallYear = Text(YearEdit);
    }
    accept();
}
