#include "ui/IslandFixture.h"

#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
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

const QByteArray manualApproval = R"({"handshake": {}}, {"serverRequest": "mcpServer/elicitation/request", "params":
    {"message": "Sign in?", "mode": "form", "_meta": {"codex_approval_kind": "mcp_tool_call"},
     "requestedSchema": {"required": ["user"]}}, "await": true}, {"complete": "completed"})";
const QByteArray failing = R"({"handshake": {}}, {"complete": "failed", "turnError": "The model is overloaded."})";
const QByteArray longResult = R"({"handshake": {}}, {"delta": {"itemId": "m", "delta": ")"
                              + QByteArray("Booked a table for two at eight by the window. ").repeated(12)
                              + R"("}}, {"complete": "completed"})";
const QByteArray questions = R"({"handshake": {}}, {"serverRequest": "item/tool/requestUserInput", "params":
    {"itemId": "c", "questions": [
        {"id": "day", "header": "Day", "question": "Which evening?", "isOther": true, "options": [
            {"label": "Friday", "description": "The earliest free evening"}, {"label": "Saturday", "description": ""}]},
        {"id": "code", "header": "", "question": "Door code?", "isSecret": true},
        {"id": "note", "header": "", "question": "Anything else?"}]}, "await": true}, {"complete": "completed"})";

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

    // Cards come in the manager's order.
    WorkerCard& card(qsizetype index) const { return *view.findChildren<WorkerCard*>().at(index); }
    QStringList controls(qsizetype index) const
    {
        QStringList shown;
        for (const QPushButton* button : card(index).findChildren<QPushButton*>())
            if (button->objectName().startsWith(u"task."_s) && button->isVisibleTo(&card(index)))
                shown.append(button->text());
        return shown;
    }
    void click(qsizetype index, const QString& name) { test::child<QPushButton>(card(index), name)->click(); }
    // What the stand-in of task `index` got back for its server request.
    QJsonObject answered(qsizetype index)
    {
        QJsonObject result;
        test::waitUntil([&] {
            for (const QJsonObject& response : tasks.codex(index).responses())
                if (const QJsonObject r = response.value(u"result"_s).toObject(); r.contains(u"answers"_s) || r.contains(u"action"_s))
                    result = r;
            return !result.isEmpty();
        });
        return result;
    }
};

} // namespace

TEST(WorkerCard, EachStateShowsItsControlsAndTheyReachTheTaskAndTheModel)
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
    QList<ComputerTaskSession*> s;
    for (const auto& c : cases)
        s.append(f.tasks.start(*f.model, c.steps, QString::fromLatin1(c.title)));
    EXPECT_EQ(f.view.contentHeight(), 330 + 210);
    for (qsizetype i = 0; i < s.size(); ++i) {
        const auto& c = cases[i];
        ASSERT_TRUE(test::reaches(s[i], c.then ? State::working : c.state)) << c.title;
        const bool approval = c.controls.contains(u"Don't allow"_s);
        ASSERT_TRUE(test::waitUntil([&] { return s[i]->worker().approvalPending() == approval; })) << c.title;
        if (c.then)
            (s[i]->*c.then)();
        EXPECT_EQ(f.controls(i), c.controls) << c.title;
        EXPECT_EQ(test::child<QLabel>(f.card(i), u"task.status"_s)->text(),
                  c.state == State::starting ? u"Starting agent"_s : s[i]->worker().status()) << c.title;
    }
    EXPECT_EQ(f.view.findChild<QLabel*>(u"tasks.header"_s)->text(), u"Computer tasks · 5 running"_s);
    EXPECT_EQ(test::child<QWidget>(f.card(2), u"task.allow"_s)->accessibleName(), u"Allow once for One click"_s);
    EXPECT_EQ(test::child<QWidget>(f.card(3), u"task.decline"_s)->accessibleName(), u"Don't allow for Manual approval"_s);

    // A long result is clipped until asked for in full; a short one has nothing to unfold.
    auto* result = test::child<QLabel>(f.card(6), u"task.result"_s);
    EXPECT_EQ(result->text(), s[6]->result());
    const int clipped = result->maximumHeight();
    EXPECT_LT(clipped, result->heightForWidth(300));
    f.click(6, u"task.resultToggle"_s);
    EXPECT_EQ(f.controls(6), QStringList{u"Show less"_s});
    EXPECT_GE(result->maximumHeight(), result->heightForWidth(300));
    f.click(6, u"task.resultToggle"_s);
    EXPECT_EQ(result->maximumHeight(), clipped);

    f.click(2, u"task.allow"_s);
    EXPECT_EQ(f.answered(2).value(u"action"_s), u"accept"_s);
    EXPECT_TRUE(test::reaches(s[2], State::completed));
    f.click(3, u"task.decline"_s);
    EXPECT_EQ(f.answered(3).value(u"action"_s), u"decline"_s);
    f.model->setSettings(true);
    f.click(4, u"task.review"_s);
    EXPECT_TRUE(test::reaches(s[4], State::manualReview));
    EXPECT_FALSE(f.model->settings());
    f.click(1, u"task.stop"_s);
    EXPECT_EQ(s[1]->state(), State::cancelled);
}

TEST(WorkerCard, QuestionFormSendsTrimmedAnswersToCodex)
{
    Cards f;
    ComputerTaskSession* session = f.tasks.start(*f.model, questions, u"Book a table"_s);
    ASSERT_TRUE(test::waitUntil([&] { return !session->worker().pendingQuestions().isEmpty(); }, 10'000));
    const WorkerCard* card = &f.card(0);
    auto* form = card->findChild<TaskQuestionForm*>();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(test::visibleTexts(*form),
              QStringList({u"Codex needs your answer"_s, u"Day"_s, u"Which evening?"_s, u"Friday"_s,
                           u"The earliest free evening"_s, u"Saturday"_s, u"Door code?"_s, u"Anything else?"_s,
                           u"Send answer"_s}));
    const QList<QPushButton*> options = form->findChildren<QPushButton*>(u"question.option"_s);
    const QList<QLineEdit*> fields = form->findChildren<QLineEdit*>(u"question.field"_s);
    ASSERT_EQ(options.size(), 2);
    ASSERT_EQ(fields.size(), 3);
    const auto described = [](const QLineEdit* field) {
        return QStringList{field->placeholderText(), field->accessibleName(), QString::number(field->echoMode())};
    };
    EXPECT_EQ(described(fields[0]), QStringList({u"Another answer"_s, u"Answer for Day"_s, u"0"_s}));
    EXPECT_EQ(described(fields[1]), QStringList({u"Private answer"_s, u"Private answer for Door code?"_s, u"2"_s}));
    EXPECT_EQ(described(fields[2]), QStringList({u"Your answer"_s, u"Answer for Anything else?"_s, u"0"_s}));
    auto* send = test::child<QPushButton>(*form, u"question.send"_s);
    EXPECT_EQ(send->accessibleName(), u"Send answers to Book a table"_s);

    // The chosen option is tinted; typing another answer takes the tint away.
    options[1]->click();
    EXPECT_EQ(options[1]->property("tinted").toBool() + 2 * options[0]->property("tinted").toBool(), 1);
    EXPECT_EQ(fields[0]->text(), u"Saturday"_s);
    fields[0]->clear();
    QTest::keyClicks(fields[0], u"  Friday"_s);
    EXPECT_FALSE(options[1]->property("tinted").toBool());
    QTest::keyClicks(fields[1], u" 4321 "_s);

    // An unanswered question goes as an empty answer, which the worker turns down; the form and
    // what was typed stay.
    send->click();
    EXPECT_EQ(f.model->error(), u"Each Codex question needs an explicit answer from the user."_s);
    EXPECT_EQ(card->findChild<TaskQuestionForm*>(), form);
    QTest::keyClicks(fields[2], u"Window seat  "_s);
    send->click();
    const QJsonObject answers = f.answered(0).value(u"answers"_s).toObject();
    const auto answer = [&](const char* id) { return answers.value(QLatin1String(id))[u"answers"_s].toArray(); };
    EXPECT_EQ(answer("day"), QJsonArray{u"Friday"_s});
    EXPECT_EQ(answer("code"), QJsonArray{u"4321"_s});
    EXPECT_EQ(answer("note"), QJsonArray{u"Window seat"_s});
    EXPECT_TRUE(test::reaches(session, State::completed));
    EXPECT_TRUE(test::waitUntil([&, shown = QPointer(form)] { return !shown || !shown->isVisibleTo(card); }));
}
