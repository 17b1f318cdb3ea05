#pragma once

#include <QDialog>
#include <QLabel>
#include <functional>

class QPushButton;

// The link to the maker's home page: it tells the about box when the mouse comes and goes and
// when it is clicked.
class TLinkLabel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> OnClick;
    std::function<void()> OnEnter;
    std::function<void()> OnLeave;

protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
};

// The about box: the version of this build and the maker's home page. Made once at start-up
// and shown again at every "About...", so the version is read once per run.
class TAboutDlg : public QDialog {
public:
    explicit TAboutDlg(QWidget* owner);

    void VelkanLinkLabelClick();
    void VelkanLinkLabelMouseEnter();
    void VelkanLinkLabelMouseLeave();
    void OKBtnClick();

    // The version text as the build carries it: the same text that --version prints.
    static QString ProgramVersion();
    // How many about boxes were made in this process (each reads the version once).
    static int Instances();

    QLabel* BannerImage = nullptr;
    QLabel* VersionLabel = nullptr;
    QLabel* NoticeLabel = nullptr;
    TLinkLabel* VelkanLinkLabel = nullptr;
    QPushButton* OkBtn = nullptr;
};
