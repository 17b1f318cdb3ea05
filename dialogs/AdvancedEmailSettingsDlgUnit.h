#pragma once

#include <string>

// The advanced e-mail settings dialog: the customer's and installer's details that alert
// e-mails carry.
class TAdvancedEmailDlg {
public:
    struct Context {
        bool Customer = false;
        std::string CustomerName;
        bool ByEmail = false;  // preferred method of contact: true e-mail, false telephone
        std::string CustomerPhone;
        bool Installer = false;
        std::string InstallerName;
        std::string InstallDay;
        std::string InstallMonth;
        std::string InstallYear;
    };
};
