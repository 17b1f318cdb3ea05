#include "app/EventHistoryWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "app/EventHistoryModel.h"
#include "history/EventQuery.h"
#include "platform/EventSink.h"
#include "platform/PrintableText.h"

// The type icons live in the application library: a static library's resources are only
// linked in when something names them.
static void InitHistoryResources() {
    Q_INIT_RESOURCE(EventHistory);
}

namespace {

template <class W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// What the history keeps from devices and servers, as the window shows it.
QString Printable(const std::string& text) {
    return QString::fromStdString(PrintableText(text));
}

// The whole event as the pane below the table shows it.
QString DetailOf(const EventRecord& r) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", r.eventId);
    QString text = QStringLiteral("Time: %1\nType: %2\nEvent: %3 (%4, %5)\n")
                       .arg(QString::fromStdString(LocalTimeText(r.timeUs)),
                            QString::fromLatin1(KindWord(KindOfType(r.type))),
                            TEventHistoryModel::EventCaption(r.eventId),
                            QString::fromLatin1(EventName(r.eventId)), QString::fromLatin1(id));
    if (!r.device.empty()) {
        text += QStringLiteral("Device: ") + Printable(r.device);
        if (!r.address.empty()) text += QStringLiteral(" at ") + Printable(r.address);
        if (!r.serial.empty()) text += QStringLiteral(", serial ") + Printable(r.serial);
        text += QLatin1Char('\n');
    }
    QString body = QString::fromStdString(PrintableText(r.text, "\r\n"));
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (!body.isEmpty()) text += QLatin1Char('\n') + body;
    return text;
}

std::int64_t DayStart(const QDate& day) {
    return LocalToUtcMicros(day.year(), day.month(), day.day());
}

}  // namespace

TEventHistoryWindow::TEventHistoryWindow(const std::string& storePath, QWidget* parent)
    : QWidget(parent, Qt::Window) {
    InitHistoryResources();
    setObjectName(QStringLiteral("EventHistoryWindow"));
    setWindowTitle(QStringLiteral("Event History - AVLO Monitor"));
    model_ = new TEventHistoryModel(storePath, this);
    BuildControls();
    resize(960, 600);
    FillDeviceNames();
    FilterChange();
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setInterval(RefreshMs);
    connect(refreshTimer_, &QTimer::timeout, this, &TEventHistoryWindow::HistoryChanged);
}

TEventHistoryWindow::~TEventHistoryWindow() {
    if (exportThread_.joinable()) exportThread_.join();
}

void TEventHistoryWindow::BuildControls() {
    DeviceFilterCombo = Named(new QComboBox(this), "DeviceFilterCombo");
    DeviceFilterCombo->addItem(QStringLiteral("All devices"));
    DeviceFilterCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    TypeFilterCombo = Named(new QComboBox(this), "TypeFilterCombo");
    TypeFilterCombo->addItem(QStringLiteral("All types"));
    TypeFilterCombo->addItem(QStringLiteral("Errors"), static_cast<int>(EventKind::Error));
    TypeFilterCombo->addItem(QStringLiteral("Warnings"), static_cast<int>(EventKind::Warning));
    TypeFilterCombo->addItem(QStringLiteral("Information"),
                             static_cast<int>(EventKind::Information));
    const QDate today = QDate::currentDate();
    SinceCheck = Named(new QCheckBox(QStringLiteral("&From"), this), "SinceCheck");
    SinceDateEdit = Named(new QDateEdit(today.addDays(-7), this), "SinceDateEdit");
    UntilCheck = Named(new QCheckBox(QStringLiteral("&To"), this), "UntilCheck");
    UntilDateEdit = Named(new QDateEdit(today, this), "UntilDateEdit");
    for (QDateEdit* edit : {SinceDateEdit, UntilDateEdit}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        edit->setEnabled(false);
    }
    SearchEdit = Named(new QLineEdit(this), "SearchEdit");
    SearchEdit->setPlaceholderText(QStringLiteral("Search text"));
    SearchEdit->setClearButtonEnabled(true);

    EventTable = Named(new QTableView(this), "EventTable");
    EventTable->setModel(model_);
    EventTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    EventTable->setSelectionMode(QAbstractItemView::SingleSelection);
    EventTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    EventTable->setWordWrap(false);
    EventTable->verticalHeader()->hide();
    // Fixed row heights: the table never measures rows it has not shown.
    EventTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    EventTable->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
    EventTable->horizontalHeader()->setStretchLastSection(true);
    EventTable->setColumnWidth(TEventHistoryModel::ColType, 110);
    EventTable->setColumnWidth(TEventHistoryModel::ColTime, 150);
    EventTable->setColumnWidth(TEventHistoryModel::ColDevice, 120);
    EventTable->setColumnWidth(TEventHistoryModel::ColEvent, 140);
    DetailText = Named(new QPlainTextEdit(this), "DetailText");
    DetailText->setReadOnly(true);
    ExportBtn = Named(new QPushButton(QStringLiteral("&Export..."), this), "ExportBtn");
    StatusLabel = Named(new QLabel(this), "StatusLabel");

    auto* filters = new QHBoxLayout;
    filters->addWidget(new QLabel(QStringLiteral("Device:"), this));
    filters->addWidget(DeviceFilterCombo);
    filters->addWidget(new QLabel(QStringLiteral("Type:"), this));
    filters->addWidget(TypeFilterCombo);
    filters->addWidget(SinceCheck);
    filters->addWidget(SinceDateEdit);
    filters->addWidget(UntilCheck);
    filters->addWidget(UntilDateEdit);
    filters->addWidget(SearchEdit, 1);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(EventTable);
    split->addWidget(DetailText);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(StatusLabel, 1);
    bottom->addWidget(ExportBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(split, 1);
    layout->addLayout(bottom);

    using Self = TEventHistoryWindow;
    connect(DeviceFilterCombo, &QComboBox::currentIndexChanged, this, &Self::FilterChange);
    connect(TypeFilterCombo, &QComboBox::currentIndexChanged, this, &Self::FilterChange);
    connect(SinceCheck, &QCheckBox::toggled, SinceDateEdit, &QWidget::setEnabled);
    connect(UntilCheck, &QCheckBox::toggled, UntilDateEdit, &QWidget::setEnabled);
    connect(SinceCheck, &QCheckBox::toggled, this, &Self::FilterChange);
    connect(UntilCheck, &QCheckBox::toggled, this, &Self::FilterChange);
    connect(SinceDateEdit, &QDateEdit::dateChanged, this, &Self::FilterChange);
    connect(UntilDateEdit, &QDateEdit::dateChanged, this, &Self::FilterChange);
    connect(SearchEdit, &QLineEdit::textChanged, this, &Self::FilterChange);
    connect(EventTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &Self::EventTableSelectionChange);
    connect(model_, &TEventHistoryModel::modelReset, this, &Self::EventTableSelectionChange);
    connect(model_, &TEventHistoryModel::StatusChanged, this, &Self::ShowStatus);
    connect(ExportBtn, &QPushButton::clicked, this, &Self::ExportBtnClick);
}

EventFilter TEventHistoryWindow::CurrentFilter() const {
    EventFilter filter;
    if (DeviceFilterCombo->currentIndex() > 0)
        filter.device = DeviceFilterCombo->currentText().toStdString();
    const QVariant kind = TypeFilterCombo->currentData();
    if (kind.isValid()) filter.kind = static_cast<EventKind>(kind.toInt());
    if (SinceCheck->isChecked()) filter.sinceUs = DayStart(SinceDateEdit->date());
    // The "to" day is included: up to the next midnight.
    if (UntilCheck->isChecked()) filter.untilUs = DayStart(UntilDateEdit->date().addDays(1));
    filter.text = SearchEdit->text().toStdString();
    return filter;
}

void TEventHistoryWindow::FilterChange() {
    model_->SetFilter(CurrentFilter());
}

void TEventHistoryWindow::HistoryChanged() {
    if (!model_->Refresh()) return;
    // A device seen for the first time becomes one to filter by (one index step per name).
    for (const std::string& name : model_->DeviceNames()) {
        if (DeviceFilterCombo->findText(QString::fromStdString(name)) < 0) {
            FillDeviceNames();
            break;
        }
    }
}

void TEventHistoryWindow::FillDeviceNames() {
    const QString current = DeviceFilterCombo->currentText();
    const bool all = DeviceFilterCombo->currentIndex() <= 0;
    // Refilling must not count as a change of the filter.
    const QSignalBlocker quiet(DeviceFilterCombo);
    DeviceFilterCombo->clear();
    DeviceFilterCombo->addItem(QStringLiteral("All devices"));
    for (const std::string& name : model_->DeviceNames())
        DeviceFilterCombo->addItem(QString::fromStdString(name));
    if (all) return;
    int index = DeviceFilterCombo->findText(current);
    if (index < 0) {
        DeviceFilterCombo->addItem(current);  // kept while it is the filter
        index = DeviceFilterCombo->count() - 1;
    }
    DeviceFilterCombo->setCurrentIndex(index);
}

void TEventHistoryWindow::EventTableSelectionChange() {
    const QModelIndex current = EventTable->selectionModel()->currentIndex();
    const EventRecord* r = current.isValid() ? model_->Record(current.row()) : nullptr;
    DetailText->setPlainText(r ? DetailOf(*r) : QString());
}

void TEventHistoryWindow::ShowStatus() {
    StatusLabel->setText(model_->StatusText());
}

void TEventHistoryWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FillDeviceNames();
    model_->Refresh();
    refreshTimer_->start();
}

void TEventHistoryWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    refreshTimer_->stop();
}

void TEventHistoryWindow::closeEvent(QCloseEvent* event) {
    // Closing only puts the window away: its size and filters stay for the next opening.
    event->accept();
    hide();
}

void TEventHistoryWindow::ExportBtnClick() {
    if (exportThread_.joinable()) return;  // one export at a time
    const QString path = ExportPathPrompt ? ExportPathPrompt()
                                          : QFileDialog::getSaveFileName(
                                                this, QStringLiteral("Export Events"),
                                                QStringLiteral("avlo-events.csv"),
                                                QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (path.isEmpty()) return;
    ExportBtn->setEnabled(false);
    StatusLabel->setText(QStringLiteral("Exporting..."));
    // A year of events takes seconds to write: a thread of its own, with its own reader of
    // the file, so that neither the window nor monitoring waits for it.
    exportThread_ =
        std::thread([this, path, filter = CurrentFilter(), store = model_->StorePath()] {
            bool ok = false;
            QString text;
            CEventStore reader;
            std::FILE* out = std::fopen(path.toLocal8Bit().constData(), "wb");
            if (out == nullptr) {
                text = QStringLiteral("cannot write ") + path;
            } else if (!reader.Open(store, CEventStore::Mode::Read)) {
                text = QString::fromStdString(reader.LastError());
            } else {
                std::uint64_t count = 0;
                bool written = std::fputs(EventCsvHeader().c_str(), out) >= 0;
                const bool read = reader.ReadAll(filter, [&](const EventRecord& r) {
                    const std::string line = EventCsvRecord(r);
                    written = std::fwrite(line.data(), 1, line.size(), out) == line.size();
                    ++count;
                    return written;
                });
                ok = read && written;
                text = !read      ? QString::fromStdString(reader.LastError())
                       : !written ? QStringLiteral("cannot write ") + path
                                  : QStringLiteral("%1 events").arg(static_cast<qulonglong>(count));
            }
            if (out != nullptr && std::fclose(out) != 0 && ok) {
                ok = false;
                text = QStringLiteral("cannot write ") + path;
            }
            QMetaObject::invokeMethod(
                this, [this, ok, text] { ExportDone(ok, text); }, Qt::QueuedConnection);
        });
}

void TEventHistoryWindow::ExportDone(bool ok, const QString& text) {
    if (exportThread_.joinable()) exportThread_.join();
    ExportBtn->setEnabled(true);
    StatusLabel->setText(ok ? QStringLiteral("Exported ") + text
                            : QStringLiteral("Export failed: ") + text);
    emit ExportFinished(ok, text);
}
