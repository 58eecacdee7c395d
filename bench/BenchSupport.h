#pragma once

#include "app/AppModel.h"
#include "live/LiveConnection.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <vector>

#include <unistd.h>

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

// User and system CPU time of a process (or of one of its threads) so far, in seconds, from /proc.
inline double cpuSeconds(qint64 pid, qint64 thread = 0)
{
    QFile stat(thread ? QStringLiteral("/proc/%1/task/%2/stat").arg(pid).arg(thread) : QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // Fields after the command's closing parenthesis: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
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
