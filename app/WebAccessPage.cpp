#include "app/WebAccessPage.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QSysInfo>
#include <QVBoxLayout>

#include "dialogs/DialogParts.h"
#include "web/WebSettings.h"

namespace {

const char* const ThisComputerAddress = "127.0.0.1";
const char* const WholeNetworkAddress = "0.0.0.0";

QRadioButton* NamedRadio(QWidget* parent, const char* name, const char* text) {
    auto* radio = new QRadioButton(QString::fromUtf8(text), parent);
    radio->setObjectName(QString::fromLatin1(name));
    return radio;
}

// The name a browser uses for the listen address: the self-signed certificate names
// "localhost" and the machine's host name, so those match it where an address would not.
QString HostToOpen(const std::string& address) {
    if (IsLoopbackAddress(address)) return QStringLiteral("localhost");
    if (address == WholeNetworkAddress || address == "::" || address.empty())
        return QSysInfo::machineHostName();
    const QString host = QString::fromStdString(address);
    return host.contains(QLatin1Char(':')) ? '[' + host + ']' : host;
}

}  // namespace

TWebAccessPage::TWebAccessPage(QWidget* parent, const WebSettings_Type& settings)
    : QWidget(parent), original_(settings) {
    setObjectName(QStringLiteral("WebAccessPage"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Heading(this, QStringLiteral("Web access")));
    layout->addWidget(
        WrappedText(this, QStringLiteral("AVLO Monitor can show the state of the devices to web "
                                         "browsers, which sign in with the accounts below, and to "
                                         "Prometheus.")));
    WebOnCheckBox = NamedCheckBox(this, "WebOnCheckBox", "Ena&ble web access");
    layout->addWidget(WebOnCheckBox);

    WebPortSpinBox = new QSpinBox(this);
    WebPortSpinBox->setObjectName(QStringLiteral("WebPortSpinBox"));
    WebPortSpinBox->setRange(1, 65535);
    auto* portLabel = new QLabel(QStringLiteral("&Port:"), this);
    portLabel->setBuddy(WebPortSpinBox);
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(portLabel);
    portRow->addWidget(WebPortSpinBox);
    portRow->addStretch();
    layout->addLayout(portRow);

    ThisComputerRadio = NamedRadio(this, "ThisComputerRadio", "T&his computer only");
    WholeNetworkRadio = NamedRadio(this, "WholeNetworkRadio", "The &whole network");
    auto* reach = new QButtonGroup(this);
    reach->addButton(ThisComputerRadio);
    reach->addButton(WholeNetworkRadio);
    layout->addWidget(ThisComputerRadio);
    layout->addWidget(WholeNetworkRadio);

    WebAddressEdit = new QLineEdit(this);
    WebAddressEdit->setObjectName(QStringLiteral("WebAddressEdit"));
    WebAddressEdit->setReadOnly(true);
    auto* addressLabel = new QLabel(QStringLiteral("Open &in a browser:"), this);
    addressLabel->setBuddy(WebAddressEdit);
    auto* addressRow = new QHBoxLayout;
    addressRow->addWidget(addressLabel);
    addressRow->addWidget(WebAddressEdit, 1);
    layout->addLayout(addressRow);
    PlainHttpLabel = WrappedText(
        this, QStringLiteral("Without TLS (Tls=0 in the settings file) the web access is "
                             "only for this computer; it does not start for the whole network."));
    PlainHttpLabel->setObjectName(QStringLiteral("PlainHttpLabel"));
    layout->addWidget(PlainHttpLabel);

    WebOnCheckBox->setChecked(settings.On);
    WebPortSpinBox->setValue(settings.Port);
    (IsLoopbackAddress(settings.Address) ? ThisComputerRadio : WholeNetworkRadio)->setChecked(true);
    ShowAddress();
    connect(WebPortSpinBox, &QSpinBox::valueChanged, this, &TWebAccessPage::ShowAddress);
    connect(ThisComputerRadio, &QRadioButton::toggled, this, &TWebAccessPage::ShowAddress);
}

WebSettings_Type TWebAccessPage::Edited() const {
    WebSettings_Type edited = original_;
    edited.On = WebOnCheckBox->isChecked();
    edited.Port = WebPortSpinBox->value();
    if (ThisComputerRadio->isChecked() != IsLoopbackAddress(original_.Address))
        edited.Address = ThisComputerRadio->isChecked() ? ThisComputerAddress : WholeNetworkAddress;
    return edited;
}

QString TWebAccessPage::AddressToOpen(const WebSettings_Type& settings) {
    return QStringLiteral("%1://%2:%3/")
        .arg(settings.Tls ? QStringLiteral("https") : QStringLiteral("http"),
             HostToOpen(settings.Address))
        .arg(settings.Port);
}

void TWebAccessPage::ShowAddress() {
    const WebSettings_Type edited = Edited();
    WebAddressEdit->setText(AddressToOpen(edited));
    WebAddressEdit->setCursorPosition(0);
    PlainHttpLabel->setVisible(!edited.Tls && !IsLoopbackAddress(edited.Address));
}
