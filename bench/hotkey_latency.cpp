// How long the shortcut takes to answer: from the X server having taken a key release (XTest,
// synced) to onTap, and from the end of the 0.24 s hold delay to onHold; and what the idle
// listener costs between events. Starts its own Xvfb; keys go through XTest.
#include "FakeInput.h"
#include "input/Hotkey.h"
#include "platform/linux/X11KeySource.h"
#include "support/XFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <memory>

using namespace kestrabo;

namespace {

struct Rig {
    test::Xvfb xvfb;
    std::unique_ptr<X11KeySource> keys;
    std::unique_ptr<HotkeyController> controller;
    std::unique_ptr<test::FakeInput> input;
    QEventLoop loop;
};

Rig* g_rig = nullptr;

// Runs the event loop (blocking, not spinning) until the controller says something.
void awaitCallback() { g_rig->loop.exec(); }

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void BM_KeyReleaseToTap(benchmark::State& state)
{
    Rig& rig = *g_rig;
    for (auto _ : state) {
        rig.input->press("Shift_R");
        awaitCallback(); // the press's flags diagnostic
        QElapsedTimer clock;
        rig.input->release("Shift_R");
        clock.start();
        awaitCallback(); // the release's flags diagnostic
        while (rig.controller->state() != HotkeyGesture::State::idle)
            awaitCallback();
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        QCoreApplication::processEvents(); // the "tapped" diagnostic and onTap already ran
    }
}
BENCHMARK(BM_KeyReleaseToTap)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(100);

void BM_HoldDelayOverrun(benchmark::State& state)
{
    Rig& rig = *g_rig;
    for (auto _ : state) {
        QElapsedTimer clock;
        rig.input->press("Shift_R");
        clock.start();
        while (rig.controller->state() != HotkeyGesture::State::held)
            awaitCallback();
        // Beyond the hold delay itself, counted from the server having taken the press.
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9 - HotkeyController::holdDelayMs / 1e3);
        rig.input->release("Shift_R");
        while (rig.controller->state() != HotkeyGesture::State::idle)
            awaitCallback();
    }
}
BENCHMARK(BM_HoldDelayOverrun)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20);

void BM_IdleListenerCpu(benchmark::State& state)
{
    Rig& rig = *g_rig;
    double cpu = 0;
    for (auto _ : state) {
        const double before = processCpuSeconds();
        QTimer::singleShot(2'000, &rig.loop, [&rig] { rig.loop.quit(); });
        rig.loop.exec();
        cpu = processCpuSeconds() - before;
    }
    state.counters["cpu_ms_per_2s_idle"] = cpu * 1e3;
}
BENCHMARK(BM_IdleListenerCpu)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    Rig rig;
    if (const QString problem = rig.xvfb.start(QSize(1280, 800)); !problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 1;
    }
    rig.keys = std::make_unique<X11KeySource>(rig.xvfb.display());
    rig.controller = std::make_unique<HotkeyController>(rig.keys.get());
    rig.input = std::make_unique<test::FakeInput>(rig.xvfb.display());
    rig.controller->onDiagnostic = [&rig](const QString&) { rig.loop.quit(); };
    if (!rig.controller->install()) {
        std::fprintf(stderr, "the key listener did not install\n");
        return 1;
    }
    g_rig = &rig;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_rig = nullptr;
    rig.controller.reset();
    return 0;
}
