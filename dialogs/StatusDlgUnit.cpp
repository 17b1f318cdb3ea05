// The condition detail window beside the properties dialog's condition buttons.
#include "dialogs/StatusDlgUnit.h"

#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QMoveEvent>
#include <QWindow>
#include <algorithm>

#include "comms/Mymessages.h"
#include "platform/MessageTarget.h"

namespace {

constexpr int RowTops[4] = {8, 26, 44, 62};
constexpr int NameLeft = 8;
constexpr int ValueLeft = 96;

QLabel* RowLabel(QWidget* parent, const QString& name, const QString& text, int left, int top,
                 int width) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(left, top, width, 14);
    label->setVisible(false);
    return label;
}

}  // namespace

TStatusDlg::TStatusDlg(QWidget* owner, const Context* context, IMessageTarget* ownerHandle)
    // A tool window's caption carries the close box only, as on the desktop it was made for:
    // minimised, the small window would be lost while its dialog stays.
    : QWidget(owner, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                         Qt::WindowStaysOnTopHint) {
    if (owner != nullptr) owner->installEventFilter(this);
    setObjectName(QStringLiteral("StatusDlg"));
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    setFixedSize(ClientWidth, ClientHeight);
    for (int row = 0; row < 4; ++row) {
        const QString n = QString::number(row + 1);
        Labels[2 * row] = RowLabel(this, QStringLiteral("ParameterLabel") + n,
                                   QStringLiteral("Parameter ") + n + QStringLiteral(":"), NameLeft,
                                   RowTops[row], ValueLeft - NameLeft - 4);
        Labels[2 * row + 1] =
            RowLabel(this, QStringLiteral("ValueLabel") + n, QStringLiteral("Unknown"), ValueLeft,
                     RowTops[row], ClientWidth - ValueLeft - 4);
    }
    // The dividers sit between the rows, half-way from one row's text to the next.
    for (int row = 1; row < 4; ++row) {
        auto* line = new QFrame(this);
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        line->setGeometry(4, RowTops[row] - 5, ClientWidth - 8, 2);
        dividers_[row - 1] = line;
    }
    OwnerHandle = ownerHandle;
    SetContext(context);
}

void TStatusDlg::SetContext(const Context* context) {
    if (context == nullptr) return;
    bottomLeft_ = QPoint(context->Left, context->Top);
    setWindowTitle(context->Caption);
    for (int i = 0; i < 8; ++i) {
        const LabelContext& entry = context->Labels[i];
        QLabel* label = Labels[i];
        label->setText(entry.Text);
        QPalette pal = label->palette();
        pal.setColor(QPalette::WindowText, entry.Color);
        label->setPalette(pal);
        label->setVisible(entry.Visible);
    }
    Fit();
    Place();
}

// The columns are laid out for an 8-point Tahoma; the fonts of this desktop may be wider. A
// text is never cut: the value column moves right of the longest name that has a value beside
// it, and the window widens to the longest text (a name without a value, such as the faulty
// channel's note, may run across the value column).
void TStatusDlg::Fit() {
    int valueLeft = ValueLeft;
    for (int row = 0; row < 4; ++row) {
        QLabel* name = Labels[2 * row];
        QLabel* value = Labels[2 * row + 1];
        name->adjustSize();
        value->adjustSize();
        if (!name->isHidden() && !value->isHidden() && !value->text().isEmpty())
            valueLeft = std::max(valueLeft, NameLeft + name->width() + 6);
    }
    int width = ClientWidth;
    for (int row = 0; row < 4; ++row) {
        QLabel* name = Labels[2 * row];
        QLabel* value = Labels[2 * row + 1];
        value->move(valueLeft, RowTops[row]);
        if (!name->isHidden()) width = std::max(width, name->geometry().right() + 1 + 8);
        if (!value->isHidden()) width = std::max(width, value->geometry().right() + 1 + 8);
    }
    setFixedSize(width, ClientHeight);
    for (QFrame* line : dividers_) line->resize(width - 8, line->height());
}

// The bottom edge goes to Top: the window sits on top of the row it is placed at. A window
// manager frames the window only after it is shown, so the first placing goes by the client
// area alone (the title bar then grows upwards, away from the row); once the frame is known,
// or when it changes, the window is placed again. The frame comes from the window system each
// time: the widget's own copy is brought up to date only by a later move.
void TStatusDlg::Place() {
    placedFrame_ = FrameMargins();
    setGeometry(QRect(QPoint(bottomLeft_.x() + placedFrame_.left(),
                             bottomLeft_.y() - placedFrame_.bottom() - height()),
                      size()));
}

QMargins TStatusDlg::FrameMargins() const {
    const QWindow* window = windowHandle();
    return window != nullptr ? window->frameMargins() : QMargins();
}

void TStatusDlg::PlaceAgainIfFrameChanged() {
    if (isVisible() && FrameMargins() != placedFrame_) Place();
}

void TStatusDlg::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The window system's side of the window exists from here on; it hears of the exposure
    // that follows the window manager's framing.
    if (QWindow* window = windowHandle()) window->installEventFilter(this);
    Place();
}

// The window manager's framing reaches the window as an exposure, a move or a resize; a frame
// that has not changed leaves the window where the user put it.
void TStatusDlg::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    PlaceAgainIfFrameChanged();
}

void TStatusDlg::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    PlaceAgainIfFrameChanged();
}

bool TStatusDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == windowHandle() && event->type() == QEvent::Expose) PlaceAgainIfFrameChanged();
    if (watched == parent() && event->type() == QEvent::Move) {
        const auto* move = static_cast<QMoveEvent*>(event);
        bottomLeft_ += move->pos() - move->oldPos();
        if (isVisible()) Place();
    }
    return QWidget::eventFilter(watched, event);
}

void TStatusDlg::closeEvent(QCloseEvent* event) {
    // The owner clears its highlighted button; the window itself is only hidden, so that
    // the owner can show it again with the next data.
    if (OwnerHandle != nullptr) OwnerHandle->Post(WM_STATUSDLGCLOSED, 0, 0);
    event->accept();
}
