#include "TaskFixture.h"

#include "app/TaskRoute.h"

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

const QString kTail = "\nFull results are in each task card. Review is required before submission.";

// The task route on a conversation whose liveness and token the test sets; what it says is
// recorded as "[delegation] text".
struct RouteFixture : TaskFixture {
    bool active = true;
    QUuid generation = QUuid::createUuid();
    QStringList said;
    TaskRoute route{manager, TaskRoute::Hooks{
                                 .active = [this] { return active; },
                                 .generation = [this] { return generation; },
                                 .say = [this](const QString& text, const std::optional<QString>& delegation) {
                                     said.append("[" + delegation.value_or("") + "] " + text);
                                 }}};

    QList<ComputerTaskSession*> startBatch(const QStringList& tasks, const QSet<QString>& delegations,
                                           std::optional<QByteArray> steps = scenario::question)
    {
        nextSteps = steps;
        const QString confirmation = route.start(tasks, "context", "sk-test", delegations, generation);
        said.append("[] " + confirmation);
        return manager.sessions().mid(manager.sessions().size() - tasks.size());
    }
};

} // namespace

TEST(TaskRoute, StaleOrBrokenBatchesAreNeverReported)
{
    RouteFixture f;
    // The conversation ended: the task keeps running, its batch is marked but never told.
    auto ended = f.startBatch({"Book a table"}, {"d1"});
    EXPECT_TRUE(f.said.last().startsWith("[] Started 1 computer task using"));
    ASSERT_TRUE(allAsking(ended));
    const QUuid endedBatch = *f.route.lastBatchID();
    f.generation = QUuid::createUuid();
    answerDay(ended[0]);
    ASSERT_TRUE(reaches(ended[0], ComputerTaskState::completed));
    f.route.taskFinished(ended[0], false);
    EXPECT_TRUE(f.route.batch(endedBatch)->reported);
    f.route.link({"d9"}, endedBatch);
    EXPECT_EQ(f.said.size(), 1);

    // A session that went away before finishing keeps its batch from being reported.
    auto removed = f.startBatch({"Buy flowers", "Call mum"}, {"d2"});
    ASSERT_TRUE(allAsking(removed));
    delete removed[0];
    answerDay(removed[1]);
    ASSERT_TRUE(reaches(removed[1], ComputerTaskState::completed));
    f.route.taskFinished(removed[1], false);
    EXPECT_FALSE(f.route.batch(*f.route.lastBatchID())->reported);
    EXPECT_EQ(f.said.size(), 2);
}

TEST(TaskRoute, AnnouncesApprovalsAndReviews)
{
    RouteFixture f;
    auto approval = f.startBatch({"Approve"}, {"d1"}, scenario::approval);
    ASSERT_TRUE(reaches(approval[0], ComputerTaskState::review));
    f.route.taskFinished(approval[0], true);
    auto handed = f.startBatch({"Hand"}, {"d2"}, scenario::handOver);
    ASSERT_TRUE(reaches(handed[0], ComputerTaskState::review));
    f.route.taskFinished(handed[0], true);
    EXPECT_EQ(f.said.mid(1, 1), QStringList{"[] Task Approve needs your approval. Choose Allow once or Don't allow in "
                                            "its task card. Other tasks continue."});
    EXPECT_EQ(f.said.mid(3), QStringList{"[] Task Hand needs your review. Choose its Review button. Other tasks "
                                         "continue. No submission was made."});
    // Not said to a conversation that is over.
    f.active = false;
    f.route.taskFinished(handed[0], true);
    EXPECT_EQ(f.said.size(), 4);
}

TEST(TaskRoute, SummaryBounds)
{
    RouteFixture f;
    const QByteArray longAnswer = R"({"handshake": {}}, {"delta": {"itemId": "m", "delta": ")" + QByteArray(300, 'x')
        + R"("}}, {"complete": "completed"})";
    QStringList tasks;
    for (int i = 0; i < 9; ++i)
        tasks.append(QString(90, QChar('a' + i)));
    auto failed = f.startBatch(tasks, {}, std::nullopt);
    for (ComputerTaskSession* s : failed)
        ASSERT_TRUE(reaches(s, ComputerTaskState::failed));
    const TaskBatch* batch = f.route.batch(*f.route.lastBatchID());
    const QString summary = f.route.summary(*batch);
    EXPECT_EQ(summary.size(), TaskRoute::maxSummaryCharacters);
    EXPECT_TRUE(summary.startsWith("Task " + tasks[0] + ", failed: Computer task could not start: "));
    EXPECT_FALSE(summary.contains(kTail));

    auto longOne = f.startBatch({"Long"}, {}, longAnswer);
    ASSERT_TRUE(reaches(longOne[0], ComputerTaskState::completed));
    EXPECT_EQ(f.route.summary(*f.route.batch(*f.route.lastBatchID())),
              "Task Long, completed: " + QString(240, QChar('x')) + kTail);
}

TEST(TaskRoute, ShowBrowserMatchesTitles)
{
    RouteFixture f;
    const QString apps = "Codex uses your existing apps and does not create a separate task browser tab.";
    EXPECT_EQ(f.route.showBrowser(std::nullopt), "There is no Codex task to show yet.");
    for (const char* title : {"Book a table", "Book a table for two", "Book a table for four"})
        f.start(std::nullopt, title);
    const std::pair<std::optional<QString>, QString> cases[] = {
        {std::nullopt, apps},
        {"  ", apps},
        {" book a TABLE ", apps},
        {"FOR TWO", apps},
        {"table for", "Several tasks match table for. Ask the user to choose one in the task list."},
        {"flights", "No task named flights was found. Ask which task's browser to show."},
    };
    for (const auto& [target, answer] : cases)
        EXPECT_EQ(f.route.showBrowser(target), answer) << target.value_or("<none>").toStdString();
}
