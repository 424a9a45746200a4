#include "app/qtdesktop.h"

#include "about/download.h"
#include "app/qtpath.h"
#include "files/filerules.h"
#include "platform/environment.h"
#include "platform/paths.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QSettings>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace vellumix {

namespace {

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

struct IconFlag {
    int flag;
    QMessageBox::Icon icon;
};
constexpr std::array<IconFlag, 2> iconFlags{{
    {MbCritical, QMessageBox::Critical},
    {MbExclamation, QMessageBox::Warning},
}};

} // namespace

QtDesktop::~QtDesktop() {
    if (busy_) QGuiApplication::restoreOverrideCursor();
}

MsgAnswer QtDesktop::messageBox(const std::string& prompt, int flags, const std::string& title) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(text(title));
    // Device replies and file names end up in these texts: never let them be read as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(text(prompt));

    box.setIcon(QMessageBox::NoIcon);
    for (const IconFlag& f : iconFlags)
        if ((flags & 0xF0) == f.flag) box.setIcon(f.icon);

    const int buttons = flags & 0x0F;
    MsgAnswer fallback = MsgAnswer::Ok;
    if (buttons == MbOkCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        fallback = MsgAnswer::Cancel;
    } else if (buttons == MbYesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        fallback = MsgAnswer::No;
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }

    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    switch (clicked ? box.standardButton(clicked) : QMessageBox::NoButton) {
    case QMessageBox::Ok:
        return MsgAnswer::Ok;
    case QMessageBox::Cancel:
        return MsgAnswer::Cancel;
    case QMessageBox::Yes:
        return MsgAnswer::Yes;
    case QMessageBox::No:
        return MsgAnswer::No;
    default:
        // Closed some other way: the harmless answer of the box's kind.
        return fallback;
    }
}

std::string QtDesktop::inputBox(const std::string& prompt, const std::string& title,
                                const std::string& defaultText) {
    bool ok = false;
    const QString answer = QInputDialog::getText(QApplication::activeWindow(), text(title), text(prompt),
                                                 QLineEdit::Normal, text(defaultText), &ok);
    return ok ? answer.toStdString() : std::string();
}

std::optional<SaveDialogResult> QtDesktop::saveDialog(const SaveDialogRequest& request) {
    QFileDialog dialog(QApplication::activeWindow(), text(request.title), pathText(request.initialDir));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);

    // The description usually carries its pattern already ("Picture File (*.bmp)"); Qt reads the
    // pattern from the parentheses, so add them only when they are missing.
    QString filter = text(request.filterDescription);
    const QString pattern = text(request.filterPattern);
    if (!pattern.isEmpty() && !filter.contains(QLatin1Char('(') + pattern + QLatin1Char(')')))
        filter += QStringLiteral(" (") + pattern + QLatin1Char(')');
    dialog.setNameFilter(filter);

    QString suffix = text(request.defaultExt);
    if (suffix.startsWith(QLatin1Char('.'))) suffix.remove(0, 1);
    dialog.setDefaultSuffix(suffix);
    dialog.selectFile(pathText(request.proposedName));

    // The path must exist: a name typed into a folder that does not exist is refused in the
    // dialog, which stays open, rather than returned.
    for (;;) {
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        const QStringList files = dialog.selectedFiles();
        if (files.isEmpty() || files.first().isEmpty()) return std::nullopt;

        const QFileInfo chosen(files.first());
        const QString path = chosen.absoluteFilePath();
        if (chosen.absoluteDir().exists())
            return SaveDialogResult{pathBytes(QDir::toNativeSeparators(path)), pathBytes(chosen.fileName())};
        QMessageBox::warning(&dialog, dialog.windowTitle(),
                             QStringLiteral("The folder\n%1\ndoes not exist.")
                                 .arg(QDir::toNativeSeparators(chosen.absolutePath())));
        dialog.setDirectory(dialog.directory());
    }
}

QUrl QtDesktop::targetUrl(const std::string& target) {
    const QString t = text(target);
    static const std::array<QLatin1String, 4> linkSchemes{QLatin1String("http:"), QLatin1String("https:"),
                                                          QLatin1String("mailto:"), QLatin1String("file:")};
    for (const QLatin1String& scheme : linkSchemes)
        if (t.startsWith(scheme, Qt::CaseInsensitive)) return QUrl(t, QUrl::TolerantMode);
    return QUrl::fromLocalFile(pathText(target));
}

void QtDesktop::openWithDefaultHandler(const std::string& target, ShowMode) {
    // The result is not reported: whatever goes wrong, the desktop's own handler says so.
    QDesktopServices::openUrl(targetUrl(target));
}

void QtDesktop::reportSettingsProblem(const char* what, int status) {
    if (settingsWarned_) return;
    settingsWarned_ = true;
    std::cerr << "Vellumix: the settings store could not be " << what << " (status " << status
              << "); settings are not kept.\n";
}

std::unique_ptr<QSettings> QtDesktop::openSettings() {
#ifdef Q_OS_WIN
    // An INI file beside the capture files, not the registry: everything the window keeps is in the
    // one folder, which a user can find, copy or delete.
    const std::string folder = dataFolder(*this);
    if (folder.empty()) return nullptr;
    return std::make_unique<QSettings>(text(joinPath(folder, "Vellumix.ini")), QSettings::IniFormat);
#else
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Vellumix"), QStringLiteral("Vellumix"));
#endif
}

std::string QtDesktop::readSetting(const std::string& key) {
    const std::unique_ptr<QSettings> settings = openSettings();
    if (!settings || settings->status() != QSettings::NoError) {
        reportSettingsProblem("read", settings ? settings->status() : QSettings::AccessError);
        return {};
    }
    settings->beginGroup(QStringLiteral("Settings"));
    const QVariant value = settings->value(text(key));
    return value.isValid() ? value.toString().toStdString() : std::string();
}

void QtDesktop::writeSetting(const std::string& key, const std::string& value) {
    const std::unique_ptr<QSettings> settings = openSettings();
    if (!settings) {
        reportSettingsProblem("written", QSettings::AccessError);
        return;
    }
    settings->beginGroup(QStringLiteral("Settings"));
    settings->setValue(text(key), text(value));
    settings->endGroup();
    settings->sync();
    if (settings->status() != QSettings::NoError) reportSettingsProblem("written", settings->status());
}

int QtDesktop::download(const std::string& url, const std::string& path) {
    return downloadToFile(url, path);
}

void QtDesktop::setBusyPointer(bool busy) {
    // Kept balanced: the override cursor stack must not grow with repeated calls.
    if (busy == busy_) return;
    busy_ = busy;
    if (busy)
        QGuiApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
    else
        QGuiApplication::restoreOverrideCursor();
}

void QtDesktop::processEvents() {
    // Painting and timers only: a click arriving now must not start a handler inside a handler.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void QtDesktop::endProgram(FatalReason) {
    endProcess(FatalExitStatus);
    // An override that returns does not get to keep the program running.
    std::_Exit(FatalExitStatus);
}

void QtDesktop::endProcess(int status) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // No unload handling, no static destructors under a live QApplication: leave at once.
    std::_Exit(status);
}

std::optional<std::string> QtDesktop::environment(const std::string& name) {
    // UTF-8 on every system (qgetenv gives Windows' ANSI code page).
    return environmentVariable(name.c_str());
}

} // namespace vellumix
