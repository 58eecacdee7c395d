// Throughput of the Codex channel: lines written by the app-server stand-in, read from the pipe,
// framed and parsed by CodexRPC and handed to onMessage.
#include "BenchSupport.h"
#include "codex/CodexRPC.h"
#include "platform/HostSystem.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>

using namespace kestrabo;

namespace {

#ifdef KESTRABO_FAKE_CODEX
const char* const fakeCodex = KESTRABO_FAKE_CODEX;
#else
const char* const fakeCodex = nullptr;
#endif

// Peak resident memory of this process since the last reset, in bytes.
qint64 peakResidentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return 0;
}

void resetPeakResident()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

struct Measurement {
    double seconds = 0;
    qint64 messages = 0;
    qsizetype maxBuffered = 0;
    bool ok = false;
};

// Starts the stand-in with `steps`, asks it to go and waits for `expected` messages.
Measurement measure(const QByteArray& steps, qint64 expected)
{
    Measurement measurement;
    QTemporaryDir directory;
    QFile scenario(directory.filePath(QStringLiteral("scenario.json")));
    if (!directory.isValid() || !scenario.open(QIODevice::WriteOnly))
        return measurement;
    scenario.write("{\"steps\":[{\"expect\":\"go\"}," + steps + "]}");
    scenario.close();

    Environment environment = host::processEnvironment();
    environment.insert(QStringLiteral("KESTRABO_FAKE_CODEX_SCENARIO"), scenario.fileName());
    environment.insert(QStringLiteral("KESTRABO_FAKE_CODEX_RECORD"), QStringLiteral("/dev/null"));
    CodexRPC rpc(QString::fromUtf8(fakeCodex), {}, environment, directory.path());
    QEventLoop loop;
    QElapsedTimer clock;
    rpc.onMessage = [&](const QJsonObject&) {
        measurement.maxBuffered = std::max(measurement.maxBuffered, rpc.bufferedBytes());
        if (++measurement.messages == expected)
            loop.quit();
    };
    rpc.onFailure = [&](const KestraboError&) { loop.quit(); };
    if (!rpc.launch())
        return measurement;

    clock.start();
    rpc.request(QStringLiteral("go"), {}, 60'000, [](Result<QJsonObject>) {});
    QTimer::singleShot(120'000, &loop, &QEventLoop::quit);
    loop.exec();
    measurement.seconds = clock.nsecsElapsed() / 1e9;
    measurement.ok = measurement.messages == expected;
    rpc.close();
    if (rpc.process())
        rpc.process()->waitForFinished(5'000);
    return measurement;
}

void run(benchmark::State& state, const QByteArray& steps, qint64 messages, qint64 bytes)
{
    if (!fakeCodex) {
        state.SkipWithError("the app-server stand-in was not built");
        return;
    }
    resetPeakResident();
    qsizetype maxBuffered = 0;
    for (auto _ : state) {
        const Measurement measurement = measure(steps, messages);
        if (!measurement.ok) {
            state.SkipWithError("the stand-in's messages did not all arrive");
            return;
        }
        maxBuffered = std::max(maxBuffered, measurement.maxBuffered);
        state.SetIterationTime(measurement.seconds);
    }
    state.SetItemsProcessed(state.iterations() * messages);
    state.SetBytesProcessed(state.iterations() * bytes);
    // Run one benchmark per process (--benchmark_filter) for a peak that is its own.
    state.counters["peak_rss_MiB"] = double(peakResidentBytes()) / (1024.0 * 1024.0);
    state.counters["max_line_buffer_MiB"] = double(maxBuffered) / (1024.0 * 1024.0);
}

void SmallNotifications(benchmark::State& state)
{
    const QJsonObject message{
        {QStringLiteral("method"), QStringLiteral("item/agentMessage/delta")},
        {QStringLiteral("params"), QJsonObject{{QStringLiteral("threadId"), QStringLiteral("thr_1")},
                                               {QStringLiteral("turnId"), QStringLiteral("turn_1")},
                                               {QStringLiteral("itemId"), QStringLiteral("msg_1")},
                                               {QStringLiteral("delta"), QStringLiteral("word ")}}},
    };
    const QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact);
    const qint64 count = state.range(0);
    run(state, "{\"flood\":{\"count\":" + QByteArray::number(count) + ",\"message\":" + line + "}}", count,
        count * (line.size() + 1));
}

void LargeLines(benchmark::State& state)
{
    const qint64 count = state.range(0);
    const qint64 bytes = CodexRPC::maxMessageBytes;
    run(state, "{\"big\":{\"bytes\":" + QByteArray::number(bytes) + ",\"count\":" + QByteArray::number(count) + "}}",
        count, count * (bytes + 1));
}

} // namespace

BENCHMARK(SmallNotifications)->Arg(100'000)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(LargeLines)->Arg(4)->Arg(16)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

int main(int argc, char** argv) { return runBenchmarks<QCoreApplication>(argc, argv); }
