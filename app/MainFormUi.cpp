// The main window's frame and controls: menus, pages, e-mail page, status bar, timers, and the
// wiring of every control to its handler. The device page is built with the device list, the
// notification-area icon with its menu commands.

#include <QCoreApplication>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <functional>
#include <utility>

#include "app/MainUnit.h"

namespace {

constexpr int ClientWidth = 655;
constexpr int ClientHeight = 434;
constexpr int HintPanelWidth = 430;
constexpr int EmailTextLength = 256;
const char* const RegisteredHint = "Number of registered Velkan devices";

// TMainForm has no meta-object of its own, so it cannot override eventFilter(); this small
// object lends it one. It lives as long as the watched object, or as owner when given.
class EventHook : public QObject {
public:
    using Fn = std::function<bool(QObject*, QEvent*)>;
    EventHook(QObject* watched, Fn fn, QObject* owner = nullptr)
        : QObject(owner ? owner : watched), fn_(std::move(fn)) {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override { return fn_(watched, e); }

private:
    Fn fn_;
};

void SetHint(QWidget* widget, const QString& hint) {
    widget->setStatusTip(hint);
    widget->setToolTip(hint);
}

QAction* AddItem(QMenu* menu, const char* name, const QString& text,
                 const QString& hint = QString()) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QString::fromLatin1(name));
    if (!hint.isEmpty()) {
        action->setStatusTip(hint);
        action->setToolTip(hint);
    }
    return action;
}

QMenu* AddMenu(QWidget* owner, const char* name, const QString& title) {
    auto* menu = new QMenu(title, owner);
    menu->setObjectName(QString::fromLatin1(name));
    return menu;
}

QPushButton* AddButton(QWidget* parent, const char* name, const QString& text,
                       const QString& hint = QString()) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    if (!hint.isEmpty()) SetHint(button, hint);
    return button;
}

QLineEdit* AddEdit(QWidget* parent, const char* name, int maxLength) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    if (maxLength > 0) edit->setMaxLength(maxLength);
    return edit;
}

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setBuddy(buddy);
    return label;
}

// The list selects the pressed row itself first; the handler then reacts to that selection,
// so the press is handed on to the list before the handler runs.
void HookListPresses(TMainForm* form) {
    QTreeWidget* list = form->ListView;
    new EventHook(list->viewport(),
                  [form, list, inPress = false](QObject* viewport, QEvent* e) mutable {
                      if (e->type() != QEvent::MouseButtonPress || inPress) return false;
                      const QPoint pos = static_cast<QMouseEvent*>(e)->position().toPoint();
                      QTreeWidgetItem* item = list->itemAt(pos);
                      const int row = item ? list->indexOfTopLevelItem(item) : -1;
                      inPress = true;
                      QCoreApplication::sendEvent(viewport, e);
                      inPress = false;
                      e->accept();
                      // A press beside the rows drops the selection at once, not only on release as
                      // the list would, so that the commands are disabled by this very press.
                      if (!item) list->clearSelection();
                      form->ListViewMouseDown(row);
                      return true;
                  });
}

// Enter and Delete run the device commands; any other key is the list's, and a selection it
// moved takes the commands with it, as a mouse press does.
void HookListKeys(TMainForm* form) {
    QTreeWidget* list = form->ListView;
    new EventHook(list, [form, list, inKey = false](QObject*, QEvent* e) mutable {
        if (e->type() != QEvent::KeyPress || inKey) return false;
        if (form->ListViewKeyDown(static_cast<QKeyEvent*>(e)->key())) return true;
        inKey = true;
        QCoreApplication::sendEvent(list, e);  // on to the window as well when the list ignores it
        inKey = false;
        e->accept();
        form->ListViewSelectionMoved();
        return true;
    });
}

}  // namespace

void TMainForm::BuildControls() {
    setWindowTitle(QStringLiteral("AVLO Monitor"));
    // The layout is made for a small 8-point face; larger default fonts cut the list's texts.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    BuildTrayIcon();
    setWindowIcon(TrayIcon->icon());
    // A fixed single border with only the close box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    BuildMenus();

    PageControl = new QTabWidget(this);
    PageControl->setObjectName(QStringLiteral("PageControl"));
    setCentralWidget(PageControl);
    BuildDevicePage();
    BuildEmailPage();
    PageControl->setCurrentWidget(TabSheet2);
    SetDeviceCommandsEnabled(false);  // nothing is selected yet

    BuildStatusBar();

    setFixedSize(ClientWidth, ClientHeight);
    if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void TMainForm::BuildMenus() {
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, ToolBar1);

    // A menu bar inside the tool bar keeps the menus' keyboard handling (Alt+letter, arrows
    // between menus) while looking like the flat tool bar the users know.
    auto* bar = new QMenuBar(ToolBar1);
    bar->setObjectName(QStringLiteral("MainMenu1"));
    bar->setNativeMenuBar(false);  // a global menu would take it out of the window
    ToolBar1->addWidget(bar);

    DeviceMenu = AddMenu(bar, "DeviceMenu", QStringLiteral("De&vice"));
    const QString searchHint = QStringLiteral("Search the local network for Velkan devices");
    SearchNetworkMenu = AddItem(DeviceMenu, "SearchNetworkMenu", "&Search Network", searchHint);
    RegisterDeviceMenu = AddItem(DeviceMenu, "RegisterDeviceMenu", "&Register Device...",
                                 "Register a new Velkan device");
    DeviceMenu->addSeparator();
    EditDeviceMenu = AddItem(DeviceMenu, "EditDeviceMenu", "&Edit...",
                             "Change the name and the IP address of the selected device");
    DeleteDeviceMenu = AddItem(DeviceMenu, "DeleteDeviceMenu", "&Delete",
                               "Delete the selected device from the list");
    ShowPropertiesMainMenu = AddItem(DeviceMenu, "ShowPropertiesMainMenu", "Show &Properties...",
                                     "Show the properties of the selected device");
    ShowWebPage1MainMenu = AddItem(DeviceMenu, "ShowWebPage1MainMenu", "Show &Web Page...",
                                   "Display the web page of the device within a web browser");
    DeviceMenu->addSeparator();
    ExitMenu = AddItem(DeviceMenu, "ExitMenu", "E&xit", "Close the application");

    ToolsMenu = AddMenu(bar, "ToolsMenu", QStringLiteral("&Tools"));
    EventViewerMenu = AddItem(ToolsMenu, "EventViewerMenu", "Event &Viewer",
                              "Display the events logged by AVLO Monitor in its event history");
    ToolsMenu->addSeparator();
    OptionsMenu = AddItem(ToolsMenu, "OptionsMenu", "&Options...");
    TestModeSettingsMenu = AddItem(ToolsMenu, "TestModeSettingsMenu", "Test Mode &Settings...");
    TestModeSettingsMenu->setVisible(false);  // only a process started with "test" shows it

    HelpMenu = AddMenu(bar, "HelpMenu", QStringLiteral("&Help"));
    VisitVelkanHomePageMenu =
        AddItem(HelpMenu, "VisitVelkanHomePageMenu", "&Visit AVLO Home Page...");
    SendVelkananEmailMenu = AddItem(HelpMenu, "SendVelkananEmailMenu", "&Send Velkan an Email...");
    HelpMenu->addSeparator();
    AboutMenu =
        AddItem(HelpMenu, "AboutMenu", "&About...", "Display information about AVLO Monitor");

    for (QMenu* menu : {DeviceMenu, ToolsMenu, HelpMenu}) bar->addMenu(menu);
}

void TMainForm::BuildEmailPage() {
    TabSheet3 = new QWidget(PageControl);
    TabSheet3->setObjectName(QStringLiteral("TabSheet3"));
    PageControl->addTab(TabSheet3, QStringLiteral("E-mail &Notification Setup"));

    auto* intro = new QLabel(
        QStringLiteral("AVLO Monitor can send an alert e-mail when a registered Velkan device "
                       "reports a fault.\nEnter your outgoing mail (SMTP) server, your account "
                       "and up to three recipients."),
        TabSheet3);
    intro->setObjectName(QStringLiteral("EmailIntroLabel"));
    intro->setWordWrap(true);

    auto* mode = new QGroupBox(QStringLiteral("E-mail notification"), TabSheet3);
    mode->setObjectName(QStringLiteral("EmailModeGroup"));
    EnableEmailRadioBtn = new QRadioButton(QStringLiteral("&Enable"), mode);
    EnableEmailRadioBtn->setObjectName(QStringLiteral("EnableEmailRadioBtn"));
    DisableEmailRadioBtn = new QRadioButton(QStringLiteral("&Disable"), mode);
    DisableEmailRadioBtn->setObjectName(QStringLiteral("DisableEmailRadioBtn"));
    DisableEmailRadioBtn->setChecked(true);
    auto* modeRow = new QHBoxLayout(mode);
    modeRow->addWidget(EnableEmailRadioBtn);
    modeRow->addWidget(DisableEmailRadioBtn);
    modeRow->addStretch(1);

    auto* server = new QGroupBox(QStringLiteral("Mail server and sender"), TabSheet3);
    server->setObjectName(QStringLiteral("EmailServerGroup"));
    ServerIpAddrEdit = AddEdit(server, "ServerIpAddrEdit", 0);
    ServerPortEdit = AddEdit(server, "ServerPortEdit", 0);
    UserNameEdit = AddEdit(server, "UserNameEdit", EmailTextLength);
    UserEmailEdit = AddEdit(server, "UserEmailEdit", EmailTextLength);
    ServerIpAddrLabel = AddLabel(server, "ServerIpAddrLabel", "&IP Address:", ServerIpAddrEdit);
    ServerPortLabel = AddLabel(server, "ServerPortLabel", "&Port:", ServerPortEdit);
    UserNameLabel = AddLabel(server, "UserNameLabel", "Your &Username:", UserNameEdit);
    UserEmailLabel = AddLabel(server, "UserEmailLabel", "Your E-&mail Address:", UserEmailEdit);
    auto* serverGrid = new QGridLayout(server);
    const std::pair<QLabel*, QLineEdit*> serverRows[] = {{ServerIpAddrLabel, ServerIpAddrEdit},
                                                         {ServerPortLabel, ServerPortEdit},
                                                         {UserNameLabel, UserNameEdit},
                                                         {UserEmailLabel, UserEmailEdit}};
    for (int r = 0; r < 4; ++r) {
        serverGrid->addWidget(serverRows[r].first, r, 0);
        serverGrid->addWidget(serverRows[r].second, r, 1);
    }
    ServerPortEdit->setMaximumWidth(80);
    serverGrid->setRowStretch(4, 1);

    auto* recipients = new QGroupBox(QStringLiteral("Recipients"), TabSheet3);
    recipients->setObjectName(QStringLiteral("EmailRecipientsGroup"));
    Email1Edit = AddEdit(recipients, "Email1Edit", EmailTextLength);
    Email2Edit = AddEdit(recipients, "Email2Edit", EmailTextLength);
    Email3Edit = AddEdit(recipients, "Email3Edit", EmailTextLength);
    Email1Label = AddLabel(recipients, "Email1Label", "E-mail &1:", Email1Edit);
    Email2Label = AddLabel(recipients, "Email2Label", "E-mail &2:", Email2Edit);
    Email3Label = AddLabel(recipients, "Email3Label", "E-mail &3:", Email3Edit);
    auto* recipientGrid = new QGridLayout(recipients);
    const std::pair<QLabel*, QLineEdit*> recipientRows[] = {
        {Email1Label, Email1Edit}, {Email2Label, Email2Edit}, {Email3Label, Email3Edit}};
    for (int r = 0; r < 3; ++r) {
        recipientGrid->addWidget(recipientRows[r].first, r, 0);
        recipientGrid->addWidget(recipientRows[r].second, r, 1);
    }
    recipientGrid->setRowStretch(3, 1);

    SelectEventsBtn = AddButton(TabSheet3, "SelectEventsBtn", "Select E&vents...");
    AdvancedEmailBtn = AddButton(TabSheet3, "AdvancedEmailBtn", "&Advanced...");
    ServerSecurityBtn = AddButton(TabSheet3, "ServerSecurityBtn", "Server &Security...");
    WebhooksBtn = AddButton(TabSheet3, "WebhooksBtn", "&Webhooks...");
    SendTestEmailBtn = AddButton(TabSheet3, "SendTestEmailBtn", "&Send Test E-mail");

    auto* groups = new QHBoxLayout;
    groups->addWidget(server, 1);
    groups->addWidget(recipients, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(SelectEventsBtn);
    buttons->addWidget(AdvancedEmailBtn);
    buttons->addWidget(ServerSecurityBtn);
    buttons->addWidget(WebhooksBtn);
    buttons->addStretch(1);
    buttons->addWidget(SendTestEmailBtn);
    auto* page = new QVBoxLayout(TabSheet3);
    page->setContentsMargins(8, 8, 8, 8);
    page->addWidget(intro);
    page->addWidget(mode);
    page->addLayout(groups, 1);
    page->addLayout(buttons);
}

void TMainForm::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setSizeGripEnabled(false);
    HintPanel = new QLabel(bar);
    HintPanel->setObjectName(QStringLiteral("HintPanel"));
    HintPanel->setFixedWidth(HintPanelWidth);
    auto* caption = new QLabel(QStringLiteral("Registered:"), bar);
    caption->setObjectName(QStringLiteral("RegisteredLabel"));
    RegisteredNumLabel = new QLabel(QStringLiteral("0"), bar);
    RegisteredNumLabel->setObjectName(QStringLiteral("RegisteredNumLabel"));
    for (QLabel* label : {caption, RegisteredNumLabel})
        SetHint(label, QString::fromLatin1(RegisteredHint));
    bar->addWidget(HintPanel);
    bar->addWidget(caption);
    bar->addWidget(RegisteredNumLabel, 1);

    // Hints go to the first panel instead of the status bar's message line, which would
    // cover the registered count while shown.
    QPointer<QLabel> panel = HintPanel;
    new EventHook(this, [panel](QObject*, QEvent* e) {
        if (e->type() != QEvent::StatusTip) return false;
        if (panel) panel->setText(static_cast<QStatusTipEvent*>(e)->tip());
        return true;
    });
}

void TMainForm::WireControls() {
    using B = QPushButton;
    using A = QAction;
    connect(SearchNetworkBtn, &B::clicked, this, &TMainForm::SearchNetworkBtn1Click);
    connect(SearchNetworkMenu, &A::triggered, this, &TMainForm::SearchNetworkBtn1Click);
    connect(RegisterDeviceBtn, &B::clicked, this, &TMainForm::RegisterDeviceBtn1Click);
    connect(RegisterDeviceMenu, &A::triggered, this, &TMainForm::RegisterDeviceBtn1Click);
    connect(EditBtn, &B::clicked, this, &TMainForm::EditBtn1Click);
    connect(EditDeviceMenu, &A::triggered, this, &TMainForm::EditBtn1Click);
    connect(DeleteBtn, &B::clicked, this, &TMainForm::DeleteBtn1Click);
    connect(DeleteDeviceMenu, &A::triggered, this, &TMainForm::DeleteBtn1Click);
    connect(ShowPropertiesBtn, &B::clicked, this, &TMainForm::ShowPropertiesBtn1Click);
    connect(ShowPropertiesMainMenu, &A::triggered, this, &TMainForm::ShowPropertiesBtn1Click);
    connect(ShowWebPageBtn, &B::clicked, this, &TMainForm::ShowWebPageBtn1Click);
    connect(ShowWebPage1MainMenu, &A::triggered, this, &TMainForm::ShowWebPageBtn1Click);

    connect(ExitMenu, &A::triggered, this, &TMainForm::ExitMenuClick);
    connect(EventViewerMenu, &A::triggered, this, &TMainForm::EventViewerMenuClick);
    connect(EventViewerMenu1, &A::triggered, this, &TMainForm::EventViewerMenuClick);
    connect(OptionsMenu, &A::triggered, this, &TMainForm::OptionsMenuClick);
    connect(Options1, &A::triggered, this, &TMainForm::OptionsMenuClick);
    connect(TestModeSettingsMenu, &A::triggered, this, &TMainForm::TestModeSettingsMenuClick);
    connect(VisitVelkanHomePageMenu, &A::triggered, this,
            &TMainForm::VisitVelkanHomePageMenu1Click);
    connect(VisitVelkanHomePageMenu1, &A::triggered, this,
            &TMainForm::VisitVelkanHomePageMenu1Click);
    connect(SendVelkananEmailMenu, &A::triggered, this, &TMainForm::SendVelkanEmailMenuClick);
    connect(SendVelkanEmailMenu, &A::triggered, this, &TMainForm::SendVelkanEmailMenuClick);
    connect(AboutMenu, &A::triggered, this, &TMainForm::AboutMenuClick);
    connect(OpenMenu, &A::triggered, this, &TMainForm::OpenMenuClick);
    connect(ExitMenu1, &A::triggered, this, &TMainForm::ExitMenu1Click);
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick) TrayIconDblClick();
            });

    connect(ListView, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* item, int) { ListViewChange(item); });
    HookListPresses(this);
    HookListKeys(this);
    connect(ListView, &QWidget::customContextMenuRequested, this, &TMainForm::ListViewContextPopup);

    connect(SelectEventsBtn, &B::clicked, this, &TMainForm::SelectEventsBtn1Click);
    connect(AdvancedEmailBtn, &B::clicked, this, &TMainForm::AdvancedEmailBtn1Click);
    connect(ServerSecurityBtn, &B::clicked, this, &TMainForm::ServerSecurityBtnClick);
    connect(WebhooksBtn, &B::clicked, this, &TMainForm::WebhooksBtnClick);
    connect(SendTestEmailBtn, &B::clicked, this, &TMainForm::SendTestEmailBtn1Click);
    const std::pair<QRadioButton*, void (TMainForm::*)()> radios[] = {
        {EnableEmailRadioBtn, &TMainForm::EnableEmailRadioBtnEnter},
        {DisableEmailRadioBtn, &TMainForm::DisableEmailRadioBtnEnter}};
    for (const auto& entry : radios) {
        QRadioButton* radio = entry.first;
        void (TMainForm::*handler)() = entry.second;
        // Focus covers the keyboard; toggled covers a click or a programmatic check.
        new EventHook(radio, [this, handler](QObject*, QEvent* e) {
            if (e->type() == QEvent::FocusIn && !destroyed_) (this->*handler)();
            return false;
        });
        connect(radio, &QRadioButton::toggled, this, [this, handler](bool on) {
            if (on && !destroyed_) (this->*handler)();
        });
    }
    connect(ServerPortEdit, &QLineEdit::textChanged, this, &TMainForm::ServerPortEditChange);
    // The page is the core's e-mail settings as the user types them.
    EmailSettings_Type* const settings = &core_->EmailSettings;
    connect(EnableEmailRadioBtn, &QRadioButton::toggled, this,
            [settings](bool on) { settings->Enabled = on; });
    const std::pair<QLineEdit*, std::string*> fields[] = {
        {ServerIpAddrEdit, &settings->server}, {UserNameEdit, &settings->userName},
        {UserEmailEdit, &settings->sender},    {Email1Edit, &settings->recipient[0]},
        {Email2Edit, &settings->recipient[1]}, {Email3Edit, &settings->recipient[2]}};
    for (const auto& field : fields) {
        std::string* const text = field.second;
        connect(field.first, &QLineEdit::textChanged, this,
                [text](const QString& typed) { *text = typed.toStdString(); });
    }

    // Ending the application first closes its windows and gives up if one stays visible;
    // without a notification area the close box keeps the window on screen (minimised), so
    // the close that comes with the end of the program has to be let through.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        new EventHook(
            app,
            [this, app](QObject* watched, QEvent* e) {
                if (watched != app || e->type() != QEvent::Quit) return false;
                quitRequested_ = true;
                // Should the end be refused after all, the close box works as before.
                QTimer::singleShot(0, this, [this] { quitRequested_ = false; });
                return false;
            },
            this);
    }
}
