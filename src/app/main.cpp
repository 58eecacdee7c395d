// Process entry: reads the command line, hands a second launch over to the running Kestrabo,
// then runs the application delegate on the event loop.

#include "app/AppBundle.h"
#include "app/AppDelegate.h"
#include "app/SingleInstance.h"

#include <QApplication>

#include <cstdio>

using namespace kestrabo;

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const LaunchOptions options = LaunchOptions::parse(arguments);
    using Mode = LaunchOptions::Mode;
    switch (options.mode) {
    case Mode::usage:
        std::fprintf(stderr, "kestrabo: %s\n%s", qPrintable(options.problem), qPrintable(LaunchOptions::usage()));
        return 2;
    case Mode::help:
        std::printf("%s", qPrintable(LaunchOptions::usage()));
        return 0;
    case Mode::version: {
        const AppBundle bundle = AppBundle::current();
        std::printf("kestrabo %s (%s)\n", KESTRABO_VERSION, qPrintable(bundle.buildLabel()));
        return 0;
    }
    case Mode::normal:
    case Mode::toggle:
        if (SingleInstance::send(options.mode == Mode::toggle ? "toggle" : "open"))
            return 0;
        break;
    default:
        // The report, the previews and the demo need no display: without one they render off screen.
        if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
            && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        break;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrabo"));
    QApplication::setOrganizationName(QStringLiteral("kestrabo"));
    QApplication::setDesktopFileName(QString::fromLatin1(AppBundle::identifierName));
    AppDelegate delegate(options);
    if (!delegate.applicationDidFinishLaunching()) {
        // Another instance started at the same moment and holds the socket: it takes over.
        return SingleInstance::send(options.mode == Mode::toggle ? "toggle" : "open") ? 0 : 1;
    }
    return QApplication::exec();
}
