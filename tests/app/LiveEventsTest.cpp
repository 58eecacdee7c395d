#include "live-sim/LiveSim.h"
#include "live/AudioEngine.h"
#include "live/LiveConnection.h"
#include "support/ModelFixture.h"
#include "support/TestSupport.h"

#include <QJsonArray>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;

namespace {

// A companion model talking to the voice stand-in over a real WebSocket.
struct Session : test::ModelFixture {
    sim::LiveSim server;

    explicit Session(QJsonObject scenario = {})
        : server(std::move(scenario))
    {
    }

    AppModel& open(bool withKey = true)
    {
        EXPECT_NE(server.start(), 0);
        make();
        model->live().setEndpoint(server.endpoint());
        if (withKey)
            model->setApiKey(u"sk-test"_s);
        return *model;
    }

    bool begin()
    {
        model->toggle();
        return test::waitUntil([this] { return model->state() == CompanionState::listening; }, 10'000);
    }

    // Sends an event and waits until it has been handled (the model sees events in order).
    void deliver(const QJsonObject& event)
    {
        server.send(event);
        const QString marker = u"test.marker."_s + QUuid::createUuid().toString(QUuid::WithoutBraces);
        server.send(QJsonObject{{u"type"_s, marker}});
        ASSERT_TRUE(test::waitUntil([&] { return model->live().diagnostics().lastEventType == marker; }));
    }
};

} // namespace

TEST(LiveEvents, SessionStartSendsTheSilentStartupContext)
{
    for (const bool installed : {false, true}) {
        Session s;
        s.platform.codexInstalled = [installed] { return installed; };
        s.open();
        ASSERT_TRUE(s.begin());
        EXPECT_EQ(s.model->contextLabel(), u"Your current display is included with each question"_s);
        ASSERT_TRUE(test::waitUntil([&] { return !s.server.received(u"session.thinking.append"_s).isEmpty(); }));
        const auto thinking = s.server.received(u"session.thinking.append"_s);
        ASSERT_EQ(thinking.size(), 1);
        // It tells the voice model whether computer tasks can run.
        EXPECT_TRUE(
            thinking[0]
                .value(u"content"_s)
                .toString()
                .contains(installed ? u"account: Codex is installed."_s : u"account: Codex CLI is not installed."_s));
        EXPECT_TRUE(thinking[0].value(u"delegation_id"_s).isNull());
        EXPECT_TRUE(s.server.received(u"session.commentary.append"_s).isEmpty());
        EXPECT_TRUE(s.model->audio().isRunning());
    }
}

// One session's events in turn: transcripts, delegations and usage, then its end.
TEST(LiveEvents, EventsFillTheModelUntilTheSessionClosesAndLateOnesChangeNothing)
{
    Session s;
    s.open();
    ASSERT_TRUE(s.begin());
    s.deliver(test::event(u"session.input_transcript.delta"_s,
                      {{u"delta"_s, u"What is"_s}, {u"start_ms"_s, 0}, {u"end_ms"_s, 300}, {u"event_id"_s, u"u1"_s}}));
    s.deliver(test::event(u"session.input_transcript.delta"_s,
                      {{u"delta"_s, u" this?"_s}, {u"start_ms"_s, 300}, {u"end_ms"_s, 600}}));
    s.deliver(test::event(u"session.output_transcript.delta"_s,
                      {{u"delta"_s, u"A kestrel."_s}, {u"start_ms"_s, 700}, {u"end_ms"_s, 900}}));
    // A repeated delta changes nothing.
    s.deliver(test::event(u"session.input_transcript.delta"_s, {{u"delta"_s, u"again"_s}, {u"event_id"_s, u"u1"_s}}));
    const QList<Caption> captions{{u"You"_s, u"What is this?"_s}, {u"Kestrabo"_s, u"A kestrel."_s}};
    EXPECT_EQ(s.model->captions(), captions);
    EXPECT_EQ(s.model->liveUserSubtitle(), u"What is this?"_s);
    EXPECT_EQ(s.model->liveAssistantSubtitle(), u"A kestrel."_s);

    // Delegations are recorded once per id, and only those for the client.
    const auto delegation = [&](const QJsonValue& target, const QJsonValue& id) {
        return test::event(u"session.delegation.created"_s,
                       {{u"delegation"_s, QJsonObject{{u"target"_s, target}, {u"id"_s, id}}}});
    };
    s.deliver(delegation(u"client"_s, u"d1"_s));
    s.deliver(delegation(u"client"_s, u"d1"_s));
    s.deliver(delegation(u"server"_s, u"d2"_s));
    s.deliver(delegation(u"client"_s, 7));
    s.deliver(test::event(u"session.delegation.created"_s));
    EXPECT_EQ(s.model->pendingDelegations(), QSet<QString>{u"d1"_s});

    s.deliver(test::event(u"session.usage.updated"_s, {{u"usage"_s, QJsonObject{{u"seconds"_s, 12.5}}}}));
    EXPECT_DOUBLE_EQ(s.model->seconds(), 12.5);
    s.deliver(test::event(u"session.usage.updated"_s, {{u"usage"_s, QJsonObject{{u"seconds"_s, true}}}}));
    EXPECT_DOUBLE_EQ(s.model->seconds(), 12.5);
    s.deliver(QJsonObject{{u"no"_s, u"type"_s}});
    EXPECT_EQ(s.model->state(), CompanionState::listening);

    s.server.send(test::event(u"session.closed"_s));
    ASSERT_TRUE(test::waitUntil([&] { return !s.model->active(); }));
    EXPECT_EQ(s.model->state(), CompanionState::stopped);
    EXPECT_DOUBLE_EQ(s.model->seconds(), 12.5);

    // Inactive: only session.closed counts, and it still records the final usage.
    s.model->receive(test::event(u"session.input_transcript.delta"_s, {{u"delta"_s, u"late"_s}, {u"start_ms"_s, 2000}, {u"end_ms"_s, 2100}}));
    s.model->receive(test::event(u"error"_s));
    s.model->receive(test::event(u"session.started"_s));
    EXPECT_EQ(s.model->state(), CompanionState::stopped);
    EXPECT_EQ(s.model->captions(), captions);
    s.model->receive(test::event(u"session.closed"_s, {{u"usage"_s, QJsonObject{{u"seconds"_s, 4.25}}}}));
    EXPECT_DOUBLE_EQ(s.model->seconds(), 4.25);
    EXPECT_EQ(s.model->state(), CompanionState::stopped);
}

TEST(LiveEvents, ServiceErrorsFailTheConversationWithTheirCode)
{
    for (const auto& [error, code] : std::initializer_list<std::pair<QJsonValue, QString>>{
             {QJsonObject{{u"code"_s, u"rate_limited"_s}}, u"rate_limited"_s},
             {u"not an object"_s, u"unknown_error"_s},
             {QJsonObject{{u"code"_s, 429}}, u"unknown_error"_s}}) {
        Session s;
        s.open();
        ASSERT_TRUE(s.begin());
        s.server.send(test::event(u"error"_s, {{u"error"_s, error}}));
        ASSERT_TRUE(test::waitUntil([&] { return s.model->state() == CompanionState::failed; }));
        EXPECT_EQ(s.model->error(),
                  u"GPT-Live rejected a request (%1). Check your API access, then reconnect."_s.arg(code));
        EXPECT_FALSE(s.model->active());
        EXPECT_TRUE(s.model->expanded());
    }
}

TEST(LiveEvents, WakingGreetsOnlyWhenAConversationStarts)
{
    {
        Session s;
        s.open();
        s.model->wake();
        EXPECT_TRUE(s.model->wakeGreetingPending());
        EXPECT_FALSE(s.model->settings());
        ASSERT_TRUE(test::waitUntil([&] { return !s.server.received(u"session.commentary.append"_s).isEmpty(); }));
        const auto spoken = s.server.received(u"session.commentary.append"_s);
        EXPECT_TRUE(spoken[0].value(u"content"_s).toString().contains(u"Hey! I'm here."_s));
        EXPECT_FALSE(s.model->wakeGreetingPending());
        // The greeting follows the startup context.
        QStringList types;
        for (const auto& received : s.server.received())
            types.append(received.event.value(u"type"_s).toString());
        EXPECT_LT(types.indexOf(u"session.thinking.append"_s), types.indexOf(u"session.commentary.append"_s));
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
    Session s(QJsonObject{{u"sendStarted"_s, false}});
    s.open();
    s.model->toggle();
    ASSERT_TRUE(test::waitUntil([&] { return s.server.received(u"session.start"_s).size() == 1; }));
    // Not started yet: a started event delivered by hand must not queue context.
    s.model->receive(QJsonObject{{u"type"_s, u"session.started"_s}});
    test::spin(100);
    EXPECT_TRUE(s.server.received(u"session.thinking.append"_s).isEmpty());
    EXPECT_EQ(s.model->live().queuedMessages(), 0);
}

// A stop closes politely and records the final usage; nothing of the stopped session reaches
// the next one, even when its close is answered while the next one starts.
TEST(LiveEvents, StopClosesPolitelyAndNothingOfItReachesTheNextSession)
{
    Session s(QJsonObject{{u"usageSeconds"_s, 7.5}});
    s.open();
    ASSERT_TRUE(s.begin());
    s.model->toggle();
    EXPECT_EQ(s.model->state(), CompanionState::stopped);
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
    EXPECT_EQ(s.server.connectionCount(), 2);

    s.model->toggle();
    EXPECT_EQ(s.model->state(), CompanionState::stopped);
    ASSERT_TRUE(test::waitUntil([&] { return s.model->seconds() == 7.5; }));
    EXPECT_EQ(s.server.received(u"session.close"_s).size(), 2);
    EXPECT_FALSE(s.model->live().isConnected());
    EXPECT_EQ(s.model->error(), std::nullopt);
}

TEST(LiveEvents, AFailureWhileStoppingEndsTheConversationFailed)
{
    Session s(QJsonObject{{u"closeReply"_s, false}});
    s.open();
    ASSERT_TRUE(s.begin());
    // Sends leave one at a time: in one turn of the loop the queue fills to its bound.
    while (s.model->live().queuedMessages() < LiveConnection::maxQueuedMessages)
        s.model->live().enqueue(LiveProtocol::append(u"context"_s, std::nullopt, false));
    s.model->stop();
    EXPECT_EQ(s.model->state(), CompanionState::failed);
    EXPECT_EQ(s.model->error(),
              u"Voice context is arriving faster than the connection can send it. "
              "Please reconnect."_s);
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
    EXPECT_TRUE(refused.model->error()->startsWith(
        u"Microphone could not start: Audio devices could not initialize (voice processing: 7, ordinary audio: 8)."_s));

    // Output audio plays only when its delta is Base64.
    Session s;
    s.open();
    ASSERT_TRUE(s.begin());
    const auto delta = [&](const QJsonValue& value) {
        return test::event(u"session.output_audio.delta"_s, {{u"delta"_s, value}});
    };
    s.deliver(delta(u"%%%not base64"_s));
    s.deliver(delta(42));
    EXPECT_TRUE(s.audio->scheduled.empty());
    EXPECT_EQ(s.model->state(), CompanionState::listening);
    s.deliver(delta(QString::fromLatin1(QByteArray(480, '\1').toBase64())));
    ASSERT_EQ(s.audio->scheduled.size(), 1u);
    EXPECT_EQ(s.audio->scheduled[0].samples.size(), 240u);
    EXPECT_EQ(s.model->state(), CompanionState::speaking);
}
