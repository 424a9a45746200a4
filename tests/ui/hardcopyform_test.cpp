// The main window offscreen, on the simulated bus (default scenario: a TDS 3054B at address 1).
#include "about/introform.h"
#include "app/hardcopyform.h"
#include "app/qtdesktop.h"
#include "gpib/backends/sim/simbus.h"
#include "gpib/clock.h"
#include "gpib/link.h"

#include "tests/support/qtapp.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace vellumix {
namespace {

struct FatalEnd {
    int status;
};

// The real desktop with isolated settings, but message boxes answered from the test and the
// default handler and the end of the program only recorded.
class TestDesktop : public QtDesktop {
public:
    struct Box {
        std::string prompt;
        int flags;
        std::string title;
    };
    std::vector<Box> boxes;
    std::vector<std::string> opened;
    std::function<void()> duringBox;

    MsgAnswer messageBox(const std::string& prompt, int flags, const std::string& title) override {
        boxes.push_back({prompt, flags, title});
        if (duringBox) duringBox();
        return (flags & 0x0F) == MbYesNo ? MsgAnswer::No : MsgAnswer::Ok;
    }
    void openWithDefaultHandler(const std::string& target, ShowMode) override { opened.push_back(target); }

protected:
    [[noreturn]] void endProcess(int status) override { throw FatalEnd{status}; }
};

class HardCopyFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           dir_.filePath(QStringLiteral("config")));
        qputenv("AppData", QFile::encodeName(dir_.filePath(QStringLiteral("appdata"))));
        std::string error;
        driver_ = gpib::sim::createSimBus("", clock_, error);
        ASSERT_TRUE(driver_) << error;
        link_ = std::make_unique<gpib::InstrumentLink>(*driver_, desktop_, clock_);
        form_ = std::make_unique<HardCopyForm>(*link_, desktop_, "");
    }
    void TearDown() override { qunsetenv("AppData"); }

    template <typename T = QWidget> T* child(const char* name) {
        T* w = form_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    // Shows the window and waits for the first activation, closing the splash as soon as it is up.
    void activate() {
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* splash = qobject_cast<IntroForm*>(w); splash && splash->isVisible())
                    splash->done(0);
        });
        closer.start(5);
        form_->show();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return form_->session().Activated && !QApplication::activeModalWidget(); }, 5000));
    }

    // On its indicator: a radio button takes clicks on its indicator and caption only.
    void clickOption(int index) {
        QWidget* opt = form_->findChild<QWidget*>(QStringLiteral("Option_HCFormat_%1").arg(index));
        ASSERT_NE(opt, nullptr);
        QTest::mouseClick(opt, Qt::LeftButton, {}, QPoint(8, opt->height() / 2));
    }

    std::string storedSetting(const char* key) {
        QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Vellumix"),
                    QStringLiteral("Vellumix"));
        return s.value(QStringLiteral("Settings/") + QString::fromLatin1(key)).toString().toStdString();
    }

    QTemporaryDir dir_;
    gpib::VirtualClock clock_;
    TestDesktop desktop_;
    std::unique_ptr<gpib::GpibDriver> driver_;
    std::unique_ptr<gpib::InstrumentLink> link_;
    std::unique_ptr<HardCopyForm> form_;
};

struct ControlRow {
    const char* name;
    const char* parent;
    const char* caption;
    int left, top, width, height; // twips
};
// The layout of the design, in tab order.
const ControlRow layoutTable[] = {
    {"Button_GetHardCopy", "HardCopyForm", "&Get Hard Copy", 240, 4200, 1995, 315},
    {"Button_ImportLastFile", "HardCopyForm", "&Import Last Hard Copy", 240, 4680, 1995, 315},
    {"Button_OpenInWin", "HardCopyForm", "&Open Current Hard Copy in Windows Viewer", 240, 5160, 1995, 515},
    {"Button_SaveToFile", "HardCopyForm", "&Save Current Hard Copy to File", 240, 5820, 1995, 515},
    {"Button_Exit", "HardCopyForm", "&Exit", 300, 7260, 1875, 315},
    {"Button_About", "HardCopyForm", "&About", 300, 6720, 1875, 315},
    {"Frame1", "HardCopyForm", "Hard Copy Formats", 180, 180, 1995, 3075},
    {"Frame2", "HardCopyForm", "Ink Saver", 240, 3360, 1995, 675},
    {"Check_InkSaver", "Frame2", "Ink Saver ON", 180, 240, 1455, 315},
    {"Picture1", "HardCopyForm", nullptr, 2400, 300, 9660, 7260},
    {"Option_HCFormat_0", "Frame1", "BMP (MONO)", 300, 420, 1455, 315},
    {"Option_HCFormat_1", "Frame1", "BMP COLOR", 300, 840, 1455, 315},
    {"Option_HCFormat_2", "Frame1", "TIFF", 300, 1260, 1455, 315},
    {"Option_HCFormat_3", "Frame1", "PNG", 300, 1680, 1455, 315},
    {"Option_HCFormat_4", "Frame1", "PCX (MONO)", 300, 2100, 1455, 315},
    {"Option_HCFormat_5", "Frame1", "PCX COLOR", 300, 2520, 1455, 315},
};

TEST_F(HardCopyFormTest, WindowIsFixedAtTheDesignedClientSize) {
    EXPECT_EQ(form_->objectName(), QStringLiteral("HardCopyForm"));
    EXPECT_EQ(form_->size(), QSize(823, 525));
    EXPECT_EQ(form_->minimumSize(), form_->maximumSize());
    EXPECT_FALSE(form_->windowIcon().isNull());
    // The load handler has replaced the initial caption; the connection comes with activation.
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Vellumix, v1.25 - Dec 2024 / QZ"));
}

TEST_F(HardCopyFormTest, EveryControlSitsWhereTheLayoutPutsIt) {
    for (const ControlRow& row : layoutTable) {
        SCOPED_TRACE(row.name);
        QWidget* w = child(row.name);
        ASSERT_NE(w, nullptr) << "no control named " << row.name;
        EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(row.parent));
        EXPECT_EQ(w->geometry(), QRect(row.left / 15, row.top / 15, row.width / 15, row.height / 15));
        QString caption;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) caption = b->text();
        if (auto* g = qobject_cast<QGroupBox*>(w)) caption = g->title();
        EXPECT_EQ(caption, row.caption ? QString::fromLatin1(row.caption) : QString());
        if (auto* b = qobject_cast<QPushButton*>(w)) {
            auto* fitted = qobject_cast<CaptionButton*>(b);
            ASSERT_NE(fitted, nullptr);
            EXPECT_TRUE(fitted->captionFits()) << "the caption stays inside its button";
        }
    }
}

TEST_F(HardCopyFormTest, BeforeActivationNothingCanBeChosen) {
    for (int i = 0; i < HardCopyForm::OptionCount; ++i) {
        auto* opt = child<QRadioButton>(layoutTable[10 + i].name);
        EXPECT_FALSE(opt->isEnabled()) << i;
        EXPECT_FALSE(opt->isChecked()) << i;
    }
    EXPECT_EQ(form_->checkedOption(), -1);
    EXPECT_FALSE(child("Check_InkSaver")->isEnabled());
    EXPECT_FALSE(child<QCheckBox>("Check_InkSaver")->isChecked());
    const std::pair<const char*, bool> buttons[] = {
        {"Button_GetHardCopy", true}, {"Button_ImportLastFile", true}, {"Button_OpenInWin", false},
        {"Button_SaveToFile", false}, {"Button_Exit", true},           {"Button_About", true}};
    for (const auto& [name, enabled] : buttons)
        EXPECT_EQ(child(name)->isEnabled(), enabled) << name;
    EXPECT_TRUE(form_->picture()->picture().isNull());
}

TEST_F(HardCopyFormTest, TabOrderFollowsTheLayoutTable) {
    std::vector<QString> expected;
    for (const ControlRow& row : layoutTable) {
        QWidget* w = child(row.name);
        if (w && (w->focusPolicy() & Qt::TabFocus)) expected.push_back(QString::fromLatin1(row.name));
    }
    ASSERT_EQ(expected.size(), 13u) << "six buttons, the check box and six options take the focus";

    std::vector<QString> chain;
    QWidget* w = child("Button_GetHardCopy");
    do {
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w->objectName());
        w = w->nextInFocusChain();
    } while (w != child("Button_GetHardCopy") && chain.size() < 50);
    EXPECT_EQ(chain, expected);
}

TEST_F(HardCopyFormTest, TabKeySkipsDisabledControlsAndStopsOnceAtTheChosenFormat) {
    activate();
    QTest::mouseClick(child("Button_GetHardCopy"), Qt::LeftButton); // enables Open and Save
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
    child("Button_GetHardCopy")->setFocus();

    auto walk = [](Qt::Key key) {
        std::vector<std::string> visited;
        for (int i = 0; i < 8; ++i) {
            QWidget* f = QApplication::focusWidget();
            if (!f) break;
            visited.push_back(f->objectName().toStdString());
            QTest::keyClick(f, key);
        }
        return visited;
    };
    const std::vector<std::string> forward{"Button_GetHardCopy", "Button_OpenInWin",  "Button_SaveToFile",
                                           "Button_Exit",        "Button_About",      "Check_InkSaver",
                                           "Option_HCFormat_1",  "Button_GetHardCopy"};
    EXPECT_EQ(walk(Qt::Key_Tab), forward);
    const std::vector<std::string> backward(forward.rbegin(), forward.rend());
    child("Button_GetHardCopy")->setFocus();
    EXPECT_EQ(walk(Qt::Key_Backtab), backward);
}

TEST_F(HardCopyFormTest, ActivationConnectsAndOffersTheModelsFormats) {
    activate();
    EXPECT_TRUE(form_->windowTitle().endsWith(QStringLiteral("   -   Connected to TDS 3054B @ GPIB Addr: 1")))
        << form_->windowTitle().toStdString();
    for (int i = 0; i < HardCopyForm::OptionCount; ++i)
        EXPECT_TRUE(form_->optionEnabled(i)) << i;
    EXPECT_EQ(form_->checkedOption(), 1);
    EXPECT_TRUE(child<QRadioButton>("Option_HCFormat_1")->isChecked());
    EXPECT_TRUE(form_->inkSaverEnabled());
    EXPECT_FALSE(form_->buttonEnabled(Button::ImportLastFile)) << "no last file stored";
    EXPECT_TRUE(desktop_.boxes.empty());

    // Later activations change nothing.
    const QString caption = form_->windowTitle();
    QEvent activation(QEvent::WindowActivate);
    QApplication::sendEvent(form_.get(), &activation);
    QTest::qWait(20);
    EXPECT_EQ(form_->windowTitle(), caption);
}

TEST_F(HardCopyFormTest, UserClicksReachTheSessionProgrammaticMarksDoNot) {
    activate();
    form_->setOptionChecked(3);
    EXPECT_EQ(form_->checkedOption(), 3);
    EXPECT_EQ(form_->session().FormatWord, "BMPCOLOR") << "marking an option runs no handler";

    clickOption(0);
    EXPECT_EQ(form_->checkedOption(), 0);
    EXPECT_EQ(form_->session().FormatWord, "BMP");
    EXPECT_EQ(form_->session().FileExt, ".bmp");
}

TEST_F(HardCopyFormTest, BmpCaptureShowsThePictureAndCloseRemembersIt) {
    activate();
    QTest::mouseClick(child("Button_GetHardCopy"), Qt::LeftButton);
    EXPECT_TRUE(desktop_.boxes.empty()) << desktop_.boxes.front().prompt;
    const PictureBox* picture = form_->picture();
    ASSERT_FALSE(picture->picture().isNull());
    EXPECT_FALSE(picture->showsProgress());
    EXPECT_TRUE(picture->contentsRect().contains(picture->pictureRect()));
    EXPECT_TRUE(form_->buttonEnabled(Button::OpenInWin));
    EXPECT_TRUE(form_->buttonEnabled(Button::SaveToFile));
    EXPECT_FALSE(form_->buttonEnabled(Button::ImportLastFile));
    EXPECT_TRUE(QFile::exists(dir_.filePath(QStringLiteral("appdata/Vellumix/Vellumix_Temp..bmp"))));

    QTest::mouseClick(child("Button_Exit"), Qt::LeftButton);
    EXPECT_FALSE(form_->isVisible());
    EXPECT_EQ(storedSetting("Last FileName"), "Vellumix_Temp..bmp");
}

TEST_F(HardCopyFormTest, OtherFormatsAskInsteadOfShowing) {
    activate();
    QTest::mouseClick(child("Button_GetHardCopy"), Qt::LeftButton);
    ASSERT_FALSE(form_->picture()->picture().isNull());

    clickOption(3);
    QTest::mouseClick(child("Button_GetHardCopy"), Qt::LeftButton);
    ASSERT_EQ(desktop_.boxes.size(), 1u);
    EXPECT_EQ(desktop_.boxes[0].title, "Show current Hard Copy");
    EXPECT_EQ(desktop_.boxes[0].flags, MbYesNo);
    EXPECT_TRUE(form_->picture()->picture().isNull()) << "the BMP of the first capture is cleared";
    EXPECT_TRUE(desktop_.opened.empty()) << "answered No";
}

TEST_F(HardCopyFormTest, CloseRequestedInsideAHandlerWaitsForIt) {
    activate();
    clickOption(2);
    bool visibleAfterRequest = false;
    desktop_.duringBox = [&] {
        form_->close();
        visibleAfterRequest = form_->isVisible();
    };
    QTest::mouseClick(child("Button_GetHardCopy"), Qt::LeftButton);
    EXPECT_TRUE(visibleAfterRequest) << "the capture's question is still open";
    EXPECT_FALSE(form_->isVisible()) << "closed once the capture returned";
    EXPECT_EQ(storedSetting("Last FileName"), "Vellumix_Temp..tif");
    EXPECT_TRUE(form_->buttonEnabled(Button::SaveToFile)) << "the capture ran to its end";
}

TEST_F(HardCopyFormTest, PicturesLargerThanTheBoxShrinkSmallerOnesStayCentred) {
    PictureBox* box = form_->picture();
    const QRect room = box->contentsRect();
    ASSERT_EQ(room.size(), QSize(640, 480));
    struct Case {
        QSize picture;
        QSize shown;
    };
    const Case cases[] = {
        {{640, 480}, {640, 480}},  {{320, 240}, {320, 240}}, {{1280, 960}, {640, 480}},
        {{2000, 500}, {640, 160}}, {{100, 2000}, {24, 480}}, {{641, 100}, {640, 99}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.picture.width() << "x" << c.picture.height());
        QImage image(c.picture, QImage::Format_RGB32);
        image.fill(Qt::green);
        const QString path = dir_.filePath(QStringLiteral("pic.bmp"));
        ASSERT_TRUE(image.save(path, "BMP"));
        ASSERT_TRUE(form_->showPicture(QFile::encodeName(path).toStdString()));
        EXPECT_EQ(box->pictureRect().size(), c.shown);
        EXPECT_LE(std::abs(box->pictureRect().center().x() - room.center().x()), 1);
        EXPECT_LE(std::abs(box->pictureRect().center().y() - room.center().y()), 1);
    }

    QFile junk(dir_.filePath(QStringLiteral("junk.bmp")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("BM not really a picture");
    junk.close();
    EXPECT_FALSE(form_->showPicture(QFile::encodeName(junk.fileName()).toStdString()));
    EXPECT_TRUE(box->picture().isNull()) << "a failed load leaves the box empty, not the old picture";
}

TEST_F(HardCopyFormTest, ProgressCountsBytesAndPercent) {
    struct Case {
        std::size_t received;
        std::optional<std::size_t> total;
        int percent;
        std::optional<double> left = std::nullopt;
        const char* leftText = "";
    };
    const Case cases[] = {
        {0, std::nullopt, -1},
        {512, 1024, 50},
        {1023, 1024, 99},
        {4096, 1024, 100},
        {10, 0, 100},
        {100000, 300000, 33, 17.4, "about 17 s left"},
        {100000, 3000000, 3, 312.0, "about 5 min left"},
        {290000, 300000, 96, 0.4, "less than a second left"},
    };
    PictureBox* box = form_->picture();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.received);
        form_->showProgress(c.received, c.total, c.left);
        EXPECT_EQ(box->timeLeftText(), QString::fromLatin1(c.leftText));
        EXPECT_TRUE(box->showsProgress());
        EXPECT_TRUE(box->picture().isNull());
        EXPECT_EQ(box->progressPercent(), c.percent);
        EXPECT_TRUE(box->progressText().startsWith(QStringLiteral("Receiving hard copy\u2026 ")));
        EXPECT_TRUE(box->progressText().endsWith(QStringLiteral(" bytes")));
        EXPECT_FALSE(box->grab().isNull());
    }
    form_->clearPicture();
    EXPECT_FALSE(box->showsProgress());
}

// Esc (or the box's Cancel button) during a capture: the transfer stops, nothing is written, the
// window says so and gives its controls back; the next capture is whole.
TEST_F(HardCopyFormTest, EscCancelsACaptureAndTheNextOneIsExact) {
    activate();
    child("Button_GetHardCopy")->setFocus();
    QTest::mouseClick(child("Button_GetHardCopy"), Qt::LeftButton);
    const QString file = dir_.filePath(QStringLiteral("appdata/Vellumix/Vellumix_Temp..bmp"));
    const QByteArray first = [&] {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    ASSERT_FALSE(first.isEmpty());

    for (const bool byButton : {false, true}) {
        SCOPED_TRACE(byButton ? "Cancel button" : "Esc");
        bool offered = false, othersDisabled = false;
        QTimer::singleShot(0, form_.get(), [&] {
            PictureBox* box = form_->picture();
            offered = box->cancelOffered() && box->showsProgress();
            othersDisabled = !child("Button_GetHardCopy")->isEnabled() && !child("Frame1")->isEnabled();
            if (byButton)
                QTest::mouseClick(box->cancelButton(), Qt::LeftButton);
            else
                QTest::keyClick(form_.get(), Qt::Key_Escape);
        });
        QTest::mouseClick(child("Button_GetHardCopy"), Qt::LeftButton);
        EXPECT_TRUE(offered);
        EXPECT_TRUE(othersDisabled);
        EXPECT_TRUE(desktop_.boxes.empty());
        EXPECT_FALSE(form_->picture()->cancelOffered());
        EXPECT_EQ(form_->picture()->note(), QStringLiteral("Hard copy cancelled."));
        EXPECT_FALSE(form_->picture()->picture().isNull()) << "the previous picture is shown again";
        EXPECT_TRUE(child("Button_GetHardCopy")->isEnabled());
        EXPECT_TRUE(form_->buttonEnabled(Button::SaveToFile));
        EXPECT_EQ(form_->focusWidget(), child("Button_GetHardCopy")) << "the keyboard is back where it was";
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), first);
    }
    QFile::remove(file);
    QTest::mouseClick(child("Button_GetHardCopy"), Qt::LeftButton);
    QFile again(file);
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), first);
    EXPECT_TRUE(form_->picture()->note().isEmpty());
}

// Every format the scopes write reaches the clipboard as the same image: the colour ones as the
// colour BMP, the mono ones as the mono BMP, PCX through Vellumix's own decoder.
TEST_F(HardCopyFormTest, CopyPutsEveryFormatOnTheClipboardAsAnImage) {
    gpib::sim::Scenario scenario = gpib::sim::Scenario::defaultScenario();
    gpib::sim::SimInstrument scope(scenario.instruments.front());
    const auto render = [&](const char* word) {
        scope.receive(std::string("HARDCOPY:FORMAT ") + word, {}, {}, {});
        const QString path = dir_.filePath(QString::fromLatin1(word));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(scope.picture()->data(), qint64(scope.picture()->size()));
        return path.toStdString();
    };
    const struct {
        const char* word;
        const char* sameAs;
    } cases[] = {{"BMPCOLOR", "BMPCOLOR"}, {"PNG", "BMPCOLOR"}, {"PCXCOLOR", "BMPCOLOR"},
                 {"BMP", "BMP"},           {"TIFF", "BMP"},     {"PCX", "BMP"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        const QImage expected =
            QImage(QString::fromStdString(render(c.sameAs))).convertToFormat(QImage::Format_RGB32);
        ASSERT_FALSE(expected.isNull());
        QGuiApplication::clipboard()->clear();
        ASSERT_TRUE(form_->copyPicture(render(c.word)));
        EXPECT_EQ(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32), expected);
    }
    EXPECT_FALSE(form_->copyPicture(dir_.filePath(QStringLiteral("missing")).toStdString()));
}

TEST_F(HardCopyFormTest, PictureMenuOffersCopySaveAndViewerOnceThereIsAHardCopy) {
    activate();
    const auto menuState = [&] {
        QMenu menu;
        form_->fillPictureMenu(menu);
        std::vector<std::pair<QString, bool>> items;
        for (QAction* a : menu.actions())
            items.emplace_back(a->text(), a->isEnabled());
        return items;
    };
    using Items = std::vector<std::pair<QString, bool>>;
    EXPECT_EQ(menuState(), (Items{{QStringLiteral("Copy Hard Copy"), false},
                                  {QStringLiteral("Save\u2026"), false},
                                  {QStringLiteral("Open in Viewer"), false}}));
    QTest::mouseClick(child("Button_GetHardCopy"), Qt::LeftButton);
    EXPECT_EQ(menuState(), (Items{{QStringLiteral("Copy Hard Copy"), true},
                                  {QStringLiteral("Save\u2026"), true},
                                  {QStringLiteral("Open in Viewer"), true}}));
    // Ctrl+C in the window copies it.
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(form_.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->image().size(), form_->picture()->picture().size());
}

} // namespace
} // namespace vellumix
