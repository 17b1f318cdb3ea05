// The register/edit device dialog, driven as a user drives it: key clicks into the fields and
// clicks on its buttons. First the dialog on its own (its controls, the octet fields' filtering,
// the checks at OK), then through the main window against simulated devices: registering and
// editing by hand, duplicates refused in both modes, and addresses with leading zeros.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <functional>
#include <string>
#include <vector>

#include "MainFormFixture.h"
#include "dialogs/RegisterDlgUnit.h"

// Readable failure messages for Qt strings (found by argument-dependent lookup).
[[maybe_unused]] static void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
[[maybe_unused]] static void PrintTo(const QStringList& texts, std::ostream* out) {
    *out << '{';
    for (const QString& text : texts) *out << " \"" << text.toStdString() << '"';
    *out << " }";
}

namespace {

const QString kNameMissing =
    QStringLiteral("The Velkan device must be given a name.\r\nEnter a name, then try again.");
const QString kIncomplete = QStringLiteral(
    "The IP address of the Velkan device is incomplete.\r\n"
    "Check the four sections of the IP address, then try again.");
const QString kTooLarge = QStringLiteral(
    "The value of any field of the IP address must not exceed 255.\r\n"
    "Check the IP address, then try again.");

QString NameTaken(const QString& name) {
    return QStringLiteral("Another Velkan device has already been given the name \"") + name +
           QStringLiteral("\".\r\nPlease enter another name.");
}
QString AddressTaken(const QString& address) {
    return QStringLiteral("A Velkan device with the \"") + address +
           QStringLiteral(
               "\" IP address has already been registered.\r\n"
               "It appears that you are trying to register the same device twice.\r\n"
               "AVLO Monitor does not allow any device to have more than one registration.");
}

// Each key goes to the field that has the focus at that moment, as the keyboard's do.
void Type(QWidget* window, const QString& keys) {
    for (const QChar key : keys) {
        QWidget* target = window->focusWidget();
        ASSERT_NE(target, nullptr);
        QTest::keyClicks(target, QString(key));
    }
}

// A whole address typed from the first octet field on, as after a click and a select-all
// there: the fields that follow are selected as the focus moves into them.
void TypeAddress(TRegisterDlg& dlg, const QString& keys) {
    dlg.Ip1Edit->setFocus();
    dlg.Ip1Edit->selectAll();
    Type(&dlg, keys);
}

// The texts of the boxes shown since the last call.
QStringList BoxTexts() {
    QStringList texts;
    for (const auto& shown : MessageBoxSeam::TakeShown()) {
        EXPECT_EQ(shown.kind, MsgKind::Error) << shown.text.toStdString();
        texts << shown.text;
    }
    return texts;
}

// ---------------------------------------------------------------------------------------------
// The dialog on its own, with the table's checks standing in as lists of names and addresses
// that are taken.

class RegisterDialogTest : public testing::Test {
protected:
    void SetUp() override { MessageBoxSeam::Capture(true); }
    void TearDown() override { MessageBoxSeam::Capture(false); }

    std::unique_ptr<TRegisterDlg> Open(bool registerMode, std::string name = {},
                                       std::string address = {}, bool avlo = true) {
        context_.Name = std::move(name);
        context_.IpAddress = std::move(address);
        context_.AvloEnabled = avlo;
        context_.RegisterMode = registerMode;
        before_ = context_;
        return std::make_unique<TRegisterDlg>(
            nullptr, &context_,
            [this](const std::string& n) {
                return std::find(takenNames_.begin(), takenNames_.end(), n) == takenNames_.end();
            },
            [this](const std::string& a) {
                return std::find(takenAddresses_.begin(), takenAddresses_.end(), a) ==
                       takenAddresses_.end();
            });
    }
    static void TypeInto(QLineEdit* edit, const QString& text) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }
    static void FillAddress(TRegisterDlg& dlg, const QStringList& octets) {
        QLineEdit* edits[] = {dlg.Ip1Edit, dlg.Ip2Edit, dlg.Ip3Edit, dlg.Ip4Edit};
        for (int k = 0; k < 4; ++k) {
            edits[k]->clear();
            if (!octets[k].isEmpty()) TypeInto(edits[k], octets[k]);
        }
    }
    bool ContextUnchanged() const {
        return context_.Name == before_.Name && context_.IpAddress == before_.IpAddress &&
               context_.AvloEnabled == before_.AvloEnabled;
    }

    TRegisterDlg::Context context_;
    TRegisterDlg::Context before_;
    std::vector<std::string> takenNames_;
    std::vector<std::string> takenAddresses_;
};

TEST_F(RegisterDialogTest, RegisterModeShowsItsControlsWithTheirTexts) {
    auto dlg = Open(true);
    EXPECT_EQ(dlg->windowTitle(), "Register Device");
    EXPECT_EQ(dlg->TitleLabel->text(), "Details of Velkan Device ");
    EXPECT_EQ(dlg->StaticText->text(),
              MessageBoxSeam::ForDisplay("Enter a name and an IP address for the Velkan \r\n"
                                         "device you wish to register. Press \"Register\" \r\n"
                                         "to have the device registered."));
    EXPECT_EQ(dlg->NameLabel->text(), "&Name:");
    EXPECT_EQ(dlg->NameLabel->buddy(), dlg->DeviceNameEdit);
    EXPECT_EQ(dlg->IpAddrLabel->text(), "IP &Address:");
    EXPECT_EQ(dlg->IpAddrEdit->text(), "         .          .          .");
    EXPECT_FALSE(dlg->IpAddrEdit->isEnabled());
    EXPECT_TRUE(dlg->IpAddrEdit->isReadOnly());
    EXPECT_TRUE(dlg->IpAddrEdit->font().bold());
    for (QLineEdit* octet : {dlg->Ip1Edit, dlg->Ip2Edit, dlg->Ip3Edit, dlg->Ip4Edit}) {
        EXPECT_TRUE(octet->text().isEmpty());
        EXPECT_EQ(octet->maxLength(), 3);
        EXPECT_EQ(octet->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        // Placed over the frame field, inside it.
        EXPECT_TRUE(dlg->IpAddrEdit->geometry().contains(octet->geometry()))
            << octet->objectName().toStdString();
    }
    EXPECT_EQ(dlg->EnableAvloCheckBox->text(), "&Enable AVLO for this device");
    EXPECT_TRUE(dlg->EnableAvloCheckBox->isChecked());
    EXPECT_EQ(dlg->OkBtn->text(), "&Register");
    EXPECT_EQ(dlg->CancelBtn->text(), "&Cancel");
    EXPECT_FALSE(dlg->RegisterImage->isHidden());
    EXPECT_TRUE(dlg->EditImage->isHidden());
    EXPECT_EQ(dlg->RegisterImage->y(), 28);
    EXPECT_FALSE(dlg->RegisterImage->pixmap().isNull());
    EXPECT_FALSE(dlg->EditImage->pixmap().isNull());
    EXPECT_EQ(dlg->focusWidget(), dlg->DeviceNameEdit);
}

TEST_F(RegisterDialogTest, EditModeIsFilledFromTheDevice) {
    auto dlg = Open(false, "Hall", "127.0.51.20", false);
    EXPECT_EQ(dlg->windowTitle(), "Edit : Hall");
    EXPECT_EQ(dlg->DeviceNameEdit->text(), "Hall");
    EXPECT_EQ(dlg->Ip1Edit->text(), "127");
    EXPECT_EQ(dlg->Ip2Edit->text(), "0");
    EXPECT_EQ(dlg->Ip3Edit->text(), "51");
    EXPECT_EQ(dlg->Ip4Edit->text(), "20");
    EXPECT_FALSE(dlg->EnableAvloCheckBox->isChecked());
    EXPECT_EQ(dlg->OkBtn->text(), "&OK");
    EXPECT_EQ(dlg->StaticText->text(),
              MessageBoxSeam::ForDisplay("Enter a name and an IP address of the Velkan\r\n"
                                         "device that you wish to register. Press \"OK\"\r\n"
                                         "to have the device registered."));
    EXPECT_FALSE(dlg->EditImage->isHidden());
    EXPECT_TRUE(dlg->RegisterImage->isHidden());
    EXPECT_EQ(dlg->focusWidget(), dlg->DeviceNameEdit);
    EXPECT_EQ(dlg->LastOctetText[0], "127");
    EXPECT_EQ(dlg->LastOctetText[3], "20");

    // Accepted unchanged: the device's own name and address are its own.
    takenNames_ = {"Hall"};
    takenAddresses_ = {"127.0.51.20"};
    auto own = Open(false, "Hall", "127.0.51.20", false);
    takenNames_.clear();
    takenAddresses_.clear();
    own->OkBtn->click();
    EXPECT_EQ(own->result(), QDialog::Accepted);
    EXPECT_TRUE(BoxTexts().isEmpty());
}

// What is left in the fields and where the focus is after a sequence of key clicks, each
// sent to the field that has the focus.
TEST_F(RegisterDialogTest, OctetFieldsTakeDigitsAndMoveOnAfterThreeOrADot) {
    struct Case {
        const char* keys;
        QStringList octets;
        int focus;  // 1..4: IpNEdit
    };
    const Case cases[] = {
        {"12.", {"12", "", "", ""}, 2},
        {"1a", {"1", "", "", ""}, 1},
        {"x-+ ", {"", "", "", ""}, 1},
        {"192", {"192", "", "", ""}, 2},
        {".", {"", "", "", ""}, 1},  // nothing typed yet: the dot is refused and stays put
        {"12..", {"12", "", "", ""}, 2},
        {"192168", {"192", "168", "", ""}, 3},
        {"10.0.51.7", {"10", "0", "51", "7"}, 4},
        {"1.2.3.4.5", {"1", "2", "3", "45"}, 4},  // the last field never moves on
        {"300", {"300", "", "", ""}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        auto dlg = Open(true);
        dlg->Ip1Edit->setFocus();
        Type(dlg.get(), QString::fromLatin1(c.keys));
        EXPECT_EQ(QStringList({dlg->Ip1Edit->text(), dlg->Ip2Edit->text(), dlg->Ip3Edit->text(),
                               dlg->Ip4Edit->text()}),
                  c.octets);
        QLineEdit* edits[] = {dlg->Ip1Edit, dlg->Ip2Edit, dlg->Ip3Edit, dlg->Ip4Edit};
        EXPECT_EQ(dlg->focusWidget(), edits[c.focus - 1]);
    }
}

TEST_F(RegisterDialogTest, FieldMovedIntoIsSelectedSoThatTypingReplacesIt) {
    auto dlg = Open(false, "Hall", "127.0.51.20");
    TypeAddress(*dlg, "10");
    EXPECT_EQ(dlg->focusWidget(), dlg->Ip1Edit);
    Type(dlg.get(), "1");  // three digits: on to the second field, whose "0" is replaced
    EXPECT_EQ(dlg->focusWidget(), dlg->Ip2Edit);
    Type(dlg.get(), "1.52.9");  // a dot moves on as well
    EXPECT_EQ(QStringList({dlg->Ip1Edit->text(), dlg->Ip2Edit->text(), dlg->Ip3Edit->text(),
                           dlg->Ip4Edit->text()}),
              QStringList({"101", "1", "52", "9"}));
}

QStringList Octets(const TRegisterDlg& dlg) {
    return {dlg.Ip1Edit->text(), dlg.Ip2Edit->text(), dlg.Ip3Edit->text(), dlg.Ip4Edit->text()};
}

// The three ways a text is pasted into a field: the two keys and the field's own menu.
enum class PasteBy { CtrlV, ShiftInsert, Menu };

void Paste(QLineEdit* edit, const QString& text, PasteBy by) {
    QGuiApplication::clipboard()->setText(text);
    switch (by) {
        case PasteBy::CtrlV:
            QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
            return;
        case PasteBy::ShiftInsert:
            QTest::keyClick(edit, Qt::Key_Insert, Qt::ShiftModifier);
            return;
        case PasteBy::Menu: {
            QContextMenuEvent request(QContextMenuEvent::Mouse, edit->rect().center(),
                                      edit->mapToGlobal(edit->rect().center()));
            QCoreApplication::sendEvent(edit, &request);
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            QAction* paste = nullptr;
            for (QAction* action : menu->actions()) {
                if (action->text().startsWith(QStringLiteral("&Paste"))) paste = action;
            }
            ASSERT_NE(paste, nullptr);
            paste->trigger();
            menu->close();
            return;
        }
    }
}

// An address copied from elsewhere is pasted whole: into any octet field, with blanks or a
// line end around it, it fills all four. Anything that is not an address is refused and the
// fields keep what they had; digits alone are pasted into the field as typed ones are.
TEST_F(RegisterDialogTest, APastedAddressFillsTheFourOctetsAndAnythingElseIsRefused) {
    struct Case {
        const char* name;
        const char* pasted;
        int into;  // 1..4: IpNEdit, its text selected
        QStringList octets;
        int focus;
    };
    const QStringList before = {"127", "0", "51", "20"};
    const Case cases[] = {
        {"address", "10.0.0.5", 1, {"10", "0", "0", "5"}, 4},
        {"with_blanks", "  10.0.0.5 \n", 1, {"10", "0", "0", "5"}, 4},
        {"into_the_third", "192.168.1.250", 3, {"192", "168", "1", "250"}, 4},
        {"three_parts", "10.0.0", 2, before, 2},
        {"five_parts", "10.0.0.5.6", 1, before, 1},
        {"above_255", "10.0.0.256", 1, before, 1},
        {"empty_part", "10..0.5", 1, before, 1},
        {"letters", "amp-7", 4, before, 4},
        {"host_and_port", "10.0.0.5:80", 1, before, 1},
        {"digits", "42", 3, {"127", "0", "42", "20"}, 3},
    };
    for (const PasteBy by : {PasteBy::CtrlV, PasteBy::ShiftInsert, PasteBy::Menu}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " by " + std::to_string(static_cast<int>(by)));
            auto dlg = Open(false, "Hall", "127.0.51.20");
            QLineEdit* edits[] = {dlg->Ip1Edit, dlg->Ip2Edit, dlg->Ip3Edit, dlg->Ip4Edit};
            QLineEdit* target = edits[c.into - 1];
            target->setFocus();
            target->selectAll();
            Paste(target, QString::fromLatin1(c.pasted), by);
            EXPECT_EQ(Octets(*dlg), c.octets);
            EXPECT_EQ(dlg->focusWidget(), edits[c.focus - 1]);
        }
    }
    // Pasted, the address is taken at OK as typed ones are.
    auto dlg = Open(true);
    TypeInto(dlg->DeviceNameEdit, "Stage");
    dlg->Ip1Edit->setFocus();
    Paste(dlg->Ip1Edit, QStringLiteral(" 10.0.0.5 "), PasteBy::CtrlV);
    dlg->OkBtn->click();
    EXPECT_TRUE(BoxTexts().isEmpty());
    EXPECT_EQ(context_.IpAddress, "10.0.0.5");
}

// Backspace in an empty octet field goes back to the one before, so that a wrong octet is
// mended as in a single field; further Backspaces then delete there.
TEST_F(RegisterDialogTest, BackspaceInAnEmptyOctetGoesBackToThePreviousOne) {
    auto dlg = Open(true);
    TypeAddress(*dlg, "10.20");
    ASSERT_EQ(dlg->focusWidget(), dlg->Ip2Edit);
    for (int i = 0; i < 3; ++i) QTest::keyClick(dlg->focusWidget(), Qt::Key_Backspace);
    EXPECT_EQ(dlg->focusWidget(), dlg->Ip1Edit);
    EXPECT_EQ(Octets(*dlg), QStringList({"10", "", "", ""}));  // nothing deleted on the way back
    EXPECT_EQ(dlg->Ip1Edit->cursorPosition(), 2);
    EXPECT_FALSE(dlg->Ip1Edit->hasSelectedText());
    QTest::keyClick(dlg->focusWidget(), Qt::Key_Backspace);
    EXPECT_EQ(Octets(*dlg), QStringList({"1", "", "", ""}));
    for (int i = 0; i < 3; ++i) QTest::keyClick(dlg->focusWidget(), Qt::Key_Backspace);
    EXPECT_EQ(dlg->focusWidget(), dlg->Ip1Edit);  // the first field has none before it
    Type(dlg.get(), "1.2.3.");
    EXPECT_EQ(dlg->focusWidget(), dlg->Ip4Edit);
    QTest::keyClick(dlg->focusWidget(), Qt::Key_Backspace);
    EXPECT_EQ(dlg->focusWidget(), dlg->Ip3Edit);
    EXPECT_EQ(dlg->Ip3Edit->cursorPosition(), 1);
}

TEST_F(RegisterDialogTest, OctetAbove255IsRedAndRefusedAtOk) {
    auto dlg = Open(true);
    TypeInto(dlg->DeviceNameEdit, "Stage");
    FillAddress(*dlg, {"300", "0", "51", "7"});
    EXPECT_EQ(dlg->Ip1Edit->palette().color(QPalette::Text), QColor(Qt::red));
    EXPECT_NE(dlg->Ip2Edit->palette().color(QPalette::Text), QColor(Qt::red));

    dlg->OkBtn->click();
    EXPECT_EQ(BoxTexts(), QStringList{kTooLarge});
    EXPECT_EQ(dlg->focusWidget(), dlg->Ip1Edit);
    EXPECT_NE(dlg->result(), QDialog::Accepted);
    EXPECT_TRUE(ContextUnchanged());

    // Mended, the colour goes back and the address is taken.
    TypeInto(dlg->Ip1Edit, "255");
    EXPECT_NE(dlg->Ip1Edit->palette().color(QPalette::Text), QColor(Qt::red));
    dlg->OkBtn->click();
    EXPECT_TRUE(BoxTexts().isEmpty());
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(context_.IpAddress, "255.0.51.7");
}

// One message per OK, the first failing check's, with the focus where the fault is.
TEST_F(RegisterDialogTest, ChecksRunInOrderAndTheFirstFailureIsReported) {
    struct Case {
        const char* what;
        QString name;
        QStringList octets;
        QString message;
        const char* focus;
    };
    const Case cases[] = {
        {"no name before a missing address", "", {"", "", "", ""}, kNameMissing, "DeviceNameEdit"},
        {"blanks are no name", "    ", {"300", "", "", ""}, kNameMissing, "DeviceNameEdit"},
        {"fourth octet missing", "Amp", {"192", "168", "1", ""}, kIncomplete, "Ip4Edit"},
        {"too large before the next one's emptiness",
         "Amp",
         {"300", "", "", ""},
         kTooLarge,
         "Ip1Edit"},
        {"first failing octet stops the check",
         "Amp",
         {"10", "", "999", ""},
         kIncomplete,
         "Ip2Edit"},
        {"third octet too large", "Amp", {"10", "0", "256", "1"}, kTooLarge, "Ip3Edit"},
        {"address checks before the name is looked up",
         "Taken",
         {"10", "0", "", "1"},
         kIncomplete,
         "Ip3Edit"},
        {"name taken before the address",
         "Taken",
         {"10", "0", "51", "9"},
         NameTaken("Taken"),
         "DeviceNameEdit"},
        {"address taken", "Free", {"10", "0", "51", "9"}, AddressTaken("10.0.51.9"), "Ip1Edit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        takenNames_ = {"Taken"};
        takenAddresses_ = {"10.0.51.9"};
        auto dlg = Open(true);
        TypeInto(dlg->DeviceNameEdit, c.name);
        FillAddress(*dlg, c.octets);
        dlg->OkBtn->click();
        EXPECT_EQ(BoxTexts(), QStringList{c.message});
        ASSERT_NE(dlg->focusWidget(), nullptr);
        EXPECT_EQ(dlg->focusWidget()->objectName(), c.focus);
        EXPECT_NE(dlg->result(), QDialog::Accepted);
        EXPECT_TRUE(ContextUnchanged());
    }
}

TEST_F(RegisterDialogTest, AcceptedInputIsTrimmedAndStoredInPlainDecimal) {
    auto dlg = Open(true);
    TypeInto(dlg->DeviceNameEdit, "  Stage Left  ");
    FillAddress(*dlg, {"010", "000", "051", "007"});
    QTest::mouseClick(dlg->EnableAvloCheckBox, Qt::LeftButton, {},
                      dlg->EnableAvloCheckBox->rect().center());
    EXPECT_FALSE(dlg->EnableAvloCheckBox->isChecked());
    dlg->OkBtn->click();
    EXPECT_TRUE(BoxTexts().isEmpty());
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(context_.Name, "Stage Left");
    EXPECT_EQ(context_.IpAddress, "10.0.51.7");
    EXPECT_FALSE(context_.AvloEnabled);
}

TEST_F(RegisterDialogTest, CancelLeavesTheContextAsItWas) {
    auto dlg = Open(false, "Hall", "127.0.51.20", true);
    TypeInto(dlg->DeviceNameEdit, "Foyer");
    FillAddress(*dlg, {"127", "0", "51", "21"});
    dlg->EnableAvloCheckBox->setChecked(false);
    dlg->CancelBtn->click();
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_TRUE(ContextUnchanged());
    EXPECT_TRUE(BoxTexts().isEmpty());
}

TEST(DecimalAddressTest, DropsLeadingZerosOfFourNumbersAndLeavesOtherTextAlone) {
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.001.010", "192.168.1.10"},
        {"127.0.059.002", "127.0.59.2"},
        {"000.00.0.0", "0.0.0.0"},
        {"10.0.51.7", "10.0.51.7"},
        {"", ""},
        {"amp.local", "amp.local"},
        {"1.2.3", "1.2.3"},
        {"1.2.3.4.5", "1.2.3.4.5"},
        {"1..3.4", "1..3.4"},
        {"1.2.3.", "1.2.3."},
        {"01.2.3.x", "01.2.3.x"},
    };
    for (const auto& [text, decimal] : cases) {
        EXPECT_EQ(CMonitorCore::DecimalAddress(text), decimal) << text;
    }
}

// ---------------------------------------------------------------------------------------------
// Through the main window, on this program's own loopback network 127.0.51.x.

class RegisterCommandTest : public MainFormFixture {
protected:
    RegisterCommandTest() : MainFormFixture(51) {}
    explicit RegisterCommandTest(int net) : MainFormFixture(net) {}

    int Sim(int host) { return QuietSim(host, "5100"); }

    // Runs act on the register dialog that the next command opens, inside the dialog's own
    // event loop; a dialog that act leaves open is cancelled, so that no test hangs.
    void OnDialog(std::function<void(TRegisterDlg&)> act) {
        dialogSeen_ = false;
        QTimer::singleShot(0, form_.get(), [this, act] {
            auto* dlg = dynamic_cast<TRegisterDlg*>(QApplication::activeModalWidget());
            if (dlg == nullptr) {
                ADD_FAILURE() << "no register dialog is open";
                return;
            }
            dialogSeen_ = true;
            dlg->setUpdatesEnabled(false);  // never painted: see the device list's tests
            act(*dlg);
            if (dlg->isVisible()) {
                ADD_FAILURE() << "the dialog is still open";
                dlg->reject();
            }
        });
    }
    // Types into a field as the user does after a click into it.
    static void TypeInto(QLineEdit* edit, const QString& text) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }
    void SelectRow(int row) {
        form_->ListView->setCurrentItem(form_->ListView->topLevelItem(row));
        form_->ListViewMouseDown(row);
        ASSERT_TRUE(form_->EditBtn->isEnabled());
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& d : form_->Core().Devices()) names.push_back(d->Name + "@" + d->IpAddress);
        return names;
    }

    bool dialogSeen_ = false;
};

TEST_F(RegisterCommandTest, RegisteredByHandTheDeviceConnectsShowsItsConditionAndIsSaved) {
    const int sim = Sim(2);
    StartQuiet();
    MessageBoxSeam::TakeShown();

    OnDialog([](TRegisterDlg& dlg) {
        EXPECT_EQ(dlg.windowTitle(), "Register Device");
        Type(&dlg, "Stage Left");
        TypeAddress(dlg, "127.0.51.2");  // the dots move from field to field
        dlg.OkBtn->click();
    });
    form_->RegisterDeviceBtn->click();
    ASSERT_TRUE(dialogSeen_);
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());

    ASSERT_EQ(form_->ListView->topLevelItemCount(), 1);
    EXPECT_EQ(Cell(0, ColName), "Stage Left");
    EXPECT_EQ(Cell(0, ColAddress), "127.0.51.2");
    EXPECT_TRUE(Ticked(0));
    EXPECT_EQ(Cell(0, ColStatus), "Connecting...");
    EXPECT_EQ(form_->RegisteredNumLabel->text(), "1");
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    EXPECT_EQ(Site().Snapshot(sim).connections, 1);
    EXPECT_EQ(EventsWithId(EV_DEVICE_REGISTERED).size(), 1u);

    StopForm();
    const std::string ini = ReadConfig();
    EXPECT_NE(ini.find("Registered=1\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("Name 0=Stage Left\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("IP 0=127.0.51.2\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("avlo 0=1\r\n"), std::string::npos) << ini;
}

TEST_F(RegisterCommandTest, EditedToAnotherAddressTheOldConnectionEndsAndTheNewOneStarts) {
    const int first = Sim(3);
    const int second = Sim(4);
    StartQuiet();
    Add("Balcony", Address(3), true);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    ASSERT_TRUE(Site().Snapshot(first).connected);
    const std::uint16_t id = form_->Core().Devices()[0]->DeviceId;
    MessageBoxSeam::TakeShown();

    SelectRow(0);
    OnDialog([](TRegisterDlg& dlg) {
        EXPECT_EQ(dlg.windowTitle(), "Edit : Balcony");
        EXPECT_EQ(dlg.Ip4Edit->text(), "3");
        TypeInto(dlg.Ip4Edit, "4");
        dlg.OkBtn->click();
    });
    form_->EditBtn->click();
    ASSERT_TRUE(dialogSeen_);
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());

    EXPECT_EQ(Cell(0, ColAddress), "127.0.51.4");
    EXPECT_EQ(form_->Core().Devices()[0]->DeviceId, id);
    EXPECT_TRUE(SimWait(first, [](const auto& s) { return !s.connected; }));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    EXPECT_TRUE(Site().Snapshot(second).connected);
    EXPECT_EQ(Site().Snapshot(second).connections, 1);
    EXPECT_EQ(Site().Snapshot(first).connections, 1);  // not reached again

    StopForm();
    const std::string ini = ReadConfig();
    EXPECT_NE(ini.find("IP 0=127.0.51.4\r\n"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("127.0.51.3"), std::string::npos) << ini;
}

TEST_F(RegisterCommandTest, EditingTheAvloFlagStopsAndStartsTheConnection) {
    const int sim = Sim(5);
    StartQuiet();
    Add("Gallery", Address(5), true);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    SelectRow(0);

    OnDialog([](TRegisterDlg& dlg) {
        EXPECT_TRUE(dlg.EnableAvloCheckBox->isChecked());
        dlg.EnableAvloCheckBox->click();
        dlg.OkBtn->click();
    });
    form_->EditBtn->click();
    EXPECT_FALSE(Ticked(0));
    EXPECT_TRUE(Shows(0, "Disconnected", "Unknown"));
    EXPECT_EQ(form_->Core().Devices()[0]->Connection, nullptr);
    EXPECT_TRUE(SimWait(sim, [](const auto& s) { return !s.connected; }));

    OnDialog([](TRegisterDlg& dlg) {
        EXPECT_FALSE(dlg.EnableAvloCheckBox->isChecked());
        dlg.EnableAvloCheckBox->click();
        dlg.OkBtn->click();
    });
    form_->EditBtn->click();
    EXPECT_TRUE(Ticked(0));
    EXPECT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    EXPECT_EQ(Site().Snapshot(sim).connections, 2);
}

TEST_F(RegisterCommandTest, RegisterRefusesANameOrAnAddressAlreadyRegistered) {
    StartQuiet();
    Add("Hall", Address(20), false);
    MessageBoxSeam::TakeShown();

    OnDialog([this](TRegisterDlg& dlg) {
        TypeInto(dlg.DeviceNameEdit, "Hall");
        TypeAddress(dlg, "127.0.51.21");
        dlg.OkBtn->click();
        EXPECT_EQ(BoxTexts(), QStringList{NameTaken("Hall")});
        EXPECT_EQ(dlg.focusWidget(), dlg.DeviceNameEdit);

        // The same device spelt with leading zeros is the same device.
        TypeInto(dlg.DeviceNameEdit, "Foyer");
        TypeAddress(dlg, "127000051020");  // three digits each: no dots needed
        dlg.OkBtn->click();
        EXPECT_EQ(BoxTexts(), QStringList{AddressTaken(QString::fromStdString(Address(20)))});
        EXPECT_EQ(dlg.focusWidget(), dlg.Ip1Edit);
        EXPECT_TRUE(dlg.isVisible());
        dlg.CancelBtn->click();
    });
    form_->RegisterDeviceBtn->click();
    ASSERT_TRUE(dialogSeen_);
    EXPECT_EQ(Names(), std::vector<std::string>{"Hall@127.0.51.20"});

    // Names differ by letter case: a second device "hall" is another name.
    OnDialog([](TRegisterDlg& dlg) {
        TypeInto(dlg.DeviceNameEdit, "hall");
        TypeAddress(dlg, "127.0.51.021");
        dlg.EnableAvloCheckBox->click();
        dlg.OkBtn->click();
    });
    form_->RegisterDeviceBtn->click();
    EXPECT_TRUE(BoxTexts().isEmpty());
    EXPECT_EQ(Names(), (std::vector<std::string>{"Hall@127.0.51.20", "hall@127.0.51.21"}));
    EXPECT_EQ(form_->RegisteredNumLabel->text(), "2");
}

TEST_F(RegisterCommandTest, EditRefusesTheNameOrTheAddressOfAnotherDevice) {
    StartQuiet();
    Add("Hall", Address(20), false);
    Add("Foyer", Address(21), false);
    const std::vector<std::string> before = Names();
    MessageBoxSeam::TakeShown();
    SelectRow(1);

    OnDialog([](TRegisterDlg& dlg) {
        TypeInto(dlg.DeviceNameEdit, "Hall");
        dlg.OkBtn->click();
        EXPECT_EQ(BoxTexts(), QStringList{NameTaken("Hall")});
        EXPECT_EQ(dlg.focusWidget(), dlg.DeviceNameEdit);

        TypeInto(dlg.DeviceNameEdit, "Foyer");
        TypeInto(dlg.Ip4Edit, "020");
        dlg.OkBtn->click();
        EXPECT_EQ(BoxTexts(), QStringList{AddressTaken("127.0.51.20")});
        EXPECT_EQ(dlg.focusWidget(), dlg.Ip1Edit);
        dlg.CancelBtn->click();
    });
    form_->EditBtn->click();
    ASSERT_TRUE(dialogSeen_);
    EXPECT_EQ(Names(), before);

    // Its own name and address are free; a new name with them is taken.
    OnDialog([](TRegisterDlg& dlg) {
        TypeInto(dlg.DeviceNameEdit, "Foyer East");
        dlg.OkBtn->click();
    });
    form_->EditBtn->click();
    EXPECT_TRUE(BoxTexts().isEmpty());
    EXPECT_EQ(Names(), (std::vector<std::string>{"Hall@127.0.51.20", "Foyer East@127.0.51.21"}));
    EXPECT_EQ(Cell(1, ColName), "Foyer East");
}

TEST_F(RegisterCommandTest, CancelChangesNothing) {
    StartQuiet();
    Add("Hall", Address(20), false);
    const std::vector<std::string> before = Names();
    MessageBoxSeam::TakeShown();

    OnDialog([](TRegisterDlg& dlg) {
        Type(&dlg, "Annex");
        TypeAddress(dlg, "127.0.51.30");
        dlg.CancelBtn->click();
    });
    form_->RegisterDeviceBtn->click();
    ASSERT_TRUE(dialogSeen_);

    SelectRow(0);
    OnDialog([](TRegisterDlg& dlg) {
        TypeInto(dlg.DeviceNameEdit, "Annex");
        TypeInto(dlg.Ip4Edit, "30");
        dlg.EnableAvloCheckBox->click();
        dlg.CancelBtn->click();
    });
    form_->EditBtn->click();
    ASSERT_TRUE(dialogSeen_);

    EXPECT_EQ(Names(), before);
    EXPECT_FALSE(form_->Core().Devices()[0]->AvloEnabled);
    EXPECT_EQ(form_->ListView->topLevelItemCount(), 1);
    EXPECT_EQ(form_->RegisteredNumLabel->text(), "1");
    EXPECT_EQ(Cell(0, ColName), "Hall");
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
}

// A file from an older version may hold an address with leading zeros. The resolver reads
// "059" as octal and refuses it; the device its decimal digits name is the one meant, and the
// address is read in its plain decimal spelling so that typed addresses and discovery replies
// match it.
class LeadingZeroAddressTest : public RegisterCommandTest {
protected:
    LeadingZeroAddressTest() : RegisterCommandTest(59) {}
};

TEST_F(LeadingZeroAddressTest, AddressFromTheFileReachesTheDeviceItsDigitsName) {
    const int sim = QuietSim(2, "5900");
    WriteConfig(
        "[AVLO]\r\nRegistered=1\r\nName 0=Stage\r\nIP 0=127.0.059.002\r\navlo 0=1\r\n"
        "[Options]\r\nPoll=600000\r\nLog=1\r\n");
    StartQuiet();
    ASSERT_EQ(form_->ListView->topLevelItemCount(), 1);
    EXPECT_EQ(Cell(0, ColAddress), "127.0.59.2");
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    EXPECT_EQ(Site().Snapshot(sim).connections, 1);

    // The same device typed in plain decimal is refused as registered already.
    MessageBoxSeam::TakeShown();
    OnDialog([this](TRegisterDlg& dlg) {
        Type(&dlg, "Stage Again");
        TypeAddress(dlg, QString::fromStdString(Address(2)));
        dlg.OkBtn->click();
        EXPECT_EQ(BoxTexts(), QStringList{AddressTaken("127.0.59.2")});
        dlg.CancelBtn->click();
    });
    form_->RegisterDeviceBtn->click();
    ASSERT_TRUE(dialogSeen_);
    EXPECT_EQ(form_->Core().DeviceCount(), 1);

    // Edited, it keeps its device, and the file holds the plain decimal spelling.
    SelectRow(0);
    OnDialog([](TRegisterDlg& dlg) {
        EXPECT_EQ(dlg.Ip3Edit->text(), "59");
        EXPECT_EQ(dlg.Ip4Edit->text(), "2");
        dlg.OkBtn->click();
    });
    form_->EditBtn->click();
    EXPECT_TRUE(BoxTexts().isEmpty());
    EXPECT_EQ(Cell(0, ColAddress), "127.0.59.2");
    EXPECT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    StopForm();
    const std::string ini = ReadConfig();
    EXPECT_NE(ini.find("IP 0=127.0.59.2\r\n"), std::string::npos) << ini;
}

}  // namespace
