#include "app/AboutDlg.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include "app/Shell.h"
#include "app/Splash.h"
#include "dialogs/DialogParts.h"

namespace {

int instances = 0;

}  // namespace

void TLinkLabel::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()) && OnClick) {
        OnClick();
    }
    QLabel::mouseReleaseEvent(e);
}

void TLinkLabel::enterEvent(QEnterEvent* e) {
    if (OnEnter) OnEnter();
    QLabel::enterEvent(e);
}

void TLinkLabel::leaveEvent(QEvent* e) {
    if (OnLeave) OnLeave();
    QLabel::leaveEvent(e);
}

TAboutDlg::TAboutDlg(QWidget* owner) : QDialog(owner) {
    ++instances;
    LoadProgramPictures();
    setObjectName(QStringLiteral("AboutDlg"));
    setWindowTitle(QStringLiteral("About AVLO Monitor"));
    SetFixedDialogFrame(*this);
    setFixedSize(461, 219);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 8);
    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setLineWidth(1);
    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(1, 1, 1, 1);
    BannerImage = new QLabel(panel);
    BannerImage->setObjectName(QStringLiteral("BannerImage"));
    BannerImage->setPixmap(RenderPicture(QStringLiteral(":/app/pictures/banner.svg"), {457, 116}));
    BannerImage->setFixedSize(457, 116);
    panelLayout->addWidget(BannerImage);
    layout->addWidget(panel, 0, Qt::AlignHCenter);

    auto* texts = new QVBoxLayout;
    texts->setContentsMargins(12, 6, 12, 0);
    texts->setSpacing(2);
    VersionLabel = new QLabel(QStringLiteral("Version 0.0.0"), this);
    VersionLabel->setObjectName(QStringLiteral("VersionLabel"));
    VersionLabel->setText(QStringLiteral("Version ") + ProgramVersion());
    texts->addWidget(VersionLabel);
    NoticeLabel =
        new QLabel(QStringLiteral("Copyright \u00A9 Velkan Audio. All rights reserved."), this);
    NoticeLabel->setObjectName(QStringLiteral("NoticeLabel"));
    NoticeLabel->setFont(QFont(QStringLiteral("Arial"), NoticeLabel->font().pointSize()));
    texts->addWidget(NoticeLabel);
    VelkanLinkLabel = new TLinkLabel(QString::fromLatin1(HomePageUrl), this);
    VelkanLinkLabel->setObjectName(QStringLiteral("VelkanLinkLabel"));
    QFont linkFont(QStringLiteral("Tahoma"), VelkanLinkLabel->font().pointSize());
    linkFont.setUnderline(true);
    VelkanLinkLabel->setFont(linkFont);
    QPalette palette = VelkanLinkLabel->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    VelkanLinkLabel->setPalette(palette);
    VelkanLinkLabel->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    VelkanLinkLabel->OnClick = [this] { VelkanLinkLabelClick(); };
    VelkanLinkLabel->OnEnter = [this] { VelkanLinkLabelMouseEnter(); };
    VelkanLinkLabel->OnLeave = [this] { VelkanLinkLabelMouseLeave(); };
    texts->addWidget(VelkanLinkLabel);

    OkBtn = NamedButton(this, "OkBtn", "&OK");
    OkBtn->setDefault(true);
    // The link is no wider than its text, and the space the texts leave goes between them and
    // the button, which keeps its own size in the corner.
    OkBtn->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    auto* bottom = new QHBoxLayout;
    bottom->addLayout(texts, 1);
    bottom->addStretch();
    bottom->addWidget(OkBtn, 0, Qt::AlignBottom);
    bottom->setContentsMargins(0, 0, 8, 0);
    layout->addLayout(bottom);
    connect(OkBtn, &QPushButton::clicked, this, &TAboutDlg::OKBtnClick);
}

QString TAboutDlg::ProgramVersion() {
    return QStringLiteral(AVLO_VERSION);
}

int TAboutDlg::Instances() {
    return instances;
}

void TAboutDlg::VelkanLinkLabelClick() {
    OpenUrl(VelkanLinkLabel->text());
}

void TAboutDlg::VelkanLinkLabelMouseEnter() {
    setCursor(Qt::PointingHandCursor);
}

void TAboutDlg::VelkanLinkLabelMouseLeave() {
    unsetCursor();
}

void TAboutDlg::OKBtnClick() {
    accept();
}
