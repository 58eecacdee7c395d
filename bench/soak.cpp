// The soak: the same endless conversation as tests/soak (microphone audio up all the time,
// speech, transcript deltas and a screen question every 3 seconds, one computer task reporting
// four times a second) for KESTRABO_SOAK_SECONDS (600 by default). Reports this process's
// resident memory and open descriptors at the start, after the warm-up
// (KESTRABO_SOAK_WARMUP_SECONDS, 240 by default: the transcript ledger fills to its
// 1,200 fragments in about 3.5 minutes) and at the end, and prints a sample every
// 30 seconds on standard error. The stand-ins run as programs of their own.
#include "soak/SoakConversation.h"

#include <QApplication>
#include <QElapsedTimer>

#include <benchmark/benchmark.h>

#include <cstdio>

using namespace kestrabo::test;

namespace {

int seconds(const char* variable, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(variable, &ok);
    return ok && value > 0 ? value : fallback;
}

void Soak(benchmark::State& state)
{
    const int total = seconds("KESTRABO_SOAK_SECONDS", 600);
    const int warmUp = std::min(seconds("KESTRABO_SOAK_WARMUP_SECONDS", 240), total);
    for (auto _ : state) {
        const SoakSample start = SoakSample::now();
        SoakConversation soak;
        if (const QString problem = soak.start(); !problem.isEmpty()) {
            state.SkipWithError(problem.toStdString().c_str());
            return;
        }
        QElapsedTimer clock;
        clock.start();
        SoakSample warm;
        long long highest = 0;
        for (int second = 1; second <= total; ++second) {
            spin(int(second * 1000 - clock.elapsed()));
            const SoakSample now = SoakSample::now();
            if (second == warmUp)
                warm = now;
            if (second > warmUp)
                highest = std::max(highest, now.residentKiB);
            if (second % 30 == 0)
                std::fprintf(stderr, "%4d s: %lld KiB resident, %lld KiB heap in use, %d descriptors, %d threads\n",
                             second, now.residentKiB, now.heapKiB, now.descriptors, now.threads);
        }
        const SoakSample end = SoakSample::now();
        const SoakConversation::Traffic traffic = soak.traffic();
        if (const QString problem = soak.problem(); !problem.isEmpty())
            state.SkipWithError(problem.toStdString().c_str());
        state.counters["rss_start_KiB"] = double(start.residentKiB);
        state.counters["rss_warm_KiB"] = double(warm.residentKiB);
        state.counters["rss_end_KiB"] = double(end.residentKiB);
        state.counters["rss_peak_after_warm_KiB"] = double(highest);
        state.counters["growth_KiB"] = double(end.residentKiB - warm.residentKiB);
        state.counters["heap_warm_KiB"] = double(warm.heapKiB);
        state.counters["heap_end_KiB"] = double(end.heapKiB);
        state.counters["fds_warm"] = warm.descriptors;
        state.counters["fds_end"] = end.descriptors;
        state.counters["answers"] = traffic.answers;
        state.counters["mic_appends"] = traffic.microphoneAppends;
        state.counters["requests"] = traffic.requests;
        state.counters["task_updates"] = traffic.taskUpdates;
    }
}

} // namespace

BENCHMARK(Soak)->Iterations(1)->Unit(benchmark::kSecond);

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
