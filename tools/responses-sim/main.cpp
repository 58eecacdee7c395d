// kestrabo-responses-sim: the Responses stand-in as a program, for people and scripts.
#include "responses-sim/ResponsesSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <mutex>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrabo-responses-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Stand-in for the Responses endpoint on 127.0.0.1. Prints OPENAI_BASE_URL=... first, then one line "
        "per request."));
    parser.addHelpOption();
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"), QStringLiteral("Scenario JSON file."),
                                            QStringLiteral("FILE"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port (default: any free one)."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption recordOption(QStringLiteral("record"),
                                          QStringLiteral("Append every request as a JSON line to FILE."),
                                          QStringLiteral("FILE"));
    parser.addOptions({scenarioOption, portOption, recordOption});
    parser.process(app);

    if (!parser.isSet(scenarioOption)) {
        std::fprintf(stderr, "kestrabo-responses-sim: --scenario FILE is required\n");
        return 2;
    }
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "kestrabo-responses-sim: --port must be a number from 0 to 65535\n");
        return 2;
    }
    QString error;
    const auto scenario = kestrabo::sim::ResponsesSim::loadScenario(parser.value(scenarioOption), &error);
    if (!scenario) {
        std::fprintf(stderr, "kestrabo-responses-sim: %s\n", qPrintable(error));
        return 2;
    }

    kestrabo::sim::ResponsesSim sim(*scenario);
    if (parser.isSet(recordOption) && !sim.setRecordFile(parser.value(recordOption), &error)) {
        std::fprintf(stderr, "kestrabo-responses-sim: %s\n", qPrintable(error));
        return 2;
    }
    // The base URL must be the first line even when a client is quicker than this thread.
    std::mutex output;
    std::unique_lock<std::mutex> announcing(output);
    sim.onLog = [&output](const QString& line) {
        const std::lock_guard<std::mutex> lock(output);
        std::fprintf(stdout, "%s\n", qPrintable(line));
        std::fflush(stdout);
    };
    if (sim.start(quint16(port)) == 0) {
        std::fprintf(stderr, "kestrabo-responses-sim: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    std::fprintf(stdout, "OPENAI_BASE_URL=%s\n", qPrintable(sim.baseUrl().toString()));
    std::fflush(stdout);
    announcing.unlock();

    // SIGTERM and SIGINT end the program at once; the record file is flushed line by line.
    const int status = app.exec();
    sim.stop();
    return status;
}
