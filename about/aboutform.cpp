#include "about/aboutform.h"

#include "about/mailto.h"
#include "about/updatecheck.h"
#include "about/version.h"

#include "platform/captionbutton.h"
#include "platform/windowlayout.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace vellumix {

namespace {
QString qs(const std::string& s) {
    return QString::fromStdString(s);
}
} // namespace

AboutForm::AboutForm(Desktop& desktop, const std::string& appVersion, const std::string& appDate,
                     QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), desktop_(desktop),
      appVersion_(appVersion) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About ") + QString::fromLatin1(AppTitle));
    setFixedSize(3990 / 15, 2145 / 15);
    // The window is laid out for a small dialog font; the desktop's larger default would clip it.
    QFont formFont = font();
    formFont.setPointSizeF(8.25);
    setFont(formFont);

    labelAbout_ = new QLabel(this);
    labelAbout_->setObjectName(QStringLiteral("Label_About"));
    labelAbout_->setGeometry(twipsRect(240, 240, 3495, 735));
    labelAbout_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    labelAbout_->setWordWrap(true);
    labelAbout_->setText(
        qs("Version: " + appVersion + ",  Date: " + appDate + "\n\n" + AuthorshipLine + "\n\n"));

    labelEmail_ = new QLabel(this);
    labelEmail_->setObjectName(QStringLiteral("Label_eMail"));
    QFont mailFont(QStringLiteral("MS Sans Serif"));
    mailFont.setStyleHint(QFont::SansSerif);
    mailFont.setPointSizeF(8.25);
    mailFont.setUnderline(true);
    labelEmail_->setFont(mailFont);
    labelEmail_->setText(QString::fromLatin1(MaintainerEmail));
    labelEmail_->setGeometry(twipsRect(240, 1080, 1095, 195));
    labelEmail_->adjustSize();
    labelEmail_->setCursor(Qt::PointingHandCursor);
    labelEmail_->installEventFilter(this);

    checkUpdate_ = new CaptionButton(QStringLiteral("Check for Update"), this);
    checkUpdate_->setObjectName(QStringLiteral("Command_CheckUpdate"));
    checkUpdate_->setGeometry(twipsRect(240, 1560, 1455, 375));
    checkUpdate_->installEventFilter(this);
    connect(checkUpdate_, &QPushButton::clicked, this, [this] { Command_CheckUpdate_Click(); });

    ok_ = new CaptionButton(QStringLiteral("Close"), this);
    ok_->setObjectName(QStringLiteral("Command_OK"));
    ok_->setGeometry(twipsRect(2640, 1560, 1095, 375));
    ok_->installEventFilter(this);
    connect(ok_, &QPushButton::clicked, this, [this] { Command_OK_Click(); });

    // Only the buttons take the focus; Close comes first and has it when the window opens.
    labelAbout_->setFocusPolicy(Qt::NoFocus);
    labelEmail_->setFocusPolicy(Qt::NoFocus);
    setTabOrder(ok_, checkUpdate_);
    ok_->setFocus(Qt::OtherFocusReason);

    if (!parent) {
        centreOnScreen(*this);
    }
}

void AboutForm::OpenEmail(std::string EmailAddress, const std::string& Subject, const std::string& Body) {
    vellumix::OpenEmail(desktop_, std::move(EmailAddress), Subject, Body);
}

bool AboutForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == labelEmail_ && event->type() == QEvent::MouseButtonPress) {
        Label_eMail_Click();
        return true;
    }
    if ((watched == ok_ || watched == checkUpdate_) && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        Command_OK_Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void AboutForm::Label_eMail_Click() {
    OpenEmail(MaintainerEmail, EmailSubject, std::string());
}

void AboutForm::Command_OK_Click() {
    accept();
}

void AboutForm::Command_CheckUpdate_Click() {
    CheckForUpdate(desktop_, appVersion_);
}

} // namespace vellumix
