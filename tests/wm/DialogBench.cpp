#include "DialogBench.h"

#include <QApplication>
#include <QPushButton>

#include "app/AboutDlg.h"
#include "app/EventHistoryWindow.h"
#include "app/OptionsDlg.h"
#include "dialogs/SelectEventsDlgUnit.h"
#include "dialogs/ServerSecurityDlgUnit.h"
#include "dialogs/StatusDlgUnit.h"
#include "dialogs/TestModeSettingsDlgUnit.h"
#include "support/SimulatedSiteFixture.h"

DialogBench::DialogBench() : owner_(std::make_unique<QWidget>()) {
    owner_->setWindowTitle(QStringLiteral("AVLO Monitor"));
    owner_->resize(600, 400);
    owner_->move(20, 20);
    owner_->show();
    Record.DeviceId = 7;
    Record.Name = "Bench Amp";
    Record.ConnState = 2;
    Record.StatusKnown = true;
    Record.ModelCode = ModelRV13;
    Record.Serial = "61000007";
    Record.Status = HealthyStatus();
    newDevice_.RegisterMode = true;
    device_.Name = "Stage Left";
    device_.IpAddress = "127.0.0.2";
    const std::string config = dir_.filePath(QStringLiteral("avlo-monitor.ini")).toStdString();
    passwords_ = std::make_unique<CPasswordStore>(config, MakeDesktopKeyring());
}

DialogBench::~DialogBench() {
    // The dialogs go with their owner, before the records they point at.
    owner_.reset();
}

QWidget* DialogBench::ShowModal(QWidget* dialog) {
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
    return dialog;
}

void DialogBench::CloseAll() {
    // Closing a dialog may take its own windows (the condition window) with it.
    std::vector<QPointer<QWidget>> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) windows.emplace_back(window);
    for (const QPointer<QWidget>& window : windows) {
        if (window && window != owner_.get() && window->isVisible()) window->close();
    }
    QApplication::processEvents();
}

TPropertiesDlg* DialogBench::OpenProperties() {
    auto* dialog = new TPropertiesDlg(owner_.get(), true, &Record, nullptr);
    ShowModal(dialog);
    return dialog;
}

std::vector<DialogBench::Window> DialogBench::Windows() {
    QWidget* owner = owner_.get();
    auto free = [](const std::string&) { return true; };
    return {
        {"about box", QStringLiteral("About AVLO Monitor"), true,
         [=, this] { return ShowModal(new TAboutDlg(owner)); }},
        {"options", QStringLiteral("Options"), true,
         [=, this] { return ShowModal(new TOptionsDlg(owner, &options_)); }},
        {"register", QStringLiteral("Register Device"), true,
         [=, this] { return ShowModal(new TRegisterDlg(owner, &newDevice_, free, free)); }},
        {"edit", QStringLiteral("Edit : Stage Left"), true,
         [=, this] { return ShowModal(new TRegisterDlg(owner, &device_, free, free)); }},
        {"notifiable events", QStringLiteral("Select Events"), true,
         [=, this] { return ShowModal(new TSelectEventsDlg(owner, true, &events_)); }},
        {"advanced e-mail", QStringLiteral("Advanced E-mail Settings"), true,
         [=, this] { return ShowModal(new TAdvancedEmailDlg(owner, &advanced_)); }},
        {"server security", QStringLiteral("Server Security"), true,
         [=, this] {
             TServerSecurityDlg::Context context;
             context.Port = "25";
             return ShowModal(new TServerSecurityDlg(context, "alarm", *passwords_, owner));
         }},
        {"test mode", QStringLiteral("Test Mode Settings"), true,
         [=, this] { return ShowModal(new TTestSettingsDlg(owner, &testMode_)); }},
        {"properties", QStringLiteral("Properties :  Bench Amp"), true,
         [this] { return static_cast<QWidget*>(OpenProperties()); }},
        {"condition window", QStringLiteral("  Power Supply Condition"), true,
         [this]() -> QWidget* {
             TPropertiesDlg* properties = OpenProperties();
             properties->PSupplyBtn->click();
             return properties->StatusDlg;
         }},
        {"event history", QStringLiteral("Event History - AVLO Monitor"), false,
         [=, this] {
             auto* window = new TEventHistoryWindow(
                 dir_.filePath(QStringLiteral("events.db")).toStdString(), owner);
             window->setAttribute(Qt::WA_DeleteOnClose);
             window->show();
             return window;
         }},
    };
}
