#pragma once
// The About window: version and date, the e-mail link, the update check.
#include "app/desktop.h"

#include <QDialog>
#include <string>

namespace vellumix {

class AboutForm : public QDialog {
    Q_OBJECT
public:
    AboutForm(Desktop& desktop, const std::string& appVersion, const std::string& appDate,
              QWidget* parent = nullptr);
};

} // namespace vellumix
