#include "about/introform.h"

#include "platform/windowlayout.h"

#include <QPainter>

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

namespace vellumix {

namespace {
// Window layout in twips.
constexpr int LabelLeft = twipsToPixels(240);
constexpr int LabelTop = twipsToPixels(240);
constexpr int ExtraWidth = twipsToPixels(600);
constexpr int ClientHeight = twipsToPixels(810);
} // namespace

IntroForm::IntroForm(const QString& labelText, int intervalMs, QWidget* parent)
    // A splash carries no caption: without a title bar the window manager has no title to fall back
    // on (an empty title would show the application's name) and no buttons to offer.
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), intervalMs_(intervalMs) {
    setObjectName(QStringLiteral("IntroForm"));
    setWindowTitle(QString());

    label_ = new QLabel(this);
    label_->setObjectName(QStringLiteral("Label1"));
    QFont font(QStringLiteral("Times New Roman"));
    font.setStyleHint(QFont::Serif);
    font.setPointSizeF(14.25);
    font.setWeight(QFont::Normal);
    label_->setFont(font);
    QPalette palette = label_->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
    label_->setPalette(palette);
    label_->setText(labelText);
    label_->move(LabelLeft, LabelTop);
    label_->adjustSize();
    label_->installEventFilter(this);

    setFixedSize(label_->width() + ExtraWidth, ClientHeight);

    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("Timer1"));
    timer_->setSingleShot(false);
    connect(timer_, &QTimer::timeout, this, [this] { Label1_Click(); });
    // Escape or the window manager may close the dialog too; the timer must not outlive that.
    connect(this, &QDialog::finished, timer_, &QTimer::stop);
}

void IntroForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    centreOnScreen(*this);
    // Paint first, then start the clock, so the full interval is visible time.
    QTimer::singleShot(0, this, [this] {
        QCoreApplication::processEvents();
        if (isVisible() && intervalMs_ > 0) timer_->start(intervalMs_);
    });
}

void IntroForm::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    // The thin fixed border a frameless window lacks.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void IntroForm::mousePressEvent(QMouseEvent* event) {
    event->accept();
    Label1_Click();
}

bool IntroForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == label_ && event->type() == QEvent::MouseButtonPress) {
        Label1_Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void IntroForm::Label1_Click() {
    timer_->stop();
    accept();
}

} // namespace vellumix
