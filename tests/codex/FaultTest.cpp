#include "CodexTestSupport.h"
#include "codex/CodexWorker.h"

#include <memory>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

// One task's worker against a misbehaving app-server stand-in: what the user reads, and the
// child's id so the test can see it gone.
struct FaultRun {
    fakecodex::FakeCodexDirectory fake;
    fakecodex::PathPrefix path{fake.directory()};
    CodexWorker worker;
    std::optional<Status> started;
    QStringList results;
    qint64 pid = 0;

    explicit FaultRun(const QByteArray& steps)
    {
        worker.setRequestTimeout(1'500);
        worker.onResult = [this](const QString& text) { results.append(text); };
        QObject::connect(&worker, &CodexWorker::changed, [this] {
            if (pid == 0 && worker.rpc() && worker.rpc()->process())
                pid = worker.rpc()->process()->processId();
        });
        EXPECT_TRUE(fake.isValid() && fake.setScenario(scenario(steps)));
        worker.start("Tidy the desktop", QString(), "sk-not-for-codex", "Tidy", [this](Status s) { started = s; });
    }

    // The sentence the run ended with: a failed start's, or the result the task reports.
    QString ending()
    {
        if (!eventually([&] { return (started && !started->ok()) || !results.isEmpty(); }))
            return "<no ending>";
        return started && !started->ok() ? started->error().description() : results.first();
    }
};

} // namespace

TEST(CodexFaults, EachFaultEndsInItsSentenceWithoutLeakingChildOrDescriptor)
{
    const QByteArray initialized = R"({"expect": "initialize", "result": {"userAgent": "codex"}}, {"expect": "initialized"})";
    // A crash is seen first as the end of its output, its exit or a refused write, as it happens.
    const QString crashed = "The Codex worker closed its connection.|The local Codex worker exited.|"
                            "Could not communicate with the Codex worker.";
    const QList<std::pair<QByteArray, QString>> cases = {
        // Crashing at each step of the handshake.
        {R"({"exit": 3})", crashed},
        {R"({"expect": "initialize"}, {"exit": 1})", crashed},
        {initialized + R"(, {"exit": 1})", crashed},
        {initialized + R"(, {"expect": "thread/start"}, {"exit": 1})", crashed},
        {R"({"handshake": {"turnStart": "silent"}}, {"exit": 1})", crashed},
        // Hanging, garbage, an endless line, its standard input closed.
        {R"({"handshake": {"initialize": "silent"}})", "The Codex worker did not respond in time."},
        {R"({"raw": "<html>502</html>\n"})", "The Codex worker sent an invalid or oversized message."},
        {R"({"big": {"bytes": 8388609, "count": 1, "newline": false}})",
         "The Codex worker sent an invalid or oversized message."},
        {R"({"expect": "initialize", "result": {"userAgent": "codex"}}, {"closeStdin": true})",
         "Could not communicate with the Codex worker."},
    };
    {
        // The first child leaves what Qt keeps for every later one (its child-exit watcher).
        FaultRun warmUp(R"({"exit": 0})");
        warmUp.ending();
    }
    spin(100);
    const int descriptors = openDescriptors();
    const QList<long long> children = childProcesses();
    for (const auto& [steps, sentence] : cases) {
        qint64 pid = 0;
        {
            FaultRun run(steps);
            const QString ending = run.ending();
            EXPECT_TRUE(sentence.split('|').contains(ending)) << steps.constData() << ": " << ending.toStdString();
            pid = run.pid;
        }
        EXPECT_NE(pid, 0) << steps.constData();
        EXPECT_TRUE(eventually([&] { return processGone(pid); })) << steps.constData();
        EXPECT_TRUE(eventually([&] { return childProcesses() == children; })) << steps.constData();
        EXPECT_TRUE(eventually([&] { return openDescriptors() == descriptors; }))
            << steps.constData() << ": " << openDescriptors() << " open, " << descriptors << " before";
    }
}
