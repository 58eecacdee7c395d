// Cost of one transcript delta on the main thread with a full ledger: the ingest plus the
// views the model recomputes after it (captions, latest user text).

#include "live/Protocol.h"

#include <QJsonObject>

#include <benchmark/benchmark.h>

namespace {

QJsonObject delta(int index)
{
    const bool user = (index / 8) % 2 == 0; // turns of eight deltas each
    return QJsonObject{{QStringLiteral("type"), user ? QStringLiteral("session.input_transcript.delta")
                                                     : QStringLiteral("session.output_transcript.delta")},
                       {QStringLiteral("delta"), QStringLiteral(" word%1").arg(index)},
                       {QStringLiteral("start_ms"), index * 120.0},
                       {QStringLiteral("end_ms"), index * 120.0 + 100}};
}

void deltaWithFullLedger(benchmark::State& state)
{
    kestrabo::TranscriptLedger ledger;
    int next = 0;
    for (; next < 1200; ++next)
        ledger.ingest(delta(next));
    std::vector<QJsonObject> events;
    for (int i = 0; i < 4096; ++i)
        events.push_back(delta(next + i));
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ledger.ingest(events[i++ % events.size()]));
        benchmark::DoNotOptimize(ledger.captions());
        benchmark::DoNotOptimize(ledger.latestUserText());
    }
}
BENCHMARK(deltaWithFullLedger)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
