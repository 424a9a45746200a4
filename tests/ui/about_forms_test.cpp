// The splash and About windows, offscreen.
#include "about/aboutform.h"
#include "about/introform.h"
#include "about/version.h"
#include "platform/captionbutton.h"
#include "tests/support/fakes.h"

#include "tests/support/qtapp.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace vellumix {
namespace {

using FormsTest = ::testing::Test;

struct Splash {
    explicit Splash(const QString& text, int intervalMs) : form(text, intervalMs) {
        label = form.findChild<QLabel*>(QStringLiteral("Label1"));
        timer = form.findChild<QTimer*>(QStringLiteral("Timer1"));
    }
    IntroForm form;
    QLabel* label = nullptr;
    QTimer* timer = nullptr;
};

TEST_F(FormsTest, SplashLayout) {
    for (const QString& text : {QStringLiteral("Vellumix, v1.25 - Dec 2024 / QZ"),
                                QStringLiteral("Vellumix, v1.25.3-long - 31 December 2024 / QZ")}) {
        Splash s(text, 0);
        ASSERT_TRUE(s.label && s.timer);
        EXPECT_EQ(s.form.objectName(), QStringLiteral("IntroForm"));
        EXPECT_TRUE(s.form.windowTitle().isEmpty());
        // No title bar: a window manager would fill an empty one with the application's name.
        EXPECT_TRUE(s.form.windowFlags().testFlag(Qt::FramelessWindowHint));
        EXPECT_FALSE(s.form.windowFlags().testFlag(Qt::WindowTitleHint));
        EXPECT_EQ(s.label->text(), text);
        EXPECT_EQ(s.label->pos(), QPoint(16, 16));
        EXPECT_EQ(s.label->size(), s.label->sizeHint()) << "label fits its text";
        EXPECT_EQ(s.form.width(), s.label->width() + 40);
        EXPECT_EQ(s.form.height(), 54);
        EXPECT_EQ(s.form.minimumSize(), s.form.maximumSize()) << "fixed size";
        EXPECT_EQ(s.label->font().family(), QStringLiteral("Times New Roman"));
        EXPECT_DOUBLE_EQ(s.label->font().pointSizeF(), 14.25);
        EXPECT_EQ(s.label->font().weight(), QFont::Normal);
        EXPECT_EQ(s.label->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    }
}

TEST_F(FormsTest, SplashClosesOnTimer) {
    Splash s(QStringLiteral("Vellumix"), 50);
    EXPECT_FALSE(s.timer->isActive()) << "the timer starts only once the window is up";
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(s.form.exec(), QDialog::Accepted);
    EXPECT_GE(clock.elapsed(), 40);
    EXPECT_FALSE(s.timer->isActive());
}

TEST_F(FormsTest, SplashClicksClose) {
    for (const char* where : {"window", "label"}) {
        SCOPED_TRACE(where);
        Splash s(QStringLiteral("Vellumix, v1.25"), 60000);
        s.form.show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.timer->isActive(); }, 2000));
        QWidget* target = std::string(where) == "label" ? static_cast<QWidget*>(s.label) : &s.form;
        QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(2, 2));
        EXPECT_FALSE(s.form.isVisible());
        EXPECT_EQ(s.form.result(), QDialog::Accepted);
        EXPECT_FALSE(s.timer->isActive());
    }
}

TEST_F(FormsTest, SplashWithIntervalZeroWaitsForClick) {
    Splash s(QStringLiteral("Vellumix"), 0);
    s.form.show();
    QTest::qWait(100);
    EXPECT_TRUE(s.form.isVisible());
    EXPECT_FALSE(s.timer->isActive());
    QTest::mouseClick(s.label, Qt::LeftButton);
    EXPECT_FALSE(s.form.isVisible());
}

struct About {
    explicit About(test::ScriptedDesktop& desktop) : form(desktop, "1.25", "Dec 2024") {
        labelAbout = form.findChild<QLabel*>(QStringLiteral("Label_About"));
        labelEmail = form.findChild<QLabel*>(QStringLiteral("Label_eMail"));
        checkUpdate = form.findChild<QPushButton*>(QStringLiteral("Command_CheckUpdate"));
        ok = form.findChild<QPushButton*>(QStringLiteral("Command_OK"));
    }
    bool complete() const { return labelAbout && labelEmail && checkUpdate && ok; }
    AboutForm form;
    QLabel* labelAbout = nullptr;
    QLabel* labelEmail = nullptr;
    QPushButton* checkUpdate = nullptr;
    QPushButton* ok = nullptr;
};

TEST_F(FormsTest, AboutLayoutAndTexts) {
    test::ScriptedDesktop desktop;
    About a(desktop);
    ASSERT_TRUE(a.complete());
    EXPECT_EQ(a.form.objectName(), QStringLiteral("AboutForm"));
    EXPECT_EQ(a.form.windowTitle(), QStringLiteral("About Vellumix"));
    EXPECT_EQ(a.form.size(), QSize(266, 143));
    EXPECT_EQ(a.form.minimumSize(), a.form.maximumSize());
    EXPECT_EQ(a.labelAbout->text().toStdString(),
              std::string("Version: 1.25,  Date: Dec 2024\n\n") + AuthorshipLine + "\n\n");
    EXPECT_EQ(a.labelEmail->text().toStdString(), MaintainerEmail);
    EXPECT_TRUE(a.labelEmail->font().underline());
    EXPECT_EQ(a.labelEmail->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(a.checkUpdate->text(), QStringLiteral("Check for Update"));
    EXPECT_EQ(a.ok->text(), QStringLiteral("Close"));
    EXPECT_EQ(a.ok->geometry(), QRect(176, 104, 73, 25));
    EXPECT_EQ(a.checkUpdate->geometry(), QRect(16, 104, 97, 25));
    EXPECT_EQ(a.labelAbout->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(a.labelEmail->focusPolicy(), Qt::NoFocus);
    // The captions fit their buttons at the window's small font, whatever the font's metrics.
    for (QPushButton* b : {a.checkUpdate, a.ok}) {
        auto* fitted = qobject_cast<CaptionButton*>(b);
        ASSERT_NE(fitted, nullptr) << b->text().toStdString();
        EXPECT_TRUE(fitted->captionFits()) << b->text().toStdString();
        EXPECT_LE(fitted->captionFont().pointSizeF(), a.form.font().pointSizeF());
    }
}

TEST_F(FormsTest, AboutFocusStartsOnCloseAndTabsToCheckUpdate) {
    test::ScriptedDesktop desktop;
    About a(desktop);
    a.form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&a.form));
    EXPECT_EQ(a.form.focusWidget(), a.ok);
    QTest::keyClick(a.ok, Qt::Key_Tab);
    EXPECT_EQ(a.form.focusWidget(), a.checkUpdate);
    QTest::keyClick(a.checkUpdate, Qt::Key_Tab);
    EXPECT_EQ(a.form.focusWidget(), a.ok);
}

TEST_F(FormsTest, AboutClosesOnEscapeOnEitherButtonAndOnClose) {
    for (const char* how : {"Escape on Close", "Escape on Check for Update", "click Close"}) {
        SCOPED_TRACE(how);
        test::ScriptedDesktop desktop;
        About a(desktop);
        a.form.show();
        const std::string h = how;
        if (h == "click Close") {
            QTest::mouseClick(a.ok, Qt::LeftButton);
        } else {
            QPushButton* button = h == "Escape on Close" ? a.ok : a.checkUpdate;
            button->setFocus();
            QTest::keyClick(button, Qt::Key_A);
            EXPECT_TRUE(a.form.isVisible()) << "other keys leave the window open";
            QTest::keyClick(button, Qt::Key_Escape);
        }
        EXPECT_FALSE(a.form.isVisible());
        EXPECT_TRUE(desktop.boxes.empty() && desktop.downloads.empty());
    }
}

TEST_F(FormsTest, AboutEmailClickOpensMailtoLink) {
    test::ScriptedDesktop desktop;
    About a(desktop);
    a.form.show();
    QTest::mouseClick(a.labelEmail, Qt::LeftButton);
    ASSERT_EQ(desktop.opened.size(), 1u);
    EXPECT_EQ(desktop.opened[0].target, std::string("mailto:") + MaintainerEmail + "?subject=Vellumix");
    EXPECT_EQ(desktop.opened[0].mode, ShowMode::Current);
    EXPECT_TRUE(a.form.isVisible());
}

TEST_F(FormsTest, AboutCheckUpdateRunsTheCheck) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    test::ScriptedDesktop desktop;
    desktop.env["AppData"] = dir.path().toStdString();
    desktop.env["VELLUMIX_UPDATE_URL"] = "http://127.0.0.1:9";
    desktop.downloader = [](const std::string&, const std::string&) { return 1; };
    desktop.answers = {MsgAnswer::No};
    About a(desktop);
    a.form.show();
    QTest::mouseClick(a.checkUpdate, Qt::LeftButton);
    ASSERT_EQ(desktop.downloads, std::vector<std::string>{"http://127.0.0.1:9/dl/swv.txt"});
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].title, "Current version: 1.25");
    EXPECT_TRUE(desktop.opened.empty());
    EXPECT_TRUE(a.form.isVisible());
}

} // namespace
} // namespace vellumix
