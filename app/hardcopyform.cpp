#include "app/hardcopyform.h"

#include "about/aboutform.h"
#include "about/introform.h"
#include "capture/formats.h"
#include "picture/pcxdecode.h"
#include "platform/windowlayout.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QRadioButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStyleOptionProgressBar>
#include <QStylePainter>
#include <QTimer>

#include <algorithm>

namespace vellumix {

namespace {

// The buttons in tab order, with their place in twips.
struct ButtonLayout {
    Button id;
    const char* name;
    const char* caption;
    int left, top, width, height;
};
constexpr std::array<ButtonLayout, 6> buttonLayout{{
    {Button::GetHardCopy, "Button_GetHardCopy", "&Get Hard Copy", 240, 4200, 1995, 315},
    {Button::ImportLastFile, "Button_ImportLastFile", "&Import Last Hard Copy", 240, 4680, 1995, 315},
    {Button::OpenInWin, "Button_OpenInWin", "&Open Current Hard Copy in Windows Viewer", 240, 5160, 1995,
     515},
    {Button::SaveToFile, "Button_SaveToFile", "&Save Current Hard Copy to File", 240, 5820, 1995, 515},
    {Button::Exit, "Button_Exit", "&Exit", 300, 7260, 1875, 315},
    {Button::About, "Button_About", "&About", 300, 6720, 1875, 315},
}};

constexpr int optionLeft = 300, optionFirstTop = 420, optionStep = 420, optionWidth = 1455,
              optionHeight = 315;

constexpr int clientWidthTwips = 12345, clientHeightTwips = 7875;

} // namespace

// --- HardCopyForm ---

HardCopyForm::HardCopyForm(gpib::InstrumentLink& link, Desktop& desktop, const std::string& arguments,
                           QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      desktop_(desktop) {
    setObjectName(QStringLiteral("HardCopyForm"));
    setWindowTitle(QStringLiteral("Vellumix"));
    setWindowIcon(programIcon());
    setFixedSize(twipsToPixels(clientWidthTwips), twipsToPixels(clientHeightTwips));
    centreOnScreen(*this);

    buildLayout();

    session_ = std::make_unique<HardCopySession>(link, desktop, *this);
    runHandler([&] { session_->Load(arguments); });
}

HardCopyForm::~HardCopyForm() = default;

void HardCopyForm::buildLayout() {
    // Created in tab order, so the focus chain is the layout's order from the start.
    std::array<QPushButton*, buttonLayout.size()> buttons{};
    for (std::size_t i = 0; i < buttonLayout.size(); ++i) {
        const ButtonLayout& b = buttonLayout[i];
        QPushButton* button = new CaptionButton(QString::fromLatin1(b.caption), this);
        button->setObjectName(QString::fromLatin1(b.name));
        button->setGeometry(twipsRect(b.left, b.top, b.width, b.height));
        button->setAutoDefault(false);
        buttons[i] = button;
    }
    Button_GetHardCopy = buttons[0];
    Button_ImportLastFile = buttons[1];
    Button_OpenInWin = buttons[2];
    Button_SaveToFile = buttons[3];
    Button_Exit = buttons[4];
    Button_About = buttons[5];

    Frame1 = new FrameBox(QStringLiteral("Hard Copy Formats"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twipsRect(180, 180, 1995, 3075));

    Frame2 = new FrameBox(QStringLiteral("Ink Saver"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setGeometry(twipsRect(240, 3360, 1995, 675));

    Check_InkSaver = new QCheckBox(QStringLiteral("Ink Saver ON"), Frame2);
    Check_InkSaver->setObjectName(QStringLiteral("Check_InkSaver"));
    Check_InkSaver->setGeometry(twipsRect(180, 240, 1455, 315));
    Check_InkSaver->setEnabled(false);

    Picture1 = new PictureBox(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(twipsRect(2400, 300, 9660, 7260));
    Picture1->setFocusPolicy(Qt::NoFocus);

    optionGroup_ = new QButtonGroup(this);
    optionGroup_->setExclusive(true);
    for (int i = 0; i < OptionCount; ++i) {
        auto* opt = new QRadioButton(QString::fromLatin1(capture::Formats[std::size_t(i)].caption), Frame1);
        opt->setObjectName(QStringLiteral("Option_HCFormat_%1").arg(i));
        opt->setGeometry(twipsRect(optionLeft, optionFirstTop + i * optionStep, optionWidth, optionHeight));
        opt->setEnabled(false);
        optionGroup_->addButton(opt, i);
        Option_HCFormat[std::size_t(i)] = opt;
    }

    Button_OpenInWin->setEnabled(false);
    Button_SaveToFile->setEnabled(false);

    QWidget* previous = Button_GetHardCopy;
    auto chain = [&previous](QWidget* next) {
        QWidget::setTabOrder(previous, next);
        previous = next;
    };
    for (std::size_t i = 1; i < buttons.size(); ++i)
        chain(buttons[i]);
    chain(Check_InkSaver);
    for (QRadioButton* opt : Option_HCFormat)
        chain(opt);
    Button_GetHardCopy->setFocus();

    connect(Button_GetHardCopy, &QPushButton::clicked, this,
            [this] { runUserHandler([this] { session_->Button_GetHardCopy_Click(); }); });
    connect(Button_ImportLastFile, &QPushButton::clicked, this,
            [this] { runUserHandler([this] { session_->Button_ImportLastFile_Click(); }); });
    connect(Button_OpenInWin, &QPushButton::clicked, this,
            [this] { runUserHandler([this] { session_->Button_OpenInWin_Click(); }); });
    connect(Button_SaveToFile, &QPushButton::clicked, this,
            [this] { runUserHandler([this] { session_->Button_SaveToFile_Click(); }); });
    connect(Button_Exit, &QPushButton::clicked, this, &QWidget::close);
    connect(Button_About, &QPushButton::clicked, this, [this] {
        runUserHandler([this] {
            // No owner window: it opens centred on the screen, like the splash.
            AboutForm about(desktop_, session_->AppVersion, session_->AppDate, nullptr);
            about.exec();
        });
    });
    // Esc and Ctrl+C: keyPressEvent.
    connect(Picture1, &PictureBox::cancelClicked, this, [this] { session_->Cancel_Click(); });
    Picture1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Picture1, &QWidget::customContextMenuRequested, this, &HardCopyForm::showPictureMenu);
    // idClicked comes from the user only; setOptionChecked marks an option without it.
    connect(optionGroup_, &QButtonGroup::idClicked, this, [this](int id) {
        runUserHandler([this, id] { session_->Option_HCFormat_Click(static_cast<int16_t>(id)); });
    });
}

template <typename Handler> void HardCopyForm::runHandler(Handler&& handler) {
    struct Depth {
        int& depth;
        explicit Depth(int& d) : depth(d) { ++depth; }
        ~Depth() { --depth; }
    };
    {
        Depth inHandler(handlerDepth_);
        handler();
    }
    if (handlerDepth_ == 0 && closePending_) {
        closePending_ = false;
        close();
    }
}

template <typename Handler> void HardCopyForm::runUserHandler(Handler&& handler) {
    if (!session_->Activated || handlerDepth_ > 0) return;
    runHandler(std::forward<Handler>(handler));
}

void HardCopyForm::scheduleActivation() {
    if (activationQueued_ || unloaded_) return;
    activationQueued_ = true;
    // Run from the event loop rather than inside the activation event: the handler opens the
    // modal splash.
    QTimer::singleShot(0, this, [this] {
        activationQueued_ = false;
        // Activations that arrive while a handler runs (the splash closing, a dialog closing) come
        // after the first one and have nothing to do; running the handler inside itself would.
        if (handlerDepth_ > 0 || unloaded_) return;
        runHandler([this] { session_->Activate(); });
    });
}

bool HardCopyForm::event(QEvent* event) {
    if (event->type() == QEvent::Show || event->type() == QEvent::WindowActivate) scheduleActivation();
    return QWidget::event(event);
}

void HardCopyForm::keyPressEvent(QKeyEvent* event) {
    // The window's controls leave these keys alone, so they arrive here from whichever has the focus.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        session_->Cancel_Click();
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        runUserHandler([this] { session_->Copy_Click(); });
        return;
    }
    QWidget::keyPressEvent(event);
}

bool HardCopyForm::focusNextPrevChild(bool next) {
    const bool moved = QWidget::focusNextPrevChild(next);
    // The options are one tab stop; as on the design's desktop, Tab lands on the chosen one rather
    // than on the first.
    QAbstractButton* chosen = optionGroup_->checkedButton();
    QWidget* focused = focusWidget();
    if (moved && chosen && chosen->isEnabled() && focused != chosen &&
        optionGroup_->buttons().contains(qobject_cast<QAbstractButton*>(focused)))
        chosen->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return moved;
}

void HardCopyForm::closeEvent(QCloseEvent* event) {
    if (handlerDepth_ > 0) {
        // Closing during a transfer stops it first; the window closes once the capture has returned.
        session_->Cancel_Click();
        // Unloading under a running capture or dialog would pull the run from under it.
        closePending_ = true;
        event->ignore();
        return;
    }
    if (!unloaded_) {
        unloaded_ = true;
        runHandler([this] { session_->Unload(); });
    }
    event->accept();
}

void HardCopyForm::fillPictureMenu(QMenu& menu) {
    const bool current = Button_SaveToFile->isEnabled() && handlerDepth_ == 0;
    QAction* copy = menu.addAction(QStringLiteral("Copy Hard Copy"), this,
                                   [this] { runUserHandler([this] { session_->Copy_Click(); }); });
    copy->setShortcut(QKeySequence::Copy);
    QAction* save = menu.addAction(QStringLiteral("Save\u2026"), this, [this] {
        runUserHandler([this] { session_->Button_SaveToFile_Click(); });
    });
    QAction* open = menu.addAction(QStringLiteral("Open in Viewer"), this, [this] {
        runUserHandler([this] { session_->Button_OpenInWin_Click(); });
    });
    for (QAction* a : {copy, save, open})
        a->setEnabled(current);
}

void HardCopyForm::showPictureMenu(const QPoint& at) {
    if (handlerDepth_ > 0 || !session_->Activated) return;
    QMenu menu(this);
    fillPictureMenu(menu);
    menu.exec(Picture1->mapToGlobal(at));
}

} // namespace vellumix
