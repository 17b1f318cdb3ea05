// The notification-area icon and the menu commands that do not belong to a device: showing and
// hiding the window, the outside programs, and the dialogs of the tools and help menus.

#include <QAction>
#include <QCloseEvent>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "app/DesktopNotifier.h"
#include "app/DeviceStateLook.h"
#include "app/EventHistoryWindow.h"
#include "app/MainUnit.h"
#include "app/NotificationService.h"
#include "app/Shell.h"
#include "app/TrayState.h"
#include "dialogs/TestModeSettingsDlgUnit.h"
#include "platform/MessageBox.h"

namespace {

// The maker's service mailbox.
const char* const ServiceMailbox = "service@example.com";

// The program's icon: an amplifier front with a level meter, drawn so that no image file has
// to travel with the program.
QPixmap AmplifierPixmap(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    p.setPen(QPen(QColor(20, 30, 60), 1.5 * s));
    p.setBrush(QColor(40, 70, 140));
    p.drawRoundedRect(QRectF(2 * s, 7 * s, 28 * s, 18 * s), 3 * s, 3 * s);
    const QColor bars[] = {QColor(0, 200, 0), QColor(0, 200, 0), QColor(230, 200, 0),
                           QColor(230, 60, 40)};
    for (int i = 0; i < 4; ++i) {
        const qreal h = (4 + 2.5 * i) * s;
        p.fillRect(QRectF((6 + 5 * i) * s, 21 * s - h, 3 * s, h), bars[i]);
    }
    return pm;
}

QIcon AvloIcon() {
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64}) icon.addPixmap(AmplifierPixmap(size));
    return icon;
}

QMenu* NamedMenu(QWidget* owner, const char* name, const QString& title) {
    auto* menu = new QMenu(title, owner);
    menu->setObjectName(QString::fromLatin1(name));
    return menu;
}

QAction* NamedItem(QMenu* menu, const char* name, const QString& text) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

}  // namespace

void TMainForm::BuildTrayIcon() {
    PopupMenu = NamedMenu(this, "PopupMenu", QString());
    InfoMenu = NamedMenu(PopupMenu, "InfoMenu", QStringLiteral("&Help"));
    VisitVelkanHomePageMenu1 =
        NamedItem(InfoMenu, "VisitVelkanHomePageMenu1", "&Visit Velkan Home Page...");
    SendVelkanEmailMenu = NamedItem(InfoMenu, "SendVelkanEmailMenu", "&Send Velkan an Email...");
    PopupMenu->addMenu(InfoMenu);
    PopupMenu->addSeparator();
    ToolsMenu1 = NamedMenu(PopupMenu, "ToolsMenu1", QStringLiteral("&Tools"));
    EventViewerMenu1 = NamedItem(ToolsMenu1, "EventViewerMenu1", "Event &Viewer");
    Options1 = NamedItem(ToolsMenu1, "Options1", "O&ptions...");
    PopupMenu->addMenu(ToolsMenu1);
    PopupMenu->addSeparator();
    OpenMenu = NamedItem(PopupMenu, "OpenMenu", "&Open");
    PopupMenu->addSeparator();
    ExitMenu1 = NamedItem(PopupMenu, "ExitMenu1", "&Exit");

    TrayIcon = new QSystemTrayIcon(AvloIcon(), this);
    TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
    TrayIcon->setToolTip(QStringLiteral("AVLO Monitor"));
    TrayIcon->setContextMenu(PopupMenu);
    // The icon and its hint follow the worst state of the site; new faults and recoveries
    // come up as desktop notifications.
    StateIcons = std::make_unique<TStateIcons>();
    TrayLook =
        std::make_unique<TTrayLook>(TrayIcon, core_->Devices(), TrayIcon->icon(), *StateIcons);
    // Clicking a notification opens the window, as the icon's "Open" does.
    Notifier = std::make_unique<TDesktopNotifier>(
        *core_, TrayIcon, TNotificationService::SessionBus(), AmplifierPixmap(64).toImage(),
        [this] { OpenMenuClick(); });
    connect(TrayIcon, &QSystemTrayIcon::messageClicked, this, &TMainForm::OpenMenuClick);
    if (QSystemTrayIcon::isSystemTrayAvailable()) TrayIcon->show();
}

bool TMainForm::HasNotificationArea() {
    const bool available = NotificationAreaAvailable ? NotificationAreaAvailable()
                                                     : QSystemTrayIcon::isSystemTrayAvailable();
    // An area that appeared after start-up gets the icon before the window relies on it.
    if (available && !TrayIcon->isVisible()) TrayIcon->show();
    return available;
}

void TMainForm::OpenMenuClick() {
    showNormal();
    raise();
    activateWindow();
}

void TMainForm::ExitMenuClick() {
    // The main menu's exit only puts the window away; monitoring goes on.
    if (HasNotificationArea()) {
        hide();
        return;
    }
    // Without a notification area there is no other way to end the program, and a hidden
    // window could not be brought back: the exit command ends it, once the user confirms.
    if (ShowMessage(this, MsgKind::Confirmation, QStringLiteral("AVLO Monitor"),
                    QStringLiteral("Stop monitoring and close AVLO Monitor?")) == MsgResultYes) {
        EndProgram();
    }
}

void TMainForm::ExitMenu1Click() {
    EndProgram();
}

void TMainForm::TrayIconDblClick() {
    // A shown top-level window always has its own task-bar entry here, so showing it is all
    // that the double-click has to do.
    OpenMenuClick();
}

void TMainForm::EventViewerMenuClick() {
    // The program's own history window: the system log is not kept everywhere, and no
    // desktop has a viewer for it that one could count on.
    if (EventHistory == nullptr) EventHistory = new TEventHistoryWindow(core_->HistoryPath(), this);
    EventHistory->show();
    EventHistory->raise();
    EventHistory->activateWindow();
}

void TMainForm::VisitVelkanHomePageMenu1Click() {
    OpenUrl(QString::fromLatin1(HomePageUrl));
}

void TMainForm::SendVelkanEmailMenuClick() {
    OpenUrl(QStringLiteral("mailto:") + QString::fromLatin1(ServiceMailbox));
}

void TMainForm::TestModeSettingsMenuClick() {
    TTestSettingsDlg dialog(this, &core_->TestModeSettings);
    if (dialog.exec() == QDialog::Accepted) core_->TestModeSettingsChanged();
}

void TMainForm::closeEvent(QCloseEvent* e) {
    if (core_->Closing() || quitRequested_) {
        e->accept();
        return;
    }
    // Closing only hides the window in the notification area; monitoring goes on. Without
    // a notification area nothing could show a hidden window again, so it is minimised.
    e->ignore();
    if (HasNotificationArea()) {
        hide();
    } else {
        showMinimized();
    }
}
