// The device page: the device list, how it mirrors the device table, and the device commands.

#include <QAction>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/MainUnit.h"
#include "app/Shell.h"
#include "dialogs/PropertiesDlgUnit.h"
#include "platform/MessageBox.h"

namespace {

enum Column : int { ColAvlo = 0, ColName = 1, ColAddress = 2, ColStatus = 3, ColCondition = 4 };
constexpr int ColumnCount = 5;
constexpr int ColumnWidths[ColumnCount] = {45, 112, 96, 79, 173};

// Light cell borders, so that the list reads as a grid.
class GridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Midlight));
        painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
};

// The second picture of the device page: a small network of three stations.
QPixmap NetworkPixmap(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 48.0;
    p.setPen(QPen(QColor(90, 90, 90), 2 * s));
    p.drawLine(QPointF(24 * s, 14 * s), QPointF(24 * s, 28 * s));
    p.drawLine(QPointF(8 * s, 28 * s), QPointF(40 * s, 28 * s));
    p.drawLine(QPointF(8 * s, 28 * s), QPointF(8 * s, 34 * s));
    p.drawLine(QPointF(40 * s, 28 * s), QPointF(40 * s, 34 * s));
    p.setPen(QPen(QColor(20, 30, 60), 1.5 * s));
    p.setBrush(QColor(40, 70, 140));
    p.drawRoundedRect(QRectF(14 * s, 4 * s, 20 * s, 10 * s), 2 * s, 2 * s);
    p.drawRoundedRect(QRectF(0.5 * s, 34 * s, 15 * s, 9 * s), 2 * s, 2 * s);
    p.drawRoundedRect(QRectF(32.5 * s, 34 * s, 15 * s, 9 * s), 2 * s, 2 * s);
    return pm;
}

// What the properties dialog shows of a device record.
struct ShownDeviceState {
    std::uint8_t ConnState = 0;
    bool StatusKnown = false;
    std::uint8_t ModelCode = 0;
    std::string Serial;
    DeviceStatus Status;
    std::int64_t MutedUntil = 0;
    static ShownDeviceState Of(const CMca::DeviceDescr_Type& d) {
        return {d.ConnState, d.StatusKnown, d.ModelCode, d.Serial, d.Status, d.MutedUntil};
    }
    friend bool operator==(const ShownDeviceState&, const ShownDeviceState&) = default;
};

QLabel* PictureLabel(QWidget* parent, const char* name, const QPixmap& pixmap) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setPixmap(pixmap);
    label->setFixedSize(pixmap.size());
    return label;
}

QPushButton* CommandButton(QWidget* parent, const char* name, const QString& text,
                           const QString& hint) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setStatusTip(hint);
    button->setToolTip(hint);
    return button;
}

}  // namespace

void TMainForm::BuildDevicePage() {
    TabSheet2 = new QWidget(PageControl);
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    PageControl->addTab(TabSheet2, QStringLiteral("&AVLO Registration       "));

    auto* intro = new QLabel(
        QStringLiteral("Please register the Velkan devices that AVLO Monitor is to watch over.\n"
                       "Press \"Search Network\" to locate the devices on your network,\n"
                       "or \"Register Device...\" to register a device by hand."),
        TabSheet2);
    intro->setObjectName(QStringLiteral("IntroLabel"));
    auto* heading = new QLabel(QStringLiteral("Registered Velkan Devices"), TabSheet2);
    heading->setObjectName(QStringLiteral("RegisteredDevicesLabel"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);

    ListView = new QTreeWidget(TabSheet2);
    ListView->setObjectName(QStringLiteral("ListView"));
    ListView->setRootIsDecorated(false);
    ListView->setItemsExpandable(false);
    ListView->setUniformRowHeights(true);
    ListView->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView->setAllColumnsShowFocus(true);
    ListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView->setItemDelegate(new GridDelegate(ListView));
    ListView->setHeaderLabels({QStringLiteral("AVLO"), QStringLiteral("Name"),
                               QStringLiteral("IP Address"), QStringLiteral("Status"),
                               QStringLiteral("Condition")});
    ListView->header()->setStretchLastSection(false);
    ListView->header()->setSectionsMovable(false);
    int listWidth = 0;
    for (int c = 0; c < ColumnCount; ++c) {
        ListView->setColumnWidth(c, ColumnWidths[c]);
        listWidth += ColumnWidths[c];
    }
    ListView->setMinimumWidth(listWidth + 2 * ListView->frameWidth() + 2);
    // Keep the selection as visible when the list loses the focus.
    QPalette pal = ListView->palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        pal.setColor(QPalette::Inactive, role, pal.color(QPalette::Active, role));
    ListView->setPalette(pal);
    // A double-click on a row shows that device's properties, as the command does.
    connect(ListView, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem*, int) { ShowPropertiesBtn1Click(); });
    // A right-click offers the device commands of the main menu: the same entries, so they
    // are enabled, hinted and handled as there.
    ListViewMenu = new QMenu(this);
    ListViewMenu->setObjectName(QStringLiteral("ListViewMenu"));
    ListViewMenu->addActions(
        {ShowPropertiesMainMenu, EditDeviceMenu, DeleteDeviceMenu, ShowWebPage1MainMenu});
    ListViewMenu->setDefaultAction(ShowPropertiesMainMenu);
    BuildMuteMenu();
    ListView->setContextMenuPolicy(Qt::CustomContextMenu);

    SearchNetworkBtn = CommandButton(TabSheet2, "SearchNetworkBtn", "&Search Network",
                                     "Search the local network for Velkan devices");
    RegisterDeviceBtn = CommandButton(TabSheet2, "RegisterDeviceBtn", "&Register Device...",
                                      "Manually register a new Velkan device");
    EditBtn = CommandButton(TabSheet2, "EditBtn", "&Edit...",
                            "Change the name and the IP address of the selected device");
    DeleteBtn = CommandButton(TabSheet2, "DeleteBtn", "&Delete",
                              "Delete the selected device from the list");
    ShowPropertiesBtn = CommandButton(TabSheet2, "ShowPropertiesBtn", "Show &Properties...",
                                      "Show the properties of the selected device");
    ShowWebPageBtn = CommandButton(TabSheet2, "ShowWebPageBtn", "Show &Web Page...",
                                   "Display the web page of the device within a web browser");

    auto* top = new QHBoxLayout;
    top->addWidget(PictureLabel(TabSheet2, "Image1", windowIcon().pixmap(48, 48)));
    top->addWidget(intro, 1);
    auto* left = new QVBoxLayout;
    left->addLayout(top);
    left->addWidget(heading);
    left->addWidget(ListView, 1);
    auto* right = new QVBoxLayout;
    right->addWidget(PictureLabel(TabSheet2, "Image2", NetworkPixmap(48)), 0, Qt::AlignHCenter);
    right->addSpacing(8);
    for (QPushButton* b : {SearchNetworkBtn, RegisterDeviceBtn, EditBtn, DeleteBtn,
                           ShowPropertiesBtn, ShowWebPageBtn})
        right->addWidget(b);
    right->addStretch(1);
    auto* page = new QHBoxLayout(TabSheet2);
    page->setContentsMargins(6, 6, 6, 6);
    page->addLayout(left, 1);
    page->addLayout(right);
}

QString TMainForm::ListViewInfoTip(int row) const {
    const QTreeWidgetItem* item = ListView ? ListView->topLevelItem(row) : nullptr;
    if (!item) return QString();
    return QStringLiteral(" Name:    ") + item->text(ColName) +
           QStringLiteral("\r\n IP Address:    ") + item->text(ColAddress) +
           QStringLiteral("\r\n Status:    ") + item->text(ColStatus) +
           QStringLiteral("\r\n Condition:    ") + item->text(ColCondition);
}

void TMainForm::RegisterDeviceBtn1Click() {
    if (core_->DeviceCount() < MaxDevices) {
        TRegisterDlg::Context context;
        context.AvloEnabled = true;
        context.RegisterMode = true;
        if (RunRegisterDlg(&context, -1)) core_->AddDevice(&context);
        return;
    }
    ShowMessage(this, MsgKind::Warning, QStringLiteral("AVLO Monitor"),
                QStringLiteral("The list of Registered Velkan Devices is full.\r\n"
                               "You cannot register more than ") +
                    QString::number(MaxDevices) + QStringLiteral(" devices."));
}

void TMainForm::EditBtn1Click() {
    const int row = ListView ? ListView->indexOfTopLevelItem(ListView->currentItem()) : -1;
    const Device* device = row >= 0 ? core_->FindDeviceByListIndex(row) : nullptr;
    if (!device) return;
    TRegisterDlg::Context context;
    context.Name = device->Name;
    context.IpAddress = device->IpAddress;
    context.AvloEnabled = device->AvloEnabled;
    context.RegisterMode = false;
    if (RunRegisterDlg(&context, row)) core_->UpdateDevice(row, &context, true);
}

// The register dialog, modal, for a new device (row -1) or the device in the row: its name
// and address must not be another device's. True when the user's input was accepted.
bool TMainForm::RunRegisterDlg(TRegisterDlg::Context* context, int row) {
    const CMonitorCore* core = core_.get();
    // On the heap and watched: a shutdown while it is open takes it with the window.
    QPointer<TRegisterDlg> dialog = new TRegisterDlg(
        this, context,
        [core, row](const std::string& name) { return core->IsNameFreeFor(name, row); },
        [core, row](const std::string& address) { return core->IsAddressFreeFor(address, row); });
    const int result = dialog->exec();
    if (!dialog) return false;
    delete dialog.data();
    return result == QDialog::Accepted;
}

void TMainForm::DeleteBtn1Click() {
    if (!ListView || ListView->selectedItems().size() != 1) return;
    core_->DeleteDevice(ListView->indexOfTopLevelItem(ListView->currentItem()));
    SetDeviceCommandsEnabled(false);
}

void TMainForm::ShowPropertiesBtn1Click() {
    const int row = ListView ? ListView->indexOfTopLevelItem(ListView->currentItem()) : -1;
    Device* device = row >= 0 ? core_->FindDeviceByListIndex(row) : nullptr;
    if (!device) return;
    const std::uint16_t id = device->DeviceId;
    // While the properties dialog is open, every change of its device reaches it.
    PropertiesDevice = id;
    TPropertiesDlg dialog(this, core_->SwitchFlags.stats, device, core_.get());
    dialog.MuteChosen = [this, id](std::int64_t until) { MuteDeviceAlerts(id, until); };
    dialog.SetMonitor(core_.get());
    // Every report of the device's thread and every status reply refresh it. A rewrite of the
    // row refreshes it only when the device's state moved without a report (an edit, a new
    // address from discovery, a network search that misses it): every device's report
    // rewrites every row, and that must not throw away a choice not yet applied.
    ShownDeviceState shown = ShownDeviceState::Of(*device);
    // The record is looked up each time: a report may name a device that has just gone.
    const auto refresh = [this, &dialog, &shown, id](std::uint16_t changed, bool always) {
        const Device* current = changed == id ? core_->FindDeviceById(id) : nullptr;
        if (!current || (!always && ShownDeviceState::Of(*current) == shown)) return;
        shown = ShownDeviceState::Of(*current);
        dialog.RefreshDevice();
    };
    connect(core_.get(), &CMonitorCore::DeviceReportHandled, &dialog,
            [refresh](std::uint16_t changed) { refresh(changed, true); });
    connect(core_.get(), &CMonitorCore::DeviceRowChanged, &dialog,
            [refresh](std::uint16_t changed) { refresh(changed, false); });
    // A record that leaves the table takes its dialog with it, before anything reads it.
    connect(core_.get(), &CMonitorCore::DeviceRemoved, &dialog, [this, &dialog, id] {
        if (!core_->FindDeviceById(id)) dialog.reject();
    });
    dialog.exec();
    PropertiesDevice = -1;
}

void TMainForm::ShowWebPageBtn1Click() {
    const QTreeWidgetItem* item = ListView ? ListView->currentItem() : nullptr;
    // A device whose address went to another device has no page to show.
    if (!item || item->text(ColAddress).isEmpty()) return;
    OpenUrl(QStringLiteral("http://") + item->text(ColAddress));
}

void TMainForm::ListViewChange(QTreeWidgetItem* item) {
    if (!item || !ListView) return;
    const int row = ListView->indexOfTopLevelItem(item);
    const Device* device = row >= 0 ? core_->FindDeviceByListIndex(row) : nullptr;
    if (!device) return;
    const bool checked = item->checkState(ColAvlo) == Qt::Checked;
    if (checked == device->AvloEnabled) return;
    TRegisterDlg::Context context;
    context.Name = device->Name;
    context.IpAddress = device->IpAddress;
    context.AvloEnabled = checked;
    context.RegisterMode = true;
    core_->UpdateDevice(row, &context, true);
}

void TMainForm::ListViewMouseDown(int row) {
    if (!ListView) return;
    SetDeviceCommandsEnabled(!ListView->selectedItems().isEmpty());
    if (row < 0 || row == ListView->indexOfTopLevelItem(ListView->currentItem())) return;
    ListView->clearSelection();
    ListView->setCurrentItem(ListView->topLevelItem(row));
}

void TMainForm::ListViewContextPopup(const QPoint& pos) {
    if (!ListView || !ListViewMenu) return;
    ShowMuteChoices();
    ListViewMenu->popup(ListView->viewport()->mapToGlobal(pos));
}

bool TMainForm::ListViewKeyDown(int key) {
    QAction* command = nullptr;
    if (key == Qt::Key_Return || key == Qt::Key_Enter) command = ShowPropertiesMainMenu;
    if (key == Qt::Key_Delete) command = DeleteDeviceMenu;
    if (!command) return false;
    // As from the menu: nothing while the command is disabled (no row selected).
    if (command->isEnabled()) command->trigger();
    return true;
}

void TMainForm::ListViewSelectionMoved() {
    if (ListView) SetDeviceCommandsEnabled(!ListView->selectedItems().isEmpty());
}

void TMainForm::SetDeviceCommandsEnabled(bool enabled) {
    for (QPushButton* button : {EditBtn, DeleteBtn, ShowPropertiesBtn, ShowWebPageBtn})
        if (button) button->setEnabled(enabled);
    for (QAction* action :
         {EditDeviceMenu, DeleteDeviceMenu, ShowPropertiesMainMenu, ShowWebPage1MainMenu})
        if (action) action->setEnabled(enabled);
}

void TMainForm::SearchNetworkBtn1Click() {
    // A search under way is not started again; the core shows the wait cursor until its end.
    core_->SearchNetwork();
}
