#pragma once

// Every window of the program that a user opens from the main window, made as the main window
// makes it (same owner, same modality), over records of their own, for tests that look at
// what the window manager does with them.
#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialogs/AdvancedEmailSettingsDlgUnit.h"
#include "dialogs/PropertiesDlgUnit.h"
#include "dialogs/RegisterDlgUnit.h"
#include "notify/PasswordStore.h"
#include "monitoring/Settings.h"

class TPropertiesDlg;

class DialogBench {
public:
    struct Window {
        const char* name;
        QString caption;                 // the caption as the user must read it
        bool fixedSize;                  // a dialog the user cannot resize
        std::function<QWidget*()> open;  // shows the window; owned by the bench's owner
    };

    DialogBench();
    ~DialogBench();

    // A shown, plain main window standing in for the monitor's, owner of every dialog.
    QWidget& Owner() { return *owner_; }
    std::vector<Window> Windows();

    // A properties dialog for a healthy seven-channel device, shown as the main window shows
    // it (application-modal).
    TPropertiesDlg* OpenProperties();

    // Closes every window the bench opened (the owner stays).
    void CloseAll();

    TPropertiesDlg::DeviceRecord Record;

private:
    QWidget* ShowModal(QWidget* dialog);

    QTemporaryDir dir_;
    std::unique_ptr<QWidget> owner_;
    Options_Type options_;
    NotifiableEvents_Type events_;
    TestModeSettings_Type testMode_;
    TAdvancedEmailDlg::Context advanced_;
    TRegisterDlg::Context newDevice_;
    TRegisterDlg::Context device_;
    std::unique_ptr<CPasswordStore> passwords_;
};
