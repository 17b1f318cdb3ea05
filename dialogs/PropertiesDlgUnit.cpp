// The device properties dialog: its four tabs, how they mirror the device record, the fault
// blinking of the condition buttons, the condition window, Apply and Reset Statistics.
#include "dialogs/PropertiesDlgUnit.h"

#include <QDateTime>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <vector>

#include "comms/Mymessages.h"
#include "dialogs/MuteMenu.h"
#include "dialogs/MuteTimes.h"
#include "monitoring/MonitorCore.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/PrintableText.h"
#include "protocol/Mca.h"

// Resources of a static library are registered by name, outside any namespace.
static void InitPropertiesPictures() {
    Q_INIT_RESOURCE(PropertiesDlgUnit);
}

namespace {

constexpr int BlinkIntervalMs = 500;

// The grids of the Statistics and Summary tabs, column by column: the status flags that the
// Summary shows, the counters that the Statistics count, and the control names of each.
struct GridColumn {
    const char* head;
    std::uint8_t (DeviceStatus::*flags)[7];
    int statsBase;
    const char* errName;    // Chan<N><errName>ErrLabel
    const char* stateName;  // Chan<N><stateName>StateLabel
};
const GridColumn Columns[4] = {
    {"Fatal", &DeviceStatus::ChannelOk, StatsChanErr, "Fatal", "Fatal"},
    {"Current", &DeviceStatus::CurrentOk, StatsCurrentErr, "Ovc", "Ovcl"},
    {"Fan", &DeviceStatus::FanOk, StatsFanErr, "Fan", "Fanl"},
    {"Temp.", &DeviceStatus::TempOk, StatsTempErr, "Temp", "Templ"},
};

// The supply rails in the order of SupplyOk and of the last four counters.
struct Rail {
    const char* head;
    const char* name;  // <name>ErrLabel, <name>StateLabel
};
const Rail Rails[4] = {
    {"-5V", "Minus5V"}, {"+12V", "Plus12V"}, {"+72V (A)", "Plus72VA"}, {"+72V (B)", "Plus72VB"}};

bool ChannelFaulty(const DeviceStatus& s, int ch) {
    return s.ChannelOk[ch] == 0 || s.TempOk[ch] == 0 || s.FanOk[ch] == 0 || s.CurrentOk[ch] == 0;
}

bool SupplyFaulty(const DeviceStatus& s) {
    return s.SupplyOk[0] == 0 || s.SupplyOk[1] == 0 || s.SupplyOk[2] == 0 || s.SupplyOk[3] == 0;
}

QString Name(const char* prefix, int n, const char* suffix) {
    return QString::fromLatin1(prefix) + QString::number(n) + QString::fromLatin1(suffix);
}

// Colours for a control that is on. The disabled group stays the style's, so a control
// that is off is grey whatever it showed before: a stale "OK" in green or a faulty button in
// red would claim a state nobody knows any longer.
void SetColor(QPalette& pal, QPalette::ColorRole role, const QColor& color) {
    pal.setColor(QPalette::Active, role, color);
    pal.setColor(QPalette::Inactive, role, color);
}

void SetTextColor(QWidget* widget, const QColor& color) {
    QPalette pal = widget->palette();
    SetColor(pal, QPalette::WindowText, color);
    widget->setPalette(pal);
}

void SetButtonColors(QPushButton* button, const QColor& face, const QColor& text) {
    QPalette pal = button->palette();
    SetColor(pal, QPalette::Button, face);
    SetColor(pal, QPalette::ButtonText, text);
    button->setPalette(pal);
}

// Keeps room for the widest text a label can show, so that the dialog does not change its
// size (and move its Close button) as the texts change.
void ReserveWidth(QLabel* label, std::initializer_list<QString> texts) {
    int width = 0;
    for (const QString& text : texts)
        width = std::max(width, label->fontMetrics().size(0, text).width());
    const QMargins margins = label->contentsMargins();
    label->setMinimumWidth(width + margins.left() + margins.right() + 2);
}

// When a status arrived, in the user's local time: the time of day, with the date in front
// when it is not today's.
QString StatusMoment(std::int64_t seconds) {
    const QDateTime at = QDateTime::fromSecsSinceEpoch(seconds);
    const QDateTime now = QDateTime::fromSecsSinceEpoch(CMonitorCore::WallSeconds());
    const QString time = at.toString(QStringLiteral("HH:mm:ss"));
    return at.date() == now.date() ? time : at.toString(QStringLiteral("yyyy-MM-dd ")) + time;
}

QLabel* NewLabel(QWidget* parent, const QString& name, const QString& text) {
    auto* label = new QLabel(text, parent);
    // Values come from the device: a serial "<b>x</b>" is shown as sent, never as markup.
    label->setTextFormat(Qt::PlainText);
    if (!name.isEmpty()) label->setObjectName(name);
    return label;
}

// A serial as a label shows it: controls as "\xNN" instead of boxes or nothing.
QString SerialText(const std::string& serial) {
    return QString::fromStdString(PrintableText(serial));
}

// A value that starts disabled, as the form's value labels do until something is known.
QLabel* ValueLabel(QWidget* parent, const QString& name, const QString& text) {
    QLabel* label = NewLabel(parent, name, text);
    label->setEnabled(false);
    return label;
}

// A blue section title with its picture in front.
QWidget* Heading(QWidget* parent, const char* name, const char* picture, const QString& text) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 4, 0, 2);
    auto* icon = new QLabel(row);
    icon->setPixmap(
        QIcon(QStringLiteral(":/properties/") + QString::fromLatin1(picture)).pixmap(24, 24));
    icon->setFixedSize(24, 24);
    QLabel* title = NewLabel(row, QString::fromLatin1(name), text);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    SetTextColor(title, QColor(0, 0, 255));
    layout->addWidget(icon);
    layout->addWidget(title, 1);
    return row;
}

QWidget* AddPage(QTabWidget* pages, const char* name, const QString& caption) {
    auto* page = new QWidget(pages);
    page->setObjectName(QString::fromLatin1(name));
    pages->addTab(page, caption);
    return page;
}

QRadioButton* Radio(QWidget* parent, const QString& name, const QString& text) {
    auto* radio = new QRadioButton(text, parent);
    radio->setObjectName(name);
    radio->setEnabled(false);
    return radio;
}

// Column and row heads and the cells of a channel grid; rows start at gridRow.
void AddChannelGrid(QGridLayout* grid, QWidget* parent, QLabel* cells[4][7], bool states) {
    for (int col = 0; col < 4; ++col) {
        grid->addWidget(NewLabel(parent, QString(), QString::fromLatin1(Columns[col].head)), 0,
                        col + 1, Qt::AlignRight);
    }
    for (int ch = 0; ch < 7; ++ch) {
        grid->addWidget(
            NewLabel(parent, QString(), QStringLiteral("Channel ") + QString::number(ch + 1)),
            ch + 1, 0);
        for (int col = 0; col < 4; ++col) {
            QLabel* cell = states ? ValueLabel(parent,
                                               Name("Chan", ch + 1, Columns[col].stateName) +
                                                   QStringLiteral("StateLabel"),
                                               QStringLiteral("Unknown"))
                                  : NewLabel(parent,
                                             Name("Chan", ch + 1, Columns[col].errName) +
                                                 QStringLiteral("ErrLabel"),
                                             QStringLiteral("0"));
            cell->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            cells[col][ch] = cell;
            grid->addWidget(cell, ch + 1, col + 1);
        }
    }
}

void AddRailRow(QGridLayout* grid, QWidget* parent, QLabel* cells[4], bool states) {
    for (int rail = 0; rail < 4; ++rail) {
        grid->addWidget(NewLabel(parent, QString(), QString::fromLatin1(Rails[rail].head)), 0, rail,
                        Qt::AlignRight);
        const QString name = QString::fromLatin1(Rails[rail].name) +
                             (states ? QStringLiteral("StateLabel") : QStringLiteral("ErrLabel"));
        QLabel* cell = states ? ValueLabel(parent, name, QStringLiteral("Unknown"))
                              : NewLabel(parent, name, QStringLiteral("0"));
        cell->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        cells[rail] = cell;
        grid->addWidget(cell, 1, rail);
    }
}

// "OK" in green or "FAILURE" in red, enabled.
void ShowState(QLabel* label, bool ok) {
    label->setEnabled(true);
    label->setText(ok ? QStringLiteral("OK") : QStringLiteral("FAILURE"));
    SetTextColor(label, ok ? TPropertiesDlg::OkColor() : TPropertiesDlg::FaultColor());
}

void ShowUnknown(QLabel* label) {
    label->setText(QStringLiteral("Unknown"));
    label->setEnabled(false);
}

// Since when the Statistics tab counts. A count whose beginning nobody kept (a file from
// before the moment was kept) says so instead of claiming a moment.
QString SinceText(std::int64_t seconds, bool known) {
    const QString moment =
        QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    if (known) return QStringLiteral("Counting since ") + moment;
    return QStringLiteral("Counting since before ") + moment +
           QStringLiteral("\n(when counting began was not kept)");
}

// Routes a label's mouse events to the dialog's link handlers.
class LinkHook : public QObject {
public:
    LinkHook(QLabel* label, TPropertiesDlg* dialog) : QObject(label), dialog_(dialog) {
        label->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* e) override {
        switch (e->type()) {
            case QEvent::Enter:
                dialog_->ResetStatsLabelMouseEnter();
                break;
            case QEvent::Leave:
                dialog_->ResetStatsLabelMouseLeave();
                break;
            case QEvent::MouseButtonRelease:
                if (static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton)
                    dialog_->ResetStatsLabelClick();
                break;
            default:
                break;
        }
        return false;
    }

private:
    TPropertiesDlg* dialog_;
};

}  // namespace

TPropertiesDlg::TPropertiesDlg(QWidget* owner, bool showStatistics, DeviceRecord* device,
                               IMessageTarget* mainWindowHandle)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      showStatistics_(showStatistics) {
    InitPropertiesPictures();
    setObjectName(QStringLiteral("PropertiesDlg"));
    setWindowTitle(QStringLiteral("Properties"));
    QFont small = font();
    small.setPointSize(8);
    setFont(small);

    PageControl = new QTabWidget(this);
    PageControl->setObjectName(QStringLiteral("PageControl"));
    BuildGeneralTab();
    BuildConfigurationTab();
    BuildStatisticsTab();
    BuildSummaryTab();
    CloseBtn = new QPushButton(QStringLiteral("&Close"), this);
    CloseBtn->setObjectName(QStringLiteral("CloseBtn"));
    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(BlinkIntervalMs);

    auto* buttons = new QHBoxLayout;
    buttons->addLayout(BuildMuteRow());
    buttons->addStretch(1);
    buttons->addWidget(CloseBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl);
    layout->addWidget(MuteStateLabel);
    layout->addLayout(buttons);
    WireControls();
    ReserveWidths();

    StatusDlg = nullptr;
    Device = device;
    SelectedButton = 8;
    MainWindowHandle = mainWindowHandle;
    if (Device != nullptr)
        setWindowTitle(QStringLiteral("Properties :  ") + QString::fromStdString(Device->Name));
    PageControl->setTabVisible(PageControl->indexOf(StatisticsTab), showStatistics);
    PageControl->setTabVisible(PageControl->indexOf(SummaryTab), showStatistics);
    RefreshDevice();
    FixSize();
}

void TPropertiesDlg::ReserveWidths() {
    const CMca codec;
    const QString unknown = QStringLiteral("Unknown");
    const QString serial = QStringLiteral("00000000");
    // Seven digits: a million fault onsets is more than a device sees in its life, and room for
    // ten would make every tab half empty.
    const QString counter = QStringLiteral("9999999");
    const QString negative = QStringLiteral("-999999");
    for (QLabel* label : {ModelLabel, ModelSummaryLabel})
        ReserveWidth(label, {unknown, QString::fromLatin1(codec.ModelName(ModelRV13))});
    for (QLabel* label : {SerialNrLabel, SerialNrSummaryLabel})
        ReserveWidth(label, {unknown, serial});
    for (QLabel* label : {ModeLabel, ModeStateLabel})
        ReserveWidth(label, {unknown, QStringLiteral("Standby"), QStringLiteral("Active")});
    ReserveWidth(NetworkStatusLabel,
                 {unknown, QStringLiteral("Connecting..."), QStringLiteral("Disconnected")});
    for (QLabel* label : ChanLabel) ReserveWidth(label, {QStringLiteral("7 - Off       FAULTY")});
    ReserveWidth(StatusTimeLabel, {QStringLiteral("No status since 2000-12-31 23:59:59")});
    for (int col = 0; col < 4; ++col) {
        for (int ch = 0; ch < 7; ++ch) {
            ReserveWidth(StateLabel[col][ch], {unknown, QStringLiteral("FAILURE")});
            ReserveWidth(ErrLabel[col][ch], {counter, negative});
        }
    }
    for (int rail = 0; rail < 4; ++rail) {
        ReserveWidth(SupplyStateLabel[rail], {unknown, QStringLiteral("FAILURE")});
        ReserveWidth(SupplyErrLabel[rail], {counter, negative});
    }
    ReserveWidth(TimeOnLabel, {QStringLiteral("71582788 hr 59 min")});
    ReserveWidth(StatsSinceLabel, {SinceText(0, false)});
    ReserveWidth(MuteStateLabel, {QStringLiteral("Alerts muted until Wed 31 Dec 2099 23:59"),
                                  QStringLiteral("Alerts not muted")});
}

// One size from the first showing to the end: the widest of the tabs the user can open.
void TPropertiesDlg::FixSize() {
    for (QWidget* page : {StatisticsTab, SummaryTab}) {
        // A tab that is not shown takes no room.
        if (!showStatistics_) page->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    }
    layout()->activate();
    setFixedSize(sizeHint());
}

TPropertiesDlg::~TPropertiesDlg() {
    // Freed without the close notification: nobody is left to clear a highlight for.
    delete StatusDlg;
    StatusDlg = nullptr;
}

void TPropertiesDlg::BuildGeneralTab() {
    GeneralTab = AddPage(PageControl, "GeneralTab", QStringLiteral("&General"));
    QWidget* tab = GeneralTab;

    ModelLabel = NewLabel(tab, QStringLiteral("ModelLabel"), QStringLiteral("Unknown"));
    SerialNrLabel = NewLabel(tab, QStringLiteral("SerialNrLabel"), QStringLiteral("Unknown"));
    ModeLabel = ValueLabel(tab, QStringLiteral("ModeLabel"), QStringLiteral("Unknown"));
    NetworkStatusLabel =
        NewLabel(tab, QStringLiteral("NetworkStatusLabel"), QStringLiteral("Unknown"));

    auto* identity = new QGridLayout;
    identity->setContentsMargins(30, 0, 0, 0);
    identity->setColumnMinimumWidth(0, 90);
    // The room a wider tab leaves goes after the values, which stay beside their names.
    identity->setColumnStretch(1, 1);
    identity->addWidget(NewLabel(tab, QString(), QStringLiteral("Model:")), 0, 0);
    identity->addWidget(ModelLabel, 0, 1);
    identity->addWidget(NewLabel(tab, QString(), QStringLiteral("Serial Number:")), 1, 0);
    identity->addWidget(SerialNrLabel, 1, 1);

    auto* state = new QGridLayout;
    state->setContentsMargins(30, 0, 0, 0);
    state->setColumnMinimumWidth(0, 90);
    state->setColumnStretch(1, 1);
    state->setVerticalSpacing(1);
    state->addWidget(NewLabel(tab, QString(), QStringLiteral("Network Status:")), 0, 0);
    state->addWidget(NetworkStatusLabel, 0, 1);
    state->addWidget(NewLabel(tab, QString(), QStringLiteral("Mode:")), 1, 0);
    state->addWidget(ModeLabel, 1, 1);
    state->addWidget(NewLabel(tab, QString(), QStringLiteral("Channels:")), 2, 0, Qt::AlignTop);
    for (int ch = 0; ch < 7; ++ch) {
        ChanLabel[ch] = ValueLabel(tab, Name("Chan", ch + 1, "Label"),
                                   QString::number(ch + 1) + QStringLiteral(" - "));
        state->addWidget(ChanLabel[ch], 2 + ch, 1);
    }
    StatusTimeLabel =
        NewLabel(tab, QStringLiteral("StatusTimeLabel"), QStringLiteral("No status yet"));
    RefreshNowBtn = new QPushButton(QStringLiteral("&Refresh now"), tab);
    RefreshNowBtn->setObjectName(QStringLiteral("RefreshNowBtn"));
    RefreshNowBtn->setEnabled(false);
    auto* statusTime = new QHBoxLayout;
    statusTime->setContentsMargins(30, 2, 0, 0);
    statusTime->addWidget(StatusTimeLabel);
    statusTime->addWidget(RefreshNowBtn);
    statusTime->addStretch(1);

    auto* instruction = NewLabel(
        tab, QStringLiteral("InstructionLabel"),
        QStringLiteral("Press a numbered button to view the condition of\r\nthe corresponding "
                       "channel. Press the \"PS\" button\r\nfor the power supply."));
    auto* buttonRow = new QHBoxLayout;
    buttonRow->setContentsMargins(30, 2, 0, 0);
    buttonRow->setSpacing(2);
    auto conditionButton = [tab](const QString& name, const QString& text) {
        auto* button = new QPushButton(text, tab);
        button->setObjectName(name);
        QFont bold = button->font();
        bold.setBold(true);
        button->setFont(bold);
        button->setFixedSize(30, 24);
        button->setEnabled(false);
        return button;
    };
    PSupplyBtn = conditionButton(QStringLiteral("PSupplyBtn"), QStringLiteral("PS"));
    buttonRow->addWidget(PSupplyBtn);
    for (int ch = 0; ch < 7; ++ch) {
        ChanBtn[ch] = conditionButton(Name("Chan", ch + 1, "Btn"), QString::number(ch + 1));
        buttonRow->addWidget(ChanBtn[ch]);
    }
    buttonRow->addStretch(1);

    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(
        Heading(tab, "DevicePropertiesTitle", "device.svg", QStringLiteral("Device Properties")));
    layout->addLayout(identity);
    layout->addWidget(
        Heading(tab, "DeviceStatusTitle", "status.svg", QStringLiteral("Device Status")));
    layout->addLayout(state);
    layout->addLayout(statusTime);
    layout->addWidget(
        Heading(tab, "DeviceConditionTitle", "condition.svg", QStringLiteral("Device Condition")));
    instruction->setContentsMargins(30, 0, 0, 0);
    layout->addWidget(instruction);
    layout->addLayout(buttonRow);
    layout->addStretch(1);
}

void TPropertiesDlg::BuildConfigurationTab() {
    ConfigurationTab = AddPage(PageControl, "ConfigurationTab", QStringLiteral("C&onfiguration"));
    QWidget* tab = ConfigurationTab;

    auto* grid = new QGridLayout;
    grid->setContentsMargins(30, 4, 0, 0);
    grid->setColumnMinimumWidth(0, 80);
    grid->setVerticalSpacing(0);
    // Each pair of radio buttons sits on a panel of its own, which makes it a group.
    auto pairPanel = [tab](QRadioButton*& first, const QString& firstName, const QString& firstText,
                           QRadioButton*& second, const QString& secondName,
                           const QString& secondText) {
        auto* panel = new QWidget(tab);
        auto* row = new QHBoxLayout(panel);
        row->setContentsMargins(0, 0, 0, 0);
        first = Radio(panel, firstName, firstText);
        second = Radio(panel, secondName, secondText);
        first->setMinimumWidth(70);
        row->addWidget(first);
        row->addWidget(second);
        row->addStretch(1);
        return panel;
    };
    ModeConfigLabel = ValueLabel(tab, QStringLiteral("ModeConfigLabel"), QStringLiteral("Mode:"));
    grid->addWidget(ModeConfigLabel, 0, 0);
    grid->addWidget(pairPanel(ActiveModeRadioBtn, QStringLiteral("ActiveModeRadioBtn"),
                              QStringLiteral("Active"), StandbyModeRadioBtn,
                              QStringLiteral("StandbyModeRadioBtn"), QStringLiteral("Standby")),
                    0, 1);
    grid->setRowMinimumHeight(1, 8);
    for (int ch = 0; ch < 7; ++ch) {
        ChLabel[ch] = ValueLabel(tab, Name("Ch", ch + 1, "Label"), Name("Channel ", ch + 1, ":"));
        grid->addWidget(ChLabel[ch], ch + 2, 0);
        grid->addWidget(pairPanel(ChanOnRadioBtn[ch], Name("Chan", ch + 1, "OnRadioBtn"),
                                  QStringLiteral("On"), ChanOffRadioBtn[ch],
                                  Name("Chan", ch + 1, "OffRadioBtn"), QStringLiteral("Off")),
                        ch + 2, 1);
    }

    ApplyButton = new QPushButton(QStringLiteral("&Apply"), tab);
    ApplyButton->setObjectName(QStringLiteral("ApplyButton"));
    ApplyButton->setEnabled(false);
    // Room for three lines, within the width the page has anyway.
    ApplyStateLabel = NewLabel(tab, QStringLiteral("ApplyStateLabel"), QString());
    ApplyStateLabel->setWordWrap(true);
    ApplyStateLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    ApplyStateLabel->setFixedHeight(3 * ApplyStateLabel->fontMetrics().lineSpacing());
    auto* applyRow = new QHBoxLayout;
    applyRow->setContentsMargins(30, 0, 0, 0);
    applyRow->addWidget(ApplyStateLabel, 1);
    applyRow->addWidget(ApplyButton, 0, Qt::AlignBottom);

    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(
        Heading(tab, "ConfigureTitle", "configure.svg", QStringLiteral("Configure Velkan Device")));
    QLabel* text = NewLabel(tab, QStringLiteral("ConfigureTextLabel"),
                            QStringLiteral("Configure the Velkan device, then press "
                                           "\"Apply\"\r\nto apply the new configuration."));
    text->setContentsMargins(30, 0, 0, 0);
    layout->addWidget(text);
    layout->addLayout(grid);
    layout->addStretch(1);
    layout->addLayout(applyRow);
}

void TPropertiesDlg::BuildStatisticsTab() {
    StatisticsTab = AddPage(PageControl, "StatisticsTab", QStringLiteral("&Statistics"));
    QWidget* tab = StatisticsTab;

    auto* channels = new QGridLayout;
    channels->setContentsMargins(30, 0, 20, 0);
    channels->setHorizontalSpacing(24);
    channels->setVerticalSpacing(1);
    AddChannelGrid(channels, tab, ErrLabel, false);
    auto* rails = new QGridLayout;
    rails->setContentsMargins(30, 0, 20, 0);
    rails->setHorizontalSpacing(24);
    AddRailRow(rails, tab, SupplyErrLabel, false);

    TimeOnLabel = NewLabel(tab, QStringLiteral("TimeOnLabel"), QStringLiteral("0 hr 0 min"));
    SetTextColor(TimeOnLabel, QColor(128, 0, 0));
    auto* time = new QHBoxLayout;
    time->setContentsMargins(30, 6, 0, 0);
    time->addWidget(NewLabel(tab, QString(), QStringLiteral("Device Operation Time:")));
    time->addWidget(TimeOnLabel);
    time->addStretch(1);

    ResetStatsLabel =
        NewLabel(tab, QStringLiteral("ResetStatsLabel"), QStringLiteral("Reset Statistics"));
    QFont link = ResetStatsLabel->font();
    link.setUnderline(true);
    ResetStatsLabel->setFont(link);
    SetTextColor(ResetStatsLabel, QColor(0, 0, 255));
    new LinkHook(ResetStatsLabel, this);
    auto* reset = new QHBoxLayout;
    reset->setContentsMargins(30, 4, 0, 0);
    reset->addWidget(ResetStatsLabel);
    reset->addStretch(1);
    StatsSinceLabel = NewLabel(tab, QStringLiteral("StatsSinceLabel"), QString());
    StatsSinceLabel->setContentsMargins(30, 4, 0, 0);

    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(Heading(tab, "OutputChannelFailuresTitle", "statistics.svg",
                              QStringLiteral("Output Channel Failures")));
    layout->addLayout(channels);
    layout->addWidget(Heading(tab, "PowerSupplyFailuresTitle", "statistics.svg",
                              QStringLiteral("Power Supply Failures")));
    layout->addLayout(rails);
    layout->addLayout(time);
    layout->addWidget(StatsSinceLabel);
    layout->addLayout(reset);
    layout->addStretch(1);
}

void TPropertiesDlg::BuildSummaryTab() {
    SummaryTab = AddPage(PageControl, "SummaryTab", QStringLiteral("S&ummary"));
    QWidget* tab = SummaryTab;

    auto boldValue = [tab](const char* name) {
        QLabel* label = ValueLabel(tab, QString::fromLatin1(name), QStringLiteral("Unknown"));
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
        return label;
    };
    ModelSummaryLabel = boldValue("ModelSummaryLabel");
    SerialNrSummaryLabel = boldValue("SerialNrSummaryLabel");
    ModeStateLabel = boldValue("ModeStateLabel");
    auto* identity = new QGridLayout;
    identity->setContentsMargins(30, 0, 0, 0);
    identity->setColumnMinimumWidth(0, 90);
    // The room a wider tab leaves goes after the values, which stay beside their names.
    identity->setColumnStretch(1, 1);
    identity->setVerticalSpacing(1);
    const std::pair<const char*, QLabel*> rows[] = {{"Model:", ModelSummaryLabel},
                                                    {"Serial Number:", SerialNrSummaryLabel},
                                                    {"Mode:", ModeStateLabel}};
    for (int r = 0; r < 3; ++r) {
        identity->addWidget(NewLabel(tab, QString(), QString::fromLatin1(rows[r].first)), r, 0);
        identity->addWidget(rows[r].second, r, 1);
    }

    auto* channels = new QGridLayout;
    channels->setContentsMargins(30, 0, 20, 0);
    channels->setHorizontalSpacing(16);
    channels->setVerticalSpacing(1);
    AddChannelGrid(channels, tab, StateLabel, true);
    auto* rails = new QGridLayout;
    rails->setContentsMargins(30, 0, 20, 0);
    rails->setHorizontalSpacing(16);
    AddRailRow(rails, tab, SupplyStateLabel, true);

    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(
        Heading(tab, "SummaryDeviceTitle", "device.svg", QStringLiteral("Device Properties")));
    layout->addLayout(identity);
    layout->addWidget(Heading(tab, "OutputChannelsConditionTitle", "summary.svg",
                              QStringLiteral("Output Channels Condition")));
    layout->addLayout(channels);
    layout->addWidget(Heading(tab, "PowerSupplyConditionTitle", "summary.svg",
                              QStringLiteral("Power Supply Condition")));
    layout->addLayout(rails);
    layout->addStretch(1);
}

void TPropertiesDlg::WireControls() {
    connect(CloseBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(Timer, &QTimer::timeout, this, &TPropertiesDlg::TimerTimer);
    connect(PageControl, &QTabWidget::currentChanged, this, &TPropertiesDlg::PageControlChanging);
    connect(PSupplyBtn, &QPushButton::clicked, this, &TPropertiesDlg::PSupplyBtnClick);
    for (int ch = 0; ch < 7; ++ch) {
        connect(ChanBtn[ch], &QPushButton::clicked, this, [this, ch] { ChanBtnClick(ch + 1); });
    }
    // Every change of a radio button, by mouse, keyboard or a refresh, runs the detection.
    std::vector<QRadioButton*> radios = {ActiveModeRadioBtn, StandbyModeRadioBtn};
    for (int ch = 0; ch < 7; ++ch) {
        radios.push_back(ChanOnRadioBtn[ch]);
        radios.push_back(ChanOffRadioBtn[ch]);
    }
    for (QRadioButton* radio : radios) {
        connect(radio, &QRadioButton::toggled, this, &TPropertiesDlg::ActiveModeRadioBtnClick);
    }
    connect(ApplyButton, &QPushButton::clicked, this, &TPropertiesDlg::ApplyButton1Click);
    connect(RefreshNowBtn, &QPushButton::clicked, this, &TPropertiesDlg::RefreshNowBtnClick);
}

QLayout* TPropertiesDlg::BuildMuteRow() {
    MuteStateLabel = new QLabel(this);
    MuteStateLabel->setObjectName(QStringLiteral("MuteStateLabel"));
    MuteBtn = new QPushButton(QStringLiteral("&Mute alerts"), this);
    MuteBtn->setObjectName(QStringLiteral("MuteBtn"));
    MuteBtn->setMenu(NewMuteMenu(MuteBtn, [this](std::int64_t until) { Mute(until); }));
    UnmuteBtn = new QPushButton(QStringLiteral("U&nmute alerts"), this);
    UnmuteBtn->setObjectName(QStringLiteral("UnmuteBtn"));
    connect(UnmuteBtn, &QPushButton::clicked, this, [this] { Mute(0); });
    // The label goes above the buttons: beside them it would widen the dialog.
    auto* row = new QHBoxLayout;
    row->addWidget(MuteBtn);
    row->addWidget(UnmuteBtn);
    return row;
}

void TPropertiesDlg::Mute(std::int64_t until) {
    if (Device == nullptr) return;
    if (MuteChosen) {
        MuteChosen(until);
    } else if (Monitor != nullptr) {
        Monitor->MuteDevice(Device->DeviceId, until);
    }
    RefreshMute();
}

void TPropertiesDlg::RefreshMute() {
    const bool known = Device != nullptr;
    const bool muted = known && (Monitor ? Monitor->AlertsMuted(*Device) : Device->MutedUntil != 0);
    const QString text = muted ? MuteText(Device->MutedUntil, LocalNow()) : QString();
    MuteStateLabel->setText(muted ? QStringLiteral("Alerts ") + text
                                  : QStringLiteral("Alerts not muted"));
    MuteBtn->setEnabled(known && (MuteChosen || Monitor != nullptr));
    UnmuteBtn->setEnabled(muted && MuteBtn->isEnabled());
}

int TPropertiesDlg::ChannelCount() const {
    return Device ? ModelChannelCount(Device->ModelCode) : 0;
}

bool TPropertiesDlg::StatisticsShown() const {
    return showStatistics_;
}

QPushButton* TPropertiesDlg::ConditionButton(int button) const {
    if (button == 0) return PSupplyBtn;
    return button >= 1 && button <= 7 ? ChanBtn[button - 1] : nullptr;
}

void TPropertiesDlg::RefreshDevice() {
    RefreshMute();
    if (Device == nullptr) return;
    const DeviceRecord& d = *Device;
    const CMca codec;
    switch (d.ConnState) {
        case Disconnected:
            NetworkStatusLabel->setText(QStringLiteral("Disconnected"));
            break;
        case Connecting:
            NetworkStatusLabel->setText(QStringLiteral("Connecting..."));
            break;
        case Connected:
            NetworkStatusLabel->setText(QStringLiteral("Connected"));
            break;
        default:
            break;
    }
    const int count = ChannelCount();
    const bool knownModel = count > 0;

    if (d.StatusKnown) {
        const DeviceStatus& s = d.Status;
        ModelLabel->setText(QString::fromLatin1(codec.ModelName(d.ModelCode)));
        SerialNrLabel->setText(SerialText(d.Serial));
        ModeLabel->setEnabled(true);
        if (s.Mode == 0) ModeLabel->setText(QStringLiteral("Standby"));
        if (s.Mode == 1) ModeLabel->setText(QStringLiteral("Active"));
        for (int ch = 0; ch < count; ++ch) {
            QString line =
                QString::number(ch + 1) +
                (s.ChannelOn[ch] == 1 ? QStringLiteral(" - On") : QStringLiteral(" - Off"));
            if (ChannelFaulty(s, ch)) line += QStringLiteral("       FAULTY");
            ChanLabel[ch]->setEnabled(true);
            ChanLabel[ch]->setText(line);
        }
        if (knownModel) {
            for (int ch = 0; ch < count; ++ch) ChanBtn[ch]->setEnabled(true);
            PSupplyBtn->setEnabled(true);
        }
        Timer->start();
        RefreshConfiguration(s);
        RefreshStatusTime();
        if (StatisticsShown()) {
            RefreshStatistics();
            RefreshSummary();
        }
        update();
        // The condition window follows the new data.
        if (StatusDlg != nullptr) ShowConditionDetails(SelectedCondition);
        return;
    }

    ModelLabel->setText(QString::fromLatin1(codec.ModelName(d.ModelCode)));
    SerialNrLabel->setText(d.Serial.empty() ? QStringLiteral("Unknown") : SerialText(d.Serial));
    ModeLabel->setText(QStringLiteral("Unknown"));
    ModeLabel->setEnabled(false);
    for (int ch = 0; ch < 7; ++ch) {
        ChanLabel[ch]->setText(QString::number(ch + 1) + QStringLiteral(" - "));
        ChanLabel[ch]->setEnabled(false);
        ChanBtn[ch]->setEnabled(false);
        ChLabel[ch]->setEnabled(false);
        ChanOnRadioBtn[ch]->setEnabled(false);
        ChanOffRadioBtn[ch]->setEnabled(false);
    }
    PSupplyBtn->setEnabled(false);
    ModeConfigLabel->setEnabled(false);
    ActiveModeRadioBtn->setEnabled(false);
    StandbyModeRadioBtn->setEnabled(false);
    // Nothing known is left to show in the condition window, nor to blink.
    CloseStatusDlg();
    StopBlinking();
    if (StatisticsShown()) {
        // The counters and since when they count are the monitor's, known without a status.
        RefreshStatistics();
        RefreshSummary();
    }
    ApplyButton->setEnabled(false);
    if (Applying) {
        Applying = false;
        ApplyStateLabel->setText(
            QStringLiteral("The connection was lost before the device confirmed the new "
                           "configuration."));
    }
    RefreshStatusTime();
}

// The Configuration tab after a status: the device's state, except while an Apply's requests
// are on their way, when the device's answers to the first of them would show the old
// channels again for a moment.
void TPropertiesDlg::RefreshConfiguration(const DeviceStatus& s) {
    const int count = ChannelCount();
    if (count == 0) {
        ApplyButton->setEnabled(false);
        return;
    }
    if (Applying && Monitor != nullptr && Monitor->ConfigurationPending(Device->DeviceId)) {
        ShowChosenConfiguration();
        return;
    }
    const bool answered = Applying;
    Applying = false;
    SetConfigurationEnabled(true);
    for (int ch = 0; ch < count; ++ch)
        (s.ChannelOn[ch] == 1 ? ChanOnRadioBtn[ch] : ChanOffRadioBtn[ch])->setChecked(true);
    if (s.Mode == 0) StandbyModeRadioBtn->setChecked(true);
    if (s.Mode == 1) ActiveModeRadioBtn->setChecked(true);
    ApplyButton->setEnabled(false);
    // What the device did instead stays said until it reports what was chosen after all.
    const QString mismatch = ConfigurationMismatch(s);
    if (answered || mismatch.isEmpty()) ApplyStateLabel->setText(mismatch);
}

void TPropertiesDlg::ShowChosenConfiguration() {
    SetConfigurationEnabled(false);
    (AppliedActive != 0 ? ActiveModeRadioBtn : StandbyModeRadioBtn)->setChecked(true);
    for (int ch = 0; ch < ChannelCount(); ++ch) {
        const bool on = (AppliedMask >> ch) & 1;
        (on ? ChanOnRadioBtn[ch] : ChanOffRadioBtn[ch])->setChecked(true);
    }
    ApplyButton->setEnabled(false);
    ApplyStateLabel->setText(QStringLiteral("Sending..."));
}

void TPropertiesDlg::SetConfigurationEnabled(bool enabled) {
    for (int ch = 0; ch < ChannelCount(); ++ch) {
        ChLabel[ch]->setEnabled(enabled);
        ChanOnRadioBtn[ch]->setEnabled(enabled);
        ChanOffRadioBtn[ch]->setEnabled(enabled);
    }
    ModeConfigLabel->setEnabled(enabled);
    ActiveModeRadioBtn->setEnabled(enabled);
    StandbyModeRadioBtn->setEnabled(enabled);
}

// In words, where the device's state differs from the last configuration applied; empty when
// it does not, or when nothing was applied.
QString TPropertiesDlg::ConfigurationMismatch(const DeviceStatus& s) const {
    if (ApplyStateLabel->text().isEmpty() && !Applying) return QString();
    QStringList differences;
    if ((s.Mode == 1) != (AppliedActive != 0))
        differences << (s.Mode == 1 ? QStringLiteral("Active") : QStringLiteral("Standby"));
    for (int ch = 0; ch < ChannelCount(); ++ch) {
        const bool on = s.ChannelOn[ch] == 1;
        if (on != (((AppliedMask >> ch) & 1) != 0)) {
            differences << QStringLiteral("channel ") + QString::number(ch + 1) +
                               (on ? QStringLiteral(" On") : QStringLiteral(" Off"));
        }
    }
    if (differences.isEmpty()) return QString();
    return QStringLiteral("The device did not take the new configuration: it reports ") +
           differences.join(QStringLiteral(", ")) + QStringLiteral(".");
}

void TPropertiesDlg::RefreshStatusTime() {
    const DeviceRecord& d = *Device;
    if (d.StatusKnown && d.StatusTime != 0) {
        StatusTimeLabel->setText(QStringLiteral("Status of ") + StatusMoment(d.StatusTime));
    } else if (d.StatusTime != 0) {
        StatusTimeLabel->setText(QStringLiteral("No status since ") + StatusMoment(d.StatusTime));
    } else {
        StatusTimeLabel->setText(QStringLiteral("No status yet"));
    }
    RefreshNowBtn->setEnabled(Monitor != nullptr && d.ConnState == Connected);
}

void TPropertiesDlg::StopBlinking() {
    Timer->stop();
    const QColor face = palette().color(QPalette::Button);
    const QColor text = palette().color(QPalette::ButtonText);
    for (int b = 0; b <= 7; ++b) SetButtonColors(ConditionButton(b), face, text);
}

void TPropertiesDlg::RefreshStatistics() {
    if (Device == nullptr) return;
    const std::int32_t* stats = Device->Stats;
    const QColor normal = palette().color(QPalette::WindowText);
    auto show = [&normal](QLabel* cell, std::int32_t count) {
        cell->setText(QString::number(count));
        SetTextColor(cell, count != 0 ? FaultColor() : normal);
    };
    for (int ch = 0; ch < 7; ++ch) {
        for (int col = 0; col < 4; ++col)
            show(ErrLabel[col][ch], stats[Columns[col].statsBase + ch]);
    }
    for (int rail = 0; rail < 4; ++rail) show(SupplyErrLabel[rail], stats[StatsMinus5VErr + rail]);
    // The device counts its time as an unsigned number of minutes.
    const auto minutes = static_cast<std::uint32_t>(Device->Status.OperatingMinutes);
    TimeOnLabel->setText(QString::number(minutes / 60) + QStringLiteral(" hr ") +
                         QString::number(minutes % 60) + QStringLiteral(" min"));
    StatsSinceLabel->setText(SinceText(Device->StatsSince, Device->StatsSinceKnown));
}

void TPropertiesDlg::RefreshSummary() {
    if (Device == nullptr) return;
    const DeviceRecord& d = *Device;
    if (!d.StatusKnown) {
        for (QLabel* label : {ModelSummaryLabel, SerialNrSummaryLabel, ModeStateLabel})
            ShowUnknown(label);
        for (int col = 0; col < 4; ++col) {
            for (int ch = 0; ch < 7; ++ch) ShowUnknown(StateLabel[col][ch]);
        }
        for (QLabel* label : SupplyStateLabel) ShowUnknown(label);
        return;
    }
    const DeviceStatus& s = d.Status;
    const CMca codec;
    for (QLabel* label : {ModelSummaryLabel, SerialNrSummaryLabel, ModeStateLabel})
        label->setEnabled(true);
    ModelSummaryLabel->setText(QString::fromLatin1(codec.ModelName(d.ModelCode)));
    SerialNrSummaryLabel->setText(SerialText(d.Serial));
    if (s.Mode == 0) ModeStateLabel->setText(QStringLiteral("Standby"));
    if (s.Mode == 1) ModeStateLabel->setText(QStringLiteral("Active"));
    for (int ch = 0; ch < 7; ++ch) {
        for (int col = 0; col < 4; ++col)
            ShowState(StateLabel[col][ch], (s.*Columns[col].flags)[ch] != 0);
    }
    for (int rail = 0; rail < 4; ++rail) ShowState(SupplyStateLabel[rail], s.SupplyOk[rail] != 0);
    update();
}

void TPropertiesDlg::TimerTimer() {
    Timer->stop();
    if (Device == nullptr) return;
    // A status that is no longer known has no fault to show.
    if (!Device->StatusKnown) {
        StopBlinking();
        return;
    }
    const DeviceStatus& s = Device->Status;
    const QColor face = palette().color(QPalette::Button);
    const QColor text = palette().color(QPalette::ButtonText);
    bool fault = false;
    // The highlighted button keeps its highlight: the blinking never paints it.
    auto paint = [&](int button, bool faulty) {
        if (button == SelectedButton) {
            if (faulty) fault = true;
            return;
        }
        QPushButton* b = ConditionButton(button);
        if (!faulty) {
            SetButtonColors(b, face, text);
            return;
        }
        fault = true;
        if (BlinkPhase) {
            SetButtonColors(b, FaultColor(), QColor(Qt::white));
        } else {
            SetButtonColors(b, QColor(Qt::white), FaultColor());
        }
    };
    for (int ch = 0; ch < ChannelCount(); ++ch) paint(ch + 1, ChannelFaulty(s, ch));
    paint(0, SupplyFaulty(s));
    if (fault) {
        Timer->start();
        BlinkPhase = !BlinkPhase;
    }
}

void TPropertiesDlg::SelectConditionButton(int button) {
    const QColor face = palette().color(QPalette::Button);
    const QColor text = palette().color(QPalette::ButtonText);
    for (int b = 0; b <= 7; ++b) SetButtonColors(ConditionButton(b), face, text);
    if (button >= 0 && button <= 7) {
        SetButtonColors(ConditionButton(button), palette().color(QPalette::Highlight),
                        palette().color(QPalette::HighlightedText));
        SelectedButton = static_cast<std::uint8_t>(button);
    } else {
        SelectedButton = 8;
    }
}

void TPropertiesDlg::PSupplyBtnClick() {
    ShowConditionDetails(-1);
    SelectedCondition = -1;
    SelectConditionButton(0);
}

void TPropertiesDlg::ChanBtnClick(int channel) {
    ShowConditionDetails(channel - 1);
    SelectedCondition = channel - 1;
    SelectConditionButton(channel);
}

void TPropertiesDlg::ShowConditionDetails(int index) {
    // Index 7 would be an eighth channel, which no model has.
    if (Device == nullptr || index > 6) return;
    const DeviceStatus& s = Device->Status;
    StatusContext.Caption = index < 0 ? QStringLiteral("  Power Supply Condition")
                                      : QStringLiteral("  Channel ") + QString::number(index + 1) +
                                            QStringLiteral(" Condition");
    GetStatusDlgPosition();
    const QColor normal = palette().color(QPalette::WindowText);
    auto row = [&](int r, const QString& name, std::uint8_t flag, const QString& faultText) {
        TStatusDlg::LabelContext& n = StatusContext.Labels[2 * r];
        TStatusDlg::LabelContext& v = StatusContext.Labels[2 * r + 1];
        n = {name, true, normal};
        v = flag == 1 ? TStatusDlg::LabelContext{QStringLiteral("OK"), true, OkColor()}
                      : TStatusDlg::LabelContext{faultText, true, FaultColor()};
    };
    if (index < 0) {
        const QString outOfLimits = QStringLiteral("Out of the Limits");
        for (int rail = 0; rail < 4; ++rail) {
            row(rail, QString::fromLatin1(Rails[rail].head) + QStringLiteral(":"), s.SupplyOk[rail],
                outOfLimits);
        }
    } else {
        row(0, QStringLiteral("Temperature:"), s.TempOk[index], QStringLiteral("Above the Limit"));
        row(1, QStringLiteral("Output Current:"), s.CurrentOk[index],
            QStringLiteral("Over-current"));
        row(2, QStringLiteral("Fan:"), s.FanOk[index], QStringLiteral("Faulty"));
        const bool failed = s.ChannelOk[index] == 0;
        StatusContext.Labels[6] =
            failed ? TStatusDlg::LabelContext{QStringLiteral("This channel is faulty."), true,
                                              FaultColor()}
                   : TStatusDlg::LabelContext{QString(), false, normal};
        StatusContext.Labels[7] = {QString(), true, normal};
    }
    if (StatusDlg != nullptr) {
        StatusDlg->SetContext(&StatusContext);
    } else {
        StatusDlg = new TStatusDlg(this, &StatusContext, this);
    }
    // Shown beside the modal dialog without taking its loop.
    StatusDlg->show();
}

void TPropertiesDlg::GetStatusDlgPosition() {
    // The screen position of the "PS" button's top-left corner: the window's bottom edge
    // goes there, just above the left end of the condition button row.
    const QPoint at = PSupplyBtn->mapToGlobal(QPoint(0, 0));
    StatusContext.Left = at.x();
    StatusContext.Top = at.y();
}

void TPropertiesDlg::CloseStatusDlg() {
    if (StatusDlg == nullptr) return;
    // Its close notification clears the highlighted button.
    StatusDlg->close();
    delete StatusDlg;
    StatusDlg = nullptr;
}

void TPropertiesDlg::PageControlChanging() {
    CloseStatusDlg();
}

void TPropertiesDlg::ActiveModeRadioBtnClick() {
    // While an Apply is on its way the buttons show what was chosen, which is no change.
    if (Device == nullptr || Applying) return;
    const DeviceStatus& s = Device->Status;
    bool changed = (s.Mode == 0 && !StandbyModeRadioBtn->isChecked()) ||
                   (s.Mode == 1 && !ActiveModeRadioBtn->isChecked());
    for (int ch = 0; ch < ChannelCount(); ++ch) {
        const std::uint8_t on = ChanOnRadioBtn[ch]->isChecked() ? 1 : 0;
        if (on != s.ChannelOn[ch]) changed = true;
    }
    ApplyButton->setEnabled(changed);
}

void TPropertiesDlg::ApplyButton1Click() {
    if (MainWindowHandle == nullptr) return;
    // All seven switches, whatever the model: a channel the model lacks is off in its reply.
    std::uint8_t on[7];
    for (int ch = 0; ch < 7; ++ch) on[ch] = ChanOnRadioBtn[ch]->isChecked() ? 1 : 0;
    const std::uint8_t mask = CMca().ChannelMask(on);
    const std::uint8_t active = ActiveModeRadioBtn->isChecked() ? 1 : 0;
    const std::uint16_t deviceId = Device ? Device->DeviceId : 0;
    Applying = true;
    AppliedActive = active;
    AppliedMask = mask;
    ShowChosenConfiguration();
    MainWindowHandle->Post(WM_APPLYCONFIG, ApplyConfigWParam(deviceId, active, mask), 0);
    ApplyButton->setEnabled(false);
    // Refused (too many requests waiting, which the log tells): nothing is on its way.
    if (Applying && Monitor != nullptr && !Monitor->ConfigurationPending(deviceId)) {
        Applying = false;
        SetConfigurationEnabled(true);
        ActiveModeRadioBtnClick();
        ApplyStateLabel->setText(QStringLiteral("The new configuration could not be sent."));
    }
}

void TPropertiesDlg::SetMonitor(CMonitorCore* monitor) {
    Monitor = monitor;
    RefreshDevice();
}

void TPropertiesDlg::RefreshNowBtnClick() {
    if (Device != nullptr && Monitor != nullptr) Monitor->RefreshNow(Device->DeviceId);
}

void TPropertiesDlg::ResetStatsLabelClick() {
    if (Device == nullptr) return;
    const QString question =
        QStringLiteral("Reset the failure counters of \"") + QString::fromStdString(Device->Name) +
        QStringLiteral(
            "\" to 0?\r\nThey then count from now. The device's operation time is "
            "not changed.");
    if (ShowMessage(this, MsgKind::Confirmation, QStringLiteral("Reset Statistics"), question) !=
        MsgResultYes)
        return;
    // The dialog may have closed while the question was open.
    if (Device == nullptr) return;
    if (Monitor != nullptr) {
        Monitor->ResetStatistics(Device->DeviceId);
    } else {
        CMonitorCore::ClearStatistics(*Device);
    }
    RefreshStatistics();
}

void TPropertiesDlg::ResetStatsLabelMouseEnter() {
    StatisticsTab->setCursor(Qt::PointingHandCursor);
}

void TPropertiesDlg::ResetStatsLabelMouseLeave() {
    StatisticsTab->unsetCursor();
}

void TPropertiesDlg::Post(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam) {
    Dispatch(msg, wParam, lParam);
}

void TPropertiesDlg::Dispatch(std::uint32_t msg, std::uint32_t, std::uint32_t) {
    if (msg == WM_STATUSDLGCLOSED) SelectConditionButton(8);
}

void TPropertiesDlg::done(int result) {
    // FormClose: the condition window goes without a notification, and nothing refers to
    // the device record any longer.
    delete StatusDlg;
    StatusDlg = nullptr;
    Device = nullptr;
    Timer->stop();
    QDialog::done(result);
}
