// The look of a device's row: state icon and condition colour.
#include "app/DeviceStateLook.h"

#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>
#include <QTreeWidgetItem>

// Outside any namespace, as the resource's registration function is a global one.
static void LoadStatePictures() {
    // The pictures live in a static library: nothing else would pull their resource in.
    Q_INIT_RESOURCE(StateIcons);
}

namespace {

// Column 0 carries the check box; the icon goes beside it. Column 4 is the condition.
constexpr int ColAvlo = 0;
constexpr int ColName = 1;
constexpr int ColCondition = 4;

// Our own drawing at the sizes list rows, menus and notification areas ask for. Drawn here
// rather than left to an SVG icon engine, which is a plug-in that not every system has.
QIcon Drawing(const QString& path) {
    QSvgRenderer renderer(path);
    QIcon icon;
    if (!renderer.isValid()) return icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter painter(&pm);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pm);
    }
    return icon;
}

}  // namespace

DeviceLook LookOf(const CMca::DeviceDescr_Type& device) {
    if (!device.AvloEnabled) return DeviceLook::Off;
    if (device.ConnState != Connected) return DeviceLook::NotConnected;
    // The condition text is the row's; it is "Unknown" until a status has been handled.
    if (device.Condition == "OK") return DeviceLook::Ok;
    if (device.Condition == "Unknown") return DeviceLook::Pending;
    return DeviceLook::Fault;
}

TStateIcons::TStateIcons() {
    LoadStatePictures();
    // Names of the freedesktop icon naming scheme, which the common themes provide.
    const struct {
        Picture picture;
        const char* themeName;
        const char* drawing;
    } pictures[] = {
        {OkPicture, "emblem-default", ":/state/ok.svg"},
        {WarningPicture, "dialog-warning", ":/state/warning.svg"},
        {ErrorPicture, "dialog-error", ":/state/error.svg"},
        {OfflinePicture, "network-offline", ":/state/offline.svg"},
        // Only our own: the themes' nearest name, a struck-out loudspeaker, would read on an
        // amplifier's row as its output being muted.
        {MutedPicture, nullptr, ":/state/muted.svg"},
    };
    for (const auto& p : pictures) {
        const QIcon drawing = Drawing(QString::fromLatin1(p.drawing));
        icons_[p.picture] =
            p.themeName ? QIcon::fromTheme(QString::fromLatin1(p.themeName), drawing) : drawing;
    }
}

const QIcon& TStateIcons::Row(DeviceLook look) const {
    switch (look) {
        case DeviceLook::Ok:
            return icons_[OkPicture];
        case DeviceLook::Fault:
            return icons_[WarningPicture];
        case DeviceLook::NotConnected:
            return icons_[OfflinePicture];
        case DeviceLook::Pending:
        case DeviceLook::Off:
            break;
    }
    return none_;
}

QBrush ConditionBrush(DeviceLook look, const QPalette& palette) {
    switch (look) {
        case DeviceLook::Fault: {
            // A red that stays readable on the dark base of a dark theme too.
            const bool darkBase = palette.color(QPalette::Base).lightness() < 128;
            return QBrush(darkBase ? QColor(255, 105, 97) : QColor(200, 0, 0));
        }
        case DeviceLook::NotConnected:
        case DeviceLook::Off: {
            // Half way between text and background: plainly greyed, yet still readable, which
            // the faint grey of disabled controls is not on every theme.
            const QColor text = palette.color(QPalette::Active, QPalette::Text);
            const QColor base = palette.color(QPalette::Active, QPalette::Base);
            return QBrush(QColor((text.red() + base.red()) / 2, (text.green() + base.green()) / 2,
                                 (text.blue() + base.blue()) / 2));
        }
        case DeviceLook::Ok:
        case DeviceLook::Pending:
            break;
    }
    return QBrush();
}

void ShowRowLook(QTreeWidgetItem& item, DeviceLook look, const TStateIcons& icons,
                 const QPalette& palette) {
    item.setIcon(ColAvlo, icons.Row(look));
    const QBrush brush = ConditionBrush(look, palette);
    if (brush.style() == Qt::NoBrush) {
        item.setData(ColCondition, Qt::ForegroundRole, QVariant());
    } else {
        item.setForeground(ColCondition, brush);
    }
}

void ShowMutedLook(QTreeWidgetItem& item, bool muted, const TStateIcons& icons) {
    item.setIcon(ColName, muted ? icons.Get(TStateIcons::MutedPicture) : QIcon());
}
