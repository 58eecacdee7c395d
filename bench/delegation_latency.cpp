// The client's own latency in a whole conversation on loopback: from the user's last
// transcript delta reaching the model to the delegation's answer arriving at the voice
// stand-in, less the 1-second debounce. Both stand-ins answer at once.

#include "BenchSupport.h"
#include "live-sim/LiveSim.h"
#include "live/LiveConnection.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "responses-sim/ResponsesSim.h"
#include "routing/ResponsesTransport.h"
#include "support/ModelFixture.h"
#include "support/XFixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>

using namespace kestrabo;

namespace {

QJsonObject route(const QString& name, bool requiresScreen)
{
    return QJsonObject{{QStringLiteral("match"), QStringLiteral("\"question_route\"")},
                       {QStringLiteral("repeat"), true},
                       {QStringLiteral("outputJSON"),
                        QJsonObject{{QStringLiteral("route"), name},
                                    {QStringLiteral("task"), QStringLiteral("the request")},
                                    {QStringLiteral("requiresScreen"), requiresScreen}}}};
}

void conversation(benchmark::State& state, bool screen)
{
    test::Xvfb xvfb;
    if (const QString problem = xvfb.start(QSize(2880, 1800)); !problem.isEmpty()) {
        state.SkipWithError(qPrintable(problem));
        return;
    }
    test::XWindows windows(xvfb.display());
    windows.create(QRect(200, 200, 1600, 1000), qRgb(180, 60, 60), false);
    windows.sync();
    X11ScreenGrabber grabber(xvfb.display());

    sim::LiveSim voice;
    QJsonArray replies{route(screen ? QStringLiteral("screen") : QStringLiteral("direct"), screen)};
    replies.append(QJsonObject{{QStringLiteral("match"), QStringLiteral("You provide screen observations")},
                               {QStringLiteral("repeat"), true},
                               {QStringLiteral("outputText"), QStringLiteral("A red window.")}});
    sim::ResponsesSim responses(QJsonObject{{QStringLiteral("replies"), replies}});
    if (voice.start() == 0 || responses.start() == 0) {
        state.SkipWithError("stand-ins did not start");
        return;
    }
    ResponsesTransport::setEndpoint(responses.endpoint());
    test::ModelFixture fixture;
    fixture.access.screenPreflight = true;
    fixture.platform.grabber = &grabber;
    AppModel& model = fixture.make();
    if (!startConversation(model, voice.endpoint())) {
        state.SkipWithError("conversation did not start");
        return;
    }

    std::vector<double> latencies;
    int round = 0;
    for (auto _ : state) {
        const QString id = QStringLiteral("d%1").arg(round);
        const double start = round * 10'000.0;
        voice.send(QJsonObject{{QStringLiteral("delegation"), QJsonObject{{QStringLiteral("target"), QStringLiteral("client")},
                                                                          {QStringLiteral("id"), id}}},
                               {QStringLiteral("type"), QStringLiteral("session.delegation.created")}});
        const qsizetype before = model.captions().size();
        voice.send(userWords(QStringLiteral("Question number %1?").arg(round), start));
        // The clock starts when the model has taken the delta in.
        waitUntil([&] { return model.captions().size() != before || model.pendingDelegations().contains(id); }, 5'000);
        waitUntil([&] { return model.ledger().latestUserText().endsWith(QStringLiteral("%1?").arg(round)); }, 5'000);
        QElapsedTimer clock;
        clock.start();
        const bool answered = waitUntil(
            [&] {
                for (const QJsonObject& event : voice.received(QStringLiteral("session.commentary.append"))) {
                    if (event.value(QStringLiteral("delegation_id")).toString() == id)
                        return true;
                }
                return false;
            },
            20'000);
        const double seconds = clock.nsecsElapsed() / 1e9 - 1.0;
        if (!answered) {
            state.SkipWithError("no answer");
            break;
        }
        latencies.push_back(seconds * 1000);
        state.SetIterationTime(std::max(seconds, 0.0));
        ++round;
        QThread::msleep(1600); // let the next question be a new utterance
        QCoreApplication::processEvents();
    }
    reportLatencies(state, latencies);
    model.stop();
    ResponsesTransport::setEndpoint(QUrl());
}

void directRoute(benchmark::State& state) { conversation(state, false); }
void screenRoute(benchmark::State& state) { conversation(state, true); }

BENCHMARK(directRoute)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);
BENCHMARK(screenRoute)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1");
    return runBenchmarks<QApplication>(argc, argv);
}
