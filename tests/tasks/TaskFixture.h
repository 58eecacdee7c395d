#pragma once

#include "FakeCodex.h"
#include "support/TaskTestSupport.h"
#include "tasks/BrowserWorkspace.h"

#include <memory>
#include <vector>

namespace kestrabo::test {

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

    ComputerTaskSession* start(std::optional<QByteArray> steps, const QString& task = "Book a table")
    {
        nextSteps = std::move(steps);
        return manager.start(task, "User: somewhere quiet", "sk-test", {}, std::nullopt);
    }
};

} // namespace kestrabo::test
