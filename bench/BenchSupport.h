#pragma once

#include "app/AppModel.h"
#include "live/LiveConnection.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <vector>

// Polls more tightly than the tests' helper: a millisecond of slack would show in the figures.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QThread::usleep(200);
    }
    return true;
}

// Runs the program's benchmarks inside a Qt application of type App.
template <class App>
int runBenchmarks(int argc, char** argv)
{
    App app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// Starts the model's conversation on the voice stand-in; false unless it comes to listen.
inline bool startConversation(kestrabo::AppModel& model, const QUrl& voice)
{
    model.live().setEndpoint(voice);
    model.setApiKey(QStringLiteral("sk-bench"));
    model.toggle();
    return waitUntil([&] { return model.state() == kestrabo::CompanionState::listening; }, 10'000);
}

// What the voice stand-in sends for the user's words, heard from `startMs` for 800 ms.
inline QJsonObject userWords(const QString& text, double startMs)
{
    return {{QStringLiteral("type"), QStringLiteral("session.input_transcript.delta")},
            {QStringLiteral("delta"), text},
            {QStringLiteral("start_ms"), startMs},
            {QStringLiteral("end_ms"), startMs + 800}};
}

// The median and the largest of the rounds' latencies, in milliseconds.
inline void reportLatencies(benchmark::State& state, std::vector<double> latencies)
{
    if (latencies.empty())
        return;
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["max_ms"] = latencies.back();
}
