#include "live-sim/LiveSim.h"
#include "live/AudioEngine.h"
#include "live/LiveConnection.h"
#include "support/ModelFixture.h"
#include "support/TestSupport.h"

#include <QJsonArray>

#include <gtest/gtest.h>

using namespace kestrabo;

namespace {

const QString kStartup = QStringLiteral(
    "Screen reading is available when screen permission is granted. Answer simple questions directly. "
    "Delegate screen questions or computer tasks. Computer tasks use the normal installed Codex CLI and the "
    "user\u2019s signed-in Codex account: %1 Never claim an action occurred when unavailable. Never submit "
    "applications; wait for explicit user review.");

// A companion model talking to the voice stand-in over a real WebSocket.
struct Session : test::ModelFixture {
    sim::LiveSim server;
    bool codexInstalled = false;

    explicit Session(QJsonObject scenario = {}) : server(std::move(scenario)) {}

    AppModel& open(bool withKey = true)
    {
        EXPECT_NE(server.start(), 0);
        make();
        model->live().setEndpoint(server.endpoint());
        if (withKey)
            model->setApiKey(QStringLiteral("sk-test"));
        return *model;
    }

    bool begin()
    {
        model->toggle();
        return test::waitUntil([this] { return model->state() == CompanionState::listening; }, 10'000);
    }

    QJsonObject event(const QString& type, QJsonObject fields = {})
    {
        fields.insert(QStringLiteral("type"), type);
        return fields;
    }

    // Sends an event and waits until it has been handled (the model sees events in order).
    void deliver(const QJsonObject& event)
    {
        server.send(event);
        const QString marker = QStringLiteral("test.marker.") + QUuid::createUuid().toString(QUuid::WithoutBraces);
        server.send(QJsonObject{{QStringLiteral("type"), marker}});
        ASSERT_TRUE(test::waitUntil([&] { return model->live().diagnostics().lastEventType == marker; }));
    }
};

} // namespace

TEST(LiveEvents, SessionStartSendsTheSilentStartupContext)
{
    Session s;
    s.open();
    ASSERT_TRUE(s.begin());
    EXPECT_EQ(s.model->contextLabel(), QStringLiteral("Your current display is included with each question"));
    ASSERT_TRUE(test::waitUntil([&] { return !s.server.received(QStringLiteral("session.thinking.append")).isEmpty(); }));
    const auto thinking = s.server.received(QStringLiteral("session.thinking.append"));
    ASSERT_EQ(thinking.size(), 1);
    EXPECT_EQ(thinking[0].value(QStringLiteral("content")).toString(),
              kStartup.arg(QStringLiteral("Codex CLI is not installed.")));
    EXPECT_TRUE(thinking[0].value(QStringLiteral("delegation_id")).isNull());
    EXPECT_TRUE(s.server.received(QStringLiteral("session.commentary.append")).isEmpty());
    EXPECT_TRUE(s.model->audio().isRunning());

    Session installed;
    installed.platform.codexInstalled = [] { return true; };
    installed.open();
    ASSERT_TRUE(installed.begin());
    ASSERT_TRUE(test::waitUntil(
        [&] { return !installed.server.received(QStringLiteral("session.thinking.append")).isEmpty(); }));
    EXPECT_EQ(installed.server.received(QStringLiteral("session.thinking.append"))[0].value(QStringLiteral("content")),
              kStartup.arg(QStringLiteral("Codex is installed.")));
}

TEST(LiveEvents, TranscriptsFillCaptionsAndSubtitles)
{
    Session s;
    s.open();
    ASSERT_TRUE(s.begin());
    s.deliver(s.event(QStringLiteral("session.input_transcript.delta"),
                      {{QStringLiteral("delta"), QStringLiteral("What is")}, {QStringLiteral("start_ms"), 0},
                       {QStringLiteral("end_ms"), 300}, {QStringLiteral("event_id"), QStringLiteral("u1")}}));
    s.deliver(s.event(QStringLiteral("session.input_transcript.delta"),
                      {{QStringLiteral("delta"), QStringLiteral(" this?")}, {QStringLiteral("start_ms"), 300},
                       {QStringLiteral("end_ms"), 600}}));
    s.deliver(s.event(QStringLiteral("session.output_transcript.delta"),
                      {{QStringLiteral("delta"), QStringLiteral("A kestrel.")}, {QStringLiteral("start_ms"), 700},
                       {QStringLiteral("end_ms"), 900}}));
    EXPECT_EQ(s.model->captions(), (QList<Caption>{{QStringLiteral("You"), QStringLiteral("What is this?")},
                                                   {QStringLiteral("Kestrabo"), QStringLiteral("A kestrel.")}}));
    EXPECT_EQ(s.model->liveUserSubtitle(), QStringLiteral("What is this?"));
    EXPECT_EQ(s.model->liveAssistantSubtitle(), QStringLiteral("A kestrel."));

    // A repeated delta changes nothing.
    s.deliver(s.event(QStringLiteral("session.input_transcript.delta"),
                      {{QStringLiteral("delta"), QStringLiteral("again")}, {QStringLiteral("event_id"), QStringLiteral("u1")}}));
    EXPECT_EQ(s.model->captions().size(), 2);
}

TEST(LiveEvents, DelegationsAreRecordedOncePerIdAndOnlyForTheClient)
{
    Session s;
    s.open();
    ASSERT_TRUE(s.begin());
    const auto delegation = [&](const QJsonValue& target, const QJsonValue& id) {
        return s.event(QStringLiteral("session.delegation.created"),
                       {{QStringLiteral("delegation"), QJsonObject{{QStringLiteral("target"), target}, {QStringLiteral("id"), id}}}});
    };
    s.deliver(delegation(QStringLiteral("client"), QStringLiteral("d1")));
    s.deliver(delegation(QStringLiteral("client"), QStringLiteral("d1")));
    s.deliver(delegation(QStringLiteral("server"), QStringLiteral("d2")));
    s.deliver(delegation(QStringLiteral("client"), 7));
    s.deliver(s.event(QStringLiteral("session.delegation.created")));
    EXPECT_EQ(s.model->pendingDelegations(), QSet<QString>{QStringLiteral("d1")});

    s.deliver(s.event(QStringLiteral("session.usage.updated"), {{QStringLiteral("usage"), QJsonObject{{QStringLiteral("seconds"), 12.5}}}}));
    EXPECT_DOUBLE_EQ(s.model->seconds(), 12.5);
    s.deliver(s.event(QStringLiteral("session.usage.updated"), {{QStringLiteral("usage"), QJsonObject{{QStringLiteral("seconds"), true}}}}));
    EXPECT_DOUBLE_EQ(s.model->seconds(), 12.5);
    s.deliver(QJsonObject{{QStringLiteral("no"), QStringLiteral("type")}});
    EXPECT_EQ(s.model->state(), CompanionState::listening);
}

TEST(LiveEvents, ServiceErrorsFailTheConversationWithTheirCode)
{
    for (const auto& [error, code] : std::initializer_list<std::pair<QJsonValue, QString>>{
             {QJsonObject{{QStringLiteral("code"), QStringLiteral("rate_limited")}}, QStringLiteral("rate_limited")},
             {QStringLiteral("not an object"), QStringLiteral("unknown_error")},
             {QJsonObject{{QStringLiteral("code"), 429}}, QStringLiteral("unknown_error")}}) {
        Session s;
        s.open();
        ASSERT_TRUE(s.begin());
        s.server.send(s.event(QStringLiteral("error"), {{QStringLiteral("error"), error}}));
        ASSERT_TRUE(test::waitUntil([&] { return s.model->state() == CompanionState::failed; }));
        EXPECT_EQ(s.model->error(),
                  QStringLiteral("GPT-Live rejected a request (%1). Check your API access, then reconnect.").arg(code));
        EXPECT_FALSE(s.model->active());
        EXPECT_TRUE(s.model->expanded());
    }
}

TEST(LiveEvents, SessionClosedStopsAndLateEventsChangeNothing)
{
    Session s;
    s.open();
    ASSERT_TRUE(s.begin());
    s.deliver(s.event(QStringLiteral("session.usage.updated"), {{QStringLiteral("usage"), QJsonObject{{QStringLiteral("seconds"), 3}}}}));
    s.server.send(s.event(QStringLiteral("session.closed")));
    ASSERT_TRUE(test::waitUntil([&] { return !s.model->active(); }));
    EXPECT_EQ(s.model->state(), CompanionState::stopped);
    EXPECT_DOUBLE_EQ(s.model->seconds(), 3);

    // Inactive: only session.closed counts, and it still records the final usage.
    s.model->receive(s.event(QStringLiteral("session.input_transcript.delta"), {{QStringLiteral("delta"), QStringLiteral("late")}}));
    s.model->receive(s.event(QStringLiteral("error")));
    s.model->receive(s.event(QStringLiteral("session.started")));
    EXPECT_EQ(s.model->state(), CompanionState::stopped);
    EXPECT_TRUE(s.model->captions().isEmpty());
    s.model->receive(s.event(QStringLiteral("session.closed"), {{QStringLiteral("usage"), QJsonObject{{QStringLiteral("seconds"), 4.25}}}}));
    EXPECT_DOUBLE_EQ(s.model->seconds(), 4.25);
    EXPECT_EQ(s.model->state(), CompanionState::stopped);
}

TEST(LiveEvents, StopClosesPolitelyAndRecordsTheFinalUsage)
{
    Session s(QJsonObject{{QStringLiteral("usageSeconds"), 7.5}});
    s.open();
    ASSERT_TRUE(s.begin());
    s.model->toggle();
    EXPECT_EQ(s.model->state(), CompanionState::stopped);
    ASSERT_TRUE(test::waitUntil([&] { return s.model->seconds() == 7.5; }));
    EXPECT_EQ(s.server.received(QStringLiteral("session.close")).size(), 1);
    EXPECT_FALSE(s.model->live().isConnected());
    EXPECT_EQ(s.model->error(), std::nullopt);
}

TEST(LiveEvents, WakingGreetsOnlyWhenAConversationStarts)
{
    {
        Session s;
        s.open();
        s.model->wake();
        EXPECT_TRUE(s.model->wakeGreetingPending());
        EXPECT_FALSE(s.model->settings());
        ASSERT_TRUE(test::waitUntil([&] { return !s.server.received(QStringLiteral("session.commentary.append")).isEmpty(); }));
        const auto spoken = s.server.received(QStringLiteral("session.commentary.append"));
        EXPECT_EQ(spoken[0].value(QStringLiteral("content")).toString(),
                  QStringLiteral("The user just woke you by saying Hey, kestrabo. Respond now with a brief "
                                 "acknowledgment: Hey! I'm here. Then listen for their request."));
        EXPECT_FALSE(s.model->wakeGreetingPending());
        // The greeting follows the startup context.
        const auto all = s.server.received();
        qsizetype thinkingAt = -1, greetingAt = -1;
        for (qsizetype i = 0; i < all.size(); ++i) {
            const QString type = all[i].event.value(QStringLiteral("type")).toString();
            if (type == u"session.thinking.append" && thinkingAt < 0)
                thinkingAt = i;
            if (type == u"session.commentary.append" && greetingAt < 0)
                greetingAt = i;
        }
        EXPECT_LT(thinkingAt, greetingAt);
    }
    {
        Session s;
        s.open(false);
        s.model->wake();
        EXPECT_FALSE(s.model->wakeGreetingPending());
        EXPECT_FALSE(s.model->active());
        EXPECT_TRUE(s.model->settings());
    }
    {
        Session s;
        s.open();
        s.model->setWakeWordEnabled(false);
        s.model->wake();
        EXPECT_FALSE(s.model->active());
    }
}

TEST(LiveEvents, ContextIsDroppedUnlessTheSessionIsReady)
{
    Session s(QJsonObject{{QStringLiteral("sendStarted"), false}});
    s.open();
    s.model->toggle();
    ASSERT_TRUE(test::waitUntil([&] { return s.server.received(QStringLiteral("session.start")).size() == 1; }));
    // Not started yet: a started event delivered by hand must not queue context.
    s.model->receive(QJsonObject{{QStringLiteral("type"), QStringLiteral("session.started")}});
    test::spin(100);
    EXPECT_TRUE(s.server.received(QStringLiteral("session.thinking.append")).isEmpty());
    EXPECT_EQ(s.model->live().queuedMessages(), 0);
}

TEST(LiveEvents, NothingOfAStoppedSessionReachesTheNextOne)
{
    // The stopped session's close is still answered with its usage when the next one starts.
    Session s(QJsonObject{{QStringLiteral("usageSeconds"), 7.5}});
    s.open();
    ASSERT_TRUE(s.begin());
    s.model->toggle();
    // The new start waits for the microphone while the old session's answer arrives.
    s.access.holdRequests = true;
    s.model->toggle();
    test::spin(300);
    ASSERT_TRUE(s.access.hasHeldMicrophoneRequest());
    s.access.answerMicrophone(true);
    ASSERT_TRUE(test::waitUntil([&] { return s.model->state() == CompanionState::listening; }));
    test::spin(300);
    EXPECT_EQ(s.model->state(), CompanionState::listening);
    EXPECT_TRUE(s.model->active());
    EXPECT_DOUBLE_EQ(s.model->seconds(), 0);
    EXPECT_EQ(s.model->error(), std::nullopt);
    EXPECT_EQ(s.server.connectionCount(), 2);
}

TEST(LiveEvents, AFailureWhileStoppingEndsTheConversationFailed)
{
    Session s(QJsonObject{{QStringLiteral("closeReply"), false}});
    s.open();
    ASSERT_TRUE(s.begin());
    // Sends leave one at a time: in one turn of the loop the queue fills to its bound.
    while (s.model->live().queuedMessages() < LiveConnection::maxQueuedMessages)
        s.model->live().enqueue(LiveProtocol::append(QStringLiteral("context"), std::nullopt, false));
    s.model->stop();
    EXPECT_EQ(s.model->state(), CompanionState::failed);
    EXPECT_EQ(s.model->error(), QStringLiteral("Voice context is arriving faster than the connection can send it. "
                                               "Please reconnect."));
    EXPECT_FALSE(s.model->active());
    EXPECT_FALSE(s.model->live().isConnected());
}

TEST(LiveEvents, AudioThatCannotStartOrDecodeIsHandled)
{
    // Both audio configurations refused: the session start fails the conversation.
    Session refused;
    refused.audio->voiceProcessingError = 7;
    refused.audio->ordinaryError = 8;
    refused.open();
    refused.model->toggle();
    ASSERT_TRUE(test::waitUntil([&] { return refused.model->state() == CompanionState::failed; }));
    EXPECT_EQ(refused.model->error(),
              QStringLiteral("Microphone could not start: Audio devices could not initialize (voice processing: 7, "
                             "ordinary audio: 8). Check the input and output devices in the system Sound settings, "
                             "close other apps using the microphone, then retry."));

    // Output audio plays only when its delta is Base64.
    Session s;
    s.open();
    ASSERT_TRUE(s.begin());
    const auto delta = [&](const QJsonValue& value) {
        return s.event(QStringLiteral("session.output_audio.delta"), {{QStringLiteral("delta"), value}});
    };
    s.deliver(delta(QStringLiteral("%%%not base64")));
    s.deliver(delta(42));
    EXPECT_TRUE(s.audio->scheduled.empty());
    EXPECT_EQ(s.model->state(), CompanionState::listening);
    s.deliver(delta(QString::fromLatin1(QByteArray(480, '\1').toBase64())));
    ASSERT_EQ(s.audio->scheduled.size(), 1u);
    EXPECT_EQ(s.audio->scheduled[0].samples.size(), 240u);
    EXPECT_EQ(s.model->state(), CompanionState::speaking);
}
