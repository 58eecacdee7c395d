#include "e2e/TaskConversation.h"

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

// Each task's Codex holds one question until the test answers it, then completes.
const QByteArray kHeldTask = R"({"handshake": {}},
    {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "c", "questions": [
        {"id": "day", "header": "", "question": "Which day?"}]}, "await": true},
    {"delta": {"itemId": "m", "delta": "Done."}}, {"complete": "completed"})";

QJsonArray tasksReply(const QStringList& tasks)
{
    return {routeReply("task", false, {{"tasks", QJsonArray::fromStringList(tasks)}})};
}

} // namespace

TEST(ComputerTasks, ThreeTasksRunSideBySideAndReportOnce)
{
    TaskConversation c(kHeldTask, tasksReply({"Book a table", "Buy flowers", "Call mum"}));
    ASSERT_TRUE(c.open());
    c.say("Book a table, buy flowers and call mum", 0, 900);
    c.delegate("d1");
    ASSERT_TRUE(c.allWaiting(3));
    ASSERT_TRUE(waitUntil([&] { return !c.said().filter("Started 3 computer tasks using").isEmpty(); }));
    const QList<qint64> pids = c.pids();
    EXPECT_EQ(QSet<qint64>(pids.begin(), pids.end()).size(), 3);
    EXPECT_FALSE(pids.contains(0));
    EXPECT_TRUE(c.answer("d1").isEmpty());

    for (ComputerTaskSession* s : c.sessions())
        TaskConversation::answerQuestion(s);
    ASSERT_TRUE(c.waitForAnswer("d1"));
    const QString summary = "Task Book a table, completed: Done.\nTask Buy flowers, completed: Done.\n"
                            "Task Call mum, completed: Done.\nFull results are in each task card. Review is "
                            "required before submission.";
    EXPECT_EQ(c.answer("d1"), summary);

    // The same words delegated again are answered at once with the report.
    c.delegate("d2");
    ASSERT_TRUE(c.waitForAnswer("d2"));
    EXPECT_EQ(c.answer("d2"), summary);
    EXPECT_EQ(c.answer("d1"), summary);
    EXPECT_EQ(c.responses.received().size(), 1);
}

TEST(ComputerTasks, TasksOutliveTheConversationAndEndWithTheApp)
{
    TaskConversation c(kHeldTask, tasksReply({"Book a table", "Buy flowers"}));
    ASSERT_TRUE(c.open());
    c.say("Book a table and buy flowers", 0, 900);
    c.delegate("d1");
    ASSERT_TRUE(c.allWaiting(2));
    const QList<qint64> pids = c.pids();

    // Ending the conversation leaves the tasks running.
    c.model->stop();
    spin(200);
    EXPECT_EQ(c.model->runningTaskCount(), 2);
    for (qint64 pid : pids)
        EXPECT_FALSE(processGone(pid)) << pid;
    TaskConversation::answerQuestion(c.sessions()[0]);
    ASSERT_TRUE(waitUntil([&] { return c.sessions()[0]->state() == ComputerTaskState::completed; }));
    EXPECT_TRUE(c.answer("d1").isEmpty());

    // Quitting stops the rest, and no Codex process stays behind.
    c.model->quit();
    EXPECT_EQ(c.sessions()[1]->state(), ComputerTaskState::cancelled);
    EXPECT_EQ(c.sessions()[1]->browser().status(), "Task control stopped");
    for (qint64 pid : pids)
        EXPECT_TRUE(waitUntil([&] { return processGone(pid); }, 10'000)) << pid;
}
