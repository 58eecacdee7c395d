// kestrabo-live-sim --scenario FILE [--port N] [--record FILE] [--tls-certificate PEM --tls-key PEM]
//
// Serves the realtime voice session on 127.0.0.1 until SIGINT or SIGTERM. The first line on
// standard output is the base URL to export, so scripts can start it and read one line.

#include "live-sim/LiveSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <pthread.h>

namespace {

int usageError(const QString& text)
{
    std::fprintf(stderr, "kestrabo-live-sim: %s\n", qPrintable(text));
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    // Blocked before any thread starts, so every thread inherits the mask and the signals
    // wait for sigwait below instead of killing the process mid-write.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrabo-live-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stand-in for the realtime voice service."));
    parser.addHelpOption();
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
                                            QStringLiteral("Scenario JSON file."), QStringLiteral("FILE"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port on 127.0.0.1; 0 picks a free one."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption recordOption(QStringLiteral("record"),
                                          QStringLiteral("Append every received event to FILE."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption certificateOption(QStringLiteral("tls-certificate"),
                                               QStringLiteral("Serve wss:// with this PEM certificate."),
                                               QStringLiteral("FILE"));
    const QCommandLineOption keyOption(QStringLiteral("tls-key"), QStringLiteral("The certificate's PEM private key."),
                                       QStringLiteral("FILE"));
    parser.addOptions({scenarioOption, portOption, recordOption, certificateOption, keyOption});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    if (!parser.isSet(scenarioOption))
        return usageError(QStringLiteral("--scenario FILE is required"));

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        return usageError(QStringLiteral("--port must be a number from 0 to 65535"));

    const QString scenarioPath = parser.value(scenarioOption);
    QString error;
    const std::optional<QJsonObject> scenario = kestrabo::sim::LiveSim::loadScenario(scenarioPath, &error);
    if (!scenario)
        return usageError(error);

    kestrabo::sim::LiveSim sim(*scenario, QFileInfo(scenarioPath).absolutePath());
    if (parser.isSet(recordOption) && !sim.setRecordFile(parser.value(recordOption), &error))
        return usageError(error);
    if (parser.isSet(certificateOption) != parser.isSet(keyOption))
        return usageError(QStringLiteral("--tls-certificate and --tls-key go together"));
    if (parser.isSet(certificateOption)
        && !sim.useTls(parser.value(certificateOption), parser.value(keyOption), &error))
        return usageError(error);
    if (sim.start(quint16(port)) == 0)
        return usageError(sim.errorString());

    std::printf("OPENAI_BASE_URL=%s\n", qPrintable(sim.baseUrl().toString()));
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    sim.stop();
    return 0;
}
