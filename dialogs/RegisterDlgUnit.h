#pragma once

#include "monitoring/DeviceRecord.h"

// The register/edit device dialog. Its context record is how devices are described to the
// device table, by the dialog, the configuration load, the network search and the list's
// check boxes.
class TRegisterDlg {
public:
    using Context = DeviceContext;
};
