#include "CodexTestSupport.h"
#include "codex/CodexWorker.h"

#include <QJsonArray>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

// A worker whose `codex` is the stand-in, found on PATH as a user's would be.
struct WorkerRun {
    fakecodex::FakeCodexDirectory fake;
    fakecodex::PathPrefix path{fake.directory()};
    CodexWorker worker;
    QStringList results;
    QStringList reviews;
    QList<CodexQuestionRequest> questions;
    QStringList resultHistory;
    QStringList statusHistory;
    std::optional<Status> started;

    WorkerRun()
    {
        worker.onResult = [this](const QString& text) { results.append(text); };
        worker.onReview = [this](const QString& text) { reviews.append(text); };
        worker.onQuestion = [this](const CodexQuestionRequest& request) { questions.append(request); };
        QObject::connect(&worker, &CodexWorker::changed, [this] {
            if (resultHistory.isEmpty() || resultHistory.last() != worker.result())
                resultHistory.append(worker.result());
            if (statusHistory.isEmpty() || statusHistory.last() != worker.status())
                statusHistory.append(worker.status());
        });
    }

    bool start(const QByteArray& steps, const QString& task = "Find a table for two",
               const QString& context = "User: somewhere quiet")
    {
        if (!fake.isValid() || !fake.setScenario(steps))
            return false;
        worker.start(task, context, "sk-not-for-codex", "Dinner", [this](Status status) { started = status; });
        return true;
    }

    bool startedOK() { return waitUntil([&] { return started.has_value(); }, kProcessWaitMs) && started->ok(); }
    bool finished() { return waitUntil([&] { return !results.isEmpty(); }, kProcessWaitMs); }
    bool fakeGone() { return waitUntil([&] { return fake.hasMarker("#eof") || fake.hasMarker("#term"); }, kProcessWaitMs); }
    QList<QJsonObject> responsesTo(const QJsonValue& id) const
    {
        QList<QJsonObject> matching;
        for (const QJsonObject& response : fake.responses()) {
            if (response.value("id") == id)
                matching.append(response);
        }
        return matching;
    }
};

const char* kRejection = R"({"code":-32601,"message":"This request is not supported by Kestrabo."})";

QJsonObject parse(const char* text)
{
    return QJsonDocument::fromJson(text).object();
}

} // namespace

TEST(CodexWorker, FullRunFinishesWithTheFinalAnswer)
{
    qputenv("OPENAI_API_KEY", "sk-secret");
    qputenv("CODEX_HOME", "/tmp/codex-home");
    qputenv("CODEX_INTERNAL_ORIGINATOR", "x");
    WorkerRun run;
    ASSERT_TRUE(run.start(scenario(R"(
        {"handshake": {"turnIdInResponse": false}},
        {"delta": {"itemId": "msg_a", "delta": "Look"}},
        {"delta": {"itemId": "msg_a", "delta": "ing"}},
        {"delta": {"itemId": "msg_b", "delta": "Found one"}},
        {"delta": {"itemId": "msg_x", "delta": "other thread", "threadId": "thr_other"}},
        {"delta": {"itemId": "msg_y", "delta": "other turn", "turnId": "turn_other"}},
        {"itemStarted": {"type": "webSearch", "id": "ws_1"}},
        {"itemCompleted": {"type": "webSearch", "id": "ws_1"}},
        {"itemCompleted": {"type": "agentMessage", "id": "msg_b", "text": "Found one", "phase": null}},
        {"error": "Reconnecting... 1/5", "willRetry": true},
        {"itemCompleted": {"type": "agentMessage", "id": "msg_c", "text": "Booked the table at 7.", "phase": "final_answer"}},
        {"notify": "turn/completed", "params": {"threadId": "thr_1", "turn": {"id": "turn_other", "status": "failed"}}},
        {"complete": "completed"}
    )")));
    qunsetenv("OPENAI_API_KEY");
    qunsetenv("CODEX_HOME");
    qunsetenv("CODEX_INTERNAL_ORIGINATOR");
    ASSERT_TRUE(run.startedOK()) << qPrintable(run.started->error().description());
    ASSERT_TRUE(run.finished());
    EXPECT_EQ(run.results, QStringList{"Booked the table at 7."});
    EXPECT_EQ(run.worker.status(), QString("Finished"));
    EXPECT_EQ(run.worker.result(), QString("Booked the table at 7."));
    EXPECT_FALSE(run.worker.running());
    EXPECT_FALSE(run.worker.threadID());
    EXPECT_TRUE(run.resultHistory.contains("Looking\n\nFound one"));
    EXPECT_EQ(run.statusHistory.mid(0, 6), (QStringList{"Stopped", "Starting local Codex", "Working with Codex",
                                                        "Searching the web", "Working with Codex", "Stopped"}));

    // What Codex received, exactly.
    ASSERT_TRUE(run.fakeGone());
    const auto start = run.fake.startRecord();
    ASSERT_TRUE(start);
    EXPECT_EQ(start->value("arguments").toArray(),
              QJsonArray({"app-server", "--enable", "default_mode_request_user_input", "--listen", "stdio://"}));
    const QJsonObject environment = start->value("environment").toObject();
    EXPECT_EQ(environment.value("CODEX_HOME"), QJsonValue("/tmp/codex-home"));
    EXPECT_FALSE(environment.contains("OPENAI_API_KEY"));
    EXPECT_FALSE(environment.contains("CODEX_INTERNAL_ORIGINATOR"));
    EXPECT_EQ(start->value("cwd").toString(), QDir(qEnvironmentVariable("HOME")).canonicalPath());

    const QList<QJsonObject> sent = run.fake.received();
    ASSERT_EQ(sent.size(), 4);
    EXPECT_EQ(sent[0], (QJsonObject{{"id", 1}, {"method", "initialize"}, {"params", CodexWorkerProtocol::initialize()}}));
    EXPECT_EQ(sent[1], (QJsonObject{{"method", "initialized"}, {"params", QJsonObject()}}));
    EXPECT_EQ(sent[2], (QJsonObject{{"id", 2}, {"method", "thread/start"},
                                    {"params", CodexWorkerProtocol::thread(qEnvironmentVariable("HOME"))}}));
    EXPECT_EQ(sent[3], (QJsonObject{{"id", 3}, {"method", "turn/start"},
                                    {"params", CodexWorkerProtocol::turn("thr_1", "Find a table for two",
                                                                         "User: somewhere quiet")}}));
    for (const QByteArray& line : run.fake.receivedLines())
        EXPECT_FALSE(line.contains("sk-") || line.contains("Dinner")) << line.constData();
}

TEST(CodexWorker, StartFailures)
{
    {
        // A stop while thread/start is pending settles the worker; the start returns quietly.
        WorkerRun run;
        ASSERT_TRUE(run.start(scenario(R"({"handshake": {"threadStart": "silent"}})")));
        ASSERT_TRUE(waitUntil([&] { return !run.fake.receivedWithMethod("thread/start").isEmpty(); }, kProcessWaitMs));
        run.worker.stop();
        ASSERT_TRUE(run.startedOK());
        EXPECT_EQ(run.worker.status(), QString("Stopped"));
        EXPECT_FALSE(run.worker.running());
        EXPECT_TRUE(run.results.isEmpty());
        EXPECT_TRUE(run.fakeGone());
    }
    {
        // Cancelling the caller's job ends the run with a cancellation error.
        WorkerRun run;
        ASSERT_TRUE(run.fake.setScenario(scenario(R"({"handshake": {"threadStart": "silent"}})")));
        Job job = Job::start();
        run.worker.start("task", "", "", "", [&](Status status) { run.started = status; }, job);
        ASSERT_TRUE(waitUntil([&] { return !run.fake.receivedWithMethod("thread/start").isEmpty(); }, kProcessWaitMs));
        job.cancel();
        ASSERT_TRUE(waitUntil([&] { return run.started.has_value(); }, kProcessWaitMs));
        ASSERT_FALSE(run.started->ok());
        EXPECT_TRUE(run.started->error().isCancellation());
        EXPECT_EQ(run.worker.status(), QString("Stopped"));
        EXPECT_EQ(run.worker.rpc(), nullptr);
    }
    {
        WorkerRun run;
        ASSERT_TRUE(run.start(scenario(R"({"handshake": {"model": "gpt-5"}})")));
        ASSERT_TRUE(waitUntil([&] { return run.started.has_value(); }, kProcessWaitMs));
        ASSERT_FALSE(run.started->ok());
        EXPECT_EQ(run.started->error().description(), QString("Codex did not start the requested GPT-5.6 Sol worker model."));
        EXPECT_EQ(run.worker.status(), QString("Worker unavailable"));
        EXPECT_FALSE(run.worker.running());
        EXPECT_EQ(run.worker.rpc(), nullptr);
        EXPECT_TRUE(run.fakeGone());
    }
    {
        WorkerRun run;
        ASSERT_TRUE(run.start(scenario(R"({"handshake": {"initialize": "error"}})")));
        ASSERT_TRUE(waitUntil([&] { return run.started.has_value(); }, kProcessWaitMs));
        ASSERT_FALSE(run.started->ok());
        EXPECT_EQ(run.started->error().description(), QString("Codex rejected a worker request: Not initialized"));
        EXPECT_EQ(run.worker.status(), QString("Worker unavailable"));
    }
    {
        // The child leaving during the start: the failure handler publishes the sentence and
        // reports the result; the start itself returns quietly.
        WorkerRun run;
        ASSERT_TRUE(run.start(scenario(R"({"expect": "initialize"}, {"exit": 1})")));
        ASSERT_TRUE(run.startedOK());
        ASSERT_EQ(run.results.size(), 1);
        EXPECT_TRUE(run.results[0] == "The local Codex worker exited." || run.results[0] == "The Codex worker closed its connection.")
            << qPrintable(run.results[0]);
        EXPECT_EQ(run.worker.status(), QString("Worker unavailable"));
        EXPECT_EQ(run.worker.result(), run.results[0]);
    }
    {
        CodexWorker worker([] { return std::nullopt; }, nullptr);
        std::optional<Status> started;
        worker.start("task", "", "", "", [&](Status status) { started = status; });
        ASSERT_TRUE(waitUntil([&] { return started.has_value(); }));
        EXPECT_EQ(started->error().description(),
                  QString("Could not find the Codex CLI. Install it in ~/.local/bin, /opt/homebrew/bin, or "
                          "/usr/local/bin, or add it to PATH before launching Kestrabo."));
        EXPECT_FALSE(worker.running());
    }
}

TEST(CodexWorker, StreamedMessagesAreCappedAtFifty)
{
    WorkerRun run;
    ASSERT_TRUE(run.start(scenario(R"(
        {"handshake": {}},
        {"repeat": 50, "steps": [{"delta": {"itemId": "item_$i", "delta": "x"}}]},
        {"delta": {"itemId": "item_1", "delta": "y"}},
        {"delta": {"itemId": "item_51", "delta": "z"}}
    )")));
    ASSERT_TRUE(run.finished());
    EXPECT_EQ(run.results, QStringList{"The worker response exceeded its limit."});
    EXPECT_EQ(run.worker.status(), QString("Worker stopped"));
    const QString fifty = run.resultHistory[run.resultHistory.size() - 2];
    EXPECT_EQ(fifty.count("\n\n"), 49);
    EXPECT_TRUE(fifty.startsWith("xy\n\nx"));
    EXPECT_FALSE(fifty.contains('z'));
}

TEST(CodexWorker, FailedTurnUsesTheLastUnretriedError)
{
    WorkerRun run;
    ASSERT_TRUE(run.start(scenario(R"(
        {"handshake": {}},
        {"error": "Quota exceeded for this account.", "willRetry": false},
        {"error": "Reconnecting... 2/5", "willRetry": true},
        {"complete": "failed"}
    )")));
    ASSERT_TRUE(run.finished());
    EXPECT_EQ(run.results, QStringList{"Codex could not complete the task: Quota exceeded for this account."});
    EXPECT_EQ(run.worker.status(), QString("Worker unavailable"));

    WorkerRun other;
    ASSERT_TRUE(other.start(scenario(R"({"handshake": {}}, {"complete": "interrupted"})")));
    ASSERT_TRUE(other.finished());
    EXPECT_EQ(other.results, QStringList{"The computer task was interrupted."});
    EXPECT_EQ(other.worker.status(), QString("Stopped"));
}

TEST(CodexWorker, ApprovalsAreHeldOneAtATime)
{
    WorkerRun run;
    ASSERT_TRUE(run.start(scenario(R"(
        {"handshake": {}},
        {"serverRequest": "mcpServer/elicitation/request",
         "params": {"message": "Allow the calendar app?", "mode": "form",
                    "_meta": {"codex_approval_kind": "mcp_tool_call"}, "requestedSchema": {"type": "object", "properties": {}}}},
        {"serverRequest": "item/commandExecution/requestApproval", "params": {"reason": "Run a script"}, "await": true},
        {"await": 0},
        {"serverRequest": "item/permissions/requestApproval", "params": {"reason": ""}, "await": true},
        {"serverRequest": "item/fileChange/requestApproval", "params": {"reason": "Edit a file", "turnId": "turn_other"},
         "await": true},
        {"complete": "completed"}
    )")));
    ASSERT_TRUE(waitUntil([&] { return run.reviews.size() == 1; }, kProcessWaitMs));
    EXPECT_EQ(run.reviews[0], QString("Allow the calendar app?"));
    EXPECT_TRUE(run.worker.approvalPending());
    EXPECT_TRUE(run.worker.approvalCanBeAccepted());
    EXPECT_TRUE(run.worker.reviewRequested());
    EXPECT_EQ(run.worker.status(), QString("Waiting for your approval"));

    // The second approval is rejected at once; the first stays held.
    ASSERT_TRUE(waitUntil([&] { return run.responsesTo(1).size() == 1; }, kProcessWaitMs));
    EXPECT_EQ(run.responsesTo(1)[0], (QJsonObject{{"id", 1}, {"error", parse(kRejection)}}));
    EXPECT_TRUE(run.worker.approvalPending());
    EXPECT_TRUE(run.responsesTo(0).isEmpty());

    ASSERT_TRUE(run.worker.approvePendingReview().ok());
    EXPECT_FALSE(run.worker.approvalPending());
    EXPECT_EQ(run.worker.status(), QString("Working with Codex"));
    ASSERT_TRUE(waitUntil([&] { return run.responsesTo(0).size() == 1; }, kProcessWaitMs));
    EXPECT_EQ(run.responsesTo(0)[0], (QJsonObject{{"id", 0}, {"result", CodexWorkerProtocol::acceptResult()}}));

    // A permissions request cannot be allowed with one click; declining grants nothing, for this turn.
    ASSERT_TRUE(waitUntil([&] { return run.reviews.size() == 2; }, kProcessWaitMs));
    EXPECT_EQ(run.reviews[1], QString("Codex is waiting for additional filesystem or network access."));
    EXPECT_FALSE(run.worker.approvalCanBeAccepted());
    const Status refused = run.worker.approvePendingReview();
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().description(), QString("This request needs manual input and cannot be approved with one click."));
    EXPECT_TRUE(run.worker.approvalPending());
    run.worker.declinePendingReview();
    EXPECT_EQ(run.worker.status(), QString("Working with Codex"));
    EXPECT_FALSE(run.worker.reviewRequested());
    ASSERT_TRUE(waitUntil([&] { return run.responsesTo(2).size() == 1; }, kProcessWaitMs));
    EXPECT_EQ(run.responsesTo(2)[0], (QJsonObject{{"id", 2}, {"result", parse(R"({"permissions":{},"scope":"turn"})")}}));

    // A request for another turn is rejected without reaching the user.
    ASSERT_TRUE(run.finished());
    EXPECT_EQ(run.responsesTo(3), (QList<QJsonObject>{QJsonObject{{"id", 3}, {"error", parse(kRejection)}}}));
    EXPECT_EQ(run.reviews.size(), 2);
    EXPECT_EQ(run.worker.status(), QString("Finished"));
}

TEST(CodexWorker, QuestionsWaitForEveryAnswer)
{
    WorkerRun run;
    ASSERT_TRUE(run.start(scenario(R"(
        {"handshake": {}},
        {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "call_1", "questions": [
            {"id": "day", "header": "Day", "question": "Which day?", "options": null},
            {"id": "time", "header": "Time", "question": "What time?",
             "options": [{"label": "7pm", "description": ""}, {"label": "8pm", "description": "later"}]},
            {"id": "name", "header": "Name", "question": "Whose name?", "isSecret": true}]}, "await": true},
        {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "call_2", "questions": [
            {"id": "q", "header": "", "question": "Confirm?"}]}},
        {"resolved": 1},
        {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "call_3", "questions": []}, "await": true},
        {"serverRequest": "test/unknown", "params": {}, "await": true},
        {"delta": {"itemId": "m", "delta": "Booked."}},
        {"complete": "completed"}
    )")));
    ASSERT_TRUE(waitUntil([&] { return run.questions.size() == 1; }, kProcessWaitMs));
    const CodexQuestionRequest request = run.questions[0];
    EXPECT_EQ(request.id, QString("n:0"));
    EXPECT_EQ(request.itemID, QString("call_1"));
    ASSERT_EQ(request.questions.size(), 3);
    EXPECT_EQ(request.questions[1].options.size(), 2);
    EXPECT_TRUE(request.questions[2].isSecret);
    EXPECT_EQ(run.worker.pendingQuestions(), QList<CodexQuestionRequest>{request});
    EXPECT_EQ(run.worker.status(), QString("Waiting for your voice answer"));
    EXPECT_EQ(run.worker.result(), QString("Which day?\nWhat time?\nWhose name?"));

    const auto failure = [&](const QString& id, const CodexAnswers& answers) {
        const Status status = run.worker.answerPendingQuestion(id, answers);
        return status.ok() ? QString("<ok>") : status.error().description();
    };
    EXPECT_EQ(failure("n:9", {{"day", {"Friday"}}}), QString("That Codex question is no longer waiting for an answer."));
    EXPECT_EQ(failure("n:0", {}), QString("The answer does not match a question Codex is waiting for."));
    EXPECT_EQ(failure("n:0", {{"day", {"Friday"}}, {"color", {"red"}}}),
              QString("The answer does not match a question Codex is waiting for."));
    EXPECT_EQ(failure("n:0", {{"day", {" \n\t"}}}), QString("Each Codex question needs an explicit answer from the user."));
    EXPECT_EQ(failure("n:0", {{"day", {}}}), QString("Each Codex question needs an explicit answer from the user."));
    EXPECT_EQ(failure("n:0", {{"day", {QString(8'001, 'd')}}}),
              QString("Each Codex question needs an explicit answer from the user."));

    EXPECT_EQ(failure("n:0", {{"day", {" Friday "}}, {"time", {"7pm", "8pm"}}}), QString("<ok>"));
    EXPECT_EQ(failure("n:0", {{"day", {"Saturday"}}}), QString("That Codex question has already been answered."));
    EXPECT_EQ(run.worker.result(), QString("Whose name?"));
    EXPECT_EQ(run.worker.pendingQuestions().size(), 1);
    EXPECT_EQ(failure("n:0", {{"name", {"Ada"}}}), QString("<ok>"));
    EXPECT_TRUE(run.worker.pendingQuestions().isEmpty());
    EXPECT_EQ(run.worker.status(), QString("Working with Codex"));
    ASSERT_TRUE(waitUntil([&] { return run.responsesTo(0).size() == 1; }, kProcessWaitMs));
    EXPECT_EQ(run.responsesTo(0)[0],
              (QJsonObject{{"id", 0}, {"result", parse(R"({"answers":{"day":{"answers":[" Friday "]},
                  "time":{"answers":["7pm","8pm"]},"name":{"answers":["Ada"]}}})")}}));

    // Resolved by Codex itself: the held request goes away and nothing is sent for it. The
    // malformed request and the unknown method are rejected, in order, after it.
    ASSERT_TRUE(run.finished());
    EXPECT_EQ(run.questions.size(), 2);
    EXPECT_TRUE(run.worker.pendingQuestions().isEmpty());
    EXPECT_TRUE(run.responsesTo(1).isEmpty());
    EXPECT_EQ(run.responsesTo(2), (QList<QJsonObject>{QJsonObject{{"id", 2}, {"error", parse(kRejection)}}}));
    EXPECT_EQ(run.responsesTo(3), (QList<QJsonObject>{QJsonObject{{"id", 3}, {"error", parse(kRejection)}}}));
    EXPECT_EQ(run.results, QStringList{"Booked."});
}

TEST(CodexWorker, LegacyApprovalHandsTheTaskOver)
{
    WorkerRun run;
    ASSERT_TRUE(run.start(scenario(R"(
        {"handshake": {}},
        {"serverRequest": "execCommandApproval", "params": {"reason": "Run make install"}}
    )")));
    ASSERT_TRUE(waitUntil([&] { return run.reviews.size() == 1; }, kProcessWaitMs));
    EXPECT_EQ(run.reviews[0], QString("Run make install"));
    EXPECT_EQ(run.worker.status(), QString("Ready for your review"));
    EXPECT_TRUE(run.worker.reviewRequested());
    EXPECT_FALSE(run.worker.running());
    EXPECT_FALSE(run.worker.approvalPending());
    EXPECT_TRUE(run.results.isEmpty());
    ASSERT_TRUE(run.fakeGone());
    EXPECT_TRUE(run.fake.responses().isEmpty());
}
