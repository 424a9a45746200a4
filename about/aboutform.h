#pragma once
// The About window: version and date, the e-mail link, the update check.
#include "platform/desktop.h"

#include <QDialog>
#include <string>

class QLabel;
class QPushButton;

namespace vellumix {

class AboutForm : public QDialog {
    Q_OBJECT
public:
    AboutForm(Desktop& desktop, const std::string& appVersion, const std::string& appDate,
              QWidget* parent = nullptr);

    // Opens a pre-addressed e-mail through the desktop (see about/mailto.h).
    void OpenEmail(std::string EmailAddress, const std::string& Subject, const std::string& Body);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Label_eMail_Click();
    void Command_OK_Click();
    void Command_CheckUpdate_Click();

    Desktop& desktop_;
    std::string appVersion_;
    QLabel* labelAbout_ = nullptr;
    QLabel* labelEmail_ = nullptr;
    QPushButton* checkUpdate_ = nullptr;
    QPushButton* ok_ = nullptr;
};

} // namespace vellumix
