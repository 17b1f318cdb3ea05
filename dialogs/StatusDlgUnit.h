#pragma once

#include <QColor>
#include <QMargins>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <cstdint>

class IMessageTarget;
class QCloseEvent;
class QFrame;
class QShowEvent;
class QLabel;

// The small stay-on-top window that shows up to four named values, each in its own colour.
// It knows nothing about devices: what it shows and where comes in a Context, and its owner
// hears when the user closes it. Closing only hides it; the owner decides when it goes.
class TStatusDlg : public QWidget {
public:
    struct LabelContext {
        QString Text;
        bool Visible = false;
        QColor Color;
    };
    struct Context {
        QString Caption;
        std::int32_t Left = 0;
        std::int32_t Top = 0;  // screen y of the window's bottom edge
        // Row 1 name, row 1 value, row 2 name, row 2 value, ... row 4 value.
        LabelContext Labels[8];
    };

    static constexpr int ClientWidth = 195;
    static constexpr int ClientHeight = 79;

    TStatusDlg(QWidget* owner, const Context* context, IMessageTarget* ownerHandle);

    void SetContext(const Context* context);

    // Name labels ParameterLabel1..4 and value labels ValueLabel1..4, in the order of
    // Context::Labels.
    QLabel* Labels[8] = {};
    IMessageTarget* OwnerHandle = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Follows the owner when it is moved.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Place();
    void PlaceAgainIfFrameChanged();
    QMargins FrameMargins() const;
    void Fit();
    QFrame* dividers_[3] = {};
    QPoint bottomLeft_;     // where the context puts the window's bottom-left corner
    QMargins placedFrame_;  // the frame the last placing went by
};
