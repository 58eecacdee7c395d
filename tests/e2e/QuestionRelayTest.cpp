#include "app/QuestionRelay.h"
#include "e2e/TaskConversation.h"

#include <QJsonDocument>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

const QByteArray kTwoQuestions = R"({"handshake": {}},
    {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "c", "questions": [
        {"id": "day", "header": "", "question": "Which day?"},
        {"id": "time", "header": "", "question": "What time?", "options": [{"label": "7pm", "description": ""}]}]},
     "await": true},
    {"resolved": 0}, {"delta": {"itemId": "m", "delta": "Done."}}, {"complete": "completed"})";
const QByteArray kSecret = R"({"handshake": {}},
    {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "c", "questions": [
        {"id": "day", "header": "", "question": "Which day?"},
        {"id": "pin", "header": "", "question": "Card PIN?", "isSecret": true}]}, "await": true},
    {"delta": {"itemId": "m", "delta": "Done."}}, {"complete": "completed"})";

QJsonObject answerReply(const QString& kind, const QString& answer = QString())
{
    return {{"match", "\"worker_answer_route\""}, {"outputJSON", QJsonObject{{"kind", kind}, {"answer", answer}}}};
}

// The voice stand-in "says" every question it is given: one piece of output audio.
QJsonObject speaksQuestions()
{
    const QJsonObject audio{{"send", QJsonObject{{"type", "session.output_audio.delta"}, {"delta", "AAAAAAAA"}}}};
    return {{"rules", QJsonArray{QJsonObject{{"on", "session.commentary.append"},
                                             {"contentContains", "WORKER_QUESTION"},
                                             {"steps", QJsonArray{audio}}}}}};
}

struct RelayConversation : TaskConversation {
    size_t played = 0;
    using TaskConversation::TaskConversation;

    QuestionRelay& relay() { return model->questionRelay(); }
    // Lets the spoken question finish playing; true once the reply counts as an answer.
    bool finishSpeaking()
    {
        if (!waitUntil([&] { return audio->scheduled.size() > played; }))
            return false;
        while (played < audio->scheduled.size())
            audio->finish(played++);
        return waitUntil([&] { return relay().answerReady(); });
    }
    qsizetype routings() const { return requestBodies("\"question_route\"").size(); }
    QUuid activeTask() { return relay().activeQuestion() ? relay().activeQuestion()->taskID : QUuid(); }
};

} // namespace

TEST(QuestionRelay, TwoQuestionsAnsweredByVoiceReachCodexTogether)
{
    RelayConversation c(kTwoQuestions,
                        {routeReply("direct", false), answerReply("answer", "Friday"), answerReply("answer", "7pm")},
                        speaksQuestions());
    ASSERT_TRUE(c.open());
    // Matching answers uses the key that started the conversation, like every other request.
    c.model->setApiKey("sk-edited");
    ComputerTaskSession* task = c.startTask("Book a table");
    ASSERT_TRUE(waitUntil([&] { return c.asked("Which day?") == 1; }, 10'000));

    // Words said while the question still plays are an ordinary request.
    ASSERT_TRUE(waitUntil([&] { return !c.audio->scheduled.empty(); }));
    c.say("What's the weather like", 0, 600);
    ASSERT_TRUE(waitUntil([&] { return c.routings() == 1; }));
    EXPECT_FALSE(c.relay().answerReady());

    // Once it has played, the next words answer it and the second question follows.
    ASSERT_TRUE(c.finishSpeaking());
    c.say("Friday", 5000, 5600);
    ASSERT_TRUE(waitUntil([&] { return c.asked("What time?") == 1; }));
    EXPECT_TRUE(c.codex.responses().isEmpty());
    ASSERT_TRUE(c.finishSpeaking());
    c.say("At 7pm", 10000, 10600);
    ASSERT_TRUE(reaches(task, ComputerTaskState::completed));
    EXPECT_EQ(c.codex.responses(),
              QList<QJsonObject>{QJsonDocument::fromJson(R"({"id": 0, "result": {"answers": {
                  "day": {"answers": ["Friday"]}, "time": {"answers": ["At 7pm"]}}}})").object()});
    EXPECT_EQ(c.routings(), 1);
    for (const auto& request : c.responses.received())
        EXPECT_EQ(request.header("Authorization"), "Bearer sk-e2e");
    EXPECT_TRUE(c.relay().answers().empty());
    EXPECT_FALSE(c.model->error());
}

TEST(QuestionRelay, SecretQuestionsStayInTheCard)
{
    RelayConversation c(kSecret, {}, speaksQuestions());
    ASSERT_TRUE(c.open());
    ComputerTaskSession* task = c.startTask("Pay the bill");
    ASSERT_TRUE(c.allWaiting(1));
    spin(300);
    EXPECT_EQ(c.asked("Which day?") + c.asked("Card PIN?"), 0);
    EXPECT_TRUE(c.relay().queue().isEmpty());
    EXPECT_TRUE(c.model->expanded());

    const QString request = task->worker().pendingQuestions()[0].id;
    EXPECT_TRUE(c.model->answerTaskQuestion(task, request, {{"day", {"Friday"}}, {"pin", {"1234"}}}).ok());
    EXPECT_FALSE(c.model->error());
    ASSERT_TRUE(reaches(task, ComputerTaskState::completed));
}

TEST(QuestionRelay, RepliesThatDoNotAnswer)
{
    RelayConversation c(scenario::question,
                        {answerReply("ambiguous"), answerReply("unrelated"), routeReply("direct", false),
                         QJsonObject{{"match", "\"worker_answer_route\""}, {"status", 500},
                                     {"json", QJsonObject{{"error", QJsonObject{{"message", "down"}}}}}}},
                        speaksQuestions());
    ASSERT_TRUE(c.open());
    c.startTask("Book a table");
    ASSERT_TRUE(waitUntil([&] { return c.asked("Which day?") == 1; }, 10'000));

    // Ambiguous: the same question again.
    ASSERT_TRUE(c.finishSpeaking());
    c.say("Maybe", 0, 600);
    ASSERT_TRUE(waitUntil([&] { return c.asked("Which day?") == 2; }));
    EXPECT_FALSE(c.relay().answerReady());

    // Unrelated: routed as an ordinary request; the question keeps waiting.
    ASSERT_TRUE(c.finishSpeaking());
    c.say("What's the weather like", 5000, 5600);
    ASSERT_TRUE(waitUntil([&] { return c.routings() == 1; }));
    EXPECT_TRUE(c.relay().activeQuestion());

    // The classifier fails: the error shows and the user is asked to repeat.
    c.say("Friday I think", 10000, 10600);
    ASSERT_TRUE(waitUntil([&] { return c.model->error().has_value(); }));
    const QString apology = "I couldn't safely match that response to the waiting Codex question. Please repeat the "
                            "answer, or type it in the task card.";
    ASSERT_TRUE(waitUntil([&] { return c.said().contains(apology); }));
    EXPECT_EQ(c.routings(), 1);
    EXPECT_TRUE(c.codex.responses().isEmpty());
}

TEST(QuestionRelay, OneQuestionAtATimeEachAnswerToItsTask)
{
    RelayConversation c(scenario::question, {answerReply("answer", "Friday")}, speaksQuestions());
    ASSERT_TRUE(c.open());
    for (const char* title : {"Alpha", "Bravo", "Charlie", "Delta"})
        c.startTask(title);
    ASSERT_TRUE(c.allWaiting(4));
    ASSERT_TRUE(waitUntil([&] { return c.relay().queue().size() == 3; }));
    EXPECT_EQ(c.asked("Which day?"), 1);
    const QList<WorkerQuestionEnvelope> queued = c.relay().queue();
    ComputerTaskSession* first = c.model->taskManager().session(c.activeTask());

    // A voice answer reaches the asking task only; the next task's question follows.
    ASSERT_TRUE(c.finishSpeaking());
    c.say("Friday", 0, 600);
    ASSERT_TRUE(reaches(first, ComputerTaskState::completed));
    ASSERT_TRUE(waitUntil([&] { return c.activeTask() == queued[0].taskID; }));
    EXPECT_EQ(c.asked("Which day?"), 2);
    EXPECT_EQ(c.model->runningTaskCount(), 3);

    // A question answered elsewhere is dropped when its turn comes; a task that ends while
    // its question is asked takes the question with it.
    answerDay(c.model->taskManager().session(queued[1].taskID));
    c.model->taskManager().session(queued[0].taskID)->stop();
    EXPECT_EQ(c.activeTask(), queued[2].taskID);
    EXPECT_TRUE(c.relay().queue().isEmpty());
    EXPECT_TRUE(waitUntil([&] { return c.asked("Which day?") == 3; }));
    const QString skipped = "Human task title: " + c.model->taskManager().session(queued[1].taskID)->title() + "\n";
    EXPECT_FALSE(c.said().join(QString()).contains(skipped));
}

TEST(QuestionRelay, QuestionsWaitForTheNextConversation)
{
    RelayConversation c(scenario::question, {}, speaksQuestions());
    ASSERT_TRUE(c.prepare());
    c.startTask("Book a table");
    ASSERT_TRUE(c.allWaiting(1));
    EXPECT_EQ(c.relay().queue().size(), 1);
    EXPECT_FALSE(c.relay().activeQuestion());

    // Woken by the wake phrase: the question is asked instead of the greeting.
    c.relay().setArmDelay(100);
    c.model->wake();
    ASSERT_TRUE(waitUntil([&] { return c.asked("Which day?") == 1; }, 10'000));
    EXPECT_TRUE(c.said().filter("Hey! I'm here.").isEmpty());
    EXPECT_TRUE(c.relay().activeQuestion());
    // Without an end of playback, the reply counts a while after the last output.
    EXPECT_TRUE(waitUntil([&] { return c.relay().answerReady(); }));
    EXPECT_FALSE(c.audio->scheduled.empty());
}
