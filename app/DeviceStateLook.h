#pragma once

// How a device's state looks at a glance: the small icon in the first column of its row and
// the colour of its condition text, next to the words the list already shows.
#include <QBrush>
#include <QIcon>

#include "monitoring/DeviceRecord.h"

class QPalette;
class QTreeWidgetItem;

enum class DeviceLook {
    Ok,            // connected, no fault
    Pending,       // connected, its first status not handled yet
    Fault,         // connected, the status shows a fault
    NotConnected,  // monitored but "Disconnected" or "Connecting..."
    Off,           // AVLO unticked: not monitored at all
};

DeviceLook LookOf(const CMca::DeviceDescr_Type& device);

// The state pictures, each from the desktop's icon theme when it has one of that name, so that
// they match the user's desktop, else our own drawing. Made once per window: icons hold pixmaps,
// which must not outlive the application object.
class TStateIcons {
public:
    TStateIcons();

    enum Picture {
        OkPicture,
        WarningPicture,
        ErrorPicture,
        OfflinePicture,
        MutedPicture,
        PictureCount
    };
    const QIcon& Get(Picture picture) const { return icons_[picture]; }
    // The icon of a row; a null icon for a device without one (not monitored, or not yet known).
    const QIcon& Row(DeviceLook look) const;

private:
    QIcon icons_[PictureCount];
    QIcon none_;
};

// The brush of the condition text; Qt::NoBrush leaves the list's own text colour.
QBrush ConditionBrush(DeviceLook look, const QPalette& palette);

// Gives the row the icon and colour of the look; its texts are left as they are.
void ShowRowLook(QTreeWidgetItem& item, DeviceLook look, const TStateIcons& icons,
                 const QPalette& palette);
// Gives the row the muted picture beside its state icon (at the start of the name), or takes
// it away.
void ShowMutedLook(QTreeWidgetItem& item, bool muted, const TStateIcons& icons);
