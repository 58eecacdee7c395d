#include "live-sim/LiveSim.h"

#include "support/TestSupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QNetworkRequest>
#include <QWebSocket>

#include <gtest/gtest.h>

#include <utility>

// The stand-in is exercised throughout by the voice connection tests; these guard only its
// scenario checks and its stall, which those tests cannot tell apart from a slow server.
namespace kestrabo::test {
namespace {

using sim::LiveSim;

TEST(LiveSim, RejectsUnusableScenariosWithClearReasons)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"rules": [{"on": "x", "steps": [{"dance": 1}]}]})", "rule 1, step 1: unknown step \"dance\""},
        {R"({"rules": [{"on": "x", "steps": [{"send": {}, "delayMs": 5}]}]})", "one action"},
        {R"({"rules": [{"on": "x", "steps": [{"close": 99}]}]})", "close code from 1000"},
        {R"({"rules": [{"on": "x", "steps": [{"transcript": {"speaker": "bot", "text": "x"}}]}]})", "\"speaker\" must be"},
        {R"({"rules": [{"on": "x", "steps": [{"audio": "missing.wav"}]}]})", "no such file"},
        {R"({"rules": [{"on": "x", "steps": [{"stall": false}]}]})", "rule 1, step 1: \"stall\" must be true"},
        {R"({"rules": [{"on": "x", "steps": [], "onec": true}]})", "rule 1: unknown key \"onec\""},
        {R"({"rules": [{"on": "x"}, {"steps": []}]})", "rule 1: \"steps\" must be an array"},
        {R"({"rules": [{"on": "x", "steps": [{"delayMs": 0}, {"loop": true}]}]})", "needs a \"delayMs\" of 1 or more"},
        {R"({"rules": [{"on": "x", "steps": [{"delayMs": 9}, {"loop": true}, {"delayMs": 9}]}]})", "must be the last step"},
        {R"({"sendstarted": true})", "unknown scenario key \"sendstarted\""},
    };
    for (const auto& [scenario, reason] : cases) {
        const QString found = LiveSim::validateScenario(json(scenario), QString());
        EXPECT_TRUE(found.contains(QLatin1String(reason))) << scenario << " gave: " << found.toStdString();
    }
    QString error;
    for (const char* name : {"demo.json", "soak.json"})
        EXPECT_TRUE(LiveSim::loadScenario(KESTRABO_SOURCE_DIR "/tools/live-sim/scenarios/" + QString::fromLatin1(name), &error))
            << error.toStdString();
    LiveSim invalid(json(R"({"rules": 3})"));
    EXPECT_EQ(invalid.start(), 0);
    EXPECT_TRUE(invalid.errorString().startsWith(QLatin1String("Invalid scenario:")));
}

// Notes the type of every text message and whether the server closed the connection.
struct Client {
    QWebSocket socket;
    QStringList types;
    bool closed = false;

    explicit Client(const QUrl& url)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, [this](const QString& text) {
            types.append(QJsonDocument::fromJson(text.toUtf8())[u"type"].toString());
        });
        QObject::connect(&socket, &QWebSocket::disconnected, &socket, [this] { closed = true; });
        QNetworkRequest request(url);
        request.setRawHeader("Authorization", "Bearer sk");
        socket.open(request);
    }
    bool opened() { return waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; }); }
    void send(const char* type) { socket.sendTextMessage(QStringLiteral(R"({"type":"%1"})").arg(QLatin1String(type))); }
    bool waitFor(const char* type) { return waitUntil([&] { return types.contains(QLatin1String(type)); }); }
    // Sends 6 MiB and returns once the kernel takes no more; what remains stays queued here.
    void flood()
    {
        for (int i = 0; i < 6; ++i)
            socket.sendBinaryMessage(QByteArray(1 << 20, 'x'));
        qint64 previous = -1;
        waitUntil([&] {
            const qint64 now = socket.bytesToWrite();
            spin(100);
            return std::exchange(previous, now) == now;
        });
    }
};

TEST(LiveSim, StallingStopsReadingUntilResumedAndStopStillReturns)
{
    LiveSim sim(json(R"({"rules": [{"on": "stall.please", "steps": [
        {"send": {"type": "stalling"}}, {"stall": true}, {"send": {"type": "never"}}]}]})"));
    ASSERT_NE(sim.start(), 0);
    Client client(sim.endpoint());
    ASSERT_TRUE(client.opened());
    client.send("session.start");
    ASSERT_TRUE(client.waitFor("session.started"));
    sim.setStalled(true);
    client.flood();
    EXPECT_GT(client.socket.bytesToWrite(), 0);
    EXPECT_EQ(sim.received().size(), 1);

    sim.setStalled(false);
    EXPECT_TRUE(waitUntil([&] { return client.socket.bytesToWrite() == 0 && sim.received().size() == 7; }));
    EXPECT_EQ(sim.received().last().event[u"bytes"], 1 << 20);

    // A stall step holds the server the same way; stop() ends it and drops the rest. A fresh
    // connection, since the kernel has grown the first one's receive buffer by now.
    Client second(sim.endpoint());
    ASSERT_TRUE(second.opened());
    second.send("stall.please");
    ASSERT_TRUE(second.waitFor("stalling"));
    second.flood();
    EXPECT_GT(second.socket.bytesToWrite(), 0);
    sim.stop();
    EXPECT_TRUE(waitUntil([&] { return client.closed && second.closed; }));
    EXPECT_FALSE(second.types.contains(QLatin1String("never")));
    EXPECT_EQ(sim.openConnections(), 0);
}

TEST(LiveSim, KeepsTheNewestEventsAndRecordsAll)
{
    QTemporaryDir directory;
    const QString record = directory.filePath(QStringLiteral("record.jsonl"));
    LiveSim sim;
    ASSERT_TRUE(sim.setRecordFile(record));
    ASSERT_NE(sim.start(), 0);
    Client client(sim.endpoint());
    ASSERT_TRUE(client.opened());
    const qsizetype total = LiveSim::keptEvents + 10;
    for (qsizetype i = 0; i < total; ++i)
        client.socket.sendTextMessage(QStringLiteral(R"({"type":"session.input_audio.append","audio":"%1"})").arg(i));
    ASSERT_TRUE(waitUntil([&] { return sim.audioAppends() == total; }, 20'000));
    const QList<sim::ReceivedEvent> kept = sim.received();
    ASSERT_EQ(kept.size(), LiveSim::keptEvents);
    EXPECT_EQ(kept.first().event[u"audio"].toString(), QString::number(10));
    EXPECT_EQ(kept.last().event[u"audio"].toString(), QString::number(total - 1));
    sim.stop();
    QFile file(record);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().count('\n'), total);
}

} // namespace
} // namespace kestrabo::test
