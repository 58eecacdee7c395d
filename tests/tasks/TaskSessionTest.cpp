#include "TaskFixture.h"

#include "codex/CodexComputerUseClient.h"


using namespace kestrabo;
using namespace kestrabo::test;

namespace {
const QString kStopped = "The user stopped this computer task. Work was not completed.";
const QString kTakenOver = "The user stopped this task's agent for manual review. No submission was made by the agent.";
} // namespace

TEST(TaskSession, StopWhileStartingIgnoresTheLateCancellation)
{
    TaskFixture f;
    ComputerTaskSession* session = f.start(scenario::silentStart);
    ASSERT_TRUE(eventually([&] { return f.codexes[0]->startRecord().has_value(); }));
    session->stop();
    EXPECT_EQ(session->state(), ComputerTaskState::cancelled);
    EXPECT_EQ(session->outcome(), kStopped);
    EXPECT_TRUE(session->finishedAt());
    // The start's cancellation arrives later and changes nothing.
    spin(300);
    EXPECT_EQ(session->state(), ComputerTaskState::cancelled);
    EXPECT_EQ(f.results, QStringList{"Book a table: " + kStopped});

    // A start that cannot find Codex fails the task with the worker's sentence.
    ComputerTaskSession* missing = f.start(std::nullopt, "Other");
    ASSERT_TRUE(reaches(missing, ComputerTaskState::failed));
    EXPECT_TRUE(missing->outcome()->startsWith("Computer task could not start: Could not find the Codex CLI."));
    EXPECT_EQ(f.results.size(), 2);
}

TEST(TaskSession, ApprovalPausesAndCompletionNotifiesOnce)
{
    TaskFixture f;
    ComputerTaskSession* session = f.start(scenario::approval);
    ASSERT_TRUE(reaches(session, ComputerTaskState::review));
    EXPECT_EQ(session->outcome(), "Allow the calendar app?");
    EXPECT_FALSE(session->finishedAt());
    EXPECT_EQ(f.reviews, QStringList{"Book a table: Allow the calendar app?"});

    ASSERT_TRUE(session->allowPendingApproval().ok());
    EXPECT_EQ(session->state(), ComputerTaskState::working);
    EXPECT_FALSE(session->outcome() || session->finishedAt());

    ASSERT_TRUE(reaches(session, ComputerTaskState::completed));
    EXPECT_EQ(session->result(), "Done.");
    EXPECT_TRUE(session->finishedAt());
    spin(200);
    EXPECT_EQ(f.results, QStringList{"Book a table: Done."});
    EXPECT_EQ(f.reviews.size(), 1);
}

TEST(TaskSession, HandOverAndTakeOver)
{
    TaskFixture f;
    // Handed over by the worker: stopping it has nothing left to stop.
    ComputerTaskSession* handed = f.start(scenario::handOver, "Handed");
    ASSERT_TRUE(reaches(handed, ComputerTaskState::review));
    EXPECT_TRUE(handed->finishedAt());
    handed->stop();
    EXPECT_EQ(handed->state(), ComputerTaskState::review);
    EXPECT_EQ(handed->outcome(), "Run make install");
    EXPECT_TRUE(f.results.isEmpty());

    // Taking over a working task stops its agent and asks for review once.
    ComputerTaskSession* working = f.start(scenario::working, "Working");
    ASSERT_TRUE(reaches(working, ComputerTaskState::working));
    // The worker's live summary shows until there is an outcome.
    EXPECT_EQ(working->result(), working->worker().result());
    const qint64 pid = codexPid(working);
    working->takeOver();
    EXPECT_EQ(working->state(), ComputerTaskState::manualReview);
    EXPECT_EQ(working->worker().status(), "Agent stopped for your review");
    EXPECT_EQ(working->result(), kTakenOver);
    EXPECT_EQ(f.reviews, (QStringList{"Handed: Run make install", "Working: " + kTakenOver}));
    EXPECT_TRUE(eventually([&] { return processGone(pid); }));

    // A completed task taken over keeps its outcome and sends nothing more.
    ComputerTaskSession* done = f.start(scenario::quick, "Done");
    ASSERT_TRUE(reaches(done, ComputerTaskState::completed));
    done->takeOver();
    EXPECT_EQ(done->state(), ComputerTaskState::manualReview);
    EXPECT_EQ(done->outcome(), "Done.");
    EXPECT_EQ(f.reviews.size(), 2);
    EXPECT_EQ(f.results, QStringList{"Done: Done."});
}

TEST(TaskManager, Titles)
{
    const QString longText = QString(200, QChar('a'));
    const std::pair<QString, QString> cases[] = {
        {" \t\n ", "Computer task"},
        {"Book\n  a table\r\n\tfor two ", "Book a table for two"},
        {longText, longText.left(90)},
        {"Pay  " + QString(100, QChar('b')), "Pay " + QString(86, QChar('b'))},
    };
    for (const auto& [task, title] : cases)
        EXPECT_EQ(ComputerTaskManager::title(task), title) << task.toStdString();

    // Equal requested titles are numbered; a title that already ends in a number gets its own.
    TaskFixture f;
    QStringList titles;
    for (const char* task : {"Job", "Job", "Job (2)", "Job", "job"})
        titles.append(f.start(std::nullopt, task)->title());
    EXPECT_EQ(titles, (QStringList{"Job", "Job (2)", "Job (2) (2)", "Job (3)", "job"}));
}

TEST(TaskManager, ForwardsChangesAndStopsEverything)
{
    TaskFixture f;
    ComputerTaskSession* starting = f.start(scenario::silentStart, "Starting");
    ComputerTaskSession* working = f.start(scenario::working, "Working");
    ComputerTaskSession* completed = f.start(scenario::quick, "Completed");
    ComputerTaskSession* handed = f.start(scenario::handOver, "Handed");
    ComputerTaskSession* approval = f.start(scenario::approval, "Approval");
    ASSERT_TRUE(reaches(working, ComputerTaskState::working));
    ASSERT_TRUE(reaches(completed, ComputerTaskState::completed));
    ASSERT_TRUE(reaches(handed, ComputerTaskState::review));
    ASSERT_TRUE(reaches(approval, ComputerTaskState::review));
    handed->browser().requestReview("Codex Computer Use disconnected. This task's computer actions are stopped.");
    const QList<qint64> pids = {codexPid(starting), codexPid(working), codexPid(approval)};

    // A worker's status change reaches observers of the session and of the manager.
    int sessionChanges = 0, managerChanges = 0;
    QObject::connect(working, &ComputerTaskSession::changed, [&] { ++sessionChanges; });
    QObject::connect(&f.manager, &ComputerTaskManager::changed, [&] { ++managerChanges; });
    working->worker().setStatus("Searching the web");
    EXPECT_EQ(sessionChanges, 1);
    EXPECT_EQ(managerChanges, 1);

    f.results.clear();
    f.manager.stopAll();
    QStringList states, statuses;
    for (ComputerTaskSession* s : f.manager.sessions()) {
        states.append(rawValue(s->state()));
        statuses.append(s->browser().status());
        EXPECT_TRUE(s->browser().toolsLocked());
    }
    EXPECT_EQ(states, (QStringList{"cancelled", "cancelled", "completed", "review", "cancelled"}));
    EXPECT_EQ(statuses, (QStringList{"Task control stopped", "Task control stopped", "Task control stopped",
                                     "Codex Computer Use disconnected. This task's computer actions are stopped.",
                                     "Task control stopped"}));
    EXPECT_EQ(f.results, (QStringList{"Starting: " + kStopped, "Working: " + kStopped, "Approval: " + kStopped}));
    for (qint64 pid : pids)
        EXPECT_TRUE(eventually([&] { return processGone(pid); })) << pid;
    spin(200);
    EXPECT_EQ(f.results.size(), 3);
}

TEST(Workspace, LatchesOnceWhenComputerUseGoesAwayAndLocksOnceIdle)
{
    CodexComputerUseClient client("/nonexistent", {"mcp"}, {}, 5, [] { return false; });
    BrowserWorkspace workspace(&client);
    QStringList requests;
    workspace.onReviewRequested = [&](const QString& message) { requests.append(message); };
    const auto drop = [&] {
        client.setAvailability(true, "Available.");
        client.setAvailability(false, "Gone.");
    };

    // Not ready: nothing happens.
    drop();
    EXPECT_FALSE(workspace.toolsLocked());
    EXPECT_EQ(workspace.status(), "Codex Computer Use has not been checked.");

    // Ready and unlocked: the latch is set once, with one review request.
    workspace.setWorkspaceReady(true);
    drop();
    drop();
    const QString message = "Codex Computer Use disconnected. This task's computer actions are stopped.";
    EXPECT_EQ(requests, QStringList{message});
    EXPECT_TRUE(workspace.toolsLocked());
    EXPECT_EQ(workspace.status(), message);
    EXPECT_EQ(workspace.generation(), 1u);
    EXPECT_FALSE(workspace.beginAction());
    // A later lock keeps the review message.
    workspace.lock();
    EXPECT_EQ(workspace.status(), message);

    // The tool answer a locked workspace gives Codex.
    const QJsonArray answer = workspace.requestReview("Stop.");
    EXPECT_EQ(answer, QJsonArray({QJsonObject{{"type", "inputText"},
                                              {"text", "MANUAL_REVIEW_REQUIRED: Stop. This task's computer actions are stopped."}}}));

    // Without a Computer Use helper on Linux, the shared client stays unavailable; a lock
    // waits for the action in progress.
    BrowserWorkspace plain;
    EXPECT_EQ(plain.transport(), &CodexComputerUseClient::shared());
    EXPECT_FALSE(CodexComputerUseClient::shared().available());

    int idle = 0;
    plain.waitForIdle([&] { ++idle; });
    EXPECT_EQ(idle, 1);
    ASSERT_TRUE(plain.beginAction());
    plain.waitForIdle([&] { ++idle; });
    EXPECT_EQ(idle, 1);

    int changes = 0;
    QObject::connect(&plain, &BrowserWorkspace::changed, [&] { ++changes; });
    plain.lock();
    plain.lock();
    EXPECT_EQ(plain.generation(), 2u);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(plain.status(), "Task control stopped");
    EXPECT_FALSE(plain.beginAction());
    plain.endAction();
    EXPECT_EQ(idle, 2);
}
