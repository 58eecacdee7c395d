#include "live-sim/LiveSim.h"
#include "live/LiveConnection.h"
#include "live/Protocol.h"
#include "support/LoopbackCertificate.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;
using sim::LiveSim;

namespace {

const QString kAudioBacklog = u"The connection cannot keep up with microphone audio. Please reconnect."_s;
const QString kEnded = u"Voice connection ended. Check your API key, model access, and network, then retry."_s;

// A connection wired to record what it reports.
struct Client {
    LiveConnection connection;
    QList<QJsonObject> events;
    QStringList failures;
    QList<LiveDiagnostics> published;

    explicit Client(const LiveSim& server, LiveConnection::Timing timing = {})
    {
        connection.setEndpoint(server.endpoint());
        connection.setTiming(timing);
        connection.onEvent = [this](const QJsonObject& event) { events.append(event); };
        connection.onFailure = [this](const QString& message) { failures.append(message); };
        connection.onDiagnostics = [this](const LiveDiagnostics& d) { published.append(d); };
    }

    bool start(const QString& key = u"sk-test"_s)
    {
        connection.open(key);
        return test::waitUntil([this] { return connection.isReady(); }, 10'000);
    }

    bool sawType(const QString& type) const
    {
        return std::any_of(events.begin(), events.end(),
                           [&](const QJsonObject& e) { return e.value(u"type"_s).toString() == type; });
    }
};

QList<qsizetype> audioSizes(const LiveSim& server)
{
    QList<qsizetype> sizes;
    for (const QJsonObject& event : server.received(u"session.input_audio.append"_s))
        sizes.append(QByteArray::fromBase64(event.value(u"audio"_s).toString().toLatin1()).size());
    return sizes;
}

// Offers 100 ms blocks as fast as the loop turns until the connection fails; the most audio
// that was ever outstanding.
qint64 pushUntilFailure(Client& client)
{
    const QByteArray block(4'800, '\7');
    qint64 mostQueued = 0;
    for (int offered = 0; client.failures.isEmpty() && offered < 20'000; ++offered) {
        client.connection.audio(block);
        mostQueued = std::max(mostQueued, client.connection.queuedAudioBytes());
        QCoreApplication::processEvents();
    }
    return mostQueued;
}

const QJsonObject kStallAfterStart =
    test::json(R"({"rules": [{"on": "session.start", "steps": [{"delayMs": 100}, {"stall": true}]}]})");

} // namespace

// Audio flows only while ready, carrying an odd byte to the next block; a close that the server
// never answers ends in its own sentence.
TEST(LiveConnection, AudioFlowsOnlyWhileReadyAndAnUnansweredCloseTimesOut)
{
    LiveSim server(QJsonObject{{u"closeReply"_s, false}});
    ASSERT_NE(server.start(), 0);
    Client client(server, {.closeTimeoutMs = 200});
    client.connection.open(u"sk"_s);
    client.connection.audio(QByteArray(4, '\1')); // before session.started: ignored
    ASSERT_TRUE(test::waitUntil([&] { return client.connection.isReady(); }));

    client.connection.audio(QByteArray(3, '\2'));
    EXPECT_EQ(client.connection.pendingPCMBytes(), 1);
    client.connection.audio(QByteArray(1, '\3'));
    EXPECT_EQ(client.connection.pendingPCMBytes(), 0);
    client.connection.audio(QByteArray(1, '\4'));
    EXPECT_EQ(client.connection.pendingPCMBytes(), 1);
    ASSERT_TRUE(test::waitUntil([&] { return audioSizes(server).size() == 2; }));
    EXPECT_EQ(audioSizes(server), (QList<qsizetype>{2, 2}));
    const auto audio = server.received(u"session.input_audio.append"_s);
    EXPECT_EQ(QByteArray::fromBase64(audio[1].value(u"audio"_s).toString().toLatin1()), QByteArray("\2\3", 2));
    ASSERT_TRUE(test::waitUntil([&] { return client.connection.diagnostics().inputChunks == 2; }));
    EXPECT_EQ(client.connection.diagnostics().inputBytes, 4);

    client.connection.close();
    client.connection.close();
    EXPECT_EQ(client.connection.pendingPCMBytes(), 1); // close keeps the session until it ends
    client.connection.audio(QByteArray(8, '\5')); // closing: ignored
    EXPECT_TRUE(client.failures.isEmpty());
    ASSERT_TRUE(test::waitUntil([&] { return !client.failures.isEmpty(); }));
    EXPECT_EQ(client.failures, QStringList{u"Voice stopped, but final session usage could not be confirmed."_s});
    EXPECT_EQ(server.received(u"session.close"_s).size(), 1);
    EXPECT_EQ(audioSizes(server).size(), 2);
    client.connection.teardown();
    EXPECT_EQ(client.connection.pendingPCMBytes(), 0);
}

TEST(LiveConnection, OutstandingSendsAreBoundedByMessagesAndBytes)
{
    LiveSim server;
    ASSERT_NE(server.start(), 0);
    {
        // Blocks offered in one turn of the event loop stay outstanding together.
        Client client(server);
        ASSERT_TRUE(client.start());
        for (int i = 0; i < LiveConnection::maxQueuedAudio; ++i)
            client.connection.audio(QByteArray(2, '\0'));
        EXPECT_TRUE(client.failures.isEmpty());
        EXPECT_EQ(client.connection.queuedAudio(), LiveConnection::maxQueuedAudio);
        client.connection.audio(QByteArray(2, '\0'));
        EXPECT_EQ(client.failures, QStringList{kAudioBacklog});
        EXPECT_FALSE(client.connection.isConnected());
    }
    {
        Client client(server);
        ASSERT_TRUE(client.start());
        client.connection.audio(QByteArray(120'000, '\0'));
        client.connection.audio(QByteArray(120'000, '\0')); // exactly 240,000 outstanding
        EXPECT_TRUE(client.failures.isEmpty());
        EXPECT_EQ(client.connection.queuedAudioBytes(), 240'000);
        ASSERT_TRUE(test::waitUntil([&] { return client.connection.queuedAudioBytes() == 0; }));
        client.connection.audio(QByteArray(120'000, '\0'));
        client.connection.audio(QByteArray(120'002, '\0')); // would be 240,002
        EXPECT_EQ(client.failures, QStringList{kAudioBacklog});
    }
    {
        // Any message counts: the 257th outstanding one fails with its own sentence.
        Client client(server);
        ASSERT_TRUE(client.start());
        for (int i = 0; i < LiveConnection::maxQueuedMessages; ++i)
            client.connection.enqueue(LiveProtocol::append(u"ctx"_s, std::nullopt, false));
        EXPECT_TRUE(client.failures.isEmpty());
        client.connection.enqueue(LiveProtocol::append(u"one too many"_s, std::nullopt, false));
        EXPECT_EQ(client.failures, QStringList{u"Voice context is arriving faster than the connection can send "
                                               "it. Please reconnect."_s});
        EXPECT_EQ(client.connection.queuedMessages(), 0);
    }
}

TEST(LiveConnection, StalledServerEndsInTheBacklogFailureNotInGrowingMemory)
{
    LiveSim server(kStallAfterStart);
    ASSERT_NE(server.start(), 0);
    Client client(server);
    ASSERT_TRUE(client.start());
    EXPECT_LE(pushUntilFailure(client), LiveConnection::maxQueuedAudioBytes);
    EXPECT_EQ(client.failures, QStringList{kAudioBacklog});
    server.stop();

    // Twenty times faster than speech, against a server that reads, never fails.
    LiveSim reading;
    ASSERT_NE(reading.start(), 0);
    Client steady(reading);
    ASSERT_TRUE(steady.start());
    const QByteArray block(4'800, '\7');
    for (int i = 0; i < 300 && steady.failures.isEmpty(); ++i) {
        steady.connection.audio(block);
        test::spin(5);
    }
    EXPECT_TRUE(steady.failures.isEmpty());
}

TEST(LiveConnection, ConversationRunsOverTlsAndStaysBounded)
{
    test::LoopbackCertificate certificate;
    const QString problem = certificate.make();
    ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();

    LiveSim server(QJsonObject{{u"usageSeconds"_s, 2.5}});
    ASSERT_TRUE(server.useTls(certificate.certificatePath(), certificate.keyPath()));
    ASSERT_NE(server.start(), 0);
    EXPECT_EQ(server.endpoint().scheme(), u"wss"_s);
    Client client(server);
    ASSERT_TRUE(client.start(u"sk-tls"_s));
    for (int i = 0; i < 20; ++i)
        client.connection.audio(QByteArray(4'800, char(i)));
    ASSERT_TRUE(test::waitUntil([&] { return server.audioAppends() == 20; }));
    ASSERT_TRUE(test::waitUntil([&] { return client.connection.diagnostics().inputChunks == 20; }));
    EXPECT_EQ(client.connection.diagnostics().inputBytes, 20 * 4'800);
    EXPECT_EQ(client.connection.queuedMessages(), 0);
    EXPECT_EQ(server.received().first().authorization, QByteArray("Bearer sk-tls"));
    client.connection.close();
    ASSERT_TRUE(test::waitUntil([&] { return client.sawType(u"session.closed"_s); }));
    EXPECT_TRUE(client.failures.isEmpty());

    // Encrypted bytes that never left count as outstanding: a stalled peer still ends in the bound.
    LiveSim stalled(kStallAfterStart);
    ASSERT_TRUE(stalled.useTls(certificate.certificatePath(), certificate.keyPath()));
    ASSERT_NE(stalled.start(), 0);
    Client blocked(stalled);
    ASSERT_TRUE(blocked.start());
    EXPECT_LE(pushUntilFailure(blocked), LiveConnection::maxQueuedAudioBytes);
    EXPECT_EQ(blocked.failures, QStringList{kAudioBacklog});
}

TEST(LiveConnection, AnOpenThatFailsAtOnceReportsOnceAndTheOwnerMayReopenInside)
{
    for (const QUrl& endpoint : {QUrl(u"ftp://127.0.0.1/v1/live/sessions"_s), QUrl()}) {
        LiveSim server;
        ASSERT_NE(server.start(), 0);
        Client client(server, {.startTimeoutMs = 150});
        client.connection.setEndpoint(endpoint);
        client.connection.open(u"sk"_s);
        EXPECT_EQ(client.failures, QStringList{kEnded});
        EXPECT_FALSE(client.connection.isConnected());
        test::spin(300); // past the start timeout: no second report
        EXPECT_EQ(client.failures, QStringList{kEnded});

        // The owner starts over from its failure handler: that attempt runs on its own.
        client.connection.onFailure = [&](const QString& message) {
            client.failures.append(message);
            if (client.failures.size() == 2) {
                client.connection.setEndpoint(server.endpoint());
                client.connection.open(u"sk-again"_s);
            }
        };
        client.connection.setEndpoint(endpoint);
        client.connection.open(u"sk"_s);
        ASSERT_TRUE(test::waitUntil([&] { return client.connection.isReady(); }));
        test::spin(300);
        EXPECT_EQ(client.failures.size(), 2);
        EXPECT_TRUE(client.connection.isReady());
        EXPECT_EQ(server.received(u"session.start"_s).size(), 1);
    }
}

TEST(LiveConnection, TheOwnerMayReopenWhenTheSessionCloses)
{
    LiveSim server;
    ASSERT_NE(server.start(), 0);
    Client client(server, {.closeTimeoutMs = 200});
    client.connection.onEvent = [&](const QJsonObject& event) {
        client.events.append(event);
        if (event.value(u"type"_s).toString() == u"session.closed" && server.connectionCount() == 1)
            client.connection.open(u"sk-second"_s);
    };
    ASSERT_TRUE(client.start());
    client.connection.close();
    ASSERT_TRUE(test::waitUntil([&] { return server.connectionCount() == 2 && client.connection.isReady(); }));
    test::spin(300); // past the first session's close timeout
    EXPECT_TRUE(client.connection.isReady());
    EXPECT_FALSE(client.connection.isClosing());
    EXPECT_TRUE(client.failures.isEmpty());
    EXPECT_EQ(server.received(u"session.start"_s).size(), 2);
}

TEST(LiveConnection, PoliteCloseEndsOnSessionClosedAndEarlyCloseIsSilent)
{
    LiveSim server(QJsonObject{{u"usageSeconds"_s, 4.5}});
    ASSERT_NE(server.start(), 0);
    {
        Client client(server, {.closeTimeoutMs = 300});
        bool connectedWhenClosed = false;
        client.connection.onEvent = [&](const QJsonObject& event) {
            client.events.append(event);
            if (event.value(u"type"_s).toString() == u"session.closed")
                connectedWhenClosed = client.connection.isConnected();
        };
        ASSERT_TRUE(client.start());
        client.connection.close();
        EXPECT_TRUE(client.connection.isClosing());
        ASSERT_TRUE(test::waitUntil([&] { return client.sawType(u"session.closed"_s); }));
        EXPECT_TRUE(connectedWhenClosed);
        EXPECT_FALSE(client.connection.isConnected());
        test::spin(400); // past the close timeout
        EXPECT_TRUE(client.failures.isEmpty());
    }
    {
        const qsizetype before = server.received().size();
        Client client(server);
        client.connection.open(u"sk"_s);
        client.connection.close(); // still connecting: nothing is sent, nothing reported
        EXPECT_FALSE(client.connection.isConnected());
        test::spin(200);
        EXPECT_TRUE(client.failures.isEmpty());
        EXPECT_EQ(server.received().size(), before);
    }
}

// The start carries the key and the start event; then binary JSON is read, non-objects are
// ignored, and invalid JSON ends the connection.
TEST(LiveConnection, StartsWithTheBearerHeaderThenReadsEventsUntilInvalidJson)
{
    LiveSim server;
    ASSERT_NE(server.start(), 0);
    Client client(server);
    ASSERT_TRUE(client.start(u"sk-abc"_s));
    ASSERT_TRUE(test::waitUntil([&] { return server.received().size() >= 1; }));
    EXPECT_EQ(server.received().first().authorization, QByteArray("Bearer sk-abc"));
    EXPECT_EQ(server.received().first().event, LiveProtocol::start());
    EXPECT_EQ(client.connection.diagnostics().lastEventType, u"session.started"_s);
    ASSERT_FALSE(client.published.isEmpty());
    EXPECT_EQ(client.published.first().lastEventType, u"Not connected"_s); // reset at connect
    EXPECT_TRUE(client.published.last().sessionStarted); // forced publication on start

    server.sendBinary(
        QJsonDocument(QJsonObject{{u"type"_s, u"session.usage.updated"_s}}).toJson(QJsonDocument::Compact));
    ASSERT_TRUE(test::waitUntil([&] { return client.sawType(u"session.usage.updated"_s); }));

    server.sendText(u"[1,2,3]"_s);
    server.send(QJsonObject{{u"no_type"_s, 1}});
    const QByteArray pcm(6, '\1');
    server.send(
        QJsonObject{{u"type"_s, u"session.output_audio.delta"_s}, {u"delta"_s, QString::fromLatin1(pcm.toBase64())}});
    server.send(QJsonObject{{u"type"_s, u"session.output_audio.delta"_s}, {u"delta"_s, u"%%%"_s}});
    ASSERT_TRUE(test::waitUntil([&] { return client.events.size() >= 5; }));
    EXPECT_EQ(client.events[2].value(u"no_type"_s).toInt(), 1);
    EXPECT_EQ(client.connection.diagnostics().outputChunks, 1);
    EXPECT_EQ(client.connection.diagnostics().outputBytes, 6);
    EXPECT_TRUE(client.failures.isEmpty());

    server.sendText(u"{not json"_s);
    ASSERT_TRUE(test::waitUntil([&] { return !client.failures.isEmpty(); }));
    EXPECT_EQ(client.failures, QStringList{kEnded});
    EXPECT_FALSE(client.connection.isConnected());
}

// A start that is never answered times out; a later attempt's results are not undone by
// anything the earlier one still receives.
TEST(LiveConnection, AStartTimesOutAndLateResultsOfAnEarlierAttemptChangeNothing)
{
    LiveSim first(QJsonObject{{u"sendStarted"_s, false}});
    LiveSim second;
    ASSERT_NE(first.start(), 0);
    ASSERT_NE(second.start(), 0);
    Client client(first, {.startTimeoutMs = 300});
    client.connection.open(u"sk-zero"_s);
    ASSERT_TRUE(test::waitUntil([&] { return !client.failures.isEmpty(); }));
    EXPECT_EQ(client.failures,
              QStringList{u"GPT-Live did not start within 20 seconds. Check model access and retry."_s});
    EXPECT_FALSE(client.connection.isConnected());

    client.connection.open(u"sk-one"_s);
    ASSERT_TRUE(test::waitUntil([&] { return first.received(u"session.start"_s).size() == 2; }));
    client.connection.setEndpoint(second.endpoint());
    ASSERT_TRUE(client.start(u"sk-two"_s));
    const LiveDiagnostics before = client.connection.diagnostics();
    const qsizetype eventsBefore = client.events.size();
    first.send(QJsonObject{{u"type"_s, u"session.started"_s}});
    first.send(QJsonObject{{u"type"_s, u"session.output_audio.delta"_s}, {u"delta"_s, u"AAAA"_s}});
    first.sendText(u"{broken"_s);
    first.closeConnections();
    test::spin(500); // past the first attempt's start timeout
    EXPECT_EQ(client.failures.size(), 1);
    EXPECT_EQ(client.events.size(), eventsBefore);
    EXPECT_EQ(client.connection.diagnostics(), before);
    EXPECT_TRUE(client.connection.isReady());
}
