#include "app/MessageBoxWindow.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

int ShowMessageBoxWindow(QObject* parent, MsgKind kind, const QString& title, const QString& text) {
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    switch (kind) {
        case MsgKind::Warning:
            icon = QMessageBox::Warning;
            break;
        case MsgKind::Error:
            icon = QMessageBox::Critical;
            break;
        case MsgKind::Information:
            icon = QMessageBox::Information;
            break;
        case MsgKind::Confirmation:
            icon = QMessageBox::Question;
            buttons = QMessageBox::Yes | QMessageBox::No;
            break;
    }

    // On the heap and watched: if the parent is destroyed while the box is open (shutdown
    // from a signal, say), it takes the box with it, and a box on the stack would then be
    // destroyed a second time.
    QPointer<QMessageBox> box = new QMessageBox(icon, title, MessageBoxSeam::ForDisplay(text),
                                                buttons, qobject_cast<QWidget*>(parent));
    box->setTextFormat(Qt::PlainText);  // texts may hold "<" from device names or addresses
    box->setWindowModality(Qt::ApplicationModal);
    if (kind == MsgKind::Confirmation) {
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    }
    box->exec();

    const int fallback = kind == MsgKind::Confirmation ? MsgResultNo : MsgResultOk;
    if (!box) return fallback;
    const QMessageBox::StandardButton pressed = box->standardButton(box->clickedButton());
    delete box.data();
    switch (pressed) {
        case QMessageBox::Ok:
            return MsgResultOk;
        case QMessageBox::Yes:
            return MsgResultYes;
        case QMessageBox::No:
            return MsgResultNo;
        default:
            return fallback;
    }
}
