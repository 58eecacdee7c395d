#include "support/PulseDaemon.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cmath>

namespace kestrabo::test {

PulseDaemon::PulseDaemon() = default;

PulseDaemon::~PulseDaemon()
{
    for (auto& client : m_clients) {
        if (client->state() != QProcess::NotRunning) {
            client->terminate();
            if (!client->waitForFinished(2'000))
                client->kill();
            client->waitForFinished(2'000);
        }
    }
    if (m_server && m_server->state() != QProcess::NotRunning) {
        m_server->terminate();
        if (!m_server->waitForFinished(3'000))
            m_server->kill();
        m_server->waitForFinished(2'000);
    }
}

QProcessEnvironment PulseDaemon::clientEnvironment() const
{
    const QString root = m_directory.path();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + root + QStringLiteral("/native"));
    environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), root);
    environment.insert(QStringLiteral("PULSE_STATE_PATH"), root + QStringLiteral("/state"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/cfg"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root);
    environment.insert(QStringLiteral("HOME"), root);
    return environment;
}

QString PulseDaemon::start()
{
    if (!m_directory.isValid())
        return QStringLiteral("no temporary directory");
    const QString root = m_directory.path();
    QDir(root).mkpath(QStringLiteral("state"));
    QDir(root).mkpath(QStringLiteral("cfg"));
    QFile config(root + QStringLiteral("/daemon.pa"));
    if (!config.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write the server configuration");
    config.write(QStringLiteral("load-module module-native-protocol-unix auth-anonymous=1 socket=%1/native\n"
                                "load-module module-null-sink sink_name=spk rate=48000 channels=2\n"
                                "load-module module-null-sink sink_name=micsink rate=16000 channels=1\n"
                                "set-default-sink spk\n"
                                "set-default-source micsink.monitor\n")
                     .arg(root)
                     .toUtf8());
    config.close();

    // libpulse in this process (the code under test) talks to this server only.
    const QProcessEnvironment environment = clientEnvironment();
    for (const char* name : {"PULSE_SERVER", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "XDG_CONFIG_HOME",
                             "XDG_RUNTIME_DIR", "HOME"})
        qputenv(name, environment.value(QLatin1String(name)).toUtf8());

    m_server = std::make_unique<QProcess>();
    m_server->setProcessEnvironment(environment);
    m_server->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server->start(QStringLiteral("pulseaudio"),
                    {QStringLiteral("-n"), QStringLiteral("--file=") + config.fileName(),
                     QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--daemonize=no"),
                     QStringLiteral("--use-pid-file=no"), QStringLiteral("--disable-shm=yes"),
                     QStringLiteral("--realtime=no"), QStringLiteral("--high-priority=no"),
                     QStringLiteral("--log-level=error"), QStringLiteral("--log-target=stderr")});
    if (!m_server->waitForStarted(5'000))
        return QStringLiteral("pulseaudio did not start");
    const bool ready = waitUntil([this] { return run(QStringLiteral("pactl"), {QStringLiteral("info")}); }, 10'000);
    if (!ready)
        return QStringLiteral("pulseaudio did not answer");
    // An idle null sink runs with a 2-second latency and takes that long to notice a new,
    // low-latency stream: keep both sinks busy with silence at a low latency.
    for (const char* sink : {"micsink", "spk"})
        spawn(QStringLiteral("pacat"), {QStringLiteral("-p"), QStringLiteral("--latency-msec=20"), QStringLiteral("-d"),
                                        QLatin1String(sink), QStringLiteral("--format=s16le"),
                                        QStringLiteral("--rate=16000"), QStringLiteral("--channels=1"),
                                        QStringLiteral("/dev/zero")});
    // The lower latency takes effect only once the sinks have played out what they rendered
    // ahead (up to 2 seconds).
    const bool settled = waitUntil(
        [this] {
            QByteArray listing;
            if (!run(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sinks")}, &listing))
                return false;
            int sinks = 0;
            static const QRegularExpression latency(QStringLiteral("^\\s+Latency: (\\d+) usec"),
                                                    QRegularExpression::MultilineOption);
            for (auto match = latency.globalMatch(QString::fromUtf8(listing)); match.hasNext();) {
                if (match.next().captured(1).toLongLong() > 100'000)
                    return false;
                ++sinks;
            }
            return sinks == 2;
        },
        10'000);
    if (!settled)
        return QStringLiteral("the null sinks did not reach a low latency");
    return {};
}

bool PulseDaemon::run(const QString& program, const QStringList& arguments, QByteArray* output)
{
    QProcess process;
    process.setProcessEnvironment(clientEnvironment());
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
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(clientEnvironment());
    process->start(program, arguments);
    process->waitForStarted(5'000);
    m_clients.push_back(std::move(process));
    return m_clients.back().get();
}

QProcess* PulseDaemon::feedMicrophone(const std::vector<int16_t>& samples)
{
    const QString path = m_directory.filePath(QStringLiteral("feed-%1.raw").arg(m_clients.size()));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(reinterpret_cast<const char*>(samples.data()), qint64(samples.size() * sizeof(int16_t)));
    file.close();
    return spawn(QStringLiteral("pacat"),
                 {QStringLiteral("-p"), QStringLiteral("--latency-msec=20"), QStringLiteral("-d"),
                  QStringLiteral("micsink"), QStringLiteral("--format=s16le"), QStringLiteral("--rate=16000"),
                  QStringLiteral("--channels=1"), path});
}

double tonePower(const std::vector<float>& samples, double sampleRate, double frequency)
{
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / sampleRate);
    double previous = 0, beforePrevious = 0;
    for (float sample : samples) {
        const double current = sample + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return (previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious) /
           double(std::max<size_t>(1, samples.size()));
}

double dominantFrequency(const std::vector<float>& samples, double sampleRate, double highest)
{
    // Hann-windowed 100 ms segments: 10 Hz resolution, little leakage from one tone to the grid.
    const size_t segment = size_t(sampleRate / 10);
    std::vector<double> power;
    std::vector<float> windowed(segment);
    for (size_t start = 0; start + segment <= samples.size(); start += segment) {
        for (size_t i = 0; i < segment; ++i)
            windowed[i] = samples[start + i] * float(0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(segment)));
        size_t index = 0;
        for (double frequency = 100; frequency <= highest; frequency += 10, ++index) {
            if (power.size() <= index)
                power.push_back(0);
            power[index] += tonePower(windowed, sampleRate, frequency);
        }
    }
    const auto best = std::max_element(power.begin(), power.end());
    return best == power.end() ? 0 : 100 + 10 * double(best - power.begin());
}

std::vector<float> pcm16ToFloat(const QByteArray& bytes)
{
    std::vector<float> samples;
    samples.reserve(size_t(bytes.size() / 2));
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        samples.push_back(float(int16_t(uint16_t(uint8_t(bytes[i])) | uint16_t(uint8_t(bytes[i + 1])) << 8)) / 32768.0f);
    return samples;
}

} // namespace kestrabo::test
