// Idle cost of a running Kestrabo (goals: 80 MiB resident, 0.2 % of one core): the kestrabo
// executable with a saved key, its island collapsed by a click outside and the wake listener
// capturing, on a private Xvfb, a private PulseAudio server whose microphone hears silence, a
// private keyring and HOME, and the voice stand-in as its service. After a settling pause it
// reports the resident memory and the CPU over a quiet stretch (60 s unless given).
// --wake-off turns the wake phrase off in the preferences, to tell its share from the rest.
//   bench_idle [SECONDS] [--wake-off]

#include "BenchSupport.h"
#include "live-sim/LiveSim.h"
#include "support/PulseDaemon.h"
#include "support/SecretServiceFixture.h"
#include "support/TestSupport.h"
#include "support/XFixture.h"
#include "system/KeychainCredentialStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdio>
#include <map>
#include <unistd.h>

using namespace kestrabo;

namespace {

double residentMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    }
    return 0;
}

// CPU seconds of each thread of a process, by "name (tid)".
std::map<QString, double> threadSeconds(qint64 pid)
{
    std::map<QString, double> threads;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks + QLatin1Char('/') + tid + QStringLiteral("/comm"));
        const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : tid;
        threads[name + QStringLiteral(" (") + tid + QLatin1Char(')')] = cpuSeconds(pid, tid.toLongLong());
    }
    return threads;
}

int fail(const QString& problem)
{
    std::fprintf(stderr, "%s\n", qPrintable(problem));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    const bool wakeOff = app.arguments().contains(QStringLiteral("--wake-off"));
    QTemporaryDir home;
    if (wakeOff) {
        QDir(home.path()).mkpath(QStringLiteral("config/kestrabo"));
        QFile preferences(home.filePath(QStringLiteral("config/kestrabo/kestrabo.conf")));
        if (!preferences.open(QIODevice::WriteOnly) || preferences.write("[General]\nwakeWordEnabled=false\n") < 0)
            return fail(QStringLiteral("Could not write the preferences."));
    }
    test::Xvfb xvfb;
    if (const QString problem = xvfb.start(QSize(1920, 1080)); !problem.isEmpty())
        return fail(problem);
    // The sound server first: it clears the session bus, which the keyring then replaces.
    test::PulseDaemon pulse;
    // Sinks at rest: kept busy, they would hand the listener 5 ms pieces no desktop at rest does.
    if (const QString problem = pulse.start(test::PulseDaemon::Sinks::idle); !problem.isEmpty())
        return fail(problem);
    test::SecretServiceFixture keyring;
    if (!keyring.failure().isEmpty())
        return fail(keyring.failure());
    KeychainCredentialStore store(QStringLiteral("com.vorn.kestrabo.api-key"), QStringLiteral("openai"),
                                  KeychainOperations::system());
    if (const auto saved = store.save(QStringLiteral("sk-idle")); !saved.ok())
        return fail(saved.error().description());
    sim::LiveSim voice;
    if (voice.start() == 0)
        return fail(QStringLiteral("The voice stand-in did not start."));

    QDir(home.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(home.filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(xvfb.display()));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("OPENAI_BASE_URL"), voice.baseUrl().toString());
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));

    Display* x = XOpenDisplay(xvfb.display().constData());
    if (!x)
        return fail(QStringLiteral("Could not open the private display."));
    XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);
    XSync(x, True);
    QProcess kestrabo;
    kestrabo.setProcessEnvironment(environment);
    kestrabo.setStandardOutputFile(QProcess::nullDevice());
    kestrabo.start(QStringLiteral(KESTRABO_EXECUTABLE), {});
    if (!kestrabo.waitForStarted())
        return fail(QStringLiteral("kestrabo did not start."));
    // Until the island's window shows.
    for (bool shown = false; !shown;) {
        while (!shown && XPending(x) > 0) {
            XEvent event;
            XNextEvent(x, &event);
            shown = event.type == MapNotify && event.xmap.event == DefaultRootWindow(x);
        }
        if (!shown && kestrabo.waitForFinished(100))
            return fail(QStringLiteral("kestrabo ended: ") + QString::fromLocal8Bit(kestrabo.readAllStandardError()));
    }
    QThread::msleep(1'500);
    // A click far from the open card collapses it.
    XTestFakeMotionEvent(x, -1, 100, 900, 0);
    XTestFakeButtonEvent(x, 1, True, 0);
    XTestFakeButtonEvent(x, 1, False, 0);
    XSync(x, False);
    QThread::sleep(5);

    // The island: the one window on the display.
    QSize island;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            if (XGetWindowAttributes(x, children[i], &attributes) && attributes.map_state == IsViewable)
                island = QSize(attributes.width, attributes.height);
        }
        XFree(children);
    }
    QByteArray recordings;
    pulse.run(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs")},
              &recordings);
    // The virtual microphone's own stream on the null sink has no client ("-").
    bool listening = false;
    for (const QByteArray& line : recordings.split('\n'))
        listening = listening || (line.split('\t').size() > 2 && line.split('\t')[2] != "-");
    const double before = cpuSeconds(kestrabo.processId());
    const std::map<QString, double> threadsBefore = threadSeconds(kestrabo.processId());
    QElapsedTimer wall;
    wall.start();
    QThread::sleep(seconds);
    const double cpu = 100 * (cpuSeconds(kestrabo.processId()) - before) / (double(wall.nsecsElapsed()) / 1e9);
    const double resident = residentMiB(kestrabo.processId());
    QStringList busy;
    for (const auto& [thread, spent] : threadSeconds(kestrabo.processId())) {
        const auto earlier = threadsBefore.find(thread);
        const double share = 100 * (spent - (earlier == threadsBefore.end() ? 0 : earlier->second)) / seconds;
        if (share > 0)
            busy.append(QStringLiteral("%1 %2 %").arg(thread).arg(share, 0, 'f', 3));
    }

    std::printf("island %dx%d; wake listener capturing: %s; events the voice stand-in received: %lld\n",
                island.width(), island.height(), listening ? "yes" : "no", static_cast<long long>(voice.received().size()));
    std::printf("idle resident memory: %.1f MiB (goal 80)\n", resident);
    std::printf("idle CPU over %d s: %.3f %% of one core (goal 0.2)%s%s\n", seconds, cpu, busy.isEmpty() ? "" : "; by thread: ",
                qPrintable(busy.join(QStringLiteral(", "))));
    test::stopProcess(kestrabo, 10'000);
    XCloseDisplay(x);
    return listening != wakeOff ? 0 : 1;
}
