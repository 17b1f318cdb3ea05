// The main window's life: construction in its fixed order, the core's signals turned into
// what the window shows, and the shutdown sequence.
#include "app/MainUnit.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItem>

#include "app/DesktopNotifier.h"
#include "app/DeviceStateLook.h"
#include "app/TrayState.h"
#include "platform/MessageBox.h"
#include "web/WebService.h"

namespace {

enum Column : int { ColAvlo = 0, ColName = 1, ColCondition = 4 };

}  // namespace

TMainForm::TMainForm(const StartupOptions& options, QWidget* parent)
    : QMainWindow(parent), core_(std::make_unique<CMonitorCore>(options)) {
    BuildControls();
    WireControls();
    WireCore();
    PropertiesDevice = -1;
    TestModeSettingsMenu->setVisible(core_->SwitchFlags.test);
    // The core's own boxes (errors of the program) belong to the window while it is shown.
    core_->MessageParent = [this]() -> QObject* { return isVisible() ? this : nullptr; };
    web_ = std::make_unique<CWebService>(*core_);
    core_->Start();
}

TMainForm::~TMainForm() {
    FormDestroy();
}

void TMainForm::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    web_.reset();  // no request reads the core once it shuts down
    core_->Shutdown();
    QApplication::restoreOverrideCursor();
}

void TMainForm::EndProgram() {
    core_->EndProgram();
}

void TMainForm::WireCore() {
    CMonitorCore* core = core_.get();
    connect(core, &CMonitorCore::SettingsLoaded, this, &TMainForm::FillEmailPage);
    connect(core, &CMonitorCore::DeviceAdded, this, &TMainForm::AddDeviceRow);
    connect(core, &CMonitorCore::DeviceRowChanged, this, &TMainForm::ShowDeviceRow);
    connect(core, &CMonitorCore::DeviceRemoved, this, &TMainForm::RemoveDeviceRow);
    connect(core, &CMonitorCore::DeviceCountChanged, this, &TMainForm::ShowRegisteredCount);
    connect(core, &CMonitorCore::SearchResult, this, [this](const QString& text) {
        ShowMessage(this, MsgKind::Information, QStringLiteral("AVLO Monitor"), text);
    });
    connect(core, &CMonitorCore::TestEmailBusyChanged, this, [this](bool busy) {
        SendTestEmailBtn->setEnabled(!busy && EnableEmailRadioBtn->isChecked());
    });
    connect(core, &CMonitorCore::EmailOutcomeToShow, this,
            qOverload<int, const EmailFields&>(&TMainForm::ShowEmailOutcome));
    connect(core, &CMonitorCore::EmailSettingsFaultFound, this, &TMainForm::ShowEmailSettingsFault);
    connect(core, &CMonitorCore::Busy, this, [](bool busy) {
        if (busy) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
        } else {
            QApplication::restoreOverrideCursor();
        }
    });
    connect(core, &CMonitorCore::EndRequested, this, [] { QCoreApplication::quit(); });
}

// A new device's row: its check box and an unknown condition, until its texts are shown.
void TMainForm::AddDeviceRow(std::uint16_t deviceId) {
    const Device* device = core_->FindDeviceById(deviceId);
    if (!device) return;
    auto* row = new QTreeWidgetItem();
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setText(ColCondition, QStringLiteral("Unknown"));
    const QSignalBlocker quiet(ListView);
    row->setCheckState(ColAvlo, device->AvloEnabled ? Qt::Checked : Qt::Unchecked);
    ListView->addTopLevelItem(row);
}

void TMainForm::ShowDeviceRow(std::uint16_t deviceId) {
    const Device* device = core_->FindDeviceById(deviceId);
    QTreeWidgetItem* item = device ? ListView->topLevelItem(device->ListIndex) : nullptr;
    if (!item) return;
    // The rewrite must not look like the user ticking boxes.
    const QSignalBlocker blocker(ListView);
    const QStringList texts = CMonitorCore::RowTexts(*device);
    for (int c = 0; c < texts.size(); ++c) item->setText(ColName + c, texts[c]);
    item->setCheckState(ColAvlo, device->AvloEnabled ? Qt::Checked : Qt::Unchecked);
    QString tip = ListViewInfoTip(device->ListIndex);
    const QString mute = MuteHint(*device);
    if (!mute.isEmpty()) tip += QStringLiteral("\r\n ") + mute;
    for (int c = 0; c < ListView->columnCount(); ++c) item->setToolTip(c, tip);
    ShowRowLook(*item, LookOf(*device), *StateIcons, ListView->palette());
    ShowMutedLook(*item, !mute.isEmpty(), *StateIcons);
    TrayLook->Update();
    Notifier->DeviceShown(*device);
}

void TMainForm::RemoveDeviceRow(int listIndex) {
    const QSignalBlocker quiet(ListView);
    ListView->setCurrentItem(ListView->topLevelItem(listIndex));
    delete ListView->takeTopLevelItem(listIndex);
    // The list would move the selection to a neighbour, which a second Delete would then
    // remove without the user having chosen it.
    ListView->clearSelection();
    TrayLook->Update();
}

void TMainForm::ShowRegisteredCount(int count) {
    RegisteredNumLabel->setText(QString::number(count));
}
