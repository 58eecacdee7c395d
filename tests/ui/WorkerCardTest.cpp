#include "ui/IslandFixture.h"

#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "live/AudioEngine.h"
#include "support/TaskTestSupport.h"
#include "ui/IslandView.h"
#include "ui/TaskQuestionForm.h"
#include "ui/WorkerCard.h"

#include <QJsonArray>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace kestrabo;
using namespace Qt::StringLiterals;
using State = ComputerTaskState;

namespace {

const QByteArray manualApproval = R"({"handshake": {}},
    {"serverRequest": "mcpServer/elicitation/request", "params": {"message": "Sign in to the booking site?",
     "mode": "form", "_meta": {"codex_approval_kind": "mcp_tool_call"},
     "requestedSchema": {"properties": {"user": {"type": "string"}}, "required": ["user"]}}, "await": true},
    {"complete": "completed"})";
const QByteArray failing = R"({"handshake": {}}, {"complete": "failed", "turnError": "The model is overloaded."})";
const QByteArray longResult = R"({"handshake": {}}, {"delta": {"itemId": "m", "delta":
    "Booked a table for two at eight. The restaurant asked for a phone number, which I left blank; they will hold the table for fifteen minutes. Parking is behind the building, the entrance is on the side street, and the kitchen closes at ten. I also noted the cancellation policy: a day's notice, or a fee per guest."}},
    {"complete": "completed"})";
const QByteArray questions = R"({"handshake": {}},
    {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "c", "questions": [
        {"id": "day", "header": "Day", "question": "Which evening suits you?", "isOther": true, "options": [
            {"label": "Friday", "description": "The earliest free evening"}, {"label": "Saturday", "description": ""}]},
        {"id": "code", "header": "", "question": "Door code?", "isSecret": true},
        {"id": "note", "header": "", "question": "Anything else?"}]}, "await": true},
    {"delta": {"itemId": "m", "delta": "Done."}}, {"complete": "completed"})";

struct Cards : test::IslandFixture {
    IslandView view{*model};
    test::StandInTasks tasks;

    Cards()
    {
        view.setMetrics({120, 24, 32}, 760);
        view.resize(410, 700);
        view.show();
        model->setExpanded(true);
    }

    ~Cards() { model->taskManager().stopAll(); }

    ComputerTaskSession* start(const QByteArray& steps, const QString& title) { return tasks.start(*model, steps, title); }
    WorkerCard* card(const ComputerTaskSession* session) const
    {
        for (WorkerCard* card : view.findChildren<WorkerCard*>())
            if (card->session() == session)
                return card;
        ADD_FAILURE() << "no card";
        return nullptr;
    }
    // The card's own controls that show, in order.
    QStringList controls(const ComputerTaskSession* session) const
    {
        QStringList shown;
        const WorkerCard* c = card(session);
        for (const QPushButton* button : c->findChildren<QPushButton*>())
            if (button->objectName().startsWith(u"task."_s) && button->isVisibleTo(c))
                shown.append(button->text());
        return shown;
    }
    void click(const ComputerTaskSession* session, const QString& name)
    {
        auto* button = test::child<QPushButton>(*card(session), name);
        ASSERT_TRUE(button && button->isVisibleTo(&view)) << name.toStdString();
        button->click();
    }
    // The result the stand-in got for its server request.
    QJsonObject answered(qsizetype task)
    {
        QJsonObject result;
        test::waitUntil([&] {
            for (const QJsonObject& response : tasks.codex(task).responses())
                if (response.value(u"id"_s).isDouble() && response.value(u"id"_s).toInt() >= 0
                    && response.contains(u"result"_s) && !response.value(u"result"_s).toObject().contains(u"thread"_s)
                    && (response.value(u"result"_s).toObject().contains(u"answers"_s)
                        || response.value(u"result"_s).toObject().contains(u"action"_s)))
                    result = response.value(u"result"_s).toObject();
            return !result.isEmpty();
        }, 10'000);
        return result;
    }
};

bool reaches(ComputerTaskSession* session, State state)
{
    return test::waitUntil([&] { return session->state() == state; }, 10'000);
}

} // namespace

TEST(WorkerCard, EachStateShowsExactlyItsControls)
{
    Cards f;
    const struct {
        const char* title;
        QByteArray steps;
        State state;
        QStringList controls;
        void (ComputerTaskSession::*then)() = nullptr;
    } cases[] = {
        {"Starting", test::scenario::silentStart, State::starting, {u"Stop"_s}},
        {"Working", test::scenario::working, State::working, {u"Stop"_s}},
        {"One click", test::scenario::approval, State::review, {u"Stop"_s, u"Allow once"_s, u"Don't allow"_s}},
        {"Manual approval", manualApproval, State::review, {u"Stop"_s, u"Don't allow"_s}},
        {"Handed over", test::scenario::handOver, State::review, {u"Stop"_s, u"Review"_s}},
        {"Taken over", test::scenario::working, State::manualReview, {u"Review"_s}, &ComputerTaskSession::takeOver},
        {"Completed", longResult, State::completed, {u"Full result"_s}},
        {"Failed", failing, State::failed, {}},
        {"Cancelled", test::scenario::working, State::cancelled, {}, &ComputerTaskSession::stop},
    };
    QList<ComputerTaskSession*> sessions;
    for (const auto& c : cases)
        sessions.append(f.start(c.steps, QString::fromLatin1(c.title)));
    EXPECT_TRUE(f.view.findChild<QLabel*>(u"tasks.header"_s)->text().startsWith(u"Computer tasks · "_s));
    EXPECT_EQ(f.view.contentHeight(), 330 + 210);

    for (qsizetype i = 0; i < sessions.size(); ++i) {
        const auto& c = cases[i];
        ComputerTaskSession* session = sessions[i];
        const State settled = c.then ? State::working : c.state;
        ASSERT_TRUE(reaches(session, settled)) << c.title << " is " << rawValue(session->state()).toStdString();
        if (settled == State::review) {
            const bool approval = c.controls.contains(u"Don't allow"_s);
            ASSERT_TRUE(test::waitUntil([&] { return session->worker().approvalPending() == approval; })) << c.title;
        }
        if (c.then)
            (session->*c.then)();
        EXPECT_EQ(f.controls(session), c.controls) << c.title;
        const QString status = test::child<QLabel>(*f.card(session), u"task.status"_s)->text();
        EXPECT_EQ(status, c.state == State::starting ? u"Starting agent"_s : session->worker().status()) << c.title;
        EXPECT_FALSE(status.isEmpty()) << c.title;
        EXPECT_EQ(test::child<QLabel>(*f.card(session), u"task.title"_s)->text(), QString::fromLatin1(c.title));
    }
    EXPECT_EQ(f.view.findChild<QLabel*>(u"tasks.header"_s)->text(),
              u"Computer tasks · %1 running"_s.arg(f.model->runningTaskCount()));
    const WorkerCard* oneClick = f.card(sessions[2]);
    EXPECT_EQ(test::child<QWidget>(*oneClick, u"task.allow"_s)->accessibleName(), u"Allow once for One click"_s);
    EXPECT_EQ(test::child<QWidget>(*oneClick, u"task.decline"_s)->accessibleName(), u"Don't allow for One click"_s);

    // A long result is clipped until asked for in full, and clipped again on "Show less".
    ComputerTaskSession* completed = sessions[6];
    auto* result = test::child<QLabel>(*f.card(completed), u"task.result"_s);
    EXPECT_EQ(result->text(), completed->result());
    EXPECT_TRUE(result->textInteractionFlags() & Qt::TextSelectableByMouse);
    const int clipped = result->maximumHeight();
    EXPECT_LT(clipped, result->heightForWidth(300));
    f.click(completed, u"task.resultToggle"_s);
    EXPECT_EQ(f.controls(completed), QStringList{u"Show less"_s});
    EXPECT_GE(result->maximumHeight(), result->heightForWidth(300));
    f.click(completed, u"task.resultToggle"_s);
    EXPECT_EQ(f.controls(completed), QStringList{u"Full result"_s});
    EXPECT_EQ(result->maximumHeight(), clipped);
    // A short one has nothing to unfold.
    EXPECT_EQ(f.controls(sessions[7]), QStringList());
    EXPECT_FALSE(test::child<QLabel>(*f.card(sessions[7]), u"task.result"_s)->text().isEmpty());
}

TEST(WorkerCard, ButtonsReachTheTaskAndTheModel)
{
    Cards f;
    ComputerTaskSession* allow = f.start(test::scenario::approval, u"Allow"_s);
    ComputerTaskSession* decline = f.start(manualApproval, u"Decline"_s);
    ComputerTaskSession* review = f.start(test::scenario::handOver, u"Review"_s);
    ComputerTaskSession* stop = f.start(test::scenario::working, u"Stop"_s);
    for (ComputerTaskSession* s : {allow, decline, review})
        ASSERT_TRUE(reaches(s, State::review)) << s->title().toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return allow->worker().approvalPending() && decline->worker().approvalPending(); }));
    ASSERT_TRUE(reaches(stop, State::working));

    f.click(allow, u"task.allow"_s);
    EXPECT_EQ(f.answered(0).value(u"action"_s), u"accept"_s);
    EXPECT_TRUE(reaches(allow, State::completed));
    EXPECT_FALSE(f.model->error().has_value());

    f.click(decline, u"task.decline"_s);
    EXPECT_EQ(f.answered(1).value(u"action"_s), u"decline"_s);
    EXPECT_NE(decline->state(), State::review);

    f.model->setSettings(true);
    f.model->setExpanded(false);
    f.model->setExpanded(true);
    f.model->setSettings(false);
    f.click(review, u"task.review"_s);
    EXPECT_TRUE(reaches(review, State::manualReview));
    EXPECT_EQ(review->worker().status(), u"Agent stopped for your review"_s);
    EXPECT_TRUE(f.model->expanded());

    f.click(stop, u"task.stop"_s);
    EXPECT_EQ(stop->state(), State::cancelled);
    EXPECT_EQ(f.controls(stop), QStringList());
}

TEST(WorkerCard, QuestionFormSendsTrimmedAnswersToCodex)
{
    Cards f;
    ComputerTaskSession* session = f.start(questions, u"Book a table"_s);
    ASSERT_TRUE(test::waitUntil([&] { return !session->worker().pendingQuestions().isEmpty(); }, 10'000));
    const WorkerCard* card = f.card(session);
    auto* form = card->findChild<TaskQuestionForm*>();
    ASSERT_NE(form, nullptr);
    const QStringList shown = test::visibleTexts(*form);
    for (const QString& text : {u"Codex needs your answer"_s, u"Day"_s, u"Which evening suits you?"_s,
                                u"The earliest free evening"_s, u"Door code?"_s, u"Anything else?"_s, u"Send answer"_s})
        EXPECT_TRUE(shown.contains(text)) << text.toStdString();

    const QList<QPushButton*> options = form->findChildren<QPushButton*>(u"question.option"_s);
    ASSERT_EQ(options.size(), 2);
    const QList<QLineEdit*> fields = form->findChildren<QLineEdit*>(u"question.field"_s);
    ASSERT_EQ(fields.size(), 3);
    QLineEdit* other = fields[0];
    QLineEdit* secret = fields[1];
    EXPECT_EQ(other->placeholderText(), u"Another answer"_s);
    EXPECT_EQ(other->accessibleName(), u"Answer for Day"_s);
    EXPECT_EQ(secret->placeholderText(), u"Private answer"_s);
    EXPECT_EQ(secret->accessibleName(), u"Private answer for Door code?"_s);
    EXPECT_EQ(secret->echoMode(), QLineEdit::Password);
    EXPECT_EQ(fields[2]->placeholderText(), u"Your answer"_s);
    EXPECT_EQ(fields[2]->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(test::child<QWidget>(*form, u"question.send"_s)->accessibleName(), u"Send answers to Book a table"_s);

    // The chosen option is tinted; typing another answer takes the tint away, typing a label gives it back.
    options[1]->click();
    EXPECT_TRUE(options[1]->property("tinted").toBool());
    EXPECT_FALSE(options[0]->property("tinted").toBool());
    EXPECT_EQ(other->text(), u"Saturday"_s);
    other->clear();
    QTest::keyClicks(other, u"  Friday"_s);
    EXPECT_FALSE(options[1]->property("tinted").toBool());
    QTest::keyClicks(secret, u" 4321 "_s);

    // An answer Codex has not settled yet keeps what was typed across the card's updates.
    f.model->setApiKey(u"sk-other"_s);
    EXPECT_EQ(card->findChild<TaskQuestionForm*>(), form);

    // An unanswered question is sent as an empty answer, which Codex's worker turns down; the form stays.
    auto* send = test::child<QPushButton>(*form, u"question.send"_s);
    send->click();
    EXPECT_EQ(f.model->error(), u"Each Codex question needs an explicit answer from the user."_s);
    EXPECT_EQ(card->findChild<TaskQuestionForm*>(), form);
    QTest::keyClicks(fields[2], u"Window seat  "_s);
    send->click();
    const QJsonObject answers = f.answered(0).value(u"answers"_s).toObject();
    EXPECT_EQ(answers.value(u"day"_s).toObject().value(u"answers"_s).toArray(), QJsonArray{u"Friday"_s});
    EXPECT_EQ(answers.value(u"code"_s).toObject().value(u"answers"_s).toArray(), QJsonArray{u"4321"_s});
    EXPECT_EQ(answers.value(u"note"_s).toObject().value(u"answers"_s).toArray(), QJsonArray{u"Window seat"_s});
    EXPECT_TRUE(reaches(session, State::completed));
    EXPECT_TRUE(test::waitUntil([&, shown = QPointer(form)] { return !shown || !shown->isVisibleTo(card); }));
}

TEST(WorkerCard, IslandGrowsForTasksUpToTheAvailableHeight)
{
    Cards f;
    f.startConversation();
    f.transcript(true, u"Book me a table."_s, 0);
    f.model->toggle();
    f.model->fail(u"The voice service closed the connection."_s);
    f.model->audio().onNotice(u"Echo cancellation could not start."_s);
    f.start(test::scenario::working, u"Book a table"_s);
    f.view.setMetrics({120, 24, 32}, 2000);
    EXPECT_EQ(f.view.contentHeight(), 470 + 210 + 44 + 64);
    f.view.setMetrics({120, 24, 32}, 760);
    EXPECT_EQ(f.view.contentHeight(), 760 - 24 - 8);
}
