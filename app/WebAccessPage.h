#pragma once

#include <QWidget>

#include "monitoring/Settings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;

// The "Web access" group of the options dialog: whether the web service runs, its port, and
// whether it listens on this computer only or on the whole network, with the address a browser
// opens. It shows a copy of the record and writes it back only when asked (the dialog's OK).
class TWebAccessPage : public QWidget {
public:
    TWebAccessPage(QWidget* parent, const WebSettings_Type& settings);

    // The record as shown: the fields' values over the record the page was made from, so that
    // what the page does not show (certificate, token) and a listen address of the file's own
    // that the choice was not changed from are kept.
    WebSettings_Type Edited() const;
    // What a browser opens for these settings.
    static QString AddressToOpen(const WebSettings_Type& settings);

    QCheckBox* WebOnCheckBox = nullptr;
    QSpinBox* WebPortSpinBox = nullptr;
    QRadioButton* ThisComputerRadio = nullptr;
    QRadioButton* WholeNetworkRadio = nullptr;
    QLineEdit* WebAddressEdit = nullptr;
    // Shown while the choice would make the service refuse to start: plain HTTP (Tls=0 in the
    // settings file) on the whole network.
    QLabel* PlainHttpLabel = nullptr;

private:
    void ShowAddress();

    WebSettings_Type original_;
};
