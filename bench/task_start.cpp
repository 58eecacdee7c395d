// Ten computer tasks started by one routing decision, each on its own app-server stand-in:
// the time until all ten children have answered `initialize` and until all ten turns have
// started, and the resident memory this process adds per idle task (children excluded).
#include "BenchSupport.h"
#include "FakeCodex.h"
#include "app/TaskRoute.h"
#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "tasks/ComputerTask.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>

#include <benchmark/benchmark.h>

#include <csignal>
#include <unistd.h>

using namespace kestrabo;

namespace {

const QByteArray kIdleTask = R"({"steps": [{"handshake": {}}, {"expect": "never/sent"}]})";

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

// Children start slowly on a loaded machine.
bool spinUntil(const std::function<bool()>& condition) { return waitUntil(condition, 30'000); }

// One routing decision's worth of tasks on a fresh manager, with Codex found on PATH.
struct Batch {
    fakecodex::FakeCodexDirectory codex;
    fakecodex::PathPrefix path{codex.directory()};
    ComputerTaskManager manager;
    TaskRoute route{manager, {.active = [] { return true; }, .generation = [] { return QUuid(); },
                              .say = [](const QString&, const std::optional<QString>&) {}}};

    Batch() { codex.setScenario(kIdleTask); }

    void start(int count)
    {
        QStringList tasks;
        for (int i = 0; i < count; ++i)
            tasks.append(QStringLiteral("Task number %1").arg(i));
        route.start(tasks, QStringLiteral("context"), QString(), {}, QUuid());
    }
    int initialized() const { return codex.receivedWithMethod(QStringLiteral("initialized")).size(); }
    int working() const
    {
        return int(std::count_if(manager.sessions().begin(), manager.sessions().end(),
                                 [](ComputerTaskSession* s) { return s->state() == ComputerTaskState::working; }));
    }
    void end()
    {
        QList<qint64> pids;
        for (ComputerTaskSession* s : manager.sessions())
            pids.append(s->worker().rpc() ? s->worker().rpc()->process()->processId() : 0);
        manager.stopAll();
        spinUntil([&] { return std::all_of(pids.begin(), pids.end(), [](qint64 pid) { return ::kill(pid, 0) != 0; }); });
    }
};

void TenTasksFromOneDecision(benchmark::State& state)
{
    double initializeSeconds = 0, turnSeconds = 0;
    for (auto _ : state) {
        Batch batch;
        QElapsedTimer clock;
        clock.start();
        batch.start(10);
        if (!spinUntil([&] { return batch.initialized() == 10; })) {
            state.SkipWithError("the children did not all answer initialize");
            break;
        }
        const double initialized = clock.nsecsElapsed() / 1e9;
        if (!spinUntil([&] { return batch.working() == 10; })) {
            state.SkipWithError("the turns did not all start");
            break;
        }
        const double started = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(started);
        initializeSeconds += initialized;
        turnSeconds += started;
        batch.end();
    }
    state.counters["initialize_ms"] = benchmark::Counter(initializeSeconds * 1000, benchmark::Counter::kAvgIterations);
    state.counters["turns_started_ms"] = benchmark::Counter(turnSeconds * 1000, benchmark::Counter::kAvgIterations);
}

void ResidentMemoryPerIdleTask(benchmark::State& state)
{
    const int count = int(state.range(0));
    double perTask = 0;
    for (auto _ : state) {
        Batch batch;
        // One task first, so the one-time costs (the shared client, Qt's process machinery) are
        // not counted against the rest.
        batch.start(1);
        spinUntil([&] { return batch.working() == 1; });
        const qint64 before = residentBytes();
        batch.start(count);
        spinUntil([&] { return batch.working() == count + 1; });
        QCoreApplication::processEvents();
        perTask = double(residentBytes() - before) / count;
        batch.end();
    }
    state.counters["rss_per_task_KiB"] = perTask / 1024;
}

} // namespace

BENCHMARK(TenTasksFromOneDecision)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ResidentMemoryPerIdleTask)->Arg(20)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return runBenchmarks<QCoreApplication>(argc, argv); }
