#pragma once

#include <cstdint>
#include <string>

// The register/edit device dialog. Its context record is how devices are described to the
// device table, by the dialog, the configuration load, the network search and the list's
// check boxes.
class TRegisterDlg {
public:
    struct Context {
        std::string Name;
        std::string IpAddress;
        std::uint8_t ModelCode = 0;
        std::string Serial;
        bool AvloEnabled = false;
        bool RegisterMode = false;  // true when registering a new device, false when editing
    };
};
