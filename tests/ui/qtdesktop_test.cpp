// The Qt desktop offscreen: its boxes and dialogs are driven from a timer, its settings go to a
// temporary folder and its URLs to a test handler.
#include "app/qtdesktop.h"

#include "tests/support/qtapp.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

namespace vellumix {
namespace {

struct Ended {
    int status;
};
class ObservedDesktop : public QtDesktop {
protected:
    [[noreturn]] void endProcess(int status) override { throw Ended{status}; }
};

// Runs `act` on the first modal window of type T once it is up.
template <typename T> void whenModal(std::function<void(T*)> act) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget()); w && w->isVisible()) {
            timer->stop();
            timer->deleteLater();
            act(w);
        }
    });
    timer->start(5);
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        setStore(dir_.filePath(QStringLiteral("config")));
    }
    void setStore(const QString& folder) {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    }

    QTemporaryDir dir_;
};

TEST_F(SettingsTest, ValuesSurviveInTheSettingsGroupUnderTheirExactKeys) {
    {
        QtDesktop writer;
        writer.writeSetting("Last FileName", "Vellumix_Temp..bmp");
        writer.writeSetting("Save Path", "/home/user/Bilder und Fotos");
    }
    QtDesktop reader;
    EXPECT_EQ(reader.readSetting("Last FileName"), "Vellumix_Temp..bmp");
    EXPECT_EQ(reader.readSetting("Save Path"), "/home/user/Bilder und Fotos");
    EXPECT_EQ(reader.readSetting("Never Written"), "");

    QSettings file(dir_.filePath(QStringLiteral("config/Vellumix/Vellumix.conf")), QSettings::IniFormat);
    EXPECT_EQ(file.value(QStringLiteral("Settings/Last FileName")).toString(),
              QStringLiteral("Vellumix_Temp..bmp"));
}

TEST_F(SettingsTest, AStoreThatCannotBeWrittenOrReadIsSurvivedWithOneWarning) {
    // A plain file where the store's folder should be: not even root can create it.
    QFile blocker(dir_.filePath(QStringLiteral("blocked")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    setStore(blocker.fileName());

    std::ostringstream captured;
    std::streambuf* old = std::cerr.rdbuf(captured.rdbuf());
    QtDesktop desktop;
    desktop.writeSetting("Last FileName", "Vellumix_Temp..png");
    desktop.writeSetting("Save Path", "/tmp");
    const std::string value = desktop.readSetting("Last FileName");
    std::cerr.rdbuf(old);

    EXPECT_EQ(value, "");
    const std::string out = captured.str();
    EXPECT_NE(out.find("settings store"), std::string::npos) << out;
    EXPECT_EQ(out.find("settings store"), out.rfind("settings store")) << "warned once: " << out;
}

struct BoxCase {
    int flags;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton press; // NoButton: close with Escape
    MsgAnswer answer;
};

TEST(QtDesktopBoxes, MessageBoxTakesIconAndButtonsFromTheFlags) {
    const BoxCase cases[] = {
        {MbOk, QMessageBox::NoIcon, QMessageBox::Ok, QMessageBox::Ok, MsgAnswer::Ok},
        {MbCritical | MbOk, QMessageBox::Critical, QMessageBox::Ok, QMessageBox::Ok, MsgAnswer::Ok},
        {MbExclamation | MbOkCancel, QMessageBox::Warning, QMessageBox::Ok | QMessageBox::Cancel,
         QMessageBox::Cancel, MsgAnswer::Cancel},
        {MbExclamation | MbOkCancel, QMessageBox::Warning, QMessageBox::Ok | QMessageBox::Cancel,
         QMessageBox::NoButton, MsgAnswer::Cancel},
        {MbYesNo, QMessageBox::NoIcon, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, MsgAnswer::Yes},
        {MbYesNo, QMessageBox::NoIcon, QMessageBox::Yes | QMessageBox::No, QMessageBox::No, MsgAnswer::No},
    };
    for (const BoxCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags << " press " << c.press);
        QtDesktop desktop;
        bool seen = false;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            seen = true;
            EXPECT_EQ(box->windowTitle(), QStringLiteral("GPIB <Error>"));
            EXPECT_EQ(box->text(), QStringLiteral("line one\n\n<b>line</b> two"));
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            EXPECT_EQ(box->icon(), c.icon);
            EXPECT_EQ(box->standardButtons(), c.buttons);
            if (c.press == QMessageBox::NoButton)
                QTest::keyClick(box, Qt::Key_Escape);
            else
                box->button(c.press)->click();
        });
        EXPECT_EQ(desktop.messageBox("line one\n\n<b>line</b> two", c.flags, "GPIB <Error>"), c.answer);
        EXPECT_TRUE(seen);
    }
}

TEST(QtDesktopBoxes, InputBoxIsPrefilledAndCancelGivesTheEmptyText) {
    QtDesktop desktop;
    whenModal<QInputDialog>([](QInputDialog* dlg) {
        EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Manually select TDS Scope"));
        EXPECT_EQ(dlg->labelText(), QStringLiteral("Enter the TDS type you want to connect to"));
        EXPECT_EQ(dlg->textValue(), QStringLiteral("TDS "));
        dlg->setTextValue(QStringLiteral("tds 210"));
        dlg->accept();
    });
    EXPECT_EQ(
        desktop.inputBox("Enter the TDS type you want to connect to", "Manually select TDS Scope", "TDS "),
        "tds 210");

    whenModal<QInputDialog>([](QInputDialog* dlg) { dlg->reject(); });
    EXPECT_EQ(desktop.inputBox("prompt", "title", "TDS "), "");
}

TEST(QtDesktopBoxes, SaveDialogAsksInSaveModeAndAddsTheExtension) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = QFile::encodeName(dir.path()).toStdString();
    struct Case {
        const char* description;
        const char* expectedFilter;
    };
    const Case cases[] = {{"Picture File (*.bmp)", "Picture File (*.bmp)"},
                          {"Picture File", "Picture File (*.bmp)"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        QtDesktop desktop;
        whenModal<QFileDialog>([&](QFileDialog* dlg) {
            EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Save Hard Copy to File"));
            EXPECT_EQ(dlg->acceptMode(), QFileDialog::AcceptSave);
            EXPECT_EQ(QDir(dlg->directory()).canonicalPath(), QDir(dir.path()).canonicalPath());
            EXPECT_EQ(dlg->nameFilters(), QStringList{QString::fromLatin1(c.expectedFilter)});
            EXPECT_EQ(dlg->defaultSuffix(), QStringLiteral("bmp"));
            EXPECT_FALSE(dlg->testOption(QFileDialog::DontConfirmOverwrite));
            if (auto* edit = dlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
                EXPECT_EQ(edit->text(), QStringLiteral("Vellumix "));
            }
            dlg->selectFile(QStringLiteral("scope shot"));
            QMetaObject::invokeMethod(dlg, "accept"); // protected: reach it as the slot it is
        });
        const auto result = desktop.saveDialog(
            {"Save Hard Copy to File", folder, ".bmp", "Vellumix ", c.description, "*.bmp"});
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(QDir(QFileInfo(QString::fromStdString(result->fileName)).path()).canonicalPath(),
                  QDir(dir.path()).canonicalPath());
        EXPECT_EQ(result->fileTitle, "scope shot.bmp");
        EXPECT_TRUE(QString::fromStdString(result->fileName).endsWith(QStringLiteral("/scope shot.bmp")));
    }

    QtDesktop desktop;
    whenModal<QFileDialog>([](QFileDialog* dlg) { dlg->reject(); });
    EXPECT_FALSE(desktop.saveDialog({"t", folder, ".png", "Vellumix ", "Picture File (*.png)", "*.png"}));
}

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls.append(url); }
};

TEST(QtDesktopServices, LocalPathsBecomeFileUrlsLinksStayLinks) {
    UrlRecorder recorder;
    for (const char* scheme : {"file", "http", "https", "mailto"})
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &recorder, "open");

    QtDesktop desktop;
    desktop.openWithDefaultHandler("/tmp/Vellumix data/Vellumix_Temp..png", ShowMode::Normal);
    desktop.openWithDefaultHandler("http://127.0.0.1:8080/dl/Vellumix.htm", ShowMode::Normal);
    desktop.openWithDefaultHandler("mailto:someone@example.invalid?subject=Vellumix", ShowMode::Current);
    desktop.openWithDefaultHandler("/tmp/100%25 #1.bmp", ShowMode::Normal);

    for (const char* scheme : {"file", "http", "https", "mailto"})
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));

    ASSERT_EQ(recorder.urls.size(), 4);
    EXPECT_EQ(recorder.urls[0].toLocalFile(), QStringLiteral("/tmp/Vellumix data/Vellumix_Temp..png"));
    EXPECT_EQ(recorder.urls[1].toString(), QStringLiteral("http://127.0.0.1:8080/dl/Vellumix.htm"));
    EXPECT_EQ(recorder.urls[2].scheme(), QStringLiteral("mailto"));
    EXPECT_EQ(recorder.urls[2].path(), QStringLiteral("someone@example.invalid"));
    EXPECT_EQ(recorder.urls[2].query(), QStringLiteral("subject=Vellumix"));
    EXPECT_EQ(recorder.urls[3].toLocalFile(), QStringLiteral("/tmp/100%25 #1.bmp")) << "a path is not a URL";
}

TEST(QtDesktopServices, BusyPointerStaysBalanced) {
    {
        QtDesktop desktop;
        desktop.setBusyPointer(true);
        desktop.setBusyPointer(true);
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
        desktop.setBusyPointer(false);
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
        desktop.setBusyPointer(false);
        desktop.setBusyPointer(true);
    }
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr)
        << "a desktop going away while busy restores the pointer";
}

TEST(QtDesktopServices, EndProgramEndsWithAFailureStatus) {
    ObservedDesktop desktop;
    try {
        desktop.endProgram(FatalReason::NoListeners);
        FAIL() << "endProgram returned";
    } catch (const Ended& e) {
        EXPECT_NE(e.status, 0);
    }
}

TEST(QtDesktopServices, EnvironmentTellsUnsetFromEmpty) {
    QtDesktop desktop;
    qputenv("VELLUMIX_TEST_VAR", "C:\\Users\\x");
    EXPECT_EQ(desktop.environment("VELLUMIX_TEST_VAR"), std::optional<std::string>("C:\\Users\\x"));
    qputenv("VELLUMIX_TEST_VAR", "");
    EXPECT_EQ(desktop.environment("VELLUMIX_TEST_VAR"), std::optional<std::string>(""));
    qunsetenv("VELLUMIX_TEST_VAR");
    EXPECT_EQ(desktop.environment("VELLUMIX_TEST_VAR"), std::nullopt);
}

} // namespace
} // namespace vellumix

#include "qtdesktop_test.moc"
