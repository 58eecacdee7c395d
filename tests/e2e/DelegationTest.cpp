#include "e2e/Conversation.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "support/XFixture.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QScreen>

#include <gtest/gtest.h>

using namespace kestrabo;
using test::Conversation;
using test::routeReply;
using test::visionReply;

namespace {

const QString kRoutingFailed = QStringLiteral(
    "Client routing or screen reading failed. Tell the user the task did not start, and ask them to check "
    "permissions and API access.");
const QString kAnswerDirectly =
    QStringLiteral("Answer this conversational question directly. No screen reading or computer action was performed.");

bool hasImage(const QJsonObject& body)
{
    return QJsonDocument(body).toJson(QJsonDocument::Compact).contains("\"input_image\"");
}

} // namespace

TEST(Delegation, ScreenQuestionIsAnsweredFromAFreshCaptureOfTheRealDisplay)
{
    test::Xvfb xvfb;
    const QString problem = xvfb.start(QSize(1280, 800));
    ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
    test::XWindows windows(xvfb.display());
    ASSERT_TRUE(windows.isOpen());
    windows.create(QRect(100, 100, 600, 400), qRgb(200, 40, 40), false);
    windows.sync();
    X11ScreenGrabber grabber(xvfb.display());

    const QString observations = QStringLiteral("A red window fills the upper left of the display.");
    Conversation c({routeReply(QStringLiteral("screen"), true), visionReply(observations)});
    c.useGrabber(grabber);
    ASSERT_TRUE(c.open());

    c.say(QStringLiteral("What is on my screen?"), 0, 900);
    ASSERT_TRUE(test::waitUntil([&] { return c.captures() == 1; }));
    EXPECT_EQ(c.model->contextLabel(), QStringLiteral("Capturing your current display"));
    c.delegate(QStringLiteral("d1"));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d1")));

    const QString answer = c.answer(QStringLiteral("d1"));
    EXPECT_TRUE(answer.startsWith(QStringLiteral("Verified screen observations captured "))) << answer.toStdString();
    EXPECT_TRUE(answer.endsWith(QStringLiteral(": ") + observations)) << answer.toStdString();
    EXPECT_EQ(c.captures(), 1); // the utterance's capture served routing and vision

    const auto routing = c.requestBodies(QStringLiteral("\"question_route\""));
    ASSERT_EQ(routing.size(), 1);
    const QByteArray routingText = QJsonDocument(routing[0]).toJson(QJsonDocument::Compact);
    EXPECT_TRUE(routingText.contains("What is on my screen?"));
    EXPECT_TRUE(routingText.contains("You: What is on my screen?"));
    EXPECT_TRUE(routingText.contains("Computer tasks:"));
    EXPECT_TRUE(hasImage(routing[0]));
    const auto vision = c.requestBodies(QStringLiteral("You provide screen observations"));
    ASSERT_EQ(vision.size(), 1);
    EXPECT_TRUE(hasImage(vision[0]));

    EXPECT_EQ(c.model->findings(), observations);
    const QString display = c.model->snapshot()->displayName;
    EXPECT_EQ(c.model->contextLabel(), display + QStringLiteral(" included"));
    EXPECT_FALSE(c.model->reading());
    EXPECT_EQ(c.model->state(), CompanionState::listening);
    EXPECT_EQ(c.model->error(), std::nullopt);
}

// The key that started the conversation, trimmed, serves all of it: a stored key's trailing
// line break or an edit of the field meanwhile changes nothing.
TEST(Delegation, EveryRequestOfAConversationUsesTheKeyThatStartedIt)
{
    Conversation c({routeReply(QStringLiteral("screen"), true), visionReply(QStringLiteral("A blue screen."))});
    ASSERT_TRUE(c.open(QStringLiteral(" sk-e2e\n")));
    c.model->setApiKey(QStringLiteral("sk-edited"));
    c.say(QStringLiteral("What is on my screen?"), 0, 900);
    c.delegate(QStringLiteral("d1"));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d1")));
    EXPECT_EQ(c.model->error(), std::nullopt);
    const auto requests = c.responses.received();
    ASSERT_EQ(requests.size(), 2);
    for (const auto& request : requests)
        EXPECT_EQ(request.header("Authorization"), "Bearer sk-e2e");
}

TEST(Delegation, DelegationsOfOneUtteranceShareOneAnalysis)
{
    Conversation c({routeReply(QStringLiteral("direct"), false)});
    ASSERT_TRUE(c.open());
    c.say(QStringLiteral("How are you?"), 0, 600);
    c.delegate(QStringLiteral("d1"));
    c.delegate(QStringLiteral("d2"));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d1")));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d2")));
    EXPECT_EQ(c.answer(QStringLiteral("d1")), kAnswerDirectly);
    EXPECT_EQ(c.answer(QStringLiteral("d2")), kAnswerDirectly);
    EXPECT_EQ(c.requestBodies(QStringLiteral("\"question_route\"")).size(), 1);
    EXPECT_EQ(c.model->lastRoutedKind(), QuestionRoute::direct);
    EXPECT_TRUE(c.model->pendingDelegations().isEmpty());

    // A later delegation for the same words is answered without classifying again.
    c.delegate(QStringLiteral("d3"));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d3")));
    EXPECT_EQ(c.answer(QStringLiteral("d3")),
              QStringLiteral("Answer the user's simple question directly. No computer action was needed."));
    EXPECT_EQ(c.requestBodies(QStringLiteral("\"question_route\"")).size(), 1);
}

TEST(Delegation, AContinuationDeltaKeepsTheUtterance)
{
    Conversation c({routeReply(QStringLiteral("direct"), false)});
    ASSERT_TRUE(c.open());
    c.say(QStringLiteral("Tell me"), 0, 500);
    ASSERT_TRUE(test::waitUntil([&] { return c.captures() == 1; }));
    c.say(QStringLiteral(" a joke"), 800, 1200); // within 1,000 ms of the last end, at once
    QElapsedTimer sinceLastWords;
    sinceLastWords.start();
    c.delegate(QStringLiteral("d1"));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d1")));
    EXPECT_EQ(c.captures(), 1);
    EXPECT_EQ(c.model->lastRoutedText(), QStringLiteral("Tell me a joke"));

    // Still within 1.5 s of the last words (the debounce takes one): the utterance goes on.
    // A machine too busy to answer in time cannot show this, and is not held against the code.
    if (sinceLastWords.elapsed() < 1'300) {
        c.say(QStringLiteral(" please"), 1300, 1500);
        ASSERT_TRUE(test::waitUntil([&] { return c.model->captions().last().text.endsWith(QStringLiteral("please")); }));
        EXPECT_EQ(c.model->lastRoutedText(), QStringLiteral("Tell me a joke"));
        EXPECT_EQ(c.captures(), 1);
    }

    c.say(QStringLiteral("New question"), 5000, 5600); // a pause: a new utterance
    ASSERT_TRUE(test::waitUntil([&] { return c.captures() == 2; }));
    EXPECT_EQ(c.model->lastRoutedText(), QString());
}

TEST(Delegation, StoppingDuringClassificationSendsNothingAndLeavesTheState)
{
    QJsonObject slow = routeReply(QStringLiteral("direct"), false);
    slow.insert(QStringLiteral("delayMs"), 800);
    Conversation c({slow});
    ASSERT_TRUE(c.open());
    c.say(QStringLiteral("What time is it?"), 0, 600);
    c.delegate(QStringLiteral("d1"));
    ASSERT_TRUE(test::waitUntil([&] { return !c.responses.received().isEmpty(); }));
    c.model->stop();
    test::spin(1'200);
    EXPECT_EQ(c.model->state(), CompanionState::stopped);
    EXPECT_TRUE(c.answer(QStringLiteral("d1")).isEmpty());
    EXPECT_EQ(c.model->lastRoutedKind(), std::nullopt);
}

TEST(Delegation, RoutingOrReadingFailureSetsTheErrorAndSaysSo)
{
    const QJsonObject routingDown{{QStringLiteral("status"), 500},
                                  {QStringLiteral("json"), QJsonObject{{QStringLiteral("error"), QJsonObject{}}}}};
    const QJsonObject visionDown{{QStringLiteral("match"), QStringLiteral("You provide screen observations")},
                                 {QStringLiteral("status"), 503}};
    const std::pair<QJsonArray, QString> cases[] = {
        {{routingDown}, QStringLiteral("Request routing failed (HTTP 500). Check OpenAI access and billing.")},
        {{routeReply(QStringLiteral("screen"), true), visionDown},
         QStringLiteral("Screen reading failed (HTTP 503). Check OpenAI access and billing.")},
    };
    for (const auto& [replies, error] : cases) {
        Conversation c(replies);
        ASSERT_TRUE(c.open());
        c.say(QStringLiteral("What does the dialog say?"), 0, 600);
        c.delegate(QStringLiteral("d1"));
        ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d1")));
        EXPECT_EQ(c.answer(QStringLiteral("d1")), kRoutingFailed);
        EXPECT_EQ(c.model->error(), error);
        EXPECT_FALSE(c.model->reading());
        EXPECT_EQ(c.model->state(), CompanionState::listening);
    }
}

// The next question after circling carries the display image and then the region, to routing
// and to vision, and the labels say so at each step.
TEST(Delegation, ACircledRegionTravelsWithTheNextQuestion)
{
    Conversation c({routeReply(QStringLiteral("screen"), true), visionReply(QStringLiteral("A chart."))});
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
    c.say(QStringLiteral("What is circled?"), 0, 600);
    c.delegate(QStringLiteral("d1"));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d1")));

    const auto images = [](const QJsonObject& body) {
        QStringList urls;
        for (const QJsonValue& part : body[u"input"][0][u"content"].toArray()) {
            if (part[u"type"] == QStringLiteral("input_image"))
                urls.append(part[u"image_url"].toString());
        }
        return urls;
    };
    const QStringList expected{"data:image/jpeg;base64," + display.toBase64(), "data:image/jpeg;base64," + crop.toBase64()};
    const auto routing = c.requestBodies(QStringLiteral("\"question_route\""));
    const auto vision = c.requestBodies(QStringLiteral("You provide screen observations"));
    ASSERT_EQ(routing.size(), 1);
    ASSERT_EQ(vision.size(), 1);
    EXPECT_EQ(images(routing[0]), expected);
    EXPECT_EQ(images(vision[0]), expected);
    const qsizetype asked = labels.indexOf(QStringLiteral("Current display and circled region included"));
    ASSERT_GE(asked, 0) << labels.join(" | ").toStdString();
    EXPECT_EQ(labels.mid(asked), (QStringList{"Current display and circled region included", "Reading the circled region",
                                              "Circled region included"}));
}

TEST(Delegation, InvalidationWhileReadingReturnsToListening)
{
    QJsonObject slow = visionReply(QStringLiteral("stale"));
    slow.insert(QStringLiteral("delayMs"), 800);
    Conversation c({routeReply(QStringLiteral("screen"), true), slow});
    ASSERT_TRUE(c.open());
    c.say(QStringLiteral("Read this"), 0, 600);
    c.delegate(QStringLiteral("d1"));
    ASSERT_TRUE(test::waitUntil([&] { return c.model->state() == CompanionState::looking; }));
    EXPECT_TRUE(c.model->reading());
    c.model->clearSelection();
    EXPECT_EQ(c.model->state(), CompanionState::listening);
    EXPECT_FALSE(c.model->reading());
    test::spin(1'000);
    EXPECT_TRUE(c.answer(QStringLiteral("d1")).isEmpty());
    EXPECT_EQ(c.model->findings(), QString());
}

// show_browser is answered from the stored acknowledgment when the same words come again.
TEST(Delegation, ARepeatedBrowserRequestGetsTheSameAnswer)
{
    Conversation c({routeReply(QStringLiteral("show_browser"), false)});
    c.platform.codexInstalled = [] { return true; };
    ASSERT_TRUE(c.open());
    c.say(QStringLiteral("Show me your browser"), 0, 600);
    c.delegate(QStringLiteral("d1"));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d1")));
    const QString first = c.answer(QStringLiteral("d1"));
    EXPECT_EQ(first, QStringLiteral("There is no Codex task to show yet."));
    c.delegate(QStringLiteral("d2"));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d2")));
    EXPECT_EQ(c.answer(QStringLiteral("d2")), first);
    EXPECT_EQ(c.requestBodies(QStringLiteral("\"question_route\"")).size(), 1);
}

// Without a capture the question is still routed, without an image; a direct route that was
// not delegated sends the voice model nothing.
TEST(Delegation, ADirectRouteWithoutACaptureOrDelegationSendsNothing)
{
    Conversation c({routeReply(QStringLiteral("direct"), false)});
    c.fake.captureError = KestraboError::message(QStringLiteral("The current display is unavailable."));
    ASSERT_TRUE(c.open());
    ASSERT_TRUE(test::waitUntil([&] { return c.contextCount(QStringLiteral("session.thinking.append")) == 1; }));
    c.say(QStringLiteral("Hello there"), 0, 600);
    ASSERT_TRUE(test::waitUntil([&] { return c.model->lastRoutedKind() == QuestionRoute::direct; }));
    test::spin(200);
    EXPECT_EQ(c.contextCount(QStringLiteral("session.thinking.append")), 1); // the startup context only
    EXPECT_EQ(c.contextCount(QStringLiteral("session.commentary.append")), 0);
    const auto routing = c.requestBodies(QStringLiteral("\"question_route\""));
    ASSERT_EQ(routing.size(), 1);
    EXPECT_FALSE(hasImage(routing[0]));
    EXPECT_EQ(c.model->contextLabel(), QStringLiteral("Screen recording unavailable. Voice still works."));
}

TEST(Delegation, ATaskWithoutCodexOpensSettingsAndSaysNothingStarted)
{
    Conversation c({routeReply(QStringLiteral("task"), false)});
    ASSERT_TRUE(c.open());
    c.model->setSettings(false);
    c.say(QStringLiteral("Book me a flight"), 0, 600);
    c.delegate(QStringLiteral("d1"));
    ASSERT_TRUE(c.waitForAnswer(QStringLiteral("d1")));
    const QString message = QStringLiteral("Codex CLI is not installed. Voice can continue. No computer task was started.");
    EXPECT_EQ(c.answer(QStringLiteral("d1")), message);
    EXPECT_TRUE(c.model->settings());
    EXPECT_EQ(c.model->findings(), message);
}

TEST(Delegation, CirclingDuringAnAnalysisDropsItsAnswer)
{
    QJsonObject slow = routeReply(QStringLiteral("screen"), true);
    slow.insert(QStringLiteral("delayMs"), 600);
    Conversation c({slow, visionReply(QStringLiteral("stale"))});
    ASSERT_TRUE(c.open());
    c.say(QStringLiteral("What is this?"), 0, 600);
    c.delegate(QStringLiteral("d1"));
    ASSERT_TRUE(test::waitUntil([&] { return !c.responses.received().isEmpty(); }));
    c.model->circle(QGuiApplication::primaryScreen(), QRectF(10, 10, 100, 100));
    ASSERT_TRUE(test::waitUntil([&] { return c.model->selectedCrop().has_value(); }));
    test::spin(900);
    EXPECT_TRUE(c.answer(QStringLiteral("d1")).isEmpty());
    EXPECT_TRUE(c.requestBodies(QStringLiteral("You provide screen observations")).isEmpty());
    EXPECT_EQ(c.model->findings(), QString());
    EXPECT_EQ(c.model->contextLabel(), QStringLiteral("Circled region ready. Ask about it."));
    // The region notice went out as silent context.
    const auto thinking = c.voice.received(QStringLiteral("session.thinking.append"));
    ASSERT_EQ(thinking.size(), 2);
    EXPECT_EQ(thinking[1].value(QStringLiteral("content")).toString(),
              QStringLiteral("The user circled a new region. Screen questions require fresh findings from the client."));
}
