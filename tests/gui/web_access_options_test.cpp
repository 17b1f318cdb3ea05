// The options dialog's "Web access" group and its accounts, driven as a user drives them: the
// group shows the core's record and OK writes it back (and to the settings file), the address
// to open follows the fields, and the accounts are added, refused, changed and removed in the
// accounts file, read back through the store as the web service reads it.
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QSysInfo>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <functional>

#include "MainFormFixture.h"
#include "app/AccountsPage.h"
#include "app/AddAccountDlg.h"
#include "app/OptionsDlg.h"
#include "app/WebAccessPage.h"
#include "support/TempDir.h"
#include "web/UserStore.h"

namespace {

// Runs `steps` on the modal window of type W that `open` shows, once it is up; one that the
// steps leave open is closed after a few seconds, so that a failing test ends.
template <class W>
bool WhileModal(const std::function<void()>& open, const std::function<void(W&)>& steps) {
    bool shown = false;
    QTimer::singleShot(0, qApp, [&] {
        auto* window = dynamic_cast<W*>(QApplication::activeModalWidget());
        if (!window) return;
        shown = true;
        QTimer::singleShot(5000, window, [window] { window->close(); });
        steps(*window);
    });
    open();
    return shown;
}

// ---- the group and the core's record ----

class WebAccessOptionsTest : public MainFormFixture {
protected:
    WebAccessOptionsTest() : MainFormFixture(72) {}

    void Open(const std::function<void(TOptionsDlg&)>& steps) {
        ASSERT_TRUE(WhileModal<TOptionsDlg>([this] { form_->OptionsMenuClick(); }, steps));
    }
};

TEST_F(WebAccessOptionsTest, GroupShowsTheRecordOkWritesItBackCancelDoesNot) {
    StartForm();
    WebSettings_Type& web = form_->Core().WebSettings;
    web = WebSettings_Type{false,           "127.0.0.1",     8471,          true,
                           "/etc/site.crt", "/etc/site.key", "scrape-token"};
    const WebSettings_Type before = web;
    const auto change = [](TOptionsDlg& d) {
        d.WebAccess->WebOnCheckBox->click();
        d.WebAccess->WebPortSpinBox->setValue(9443);
        d.WebAccess->WholeNetworkRadio->click();
    };
    Open([&](TOptionsDlg& d) {
        ASSERT_TRUE(d.WebAccess);
        EXPECT_FALSE(d.WebAccess->WebOnCheckBox->isChecked());
        EXPECT_EQ(d.WebAccess->WebPortSpinBox->value(), 8471);
        EXPECT_TRUE(d.WebAccess->ThisComputerRadio->isChecked());
        EXPECT_FALSE(d.WebAccess->WholeNetworkRadio->isChecked());
        EXPECT_EQ(d.WebAccess->WebAddressEdit->text(), "https://localhost:8471/");
        EXPECT_TRUE(d.WebAccess->WebAddressEdit->isReadOnly());
        change(d);
        d.CancelBtn->click();
    });
    EXPECT_EQ(web, before);

    Open([&](TOptionsDlg& d) {
        change(d);
        d.OKBtn->click();
    });
    WebSettings_Type expected = before;
    expected.On = true;
    expected.Port = 9443;
    expected.Address = "0.0.0.0";
    EXPECT_EQ(web, expected);  // what the group does not show is kept

    StopForm();
    const std::string file = ReadConfig();
    const auto web_section = file.find("[Web]\r\n");
    ASSERT_NE(web_section, std::string::npos) << file;
    for (const char* line :
         {"On=1\r\n", "Address=0.0.0.0\r\n", "Port=9443\r\n", "CertFile=/etc/site.crt\r\n"})
        EXPECT_NE(file.find(line, web_section), std::string::npos) << line << "\n" << file;
}

// ---- the address to open ----

struct AddressCase {
    const char* name;
    std::string address;  // in the record
    bool tls;
    int port;  // typed into the field after opening
    int pick;  // 0 leaves the choice, 1 this computer only, 2 the whole network
    QString open;
    std::string written;  // the record's Address after OK
    bool refused;         // plain HTTP on a network address: the service would not start
};

TEST(WebAccessAddressTest, FollowsTheFieldsAsTheyChange) {
    const QString host = QSysInfo::machineHostName();
    const AddressCase cases[] = {
        {"loopback_https", "127.0.0.1", true, 8470, 0, "https://localhost:8470/", "127.0.0.1",
         false},
        {"loopback_plain", "127.0.0.1", false, 8080, 0, "http://localhost:8080/", "127.0.0.1",
         false},
        {"other_loopback_kept", "127.0.0.5", true, 8470, 1, "https://localhost:8470/", "127.0.0.5",
         false},
        {"network", "0.0.0.0", true, 443, 0, "https://" + host + ":443/", "0.0.0.0", false},
        {"plain_to_network", "127.0.0.1", false, 8080, 2, "http://" + host + ":8080/", "0.0.0.0",
         true},
        {"plain_network_to_local", "0.0.0.0", false, 8080, 1, "http://localhost:8080/", "127.0.0.1",
         false},
        {"network_to_local", "0.0.0.0", true, 65535, 1, "https://localhost:65535/", "127.0.0.1",
         false},
        {"local_to_network", "127.0.0.1", true, 1, 2, "https://" + host + ":1/", "0.0.0.0", false},
        {"own_address_kept", "192.0.2.7", true, 8470, 2, "https://192.0.2.7:8470/", "192.0.2.7",
         false},
        {"own_ipv6_address", "2001:db8::7", true, 8470, 0, "https://[2001:db8::7]:8470/",
         "2001:db8::7", false},
        {"own_address_to_local", "192.0.2.7", true, 8470, 1, "https://localhost:8470/", "127.0.0.1",
         false},
    };
    for (const AddressCase& c : cases) {
        SCOPED_TRACE(c.name);
        WebSettings_Type settings;
        settings.Address = c.address;
        settings.Tls = c.tls;
        settings.Port = 5000;
        TWebAccessPage page(nullptr, settings);
        page.WebPortSpinBox->setValue(c.port);
        if (c.pick == 1) page.ThisComputerRadio->click();
        if (c.pick == 2) page.WholeNetworkRadio->click();
        EXPECT_EQ(page.WebAddressEdit->text(), c.open);
        EXPECT_EQ(page.Edited().Address, c.written);
        EXPECT_EQ(page.Edited().Port, c.port);
        EXPECT_EQ(!page.PlainHttpLabel->isHidden(), c.refused);
    }
}

TEST(WebAccessAddressTest, PortFieldKeepsToTheRangeOfPorts) {
    TWebAccessPage page(nullptr, WebSettings_Type{});
    page.WebPortSpinBox->setValue(0);
    EXPECT_EQ(page.Edited().Port, 1);
    page.WebPortSpinBox->setValue(70000);
    EXPECT_EQ(page.Edited().Port, 65535);
}

// ---- the accounts ----

class AccountsOptionsTest : public ::testing::Test {
protected:
    std::string UsersFile() const { return dir_.File("site.users"); }
    // The file as the web service sees it.
    std::vector<UserAccount> InFile() const {
        CUserStore store(UsersFile(), PasswordCost::Minimal());
        std::string failure;
        EXPECT_TRUE(store.Load(&failure)) << failure;
        return store.Accounts();
    }
    void Seed(const std::string& name, UserRole role) {
        CUserStore store(UsersFile(), PasswordCost::Minimal());
        ASSERT_TRUE(store.Load());
        ASSERT_TRUE(store.Add(name, role, "correct horse"));
        ASSERT_TRUE(store.Save());
    }
    // Fills the add dialog and presses OK; returns what it says when it stays open.
    QString AddThroughDialog(const QString& name, int role, const QString& password,
                             const QString& repeat, bool* stayed = nullptr) {
        QString said;
        bool open = false;
        EXPECT_TRUE(WhileModal<TAddAccountDlg>([this] { dialog_.Accounts->AddBtn->click(); },
                                               [&](TAddAccountDlg& d) {
                                                   d.NameEdit->setText(name);
                                                   d.RoleComboBox->setCurrentIndex(role);
                                                   d.PasswordEdit->setText(password);
                                                   d.RepeatEdit->setText(repeat);
                                                   d.OKBtn->click();
                                                   open = d.isVisible();
                                                   said = d.ProblemLabel->isVisible()
                                                              ? d.ProblemLabel->text()
                                                              : QString();
                                                   if (open) d.CancelBtn->click();
                                               }));
        if (stayed) *stayed = open;
        return said;
    }
    QStringList Listed() const {
        QStringList rows;
        const QTreeWidget* list = dialog_.Accounts->AccountsList;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            rows << list->topLevelItem(i)->text(0) + ':' + list->topLevelItem(i)->text(1);
        return rows;
    }
    void Select(const QString& name) {
        const auto found = dialog_.Accounts->AccountsList->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        dialog_.Accounts->AccountsList->setCurrentItem(found.front());
    }
    void RemoveAnswering(QMessageBox::StandardButton answer) {
        EXPECT_TRUE(WhileModal<QMessageBox>([this] { dialog_.Accounts->RemoveBtn->click(); },
                                            [&](QMessageBox& box) {
                                                EXPECT_TRUE(box.text().contains("\"ops\""));
                                                box.button(answer)->click();
                                            }));
    }

    TempDir dir_;
    Options_Type options_{};
    CUserStore store_{UsersFile(), PasswordCost::Minimal()};
    TOptionsDlg dialog_{nullptr, &options_, nullptr, &store_};
};

TEST_F(AccountsOptionsTest, AddedAccountIsInTheFileWithItsRoleAndPassword) {
    ASSERT_TRUE(dialog_.Accounts);
    EXPECT_TRUE(Listed().isEmpty());
    bool stayed = true;
    EXPECT_EQ(AddThroughDialog("ops", 1, "s3cret-pass", "s3cret-pass", &stayed), "");
    EXPECT_FALSE(stayed);
    EXPECT_EQ(Listed(), QStringList{"ops:operator"});

    const auto accounts = InFile();
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].name, "ops");
    EXPECT_EQ(accounts[0].role, UserRole::Operator);
    CUserStore reread(UsersFile(), PasswordCost::Minimal());
    ASSERT_TRUE(reread.Load());
    EXPECT_EQ(reread.Verify("ops", "s3cret-pass"), UserRole::Operator);
    struct stat st {};
    ASSERT_EQ(stat(UsersFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

struct RefusedCase {
    const char* name;
    QString user, password, repeat;
    QString said;
};

TEST_F(AccountsOptionsTest, RefusedAccountIsSaidInWordsAndNotWritten) {
    Seed("ops", UserRole::Viewer);
    TOptionsDlg dialog(nullptr, &options_, nullptr, &store_);
    const RefusedCase cases[] = {
        {"mismatch", "anna", "s3cret-pass", "s3cret-pasz", "The two passwords are not the same."},
        {"short", "anna", "short", "short", "The password is shorter than 8 characters."},
        {"space_in_name", "an na", "s3cret-pass", "s3cret-pass",
         "A user name may not hold spaces, control characters or \":\"."},
        {"empty_name", "", "s3cret-pass", "s3cret-pass", "The user name is empty."},
        {"taken", "ops", "s3cret-pass", "s3cret-pass", "A user named ops exists already."},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.name);
        QString said;
        bool stayed = false;
        EXPECT_TRUE(WhileModal<TAddAccountDlg>([&] { dialog.Accounts->AddBtn->click(); },
                                               [&](TAddAccountDlg& d) {
                                                   d.NameEdit->setText(c.user);
                                                   d.PasswordEdit->setText(c.password);
                                                   d.RepeatEdit->setText(c.repeat);
                                                   d.OKBtn->click();
                                                   stayed = d.isVisible();
                                                   said = d.ProblemLabel->text();
                                                   d.CancelBtn->click();
                                               }));
        EXPECT_TRUE(stayed);
        EXPECT_EQ(said, c.said);
        const auto accounts = InFile();
        ASSERT_EQ(accounts.size(), 1u);
        EXPECT_EQ(accounts[0].name, "ops");
        EXPECT_EQ(dialog.Accounts->AccountsList->topLevelItemCount(), 1);
    }
}

TEST_F(AccountsOptionsTest, RoleChangeAndRemovalReachTheFileRemovalOnlyWhenConfirmed) {
    ASSERT_EQ(AddThroughDialog("ops", 0, "s3cret-pass", "s3cret-pass"), "");
    ASSERT_EQ(AddThroughDialog("anna", 0, "an0ther-pass", "an0ther-pass"), "");
    Select("ops");
    EXPECT_EQ(dialog_.Accounts->RoleBtn->text(), "Make Opera&tor");
    dialog_.Accounts->RoleBtn->click();
    EXPECT_EQ(Listed(), (QStringList{"ops:operator", "anna:viewer"}));
    EXPECT_EQ(dialog_.Accounts->RoleBtn->text(), "Make &Viewer");
    auto accounts = InFile();
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts[0].role, UserRole::Operator);
    CUserStore reread(UsersFile(), PasswordCost::Minimal());
    ASSERT_TRUE(reread.Load());
    EXPECT_EQ(reread.Verify("ops", "s3cret-pass"), UserRole::Operator);  // password kept

    RemoveAnswering(QMessageBox::No);
    EXPECT_EQ(InFile().size(), 2u);
    RemoveAnswering(QMessageBox::Yes);
    accounts = InFile();
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].name, "anna");
    EXPECT_EQ(Listed(), QStringList{"anna:viewer"});
    EXPECT_FALSE(dialog_.Accounts->RemoveBtn->isEnabled());  // nothing selected any more
}

TEST_F(AccountsOptionsTest, AFileThatIsRefusedIsShownWithTheReasonAndLeftAlone) {
    Seed("ops", UserRole::Viewer);
    ASSERT_EQ(chmod(UsersFile().c_str(), 0644), 0);
    std::ifstream in(UsersFile());
    const std::string before((std::istreambuf_iterator<char>(in)), {});
    TOptionsDlg dialog(nullptr, &options_, nullptr, &store_);
    const QLabel* problem = dialog.Accounts->ProblemLabel;
    EXPECT_FALSE(problem->isHidden());
    EXPECT_TRUE(problem->text().contains(QString::fromStdString(UsersFile())))
        << problem->text().toStdString();
    EXPECT_FALSE(dialog.Accounts->AddBtn->isEnabled());
    EXPECT_EQ(dialog.Accounts->AccountsList->topLevelItemCount(), 0);
    std::ifstream again(UsersFile());
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), {}), before);
}

}  // namespace
