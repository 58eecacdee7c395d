// The island's cost on a real X display (its own Xvfb):
//   launch      the kestrabo executable started until its island window is mapped (median of 5)
//   idle        CPU of that whole process, collapsed by a click outside, over 10 s
//   animating   CPU of a process showing the expanded card in a conversation, the face moving
//               at its full frame rate (connecting: the gaze moves every frame), over 10 s
// CPU is the process's user + system time from /proc divided by wall time, in % of one core.

#include "BenchSupport.h"
#include "support/ModelFixture.h"
#include "support/TestSupport.h"
#include "support/XFixture.h"
#include "ui/PanelController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace kestrabo;

namespace {

constexpr const char* kHelper = "KESTRABO_BENCH_ISLAND";

// The expanded island in a conversation, on the display in $DISPLAY, until stdin closes.
[[noreturn]] void runAnimatingIsland()
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    static int argc = 1;
    static char name[] = "island";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    {
        test::ModelFixture fixture;
        fixture.access.holdRequests = true; // the conversation stays in `connecting`
        AppModel& model = fixture.make();
        PanelController controller(model, {.reduceMotion = [] { return false; }, .listenForButtons = true});
        model.setApiKey(QStringLiteral("sk-bench"));
        model.toggle();
        std::printf("ready\n");
        std::fflush(stdout);
        QSocketNotifier input(0, QSocketNotifier::Read);
        QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
            char buffer[64];
            if (read(0, buffer, sizeof buffer) <= 0)
                app.quit();
        });
        app.exec();
    }
    _exit(0);
}

const bool g_helper = [] {
    if (qEnvironmentVariableIsSet(kHelper))
        runAnimatingIsland();
    return false;
}();

double cpuPercent(qint64 pid, int seconds)
{
    const double before = cpuSeconds(pid);
    QElapsedTimer wall;
    wall.start();
    QThread::sleep(seconds);
    return 100 * (cpuSeconds(pid) - before) / (double(wall.nsecsElapsed()) / 1e9);
}

void stop(QProcess& process)
{
    process.closeWriteChannel();
    kestrabo::test::stopProcess(process);
}

QProcessEnvironment quietEnvironment(const QByteArray& display, const QTemporaryDir& home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    // No keyring, no sound server, no voice service: the island alone.
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent"));
    environment.insert(QStringLiteral("OPENAI_BASE_URL"), QStringLiteral("http://127.0.0.1:9/v1"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return environment;
}

// Starts the executable and waits for its first top-level window to map; milliseconds.
double launch(Display* x, const QProcessEnvironment& environment, QProcess& process)
{
    XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);
    XSync(x, True);
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(KESTRABO_EXECUTABLE), {});
    for (;;) {
        XEvent event;
        XNextEvent(x, &event); // blocks until the server reports
        if (event.type == MapNotify && event.xmap.event == DefaultRootWindow(x))
            return double(clock.nsecsElapsed()) / 1e6;
    }
}

} // namespace

int main()
{
    test::Xvfb xvfb;
    if (const QString problem = xvfb.start(QSize(1440, 900)); !problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 1;
    }
    Display* x = XOpenDisplay(xvfb.display().constData());
    QTemporaryDir home;
    const QProcessEnvironment environment = quietEnvironment(xvfb.display(), home);

    std::vector<double> launches;
    for (int i = 0; i < 5; ++i) {
        QProcess process;
        launches.push_back(launch(x, environment, process));
        stop(process);
    }
    std::sort(launches.begin(), launches.end());
    std::printf("launch to island shown: %.0f ms (median of 5; %.0f to %.0f)\n", launches[2], launches.front(),
                launches.back());

    QProcess idle;
    launch(x, environment, idle);
    QThread::msleep(1'500);
    // A click outside the expanded settings card collapses it.
    XTestFakeMotionEvent(x, -1, 100, 800, 0);
    XTestFakeButtonEvent(x, 1, True, 0);
    XTestFakeButtonEvent(x, 1, False, 0);
    XSync(x, False);
    QThread::msleep(1'500);
    std::printf("collapsed and idle: %.2f %% of one core\n", cpuPercent(idle.processId(), 10));
    stop(idle);

    QProcess animating;
    QProcessEnvironment helper = environment;
    helper.insert(QLatin1String(kHelper), QStringLiteral("1"));
    animating.setProcessEnvironment(helper);
    animating.start(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")), {});
    if (!animating.waitForReadyRead(15'000)) {
        std::fprintf(stderr, "the animating island did not start\n");
        return 1;
    }
    QThread::msleep(1'000);
    std::printf("expanded, conversation, face animating: %.2f %% of one core\n",
                cpuPercent(animating.processId(), 10));
    stop(animating);
    XCloseDisplay(x);
    return 0;
}
