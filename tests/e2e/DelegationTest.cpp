#include "e2e/Conversation.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "support/XFixture.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QScreen>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;
using test::Conversation;
using test::routeReply;
using test::visionReply;

namespace {

const QString kRoutingFailed =
    u"Client routing or screen reading failed. Tell the user the task did not start, and ask them to check "
    "permissions and API access."_s;
const QString kAnswerDirectly =
    u"Answer this conversational question directly. No screen reading or computer action was performed."_s;

bool hasImage(const QJsonObject& body)
{
    return QJsonDocument(body).toJson(QJsonDocument::Compact).contains("\"input_image\"");
}

} // namespace

TEST(Delegation, ScreenQuestionIsAnsweredFromAFreshCaptureOfTheRealDisplayWithTheStartingKey)
{
    test::Xvfb xvfb;
    const QString problem = xvfb.start(QSize(1280, 800));
    ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
    test::XWindows windows(xvfb.display());
    ASSERT_TRUE(windows.isOpen());
    windows.create(QRect(100, 100, 600, 400), qRgb(200, 40, 40), false);
    windows.sync();
    X11ScreenGrabber grabber(xvfb.display());

    const QString observations = u"A red window fills the upper left of the display."_s;
    Conversation c({routeReply(u"screen"_s, true), visionReply(observations)});
    c.useGrabber(grabber);
    // The key that started the conversation, trimmed, serves all of it: a stored key's
    // trailing line break or an edit of the field meanwhile changes nothing.
    ASSERT_TRUE(c.open(u" sk-e2e\n"_s));
    c.model->setApiKey(u"sk-edited"_s);

    c.say(u"What is on my screen?"_s, 0, 900);
    ASSERT_TRUE(test::waitUntil([&] { return c.captures() == 1; }));
    EXPECT_EQ(c.model->contextLabel(), u"Capturing your current display"_s);
    c.delegate(u"d1"_s);
    ASSERT_TRUE(c.waitForAnswer(u"d1"_s));

    const QString answer = c.answer(u"d1"_s);
    EXPECT_TRUE(answer.startsWith(u"Verified screen observations captured "_s)) << answer.toStdString();
    EXPECT_TRUE(answer.endsWith(u": "_s + observations)) << answer.toStdString();
    EXPECT_EQ(c.captures(), 1); // the utterance's capture served routing and vision

    const auto routing = c.requestBodies(u"\"question_route\""_s);
    ASSERT_EQ(routing.size(), 1);
    const QByteArray routingText = QJsonDocument(routing[0]).toJson(QJsonDocument::Compact);
    EXPECT_TRUE(routingText.contains("You: What is on my screen?"));
    EXPECT_TRUE(routingText.contains("Computer tasks:"));
    EXPECT_TRUE(hasImage(routing[0]));
    const auto vision = c.requestBodies(u"You provide screen observations"_s);
    ASSERT_EQ(vision.size(), 1);
    EXPECT_TRUE(hasImage(vision[0]));
    for (const auto& request : c.responses.received())
        EXPECT_EQ(request.header("Authorization"), "Bearer sk-e2e");

    EXPECT_EQ(c.model->findings(), observations);
    const QString display = c.model->snapshot()->displayName;
    EXPECT_EQ(c.model->contextLabel(), display + u" included"_s);
    EXPECT_FALSE(c.model->reading());
    EXPECT_EQ(c.model->state(), CompanionState::listening);
    EXPECT_EQ(c.model->error(), std::nullopt);
}

// Delegations of one utterance share one analysis; a later one for the same words is answered
// without classifying again (show_browser from the stored acknowledgment).
TEST(Delegation, DelegationsOfOneUtteranceShareOneAnalysis)
{
    const std::tuple<QString, QString, QString> cases[] = {
        {u"direct"_s, kAnswerDirectly, u"Answer the user's simple question directly. No computer action was needed."_s},
        {u"show_browser"_s, u"There is no Codex task to show yet."_s, u"There is no Codex task to show yet."_s},
    };
    for (const auto& [route, first, later] : cases) {
        Conversation c({routeReply(route, false)});
        c.platform.codexInstalled = [] { return true; };
        ASSERT_TRUE(c.open());
        c.say(u"How are you?"_s, 0, 600);
        c.delegate(u"d1"_s);
        c.delegate(u"d2"_s);
        ASSERT_TRUE(c.waitForAnswer(u"d1"_s) && c.waitForAnswer(u"d2"_s));
        EXPECT_EQ(c.answer(u"d1"_s), first);
        EXPECT_EQ(c.answer(u"d2"_s), first);
        EXPECT_TRUE(c.model->pendingDelegations().isEmpty());
        c.delegate(u"d3"_s);
        ASSERT_TRUE(c.waitForAnswer(u"d3"_s));
        EXPECT_EQ(c.answer(u"d3"_s), later);
        EXPECT_EQ(c.requestBodies(u"\"question_route\""_s).size(), 1);
    }
}

TEST(Delegation, AContinuationDeltaKeepsTheUtterance)
{
    Conversation c({routeReply(u"direct"_s, false)});
    ASSERT_TRUE(c.open());
    c.say(u"Tell me"_s, 0, 500);
    ASSERT_TRUE(test::waitUntil([&] { return c.captures() == 1; }));
    c.say(u" a joke"_s, 800, 1200); // within 1,000 ms of the last end, at once
    QElapsedTimer sinceLastWords;
    sinceLastWords.start();
    c.delegate(u"d1"_s);
    ASSERT_TRUE(c.waitForAnswer(u"d1"_s));
    EXPECT_EQ(c.captures(), 1);
    EXPECT_EQ(c.model->lastRoutedText(), u"Tell me a joke"_s);

    // Still within 1.5 s of the last words (the debounce takes one): the utterance goes on.
    // A machine too busy to answer in time cannot show this, and is not held against the code.
    if (sinceLastWords.elapsed() < 1'300) {
        c.say(u" please"_s, 1300, 1500);
        ASSERT_TRUE(test::waitUntil([&] { return c.model->captions().last().text.endsWith(u"please"_s); }));
        EXPECT_EQ(c.model->lastRoutedText(), u"Tell me a joke"_s);
        EXPECT_EQ(c.captures(), 1);
    }

    c.say(u"New question"_s, 5000, 5600); // a pause: a new utterance
    ASSERT_TRUE(test::waitUntil([&] { return c.captures() == 2; }));
    EXPECT_EQ(c.model->lastRoutedText(), QString());
}

TEST(Delegation, StoppingDuringClassificationSendsNothingAndLeavesTheState)
{
    QJsonObject slow = routeReply(u"direct"_s, false);
    slow.insert(u"delayMs"_s, 800);
    Conversation c({slow});
    ASSERT_TRUE(c.open());
    c.say(u"What time is it?"_s, 0, 600);
    c.delegate(u"d1"_s);
    ASSERT_TRUE(test::waitUntil([&] { return !c.responses.received().isEmpty(); }));
    c.model->stop();
    test::spin(1'200);
    EXPECT_EQ(c.model->state(), CompanionState::stopped);
    EXPECT_TRUE(c.answer(u"d1"_s).isEmpty());
    EXPECT_EQ(c.model->lastRoutedKind(), std::nullopt);
}

TEST(Delegation, RoutingOrReadingFailureSetsTheErrorAndSaysSo)
{
    const QJsonObject routingDown{{u"status"_s, 500}, {u"json"_s, QJsonObject{{u"error"_s, QJsonObject{}}}}};
    const QJsonObject visionDown{{u"match"_s, u"You provide screen observations"_s}, {u"status"_s, 503}};
    const std::pair<QJsonArray, QString> cases[] = {
        {{routingDown}, u"Request routing failed (HTTP 500). Check OpenAI access and billing."_s},
        {{routeReply(u"screen"_s, true), visionDown},
         u"Screen reading failed (HTTP 503). Check OpenAI access and billing."_s},
    };
    for (const auto& [replies, error] : cases) {
        Conversation c(replies);
        ASSERT_TRUE(c.open());
        ASSERT_TRUE(c.ask(u"What does the dialog say?"_s));
        EXPECT_EQ(c.answer(u"d1"_s), kRoutingFailed);
        EXPECT_EQ(c.model->error(), error);
        EXPECT_FALSE(c.model->reading());
        EXPECT_EQ(c.model->state(), CompanionState::listening);
    }
}

// The next question after circling carries the display image and then the region, to routing
// and to vision, and the labels say so at each step.
TEST(Delegation, ACircledRegionTravelsWithTheNextQuestion)
{
    Conversation c({routeReply(u"screen"_s, true), visionReply(u"A chart."_s)});
    ASSERT_TRUE(c.open());
    QStringList labels;
    QObject::connect(c.model.get(), &AppModel::changed, [&] {
        if (labels.isEmpty() || labels.last() != c.model->contextLabel())
            labels.append(c.model->contextLabel());
    });
    c.model->circle(QGuiApplication::primaryScreen(), QRectF(10, 10, 100, 100));
    ASSERT_TRUE(test::waitUntil([&] { return c.model->selectedCrop().has_value(); }));
    const QByteArray display = c.model->snapshot()->jpeg;
    const QByteArray crop = *c.model->selectedCrop();
    ASSERT_TRUE(c.ask(u"What is circled?"_s));

    const auto images = [](const QJsonObject& body) {
        QStringList urls;
        for (const QJsonValue& part : body[u"input"][0][u"content"].toArray()) {
            if (part[u"type"] == u"input_image"_s)
                urls.append(part[u"image_url"].toString());
        }
        return urls;
    };
    const QStringList expected{"data:image/jpeg;base64," + display.toBase64(),
                               "data:image/jpeg;base64," + crop.toBase64()};
    const auto routing = c.requestBodies(u"\"question_route\""_s);
    const auto vision = c.requestBodies(u"You provide screen observations"_s);
    ASSERT_EQ(routing.size(), 1);
    ASSERT_EQ(vision.size(), 1);
    EXPECT_EQ(images(routing[0]), expected);
    EXPECT_EQ(images(vision[0]), expected);
    const qsizetype asked = labels.indexOf(u"Current display and circled region included"_s);
    ASSERT_GE(asked, 0) << labels.join(" | ").toStdString();
    EXPECT_EQ(labels.mid(asked),
              (QStringList{"Current display and circled region included", "Reading the circled region",
                           "Circled region included"}));
}

TEST(Delegation, InvalidationWhileReadingReturnsToListening)
{
    QJsonObject slow = visionReply(u"stale"_s);
    slow.insert(u"delayMs"_s, 800);
    Conversation c({routeReply(u"screen"_s, true), slow});
    ASSERT_TRUE(c.open());
    c.say(u"Read this"_s, 0, 600);
    c.delegate(u"d1"_s);
    ASSERT_TRUE(test::waitUntil([&] { return c.model->state() == CompanionState::looking; }));
    EXPECT_TRUE(c.model->reading());
    c.model->clearSelection();
    EXPECT_EQ(c.model->state(), CompanionState::listening);
    EXPECT_FALSE(c.model->reading());
    test::spin(1'000);
    EXPECT_TRUE(c.answer(u"d1"_s).isEmpty());
    EXPECT_EQ(c.model->findings(), QString());
}

// Without a capture the question is still routed, without an image; a direct route that was
// not delegated sends the voice model nothing.
TEST(Delegation, ADirectRouteWithoutACaptureOrDelegationSendsNothing)
{
    Conversation c({routeReply(u"direct"_s, false)});
    c.fake.captureError = KestraboError::message(u"The current display is unavailable."_s);
    ASSERT_TRUE(c.open());
    ASSERT_TRUE(test::waitUntil([&] { return c.contextCount(u"session.thinking.append"_s) == 1; }));
    c.say(u"Hello there"_s, 0, 600);
    ASSERT_TRUE(test::waitUntil([&] { return c.model->lastRoutedKind() == QuestionRoute::direct; }));
    test::spin(200);
    EXPECT_EQ(c.contextCount(u"session.thinking.append"_s), 1); // the startup context only
    EXPECT_EQ(c.contextCount(u"session.commentary.append"_s), 0);
    const auto routing = c.requestBodies(u"\"question_route\""_s);
    ASSERT_EQ(routing.size(), 1);
    EXPECT_FALSE(hasImage(routing[0]));
    EXPECT_EQ(c.model->contextLabel(), u"Screen recording unavailable. Voice still works."_s);
}

TEST(Delegation, ATaskWithoutCodexOpensSettingsAndSaysNothingStarted)
{
    Conversation c({routeReply(u"task"_s, false)});
    ASSERT_TRUE(c.open());
    c.model->setSettings(false);
    ASSERT_TRUE(c.ask(u"Book me a flight"_s));
    const QString message = u"Codex CLI is not installed. Voice can continue. No computer task was started."_s;
    EXPECT_EQ(c.answer(u"d1"_s), message);
    EXPECT_TRUE(c.model->settings());
    EXPECT_EQ(c.model->findings(), message);
}

TEST(Delegation, CirclingDuringAnAnalysisDropsItsAnswer)
{
    QJsonObject slow = routeReply(u"screen"_s, true);
    slow.insert(u"delayMs"_s, 600);
    Conversation c({slow, visionReply(u"stale"_s)});
    ASSERT_TRUE(c.open());
    c.say(u"What is this?"_s, 0, 600);
    c.delegate(u"d1"_s);
    ASSERT_TRUE(test::waitUntil([&] { return !c.responses.received().isEmpty(); }));
    c.model->circle(QGuiApplication::primaryScreen(), QRectF(10, 10, 100, 100));
    ASSERT_TRUE(test::waitUntil([&] { return c.model->selectedCrop().has_value(); }));
    test::spin(900);
    EXPECT_TRUE(c.answer(u"d1"_s).isEmpty());
    EXPECT_TRUE(c.requestBodies(u"You provide screen observations"_s).isEmpty());
    EXPECT_EQ(c.model->findings(), QString());
    EXPECT_EQ(c.model->contextLabel(), u"Circled region ready. Ask about it."_s);
    // The region notice went out as silent context.
    const auto thinking = c.voice.received(u"session.thinking.append"_s);
    ASSERT_EQ(thinking.size(), 2);
    EXPECT_EQ(thinking[1].value(u"content"_s).toString(),
              u"The user circled a new region. Screen questions require fresh findings from the client."_s);
}
