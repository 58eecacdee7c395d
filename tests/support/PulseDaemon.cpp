#include "support/PulseDaemon.h"

#include "support/TestSupport.h"

#include <QFile>
#include <QRegularExpression>

namespace kestrabo::test {

namespace {

QStringList words(const QString& line) { return line.split(QLatin1Char(' ')); }

} // namespace

PulseDaemon::~PulseDaemon()
{
    // Clients before the server.
    for (auto process = m_processes.rbegin(); process != m_processes.rend(); ++process)
        stopProcess(**process, 3'000);
}

QString PulseDaemon::start(Sinks sinks)
{
    const QString root = m_directory.path();
    QFile config(m_directory.filePath(QStringLiteral("daemon.pa")));
    if (!m_directory.isValid() || !config.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write the server configuration");
    config.write(QStringLiteral("load-module module-native-protocol-unix auth-anonymous=1 socket=%1/native\n"
                                "load-module module-null-sink sink_name=spk rate=48000 channels=2\n"
                                "load-module module-null-sink sink_name=micsink rate=16000 channels=1\n"
                                "load-module module-virtual-source source_name=mic master=micsink.monitor\n"
                                "set-default-sink spk\nset-default-source mic\n")
                     .arg(root)
                     .toUtf8());
    config.close();
    // The code under test and every child process reach this server only.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("PULSE_SERVER", ("unix:" + root + "/native").toUtf8());
    for (const char* name : {"PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "HOME"})
        qputenv(name, root.toUtf8());

    QProcess* server = spawn(QStringLiteral("pulseaudio"),
                             words(QStringLiteral("-n --exit-idle-time=-1 --daemonize=no --use-pid-file=no "
                                                  "--disable-shm=yes --realtime=no --high-priority=no "
                                                  "--log-level=error --log-target=stderr"))
                                 << QStringLiteral("--file=") + config.fileName());
    if (server->state() != QProcess::Running)
        return QStringLiteral("pulseaudio did not start");
    if (!waitUntil([this] { return run(QStringLiteral("pactl"), {QStringLiteral("info")}); }, 10'000))
        return QStringLiteral("pulseaudio did not answer");
    if (sinks == Sinks::idle)
        return {};
    // An idle null sink runs with a 2-second latency and is slow to notice a new low-latency
    // stream: keep both busy with silence, until they have played out what they rendered ahead.
    for (const char* sink : {"micsink", "spk"})
        spawn(QStringLiteral("pacat"), words(QStringLiteral("-p --latency-msec=20 --format=s16le --rate=16000 "
                                                            "--channels=1 -d %1 /dev/zero").arg(QLatin1String(sink))));
    const bool settled = waitUntil(
        [this] {
            QByteArray listing;
            run(QStringLiteral("pactl"), words(QStringLiteral("list sinks")), &listing);
            static const QRegularExpression latency(QStringLiteral("\tLatency: (\\d+) usec"));
            int low = 0;
            for (auto match = latency.globalMatch(QString::fromUtf8(listing)); match.hasNext();)
                low += match.next().captured(1).toLongLong() < 100'000;
            return low == 2;
        },
        10'000);
    return settled ? QString() : QStringLiteral("the null sinks did not reach a low latency");
}

void PulseDaemon::killServer()
{
    if (!m_processes.empty()) {
        m_processes.front()->kill();
        m_processes.front()->waitForFinished(3'000);
    }
}

bool PulseDaemon::run(const QString& program, const QStringList& arguments, QByteArray* output)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10'000)) {
        process.kill();
        process.waitForFinished(1'000);
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QProcess* PulseDaemon::spawn(const QString& program, const QStringList& arguments)
{
    m_processes.push_back(std::make_unique<QProcess>());
    m_processes.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_processes.back()->start(program, arguments);
    m_processes.back()->waitForStarted(5'000);
    return m_processes.back().get();
}

void PulseDaemon::feedMicrophone(const QByteArray& audio)
{
    QFile file(m_directory.filePath(QStringLiteral("feed-%1.raw").arg(m_processes.size())));
    if (file.open(QIODevice::WriteOnly))
        file.write(audio);
    file.close();
    spawn(QStringLiteral("pacat"), words(QStringLiteral("-p --latency-msec=20 -d micsink --format=s16le --rate=16000 "
                                                        "--channels=1")) << file.fileName());
}

} // namespace kestrabo::test
