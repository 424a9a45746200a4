// vellumix: the desktop program. Chooses the bus, opens its driver and runs the main window.
#include "app/hardcopyform.h"
#include "app/qtdesktop.h"
#include "app/session.h"
#include "gpib/backends/busuri.h"
#include "gpib/backends/schemes.h"
#include "gpib/clock.h"
#include "gpib/link.h"
#include "platform/desktop.h"

#include <QApplication>

#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace vellumix;

    // Taken before QApplication removes the options it understands: the load handler sees the
    // command line as the user typed it.
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string arguments = programArguments(args);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vellumix"));
    QApplication::setWindowIcon(programIcon());
    // The installed menu entry's name: desktops then show its icon and name for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral(VELLUMIX_APP_ID));

    QtDesktop desktop;
    const gpib::BusChoice choice = gpib::chooseBus(args);
    if (!choice.uri) {
        desktop.messageBox(choice.error, MbCritical, gpib::DriverErrorTitle);
        return QtDesktop::FatalExitStatus;
    }

    gpib::MonotonicClock clock;
    gpib::BusOpenResult bus = gpib::openBus(*choice.uri, clock);
    if (!bus.driver) {
        desktop.messageBox(bus.error, MbCritical, bus.title.empty() ? gpib::DriverErrorTitle : bus.title);
        return QtDesktop::FatalExitStatus;
    }

    gpib::InstrumentLink link(*bus.driver, desktop, clock);
    HardCopyForm form(link, desktop, arguments);
    form.show();
    return app.exec();
}
