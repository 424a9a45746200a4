#pragma once
// The splash window: the title, version and date for a moment after start.
#include <QDialog>

class QLabel;
class QTimer;

namespace vellumix {

class IntroForm : public QDialog {
    Q_OBJECT
public:
    // intervalMs 0: the timer never fires and the splash stays until clicked.
    IntroForm(const QString& labelText, int intervalMs, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Label1_Click();
    QLabel* label_ = nullptr;
    QTimer* timer_ = nullptr;
    int intervalMs_ = 0;
};

} // namespace vellumix
