#include "CodexTestSupport.h"
#include "codex/CodexWorker.h"
#include "platform/HostSystem.h"

#include <QDir>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

// A worker whose `codex` is the stand-in, found on PATH as a user's would be.
struct WorkerRun {
    fakecodex::FakeCodexDirectory fake;
    fakecodex::PathPrefix path{fake.directory()};
    CodexWorker worker;
    QStringList results, reviews, shown, statuses;
    QList<CodexQuestionRequest> questions;
    std::optional<Status> started;

    WorkerRun()
    {
        worker.onResult = [this](const QString& text) { results.append(text); };
        worker.onReview = [this](const QString& text) { reviews.append(text); };
        worker.onQuestion = [this](const CodexQuestionRequest& request) { questions.append(request); };
        // Every distinct value the published result and status took, in order.
        QObject::connect(&worker, &CodexWorker::changed, [this] {
            for (auto [list, value] : {std::pair{&shown, worker.result()}, std::pair{&statuses, worker.status()}}) {
                if (list->isEmpty() || list->last() != value)
                    list->append(value);
            }
        });
    }

    bool start(const QByteArray& steps, Job job = {})
    {
        if (!fake.isValid() || !fake.setScenario(scenario(steps)))
            return false;
        worker.start("Find a table for two", "User: somewhere quiet", "sk-not-for-codex", "Dinner",
                     [this](Status status) { started = status; }, job);
        return true;
    }
    QString startOutcome() { return eventually([&] { return started.has_value(); }) ? describe(*started) : "<pending>"; }
    // The published status and flags in one line.
    QString state() const
    {
        return worker.status() + (worker.running() ? " running" : "") + (worker.reviewRequested() ? " review" : "")
            + (worker.approvalPending() ? " approval" : "") + (worker.approvalCanBeAccepted() ? " one-click" : "");
    }
    bool finished() { return eventually([&] { return !results.isEmpty(); }); }
    bool fakeGone() { return eventually([&] { return fake.hasMarker("#eof") || fake.hasMarker("#term"); }); }
};

QJsonObject response(int id, const char* member)
{
    return json("{\"id\":" + QByteArray::number(id) + "," + member + "}");
}
const char* kRejection = R"("error":{"code":-32601,"message":"This request is not supported by Kestrabo."})";

} // namespace

TEST(CodexWorker, FullRunFinishesWithTheFinalAnswer)
{
    // The turn id arrives only in turn/started, ahead of the turn/start response; a retried error changes nothing.
    WorkerRun run;
    run.worker.processEnvironment = [] {
        Environment environment = host::processEnvironment();
        environment.insert({{"OPENAI_API_KEY", "sk-1"}, {"CODEX_HOME", "/c"}, {"CODEX_ORIGIN", "x"}});
        return environment;
    };
    ASSERT_TRUE(run.start(R"(
        {"handshake": {"turnIdInResponse": false}},
        {"delta": {"itemId": "msg_a", "delta": "Look"}}, {"delta": {"itemId": "msg_a", "delta": "ing"}},
        {"delta": {"itemId": "msg_b", "delta": "Found one"}},
        {"delta": {"itemId": "msg_x", "delta": "other thread", "threadId": "thr_other"}},
        {"delta": {"itemId": "msg_y", "delta": "other turn", "turnId": "turn_other"}},
        {"itemStarted": {"type": "webSearch", "id": "ws_1"}}, {"itemCompleted": {"type": "webSearch", "id": "ws_1"}},
        {"itemCompleted": {"type": "agentMessage", "id": "msg_b", "text": "Found one", "phase": null}},
        {"error": "Reconnecting... 1/5", "willRetry": true},
        {"itemCompleted": {"type": "agentMessage", "id": "msg_c", "text": "Booked it.", "phase": "final_answer"}},
        {"notify": "turn/completed", "params": {"threadId": "thr_1", "turn": {"id": "turn_other", "status": "failed"}}},
        {"complete": "completed"}
    )"));
    ASSERT_EQ(run.startOutcome(), "<ok>");
    ASSERT_TRUE(run.finished());
    EXPECT_EQ(run.results, QStringList{"Booked it."});
    EXPECT_EQ(run.state(), "Finished");
    EXPECT_FALSE(run.worker.threadID());
    EXPECT_TRUE(run.shown.contains("Looking\n\nFound one"));
    EXPECT_EQ(run.statuses.mid(0, 6), (QStringList{"Stopped", "Starting local Codex", "Working with Codex",
                                                   "Searching the web", "Working with Codex", "Stopped"}));

    // What Codex was given and received, exactly; the API key and the title never reach it.
    ASSERT_TRUE(run.fakeGone());
    const auto start = run.fake.startRecord();
    ASSERT_TRUE(start);
    EXPECT_EQ(start->value("arguments").toArray(),
              QJsonArray({"app-server", "--enable", "default_mode_request_user_input", "--listen", "stdio://"}));
    EXPECT_EQ(start->value("cwd").toString(), QDir(qEnvironmentVariable("HOME")).canonicalPath());
    const QJsonObject environment = start->value("environment").toObject();
    EXPECT_EQ(environment.value("CODEX_HOME"), QJsonValue("/c"));
    EXPECT_FALSE(environment.contains("OPENAI_API_KEY") || environment.contains("CODEX_ORIGIN"));
    const QJsonObject thread = CodexWorkerProtocol::thread(qEnvironmentVariable("HOME"));
    const QJsonObject turn = CodexWorkerProtocol::turn("thr_1", "Find a table for two", "User: somewhere quiet");
    EXPECT_EQ(run.fake.received(), (QList<QJsonObject>{
        {{"id", 1}, {"method", "initialize"}, {"params", CodexWorkerProtocol::initialize()}},
        {{"method", "initialized"}, {"params", QJsonObject()}},
        {{"id", 2}, {"method", "thread/start"}, {"params", thread}},
        {{"id", 3}, {"method", "turn/start"}, {"params", turn}}}));
    for (const QByteArray& line : run.fake.receivedLines())
        EXPECT_FALSE(line.contains("sk-") || line.contains("Dinner")) << line.constData();
}

TEST(CodexWorker, StartFailures)
{
    enum Action { None, Stop, Cancel };
    const char* silent = R"({"handshake": {"threadStart": "silent"}})";
    const std::tuple<const char*, Action, const char*, const char*> cases[] = {
        // Stopped while thread/start is pending: the start returns quietly; a cancelled job fails it.
        {silent, Stop, "<ok>", "Stopped"},
        {silent, Cancel, "<cancelled>", "Stopped"},
        {R"({"handshake": {"model": "gpt-5"}})", None, "Codex did not start the requested GPT-5.6 Sol worker model.",
         "Worker unavailable"},
        // The child leaving: its sentence becomes the result and the start returns quietly.
        {R"({"expect": "initialize"}, {"exit": 1})", None, "<ok>", "Worker unavailable"},
    };
    for (const auto& [steps, action, outcome, state] : cases) {
        WorkerRun run;
        Job job = Job::start();
        ASSERT_TRUE(run.start(steps, job));
        if (action != None) {
            ASSERT_TRUE(eventually([&] { return !run.fake.receivedWithMethod("thread/start").isEmpty(); }));
            action == Stop ? run.worker.stop() : job.cancel();
        }
        EXPECT_EQ(run.startOutcome(), outcome) << steps;
        EXPECT_EQ(run.state(), state);
        EXPECT_EQ(run.worker.rpc(), nullptr);
        // Only the child leaving is reported as a result: the channel's exit or end-of-output sentence.
        const bool childLeft = QByteArray(steps).contains("exit");
        EXPECT_EQ(run.results.size(), childLeft ? 1 : 0) << qPrintable(run.results.join('|'));
        EXPECT_TRUE(childLeft || run.fakeGone());
    }
    WorkerRun lost;
    lost.worker.resolveExecutable = [] { return std::nullopt; };
    ASSERT_TRUE(lost.start(""));
    EXPECT_EQ(lost.startOutcome(), "Could not find the Codex CLI. Install it in ~/.local/bin, /opt/homebrew/bin, or "
                                   "/usr/local/bin, or add it to PATH before launching Kestrabo.");
}

TEST(CodexWorker, TurnsEndWithTheirSentence)
{
    // Fifty messages are shown (a later delta may still grow one); the 51st ends the run.
    // A retried error after the last unretried one changes nothing.
    const std::tuple<const char*, QString, const char*, const char*> endings[] = {
        {R"({"repeat": 50, "steps": [{"delta": {"itemId": "item_$i", "delta": "x"}}]},
            {"delta": {"itemId": "item_1", "delta": "y"}}, {"delta": {"itemId": "item_51", "delta": "z"}})",
         "xy" + QString("\n\nx").repeated(49), "The worker response exceeded its limit.", "Worker stopped"},
        {R"({"error": "Quota exceeded for this account.", "willRetry": false},
            {"error": "Reconnecting... 2/5", "willRetry": true}, {"complete": "failed"})",
         "", "Codex could not complete the task: Quota exceeded for this account.", "Worker unavailable"},
        {R"({"complete": "interrupted"})", "", "The computer task was interrupted.", "Stopped"},
        // The turn's own error wins over the last error notification; retries announce themselves first.
        {R"({"modelFailure": "stream disconnected"}, {"complete": "failed", "turnError": "Usage limit reached."})", "",
         "Codex could not complete the task: Usage limit reached.", "Worker unavailable"},
        // The sub-agent's text in the stand-in's chatter is not ours. The turn id comes only with
        // turn/started, after the turn/start response (FullRun has it the other way round).
        {R"({"handshake": {"turnIdInResponse": false, "turnStartedFirst": false}}, {"complete": "completed"})", "",
         "The worker finished without a result.", "Finished"},
        {R"({"complete": "paused"})", "", "Codex returned an unrecognized task status. Check the task before retrying.",
         "Worker unavailable"},
        {R"({"complete": 3})", "", "Codex returned an unrecognized task status. Check the task before retrying.",
         "Worker unavailable"},
    };
    for (const auto& [steps, before, result, state] : endings) {
        WorkerRun run;
        const QByteArray own(steps);
        ASSERT_TRUE(run.start(own.startsWith(R"({"handshake")") ? own : R"({"handshake": {}}, )" + own));
        ASSERT_TRUE(run.finished());
        EXPECT_EQ(run.results, QStringList{result});
        EXPECT_EQ(run.state(), state);
        EXPECT_EQ(run.shown.mid(run.shown.size() - 2), (QStringList{before, result}));
    }
}

// A write that fails (Codex no longer reads) ends the task with that sentence at once.
TEST(CodexWorker, DecisionsAfterAFailedWriteEndTheTask)
{
    const char* held[] = {
        R"({"serverRequest": "mcpServer/elicitation/request", "params": {"message": "Allow?", "mode": "form",
            "_meta": {"codex_approval_kind": "mcp_tool_call"}}})",
        R"({"serverRequest": "item/commandExecution/requestApproval", "params": {"command": "ls"}})",
        R"({"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "c",
            "questions": [{"id": "q", "header": "", "question": "Which?"}]}})",
    };
    const std::function<void(CodexWorker&)> decisions[] = {
        [](CodexWorker& w) { EXPECT_EQ(describe(w.approvePendingReview()), "<ok>"); },
        [](CodexWorker& w) { w.declinePendingReview(); },
        [](CodexWorker& w) { EXPECT_EQ(describe(w.answerPendingQuestion("n:0", {{"q", {"This one"}}})), "<ok>"); },
    };
    for (int i = 0; i < 3; ++i) {
        WorkerRun run;
        ASSERT_TRUE(run.start(R"({"handshake": {}}, )" + QByteArray(held[i]) + R"(, {"closeStdin": true}, {"notify": "x"})"));
        ASSERT_TRUE(eventually([&] { return run.fake.hasMarker("#stdin-closed") && (run.worker.approvalPending() || !run.worker.pendingQuestions().isEmpty()); }));
        decisions[i](run.worker);
        EXPECT_EQ(run.results, QStringList{"Could not communicate with the Codex worker."}) << i;
        EXPECT_EQ(run.worker.status(), "Worker unavailable");
        EXPECT_FALSE(run.worker.running() || run.worker.approvalPending() || !run.worker.pendingQuestions().isEmpty());
        EXPECT_EQ(run.worker.rpc(), nullptr);
    }
}

TEST(CodexWorker, ApprovalsAreHeldOneAtATime)
{
    WorkerRun run;
    ASSERT_TRUE(run.start(R"(
        {"handshake": {}},
        {"serverRequest": "mcpServer/elicitation/request", "params": {"message": "Allow the calendar app?",
         "mode": "form", "_meta": {"codex_approval_kind": "mcp_tool_call"}, "requestedSchema": {"properties": {}}}},
        {"serverRequest": "item/commandExecution/requestApproval", "params": {"reason": "Run a script"}, "await": true},
        {"await": 0}, {"serverRequest": "item/permissions/requestApproval", "params": {"reason": ""}, "await": true},
        {"serverRequest": "item/fileChange/requestApproval", "params": {"turnId": "turn_other"}, "await": true},
        {"serverRequest": "execCommandApproval", "params": {"reason": "Run make install"}}
    )"));
    // The second approval is rejected at once; the first stays held until allowed.
    ASSERT_TRUE(eventually([&] { return run.fake.responses().size() == 1; }));
    EXPECT_EQ(run.fake.responses(), QList<QJsonObject>{response(1, kRejection)});
    EXPECT_EQ(run.reviews, QStringList{"Allow the calendar app?"});
    EXPECT_EQ(run.state(), "Waiting for your approval running review approval one-click");
    EXPECT_EQ(describe(run.worker.approvePendingReview()), "<ok>");
    EXPECT_EQ(run.state(), "Working with Codex running");

    // A permissions request cannot be allowed with one click; declining grants nothing, for this turn.
    ASSERT_TRUE(eventually([&] { return run.reviews.size() == 2; }));
    EXPECT_EQ(run.reviews[1], QString("Codex is waiting for additional filesystem or network access."));
    EXPECT_EQ(describe(run.worker.approvePendingReview()),
              "This request needs manual input and cannot be approved with one click.");
    EXPECT_EQ(run.state(), "Waiting for your approval running review approval");
    run.worker.declinePendingReview();
    EXPECT_EQ(run.state(), "Working with Codex running");

    // A request for another turn is rejected without reaching the user; the legacy command
    // approval hands the task over for review, unanswered.
    ASSERT_TRUE(eventually([&] { return run.reviews.size() == 3; }));
    EXPECT_EQ(run.reviews[2], QString("Run make install"));
    EXPECT_EQ(run.state(), "Ready for your review review");
    EXPECT_TRUE(run.results.isEmpty());
    ASSERT_TRUE(run.fakeGone());
    EXPECT_EQ(run.fake.responses(), (QList<QJsonObject>{
        response(1, kRejection), response(0, R"("result":{"action":"accept","content":{},"_meta":null})"),
        response(2, R"("result":{"permissions":{},"scope":"turn"})"), response(3, kRejection)}));
}

TEST(CodexWorker, QuestionsWaitForEveryAnswer)
{
    WorkerRun run;
    ASSERT_TRUE(run.start(R"(
        {"handshake": {}},
        {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "call_1", "questions": [
            {"id": "day", "header": "Day", "question": "Which day?", "options": null, "isOther": "yes"},
            {"id": "time", "header": "", "question": "What time?", "options": [{"label": "7pm", "description": ""}]},
            {"id": "name", "header": "Name", "question": "Whose name?", "options": "Ada,Bo", "isSecret": true}]},
         "await": true},
        {"serverRequest": "item/tool/requestUserInput",
         "params": {"itemId": "call_2", "questions": [{"id": "q", "header": "", "question": "Confirm?"}]}},
        {"resolved": 1},
        {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "call_3", "questions": []}, "await": true},
        {"serverRequest": "test/unknown", "params": {}, "await": true},
        {"delta": {"itemId": "m", "delta": "Booked."}}, {"complete": "completed"}
    )"));
    // Options that are null or a string read as none, and isOther as a string as false (the
    // stand-in sends isOther true where the scenario gives none, as the app-server does).
    ASSERT_TRUE(eventually([&] { return run.questions.size() == 1; }));
    EXPECT_EQ(run.questions[0].questions, (QList<CodexQuestion>{{"day", "Day", "Which day?", {}, false, false},
                                                                {"time", "", "What time?", {{"7pm", ""}}, true, false},
                                                                {"name", "Name", "Whose name?", {}, true, true}}));
    EXPECT_EQ(run.worker.pendingQuestions(), run.questions);
    EXPECT_EQ(run.state(), "Waiting for your voice answer running");
    EXPECT_EQ(run.worker.result(), QString("Which day?\nWhat time?\nWhose name?"));

    // Two of three answers keep the request held; the third sends one response with all three.
    const QString mismatch = "The answer does not match a question Codex is waiting for.";
    const QString unanswered = "Each Codex question needs an explicit answer from the user.";
    const std::tuple<QString, CodexAnswers, QString> attempts[] = {
        {"n:9", {{"day", {"Friday"}}}, "That Codex question is no longer waiting for an answer."},
        {"n:0", {{"day", {"Friday"}}, {"color", {"red"}}}, mismatch},
        {"n:0", {{"day", {" \n\t"}}}, unanswered},
        {"n:0", {{"day", {QString(8'001, 'd')}}}, unanswered},
        {"n:0", {{"day", {" Friday "}}, {"time", {"7pm", "8pm"}}}, "<ok>"},
        {"n:0", {{"day", {"Saturday"}}}, "That Codex question has already been answered."},
    };
    for (const auto& [id, answers, outcome] : attempts)
        EXPECT_EQ(describe(run.worker.answerPendingQuestion(id, answers)), outcome);
    EXPECT_EQ(run.worker.result(), QString("Whose name?"));
    EXPECT_EQ(run.worker.pendingQuestions().size(), 1);
    EXPECT_EQ(describe(run.worker.answerPendingQuestion("n:0", {{"name", {"Ada"}}})), "<ok>");
    EXPECT_TRUE(run.worker.pendingQuestions().isEmpty());
    EXPECT_EQ(run.state(), "Working with Codex running");

    // Resolved by Codex itself: the held request goes away and nothing is sent for it. The
    // malformed request and the unknown method are rejected, in order, after it.
    ASSERT_TRUE(run.finished());
    EXPECT_EQ(run.questions.size(), 2);
    const char* answers = R"("result":{"answers":{"day":{"answers":[" Friday "]},"time":{"answers":["7pm","8pm"]},
                                                 "name":{"answers":["Ada"]}}})";
    EXPECT_EQ(run.fake.responses(),
              (QList<QJsonObject>{response(0, answers), response(2, kRejection), response(3, kRejection)}));
    EXPECT_EQ(run.results, QStringList{"Booked."});
}
