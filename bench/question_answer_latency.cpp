// The relay's own latency for a spoken answer to a Codex question: from the user's last
// transcript delta reaching the model to the answer written to the Codex child, less the
// 1-second debounce. The voice, Responses and app-server stand-ins all answer at once.

#include "BenchSupport.h"
#include "FakeCodex.h"
#include "app/QuestionRelay.h"
#include "live-sim/LiveSim.h"
#include "live/LiveConnection.h"
#include "responses-sim/ResponsesSim.h"
#include "routing/ResponsesTransport.h"
#include "support/FakeGrabber.h"
#include "support/ModelFixture.h"
#include "tasks/ComputerTask.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <csignal>

using namespace kestrabo;

namespace {

// The task asks one question after another, each as soon as the last was answered.
const QByteArray kQuestions = R"({"steps": [{"handshake": {}}, {"repeat": 100, "steps": [
    {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "c$i", "questions": [
        {"id": "day", "header": "", "question": "Which day?"}]}, "await": true}]}]})";

void spokenAnswer(benchmark::State& state)
{
    fakecodex::FakeCodexDirectory codex;
    fakecodex::PathPrefix path(codex.directory());
    codex.setScenario(kQuestions);
    const QJsonObject audio{{"send", QJsonObject{{"type", "session.output_audio.delta"}, {"delta", "AAAAAAAA"}}}};
    sim::LiveSim voice(QJsonObject{{"rules", QJsonArray{QJsonObject{{"on", "session.commentary.append"},
                                                                    {"contentContains", "WORKER_QUESTION"},
                                                                    {"steps", QJsonArray{audio}}}}}});
    sim::ResponsesSim responses(QJsonObject{
        {"replies", QJsonArray{QJsonObject{{"match", "\"worker_answer_route\""}, {"repeat", true},
                                           {"outputJSON", QJsonObject{{"kind", "answer"}, {"answer", "Friday"}}}}}}});
    if (voice.start() == 0 || responses.start() == 0) {
        state.SkipWithError("stand-ins did not start");
        return;
    }
    ResponsesTransport::setEndpoint(responses.endpoint());
    test::ModelFixture fixture;
    test::FakeGrabber grabber;
    grabber.displays = {ShareableDisplay{QString(), QStringLiteral("Bench Display"), QRect(0, 0, 800, 600)}};
    grabber.image = QImage(800, 600, QImage::Format_RGB32);
    fixture.access.screenPreflight = true;
    fixture.platform.grabber = &grabber;
    fixture.platform.codexInstalled = [] { return true; };
    AppModel& model = fixture.make();
    if (!startConversation(model, voice.endpoint())) {
        state.SkipWithError("conversation did not start");
        return;
    }
    model.taskManager().start(QStringLiteral("Book a table"), QString(), QString(), {}, model.generation());

    std::vector<double> latencies;
    size_t played = 0;
    int round = 0;
    for (auto _ : state) {
        // The question has been said and has finished playing.
        const bool asked = waitUntil([&] { return fixture.audio->scheduled.size() > played; }, 10'000);
        while (played < fixture.audio->scheduled.size())
            fixture.audio->finish(played++);
        if (!asked || !waitUntil([&] { return model.questionRelay().answerReady(); }, 5'000)) {
            state.SkipWithError("the question was not asked");
            break;
        }
        const qsizetype answered = codex.responses().size();
        const double start = round * 10'000.0;
        voice.send(userWords(QStringLiteral("Friday number %1").arg(round), start));
        // The clock starts when the model has taken the delta in.
        waitUntil([&] { return model.ledger().latestUserText().endsWith(QStringLiteral("number %1").arg(round)); },
                  5'000);
        QElapsedTimer clock;
        clock.start();
        const bool written = waitUntil([&] { return codex.responses().size() > answered; }, 20'000);
        const double seconds = clock.nsecsElapsed() / 1e9 - 1.0;
        if (!written) {
            state.SkipWithError("no answer reached Codex");
            break;
        }
        latencies.push_back(seconds * 1000);
        state.SetIterationTime(std::max(seconds, 0.0));
        ++round;
    }
    reportLatencies(state, latencies);
    const auto start = codex.startRecord();
    const qint64 pid = start ? start->value("pid").toInteger() : 0;
    model.quit();
    waitUntil([&] { return pid <= 0 || ::kill(pid, 0) != 0; }, 5'000);
    ResponsesTransport::setEndpoint(QUrl());
}

BENCHMARK(spokenAnswer)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) { return runBenchmarks<QApplication>(argc, argv); }
