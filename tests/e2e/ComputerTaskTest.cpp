#include "e2e/TaskConversation.h"

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

// A conversation whose one request started three tasks, each now waiting on its question.
struct ThreeTasks : TaskConversation {
    ThreeTasks()
        : TaskConversation(scenario::question,
                           {routeReply("task", false, {{"tasks", QJsonArray{"Book a table", "Buy flowers", "Call mum"}}})})
    {
    }
    bool start()
    {
        if (!open())
            return false;
        say("Book a table, buy flowers and call mum", 0, 900);
        delegate("d1");
        return allWaiting(3);
    }
};

} // namespace

TEST(ComputerTasks, ThreeTasksRunSideBySideAndReportOnce)
{
    ThreeTasks c;
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(waitUntil([&] { return !c.said().filter("Started 3 computer tasks using").isEmpty(); }));
    const QList<qint64> pids = c.pids();
    EXPECT_EQ(QSet<qint64>(pids.begin(), pids.end()).size(), 3);
    EXPECT_FALSE(pids.contains(0));
    EXPECT_TRUE(c.answer("d1").isEmpty());
    // Delegated again before the tasks end: linked to the batch, answered with the others.
    c.delegate("d0");
    ASSERT_TRUE(waitUntil([&] { return c.sessions()[2]->delegationIDs().contains("d0"); }));

    for (ComputerTaskSession* s : c.sessions())
        answerDay(s);
    ASSERT_TRUE(c.waitForAnswer("d1"));
    const QString summary = "Task Book a table, completed: Done.\nTask Buy flowers, completed: Done.\n"
                            "Task Call mum, completed: Done.\nFull results are in each task card. Review is "
                            "required before submission.";
    EXPECT_EQ(c.answer("d1"), summary);
    ASSERT_TRUE(c.waitForAnswer("d0"));
    EXPECT_EQ(c.answer("d0"), summary);

    // The same words delegated again are answered at once with the report.
    c.delegate("d2");
    ASSERT_TRUE(c.waitForAnswer("d2"));
    EXPECT_EQ(c.answer("d2"), summary);
    EXPECT_EQ(c.answer("d1"), summary);
    EXPECT_EQ(c.responses.received().size(), 1);
}

TEST(ComputerTasks, TasksOutliveTheConversationAndEndWithTheApp)
{
    ThreeTasks c;
    ASSERT_TRUE(c.start());
    const QList<qint64> pids = c.pids();

    // Ending the conversation leaves the tasks running.
    c.model->stop();
    spin(200);
    EXPECT_EQ(c.model->runningTaskCount(), 3);
    for (qint64 pid : pids)
        EXPECT_FALSE(processGone(pid)) << pid;
    answerDay(c.sessions()[0]);
    ASSERT_TRUE(reaches(c.sessions()[0], ComputerTaskState::completed));
    EXPECT_TRUE(c.answer("d1").isEmpty());

    // Quitting stops the rest.
    c.model->quit();
    EXPECT_EQ(c.sessions()[1]->state(), ComputerTaskState::cancelled);
}
