#pragma once

#include "FakeCodex.h"
#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "support/CodexScenarios.h"
#include "support/TestSupport.h"
#include "tasks/BrowserWorkspace.h"
#include "tasks/ComputerTask.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kestrabo::test {

// Real children on a loaded machine: generous waits, no durations asserted.
inline bool eventually(const std::function<bool()>& condition) { return waitUntil(condition, 10'000); }

// A task manager whose every task runs its own stand-in with its own scenario; a null
// scenario finds no Codex at all.
struct TaskFixture {
    std::vector<std::unique_ptr<fakecodex::FakeCodexDirectory>> codexes;
    std::optional<QByteArray> nextSteps;
    ComputerTaskManager manager{[] { return new BrowserWorkspace(); },
                                [this](BrowserWorkspace*) { return makeWorker(); }};
    QStringList results, reviews;

    TaskFixture()
    {
        manager.onResult = [this](ComputerTaskSession* s, const QString& text) { results.append(s->title() + ": " + text); };
        manager.onReview = [this](ComputerTaskSession* s, const QString& text) { reviews.append(s->title() + ": " + text); };
    }

    CodexWorker* makeWorker()
    {
        std::optional<QString> executable;
        if (nextSteps) {
            codexes.push_back(std::make_unique<fakecodex::FakeCodexDirectory>());
            codexes.back()->setScenario("{\"steps\":[" + *nextSteps + "]}");
            executable = codexes.back()->executable();
        }
        return new CodexWorker([executable] { return executable; },
                               [](const QString& program, const QStringList& arguments, const Environment& environment,
                                  const QString& directory) {
                                   return new CodexRPC(program, arguments, environment, directory);
                               });
    }

    ComputerTaskSession* start(std::optional<QByteArray> steps, const QString& task = "Book a table",
                               const QSet<QString>& delegations = {}, std::optional<QUuid> voice = {})
    {
        nextSteps = std::move(steps);
        return manager.start(task, "User: somewhere quiet", "sk-test", delegations, voice);
    }

    static bool reaches(ComputerTaskSession* session, ComputerTaskState state)
    {
        return eventually([&] { return session->state() == state; });
    }
    static void answer(ComputerTaskSession* session)
    {
        const auto& pending = session->worker().pendingQuestions();
        ASSERT_FALSE(pending.isEmpty());
        ASSERT_TRUE(session->worker().answerPendingQuestion(pending[0].id, {{"day", {"Friday"}}}).ok());
    }
    static qint64 pid(ComputerTaskSession* session)
    {
        CodexRPC* rpc = session->worker().rpc();
        return rpc && rpc->process() ? rpc->process()->processId() : 0;
    }
};

} // namespace kestrabo::test
