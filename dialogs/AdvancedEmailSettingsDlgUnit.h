#pragma once

#include "monitoring/Settings.h"

// The advanced e-mail settings dialog: the customer's and installer's details that alert
// e-mails carry.
class TAdvancedEmailDlg {
public:
    using Context = AdvancedEmail_Type;
};
